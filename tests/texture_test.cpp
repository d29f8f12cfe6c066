#include "jni/engine/grd_texture.h"

#include "gl_context.h"
#include "test_helpers.h"

#include <functional>
#include <glbinding/gl/gl.h>
#include <string>
#include <vector>

using namespace gl;

using testutil::captureLog;

namespace {

size_t count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

GLint parameter(GLuint texture, GLenum name)
{
    GLint value = -1;
    glGetTextureParameteriv(texture, name, &value);
    return value;
}

GLint levelParameter(GLuint texture, GLenum name)
{
    GLint value = -1;
    glGetTextureLevelParameteriv(texture, 0, name, &value);
    return value;
}

std::string label(GLuint texture)
{
    char text[1100] = {};
    GLsizei length = 0;
    glGetObjectLabel(GL_TEXTURE, texture, sizeof(text), &length, text);
    return std::string(text, length);
}

// Texels of one level of a 2D texture, or of one face / layer / slice.
std::vector<uint8_t> read(GLuint texture, int32_t w, int32_t h, GLenum format, GLenum type, size_t pixelBytes,
                          int level = 0, int layer = 0)
{
    std::vector<uint8_t> data(size_t(w) * h * pixelBytes, 0xCD);
    glGetTextureSubImage(texture, level, 0, 0, layer, w, h, 1, format, type, static_cast<GLsizei>(data.size()),
                         data.data());
    return data;
}

std::vector<uint8_t> pattern(size_t bytes, uint8_t seed)
{
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 7);
    return data;
}

void setPixels(Texture* texture, int image, const std::vector<uint8_t>& data)
{
    std::copy(data.begin(), data.end(), texture->images[image]->levels[0]);
}

} // namespace

class TextureTest : public GLTest {};

