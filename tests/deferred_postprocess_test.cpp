#include "render/deferred_postprocess.h"

#include "deferred_test_scene.h"
#include "jni/engine/grd_shader_uniforms.h"
#include "project_test_util.h"

#include <cmath>
#include <cstddef>
#include <limits>

using namespace gl;
using deferredtest::DeferredSceneTest;
using deferredtest::kHeight;
using deferredtest::kWidth;
using deferredtest::floorPlane;
using deferredtest::Plane;
using deferredtest::wallPlane;

namespace {

// ---- Parameter records ----

struct HBAOCase {
    const char* what;
    float exponent, bias, radius;
    float expectBias, expectR2, expectNegInvR2, expectRadiusToScreen, expectMultiplier;
};

const HBAOCase kHBAOCases[] = {
    {"radius 2, bias 0.5", 1.0f, 0.5f, 2.0f, 0.5f, 4.0f, -0.25f, 20.0f, 2.0f},
    {"the scene player's default bias of 1 is held below 1", 1.0f, 1.0f, 1.0f, kHBAOMaxBias, 1.0f, -1.0f, 10.0f,
     1.0f / (1.0f - kHBAOMaxBias)},
    {"a bias above 1 likewise", 2.0f, 7.0f, 1.0f, kHBAOMaxBias, 1.0f, -1.0f, 10.0f, 1.0f / (1.0f - kHBAOMaxBias)},
    {"radius 0 keeps a finite falloff", 1.0f, 0.0f, 0.0f, 0.0f, kHBAOMinRadius * kHBAOMinRadius,
     -1.0f / (kHBAOMinRadius * kHBAOMinRadius), kHBAOMinRadius * 10.0f, 1.0f},
    {"non-finite arguments fall back", std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
     std::numeric_limits<float>::quiet_NaN(), 0.0f, 1.0f, -1.0f, 10.0f, 1.0f},
};

TEST(DeferredPostprocessRecords, OcclusionUniformsStayFinite)
{
    for (const HBAOCase& c : kHBAOCases) {
        SCOPED_TRACE(c.what);
        const HBAOUniforms u = deferredComputeHBAOUniforms(c.exponent, c.bias, c.radius);
        for (float value : {u.powExponent, u.nDotVBias, u.radius, u.r2, u.negInvR2, u.radiusToScreen, u.aoMultiplier})
            EXPECT_TRUE(std::isfinite(value));
        EXPECT_FLOAT_EQ(u.nDotVBias, c.expectBias);
        EXPECT_FLOAT_EQ(u.r2, c.expectR2);
        EXPECT_FLOAT_EQ(u.negInvR2, c.expectNegInvR2);
        EXPECT_FLOAT_EQ(u.radiusToScreen, c.expectRadiusToScreen);
        EXPECT_FLOAT_EQ(u.aoMultiplier, c.expectMultiplier);
    }
}

// The reconstruction terms follow the camera, not a fixed 58 degree 16:9 view.
TEST(DeferredPostprocessRecords, ProjectionParamsCarryTheCamerasOwnExtents)
{
    float params[4];
    deferredCameraProjectionParams(nullptr, 512, 288, params);
    EXPECT_NEAR(params[1], 1.108618f, 1e-5f);
    EXPECT_NEAR(params[0], 1.108618f * 16.0f / 9.0f, 1e-4f);
    EXPECT_EQ(params[2], 0.0f);
    EXPECT_EQ(params[3], 0.0f);

    struct CameraCase {
        float fov, aspect;
        bool setupProjection;
        float expectX, expectY;
    };
    const float tan30 = std::tan(static_cast<float>(M_PI) / 6.0f);
    const CameraCase cases[] = {
        {90.0f, 1.0f, true, 2.0f, 2.0f},
        {60.0f, 16.0f / 9.0f, true, 2.0f * tan30 * 16.0f / 9.0f, 2.0f * tan30},
        // No projection yet: from the fov and the camera's aspect, else the target's.
        {60.0f, 2.0f, false, 4.0f * tan30, 2.0f * tan30},
        {60.0f, 0.0f, false, 2.0f * tan30 * 512.0f / 288.0f, 2.0f * tan30},
        // Orthographic: no perspective terms, the shaders keep the fixed ones.
        {0.0f, 1.0f, false, 0.0f, 0.0f},
    };
    for (const CameraCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "fov " << c.fov << " aspect " << c.aspect);
        Camera camera;
        camera.fov = c.fov;
        camera.aspect = c.aspect;
        camera.nearPlane = 0.1f;
        camera.farPlane = 100.0f;
        if (c.setupProjection)
            entSetupTransformation(&camera);
        deferredCameraProjectionParams(&camera, 512, 288, params);
        EXPECT_NEAR(params[2], c.expectX, 1e-4f);
        EXPECT_NEAR(params[3], c.expectY, 1e-4f);
    }
}

