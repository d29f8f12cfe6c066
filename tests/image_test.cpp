#include "jni/engine/grd_image.h"

#include "app/data_files.h"

#include "test_helpers.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

using namespace gl;
using testutil::TempDir;
using testutil::writeFile;

namespace {

using Bytes = std::string;

struct ImageDeleter {
    void operator()(Image* image) const { imgDestroy(image); }
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;

// ---- PNG fixtures, written with libpng into memory ----

struct PngFixture {
    PngFixture(int width, int height, int colorType, int bitDepth)
        : width(width), height(height), colorType(colorType), bitDepth(bitDepth)
    {
    }

    int width = 0;
    int height = 0;
    int colorType = PNG_COLOR_TYPE_RGB;
    int bitDepth = 8;
    bool interlaced = false;
    std::vector<png_color> palette;
    std::vector<uint8_t> paletteAlpha; // tRNS for palette files
    bool greyKey = false;              // tRNS for grey files: the grey value below is transparent
    uint16_t greyKeyValue = 0;
    // Packed rows as PNG stores them (big-endian 16-bit samples, sub-byte samples packed high bit first).
    std::vector<std::vector<uint8_t>> rows;
};

void appendToString(png_structp png, png_bytep data, size_t size)
{
    static_cast<Bytes*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), size);
}

Bytes encodePng(const PngFixture& fixture)
{
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, appendToString, nullptr);
    png_set_IHDR(png, info, fixture.width, fixture.height, fixture.bitDepth, fixture.colorType,
                 fixture.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!fixture.palette.empty())
        png_set_PLTE(png, info, fixture.palette.data(), int(fixture.palette.size()));
    if (!fixture.paletteAlpha.empty())
        png_set_tRNS(png, info, fixture.paletteAlpha.data(), int(fixture.paletteAlpha.size()), nullptr);
    if (fixture.greyKey) {
        png_color_16 key{};
        key.gray = fixture.greyKeyValue;
        png_set_tRNS(png, info, nullptr, 0, &key);
    }
    std::vector<png_bytep> rows;
    for (const auto& row : fixture.rows)
        rows.push_back(const_cast<png_bytep>(row.data()));
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// Offsets of the chunk of the given type: {length field, data}. Npos when absent.
std::pair<size_t, size_t> findChunk(const Bytes& png, const char* type)
{
    size_t pos = 8;
    while (pos + 12 <= png.size()) {
        const auto* p = reinterpret_cast<const uint8_t*>(png.data() + pos);
        const size_t length = (size_t(p[0]) << 24) | (size_t(p[1]) << 16) | (size_t(p[2]) << 8) | p[3];
        if (std::memcmp(p + 4, type, 4) == 0)
            return {pos, pos + 8};
        pos += 12 + length;
    }
    return {Bytes::npos, Bytes::npos};
}

void putBigEndian(Bytes& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (24 - 8 * i));
}

// Recomputes the CRC of the chunk whose length field is at `at`, after its data was edited.
void fixCrc(Bytes& png, size_t at)
{
    const auto* p = reinterpret_cast<const uint8_t*>(png.data() + at);
    const size_t length = (size_t(p[0]) << 24) | (size_t(p[1]) << 16) | (size_t(p[2]) << 8) | p[3];
    putBigEndian(png, at + 8 + length, uint32_t(crc32(0, p + 4, uInt(length + 4))));
}

PngFixture rgbGradient(int width, int height)
{
    PngFixture fixture{width, height, PNG_COLOR_TYPE_RGB, 8};
    for (int y = 0; y < height; ++y) {
        std::vector<uint8_t> row;
        for (int x = 0; x < width; ++x) {
            row.push_back(uint8_t(x * 7 + y));
            row.push_back(uint8_t(y * 11));
            row.push_back(uint8_t(x ^ y));
        }
        fixture.rows.push_back(row);
    }
    return fixture;
}

// ---- Radiance fixtures ----

Bytes hdrHeader(int width, int height)
{
    return "#?RADIANCE\n# made by hand\nFORMAT=32-bit_rle_rgbe\nEXPOSURE=1.0\n\n-Y " + std::to_string(height) +
           " +X " + std::to_string(width) + "\n";
}

Bytes bytes(std::initializer_list<int> values)
{
    Bytes out;
    for (int v : values)
        out.push_back(char(v));
    return out;
}

// A new-form scanline: each channel as literals of at most 128 bytes.
Bytes newFormScanline(const std::vector<std::array<uint8_t, 4>>& pixels)
{
    const int width = int(pixels.size());
    Bytes out = bytes({2, 2, width >> 8, width & 0xFF});
    for (int channel = 0; channel < 4; ++channel) {
        for (int x = 0; x < width;) {
            const int n = std::min(128, width - x);
            out.push_back(char(n));
            for (int i = 0; i < n; ++i)
                out.push_back(char(pixels[x + i][channel]));
            x += n;
        }
    }
    return out;
}

struct BadFile {
    const char* name;
    Bytes content;
    const char* reason;
};

class ImageFiles : public ::testing::Test {
protected:
    TempDir dir{"image"};
    std::string oldBase = dataBasePath();
    void SetUp() override { dataSetBasePath(dir.str()); }
    void TearDown() override { dataSetBasePath(oldBase); }

    void put(const std::string& name, const Bytes& content) { writeFile(dir.path() / name, content); }

