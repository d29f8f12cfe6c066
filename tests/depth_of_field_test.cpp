#include "render/depth_of_field.h"

#include "jni/engine/grd_image.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "render/entities.h"

#include "renderer_fixture.h"
#include "test_helpers.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

using namespace gl;

namespace {

// Not multiples of the 16-pixel work groups: the last column and row of groups are partial.
constexpr int kW = 504;
constexpr int kH = 282;
constexpr float kNear = 0.1f;
constexpr float kFar = 200.0f;

// Depth-buffer value of view distance z under the engine's projection.
float depthOf(float z)
{
    return (kFar + kNear) / (kFar - kNear) - 2.0f * kFar * kNear / ((kFar - kNear) * z);
}

Texture* uploaded(Texture* texture)
{
    txtSetupForGL(texture);
    return texture;
}

// RGBA16F checkerboard of 2-pixel cells, with a little colour that changes along x and y.
Texture* checkerboard()
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, kW, kH, IMAGE_TYPE_RGBA16F);
    auto* texels = reinterpret_cast<uint16_t*>(texture->images[0]->levels[0]);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            const float v = ((x / 2 + y / 2) % 2) ? 1.0f : 0.0f;
            const float rgba[4] = {v, v * 0.5f + float(x) / kW * 0.25f, float(y) / kH, 1.0f};
            for (int c = 0; c < 4; ++c)
                texels[(size_t(y) * kW + x) * 4 + c] = floatToHalf(rgba[c]);
        }
    return uploaded(texture);
}

// Depth whose view distance is given per pixel.
template <typename Distance>
Texture* depthField(Distance distance)
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, kW, kH, IMAGE_TYPE_DEPTH32F);
    auto* texels = reinterpret_cast<float*>(texture->images[0]->levels[0]);
    if (!texels) { // depth images may come without CPU pixels: give them some
        texture->images[0]->levels[0] = static_cast<uint8_t*>(std::calloc(size_t(kW) * kH, sizeof(float)));
        texels = reinterpret_cast<float*>(texture->images[0]->levels[0]);
    }
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            texels[size_t(y) * kW + x] = depthOf(distance(x, y));
    return uploaded(texture);
}

std::vector<float> readRGBA(const Texture* texture)
{
    std::vector<float> texels(size_t(kW) * kH * 4);
    glGetTextureSubImage(texture->glId, 0, 0, 0, 0, kW, kH, 1, GL_RGBA, GL_FLOAT, GLsizei(texels.size() * 4),
                         texels.data());
    return texels;
}

// Mean absolute difference of horizontally adjacent green values over columns [x0, x1): how much detail is left.
float detail(const std::vector<float>& rgba, int x0, int x1)
{
    double sum = 0.0;
    int count = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = x0; x + 1 < x1; ++x) {
            sum += std::abs(rgba[(size_t(y) * kW + x + 1) * 4 + 1] - rgba[(size_t(y) * kW + x) * 4 + 1]);
            ++count;
        }
    return float(sum / count);
}

float uniformFloat(const ShaderProgram* program, const char* name, int index = 0)
{
    float values[4] = {};
    glGetUniformfv(program->glProgramId, glGetUniformLocation(program->glProgramId, name), values);
    return values[index];
}

class DepthOfFieldTest : public RendererGLTest {
protected:
    void SetUp() override
    {
        RendererGLTest::SetUp();
        savedBranch_ = cvarTreeCurrentBranch;
        dof = DepthOfField::Create("dof_test");
        camera.nearPlane = kNear;
        camera.farPlane = kFar;
        source = checkerboard();
        destination = uploaded(txtCreate(TEXTURE_TYPE_2D, kW, kH, IMAGE_TYPE_RGBA16F));
    }
    void TearDown() override
    {
        txtDestroy(source);
        txtDestroy(destination);
        txtDestroy(depth);
        dofDestroy(dof);
        cvarTreeCurrentBranch = savedBranch_;
        RendererGLTest::TearDown();
    }
    void lens(float maxRadius, float focusFactor, float farPlane, float cocBlur, bool hexagonal)
    {
        dof->max_radius.value[0] = maxRadius;
        dof->far_factor.value[0] = focusFactor;
        dof->far_plane.value[0] = farPlane;
        dof->coc_blur.value[0] = cocBlur;
        dof->hexagonal.value[0] = hexagonal ? 1.0f : 0.0f;
    }
    void run()
    {
        dof->CalculateCOC(&camera, depth, source);
        if (dof->hexagonal.value[0] < 0.5f)
            dof->Render(&camera, depth, source, destination);
        else
            dof->RenderHexagonal(&camera, depth, source, destination);
    }