TEST(DeferredPostprocessRecords, ReflectionRecordLayout)
{
    EXPECT_EQ(offsetof(SSRParams, world), 64u);
    EXPECT_EQ(offsetof(SSRParams, position), 128u);
    EXPECT_EQ(offsetof(SSRParams, extent), 144u);
    EXPECT_EQ(offsetof(SSRParams, nearFar), 160u);
    EXPECT_EQ(offsetof(SSRParams, zero), 176u);
    EXPECT_EQ(offsetof(SSRParams, depthThickness), 180u);

    Camera camera;
    camera.fov = 90.0f;
    camera.nearPlane = 0.5f;
    camera.farPlane = 50.0f;
    camera.position = {1.0f, 2.0f, 3.0f};
    camera.world = Matrix::Translation(1.0f, 2.0f, 3.0f);
    const float saved = deferredRenderer.ssrDepthThickness;
    deferredRenderer.ssrDepthThickness = 0.25f;
    SSRParams params;
    deferredFillSSRParams(&params, camera, 1920, 1080);
    deferredRenderer.ssrDepthThickness = saved;
    EXPECT_NEAR(params.extent[0], 2.0f * 1920.0f / 1080.0f, 1e-5f);
    EXPECT_NEAR(params.extent[1], 2.0f, 1e-6f);
    EXPECT_EQ(params.extent[2], 0.0f);
    EXPECT_EQ(params.extent[3], 0.0f);
    const float nearFar[4] = {0.5f, 50.0f, 50.0f, 49.5f};
    for (int i = 0; i < 4; ++i)
        EXPECT_FLOAT_EQ(params.nearFar[i], nearFar[i]);
    EXPECT_EQ(params.position[2], 3.0f);
    EXPECT_EQ(params.world.m[3], 1.0f);
    EXPECT_EQ(params.reserved, 0.0f);
    EXPECT_EQ(params.zero, 0);
    EXPECT_EQ(params.depthThickness, 0.25f);
}

// ---- Passes on a G-buffer written from analytic planes ----

class DeferredPostprocess : public DeferredSceneTest {
protected:
    // The blurred occlusion of the frame, after linear depth.
    std::vector<float> occlusion(float bias, float radius)
    {
        deferredSetHBAOParams(true, 1.0f, bias, radius);
        deferredRenderLinearDepth(&deferredRenderer.deferredCamera);
        RenderHBAO(&deferredRenderer.deferredCamera);
        return read(deferredRenderer.txtDeferredHBAOBlurredV);
    }

    // Mean occlusion over the floor pixels whose world z lies in [zMin, zMax).
    double meanOverFloor(const std::vector<float>& ao, float zMin, float zMax, int* count)
    {
        double sum = 0.0;
        *count = 0;
        for (size_t i = 0; i < hits.size(); ++i) {
            const auto& hit = hits[i];
            if (!hit.surface || hit.normal.y < 0.5f || hit.world.z < zMin || hit.world.z >= zMax)
                continue;
            sum += ao[4 * i];
            ++*count;
        }
        return *count ? sum / *count : 0.0;
    }
};

