#include "jni/engine/grd_image.h"

#include "app/data_files.h"
#include "app/log.h"

#include <png.h>

#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

using namespace gl;

namespace {

// Indexed by code; row 0 is a placeholder so the index is the code.
const ImageTypeInfo imageTypeTable[IMAGE_TYPE_LAST + 1] = {
    {},
    {IMAGE_TYPE_RGBA8, "IMAGE_TYPE_RGBA8", 4, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, 0, "rgba8"},
    {IMAGE_TYPE_DEPTH24, "IMAGE_TYPE_DEPTH24", 3, GL_DEPTH_COMPONENT24, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT, 0, "r32f"},
    {IMAGE_TYPE_DEPTH32F, "IMAGE_TYPE_DEPTH32F", 4, GL_DEPTH_COMPONENT32F, GL_DEPTH_COMPONENT, GL_FLOAT, 0, "r32f"},
    {IMAGE_TYPE_DEPTH32F_STENCIL8, "IMAGE_TYPE_DEPTH32F_STENCIL8", 5, GL_DEPTH32F_STENCIL8, GL_DEPTH_STENCIL,
     GL_FLOAT_32_UNSIGNED_INT_24_8_REV, 0, "<unsupported>"},
    {IMAGE_TYPE_RGB8, "IMAGE_TYPE_RGB8", 3, GL_RGB8, GL_RGB, GL_UNSIGNED_BYTE, 0, "rgb8"},
    {IMAGE_TYPE_RGB32F, "IMAGE_TYPE_RGB32F", 12, GL_RGB32F, GL_RGB, GL_FLOAT, 0, "rgb32f"},
    {IMAGE_TYPE_RGB16F, "IMAGE_TYPE_RGB16F", 6, GL_RGB16F, GL_RGB, GL_HALF_FLOAT, 0, "rgb16f"},
    {IMAGE_TYPE_RGBA32F, "IMAGE_TYPE_RGBA32F", 16, GL_RGBA32F, GL_RGBA, GL_FLOAT, 0, "rgba32f"},
    {IMAGE_TYPE_RGBA16F, "IMAGE_TYPE_RGBA16F", 8, GL_RGBA16F, GL_RGBA, GL_HALF_FLOAT, 0, "rgba16f"},
    {IMAGE_TYPE_R8, "IMAGE_TYPE_R8", 1, GL_R8, GL_RED, GL_UNSIGNED_BYTE, 0, "r8"},
    {IMAGE_TYPE_R16F, "IMAGE_TYPE_R16F", 2, GL_R16F, GL_RED, GL_HALF_FLOAT, 0, "r16f"},
    {IMAGE_TYPE_R32F, "IMAGE_TYPE_R32F", 4, GL_R32F, GL_RED, GL_FLOAT, 0, "r32f"},
    {IMAGE_TYPE_RG8, "IMAGE_TYPE_RG8", 2, GL_RG8, GL_RG, GL_UNSIGNED_BYTE, 0, "rg8"},
    {14, nullptr, 0, GL_NONE, GL_NONE, GL_NONE, -1, nullptr},
    {IMAGE_TYPE_RG16F, "IMAGE_TYPE_RG16F", 4, GL_RG16F, GL_RG, GL_HALF_FLOAT, 0, "rg16f"},
    {IMAGE_TYPE_COMPRESSED_4BPP, "IMAGE_TYPE_COMPRESSED_4BPP", 0, GL_NONE, GL_NONE, GL_UNSIGNED_BYTE, 0, nullptr},
    {IMAGE_TYPE_RGBA8UI, "IMAGE_TYPE_RGBA8UI", 4, GL_RGBA8UI, GL_RGBA_INTEGER, GL_UNSIGNED_INT, 1, "rgba8ui"},
    {IMAGE_TYPE_RGBA16UI, "IMAGE_TYPE_RGBA16UI", 8, GL_RGBA16UI, GL_RGBA_INTEGER, GL_UNSIGNED_INT, 1, "rgba16ui"},
    {IMAGE_TYPE_RG32UI, "IMAGE_TYPE_RG32UI", 8, GL_RG32UI, GL_RG_INTEGER, GL_UNSIGNED_INT, 1, "rg32ui"},
    {IMAGE_TYPE_R32UI, "IMAGE_TYPE_R32UI", 4, GL_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, 1, "r32ui"},
    {IMAGE_TYPE_R16UI, "IMAGE_TYPE_R16UI", 2, GL_R16UI, GL_RED_INTEGER, GL_UNSIGNED_INT, 1, "r16ui"},
    {IMAGE_TYPE_R8UI, "IMAGE_TYPE_R8UI", 1, GL_R8UI, GL_RED_INTEGER, GL_UNSIGNED_INT, 1, "r8ui"},
    {IMAGE_TYPE_STENCIL8, "IMAGE_TYPE_STENCIL8", 1, GL_STENCIL_INDEX8, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, 1, "r8ui"},
};

bool validDimension(int32_t size)
{
    return size >= 1 && size <= IMAGE_MAX_DIMENSION;
}

} // namespace