TEST(TextureLookups, FormatTableAndFallbacks)
{
    struct Case {
        ImageType type;
        GLenum internalFormat;
        const char* word;
        GLenum dataType;
        bool integer;
        int messages; // "Invalid image type" lines over the four lookups
    };
    const Case cases[] = {
        {IMAGE_TYPE_RGBA8, GL_RGBA8, "rgba8", GL_UNSIGNED_BYTE, false, 0},
        {IMAGE_TYPE_DEPTH24, GL_DEPTH_COMPONENT24, "r32f", GL_UNSIGNED_INT, false, 0},
        {IMAGE_TYPE_DEPTH32F_STENCIL8, GL_DEPTH32F_STENCIL8, "<unsupported>", GL_FLOAT_32_UNSIGNED_INT_24_8_REV, false,
         0},
        {IMAGE_TYPE_RGB16F, GL_RGB16F, "rgb16f", GL_HALF_FLOAT, false, 0},
        {IMAGE_TYPE_RG8, GL_RG8, "rg8", GL_UNSIGNED_BYTE, false, 0},
        {14, GL_RGBA8, "<unsupported>", GL_UNSIGNED_BYTE, false, 4},
        {IMAGE_TYPE_COMPRESSED_4BPP, GL_RGBA8, "<unsupported>", GL_UNSIGNED_BYTE, false, 2},
        {IMAGE_TYPE_RGBA8UI, GL_RGBA8UI, "rgba8ui", GL_UNSIGNED_INT, true, 0},
        {IMAGE_TYPE_R16UI, GL_R16UI, "r16ui", GL_UNSIGNED_INT, true, 0},
        {IMAGE_TYPE_STENCIL8, GL_STENCIL_INDEX8, "r8ui", GL_UNSIGNED_BYTE, true, 0},
        {0, GL_RGBA8, "<unsupported>", GL_UNSIGNED_BYTE, false, 4},
        {24, GL_RGBA8, "<unsupported>", GL_UNSIGNED_BYTE, false, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const std::string log = captureLog([&] {
            EXPECT_EQ(txtGetInternalFormat(c.type), c.internalFormat);
            EXPECT_STREQ(txtGetInternalFormatName(c.type), c.word);
            EXPECT_EQ(txtGetDataType(c.type), c.dataType);
            EXPECT_EQ(txtIsFormatInteger(c.type), c.integer);
        });
        char expected[64];
        std::snprintf(expected, sizeof(expected), "Invalid image type:0x%x (%d)", c.type, c.type);
        EXPECT_EQ(count(log, expected), size_t(c.messages)) << log;
    }

    std::string log = captureLog([] {
        EXPECT_EQ(txtGetTarget(TEXTURE_TYPE_2D), GL_TEXTURE_2D);
        EXPECT_EQ(txtGetTarget(TEXTURE_TYPE_CUBE), GL_TEXTURE_CUBE_MAP);
        EXPECT_EQ(txtGetTarget(TEXTURE_TYPE_3D), GL_TEXTURE_3D);
        EXPECT_EQ(txtGetTarget(4), static_cast<GLenum>(0));
    });
    EXPECT_EQ(count(log, "Invalid texture type:0x4"), 1u) << log;
    EXPECT_NE(log.find("[txtGetTarget : "), std::string::npos) << log;

    for (auto [value, bits] : {std::pair{0u, 0}, {1u, 1}, {512u, 1}, {640u, 2}, {1080u, 4}, {0xFFFFFFFFu, 32}})
        EXPECT_EQ(countBits(value), bits) << value;
}

TEST_F(TextureTest, CreationMakesZeroedImagesPerType)
{
    Texture* flat = txtCreate(TEXTURE_TYPE_2D, 4, 2, IMAGE_TYPE_RGBA8);
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(flat->imageCount, 1);
    EXPECT_EQ(flat->glId, 0u);
    EXPECT_EQ(flat->samplerType, SAMPLER_NONE);
    EXPECT_EQ(flat->name, "");
    EXPECT_EQ(std::vector<uint8_t>(flat->images[0]->levels[0], flat->images[0]->levels[0] + 32),
              std::vector<uint8_t>(32, 0));

    Texture* cube = txtCreate(TEXTURE_TYPE_CUBE, 2, 2, IMAGE_TYPE_R8);
    EXPECT_EQ(cube->imageCount, 6);
    for (int face = 0; face < 6; ++face)
        EXPECT_NE(cube->images[face], nullptr);

    // Regression: a volume made through txtCreate got six images.
    Texture* volume = txtCreate(TEXTURE_TYPE_3D, 4, 4, IMAGE_TYPE_R8);
    EXPECT_EQ(volume->imageCount, 1);
    EXPECT_EQ(volume->images[1], nullptr);

    const std::string log = captureLog([] {
        EXPECT_EQ(txtCreate(4, 2, 2, IMAGE_TYPE_R8), nullptr);
        EXPECT_EQ(txtCreate(TEXTURE_TYPE_2D, 0, 4, IMAGE_TYPE_RGBA8), nullptr);
        EXPECT_EQ(txtCreate(TEXTURE_TYPE_CUBE, 4, 4, 14), nullptr);
    });
    EXPECT_NE(log.find("Invalid texture type:0x4"), std::string::npos) << log;
    EXPECT_NE(log.find("Not enough memory for texture: 1 0 x 4 1"), std::string::npos) << log;
    EXPECT_NE(log.find("Not enough memory for texture: 2 4 x 4 14"), std::string::npos) << log;

    for (Texture* t : {flat, cube, volume})
        txtDestroy(t);
    txtDestroy(nullptr);
    EXPECT_EQ(txtLoad("no/such/image.png"), nullptr);
}

// Render targets live on the GPU only: no CPU pixels (they cost 300 MB at full size), yet they start out zero as an
// upload of zeros used to leave them, for every kind of target format.
TEST_F(TextureTest, TargetsHaveStorageClearedToZeroAndNoCpuPixels)
{
    struct Case {
        ImageType type;
        GLenum format;
        GLenum dataType;
        size_t pixelBytes;
    };
    const Case cases[] = {
        {IMAGE_TYPE_RGBA16F, GL_RGBA, GL_FLOAT, 16},
        {IMAGE_TYPE_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, 4},
        {IMAGE_TYPE_R32UI, GL_RED_INTEGER, GL_UNSIGNED_INT, 4},
        {IMAGE_TYPE_RGBA16UI, GL_RGBA_INTEGER, GL_UNSIGNED_INT, 16},
        {IMAGE_TYPE_DEPTH32F, GL_DEPTH_COMPONENT, GL_FLOAT, 4},
        {IMAGE_TYPE_DEPTH32F_STENCIL8, GL_DEPTH_COMPONENT, GL_FLOAT, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        // Garbage in a recycled allocation must not show through: fill, free, then make the target.
        GLuint dirty = 0;
        glCreateTextures(GL_TEXTURE_2D, 1, &dirty);
        glTextureStorage2D(dirty, 1, txtGetInternalFormat(c.type), 24, 16);
        glDeleteTextures(1, &dirty);

        Texture* target = txtCreateTarget("target", 24, 16, c.type);
        ASSERT_NE(target, nullptr);
        ASSERT_NE(target->glId, 0u);
        EXPECT_EQ(target->images[0]->levels[0], nullptr);
        EXPECT_EQ(target->images[0]->width, 24);
        EXPECT_EQ(target->images[0]->type, c.type);
        EXPECT_EQ(target->name, "target");
        EXPECT_EQ(label(target->glId), "target");
        EXPECT_EQ(levelParameter(target->glId, GL_TEXTURE_HEIGHT), 16);
        const std::vector<uint8_t> texels = read(target->glId, 24, 16, c.format, c.dataType, c.pixelBytes);
        EXPECT_EQ(texels, std::vector<uint8_t>(texels.size(), 0));
        EXPECT_EQ(glGetError(), GL_NO_ERROR);
        txtDestroy(target);
    }

    const std::string log = captureLog([] {
        EXPECT_EQ(txtCreateTarget("none", 0, 16, IMAGE_TYPE_RGBA8), nullptr);
        EXPECT_EQ(txtCreateTarget("bad", 16, 16, 14), nullptr);
    });
    EXPECT_NE(log.find("Not enough memory for texture: 1 0 x 16 1"), std::string::npos) << log;
}

TEST_F(TextureTest, ImmutableLevelCounts)
{
    struct Case {
        TextureType type;
        int32_t width, height;
        ImageType imageType;
        bool mips;
        GLint levels;
    };
    const Case cases[] = {
        {TEXTURE_TYPE_2D, 1024, 1024, IMAGE_TYPE_RGBA8, true, 11},
        {TEXTURE_TYPE_2D, 1920, 1080, IMAGE_TYPE_R8, true, 11},
        {TEXTURE_TYPE_2D, 5, 3, IMAGE_TYPE_RGB8, true, 3},
        {TEXTURE_TYPE_2D, 64, 64, IMAGE_TYPE_RGBA8, false, 1},
        {TEXTURE_TYPE_CUBE, 1, 1, IMAGE_TYPE_RGBA8, false, 1},
        {TEXTURE_TYPE_CUBE, 16, 16, IMAGE_TYPE_RGBA16F, false, 5}, // the full chain even without mips
        {TEXTURE_TYPE_CUBE, 16, 16, IMAGE_TYPE_RGBA16F, true, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " type " << c.type);
        Texture* texture = txtCreate(c.type, c.width, c.height, c.imageType);
        const std::string log = captureLog([&] {
            if (c.mips)
                EXPECT_TRUE(txtGenerateMipMaps(texture));
            else
                txtSetupForGL(texture);
        });
        ASSERT_NE(texture->glId, 0u);
        EXPECT_EQ(log, "") << "no GL errors";
        EXPECT_EQ(parameter(texture->glId, GL_TEXTURE_IMMUTABLE_FORMAT), 1);
        EXPECT_EQ(parameter(texture->glId, GL_TEXTURE_IMMUTABLE_LEVELS), c.levels);
        if (c.mips) {
            EXPECT_EQ(texture->images[0]->levelCount, c.levels);
        }
        txtDestroy(texture);
    }
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_CUBE_MAP_SEAMLESS)) << "mipmapped cubes sample across faces";
}