TEST_F(DeferredPostprocess, LinearDepthIsTheViewDistanceOfEveryDepthSample)
{
    // A sweep of every depth from 0 to 1 (near and far included) over the image.
    const size_t count = static_cast<size_t>(kWidth) * kHeight;
    std::vector<float> depth(count * 2, 0.0f);
    for (size_t i = 0; i < count; ++i)
        depth[2 * i] = static_cast<float>(i) / static_cast<float>(count - 1);
    glTextureSubImage2D(deferredRenderer.txtDeferredDepth[0]->glId, 0, 0, 0, kWidth, kHeight, GL_DEPTH_STENCIL,
                        GL_FLOAT_32_UNSIGNED_INT_24_8_REV, depth.data());

    deferredRenderLinearDepth(&deferredRenderer.deferredCamera);
    const std::vector<float> linear = read(deferredRenderer.txtDeferredLinearDepth);
    const float n = deferredRenderer.deferredCamera.nearPlane;
    const float f = deferredRenderer.deferredCamera.farPlane;
    for (size_t i = 0; i < count; i += 97) {
        const float d = depth[2 * i];
        const float expected = 2.0f * n * f / (f + n - d * (f - n));
        ASSERT_NEAR(linear[4 * i], expected, expected * 1e-4f) << "depth " << d;
    }
    EXPECT_NEAR(linear[4 * (count - 1)], f, f * 1e-4f);
    EXPECT_TRUE(allFinite(linear));
}

TEST_F(DeferredPostprocess, LinearDepthOfTheSceneMatchesTheRayDistances)
{
    drawScene({floorPlane(), wallPlane(6.0f)});
    deferredRenderLinearDepth(&deferredRenderer.deferredCamera);
    const std::vector<float> linear = read(deferredRenderer.txtDeferredLinearDepth);
    const Matrix view = deferredRenderer.deferredCamera.view;
    int checked = 0;
    for (size_t i = 0; i < hits.size(); i += 53) {
        if (!hits[i].surface)
            continue;
        const float z = view.TransformPoint(hits[i].world).z;
        ASSERT_NEAR(linear[4 * i], z, z * 1e-3f);
        ++checked;
    }
    EXPECT_GT(checked, 500);
}

TEST_F(DeferredPostprocess, OcclusionIsOpenOnAPlaneAndDarkInAnInnerCorner)
{
    drawScene({floorPlane()});
    const std::vector<float> open = occlusion(0.1f, 1.0f);
    int floorPixels = 0;
    const double openMean = meanOverFloor(open, -1e9f, 1e9f, &floorPixels);
    ASSERT_GT(floorPixels, kWidth * kHeight / 4);
    EXPECT_GT(openMean, 0.97);
    for (size_t i = 0; i < hits.size(); ++i)
        if (hits[i].surface) {
            ASSERT_GT(open[4 * i], 0.85f) << "pixel " << i;
        }
    // The camera's own extents reached the program.
    const auto* params = static_cast<const float*>(
        shaderFindUniformByName(deferredRenderer.hbaoProgram, "vCameraProjectionParams", UNIFORM_TYPE_VEC4)->value);
    EXPECT_NEAR(params[3], 2.0f / deferredRenderer.deferredCamera.projection.m[5], 1e-5f);
    EXPECT_NEAR(params[2], 2.0f / deferredRenderer.deferredCamera.projection.m[0], 1e-5f);

    // The floor meets a wall 4 units ahead: the floor darkens toward the corner and stays open far from it.
    drawScene({floorPlane(), wallPlane(4.0f)});
    const std::vector<float> corner = occlusion(0.1f, 1.0f);
    int nearCount = 0;
    int farCount = 0;
    const double nearCorner = meanOverFloor(corner, 3.75f, 4.0f, &nearCount);
    const double farFromCorner = meanOverFloor(corner, 0.0f, 2.5f, &farCount);
    ASSERT_GT(nearCount, 200);
    ASSERT_GT(farCount, 200);
    EXPECT_LT(nearCorner, 0.8);
    EXPECT_GT(farFromCorner, 0.95);
    EXPECT_LT(nearCorner, farFromCorner - 0.15);
    EXPECT_TRUE(allFinite(corner));
}