const ImageTypeInfo* imgTypeInfo(ImageType type)
{
    if (type < IMAGE_TYPE_FIRST || type > IMAGE_TYPE_LAST)
        return nullptr;
    return &imageTypeTable[type];
}

// ---- Image records ----

Image::~Image()
{
    imgFreeLevels(this);
}

void imgFreeLevels(Image* image)
{
    if (!image)
        return;
    for (uint8_t*& level : image->levels) {
        std::free(level);
        level = nullptr;
    }
}

void imgDestroy(Image* image)
{
    delete image;
}

size_t imgDataSize(int32_t width, int32_t height, int32_t depth, ImageType type)
{
    if (!validDimension(width) || !validDimension(height) || !validDimension(depth))
        return 0;
    const size_t pixels = size_t(width) * size_t(height) * size_t(depth);
    if (type == IMAGE_TYPE_COMPRESSED_4BPP)
        return pixels / 2;
    const ImageTypeInfo* info = imgTypeInfo(type);
    return info ? pixels * size_t(info->bytesPerPixel) : 0;
}

namespace {

Image* createImage(int32_t width, int32_t height, ImageType type, int32_t depth, bool pixels)
{
    if (!validDimension(width) || !validDimension(height) || !validDimension(depth)) {
        LOG_ERROR("Invalid image size %d x %d x %d", width, height, depth);
        return nullptr;
    }
    const size_t bytes = imgDataSize(width, height, depth, type);
    if (bytes == 0 && type != IMAGE_TYPE_COMPRESSED_4BPP) {
        LOG_ERROR("Unknown image type used:0x%x", type);
        return nullptr;
    }

    std::unique_ptr<Image> image(new (std::nothrow) Image);
    if (!image)
        return nullptr;
    image->width = width;
    image->height = height;
    image->depth = depth;
    image->levelCount = 1;
    image->type = type;

    const bool depthType = type == IMAGE_TYPE_DEPTH24 || type == IMAGE_TYPE_DEPTH32F ||
                           type == IMAGE_TYPE_DEPTH32F_STENCIL8;
    if (pixels && !depthType) {
        // calloc(0) may legally return null; a 1 x 1 compressed image still gets a (1-byte) buffer.
        image->levels[0] = static_cast<uint8_t*>(std::calloc(bytes ? bytes : 1, 1));
        if (!image->levels[0])
            return nullptr;
    }
    return image.release();
}

} // namespace

Image* imgCreate(int32_t width, int32_t height, ImageType type, int32_t depth)
{
    return createImage(width, height, type, depth, true);
}

Image* imgCreateWithoutPixels(int32_t width, int32_t height, ImageType type, int32_t depth)
{
    return createImage(width, height, type, depth, false);
}