    // Loads with imgLoad and returns the console output as well.
    ImagePtr loadPng(const std::string& name, std::string* log = nullptr)
    {
        testing::internal::CaptureStdout();
        ImagePtr image(imgLoad(name));
        const std::string out = testing::internal::GetCapturedStdout();
        if (log)
            *log = out;
        return image;
    }

    ImagePtr loadHdr(const std::string& name, std::string* log = nullptr, ImageType type = IMAGE_TYPE_RGB32F)
    {
        testing::internal::CaptureStdout();
        ImagePtr image(imgLoadTypeHDR(name, type));
        const std::string out = testing::internal::GetCapturedStdout();
        if (log)
            *log = out;
        return image;
    }

    // Each file must give null, the loader's failure line and its own reason in the log.
    template <typename Load>
    void expectRefused(const std::vector<BadFile>& cases, const std::string& fileName, const std::string& failure,
                       Load load)
    {
        for (const BadFile& c : cases) {
            SCOPED_TRACE(c.name);
            put(fileName, c.content);
            std::string log;
            EXPECT_FALSE(load(fileName, &log));
            EXPECT_NE(log.find(failure), std::string::npos) << log;
            EXPECT_NE(log.find(c.reason), std::string::npos) << log;
        }
    }

    // Decodes through an open data file and returns the one message.
    ImagePtr decodePng(const Bytes& content, std::vector<std::string>& messages)
    {
        put("decode.png", content);
        DataFile* file = dataFileOpen("decode.png");
        EXPECT_NE(file, nullptr);
        testing::internal::CaptureStdout();
        ImagePtr image(imgLoadTypePNG(file, messages));
        testing::internal::GetCapturedStdout();
        dataFileClose(file);
        return image;
    }
};

const float* floats(const ImagePtr& image)
{
    return reinterpret_cast<const float*>(image->levels[0]);
}

} // namespace

// ---- Pixel-format table ----

TEST(ImageTypes, TableMatchesEveryCode)
{
    struct Row {
        ImageType type;
        int bytes;
        GLenum internal, format, dataType;
        int integer;
        const char* word;
    };
    const Row expected[] = {
        {1, 4, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, 0, "rgba8"},
        {2, 3, GL_DEPTH_COMPONENT24, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT, 0, "r32f"},
        {3, 4, GL_DEPTH_COMPONENT32F, GL_DEPTH_COMPONENT, GL_FLOAT, 0, "r32f"},
        {4, 5, GL_DEPTH32F_STENCIL8, GL_DEPTH_STENCIL, GL_FLOAT_32_UNSIGNED_INT_24_8_REV, 0, "<unsupported>"},
        {5, 3, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, 0, "rgb8"},
        {6, 12, GL_RGB32F, GL_RGB, GL_FLOAT, 0, "rgb32f"},
        {7, 6, GL_RGB16F, GL_RGB, GL_HALF_FLOAT, 0, "rgb16f"},
        {8, 16, GL_RGBA32F, GL_RGBA, GL_FLOAT, 0, "rgba32f"},
        {9, 8, GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 0, "rgba16f"},
        {10, 1, GL_R8, GL_RED, GL_UNSIGNED_BYTE, 0, "r8"},
        {11, 2, GL_R16F, GL_RED, GL_HALF_FLOAT, 0, "r16f"},
        {12, 4, GL_R32F, GL_RED, GL_FLOAT, 0, "r32f"},
        {13, 2, GL_RG8, GL_RG, GL_UNSIGNED_BYTE, 0, "rg8"},
        {14, 0, GL_NONE, GL_NONE, GL_NONE, -1, nullptr},
        {15, 4, GL_RG16F, GL_RG, GL_HALF_FLOAT, 0, "rg16f"},
        {16, 0, GL_NONE, GL_NONE, GL_UNSIGNED_BYTE, 0, nullptr},
        {17, 4, GL_RGBA8UI, GL_RGBA_INTEGER, GL_UNSIGNED_INT, 1, "rgba8ui"},
        {18, 8, GL_RGBA16UI, GL_RGBA_INTEGER, GL_UNSIGNED_INT, 1, "rgba16ui"},
        {19, 8, GL_RG32UI, GL_RG_INTEGER, GL_UNSIGNED_INT, 1, "rg32ui"},
        {20, 4, GL_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, 1, "r32ui"},
        {21, 2, GL_R16UI, GL_RED_INTEGER, GL_UNSIGNED_INT, 1, "r16ui"},
        {22, 1, GL_R8UI, GL_RED_INTEGER, GL_UNSIGNED_INT, 1, "r8ui"},
        {23, 1, GL_STENCIL_INDEX8, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, 1, "r8ui"},
    };
    for (const Row& row : expected) {
        SCOPED_TRACE(row.type);
        const ImageTypeInfo* info = imgTypeInfo(row.type);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->type, row.type);
        EXPECT_EQ(info->bytesPerPixel, row.bytes);
        EXPECT_EQ(info->internalFormat, row.internal);
        EXPECT_EQ(info->uploadFormat, row.format);
        EXPECT_EQ(info->dataType, row.dataType);
        EXPECT_EQ(info->integer, row.integer);
        if (row.word)
            EXPECT_STREQ(info->formatWord, row.word);
        else
            EXPECT_EQ(info->formatWord, nullptr);
    }
    EXPECT_STREQ(imgTypeInfo(IMAGE_TYPE_RGBA16F)->name, "IMAGE_TYPE_RGBA16F");
    EXPECT_EQ(imgTypeInfo(0), nullptr);
    EXPECT_EQ(imgTypeInfo(24), nullptr);
    EXPECT_EQ(imgTypeInfo(-1), nullptr);
}

