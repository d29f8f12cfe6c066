#include "render/deferred_composite.h"

#include "deferred_test_scene.h"
#include "project_test_util.h"
#include "render/deferred_postprocess.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

using namespace gl;
using deferredtest::DeferredSceneTest;
using deferredtest::kHeight;
using deferredtest::kWidth;
using deferredtest::Plane;

namespace {

// ---- Parameter records ----

TEST(DeferredCompositeRecords, DispatchRecordFromTheFrameCameras)
{
    EXPECT_EQ(offsetof(DispatchCompute2Params, viewInverse), 192u);
    EXPECT_EQ(offsetof(DispatchCompute2Params, position), 320u);
    EXPECT_EQ(offsetof(DispatchCompute2Params, extent), 336u);
    EXPECT_EQ(offsetof(DispatchCompute2Params, size), 368u);

    const Camera savedCurrent = deferredRenderer.deferredCamera;
    const Camera savedPrevious = deferredRenderer.deferredPreviousCamera;
    deferredRenderer.deferredCamera.fov = 90.0f;
    deferredRenderer.deferredCamera.nearPlane = 0.5f;
    deferredRenderer.deferredCamera.farPlane = 100.0f;
    deferredRenderer.deferredCamera.position = {1.0f, 2.0f, 3.0f};
    deferredRenderer.deferredCamera.view = Matrix::Translation(-1.0f, -2.0f, -3.0f);
    deferredRenderer.deferredPreviousCamera.view = Matrix::Translation(4.0f, 5.0f, 6.0f);
    DispatchCompute2Params params;
    deferredFillDispatchParams(&params, 1920, 1080);
    deferredRenderer.deferredCamera = savedCurrent;
    deferredRenderer.deferredPreviousCamera = savedPrevious;

    const float extent[4] = {2.0f * 1920.0f / 1080.0f, 2.0f, 1920.0f / 1080.0f, 1.0f};
    const float nearFar[4] = {0.5f, 100.0f, 100.0f, 99.5f};
    const float size[4] = {1920.0f, 1080.0f, 1.0f / 1920.0f, 1.0f / 1080.0f};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(params.extent[i], extent[i], 1e-5f);
        EXPECT_FLOAT_EQ(params.nearFar[i], nearFar[i]);
        EXPECT_FLOAT_EQ(params.size[i], size[i]);
    }
    // The inverse of the current view, and the previous view as it is.
    EXPECT_FLOAT_EQ(params.viewInverse.m[3], 1.0f);
    EXPECT_FLOAT_EQ(params.viewInverse.m[7], 2.0f);
    EXPECT_FLOAT_EQ(params.viewInverse.m[11], 3.0f);
    EXPECT_FLOAT_EQ(params.previousView.m[11], 6.0f);
    EXPECT_EQ(params.position[0], 1.0f);
    EXPECT_EQ(params.reserved, 0.0f);
}

TEST(DeferredCompositeRecords, VoxelRecordsTakeTheSettingsInTheirOwnOrders)
{
    VoxelLightingSettings settings;
    float* words = &settings.lightSmoothingPositionFactor;
    for (int i = 0; i < 11; ++i)
        words[i] = static_cast<float>(i); // word i holds i
    settings.voxelized = 1;

    VoxelLightingParams lighting;
    deferredFillVoxelLightingParams(&lighting, settings, 1);
    const float lightingOrder[8] = {0, 1, 2, 3, 4, 5, 7, 6};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(lighting.values[i], lightingOrder[i]) << "float " << i;
    EXPECT_EQ(lighting.passIndex, 1);

    VoxelFogParams fog;
    deferredFillVoxelFogParams(&fog, settings);
    const float fogOrder[11] = {0, 1, 2, 3, 4, 5, 7, 6, 8, 10, 9};
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(fog.values[i], fogOrder[i]) << "float " << i;
    EXPECT_EQ(fog.zero, 0.0f);
}