int32_t imgBytesForImageType(ImageType type)
{
    const ImageTypeInfo* info = imgTypeInfo(type);
    if (!info || info->bytesPerPixel == 0) {
        LOG_ERROR("Unknown image type used:0x%x", type);
        return 1;
    }
    return info->bytesPerPixel;
}

// ---- Pixel routines ----

void imgConvert(const void* source, ImageType sourceType, void* destination, ImageType destinationType, int32_t count)
{
    const auto* src = static_cast<const uint8_t*>(source);
    auto* dst = static_cast<uint8_t*>(destination);
    if (count <= 0)
        return;

    if (sourceType == destinationType) {
        std::memcpy(dst, src, size_t(count) * size_t(imgBytesForImageType(sourceType)));
        return;
    }

    auto mean = [](const uint8_t* p) { return uint8_t((unsigned(p[0]) + p[1] + p[2]) / 3); };

    if (sourceType == IMAGE_TYPE_RGBA8 && destinationType == IMAGE_TYPE_RGB8) {
        for (int32_t i = 0; i < count; ++i, src += 4, dst += 3) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
        }
    } else if (sourceType == IMAGE_TYPE_RGBA8 && destinationType == IMAGE_TYPE_R8) {
        for (int32_t i = 0; i < count; ++i, src += 4)
            *dst++ = mean(src);
    } else if (sourceType == IMAGE_TYPE_RGBA8 && destinationType == IMAGE_TYPE_RG8) {
        for (int32_t i = 0; i < count; ++i, src += 4, dst += 2) {
            dst[0] = mean(src);
            dst[1] = src[3];
        }
    } else if (sourceType == IMAGE_TYPE_RGB8 && destinationType == IMAGE_TYPE_RGBA8) {
        for (int32_t i = 0; i < count; ++i, src += 3, dst += 4) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
            dst[3] = 255;
        }
    } else if (sourceType == IMAGE_TYPE_RGB8 && destinationType == IMAGE_TYPE_R8) {
        for (int32_t i = 0; i < count; ++i, src += 3)
            *dst++ = mean(src);
    } else if (sourceType == IMAGE_TYPE_RGB8 && destinationType == IMAGE_TYPE_RG8) {
        for (int32_t i = 0; i < count; ++i, src += 3, dst += 2) {
            dst[0] = mean(src);
            dst[1] = 255;
        }
    } else if (sourceType == IMAGE_TYPE_R8 && destinationType == IMAGE_TYPE_RGBA8) {
        for (int32_t i = 0; i < count; ++i, dst += 4) {
            dst[0] = dst[1] = dst[2] = src[i];
            dst[3] = 255;
        }
    } else if (sourceType == IMAGE_TYPE_R8 && destinationType == IMAGE_TYPE_RGB8) {
        for (int32_t i = 0; i < count; ++i, dst += 3)
            dst[0] = dst[1] = dst[2] = src[i];
    } else {
        LOG_ERROR("Unsupported image format:format:0x%x , dstFormat:%0x\n", sourceType, destinationType);
    }
}

uint16_t floatToHalf(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint16_t sign = uint16_t((bits >> 16) & 0x8000u);
    const int32_t e = int32_t((bits >> 23) & 0xFFu);
    const uint32_t m = bits & 0x7FFFFFu;

    if (e == 255)
        return sign | (m ? 0x7E00 : 0x7C00);

    const int32_t E = e - 112;
    if (E >= 31)
        return sign | 0x7C00;

    if (E > 0) {
        uint32_t half = (uint32_t(E) << 10) | (m >> 13);
        if (bits & 0x1000u)
            ++half; // may carry into the exponent, at most up to infinity
        return uint16_t(sign | half);
    }

    if (14 - E > 24)
        return sign;
    const uint32_t M = m | 0x800000u;
    uint32_t half = (M >> (126 - e)) & 0x3FFu;
    if ((M >> (125 - e)) & 1u)
        ++half;
    return uint16_t(sign | half);
}

// ---- PNG ----