TEST(ImageTypes, BytesForInvalidTypesLogAndAnswerOne)
{
    EXPECT_EQ(imgBytesForImageType(IMAGE_TYPE_RGBA32F), 16);
    EXPECT_EQ(imgBytesForImageType(IMAGE_TYPE_DEPTH32F_STENCIL8), 5);
    for (ImageType type : {14, 16, 0, 24, 0x7FFFFFFF}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(imgBytesForImageType(type), 1);
        const std::string log = testing::internal::GetCapturedStdout();
        char expected[64];
        std::snprintf(expected, sizeof expected, "Unknown image type used:0x%x", type);
        EXPECT_NE(log.find(expected), std::string::npos) << log;
        EXPECT_NE(log.find("imgBytesForImageType"), std::string::npos);
    }
}

// ---- Image records ----

TEST(ImageCreate, ZeroedBuffersOfTheTableSize)
{
    ImagePtr rgba(imgCreate(3, 2, IMAGE_TYPE_RGBA16F));
    ASSERT_TRUE(rgba);
    EXPECT_EQ(rgba->width, 3);
    EXPECT_EQ(rgba->height, 2);
    EXPECT_EQ(rgba->depth, 1);
    EXPECT_EQ(rgba->levelCount, 1);
    EXPECT_EQ(rgba->type, IMAGE_TYPE_RGBA16F);
    ASSERT_NE(rgba->levels[0], nullptr);
    for (int i = 0; i < 3 * 2 * 8; ++i)
        EXPECT_EQ(rgba->levels[0][i], 0);
    for (int level = 1; level < IMAGE_MAX_LEVELS; ++level)
        EXPECT_EQ(rgba->levels[level], nullptr);

    ImagePtr depth(imgCreate(4, 2, IMAGE_TYPE_DEPTH24));
    ASSERT_TRUE(depth);
    EXPECT_EQ(depth->levels[0], nullptr);
    ImagePtr stencilDepth(imgCreate(4, 2, IMAGE_TYPE_DEPTH32F_STENCIL8));
    ASSERT_TRUE(stencilDepth);
    EXPECT_EQ(stencilDepth->levels[0], nullptr);

    // Half a byte per pixel, rounded down; the sanitizer run checks the buffer really is that big.
    ImagePtr compressed(imgCreate(5, 3, IMAGE_TYPE_COMPRESSED_4BPP));
    ASSERT_TRUE(compressed);
    EXPECT_EQ(imgDataSize(5, 3, 1, IMAGE_TYPE_COMPRESSED_4BPP), 7u);
    std::memset(compressed->levels[0], 0xAB, 7);

    ImagePtr volume(imgCreate(4, 4, IMAGE_TYPE_R8UI, 4));
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->depth, 4);
    std::memset(volume->levels[0], 1, 64);

    Image* freed = imgCreate(2, 2, IMAGE_TYPE_R8);
    imgFreeLevels(freed);
    EXPECT_EQ(freed->levels[0], nullptr);
    imgDestroy(freed);
    imgDestroy(nullptr);
}

TEST(ImageCreate, RefusesBadSizesAndTypes)
{
    const struct {
        int width, height;
        ImageType type;
        const char* log;
    } cases[] = {
        {0, 4, IMAGE_TYPE_RGBA8, "Invalid image size 0 x 4"},
        {4, -1, IMAGE_TYPE_RGBA8, "Invalid image size 4 x -1"},
        {1000000, 1, IMAGE_TYPE_RGBA8, "Invalid image size 1000000 x 1"},
        {IMAGE_MAX_DIMENSION + 1, 1, IMAGE_TYPE_R8, "Invalid image size"},
        {4, 4, 14, "Unknown image type used:0xe"},
        {4, 4, 99, "Unknown image type used:0x63"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        Image* image = imgCreate(c.width, c.height, c.type);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(image, nullptr) << c.log;
        EXPECT_NE(log.find(c.log), std::string::npos) << log;
        imgDestroy(image);
    }
}

// ---- Pixel routines ----

TEST(ImageConvert, RowConversions)
{
    const struct {
        ImageType from, to;
        std::vector<uint8_t> source, expected;
    } cases[] = {
        {IMAGE_TYPE_R8, IMAGE_TYPE_RGBA8, {7, 200}, {7, 7, 7, 255, 200, 200, 200, 255}},
        {IMAGE_TYPE_R8, IMAGE_TYPE_RGB8, {7, 200}, {7, 7, 7, 200, 200, 200}},
        {IMAGE_TYPE_RGBA8, IMAGE_TYPE_R8, {10, 20, 31, 40, 255, 255, 254, 0}, {20, 254}},
        {IMAGE_TYPE_RGBA8, IMAGE_TYPE_RGB8, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 5, 6, 7}},
        {IMAGE_TYPE_RGBA8, IMAGE_TYPE_RG8, {10, 20, 31, 40}, {20, 40}},
        {IMAGE_TYPE_RGB8, IMAGE_TYPE_RGBA8, {1, 2, 3, 9, 8, 7}, {1, 2, 3, 255, 9, 8, 7, 255}},
        {IMAGE_TYPE_RGB8, IMAGE_TYPE_R8, {255, 255, 255, 0, 1, 1}, {255, 0}},
        {IMAGE_TYPE_RGB8, IMAGE_TYPE_RG8, {3, 6, 9}, {6, 255}},
        {IMAGE_TYPE_RG16F, IMAGE_TYPE_RG16F, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out(c.expected.size() + 1, 0xCD);
        const int count = int(c.source.size()) / imgBytesForImageType(c.from);
        imgConvert(c.source.data(), c.from, out.data(), c.to, count);
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 1), c.expected) << c.from << " -> " << c.to;
        EXPECT_EQ(out.back(), 0xCD) << "wrote past the row";
    }
}