TEST_F(TextureTest, WrapAndFilterFollowTypeAndSize)
{
    struct Case {
        TextureType type;
        int32_t width, height;
        ImageType imageType;
        int32_t levelCount;
        GLenum wrap, minFilter, magFilter;
    };
    const Case cases[] = {
        {TEXTURE_TYPE_2D, 640, 480, IMAGE_TYPE_RGBA8, 1, GL_CLAMP_TO_EDGE, GL_LINEAR, GL_LINEAR},
        {TEXTURE_TYPE_2D, 512, 256, IMAGE_TYPE_RGBA8, 1, GL_REPEAT, GL_LINEAR, GL_LINEAR},
        {TEXTURE_TYPE_2D, 512, 256, IMAGE_TYPE_DEPTH32F, 1, GL_CLAMP_TO_EDGE, GL_LINEAR, GL_LINEAR},
        {TEXTURE_TYPE_2D, 64, 64, IMAGE_TYPE_DEPTH24, 1, GL_CLAMP_TO_EDGE, GL_LINEAR, GL_LINEAR},
        {TEXTURE_TYPE_2D, 64, 64, IMAGE_TYPE_DEPTH32F_STENCIL8, 1, GL_REPEAT, GL_LINEAR, GL_LINEAR},
        {TEXTURE_TYPE_2D, 64, 48, IMAGE_TYPE_R32UI, 1, GL_CLAMP_TO_EDGE, GL_NEAREST_MIPMAP_NEAREST, GL_NEAREST},
        {TEXTURE_TYPE_2D, 64, 64, IMAGE_TYPE_RGBA16F, 3, GL_REPEAT, GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR},
        {TEXTURE_TYPE_CUBE, 16, 16, IMAGE_TYPE_RGBA8, 1, GL_CLAMP_TO_EDGE, GL_LINEAR, GL_LINEAR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " image type " << c.imageType);
        Texture* texture = txtCreate(c.type, c.width, c.height, c.imageType);
        texture->images[0]->levelCount = c.levelCount;
        txtSetupForGL(texture);
        ASSERT_NE(texture->glId, 0u);
        for (GLenum axis : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R})
            EXPECT_EQ(parameter(texture->glId, axis), static_cast<GLint>(c.wrap));
        EXPECT_EQ(parameter(texture->glId, GL_TEXTURE_MIN_FILTER), static_cast<GLint>(c.minFilter));
        EXPECT_EQ(parameter(texture->glId, GL_TEXTURE_MAG_FILTER), static_cast<GLint>(c.magFilter));
        EXPECT_EQ(levelParameter(texture->glId, GL_TEXTURE_INTERNAL_FORMAT),
                  static_cast<GLint>(txtGetInternalFormat(c.imageType)));
        txtDestroy(texture);
    }
}