namespace {

enum class PngStatus { Ok, NoReadStruct, NoInfo, NoEndInfo, NoMemory, Unsupported, LibpngError };

// Everything the decoder touches after setjmp lives here, in memory the caller owns, so a longjmp loses nothing.
struct PngDecode {
    DataFile* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_infop endInfo = nullptr;
    Image* image = nullptr;
    char error[256] = {};
};

void pngErrorHandler(png_structp png, png_const_charp message)
{
    auto* decode = static_cast<PngDecode*>(png_get_error_ptr(png));
    std::snprintf(decode->error, sizeof decode->error, "%s", message ? message : "unknown libpng error");
    png_longjmp(png, 1);
}

void pngWarningHandler(png_structp png, png_const_charp message)
{
    LOG_WARNING("libpng: %s", message ? message : "");
}

void pngReadFromDataFile(png_structp png, png_bytep out, size_t count)
{
    auto* decode = static_cast<PngDecode*>(png_get_io_ptr(png));
    if (count > size_t(INT32_MAX) || dataFileRead(decode->file, out, count) != int(count))
        png_error(png, "Read past end of file");
}

// libpng errors longjmp back to the setjmp below: no object with a destructor may live in this function, and
// nothing it needs afterwards may be kept in a local.
PngStatus pngDecode(PngDecode* decode)
{
    decode->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, decode, pngErrorHandler, pngWarningHandler);
    if (!decode->png)
        return PngStatus::NoReadStruct;
    decode->info = png_create_info_struct(decode->png);
    if (!decode->info)
        return PngStatus::NoInfo;
    decode->endInfo = png_create_info_struct(decode->png);
    if (!decode->endInfo)
        return PngStatus::NoEndInfo;

    if (setjmp(png_jmpbuf(decode->png)))
        return PngStatus::LibpngError;

    png_structp png = decode->png;
    png_infop info = decode->info;
    png_set_user_limits(png, IMAGE_MAX_DIMENSION, IMAGE_MAX_DIMENSION);
    png_set_read_fn(png, decode, pngReadFromDataFile);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);

    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const int bitDepth = png_get_bit_depth(png, info);
    const int colorType = png_get_color_type(png, info);
    if (width == 0 || height == 0 || width > png_uint_32(IMAGE_MAX_DIMENSION) ||
        height > png_uint_32(IMAGE_MAX_DIMENSION))
        png_error(png, "Image size out of range");

    // Bring every kind of file to 8 bits per channel: plain grey stays one channel, the rest becomes RGBA.
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    const bool grey = colorType == PNG_COLOR_TYPE_GRAY && !transparency;
    if (colorType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    if (transparency)
        png_set_tRNS_to_alpha(png);
    if (bitDepth == 16)
        png_set_strip_16(png);
    if (!grey) {
        if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA)
            png_set_gray_to_rgb(png);
        png_set_add_alpha(png, 0xFFFF, PNG_FILLER_AFTER); // no-op where alpha is already there
    }
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const ImageType type = grey ? IMAGE_TYPE_R8 : IMAGE_TYPE_RGBA8;
    const size_t rowBytes = size_t(width) * size_t(imgBytesForImageType(type));
    if (png_get_rowbytes(png, info) != rowBytes || png_get_bit_depth(png, info) != 8) {
        std::snprintf(decode->error, sizeof decode->error, "decoded rows of %zu bytes, expected %zu",
                      size_t(png_get_rowbytes(png, info)), rowBytes);
        return PngStatus::Unsupported;
    }

    decode->image = imgCreate(int32_t(width), int32_t(height), type);
    if (!decode->image)
        return PngStatus::NoMemory;

    // Rows go straight into the image (source and destination types are equal); interlaced files need every pass.
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < height; ++y)
            png_read_row(png, decode->image->levels[0] + size_t(y) * rowBytes, nullptr);
    return PngStatus::Ok;
}