    DepthOfField* dof = nullptr;
    Camera camera;
    Texture* source = nullptr;
    Texture* destination = nullptr;
    Texture* depth = nullptr;

private:
    CvarTreeNode* savedBranch_ = nullptr;
};

TEST_F(DepthOfFieldTest, RegistersItsParametersAndTextures)
{
    ASSERT_TRUE(dof->branch);
    EXPECT_EQ(dof->branch->name, "dof_test");
    std::vector<std::string> names;
    for (const Cvar* cvar : dof->branch->cvars)
        names.push_back(cvar->name);
    const std::vector<std::string> expected = {"far_plane", "far_factor", "max_radius", "coc_blur", "show_coc",
                                               "hexagonal"};
    EXPECT_EQ(names, expected);
    EXPECT_FLOAT_EQ(dof->far_plane.max, 1000.0f);
    EXPECT_FLOAT_EQ(dof->far_factor.max, 1.0f);
    EXPECT_FLOAT_EQ(dof->max_radius.max, 20.0f);
    for (ShaderProgram* program : {dof->renderProgram, dof->hexaPass1Program, dof->hexaPass2Program,
                                   dof->blurProgram, dof->cocProgram}) {
        ASSERT_TRUE(program);
        EXPECT_TRUE(program->linked);
        EXPECT_EQ(program->errors, 0u);
    }
    EXPECT_EQ(dof->coc->images[0]->type, IMAGE_TYPE_R16F);
    EXPECT_EQ(dof->hexaDiagonal->images[0]->type, IMAGE_TYPE_RGBA16F);
    EXPECT_EQ(dof->hexaVertical->images[0]->width, screenWidth);
    EXPECT_EQ(dof->cocTemp->images[0]->height, screenHeight);
}