TEST(ImageConvert, UnsupportedPairLogsAndWritesNothing)
{
    const uint8_t source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t out[8];
    std::memset(out, 0xCD, sizeof out);
    testing::internal::CaptureStdout();
    imgConvert(source, IMAGE_TYPE_RGBA8, out, IMAGE_TYPE_RGBA16F, 2);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Unsupported image format:format:0x1 , dstFormat:9"), std::string::npos) << log;
    EXPECT_NE(log.find("imgConvert"), std::string::npos);
    for (uint8_t b : out)
        EXPECT_EQ(b, 0xCD);
}

TEST(FloatToHalf, KnownValues)
{
    const struct {
        float value;
        uint16_t half;
    } cases[] = {
        {1.0f, 0x3C00},
        {-2.0f, 0xC000},
        {65504.0f, 0x7BFF},
        {65519.0f, 0x7BFF},
        {65520.0f, 0x7C00},
        {100000.0f, 0x7C00},
        {-100000.0f, 0xFC00},
        {std::numeric_limits<float>::infinity(), 0x7C00},
        {-std::numeric_limits<float>::infinity(), 0xFC00},
        {std::numeric_limits<float>::quiet_NaN(), 0x7E00},
        {-std::numeric_limits<float>::quiet_NaN(), 0xFE00},
        {std::ldexp(1.0f, -24), 0x0001},
        {std::ldexp(1.0f, -25), 0x0001}, // half away from zero on the first dropped bit
        {std::ldexp(1.0f, -26), 0x0000},
        {std::ldexp(1.0f, -14), 0x0400},
        {std::ldexp(1.0f, -14) - std::ldexp(1.0f, -25), 0x0400}, // a denormal rounding up into the normals
        {1.0f + std::ldexp(1.0f, -11), 0x3C01},                  // tie rounds away, not to even
        {0.0f, 0x0000},
        {-0.0f, 0x8000},
        {0.5f, 0x3800},
        {std::numeric_limits<float>::denorm_min(), 0x0000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(floatToHalf(c.value), c.half) << c.value;
}

// Rounding to nearest, ties away from zero, compared with an arithmetic reference over a sweep of bit patterns.
TEST(FloatToHalf, MatchesReferenceOverFloatRange)
{
    auto reference = [](float value) -> uint16_t {
        const uint16_t sign = std::signbit(value) ? 0x8000 : 0;
        const double a = std::fabs(double(value));
        if (a >= 65520.0)
            return sign | 0x7C00;
        int exponent = 0;
        std::frexp(a, &exponent); // a = f * 2^exponent, f in [0.5, 1)
        const int halfExponent = std::max(exponent - 1, -14);
        const double ulp = std::ldexp(1.0, halfExponent - 10);
        const double q = std::floor(a / ulp + 0.5);
        const double rounded = q * ulp;
        if (rounded < std::ldexp(1.0, -14))
            return sign | uint16_t(q);
        int e2 = 0;
        const double f = std::frexp(rounded, &e2);
        return sign | uint16_t(((e2 - 1 + 15) << 10) | (uint32_t(std::ldexp(f, 11)) & 0x3FF));
    };
    int mismatches = 0;
    for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 997) {
        float value;
        const uint32_t b = uint32_t(bits);
        std::memcpy(&value, &b, 4);
        if (std::isnan(value))
            continue;
        if (floatToHalf(value) != reference(value) && ++mismatches < 10)
            ADD_FAILURE() << std::hex << b << ": " << floatToHalf(value) << " != " << reference(value);
    }
    EXPECT_EQ(mismatches, 0);
}

// ---- PNG ----

TEST_F(ImageFiles, PngBasicKinds)
{
    PngFixture grey{3, 2, PNG_COLOR_TYPE_GRAY, 8};
    grey.rows = {{0, 128, 255}, {1, 2, 3}};
    put("grey.png", encodePng(grey));
    ImagePtr r8 = loadPng("grey.png");
    ASSERT_TRUE(r8);
    EXPECT_EQ(r8->type, IMAGE_TYPE_R8);
    EXPECT_EQ(r8->width, 3);
    EXPECT_EQ(r8->height, 2);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(r8->levels[0]), 6), bytes({0, 128, 255, 1, 2, 3}));

    put("rgb.png", encodePng(rgbGradient(5, 4)));
    ImagePtr rgb = loadPng("rgb.png");
    ASSERT_TRUE(rgb);
    EXPECT_EQ(rgb->type, IMAGE_TYPE_RGBA8);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 5; ++x) {
            const uint8_t* p = rgb->levels[0] + (y * 5 + x) * 4;
            EXPECT_EQ(p[0], uint8_t(x * 7 + y));
            EXPECT_EQ(p[1], uint8_t(y * 11));
            EXPECT_EQ(p[2], uint8_t(x ^ y));
            EXPECT_EQ(p[3], 255);
        }

    PngFixture rgba{2, 1, PNG_COLOR_TYPE_RGBA, 8};
    rgba.rows = {{1, 2, 3, 4, 5, 6, 7, 8}};
    put("rgba.png", encodePng(rgba));
    ImagePtr rgba8 = loadPng("rgba.png");
    ASSERT_TRUE(rgba8);
    EXPECT_EQ(rgba8->type, IMAGE_TYPE_RGBA8);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(rgba8->levels[0]), 8), bytes({1, 2, 3, 4, 5, 6, 7, 8}));
}