TEST_F(TextureTest, PixelsReadBackByteExact)
{
    // Odd widths: rows are tightly packed, no 4-byte row alignment.
    Texture* rgb = txtCreate(TEXTURE_TYPE_2D, 5, 3, IMAGE_TYPE_RGB8);
    const std::vector<uint8_t> rgbPixels = pattern(5 * 3 * 3, 1);
    setPixels(rgb, 0, rgbPixels);
    txtSetupForGL(rgb);
    EXPECT_EQ(read(rgb->glId, 5, 3, GL_RGB, GL_UNSIGNED_BYTE, 3), rgbPixels);
    EXPECT_EQ(rgb->images[0]->glFormat, GL_RGB);
    EXPECT_EQ(rgb->images[0]->glDataType, GL_UNSIGNED_BYTE);

    Texture* red = txtCreate(TEXTURE_TYPE_2D, 101, 7, IMAGE_TYPE_R8);
    const std::vector<uint8_t> redPixels = pattern(101 * 7, 3);
    setPixels(red, 0, redPixels);
    txtSetupForGL(red);
    EXPECT_EQ(read(red->glId, 101, 7, GL_RED, GL_UNSIGNED_BYTE, 1), redPixels);

    // Regression: integer types went up as 32-bit values per channel, reading past the CPU pixels.
    struct Case {
        ImageType type;
        GLenum format, dataType;
        size_t pixelBytes;
    };
    for (const Case c : {Case{IMAGE_TYPE_RGBA8UI, GL_RGBA_INTEGER, GL_UNSIGNED_BYTE, 4},
                         Case{IMAGE_TYPE_R16UI, GL_RED_INTEGER, GL_UNSIGNED_SHORT, 2},
                         Case{IMAGE_TYPE_R8UI, GL_RED_INTEGER, GL_UNSIGNED_BYTE, 1},
                         Case{IMAGE_TYPE_RG32UI, GL_RG_INTEGER, GL_UNSIGNED_INT, 8}}) {
        SCOPED_TRACE(c.type);
        Texture* integer = txtCreate(TEXTURE_TYPE_2D, 3, 2, c.type);
        const std::vector<uint8_t> pixels = pattern(3 * 2 * c.pixelBytes, 9);
        setPixels(integer, 0, pixels);
        txtSetupForGL(integer);
        EXPECT_EQ(read(integer->glId, 3, 2, c.format, c.dataType, c.pixelBytes), pixels);
        txtDestroy(integer);
    }

    // RGBA16UI only gets its storage.
    Texture* storageOnly = txtCreate(TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_RGBA16UI);
    setPixels(storageOnly, 0, pattern(32, 1));
    txtSetupForGL(storageOnly);
    EXPECT_NE(read(storageOnly->glId, 2, 2, GL_RGBA_INTEGER, GL_UNSIGNED_SHORT, 8), pattern(32, 1));

    for (Texture* t : {rgb, red, storageOnly})
        txtDestroy(t);
}