TEST(DeferredCompositeRecords, CompositeRecordEndsWithTheView)
{
    EXPECT_EQ(offsetof(CompositeParams, fogRange), 48u);
    EXPECT_EQ(offsetof(CompositeParams, one), 60u);
    EXPECT_EQ(offsetof(CompositeParams, ssrStrength), 64u);
    EXPECT_EQ(offsetof(CompositeParams, view), 92u);

    DeferredCompositeParams settings;
    settings.ssrStrength = 0.5f;
    settings.vxOcclusionStrength = 0.25f;
    settings.vxIlluminationStrength = 0.125f;
    CompositeParams params;
    const std::pair<int, int> views[] = {{4, 4}, {0, 0}, {12, 12}, {13, 0}, {-1, 0}};
    for (const auto& [given, expected] : views) {
        deferredFillCompositeParams(&params, settings, given);
        EXPECT_EQ(params.view, expected) << "view " << given;
    }
    int32_t last = 0;
    deferredFillCompositeParams(&params, settings, 4);
    std::memcpy(&last, reinterpret_cast<const uint8_t*>(&params) + 92, 4);
    EXPECT_EQ(last, 4);
    EXPECT_EQ(params.one, 1.0f);
    // Scene-player order: SSR, then voxel occlusion, then voxel illumination.
    EXPECT_EQ(params.ssrStrength, 0.5f);
    EXPECT_EQ(params.vxOcclusionStrength, 0.25f);
    EXPECT_EQ(params.vxIlluminationStrength, 0.125f);
    EXPECT_EQ(params.fogHeightDensity, 0.2f);
}

// ---- Passes ----

struct Dispatch {
    const ShaderProgram* program;
    int groupsX;
    int groupsY;
};
std::vector<Dispatch> dispatches;

void recordDispatch(const ShaderProgram* program, int groupsX, int groupsY)
{
    dispatches.push_back({program, groupsX, groupsY});
}

class DeferredCompositeTest : public DeferredSceneTest {
protected:
    Framebuffer* destination = nullptr;
    Texture* results[2] = {};

    void SetUp() override
    {
        DeferredSceneTest::SetUp();
        dispatches.clear();
        deferredDispatchObserver = recordDispatch;
        destination = fbCreate("test_composite");
        for (int i = 0; i < 2; ++i)
            results[i] = txtCreateNamed(i ? "TestCompositePrevious" : "TestComposite", TEXTURE_TYPE_2D, kWidth,
                                        kHeight, IMAGE_TYPE_RGBA16F);
        fbAttach(destination, FB_ATTACHMENT_COLOR0, results[0]);
        fbAttach(destination, FB_ATTACHMENT_COLOR1, results[1]);
        for (Texture* texture : {deferredRenderer.txtVXLighting[0], deferredRenderer.txtRaytrace[0],
                                 deferredRenderer.txtVolumetricFog[0], deferredRenderer.txtBlendedParticles,
                                 deferredRenderer.txtDeferredEmissive, deferredRenderer.txtWireframeColor})
            fill(texture, 0.0f, 0.0f, 0.0f, 0.0f);
    }
    void TearDown() override
    {
        deferredDispatchObserver = nullptr;
        fbDestroy(destination);
        for (Texture* texture : results)
            txtDestroy(texture);
        DeferredSceneTest::TearDown();
    }

    // The scene player's swap: this frame's result becomes the next frame's history.
    void swapResults()
    {
        std::swap(results[0], results[1]);
        fbAttach(destination, FB_ATTACHMENT_COLOR0, results[0]);
        fbAttach(destination, FB_ATTACHMENT_COLOR1, results[1]);
        constBufferRingAdvance();
    }

    // Settings under which the composite is the lit image plus the additive inputs.
    static DeferredCompositeParams plainSettings()
    {
        DeferredCompositeParams s;
        for (float* colour : {s.ambient, s.fill})
            colour[3] = 0.0f;
        s.fogColor[3] = 0.0f;
        s.vxOcclusionStrength = s.vxIlluminationStrength = s.ssrStrength = 0.0f;
        s.volumetricFogStrength = 0.0f;
        s.newFrameBlendFactor = 1.0f;
        return s;
    }