// Files whose rows are not width x 4 (or width) bytes as stored are expanded to 8-bit R8 / RGBA8.
TEST_F(ImageFiles, PngOtherKindsAreExpanded)
{
    const std::vector<png_color> palette = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 8, 7}};
    struct Case {
        const char* name;
        PngFixture fixture;
        ImageType type;
        std::vector<uint8_t> pixels; // expected level 0
    };
    std::vector<Case> cases;
    {
        PngFixture s{2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8};
        s.rows = {{10, 20, 30, 40}};
        cases.push_back({"grey+alpha", s, IMAGE_TYPE_RGBA8, {10, 10, 10, 20, 30, 30, 30, 40}});
    }
    {
        PngFixture s{3, 1, PNG_COLOR_TYPE_PALETTE, 8};
        s.palette = palette;
        s.rows = {{2, 0, 3}};
        cases.push_back({"palette", s, IMAGE_TYPE_RGBA8, {0, 0, 255, 255, 255, 0, 0, 255, 9, 8, 7, 255}});
    }
    {
        PngFixture s{5, 1, PNG_COLOR_TYPE_PALETTE, 2}; // 4 pixels to a byte: 0 1 2 3 | 1
        s.palette = palette;
        s.paletteAlpha = {0, 128};
        s.rows = {{0x1B, 0x40}};
        cases.push_back({"palette 2-bit with alpha", s, IMAGE_TYPE_RGBA8,
                         {255, 0, 0, 0, 0, 255, 0, 128, 0, 0, 255, 255, 9, 8, 7, 255, 0, 255, 0, 128}});
    }
    {
        PngFixture s{2, 1, PNG_COLOR_TYPE_RGB, 16};
        s.rows = {{0x12, 0x34, 0xAB, 0xCD, 0xFF, 0xFF, 0x00, 0x01, 0x80, 0x00, 0x7F, 0xFF}};
        cases.push_back({"rgb 16-bit", s, IMAGE_TYPE_RGBA8, {0x12, 0xAB, 0xFF, 255, 0x00, 0x80, 0x7F, 255}});
    }
    {
        PngFixture s{2, 1, PNG_COLOR_TYPE_RGBA, 16};
        s.rows = {{1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0}};
        cases.push_back({"rgba 16-bit", s, IMAGE_TYPE_RGBA8, {1, 2, 3, 4, 5, 6, 7, 8}});
    }
    {
        PngFixture s{3, 1, PNG_COLOR_TYPE_GRAY, 16};
        s.rows = {{0xFE, 0x01, 0x00, 0xFF, 0x42, 0x42}};
        cases.push_back({"grey 16-bit", s, IMAGE_TYPE_R8, {0xFE, 0x00, 0x42}});
    }
    {
        PngFixture s{10, 2, PNG_COLOR_TYPE_GRAY, 1};
        s.rows = {{0xA5, 0xC0}, {0xFF, 0xFF}};
        cases.push_back({"grey 1-bit", s, IMAGE_TYPE_R8,
                         {255, 0, 255, 0, 0, 255, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255}});
    }
    {
        PngFixture s{3, 1, PNG_COLOR_TYPE_GRAY, 4};
        s.rows = {{0x0F, 0x80}};
        cases.push_back({"grey 4-bit", s, IMAGE_TYPE_R8, {0x00, 0xFF, 0x88}});
    }
    {
        PngFixture s{3, 1, PNG_COLOR_TYPE_GRAY, 8};
        s.greyKey = true;
        s.greyKeyValue = 50;
        s.rows = {{50, 60, 50}};
        cases.push_back({"grey with transparent key", s, IMAGE_TYPE_RGBA8,
                         {50, 50, 50, 0, 60, 60, 60, 255, 50, 50, 50, 0}});
    }
    {
        // Adam7 needs every pass read into the same rows.
        PngFixture s = rgbGradient(9, 7);
        s.interlaced = true;
        std::vector<uint8_t> expected;
        for (const auto& row : s.rows)
            for (size_t i = 0; i < row.size(); i += 3)
                expected.insert(expected.end(), {row[i], row[i + 1], row[i + 2], 255});
        cases.push_back({"interlaced rgb", s, IMAGE_TYPE_RGBA8, expected});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> messages;
        ImagePtr image = decodePng(encodePng(c.fixture), messages);
        ASSERT_TRUE(image);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], "loaded texture " + std::to_string(c.fixture.width) + " x " +
                                   std::to_string(c.fixture.height));
        EXPECT_EQ(image->type, c.type);
        EXPECT_EQ(image->width, c.fixture.width);
        EXPECT_EQ(image->height, c.fixture.height);
        const std::vector<uint8_t> pixels(image->levels[0], image->levels[0] + c.pixels.size());
        EXPECT_EQ(pixels, c.pixels);
    }
}

TEST_F(ImageFiles, PngMessagesAreExactlyOne)
{
    std::vector<std::string> messages;
    EXPECT_FALSE(decodePng("GIF89a not a png at all", messages));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Not a png file");

    messages.clear();
    const Bytes good = encodePng(rgbGradient(64, 64));
    EXPECT_FALSE(decodePng(good.substr(0, good.size() / 2), messages));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Error during setjmp");

    messages.clear();
    EXPECT_TRUE(decodePng(good, messages));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "loaded texture 64 x 64");
}