TEST_F(TextureTest, VolumeOfOneLevel)
{
    Texture* volume = txtCreate3D(IMAGE_TYPE_R8); // 16 MB: the smallest volume type
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->imageCount, 1);
    EXPECT_EQ(volume->images[0]->depth, 256);
    volume->images[0]->levels[0][(5 * 256 + 4) * 256 + 3] = 77;
    txtSetupForGL(volume);
    EXPECT_EQ(levelParameter(volume->glId, GL_TEXTURE_DEPTH), 256);
    EXPECT_EQ(parameter(volume->glId, GL_TEXTURE_IMMUTABLE_LEVELS), 1);
    EXPECT_EQ(parameter(volume->glId, GL_TEXTURE_WRAP_R), static_cast<GLint>(GL_REPEAT));
    uint8_t voxel = 0;
    glGetTextureSubImage(volume->glId, 0, 3, 4, 5, 1, 1, 1, GL_RED, GL_UNSIGNED_BYTE, 1, &voxel);
    EXPECT_EQ(voxel, 77);
    txtDestroy(volume);
}

TEST_F(TextureTest, UpdateRewritesLevelZeroOfEveryImage)
{
    Texture* pending = txtCreate(TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_R8);
    txtUpdate(pending);
    EXPECT_EQ(pending->glId, 0u) << "not uploaded: left for the upload";

    Texture* cube = txtCreate(TEXTURE_TYPE_CUBE, 2, 2, IMAGE_TYPE_R8);
    txtSetupForGL(cube);
    for (int face = 0; face < 6; ++face)
        setPixels(cube, face, pattern(4, static_cast<uint8_t>(face * 40)));
    txtUpdate(cube);
    for (int face = 0; face < 6; ++face)
        EXPECT_EQ(read(cube->glId, 2, 2, GL_RED, GL_UNSIGNED_BYTE, 1, 0, face),
                  pattern(4, static_cast<uint8_t>(face * 40)))
            << face;

    Texture* mipmapped = txtCreate(TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_R8);
    txtGenerateMipMaps(mipmapped);
    setPixels(mipmapped, 0, pattern(16, 5));
    std::string log = captureLog([&] { txtUpdate(mipmapped); });
    EXPECT_NE(log.find("Update of mipmapped images is not supported"), std::string::npos) << log;
    EXPECT_EQ(read(mipmapped->glId, 4, 4, GL_RED, GL_UNSIGNED_BYTE, 1), pattern(16, 5));

    // Dropped pixels are reported, not read.
    txtFreeImageData(mipmapped);
    EXPECT_EQ(mipmapped->images[0]->levels[0], nullptr);
    log = captureLog([&] { txtUpdate(mipmapped); });
    EXPECT_NE(log.find("has no CPU pixels to update from"), std::string::npos) << log;

    // A texture that is not uploaded keeps its pixels.
    txtFreeImageData(pending);
    EXPECT_NE(pending->images[0]->levels[0], nullptr);
    for (Texture* t : {pending, cube, mipmapped})
        txtDestroy(t);
}