    static Plane wall() { return deferredtest::wallPlane(5.0f); }
    static Plane floor()
    {
        Plane plane = deferredtest::floorPlane();
        plane.lit[0] = 0.4f;
        return plane;
    }

    // Material flags of the left half of the G-buffer's tag target (metalness and roughness kept).
    static void flagLeftHalf(uint16_t flags)
    {
        std::vector<uint16_t> tags(static_cast<size_t>(kWidth) * kHeight * 4, 0);
        glGetTextureImage(deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags->glId, 0, GL_RGBA_INTEGER,
                          GL_UNSIGNED_SHORT, static_cast<GLsizei>(tags.size() * sizeof(uint16_t)), tags.data());
        for (size_t i = 0; i < tags.size(); i += 4)
            if ((i / 4) % kWidth < kWidth / 2) {
                tags[i + 2] = flags;
                tags[i + 3] = deferredtest::kTagSurface;
            }
        glTextureSubImage2D(deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags->glId, 0, 0, 0, kWidth, kHeight,
                            GL_RGBA_INTEGER, GL_UNSIGNED_SHORT, tags.data());
    }

    static void expectPixel(const std::vector<float>& image, int x, int y, const float expected[3], float tolerance)
    {
        const float* p = &image[(static_cast<size_t>(y) * kWidth + x) * 4];
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(p[c], expected[c], tolerance) << "channel " << c << " at " << x << "," << y;
    }
};

struct ViewCase {
    int view;
    float expected[3];
};

TEST_F(DeferredCompositeTest, DebugViewsShowWhatTheyName)
{
    setCamera({0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}, 60.0f, 0.1f, 100.0f);
    Plane surface = wall();
    surface.albedo[0] = 0.2f;
    surface.albedo[1] = 0.4f;
    surface.albedo[2] = 0.6f;
    surface.lit[0] = 0.7f;
    surface.lit[1] = 0.1f;
    surface.lit[2] = 0.3f;
    surface.roughness = 0.25f;
    surface.material = 3;
    drawScene({surface});
    flagLeftHalf(deferredtest::kFlagRaytrace);
    fill(deferredRenderer.txtVXLighting[0], 0.05f, 0.1f, 0.15f, 0.4f);
    fill(deferredRenderer.txtRaytrace[0], 0.3f, 0.2f, 0.1f, 1.0f);
    fill(deferredRenderer.txtVolumetricFog[0], 0.1f, 0.2f, 0.05f, 0.5f);
    fill(deferredRenderer.txtBlendedParticles, 0.02f, 0.03f, 0.04f, 1.0f);

    const ViewCase cases[] = {
        {0, {0.72f, 0.13f, 0.34f}},    // lit + particles under the plain settings
        {99, {0.72f, 0.13f, 0.34f}},   // an unknown view shows the composite
        {1, {0.2f, 0.4f, 0.6f}},       // albedo
        {2, {0.5f, 0.5f, 0.0f}},       // normal (0, 0, -1) mapped to 0..1
        {3, {0.25f, 0.25f, 0.25f}},    // roughness
        {4, {0.7f, 0.1f, 0.3f}},       // lighting
        {5, {0.05f, 0.1f, 0.15f}},     // voxel lighting
        {6, {0.75f, 0.2f, 0.45f}},     // lighting + voxel lighting
        {7, {0.6f, 0.6f, 0.6f}},       // voxel occlusion: 1 - occlusion
        {10, {0.3f, 0.2f, 0.1f}},      // raytrace
        {11, {0.1f, 0.2f, 0.05f}},     // volumetric fog
        {12, {0.02f, 0.03f, 0.04f}},   // particles
    };
    const int right = kWidth * 3 / 4;
    for (const ViewCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "view " << c.view);
        renderingMain = c.view;
        DeferredComposite(destination, plainSettings());
        const std::vector<float> image = read(results[0]);
        expectPixel(image, right, kHeight / 2, c.expected, 4e-3f);
        expectPixel(image, 10, 10, c.expected, 4e-3f);
    }

    // Material: a steady colour per row; RT mask: white only where the material asks for ray tracing.
    renderingMain = COMPOSITE_VIEW_MATERIAL;
    DeferredComposite(destination, plainSettings());
    std::vector<float> image = read(results[0]);
    const float* material = &image[(static_cast<size_t>(kHeight / 2) * kWidth + right) * 4];
    EXPECT_GT(material[0] + material[1] + material[2], 0.75f);
    expectPixel(image, 10, 10, material, 1e-6f);

    renderingMain = COMPOSITE_VIEW_RTMASK;
    DeferredComposite(destination, plainSettings());
    image = read(results[0]);
    const float white[3] = {1.0f, 1.0f, 1.0f};
    const float black[3] = {0.0f, 0.0f, 0.0f};
    expectPixel(image, 10, kHeight / 2, white, 1e-3f);
    expectPixel(image, right, kHeight / 2, black, 1e-3f);
}