TEST_F(DeferredPostprocess, DefaultBiasOfOneGivesFiniteOcclusion)
{
    drawScene({floorPlane(), wallPlane(4.0f)});
    projtest::LogCapture log;
    const std::vector<float> ao = occlusion(1.0f, 1.0f);
    const auto* multiplier =
        static_cast<const float*>(shaderFindUniformByName(deferredRenderer.hbaoProgram, "AOMultiplier",
                                                          UNIFORM_TYPE_FLOAT)->value);
    EXPECT_TRUE(std::isfinite(*multiplier));
    for (float v : ao) {
        ASSERT_TRUE(std::isfinite(v));
        ASSERT_GE(v, 0.0f);
        ASSERT_LE(v, 1.0f);
    }
    // The raw occlusion (before the blur) too.
    EXPECT_TRUE(allFinite(read(deferredRenderer.txtDeferredHBAO)));
}

TEST_F(DeferredPostprocess, ReflectionsShowTheLitImageOfWhatTheRayHits)
{
    // A mirror floor (SSR flag, metal, smooth) in front of a wall lit red; one floor strip without the flag.
    Plane mirror = floorPlane();
    mirror.flags = deferredtest::kFlagSSR;
    mirror.metalness = 1.0f;
    mirror.roughness = 0.0f;
    mirror.albedo[0] = mirror.albedo[1] = mirror.albedo[2] = 1.0f;
    mirror.lit[0] = mirror.lit[1] = mirror.lit[2] = 0.0f;
    Plane wall = wallPlane(5.0f);
    wall.lit[0] = 1.0f;
    wall.lit[1] = 0.0f;
    wall.lit[2] = 0.0f;
    drawScene({mirror, wall});
    fill(deferredRenderer.txtSSRSource, 0.0f, 0.0f, 1.0f, 1.0f); // stale contents the pass must replace
    fill(deferredRenderer.txtSSRDest, 0.5f, 0.5f, 0.5f, 0.5f);

    deferredRenderer.ssrEnabled = true;
    deferredRenderLinearDepth(&deferredRenderer.deferredCamera);
    RenderSSR(&deferredRenderer.deferredCamera, deferredRenderer.fbDeferredDeep);

    // The source is this frame's lit image.
    const std::vector<float> source = read(deferredRenderer.txtSSRSource);
    const std::vector<float> lit = read(deferredRenderer.txtDeferredGlobalShadows);
    ASSERT_EQ(source.size(), lit.size());
    for (size_t i = 0; i < source.size(); i += 31)
        ASSERT_EQ(source[i], lit[i]);

    const std::vector<float> reflections = read(deferredRenderer.txtSSRDest);
    EXPECT_TRUE(allFinite(reflections));
    int red = 0;
    int floorNearWall = 0;
    for (size_t i = 0; i < hits.size(); ++i) {
        const float* p = &reflections[4 * i];
        if (!hits[i].surface || hits[i].normal.y < 0.5f) {
            ASSERT_EQ(p[3], 0.0f) << "only the mirror floor reflects: pixel " << i % kWidth << "," << i / kWidth << " surface " << hits[i].surface;
            continue;
        }
        ASSERT_LE(p[1], 1e-3f); // nothing green or blue to reflect
        ASSERT_LE(p[2], 1e-3f);
        if (hits[i].world.z > 3.0f) {
            ++floorNearWall;
            red += p[0] > 0.3f && p[3] > 0.3f;
        }
    }
    ASSERT_GT(floorNearWall, 1000);
    EXPECT_GT(red, floorNearWall / 2);
}

TEST_F(DeferredPostprocess, ReflectionPassWithoutGBufferOrCameraDoesNothing)
{
    fill(deferredRenderer.txtSSRDest, 0.25f, 0.25f, 0.25f, 0.25f);
    RenderSSR(&deferredRenderer.deferredCamera, nullptr);
    RenderSSR(nullptr, deferredRenderer.fbDeferredDeep);
    Framebuffer* empty = fbCreate("empty_gbuffer");
    RenderSSR(&deferredRenderer.deferredCamera, empty);
    fbDestroy(empty);
    const std::vector<float> reflections = read(deferredRenderer.txtSSRDest);
    EXPECT_EQ(reflections[0], 0.25f);
    EXPECT_EQ(reflections[reflections.size() - 1], 0.25f);
}

} // namespace