// Regression: a region narrower than the image was read with the region's width as row length.
TEST_F(TextureTest, UpdateRegionReadsFullCpuRows)
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, 8, 4, IMAGE_TYPE_RGBA8);
    txtSetupForGL(texture);
    const std::vector<uint8_t> fresh = pattern(8 * 4 * 4, 11);
    setPixels(texture, 0, fresh);
    txtUpdateRegion(texture, 1, 3, 2);

    const std::vector<uint8_t> store = read(texture->glId, 8, 4, GL_RGBA, GL_UNSIGNED_BYTE, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) {
            const bool inRegion = y >= 1 && y <= 2 && x < 3;
            const size_t at = (size_t(y) * 8 + x) * 4;
            const std::vector<uint8_t> texel(store.begin() + at, store.begin() + at + 4);
            std::vector<uint8_t> expected(4, 0);
            if (inRegion)
                expected.assign(fresh.begin() + at, fresh.begin() + at + 4);
            EXPECT_EQ(texel, expected) << x << "," << y;
        }
    GLint rowLength = -1;
    glGetIntegerv(GL_UNPACK_ROW_LENGTH, &rowLength);
    EXPECT_EQ(rowLength, 0) << "unpack state restored";

    const std::string log = captureLog([&] {
        txtUpdateRegion(texture, 3, 8, 2);
        txtUpdateRegion(texture, 0, 9, 1);
        txtUpdateRegion(texture, -1, 1, 1);
    });
    EXPECT_EQ(count(log, "is outside 8 x 4"), 3u) << log;
    txtDestroy(texture);
}

TEST_F(TextureTest, MipGenerationOnAnUploadedTextureKeepsItsStorage)
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_R8);
    texture->images[0]->levelCount = 2;
    setPixels(texture, 0, {0, 100, 200, 100});
    txtSetupForGL(texture);
    const std::string log = captureLog([&] { EXPECT_TRUE(txtGenerateMipMaps(texture)); });
    EXPECT_NE(log.find("Texture was already pushed to VMEM"), std::string::npos) << log;
    EXPECT_EQ(parameter(texture->glId, GL_TEXTURE_IMMUTABLE_LEVELS), 2);
    EXPECT_EQ(read(texture->glId, 1, 1, GL_RED, GL_UNSIGNED_BYTE, 1, 1)[0], 100) << "level 1 generated";

    Texture* single = txtCreate(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_R8);
    txtSetupForGL(single);
    captureLog([&] { txtGenerateMipMaps(single); });
    EXPECT_EQ(parameter(single->glId, GL_TEXTURE_IMMUTABLE_LEVELS), 1);
    EXPECT_EQ(single->images[0]->levelCount, 1);
    txtDestroy(texture);
    txtDestroy(single);
}