const char* pngStatusMessage(PngStatus status)
{
    switch (status) {
    case PngStatus::NoReadStruct:
        return "Unable to create png struct";
    case PngStatus::NoInfo:
        return "Unable to create png info";
    case PngStatus::NoEndInfo:
        return "Unable to create png end info";
    case PngStatus::NoMemory:
        return "Unable to allocate image_data while loading";
    case PngStatus::Unsupported:
        return "Unsupported png pixel layout";
    case PngStatus::LibpngError:
        return "Error during setjmp";
    case PngStatus::Ok:
        break;
    }
    return "";
}

} // namespace

Image* imgLoadTypePNG(DataFile* file, std::vector<std::string>& messages)
{
    uint8_t signature[8] = {};
    if (dataFileRead(file, signature, sizeof signature) != int(sizeof signature) ||
        png_sig_cmp(signature, 0, sizeof signature) != 0) {
        messages.emplace_back("Not a png file");
        return nullptr;
    }

    PngDecode decode;
    decode.file = file;
    const PngStatus status = pngDecode(&decode);
    png_destroy_read_struct(&decode.png, &decode.info, &decode.endInfo);

    if (status != PngStatus::Ok) {
        if (decode.error[0])
            LOG_ERROR("png decoding failed: %s", decode.error);
        imgDestroy(decode.image);
        messages.emplace_back(pngStatusMessage(status));
        return nullptr;
    }
    messages.push_back("loaded texture " + std::to_string(decode.image->width) + " x " +
                       std::to_string(decode.image->height));
    return decode.image;
}

Image* imgLoad(std::string_view name)
{
    const int nameLength = int(name.size());
    DataFile* file = dataFileOpen(name);
    if (!file) {
        LOG_ERROR("Failed to open file <%.*s>", nameLength, name.data());
        return nullptr;
    }
    std::vector<std::string> messages;
    Image* image = imgLoadTypePNG(file, messages);
    dataFileClose(file);
    if (!image)
        LOG_ERROR("Failed to load <%.*s>: %s", nameLength, name.data(),
                  messages.empty() ? "" : messages.back().c_str());
    return image;
}

// ---- Radiance RGBE ----

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

enum class ScanlineResult { Ok, EndOfFile, Corrupt };

ScanlineResult oldFormResult(bool ok, FILE* file)
{
    if (ok)
        return ScanlineResult::Ok;
    return std::feof(file) || std::ferror(file) ? ScanlineResult::EndOfFile : ScanlineResult::Corrupt;
}

// One scanline of width pixels into scanline (width x 4 bytes: r, g, b, e).
ScanlineResult readRadianceScanline(uint8_t* scanline, int32_t width, FILE* file)
{
    if (width < 8 || width > 0x7FFF)
        return oldFormResult(imgReadRadianceOldRLE(scanline, width, file), file);

    const int first = std::getc(file);
    if (first == EOF)
        return ScanlineResult::EndOfFile;
    if (first != 2) {
        std::ungetc(first, file);
        return oldFormResult(imgReadRadianceOldRLE(scanline, width, file), file);
    }
    uint8_t head[3];
    if (std::fread(head, 1, 3, file) != 3)
        return ScanlineResult::EndOfFile;
    if (head[0] != 2 || (head[1] & 0x80)) {
        // Old form after all: these four bytes are its first pixel.
        scanline[0] = 2;
        scanline[1] = head[0];
        scanline[2] = head[1];
        scanline[3] = head[2];
        return oldFormResult(imgReadRadianceOldRLE(scanline + 4, width - 1, file, true), file);
    }

    // New form: each channel on its own, as runs and literals. The width in head[1..2] is not trusted.
    uint8_t literal[128];
    for (int channel = 0; channel < 4; ++channel) {
        int32_t x = 0;
        while (x < width) {
            const int code = std::getc(file);
            if (code == EOF)
                return ScanlineResult::EndOfFile;
            if (code > 128) {
                const int32_t run = code & 0x7F;
                const int value = std::getc(file);
                if (value == EOF)
                    return ScanlineResult::EndOfFile;
                if (run > width - x) {
                    LOG_ERROR("Radiance run of %d pixels at %d overruns the scanline of %d", run, x, width);
                    return ScanlineResult::Corrupt;
                }
                for (int32_t i = 0; i < run; ++i, ++x)
                    scanline[size_t(x) * 4 + channel] = uint8_t(value);
            } else {
                if (code > width - x) {
                    LOG_ERROR("Radiance literal of %d pixels at %d overruns the scanline of %d", code, x, width);
                    return ScanlineResult::Corrupt;
                }
                if (std::fread(literal, 1, size_t(code), file) != size_t(code))
                    return ScanlineResult::EndOfFile;
                for (int i = 0; i < code; ++i, ++x)
                    scanline[size_t(x) * 4 + channel] = literal[i];
            }
        }
    }
    return ScanlineResult::Ok;
}

