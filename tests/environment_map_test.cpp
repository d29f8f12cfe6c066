#include "render/environment_map.h"

#include "jni/engine/grd_image.h"
#include "jni/engine/grd_texture.h"

#include "renderer_fixture.h"
#include "test_helpers.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace gl;

namespace {

struct TextureDeleter {
    void operator()(Texture* texture) const { txtDestroy(texture); }
};
using TexturePtr = std::unique_ptr<Texture, TextureDeleter>;

constexpr float kBackground[3] = {0.2f, 0.2f, 0.2f};
constexpr float kCentre[3] = {4.0f, 1.0f, 0.25f};

// An RGB32F equirectangular image of background grey with a block of kCentre around its centre, where face 0 (+X)
// looks straight ahead.
Texture* markedSource(int width, int height)
{
    Texture* source = txtCreate(TEXTURE_TYPE_2D, width, height, IMAGE_TYPE_RGB32F);
    auto* pixels = reinterpret_cast<float*>(source->images[0]->levels[0]);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool centre = std::abs(x - width / 2) <= width / 32 && std::abs(y - height / 2) <= height / 16;
            for (int c = 0; c < 3; ++c)
                pixels[(y * width + x) * 3 + c] = centre ? kCentre[c] : kBackground[c];
        }
    return source;
}

std::vector<float> readFace(const Texture* cube, int face, int level)
{
    const int size = std::max(cube->images[0]->width >> level, 1);
    std::vector<float> texels(size_t(size) * size_t(size) * 3);
    glGetTextureSubImage(cube->glId, level, 0, 0, face, size, size, 1, GL_RGB, GL_FLOAT,
                         GLsizei(texels.size() * sizeof(float)), texels.data());
    return texels;
}

class EnvironmentMap : public RendererGLTest {};

// The whole conversion at its real size: faces, chain, the centre of +X, the bottom of the chain and the filter.
TEST_F(EnvironmentMap, ConvertsToAFilteredHalfFloatCubeWithFullChain)
{
    TexturePtr source(markedSource(256, 128));
    TexturePtr cube;
    const std::string log = testutil::captureLog([&] { cube.reset(txtConvertEquirectangularToCubemap(source.get(), 3)); });
    ASSERT_TRUE(cube);
    EXPECT_EQ(cube->type, TEXTURE_TYPE_CUBE);
    EXPECT_EQ(cube->imageCount, 6);
    for (int face = 0; face < 6; ++face) {
        ASSERT_TRUE(cube->images[face]);
        EXPECT_EQ(cube->images[face]->type, IMAGE_TYPE_RGB16F);
        EXPECT_EQ(cube->images[face]->width, 1024);
        EXPECT_EQ(cube->images[face]->height, 1024);
    }
    EXPECT_EQ(cube->images[0]->levelCount, 11);
    GLint levels = 0, internalFormat = 0, base = -1, max = -1;
    glGetTextureParameteriv(cube->glId, GL_TEXTURE_IMMUTABLE_LEVELS, &levels);
    glGetTextureLevelParameteriv(cube->glId, 0, GL_TEXTURE_INTERNAL_FORMAT, &internalFormat);
    glGetTextureParameteriv(cube->glId, GL_TEXTURE_BASE_LEVEL, &base);
    glGetTextureParameteriv(cube->glId, GL_TEXTURE_MAX_LEVEL, &max);
    EXPECT_EQ(levels, 11);
    EXPECT_EQ(GLenum(internalFormat), GL_RGB16F);
    // The filter narrowed the visible levels per pass; the whole chain is visible again afterwards.
    EXPECT_EQ(base, 0);
    EXPECT_GE(max, 10);

    const std::vector<float> top = readFace(cube.get(), 0, 0);
    const size_t centre = (size_t(512) * 1024 + 512) * 3;
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(top[centre + c], kCentre[c], kCentre[c] * 0.01f) << "channel " << c;

    for (int face = 0; face < 6; ++face) {
        const std::vector<float> last = readFace(cube.get(), face, 10);
        for (int c = 0; c < 3; ++c) {
            EXPECT_TRUE(std::isfinite(last[c])) << "face " << face;
            EXPECT_GT(last[c], 0.0f) << "face " << face;
        }
    }
    // The blur crosses face edges: +Z at level 8 takes on some of the colour ahead, which a plain box-filtered
    // chain (grey there) would not.
    const std::vector<float> side = readFace(cube.get(), 4, 8);
    EXPECT_GT(side[0], side[2] * 1.01f);

    EXPECT_EQ(testutil::countOf(log, "Thread:"), 6u);
    EXPECT_NE(log.find("Filtered cube <Envmap>: 60 passes"), std::string::npos) << log;
    EXPECT_NE(log.find("Converter env texture"), std::string::npos);
}