TEST_F(TextureTest, SrgbViewsAndLabels)
{
    Texture* albedo = txtCreateNamed("albedo", TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_RGBA8);
    ASSERT_NE(albedo->glId, 0u);
    EXPECT_EQ(albedo->name, "albedo");
    EXPECT_EQ(label(albedo->glId), "albedo");
    txtGenerateMipMaps(albedo);
    txtCreateSRGBView(albedo);
    ASSERT_NE(albedo->srgbViewId, 0u);
    EXPECT_NE(albedo->srgbViewId, albedo->glId);
    EXPECT_EQ(label(albedo->srgbViewId), "[SRGB]albedo");
    EXPECT_EQ(levelParameter(albedo->srgbViewId, GL_TEXTURE_INTERNAL_FORMAT), static_cast<GLint>(GL_SRGB8_ALPHA8));
    EXPECT_EQ(parameter(albedo->srgbViewId, GL_TEXTURE_VIEW_NUM_LEVELS), 1);
    const GLuint view = albedo->srgbViewId;
    txtCreateSRGBView(albedo);
    EXPECT_EQ(albedo->srgbViewId, view) << "one view per texture";

    // Not uploaded yet: uploaded first; RGB8 views as SRGB8.
    Texture* rgb = txtCreate(TEXTURE_TYPE_2D, 3, 3, IMAGE_TYPE_RGB8);
    txtSetLabel(rgb, "rgb");
    ASSERT_NE(rgb->glId, 0u) << "labelling uploads";
    txtCreateSRGBView(rgb);
    EXPECT_EQ(levelParameter(rgb->srgbViewId, GL_TEXTURE_INTERNAL_FORMAT), static_cast<GLint>(GL_SRGB8));
    EXPECT_EQ(label(rgb->srgbViewId), "[SRGB]rgb");

    // Formats without an sRGB form are their own view; cubes get none.
    Texture* hdr = txtCreate(TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_RGBA16F);
    txtSetupForGL(hdr);
    GLuint probe = 0;
    glGenTextures(1, &probe);
    txtCreateSRGBView(hdr);
    EXPECT_EQ(hdr->srgbViewId, hdr->glId);
    GLuint next = 0;
    glGenTextures(1, &next);
    EXPECT_EQ(next, probe + 1) << "no texture name was made for the view";
    glDeleteTextures(1, &probe);
    glDeleteTextures(1, &next);
    Texture* cube = txtCreate(TEXTURE_TYPE_CUBE, 2, 2, IMAGE_TYPE_RGBA8);
    txtCreateSRGBView(cube);
    EXPECT_EQ(cube->srgbViewId, 0u);
    txtCreateSRGBView(nullptr);
    txtSetLabel(nullptr, "x");
    for (Texture* t : {albedo, rgb, hdr, cube})
        txtDestroy(t);
}

TEST_F(TextureTest, UnsupportedTypesAreNeverUploaded)
{
    Texture* compressed = txtCreate(TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_COMPRESSED_4BPP);
    ASSERT_NE(compressed, nullptr);
    std::string log = captureLog([&] { txtSetupForGL(compressed); });
    EXPECT_EQ(compressed->glId, 0u);
    EXPECT_NE(log.find("Invalid image type:0x10"), std::string::npos) << log;
    txtDestroy(compressed);

    // Named creation tries the upload again before labelling: two messages.
    log = captureLog([] {
        Texture* named = txtCreateNamed("packed", TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_COMPRESSED_4BPP);
        EXPECT_EQ(named->glId, 0u);
        txtDestroy(named);
    });
    EXPECT_EQ(count(log, "Invalid image type:0x10"), 2u) << log;
}

TEST_F(TextureTest, GlErrorsDuringUploadAreLoggedAndDoNotStopIt)
{
    Texture* cube = txtCreate(TEXTURE_TYPE_CUBE, 8, 4, IMAGE_TYPE_RGBA8); // cube faces must be square
    const std::string log = captureLog([&] { txtSetupForGL(cube); });
    EXPECT_NE(cube->glId, 0u);
    EXPECT_NE(log.find("[__checkGlError : "), std::string::npos) << log;
    EXPECT_NE(log.find("grd_texture.cpp:"), std::string::npos) << log;
    EXPECT_NE(log.find(": texture creation() glError (0x501)\n"), std::string::npos) << log;
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    txtDestroy(cube);
}