// 2^(e - 128) for every exponent byte, computed in double and narrowed as the format prescribes.
struct RadianceScale {
    float value[256];
    RadianceScale()
    {
        for (int e = 0; e < 256; ++e)
            value[e] = float(std::ldexp(1.0, e - 128));
    }
};

void convertRadianceScanline(const uint8_t* scanline, int32_t width, float* out)
{
    static const RadianceScale scale;
    for (int32_t x = 0; x < width; ++x, scanline += 4, out += 3) {
        const float s = scale.value[scanline[3]];
        out[0] = float(scanline[0]) * 0.00390625f * s;
        out[1] = float(scanline[1]) * 0.00390625f * s;
        out[2] = float(scanline[2]) * 0.00390625f * s;
    }
}

} // namespace

bool imgReadRadianceOldRLE(uint8_t* scanline, int32_t count, FILE* file, bool havePrevious)
{
    int shift = 0;
    int32_t x = 0;
    while (x < count) {
        uint8_t pixel[4];
        if (std::fread(pixel, 1, 4, file) != 4)
            return false;
        if (pixel[0] != 1 || pixel[1] != 1 || pixel[2] != 1) {
            std::memcpy(scanline + size_t(x) * 4, pixel, 4);
            ++x;
            shift = 0;
            continue;
        }
        // A repeat code: consecutive codes make up a longer count, 8 bits at a time.
        if (x == 0 && !havePrevious) {
            LOG_ERROR("Radiance repeat code with no pixel before it");
            return false;
        }
        const int32_t left = count - x;
        const uint64_t run = pixel[3] == 0 ? 0 : shift >= 32 ? UINT64_MAX : uint64_t(pixel[3]) << shift;
        if (run > uint64_t(left)) {
            LOG_ERROR("Radiance repeat of %llu pixels overruns the %d left in the scanline",
                      static_cast<unsigned long long>(run), left);
            return false;
        }
        const uint8_t* previous = scanline + (ptrdiff_t(x) - 1) * 4;
        for (uint64_t i = 0; i < run; ++i, ++x)
            std::memcpy(scanline + size_t(x) * 4, previous, 4);
        shift = shift >= 32 ? shift : shift + 8;
    }
    return true;
}