// Broken files give null and a log line naming the file and the reason; never a crash or an overrun.
TEST_F(ImageFiles, PngBadInputs)
{
    const Bytes good = encodePng(rgbGradient(40, 30));
    const size_t ihdr = findChunk(good, "IHDR").first;
    const auto idat = findChunk(good, "IDAT");
    ASSERT_NE(idat.first, Bytes::npos);

    auto withWidth = [&](uint32_t width) {
        Bytes b = good;
        putBigEndian(b, ihdr + 8, width);
        fixCrc(b, ihdr);
        return b;
    };
    auto withHeight = [&](uint32_t height) {
        Bytes b = good;
        putBigEndian(b, ihdr + 12, height);
        fixCrc(b, ihdr);
        return b;
    };
    Bytes badHeaderCrc = good;
    badHeaderCrc[ihdr + 8 + 13] ^= 0x55;
    const size_t idatLength = findChunk(good, "IEND").first - idat.second - 4;
    Bytes badDataCrc = good;
    badDataCrc[idat.second + idatLength] ^= 0x55;
    Bytes badZlib = good;
    badZlib[idat.second] = char(0xFF); // not a zlib header, CRC made to match
    badZlib[idat.second + 1] = char(0xFF);
    fixCrc(badZlib, idat.first);
    Bytes badDeflate = good;
    for (size_t i = idat.second + 2; i < idat.second + 40; ++i)
        badDeflate[i] = char(0xFF);
    fixCrc(badDeflate, idat.first);
    Bytes badDepth = good;
    badDepth[ihdr + 16] = 7;
    fixCrc(badDepth, ihdr);

    const std::vector<BadFile> cases = {
        {"empty", "", "Not a png file"},
        {"signature only", good.substr(0, 8), "Error during setjmp"},
        {"truncated header", good.substr(0, 20), "Error during setjmp"},
        {"truncated data", good.substr(0, idat.second + 30), "Error during setjmp"},
        {"corrupt header crc", badHeaderCrc, "CRC error"},
        {"corrupt data crc", badDataCrc, "CRC error"},
        {"corrupt zlib header", badZlib, "Error during setjmp"},
        {"corrupt deflate data", badDeflate, "Error during setjmp"},
        {"width 0", withWidth(0), "Error during setjmp"},
        {"width 1000000", withWidth(1000000), "Error during setjmp"},
        {"height 1000000", withHeight(1000000), "Error during setjmp"},
        {"width 2^31", withWidth(0x80000000u), "Error during setjmp"},
        {"bad bit depth", badDepth, "Error during setjmp"},
    };
    expectRefused(cases, "bad.png", "Failed to load <bad.png>: ",
                  [this](const std::string& name, std::string* log) { return loadPng(name, log); });

    std::string log;
    EXPECT_FALSE(loadPng("missing.png", &log));
    EXPECT_NE(log.find("Failed to open file <missing.png>"), std::string::npos) << log;
    EXPECT_NE(log.find("imgLoad"), std::string::npos);
}

TEST_F(ImageFiles, PngFailureLogsLibpngReason)
{
    const Bytes good = encodePng(rgbGradient(40, 30));
    const size_t ihdr = findChunk(good, "IHDR").first;
    Bytes wide = good;
    putBigEndian(wide, ihdr + 8, 1000000);
    fixCrc(wide, ihdr);
    put("wide.png", wide);
    std::string log;
    EXPECT_FALSE(loadPng("wide.png", &log));
    EXPECT_NE(log.find("png decoding failed: "), std::string::npos) << log;
    EXPECT_NE(log.find("width"), std::string::npos) << log;

    put("short.png", good.substr(0, good.size() - 40));
    EXPECT_FALSE(loadPng("short.png", &log));
    EXPECT_NE(log.find("Read past end of file"), std::string::npos) << log;
}

// ---- Radiance ----

TEST_F(ImageFiles, HdrPixelValues)
{
    // Width below 8: old form throughout.
    put("px.hdr", hdrHeader(3, 1) + bytes({128, 128, 128, 129, 255, 0, 0, 128, 0, 64, 1, 130}));
    ImagePtr image = loadHdr("px.hdr");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->type, IMAGE_TYPE_RGB32F);
    EXPECT_EQ(image->width, 3);
    EXPECT_EQ(image->height, 1);
    const float* p = floats(image);
    const float expected[] = {1.0f, 1.0f, 1.0f, 0.99609375f, 0.0f, 0.0f, 0.0f, 1.0f, 1.0f / 64.0f};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(p[i], expected[i]) << i;

    ImagePtr half = loadHdr("px.hdr", nullptr, IMAGE_TYPE_RGB16F);
    ASSERT_TRUE(half);
    EXPECT_EQ(half->type, IMAGE_TYPE_RGB16F);
    const auto* h = reinterpret_cast<const uint16_t*>(half->levels[0]);
    EXPECT_EQ(h[0], 0x3C00);
    EXPECT_EQ(h[3], floatToHalf(0.99609375f));

    std::string log;
    EXPECT_FALSE(loadHdr("px.hdr", &log, IMAGE_TYPE_RGBA8));
    EXPECT_NE(log.find("Radiance images load as RGB32F or RGB16F"), std::string::npos) << log;
}