TEST(DepthOfFieldGroups, CoverEveryPixel)
{
    const int cases[][2] = {{1920, 120}, {1080, 68}, {288, 18}, {282, 18}, {1, 1}, {16, 1}, {17, 2}, {0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(dofGroupCount(c[0]), c[1]) << c[0];
}

// The values the passes hand their programs.
TEST_F(DepthOfFieldTest, UniformValues)
{
    struct Case {
        float nearPlane, farPlane, farPlaneParam, farFactor, cocBlur;
        float planes[4], farFactorUniform, falloff;
    };
    const Case cases[] = {
        {0.1f, 500.0f, 1000.0f, 0.5f, 20.0f, {0.1f, 500.0f, 100.0f, 499.9f}, 500.0f, 0.005f},
        {1.0f, 50.0f, 40.0f, 0.25f, 2.0f, {1.0f, 50.0f, 100.0f, 49.0f}, 10.0f, 0.5f},
        // No smoothing: no fall-off either, rather than 1 / 0.
        {0.1f, 200.0f, 100.0f, 0.1f, 0.0f, {0.1f, 200.0f, 40.0f, 199.9f}, 10.0f, 0.0f},
    };
    depth = depthField([](int, int) { return 10.0f; });
    for (const Case& c : cases) {
        camera.nearPlane = c.nearPlane;
        camera.farPlane = c.farPlane;
        lens(4.0f, c.farFactor, c.farPlaneParam, c.cocBlur, false);
        dof->CalculateCOC(&camera, depth, source);
        for (int i = 0; i < 4; ++i)
            EXPECT_FLOAT_EQ(uniformFloat(dof->cocProgram, "vNearFarPlane", i), c.planes[i]) << i;
        EXPECT_FLOAT_EQ(uniformFloat(dof->cocProgram, "far_factor"), c.farFactorUniform);
        EXPECT_FLOAT_EQ(uniformFloat(dof->cocProgram, "far_plane"), c.farPlaneParam);
        EXPECT_FLOAT_EQ(uniformFloat(dof->cocProgram, "max_radius"), 4.0f);
        EXPECT_FLOAT_EQ(uniformFloat(dof->cocProgram, "vResolution", 1), float(kH));
        EXPECT_FLOAT_EQ(uniformFloat(dof->blurProgram, "vKernelRadius"), c.cocBlur);
        EXPECT_FLOAT_EQ(uniformFloat(dof->blurProgram, "vBlurFalloff"), c.falloff);
        // The vertical step runs last.
        EXPECT_FLOAT_EQ(uniformFloat(dof->blurProgram, "vBlurDirection", 1), 1.0f / kH);
    }
    // Every sampler and image uniform holds the unit the engine gave it, which is where its texture went.
    dof->Render(&camera, depth, source, destination);
    dof->RenderHexagonal(&camera, depth, source, destination);
    for (const ShaderProgram* program :
         {dof->cocProgram, dof->blurProgram, dof->renderProgram, dof->hexaPass1Program, dof->hexaPass2Program}) {
        for (const auto& entry : program->uniforms) {
            const ShaderUniform* uniform = entry.second;
            if (uniform->location == -1 ||
                (uniform->type != UNIFORM_TYPE_SAMPLER2D && uniform->type != UNIFORM_TYPE_IMAGE2D))
                continue;
            GLint unit = -1;
            glGetUniformiv(program->glProgramId, uniform->location, &unit);
            EXPECT_EQ(unit, static_cast<const int*>(uniform->value)[0]) << entry.first;
        }
    }
}

// A radius of 0 copies the image exactly, the partial groups at the right and bottom included.
TEST_F(DepthOfFieldTest, NoRadiusLeavesTheWholeImageUnchanged)
{
    depth = depthField([](int x, int) { return 1.0f + float(x); });
    const std::vector<float> expected = readRGBA(source);
    for (bool hexagonal : {false, true}) {
        // Stale content the passes must overwrite everywhere.
        const float stale[4] = {-7.0f, -7.0f, -7.0f, -7.0f};
        glClearTexImage(destination->glId, 0, GL_RGBA, GL_FLOAT, stale);
        lens(0.0f, 0.0f, 100.0f, 4.0f, hexagonal);
        run();
        const std::vector<float> result = readRGBA(destination);
        size_t differing = 0, firstDifference = result.size();
        for (size_t i = 0; i < result.size(); ++i)
            if (result[i] != expected[i] && differing++ == 0)
                firstDifference = i;
        EXPECT_EQ(differing, 0u) << (hexagonal ? "hexagonal" : "round") << ": first at pixel "
                                 << firstDifference / 4 % kW << ", " << firstDifference / 4 / kW;
    }
}

// The left half stands in focus, the right half recedes behind it: the left half keeps every pixel, even right
// at the edge (no halo of the blur behind it), and the right half loses its detail.
TEST_F(DepthOfFieldTest, DepthRampBlursOnlyBehindTheFocus)
{
    depth = depthField([](int x, int) { return x < kW / 2 ? 5.0f : 20.0f + float(x - kW / 2); });
    const std::vector<float> original = readRGBA(source);
    const float sourceDetail = detail(original, kW / 2, kW);
    struct Case {
        bool hexagonal;
        float cocBlur;
    };
    for (const Case& c : {Case{false, 0.0f}, Case{true, 0.0f}, Case{false, 6.0f}, Case{true, 6.0f}}) {
        SCOPED_TRACE(std::string(c.hexagonal ? "hexagonal" : "round") + ", coc_blur " + std::to_string(c.cocBlur));
        lens(8.0f, 0.1f, 100.0f, c.cocBlur, c.hexagonal);
        run();
        const std::vector<float> result = readRGBA(destination);
        size_t changedNear = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW / 2; ++x)
                for (int ch = 0; ch < 4; ++ch)
                    changedNear += result[(size_t(y) * kW + x) * 4 + ch] != original[(size_t(y) * kW + x) * 4 + ch];
        EXPECT_EQ(changedNear, 0u);
        EXPECT_LT(detail(result, kW * 3 / 4, kW), 0.3f * sourceDetail);
        for (float v : result)
            ASSERT_TRUE(std::isfinite(v));
    }
}

// One bright point far behind the focus spreads into the aperture's shape: a disc (as wide as high) or a
// hexagon with corners up and down (higher than wide by 2 / sqrt(3)).
TEST_F(DepthOfFieldTest, HighlightTakesTheApertureShape)
{
    depth = depthField([](int, int) { return 150.0f; });
    Texture* point = txtCreate(TEXTURE_TYPE_2D, kW, kH, IMAGE_TYPE_RGBA16F);
    auto* texels = reinterpret_cast<uint16_t*>(point->images[0]->levels[0]);
    const int px = kW / 2, py = kH / 2;
    for (int c = 0; c < 3; ++c)
        texels[(size_t(py) * kW + px) * 4 + c] = floatToHalf(1000.0f);
    txtDestroy(source);
    source = uploaded(point);
    for (bool hexagonal : {false, true}) {
        lens(12.0f, 0.1f, 100.0f, 0.0f, hexagonal);
        run();
        const std::vector<float> result = readRGBA(destination);
        int left = kW, right = -1, bottom = kH, top = -1;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                if (result[(size_t(y) * kW + x) * 4] > 0.05f) {
                    left = std::min(left, x);
                    right = std::max(right, x);
                    bottom = std::min(bottom, y);
                    top = std::max(top, y);
                }
        const float width = float(right - left + 1), height = float(top - bottom + 1);
        SCOPED_TRACE(hexagonal ? "hexagonal" : "round");
        EXPECT_NEAR(height, 24.0f, 3.0f);
        if (hexagonal)
            EXPECT_NEAR(height / width, 1.1547f, 0.07f) << width << " x " << height;
        else
            EXPECT_NEAR(height / width, 1.0f, 0.07f) << width << " x " << height;
        EXPECT_NEAR(float(left + right) / 2.0f, float(px), 1.5f);
        EXPECT_NEAR(float(bottom + top) / 2.0f, float(py), 1.5f);
    }
}

TEST_F(DepthOfFieldTest, ShowCocDrawsTheRadius)
{
    depth = depthField([](int x, int) { return x < kW / 2 ? 5.0f : 200.0f; });
    for (bool hexagonal : {false, true}) {
        lens(10.0f, 0.1f, 100.0f, 0.0f, hexagonal);
        dof->show_coc.value[0] = 1.0f;
        run();
        const std::vector<float> result = readRGBA(destination);
        const size_t nearPixel = (size_t(kH / 2) * kW + 10) * 4, farPixel = (size_t(kH / 2) * kW + kW - 10) * 4;
        EXPECT_FLOAT_EQ(result[nearPixel], 0.0f);
        EXPECT_NEAR(result[farPixel], 1.0f, 1e-3f) << "beyond far_plane the radius is max_radius";
    }
}

TEST_F(DepthOfFieldTest, MismatchedInputsAreRefused)
{
    depth = depthField([](int, int) { return 10.0f; });
    Texture* large = uploaded(txtCreate(TEXTURE_TYPE_2D, screenWidth * 2, screenHeight, IMAGE_TYPE_RGBA16F));
    Texture* notUploaded = txtCreate(TEXTURE_TYPE_2D, kW, kH, IMAGE_TYPE_RGBA16F);
    lens(8.0f, 0.1f, 100.0f, 0.0f, false);
    const std::string log = testutil::captureLog([&] {
        dof->CalculateCOC(&camera, depth, large);
        dof->Render(&camera, nullptr, source, destination);
        dof->RenderHexagonal(&camera, depth, source, notUploaded);
    });
    EXPECT_EQ(testutil::countOf(log, "DepthOfField"), 3u) << log;
    txtDestroy(large);
    txtDestroy(notUploaded);
}

} // namespace