bool imgReadRadianceHDR(const char* path, int32_t* width, int32_t* height, float** pixels)
{
    FilePtr file(std::fopen(path, "rb"));
    if (!file) {
        LOG_ERROR("Cannot open Radiance file <%s>", path);
        return false;
    }
    FILE* f = file.get();

    char magic[10];
    if (std::fread(magic, 1, sizeof magic, f) != sizeof magic || std::memcmp(magic, "#?RADIANCE", 10) != 0) {
        LOG_ERROR("<%s> is not a Radiance file", path);
        return false;
    }

    // Header lines end with an empty line; the byte after the magic counts as the end of the first line.
    int previous = std::getc(f);
    for (;;) {
        const int c = std::getc(f);
        if (c == EOF) {
            LOG_ERROR("Radiance header of <%s> has no end", path);
            return false;
        }
        if (c == '\n' && previous == '\n')
            break;
        previous = c;
    }

    char line[128];
    if (!std::fgets(line, sizeof line, f)) {
        LOG_ERROR("Radiance file <%s> has no resolution line", path);
        return false;
    }
    if (!std::strchr(line, '\n') && !std::feof(f)) {
        LOG_ERROR("Radiance resolution line of <%s> is too long", path);
        return false;
    }
    long h = 0, w = 0;
    if (std::sscanf(line, "-Y %9ld +X %9ld", &h, &w) != 2) {
        LOG_ERROR("Radiance resolution line of <%s> is not understood: %s", path, line);
        return false;
    }
    if (w < 1 || h < 1 || w > IMAGE_MAX_DIMENSION || h > IMAGE_MAX_DIMENSION) {
        LOG_ERROR("Radiance file <%s> has an invalid size %ld x %ld", path, w, h);
        return false;
    }

    const size_t rowFloats = size_t(w) * 3;
    // Zeroed, so the rows of a file that ends early are black rather than garbage.
    std::unique_ptr<float, FreeDeleter> out(static_cast<float*>(std::calloc(rowFloats * size_t(h), sizeof(float))));
    std::unique_ptr<uint8_t[]> scanline(new (std::nothrow) uint8_t[size_t(w) * 4]);
    if (!out || !scanline) {
        LOG_ERROR("Not enough memory for Radiance file <%s> of %ld x %ld", path, w, h);
        return false;
    }

    for (long y = 0; y < h; ++y) {
        const ScanlineResult result = readRadianceScanline(scanline.get(), int32_t(w), f);
        if (result == ScanlineResult::Corrupt) {
            LOG_ERROR("Radiance file <%s> is corrupt at scanline %ld", path, y);
            return false;
        }
        if (result == ScanlineResult::EndOfFile) {
            LOG_WARNING("Radiance file <%s> ends at scanline %ld of %ld; the rest is black", path, y, h);
            break;
        }
        convertRadianceScanline(scanline.get(), int32_t(w), out.get() + size_t(y) * rowFloats);
    }

    *width = int32_t(w);
    *height = int32_t(h);
    *pixels = out.release();
    return true;
}

Image* imgLoadTypeHDR(std::string_view name, ImageType requestedType)
{
    const int nameLength = int(name.size());
    if (requestedType != IMAGE_TYPE_RGB32F && requestedType != IMAGE_TYPE_RGB16F) {
        LOG_ERROR("Radiance images load as RGB32F or RGB16F, not type 0x%x: <%.*s>", requestedType, nameLength,
                  name.data());
        return nullptr;
    }
    const std::string path = dataPath(name);
    int32_t width = 0, height = 0;
    float* raw = nullptr;
    if (!imgReadRadianceHDR(path.c_str(), &width, &height, &raw)) {
        LOG_ERROR("Unable to read <%.*s> ", nameLength, name.data());
        return nullptr;
    }
    std::unique_ptr<float, FreeDeleter> pixels(raw);

    if (requestedType == IMAGE_TYPE_RGB32F) {
        // The decoder's array already is the level-0 layout: hand it over instead of copying.
        Image* image = new (std::nothrow) Image;
        if (!image) {
            LOG_ERROR("Unable to allocate image_data while loading <%.*s> ", nameLength, name.data());
            return nullptr;
        }
        image->width = width;
        image->height = height;
        image->type = IMAGE_TYPE_RGB32F;
        image->levels[0] = reinterpret_cast<uint8_t*>(pixels.release());
        return image;
    }

    Image* image = imgCreate(width, height, IMAGE_TYPE_RGB16F);
    if (!image) {
        LOG_ERROR("Unable to allocate image_data while loading <%.*s> ", nameLength, name.data());
        return nullptr;
    }
    auto* half = reinterpret_cast<uint16_t*>(image->levels[0]);
    const size_t count = size_t(width) * size_t(height) * 3;
    for (size_t i = 0; i < count; ++i)
        half[i] = floatToHalf(pixels.get()[i]);
    return image;
}