// Positions of the map in a 257 x 129 source (so that W - 1 and H - 1 are round), for a 4 x 4 face.
TEST(EnvironmentSampleMap, PositionsOfTheFaceTable)
{
    struct Case {
        int face, x, y;
        float sx, sy;
    };
    const Case cases[] = {
        {0, 2, 2, 128.0f, 64.0f},       // ahead: the image centre
        {1, 2, 2, 256.0f, 64.0f},       // behind: longitude pi, the right edge
        {4, 2, 2, 64.0f, 64.0f},        // +Z: a quarter turn to the left
        {5, 2, 2, 192.0f, 64.0f},       // -Z: a quarter turn to the right
        {2, 2, 2, 128.0f, 0.0f},        // +Y: the first row
        {3, 2, 2, 128.0f, 128.0f},      // -Y: the last row
        {0, 0, 0, 96.0f, 38.9231f},     // a corner: longitude -pi/4, latitude atan2(-1/2, sqrt(1/2))
        {0, 0, 2, 96.0f, 64.0f},        // the left edge of the middle row
    };
    std::vector<EnvmapSample> map(16);
    for (const Case& c : cases) {
        ASSERT_TRUE(envmapBuildSampleMap(c.face, 4, 257, 129, map.data()));
        const EnvmapSample& s = map[size_t(c.y) * 4 + size_t(c.x)];
        EXPECT_NEAR(s.x, c.sx, 1e-3f) << "face " << c.face << " at " << c.x << "," << c.y;
        EXPECT_NEAR(s.y, c.sy, 1e-3f) << "face " << c.face << " at " << c.x << "," << c.y;
    }
    EXPECT_FALSE(envmapBuildSampleMap(6, 4, 257, 129, map.data()));
    EXPECT_FALSE(envmapBuildSampleMap(0, 0, 257, 129, map.data()));
}

TEST(EnvironmentSampleMap, BilinearSamplesAndClampsToTheSource)
{
    // 3 x 2 source, red = 10 x + 100 y, green = 1, blue = x.
    std::unique_ptr<Image> source(imgCreate(3, 2, IMAGE_TYPE_RGB32F));
    auto* pixels = reinterpret_cast<float*>(source->levels[0]);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            pixels[(y * 3 + x) * 3 + 0] = 10.0f * x + 100.0f * y;
            pixels[(y * 3 + x) * 3 + 1] = 1.0f;
            pixels[(y * 3 + x) * 3 + 2] = float(x);
        }
    struct Case {
        EnvmapSample at;
        float red, blue;
    };
    const Case cases[] = {
        {{0.0f, 0.0f}, 0.0f, 0.0f},     {{0.5f, 0.0f}, 5.0f, 0.5f},   {{1.25f, 0.5f}, 62.5f, 1.25f},
        {{2.0f, 1.0f}, 120.0f, 2.0f},   // the last texel: x + 1 and y + 1 clamp to it
        {{9.0f, -4.0f}, 20.0f, 2.0f},   // outside: clamped to the edge
        {{std::nanf(""), -INFINITY}, 0.0f, 0.0f}, // no position at all: the first texel
    };
    const int count = int(std::size(cases));
    std::unique_ptr<Image> face(imgCreate(count, 1, IMAGE_TYPE_RGB32F));
    std::vector<EnvmapSample> map;
    for (const Case& c : cases)
        map.push_back(c.at);
    ASSERT_TRUE(imgSampleBilinear(face.get(), count, 1, source.get(), map.data()));
    const auto* out = reinterpret_cast<const float*>(face->levels[0]);
    for (int i = 0; i < count; ++i) {
        EXPECT_FLOAT_EQ(out[i * 3 + 0], cases[i].red) << "case " << i;
        EXPECT_FLOAT_EQ(out[i * 3 + 1], 1.0f) << "case " << i;
        EXPECT_FLOAT_EQ(out[i * 3 + 2], cases[i].blue) << "case " << i;
    }
    // A face of another size than said, or of another channel count, is refused rather than overrun.
    std::unique_ptr<Image> small(imgCreate(2, 1, IMAGE_TYPE_RGB32F));
    std::unique_ptr<Image> single(imgCreate(count, 1, IMAGE_TYPE_R32F));
    testutil::captureLog([&] {
        EXPECT_FALSE(imgSampleBilinear(small.get(), count, 1, source.get(), map.data()));
        EXPECT_FALSE(imgSampleBilinear(single.get(), count, 1, source.get(), map.data()));
    });
}