TEST_F(DeferredCompositeTest, TemporalResolveConvergesOnAStillScene)
{
    drawScene({floor(), wall()});
    // A noisy lit image, so the history clamp has a neighbourhood to work with.
    std::vector<float> lit = read(deferredRenderer.txtDeferredGlobalShadows);
    for (size_t i = 0; i < lit.size(); i += 4)
        for (int c = 0; c < 3; ++c)
            lit[i + c] += 0.2f * static_cast<float>((i * 2654435761u + c * 40503u) % 1000u) / 1000.0f;
    upload(deferredRenderer.txtDeferredGlobalShadows, lit);
    deferredSetHBAOParams(true, 1.0f, 0.1f, 1.0f);

    DeferredCompositeParams settings;
    settings.newFrameBlendFactor = 1.0f;
    DeferredComposite(destination, settings);
    const std::vector<float> reference = read(results[0]);
    ASSERT_TRUE(allFinite(reference));

    // Start from a history that has nothing to do with the scene.
    fill(results[1], 1.0f, 1.0f, 1.0f, 1.0f);
    settings.newFrameBlendFactor = 0.25f;
    std::vector<float> previous;
    std::vector<double> changes;
    for (int frame = 0; frame < 40; ++frame) {
        DeferredComposite(destination, settings);
        std::vector<float> current = read(results[0]);
        if (!previous.empty()) {
            double change = 0.0;
            for (size_t i = 0; i < current.size(); ++i)
                change = std::max(change, static_cast<double>(std::fabs(current[i] - previous[i])));
            changes.push_back(change);
        }
        previous = std::move(current);
        swapResults();
    }
    EXPECT_GT(changes.front(), 1e-3);
    EXPECT_LT(changes.back(), 1e-3);
    EXPECT_LT(changes.back(), changes.front());
    double difference = 0.0;
    for (size_t i = 0; i < previous.size(); ++i)
        difference = std::max(difference, static_cast<double>(std::fabs(previous[i] - reference[i])));
    EXPECT_LT(difference, 4e-3) << "the resolve settles on the composite itself";
    deferredRenderer.hbaoEnabled = false;
}