TEST_F(TextureTest, ArrayUploadsEveryLayer)
{
    std::vector<Texture*> layers;
    for (int i = 0; i < 3; ++i) {
        layers.push_back(txtCreate(TEXTURE_TYPE_2D, 4, 2, IMAGE_TYPE_RGBA8));
        setPixels(layers.back(), 0, pattern(32, static_cast<uint8_t>(i * 50)));
    }
    TextureArray array;
    array.textures = layers;
    txtSetupForGLArray(&array);
    ASSERT_NE(array.glId, 0u);
    EXPECT_EQ(levelParameter(array.glId, GL_TEXTURE_DEPTH), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(read(array.glId, 4, 2, GL_RGBA, GL_UNSIGNED_BYTE, 4, 0, i),
                  pattern(32, static_cast<uint8_t>(i * 50)));
    EXPECT_EQ(parameter(array.glId, GL_TEXTURE_WRAP_S), static_cast<GLint>(GL_REPEAT));
    EXPECT_EQ(parameter(array.glId, GL_TEXTURE_MIN_FILTER), static_cast<GLint>(GL_LINEAR));
    EXPECT_EQ(layers[1]->images[0]->glFormat, GL_RGBA);
    const GLuint id = array.glId;
    txtSetupForGLArray(&array);
    EXPECT_EQ(array.glId, id);
    glDeleteTextures(1, &array.glId);

    // A layer of another type would be read with the wrong pixel size: skipped.
    Texture* odd = txtCreate(TEXTURE_TYPE_2D, 4, 2, IMAGE_TYPE_R8);
    TextureArray mixed;
    mixed.textures = {layers[0], odd};
    std::string log = captureLog([&] { txtSetupForGLArray(&mixed); });
    EXPECT_NE(log.find("Texture array layer 1 is missing or not of type 0x1"), std::string::npos) << log;
    glDeleteTextures(1, &mixed.glId);

    TextureArray stencil;
    Texture* stencilLayer = txtCreate(TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_STENCIL8);
    stencil.textures = {stencilLayer};
    log = captureLog([&] { txtSetupForGLArray(&stencil); });
    EXPECT_EQ(stencil.glId, 0u);
    EXPECT_NE(log.find("[txtSetupForGLArray : "), std::string::npos) << log;
    EXPECT_NE(log.find("Invalid image type:0x17"), std::string::npos) << log;

    layers.push_back(odd);
    layers.push_back(stencilLayer);
    for (Texture* t : layers)
        txtDestroy(t);
}

class TexturePoolTest : public GLTest {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        txtDestroyCachedTextures();
    }
    void TearDown() override
    {
        txtDestroyCachedTextures();
        GLTest::TearDown();
    }
};

TEST_F(TexturePoolTest, HandsOutFreeEntriesAndNamesNewOnes)
{
    Texture* a = txtGetCachedTexture(64, 64, IMAGE_TYPE_RGBA16F);
    Texture* b = txtGetCachedTexture(64, 64, IMAGE_TYPE_RGBA16F);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->name, "CachedTexture 0");
    EXPECT_EQ(label(a->glId), "CachedTexture 0");
    EXPECT_EQ(label(b->glId), "CachedTexture 1");
    EXPECT_EQ(a->type, TEXTURE_TYPE_2D);

    txtReleaseCachedTextures();
    EXPECT_EQ(txtGetCachedTexture(64, 64, IMAGE_TYPE_RGBA16F), a);
    Texture* other = txtGetCachedTexture(32, 64, IMAGE_TYPE_RGBA16F);
    EXPECT_EQ(label(other->glId), "CachedTexture 2");
    EXPECT_EQ(txtGetCachedTexture(64, 64, IMAGE_TYPE_RGBA16F), b) << "the second one is still free";
    Texture* otherType = txtGetCachedTexture(64, 64, IMAGE_TYPE_R8);
    EXPECT_EQ(otherType->name, "CachedTexture 3");
    EXPECT_EQ(txtCachedTextures.size(), 4u);
    for (const CachedTexture& entry : txtCachedTextures)
        EXPECT_TRUE(entry.inUse);

    const std::string log = captureLog([] { EXPECT_EQ(txtGetCachedTexture(0, 4, IMAGE_TYPE_R8), nullptr); });
    EXPECT_NE(log.find("Not enough memory for texture"), std::string::npos) << log;
    EXPECT_EQ(txtCachedTextures.size(), 4u);
}