// One worker or seven, every face is made once and the cube is the same.
TEST_F(EnvironmentMap, WorkerCountDoesNotChangeTheCube)
{
    TexturePtr source(markedSource(64, 32));
    std::vector<std::vector<float>> faces[2];
    const int workers[2] = {1, 7};
    for (int run = 0; run < 2; ++run) {
        TexturePtr cube;
        const std::string log = testutil::captureLog(
            [&] { cube.reset(txtConvertEquirectangularToCubemap(source.get(), workers[run], 16)); });
        ASSERT_TRUE(cube);
        for (int face = 0; face < 6; ++face) {
            EXPECT_EQ(testutil::countOf(log, "range:" + std::to_string(face) + " : " + std::to_string(face + 1)), 1u)
                << workers[run] << " workers, face " << face;
            faces[run].push_back(readFace(cube.get(), face, 0));
        }
        EXPECT_NE(log.find(": 24 passes"), std::string::npos) << "16 x 16 faces have 5 levels: 6 x 4 passes";
    }
    EXPECT_EQ(faces[0], faces[1]);
}

TEST_F(EnvironmentMap, RefusedInputs)
{
    TexturePtr single(txtCreate(TEXTURE_TYPE_CUBE, 8, 8, IMAGE_TYPE_RGBA16F));
    txtSetupForGL(single.get());
    std::string log = testutil::captureLog([&] { EXPECT_EQ(txtFilterCubemap(single.get(), 2.0f), 0); });
    EXPECT_NE(log.find("Cubemap didn't have mips assigned to it"), std::string::npos) << log;

    TexturePtr flat(txtCreate(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_RGBA16F));
    txtSetupForGL(flat.get());
    log = testutil::captureLog([&] { EXPECT_EQ(txtFilterCubemap(flat.get(), 2.0f), 0); });
    EXPECT_NE(log.find("needs an uploaded cube texture"), std::string::npos) << log;

    TexturePtr depth(txtCreate(TEXTURE_TYPE_2D, 8, 8, IMAGE_TYPE_R16F));
    log = testutil::captureLog([&] { EXPECT_EQ(txtConvertEquirectangularToCubemap(depth.get(), 1, 8), nullptr); });
    EXPECT_NE(log.find("does not take images of type"), std::string::npos) << log;

    log = testutil::captureLog([&] { EXPECT_EQ(txtLoadEnvmap("textures/envmaps/absent.hdr"), nullptr); });
    EXPECT_NE(log.find("Unable to read <textures/envmaps/absent.hdr>"), std::string::npos) << log;
}

// The shipped sky reaches the cube the right way up: sky blue overhead, brown ground below.
TEST_F(EnvironmentMap, ShippedSkyIsUpright)
{
    std::unique_ptr<Image> sky(imgLoadTypeHDR("textures/envmaps/sky.hdr"));
    ASSERT_TRUE(sky);
    Texture source;
    source.imageCount = 1;
    source.images[0] = sky.get();
    TexturePtr cube;
    testutil::captureLog([&] { cube.reset(txtConvertEquirectangularToCubemap(&source, 2, 32)); });
    source.images[0] = nullptr;
    ASSERT_TRUE(cube);
    const size_t centre = (size_t(16) * 32 + 16) * 3;
    const std::vector<float> up = readFace(cube.get(), 2, 0);
    const std::vector<float> down = readFace(cube.get(), 3, 0);
    EXPECT_GT(up[centre + 2], up[centre + 0]);
    EXPECT_GT(down[centre + 0], down[centre + 2]);
    EXPECT_GT(up[centre + 2], down[centre + 2]);
}

} // namespace