TEST_F(ImageFiles, HdrNewFormRunsAndLiterals)
{
    // Width 8: one run per channel.
    Bytes file = hdrHeader(8, 2) + bytes({2, 2, 0, 8, 136, 128, 136, 64, 136, 0, 136, 129});
    // Second row: literal red, mixed runs for the others.
    file += bytes({2, 2, 0, 8, 8, 1, 2, 3, 4, 5, 6, 7, 8, 132, 128, 4, 10, 20, 30, 40, 0, 136, 0, 136, 136});
    put("new.hdr", file);
    ImagePtr image = loadHdr("new.hdr");
    ASSERT_TRUE(image);
    const float* p = floats(image);
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(p[x * 3 + 0], 1.0f);
        EXPECT_EQ(p[x * 3 + 1], 0.5f);
        EXPECT_EQ(p[x * 3 + 2], 0.0f);
    }
    const float* row1 = p + 8 * 3;
    const uint8_t green[8] = {128, 128, 128, 128, 10, 20, 30, 40};
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(row1[x * 3 + 0], float(x + 1) / 256.0f * 256.0f) << x; // exponent 136: scale 256
        EXPECT_EQ(row1[x * 3 + 1], float(green[x]));
        EXPECT_EQ(row1[x * 3 + 2], 0.0f);
    }
}

TEST_F(ImageFiles, HdrOldFormRepeatsAndFallbacks)
{
    // A pixel, then repeat 3 and repeat 1 << 8: 1 + 3 + 256 = 260 pixels.
    put("repeat.hdr", hdrHeader(260, 1) + bytes({128, 64, 32, 129, 1, 1, 1, 3, 1, 1, 1, 1}));
    ImagePtr image = loadHdr("repeat.hdr");
    ASSERT_TRUE(image);
    for (int x = 0; x < 260; ++x) {
        ASSERT_EQ(floats(image)[x * 3 + 0], 1.0f) << x;
        ASSERT_EQ(floats(image)[x * 3 + 1], 0.5f) << x;
        ASSERT_EQ(floats(image)[x * 3 + 2], 0.25f) << x;
    }

    // Width 7 is always the old form, even when the bytes look like a new-form start.
    put("seven.hdr", hdrHeader(7, 1) + bytes({2, 2, 0, 7, 1, 1, 1, 6}));
    image = loadHdr("seven.hdr");
    ASSERT_TRUE(image);
    for (int x = 0; x < 7; ++x)
        EXPECT_EQ(floats(image)[x * 3 + 0], 2.0f / 256.0f * std::ldexp(1.0f, 7 - 128)) << x;

    // 2 followed by a byte other than 2: old form whose first pixel is those four bytes; a repeat may follow it.
    put("fallback.hdr", hdrHeader(8, 1) + bytes({2, 1, 0, 129, 1, 1, 1, 6, 64, 64, 64, 129}));
    image = loadHdr("fallback.hdr");
    ASSERT_TRUE(image);
    for (int x = 0; x < 7; ++x)
        EXPECT_EQ(floats(image)[x * 3 + 0], 2.0f / 128.0f) << x;
    EXPECT_EQ(floats(image)[7 * 3 + 0], 0.5f);

    // Same with the top bit of the third byte set.
    put("fallback2.hdr", hdrHeader(9, 1) + bytes({2, 2, 0x80, 129}) + Bytes(32, char(0)));
    EXPECT_TRUE(loadHdr("fallback2.hdr"));

    // A first byte other than 2 steps back and reads the whole scanline in the old form.
    put("plain.hdr", hdrHeader(8, 1) + bytes({128, 0, 0, 129, 1, 1, 1, 7}));
    image = loadHdr("plain.hdr");
    ASSERT_TRUE(image);
    for (int x = 0; x < 8; ++x)
        EXPECT_EQ(floats(image)[x * 3 + 0], 1.0f) << x;
}

TEST_F(ImageFiles, HdrHeaderForms)
{
    // No header variables at all: the empty line follows the magic line directly.
    put("bare.hdr", "#?RADIANCE\n\n-Y 1 +X 1\n" + bytes({128, 128, 128, 129}));
    ImagePtr image = loadHdr("bare.hdr");
    ASSERT_TRUE(image);
    EXPECT_EQ(floats(image)[0], 1.0f);

    // The first scanline of the file is the first row.
    Bytes twoRows = hdrHeader(1, 2) + bytes({128, 0, 0, 129, 0, 128, 0, 129});
    put("rows.hdr", twoRows);
    image = loadHdr("rows.hdr");
    ASSERT_TRUE(image);
    EXPECT_EQ(floats(image)[0], 1.0f);
    EXPECT_EQ(floats(image)[4], 1.0f);
}

TEST_F(ImageFiles, HdrTruncatedDataLeavesBlackRows)
{
    std::vector<std::array<uint8_t, 4>> row(16, {128, 128, 128, 129});
    const Bytes full = hdrHeader(16, 4) + newFormScanline(row) + newFormScanline(row);
    for (size_t cut : {size_t(0), size_t(10)}) {
        SCOPED_TRACE(cut);
        put("cut.hdr", full.substr(0, full.size() - cut));
        std::string log;
        ImagePtr image = loadHdr("cut.hdr", &log);
        ASSERT_TRUE(image);
        EXPECT_NE(log.find("ends at scanline"), std::string::npos) << log;
        const int goodRows = cut == 0 ? 2 : 1;
        for (int i = 0; i < 16 * 4 * 3; ++i)
            ASSERT_EQ(floats(image)[i], i < goodRows * 16 * 3 ? 1.0f : 0.0f) << i;
    }

    // The raw decoder says the same.
    int32_t width = 0, height = 0;
    float* pixels = nullptr;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(imgReadRadianceHDR((dir.str() + "cut.hdr").c_str(), &width, &height, &pixels));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(width, 16);
    EXPECT_EQ(height, 4);
    EXPECT_EQ(pixels[16 * 3 * 4 - 1], 0.0f);
    std::free(pixels);
}