TEST_F(DeferredCompositeTest, ResolveRunsOnlyWithAHistoryOfTheRightSize)
{
    drawScene({floor(), wall()});
    DeferredCompositeParams settings;
    settings.newFrameBlendFactor = 1.0f;
    DeferredComposite(destination, settings);
    // The composite's program is the variant for this frame's view and inputs.
    ShaderProgram* const compositeProgram =
        deferredCompositeVariant(deferredCompositeVariantKey(renderingMain, deferredCompositeInputsInUse()));
    ASSERT_EQ(dispatches.size(), 1u);
    EXPECT_EQ(dispatches[0].program, compositeProgram);
    EXPECT_EQ(dispatches[0].groupsX, 64);
    EXPECT_EQ(dispatches[0].groupsY, 36);

    dispatches.clear();
    settings.newFrameBlendFactor = 0.5f;
    DeferredComposite(destination, settings);
    ASSERT_EQ(dispatches.size(), 2u);
    EXPECT_EQ(dispatches[0].program, compositeProgram);
    EXPECT_EQ(dispatches[1].program, deferredRenderer.taaResolveProgram);
    EXPECT_EQ(dispatches[1].groupsX, 64);

    // Without a previous result the composite goes straight into colour 0.
    dispatches.clear();
    fbAttach(destination, FB_ATTACHMENT_COLOR1, nullptr);
    DeferredComposite(destination, settings);
    ASSERT_EQ(dispatches.size(), 1u);
    EXPECT_TRUE(allFinite(read(results[0])));

    // A 1920 x 1080 destination: 240 x 135 groups, and no resolve through the 512 x 288 intermediate.
    Texture* large = txtCreateNamed("TestCompositeLarge", TEXTURE_TYPE_2D, 1920, 1080, IMAGE_TYPE_RGBA8);
    Framebuffer* full = fbCreate("test_composite_large");
    fbAttach(full, FB_ATTACHMENT_COLOR0, large);
    fbAttach(full, FB_ATTACHMENT_COLOR1, results[1]);
    dispatches.clear();
    DeferredComposite(full, settings);
    ASSERT_EQ(dispatches.size(), 1u);
    EXPECT_EQ(dispatches[0].groupsX, 240);
    EXPECT_EQ(dispatches[0].groupsY, 135);
    fbDestroy(full);
    txtDestroy(large);

    // Nothing to write into: logged, nothing dispatched.
    dispatches.clear();
    projtest::LogCapture log;
    DeferredComposite(nullptr, settings);
    Framebuffer* empty = fbCreate("test_composite_empty");
    DeferredComposite(empty, settings);
    fbDestroy(empty);
    EXPECT_TRUE(dispatches.empty());
    EXPECT_EQ(log.count("has no colour target"), 2);
}

TEST_F(DeferredCompositeTest, DispatcherRefusesProgramsWithoutComputeStage)
{
    projtest::LogCapture log;
    deferredRenderCompute2(nullptr, 1, 1, destination, nullptr, nullptr);
    deferredRenderCompute2(deferredRenderer.hbaoProgram, 1, 1, destination, nullptr, nullptr);
    EXPECT_EQ(log.count("Invalid shader program. No compute shader bound"), 2);
    EXPECT_TRUE(dispatches.empty());
}

TEST_F(DeferredCompositeTest, NoTargetHoldsNaNOrInfinityAfterAFrame)
{
    Plane mirror = floor();
    mirror.flags = deferredtest::kFlagSSR | deferredtest::kFlagReflect;
    mirror.roughness = 0.1f;
    drawScene({mirror, wall()});
    // Poisoned inputs: a history and a voxel target full of NaN and infinity.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    fill(results[1], nan, inf, -inf, nan);
    fill(deferredRenderer.txtVXLighting[0], nan, nan, inf, inf);

    deferredSetHBAOParams(true, 1.0f, 1.0f, 1.0f); // the scene player's defaults
    deferredRenderer.ssrEnabled = true;
    VoxelLightingSettings voxels;
    voxels.voxelized = 1;
    RenderVoxelizationLighting(nullptr, voxels); // no raytracer: clears the poisoned target
    RenderVolumetricFog(nullptr, voxels);
    DeferredComposite(destination, DeferredCompositeParams{});

    const std::pair<const char*, Texture*> targets[] = {
        {"linear depth", deferredRenderer.txtDeferredLinearDepth},
        {"occlusion", deferredRenderer.txtDeferredHBAO},
        {"occlusion H", deferredRenderer.txtDeferredHBAOBlurredH},
        {"occlusion V", deferredRenderer.txtDeferredHBAOBlurredV},
        {"SSR source", deferredRenderer.txtSSRSource},
        {"SSR", deferredRenderer.txtSSRDest},
        {"voxel lighting", deferredRenderer.txtVXLighting[0]},
        {"fog", deferredRenderer.txtVolumetricFog[0]},
        {"intermediate", deferredRenderer.txtTempRGBA16F},
        {"composite", results[0]},
    };
    for (const auto& [name, texture] : targets)
        EXPECT_TRUE(allFinite(read(texture))) << name;
    deferredRenderer.hbaoEnabled = false;
}