// Broken files give null and "Unable to read <name> " plus a reason; runs never write past the scanline.
TEST_F(ImageFiles, HdrBadInputs)
{
    const Bytes header8 = hdrHeader(8, 1);
    const std::vector<BadFile> cases = {
        {"empty", "", "is not a Radiance file"},
        {"short magic", "#?RADI", "is not a Radiance file"},
        {"rgbe magic", "#?RGBE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n" + bytes({128, 128, 128, 129}),
         "is not a Radiance file"},
        {"no end of header", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n-Y 1 +X 1\n", "header of"},
        {"no resolution line", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n", "has no resolution line"},
        {"+Y orientation", "#?RADIANCE\n\n+Y 1 +X 1\n" + bytes({128, 128, 128, 129}), "not understood"},
        {"only height", "#?RADIANCE\n\n-Y 4\n", "not understood"},
        {"long resolution line", "#?RADIANCE\n\n-Y 1 +X 1" + Bytes(300, ' ') + "\n", "too long"},
        {"huge number", "#?RADIANCE\n\n-Y 99999999999999999999 +X 1\n", "not understood"},
        {"width 0", "#?RADIANCE\n\n-Y 1 +X 0\n", "invalid size"},
        {"negative height", "#?RADIANCE\n\n-Y -3 +X 4\n", "invalid size"},
        {"width 1000000", "#?RADIANCE\n\n-Y 1 +X 1000000\n", "invalid size"},
        {"repeat as first pixel", hdrHeader(4, 1) + bytes({1, 1, 1, 4}), "repeat code with no pixel"},
        {"repeat past the end", hdrHeader(4, 1) + bytes({9, 9, 9, 129, 1, 1, 1, 4}), "overruns"},
        {"shifted repeat past the end", hdrHeader(300, 1) + bytes({9, 9, 9, 129, 1, 1, 1, 0, 1, 1, 1, 2}),
         "overruns"},
        {"long chain of repeat codes",
         [] {
             Bytes b = hdrHeader(6, 1) + bytes({9, 9, 9, 129});
             for (int i = 0; i < 40; ++i)
                 b += bytes({1, 1, 1, 0});
             return b + bytes({1, 1, 1, 1});
         }(),
         "overruns"},
        {"new-form run too long", header8 + bytes({2, 2, 0, 8, 137, 5}), "overruns the scanline"},
        {"new-form run after literal", header8 + bytes({2, 2, 0, 8, 4, 1, 2, 3, 4, 133, 5}), "overruns"},
        {"new-form literal too long", header8 + bytes({2, 2, 0, 8, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9}), "overruns"},
        {"new-form later channel", header8 + bytes({2, 2, 0, 8, 136, 5, 136, 5, 255, 5}), "overruns"},
        {"fallback repeat past end", header8 + bytes({2, 1, 0, 129, 1, 1, 1, 8}), "overruns"},
    };
    expectRefused(cases, "bad.hdr", "Unable to read <bad.hdr> ",
                  [this](const std::string& name, std::string* log) { return loadHdr(name, log); });

    std::string log;
    EXPECT_FALSE(loadHdr("missing.hdr", &log));
    EXPECT_NE(log.find("Unable to read <missing.hdr> "), std::string::npos) << log;
    EXPECT_NE(log.find("imgLoadTypeHDR"), std::string::npos);
}

TEST(RadianceOldRLE, RepeatsPreviousPixelAndStopsAtEndOfFile)
{
    const Bytes data = bytes({5, 6, 7, 8, 1, 1, 1, 2, 9, 9, 9, 9});
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    std::fwrite(data.data(), 1, data.size(), f);
    std::rewind(f);
    uint8_t scanline[4 * 5];
    std::memset(scanline, 0xEE, sizeof scanline);
    EXPECT_TRUE(imgReadRadianceOldRLE(scanline, 4, f));
    const uint8_t expected[16] = {5, 6, 7, 8, 5, 6, 7, 8, 5, 6, 7, 8, 9, 9, 9, 9};
    EXPECT_EQ(std::memcmp(scanline, expected, 16), 0);
    EXPECT_EQ(scanline[16], 0xEE);

    std::rewind(f);
    EXPECT_FALSE(imgReadRadianceOldRLE(scanline, 5, f)); // one pixel short
    EXPECT_TRUE(std::feof(f));

    // A repeat code right at the start repeats the pixel before the scanline pointer when there is one.
    std::rewind(f);
    std::fseek(f, 4, SEEK_SET);
    uint8_t withPrevious[4 + 12] = {1, 2, 3, 4};
    EXPECT_TRUE(imgReadRadianceOldRLE(withPrevious + 4, 3, f, true));
    const uint8_t expectedPrevious[16] = {1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4, 9, 9, 9, 9};
    EXPECT_EQ(std::memcmp(withPrevious, expectedPrevious, 16), 0);
    std::fclose(f);
}