TEST_F(DeferredCompositeTest, VoxelAndFogPassesWithoutGridClearTheirTargets)
{
    fill(deferredRenderer.txtVXLighting[0], 0.5f, 0.5f, 0.5f, 0.5f);
    fill(deferredRenderer.txtVolumetricFog[0], 0.5f, 0.5f, 0.5f, 0.5f);
    VoxelLightingSettings settings;
    settings.voxelized = 1;
    RenderVoxelizationLighting(nullptr, settings);
    RenderVolumetricFog(nullptr, settings);
    EXPECT_TRUE(dispatches.empty());
    for (Texture* texture : {deferredRenderer.txtVXLighting[0], deferredRenderer.txtVolumetricFog[0]}) {
        const std::vector<float> values = read(texture);
        EXPECT_TRUE(std::all_of(values.begin(), values.end(), [](float v) { return v == 0.0f; }));
    }
}

// The voxel programs themselves, fed a small grid directly (the raytracer's record is not needed for that).
TEST_F(DeferredCompositeTest, VoxelProgramsGatherLightFromAnOccupiedGrid)
{
    drawScene({floor(), wall()});
    constexpr int kSide = 16;
    GLuint volumes[2] = {};
    glCreateTextures(GL_TEXTURE_3D, 2, volumes);
    glTextureStorage3D(volumes[0], 5, GL_RGBA8, kSide, kSide, kSide);
    glTextureStorage3D(volumes[1], 5, GL_R8, kSide, kSide, kSide);
    const uint8_t colour[4] = {255, 128, 64, 255};
    const uint8_t occupancy[4] = {128, 0, 0, 0};
    for (int level = 0; level < 5; ++level) {
        glClearTexImage(volumes[0], level, GL_RGBA, GL_UNSIGNED_BYTE, colour);
        glClearTexImage(volumes[1], level, GL_RED, GL_UNSIGNED_BYTE, occupancy);
    }
    // Grid bounds as the raytracer's bounding-box pass leaves them: the voxel grid is entry 1 of 96 bytes.
    BufferObject* bounds = boCreate("TestBBoxBuffer", 192);
    float* words = reinterpret_cast<float*>(bounds->hostCopy + 96);
    const float boxMin[4] = {-10.0f, -1.0f, -10.0f, 0.0f};
    const float boxMax[4] = {10.0f, 19.0f, 10.0f, 0.0f};
    std::memcpy(words + 8, boxMin, sizeof boxMin);
    std::memcpy(words + 12, boxMax, sizeof boxMax);
    glNamedBufferSubData(bounds->glId, 0, 192, bounds->hostCopy);

    TextureBindings textures;
    TextureBinding volume;
    volume.samplerType = SAMPLER_TRILINEAR_BORDER;
    volume.glTextureId = volumes[0];
    textures["s_voxel_colors_filtered"] = volume;
    volume.glTextureId = volumes[1];
    textures["s_voxel_occupancy_filtered"] = volume;
    shaderBindingsAddTexture(textures, "imNormalMaterial", deferredRenderer.txtDeferredNormalAttribute);
    shaderBindingsAddTexture(textures, "imMetalnessRoughnessMaterialTags",
                             deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags);
    shaderBindingsAddTexture(textures, "sTextureDepth", deferredRenderer.txtDeferredDepth[0], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sTextureDepthPrevious", deferredRenderer.txtDeferredDepth[1],
                             SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sTargetPrevious", deferredRenderer.txtVXLighting[1], SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(textures, "imTarget", deferredRenderer.txtVXLightingTemp);
    VoxelLightingSettings settings;
    settings.lightFalloff = 0.1f;
    settings.occlusionFalloff = 0.1f;
    settings.lightTraceDistanceScale = 1.0f;
    settings.traceMaxRange = 10.0f;
    settings.scattering = 0.5f;
    settings.traceStep = 2.0f;
    settings.occlusionFalloff = 0.2f;
    VoxelLightingParams lighting;
    deferredFillVoxelLightingParams(&lighting, settings, 0);
    VoxelFogParams fog;
    deferredFillVoxelFogParams(&fog, settings);
    BufferBindings buffers;
    shaderBindingsAddBuffer(buffers, "BBoxBuffer", bounds);
    shaderBindingsAddData(buffers, "VoxelLightingParams", &lighting, sizeof lighting);
    shaderBindingsAddData(buffers, "VoxelFogParams", &fog, sizeof fog);

    deferredRenderCompute2(deferredRenderer.voxelLightingProgram, 32, 18, deferredRenderer.fbDeferredVoxelLightingTemp,
                           &textures, &buffers);
    const std::vector<float> gathered = read(deferredRenderer.txtVXLightingTemp);
    double occlusion = 0.0;
    double red = 0.0;
    int surfaces = 0;
    for (size_t i = 0; i < hits.size(); ++i) {
        if (!hits[i].surface)
            continue;
        red += gathered[4 * i];
        occlusion += gathered[4 * i + 3];
        ++surfaces;
    }
    ASSERT_GT(surfaces, 0);
    EXPECT_GT(occlusion / surfaces, 0.1);
    EXPECT_GT(red / surfaces, 0.01);
    EXPECT_TRUE(allFinite(gathered));

    shaderBindingsAddTexture(textures, "imOcclusion", deferredRenderer.txtVXLightingTemp);
    shaderBindingsAddTexture(textures, "imTarget", deferredRenderer.txtVXLighting[0]);
    deferredRenderCompute2(deferredRenderer.voxelLightingBlurProgram, 64, 72,
                           deferredRenderer.fbDeferredVoxelLighting[0], &textures, &buffers);
    EXPECT_TRUE(allFinite(read(deferredRenderer.txtVXLighting[0])));

    shaderBindingsAddTexture(textures, "imTarget", deferredRenderer.txtVolumetricFog[0]);
    shaderBindingsAddTexture(textures, "sTargetPrevious", deferredRenderer.txtVolumetricFog[1], SAMPLER_LINEAR_CLAMP);
    deferredRenderCompute2(deferredRenderer.volumetricFogProgram, 32, 18, deferredRenderer.fbDeferredVolumetricFog[0],
                           &textures, &buffers);
    const std::vector<float> scattered = read(deferredRenderer.txtVolumetricFog[0]);
    EXPECT_TRUE(allFinite(scattered));
    const size_t centre = (static_cast<size_t>(kHeight / 2) * kWidth + kWidth / 2) * 4;
    EXPECT_GT(scattered[centre + 3], 0.05f) << "the view ray crosses occupied voxels";
    EXPECT_EQ(dispatches.size(), 3u);

    boDelete(bounds);
    glDeleteTextures(2, volumes);
}

TEST_F(DeferredCompositeTest, StencilMarksThePixelsThatAskForRayTracing)
{
    drawScene({floor(), wall()});
    flagLeftHalf(deferredtest::kFlagReflect);
    CopyRTMaterialPropertyToStencil();
    std::vector<uint8_t> stencil(static_cast<size_t>(kWidth) * kHeight, 7);
    glGetTextureImage(deferredRenderer.txtDeferredDepth[0]->glId, 0, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE,
                      static_cast<GLsizei>(stencil.size()), stencil.data());
    for (int y = 0; y < kHeight; y += 17)
        for (int x = 0; x < kWidth; x += 13)
            ASSERT_EQ(stencil[static_cast<size_t>(y) * kWidth + x], x < kWidth / 2 ? 1 : 0) << x << "," << y;
}

} // namespace
