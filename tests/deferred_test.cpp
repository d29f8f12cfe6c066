#include "render/deferred_lighting.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"

#include "app/data_files.h"
#include "app/math_types.h"
#include "components/instance_buffers.h"
#include "deferred_scene_util.h"
#include "editor/event_log.h"
#include "gl_context.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/resources.h"
#include "project_test_util.h"
#include "render/materials.h"
#include "render/render_graph.h"
#include "render/scene.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using projtest::LogCapture;

namespace {

const std::string kAssets = ENGINE_SOURCE_DIR "assets/";
constexpr int kWidth = 512;
constexpr int kHeight = 288;
constexpr int kShadowSize = 512;

// The roots live for the whole run; the binary lets them go at its end, so the leak check sees real leaks.
class ReleaseDeferredRoots : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (MaterialManager::rootCount() && glTestContextInit())
            MaterialManager::releaseRoots();
    }
};
[[maybe_unused]] ::testing::Environment* const releaseDeferredRoots =
    ::testing::AddGlobalTestEnvironment(new ReleaseDeferredRoots);

using deferredscene::Draw;
using deferredscene::Mesh;
using deferredscene::coloured;
using deferredscene::placeLight;

void placeCamera(Camera& camera, const Vector3& position, const Vector3& rotation)
{
    deferredscene::placeCamera(camera, position, rotation, float(kWidth) / float(kHeight));
}

bool finite4(const std::array<float, 4>& v)
{
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]);
}

// The renderer at 512 x 288 with the shipped shaders and the flat material; released after every test, so each
// starts from nothing.
class DeferredTest : public GLTest {
protected:
    std::string oldBase = dataBasePath();
    int oldWidth = screenWidth;
    int oldHeight = screenHeight;
    EventLog events;
    EventLog* oldEvents = uiEventLog;
    std::unique_ptr<Material> flat;
    deferredscene::SceneObjects owned;
    Camera camera;

    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(kAssets);
        uiEventLog = &events;
        ui_event_log_connect();
        screenWidth = kWidth;
        screenHeight = kHeight;
        glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 22));
        rendererInitGlobalInputs();
        flat.reset(materialCreateFromRoot("flat"));
        ASSERT_TRUE(flat);
        deferredRenderInit();
        deferredCreateTargets();
        resetMaterialTable();
    }
    void TearDown() override
    {
        flat.reset();
        owned.release();
        shaderUseProgram(nullptr);
        deferredRenderRelease();
        constBufferRingShutdown();
        while (fbStackTop > 0)
            fbPop();
        fbBind(nullptr);
        glClipControl(GL_LOWER_LEFT, GL_NEGATIVE_ONE_TO_ONE);
        screenWidth = oldWidth;
        screenHeight = oldHeight;
        dataSetBasePath(oldBase);
        uiEventLog = oldEvents;
        GLTest::TearDown();
    }

    Geometry* keep(Geometry* g)
    {
        owned.geometries.push_back(g);
        return g;
    }
    Light* keep(Light* light)
    {
        owned.lights.push_back(light);
        return light;
    }

    // One deferred frame as the scene player runs it; the lit image is left in txtDeferredGlobalShadows.
    void frame(const std::vector<Light*>& frameLightList, const std::vector<Draw>& draws,
               const std::string& envmap = "env_texture::default", float envmapIntensity = 1.0f)
    {
        ASSERT_TRUE(deferredscene::renderFrame(flat.get(), camera, frameLightList, draws, owned.shadowMaps, kShadowSize,
                                               envmap, envmapIntensity))
            << events.text;
        ASSERT_EQ(glGetError(), GL_NO_ERROR);
    }

    // Pixel of a world point in the 512 x 288 targets.
    std::array<int, 2> pixelOf(const Vector3& p) const
    {
        const Vector3 v = camera.view.TransformPoint(p);
        const float* m = camera.projection.m;
        const float w = m[12] * v.x + m[13] * v.y + m[14] * v.z + m[15];
        const float x = (m[0] * v.x + m[1] * v.y + m[2] * v.z + m[3]) / w;
        const float y = (m[4] * v.x + m[5] * v.y + m[6] * v.z + m[7]) / w;
        return {int((x * 0.5f + 0.5f) * kWidth), int((y * 0.5f + 0.5f) * kHeight)};
    }
    static std::array<float, 4> texel(const Texture* t, int x, int y)
    {
        std::array<float, 4> v{};
        glGetTextureSubImage(t->glId, 0, x, y, 0, 1, 1, 1, GL_RGBA, GL_FLOAT, sizeof v, v.data());
        return v;
    }
    std::array<float, 4> lit(const Vector3& p) const
    {
        const auto px = pixelOf(p);
        return texel(deferredRenderer.txtDeferredGlobalShadows, px[0], px[1]);
    }
};

// ---- Set-up and targets ----

TEST_F(DeferredTest, TargetsHaveTheirNamesFormatsAndOutputSize)
{
    struct Case {
        const Texture* texture;
        const char* name;
        ImageType type;
    };
    const Case cases[] = {
        {deferredRenderer.txtDeferredDepth[0], "txtDeferredDepth0", IMAGE_TYPE_DEPTH32F_STENCIL8},
        {deferredRenderer.txtDeferredDepth[1], "txtDeferredDepth1", IMAGE_TYPE_DEPTH32F_STENCIL8},
        {deferredRenderer.txtDeferredColor[1], "txtDeferredColor1", IMAGE_TYPE_RGBA16F},
        {deferredRenderer.txtDeferredNormalAttribute, "txtDeferredNormalAttribute", IMAGE_TYPE_R32UI},
        {deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags, "txtDeferredMetalnessRoughnessMaterialTags",
         IMAGE_TYPE_RGBA16UI},
        {deferredRenderer.txtDeferredEmissive, "txtDeferredEmissive", IMAGE_TYPE_RGBA16F},
        {deferredRenderer.txtDeferredGlobalShadows, "txtDeferredGlobalShadows", IMAGE_TYPE_RGBA16F},
        {deferredRenderer.txtDeferredHBAOBlurredV, "txtDeferredHBAOBlurredV", IMAGE_TYPE_R16F},
        {deferredRenderer.txtDeferredLinearDepth, "txtDeferredLinearDepth", IMAGE_TYPE_R32F},
        {deferredRenderer.txtSSRSource, "SSRSource", IMAGE_TYPE_RGBA16F},
        {deferredRenderer.txtFinalComposite, "FinalComposite", IMAGE_TYPE_RGBA8},
        {deferredRenderer.txtVolumetricFog[1], "VolumetricFog1", IMAGE_TYPE_RGBA16F},
        {deferredRenderer.txtWireframeDepth, "txtWireframeDepth", IMAGE_TYPE_DEPTH32F},
        {deferredRenderer.txtTempRGBA16F, "txtTempRGBA16F", IMAGE_TYPE_RGBA16F},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.texture, nullptr) << c.name;
        EXPECT_EQ(c.texture->name, c.name);
        EXPECT_EQ(c.texture->images[0]->type, c.type) << c.name;
        EXPECT_NE(c.texture->glId, 0u) << c.name;
        GLint w = 0, h = 0;
        glGetTextureLevelParameteriv(c.texture->glId, 0, GL_TEXTURE_WIDTH, &w);
        glGetTextureLevelParameteriv(c.texture->glId, 0, GL_TEXTURE_HEIGHT, &h);
        EXPECT_EQ(w, kWidth) << c.name;
        EXPECT_EQ(h, kHeight) << c.name;
        EXPECT_EQ(c.texture->images[0]->levels[0], nullptr) << c.name << ": targets keep no CPU copy";
    }
    EXPECT_EQ(deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags->samplerType, SAMPLER_NEAREST_MIPMAP_BORDER);

    for (const char* name :
         {"deferred_deep", "deferred_deep_shadow", "deferred_hbao", "fxr_ssr_source", "fxr_ssr_dest",
          "deferred_linear_depth", "deferred_voxel_lighting0", "deferred_voxel_lighting1",
          "deferred_voxel_lighting_temp", "deferred_volumetric_fog_0", "deferred_volumetric_fog_1",
          "deferred_final_composite", "deferred_raytrace0", "deferred_raytrace1", "deferred_particles",
          "fbWireframe"})
        EXPECT_NE(deferredFindFramebuffer(name), nullptr) << name;
    EXPECT_EQ(deferredFindFramebuffer("deferred"), nullptr);
    EXPECT_EQ(deferredRenderer.fbSSRDest->slots[FB_ATTACHMENT_COLOR0].texture, deferredRenderer.txtSSRDest);
    EXPECT_EQ(deferredRenderer.fbWireframe->slots[FB_ATTACHMENT_DEPTH].texture, deferredRenderer.txtWireframeDepth);
    EXPECT_EQ(deferredTarget(0), deferredRenderer.fbDeferredDeep);
    EXPECT_EQ(deferredTarget(1), deferredRenderer.fbDeferredParticles);
    EXPECT_EQ(deferredTarget(2), nullptr);
    EXPECT_EQ(renderGraphHooks.deferredTarget, &deferredTarget) << "the render graph reaches the targets";
    EXPECT_EQ(renderGraphHooks.deferredRenderInit, &deferredRenderInit);
    EXPECT_EQ(renderGraphHooks.resetMaterialTable, &resetMaterialTable);

    // A second call changes nothing.
    Framebuffer* deep = deferredRenderer.fbDeferredDeep;
    Texture* depth = deferredRenderer.txtDeferredDepth[0];
    ShaderProgram* lighting = deferredRenderer.lightingProgram;
    BufferObject* lightsBuffer = deferredRenderer.lightPropertiesBuffer;
    deferredCreateTargets();
    deferredRenderInit();
    EXPECT_EQ(deferredRenderer.fbDeferredDeep, deep);
    EXPECT_EQ(deferredRenderer.txtDeferredDepth[0], depth);
    EXPECT_EQ(deferredRenderer.lightingProgram, lighting);
    EXPECT_EQ(deferredRenderer.lightPropertiesBuffer, lightsBuffer);
}

TEST_F(DeferredTest, InitBuildsTheLightingProgramBuffersAndSamplers)
{
    ASSERT_NE(deferredRenderer.lightingProgram, nullptr);
    EXPECT_EQ(deferredRenderer.lightingProgram->errors, 0u) << events.text;
    EXPECT_EQ(deferredRenderer.lightPropertiesBuffer->size, 11776u);
    EXPECT_EQ(deferredRenderer.materialPropertiesBuffer->size, 40960u);
    GLint mode = 0, func = 0;
    glGetSamplerParameteriv(deferredRenderer.shadowCompareSampler, GL_TEXTURE_COMPARE_MODE, &mode);
    glGetSamplerParameteriv(deferredRenderer.shadowCompareSampler, GL_TEXTURE_COMPARE_FUNC, &func);
    EXPECT_EQ(GLenum(mode), GL_COMPARE_REF_TO_TEXTURE);
    EXPECT_EQ(GLenum(func), GL_GEQUAL);

    BufferBindings bindings;
    shaderBindingsCreate(bindings);
    EXPECT_EQ(bindings.at("LightPropertiesBuffer").data, deferredRenderer.lightPropertiesBuffer);
    EXPECT_EQ(bindings.at("MaterialPropertiesDataBuffer").data, deferredRenderer.materialPropertiesBuffer);
    deferredRenderRelease();
    shaderBindingsCreate(bindings);
    EXPECT_TRUE(bindings.empty()) << "released buffers are no longer handed out";
}

TEST_F(DeferredTest, RotationTextureComesFromTheReseededGeneratorAndRepeats)
{
    auto read = [] {
        std::array<float, 64> texels{};
        glGetTextureImage(deferredRenderer.hbaoRotationTexture->glId, 0, GL_RGBA, GL_FLOAT, sizeof texels,
                          texels.data());
        return texels;
    };
    Xorshift96 generator;
    generator.seed(0, 0, 0x159a55e5u);
    const uint32_t r1 = generator.next();
    const uint32_t r2 = generator.next();
    const float angle = float(double(float(r1 & 0x7fff) / 32767.0f) * 2.0 * M_PI * 0.125);
    const auto first = read();
    EXPECT_FLOAT_EQ(first[0], std::cos(angle));
    EXPECT_FLOAT_EQ(first[1], std::sin(angle));
    EXPECT_FLOAT_EQ(first[2], float(r2 & 0x7fff) / 32767.0f);
    EXPECT_EQ(first[3], 0.0f);

    rendererXorshift.seed(1, 2, 3); // whatever the shared generator holds, the texture is the same
    deferredRenderRelease();
    deferredRenderInit();
    EXPECT_EQ(read(), first);
}

TEST_F(DeferredTest, BasicParamsForACameraAndWithout)
{
    BasicDeferredParams p;
    std::memset(static_cast<void*>(&p), 0xff, sizeof p);
    deferredFillBasicParams(&p, nullptr);
    const auto* bytes = reinterpret_cast<const float*>(&p);
    const float fixedDepth[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, -1, 0, 0, 0, 1};
    const float fixedScreen[16] = {2, 0, 0, 0, 0, -2, 0, 0, 0, 0, -0.005f, 0.5f, 0, 0, 0, 1};
    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(bytes, fixedDepth, 64), 0);
    EXPECT_EQ(std::memcmp(bytes + 16, identity, 64), 0);
    EXPECT_EQ(std::memcmp(bytes + 32, fixedScreen, 64), 0);
    const float noCamera[8] = {0, 1, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes + 48, noCamera, 32), 0);

    placeCamera(camera, {1, 2, 3}, {0, 30, 0});
    camera.nearPlane = 0.5f;
    camera.farPlane = 50.0f;
    deferredFillBasicParams(&p, &camera);
    EXPECT_EQ(std::memcmp(bytes + 16, camera.world.m, 64), 0);
    const float withCamera[8] = {0.5f, 50.0f, 50.0f, 49.5f, 1, 2, 3, 1};
    EXPECT_EQ(std::memcmp(bytes + 48, withCamera, 32), 0);
    EXPECT_EQ(std::memcmp(bytes + 32, fixedScreen, 64), 0);
}

TEST_F(DeferredTest, AttributeDataIsFoundByItsExactName)
{
    EXPECT_NE(geomFindAttributeData(deferredRenderer.projectionPlaneQuad, "VTXDeferredProjectionPlane"), nullptr);
    EXPECT_EQ(geomFindAttributeData(deferredRenderer.projectionPlaneQuad, "VTXDeferredProjection"), nullptr);
    EXPECT_EQ(geomFindAttributeData(deferredRenderer.projectionPlaneQuad, "VTXDeferredProjectionPlaneX"), nullptr);
    EXPECT_EQ(geomFindAttributeData(nullptr, "VTXCoords"), nullptr);
}

// ---- Frame begin, end and clear ----

TEST_F(DeferredTest, BeginFlipsHistoryKeepsBothCamerasAndWritesTheCornerRays)
{
    Framebuffer* destination = fbCreate("hd");
    destination->width = 1920;
    destination->height = 1080;
    Camera first;
    placeCamera(first, {1, 0, 0}, {});
    first.fov = 90.0f;
    Camera second;
    placeCamera(second, {2, 0, 0}, {});
    second.fov = 90.0f;
    const int start = deferredRenderer.historyIndex;

    ASSERT_TRUE(deferredRenderBegin(&first, destination));
    deferredRenderEnd();
    ASSERT_TRUE(deferredRenderBegin(&second, destination));
    deferredRenderEnd();
    EXPECT_EQ(deferredRenderer.historyIndex, start);
    EXPECT_EQ(deferredRenderer.deferredPreviousCamera.position.x, 1.0f);
    EXPECT_EQ(deferredRenderer.deferredCamera.position.x, 2.0f);
    EXPECT_EQ(deferredRenderer.fbDeferredDeep->slots[FB_ATTACHMENT_COLOR0].texture,
              deferredRenderer.txtDeferredColor[deferredRenderer.historyIndex]);
    EXPECT_EQ(deferredRenderer.fbDeferredParticles->slots[FB_ATTACHMENT_DEPTH].texture,
              deferredRenderer.txtDeferredDepth[deferredRenderer.historyIndex]);
    EXPECT_EQ(deferredRenderer.fbDeferredDeepShadow->slots[FB_ATTACHMENT_COLOR0].texture,
              deferredRenderer.txtDeferredGlobalShadows);

    const auto* corners = reinterpret_cast<const float*>(geomFindAttributeData(deferredRenderer.projectionPlaneQuad,
                                                                               kProjectionPlaneAttribute));
    const float expected[12] = {-1.7777778f, -1, -1, 1.7777778f, -1, -1, 1.7777778f, 1, -1, -1.7777778f, 1, -1};
    for (int i = 0; i < 12; ++i)
        EXPECT_NEAR(corners[i], expected[i], 1e-5f) << i;
    fbDestroy(destination);
}

TEST_F(DeferredTest, FailedBeginRestoresTheStackAndTheEndPopsOnlyWhatTheBeginPushed)
{
    Framebuffer* outer = fbCreate("outer");
    outer->width = 16;
    outer->height = 16;
    Framebuffer* broken = fbCreate("broken"); // no attachments and no size: incomplete
    ASSERT_TRUE(fbBind(outer));
    fbPush();
    const int depth = fbStackTop;
    placeCamera(camera, {}, {});

    LogCapture log;
    EXPECT_FALSE(deferredRenderBegin(&camera, broken));
    EXPECT_TRUE(log.contains("Destination framebuffer broken not valid"));
    EXPECT_EQ(fbStackTop, depth);
    EXPECT_EQ(fbCurrent, outer);
    deferredRenderEnd();
    EXPECT_EQ(fbStackTop, depth) << "the frame end must not pop what the failed begin did not push";
    EXPECT_EQ(fbCurrent, outer);

    ASSERT_TRUE(deferredRenderBegin(&camera, deferredRenderer.fbDeferredDeepShadow));
    EXPECT_EQ(fbStackTop, depth + 1);
    EXPECT_EQ(fbCurrent, deferredRenderer.fbDeferredDeepShadow);
    deferredRenderEnd();
    EXPECT_EQ(fbStackTop, depth);
    EXPECT_EQ(fbCurrent, outer);
    deferredRenderEnd();
    EXPECT_EQ(fbStackTop, depth) << "a second end finds nothing of its frame";

    EXPECT_FALSE(deferredRenderBegin(nullptr, deferredRenderer.fbDeferredDeepShadow));
    EXPECT_FALSE(deferredRenderBegin(&camera, nullptr));
    EXPECT_EQ(fbStackTop, depth);
    fbPop();
    fbDestroy(broken);
    fbDestroy(outer);
}

TEST_F(DeferredTest, ClearLeavesNoSurfaceEverywhere)
{
    placeCamera(camera, {}, {});
    // Dirty the targets first, so the clear has something to undo.
    ASSERT_TRUE(deferredRenderBegin(&camera, deferredRenderer.fbDeferredDeepShadow));
    const GLuint junk[4] = {7, 7, 7, 7};
    glClearTexImage(deferredRenderer.txtDeferredNormalAttribute->glId, 0, GL_RED_INTEGER, GL_UNSIGNED_INT, junk);
    glClearTexImage(deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags->glId, 0, GL_RGBA_INTEGER,
                    GL_UNSIGNED_INT, junk);
    const float glow[4] = {5, 5, 5, 5};
    glClearTexImage(deferredRenderer.txtDeferredEmissive->glId, 0, GL_RGBA, GL_FLOAT, glow);
    deferredClearTargets();

    std::vector<uint32_t> normals(size_t(kWidth) * kHeight);
    glGetTextureImage(deferredRenderer.txtDeferredNormalAttribute->glId, 0, GL_RED_INTEGER, GL_UNSIGNED_INT,
                      GLsizei(normals.size() * 4), normals.data());
    EXPECT_EQ(std::count(normals.begin(), normals.end(), 0xC0000000u), long(normals.size()));
    std::vector<uint16_t> tags(size_t(kWidth) * kHeight * 4);
    glGetTextureImage(deferredRenderer.txtDeferredMetalnessRoughnessMaterialTags->glId, 0, GL_RGBA_INTEGER,
                      GL_UNSIGNED_SHORT, GLsizei(tags.size() * 2), tags.data());
    for (size_t i = 0; i < tags.size(); i += 4)
        ASSERT_TRUE(tags[i] == 0 && tags[i + 1] == 0 && tags[i + 2] == 0) << i;
    std::vector<float> depth(size_t(kWidth) * kHeight);
    glGetTextureImage(deferredRenderer.txtDeferredDepth[deferredRenderer.historyIndex]->glId, 0, GL_DEPTH_COMPONENT,
                      GL_FLOAT,
                      GLsizei(depth.size() * 4), depth.data());
    EXPECT_EQ(std::count(depth.begin(), depth.end(), 1.0f), long(depth.size()));
    EXPECT_EQ(texel(deferredRenderer.txtDeferredEmissive, 100, 100), (std::array<float, 4>{0, 0, 0, 0}));
    EXPECT_EQ(texel(deferredRenderer.txtDeferredGlobalShadows, 5, 5), (std::array<float, 4>{0, 0, 0, 1}));
    deferredRenderEnd();
}

// ---- Lighting ----

class DeferredSceneTest : public DeferredTest {
protected:
    int redRow = 0;
    int greyRow = 0;

    void SetUp() override
    {
        DeferredTest::SetUp();
        redRow = materialTableAppend(coloured(1, 0, 0));
        greyRow = materialTableAppend(coloured(0.8f, 0.8f, 0.8f));
    }

    // A unit box standing at the origin on a 20 x 20 floor, seen from above and in front.
    std::vector<Draw> boxOnFloor()
    {
        Mesh floor;
        floor.floor(0.0f, 10.0f);
        Mesh box;
        box.box({0, 0.5f, 0}, 0.5f);
        placeCamera(camera, {0, 6, -6}, {45, 0, 0});
        return {{keep(floor.build()), greyRow}, {keep(box.build()), greyRow}};
    }
};

TEST_F(DeferredSceneTest, RedWallFacingADirectionalLightIsLitRedAndBlackWithoutIntensity)
{
    Mesh wall;
    wall.wall(5.0f, 10.0f);
    const std::vector<Draw> draws = {{keep(wall.build()), redRow}};
    placeCamera(camera, {}, {});
    Light* sun = keep(entCreateLightDirectional(20, 20, false, 0, 0));
    placeLight(sun, {0, 0, -5}, {}); // shines along +z, onto the wall's face
    sun->intensity = 1.0f;

    struct Case {
        float intensity;
        float minRed, maxRed;
    };
    for (const Case c : {Case{1.0f, 0.9f, 1.4f}, Case{0.0f, 0.0f, 0.0f}}) {
        sun->intensity = c.intensity;
        frame({sun}, draws);
        for (const Vector3& p : {Vector3{0, 0, 5}, Vector3{1.5f, -1, 5}, Vector3{-2, 1, 5}}) {
            const auto rgba = lit(p);
            EXPECT_GE(rgba[0], c.minRed) << "intensity " << c.intensity;
            EXPECT_LE(rgba[0], c.maxRed) << "intensity " << c.intensity;
            EXPECT_LE(rgba[1], rgba[0] * 0.25f + 1e-6f) << "red, with at most a white specular sheen";
            EXPECT_EQ(rgba[1], rgba[2]);
            EXPECT_EQ(rgba[3], 1.0f) << "a surface was drawn";
        }
    }
    // Light from behind the wall does not reach its face.
    sun->intensity = 1.0f;
    placeLight(sun, {0, 0, 10}, {0, 180, 0});
    frame({sun}, draws);
    EXPECT_LT(lit({0, 0, 5})[0], 1e-4f);
}

TEST_F(DeferredSceneTest, BoxOnAFloorUnderASpotLightCastsItsShadowWhereTheGeometrySays)
{
    const std::vector<Draw> draws = boxOnFloor();
    Light* spot = keep(entCreateLightSpot(90.0f, true, kShadowSize, kShadowSize));
    spot->intensity = 3.0f;
    entSetLightRange(spot, 0.5f, 20.0f);
    placeLight(spot, {1.5f, 5, 0}, {90, 0, 0}); // straight down

    frame({spot}, draws);
    // The box's top edge at x = -0.5 throws its shadow on the floor out to x = 1.5 - 2 * 5 / 4 = -1.0.
    const auto shadowed = lit({-0.75f, 0, 0});
    const auto mirrored = lit({3.75f, 0, 0}); // as far from the light's axis, on the open side
    const auto beyond = lit({-1.6f, 0, 0});   // just past the shadow's far edge
    EXPECT_GT(mirrored[0], 0.2f);
    EXPECT_LT(shadowed[0], mirrored[0] * 0.3f) << "inside the shadow";
    EXPECT_GT(beyond[0], mirrored[0] * 0.75f) << "past the shadow the floor is lit again";
    EXPECT_GT(lit({0, 1, 0})[0], mirrored[0]) << "the box's top faces the light";

    // Without its shadow map the same light lights the shadow region.
    spot->castsShadows = false;
    frame({spot}, draws);
    EXPECT_GT(lit({-0.75f, 0, 0})[0], mirrored[0] * 0.75f);
}

// Points outside a spot light's cone get what they get without the light: the ambient light alone.
TEST_F(DeferredSceneTest, FloorOutsideASpotLightsConeStaysAtTheAmbientLight)
{
    Mesh floor;
    floor.floor(0.0f, 10.0f);
    const std::vector<Draw> draws = {{keep(floor.build()), greyRow}};
    placeCamera(camera, {0, 6, -6}, {45, 0, 0});
    const Vector3 below{0, 0, 0};
    const Vector3 aside{3, 0, 0}; // 31 degrees off the downward axis, within range, facing the light

    frame({}, draws);
    const std::array<float, 4> ambient[2] = {lit(below), lit(aside)};
    ASSERT_TRUE(finite4(ambient[0]) && finite4(ambient[1]));

    Light* spot = keep(entCreateLightSpot(30.0f, false, 1, 1));
    spot->intensity = 3.0f;
    entSetLightRange(spot, 0.5f, 20.0f);
    struct Case {
        const char* what;
        Vector3 rotation;
        bool belowLit;
    };
    for (const Case c : {Case{"narrow, straight down", {90, 0, 0}, true}, Case{"aimed up", {-90, 0, 0}, false}}) {
        SCOPED_TRACE(c.what);
        placeLight(spot, {0, 5, 0}, c.rotation);
        frame({spot}, draws);
        const auto underneath = lit(below);
        if (c.belowLit)
            EXPECT_GT(underneath[0], ambient[0][0] + 0.2f) << "inside the cone";
        else
            for (int channel = 0; channel < 3; ++channel)
                EXPECT_NEAR(underneath[channel], ambient[0][channel], 1e-3f) << "behind the light";
        const auto outside = lit(aside);
        for (int channel = 0; channel < 3; ++channel)
            EXPECT_NEAR(outside[channel], ambient[1][channel], 1e-3f) << "outside the cone";
    }
}

TEST_F(DeferredSceneTest, ShadowCastingPointLightLightsLikeAnyPointLightAndShadowsThroughItsFaces)
{
    const std::vector<Draw> draws = boxOnFloor();
    Light* plain = keep(entCreateLightPoint(20.0f, false, 1, 1));
    Light* casting = keep(entCreateLightPoint(20.0f, true, kShadowSize, kShadowSize));
    for (Light* light : {plain, casting}) {
        light->intensity = 3.0f;
        entSetLightRange(light, 0.1f, 20.0f);
        placeLight(light, {1.5f, 5, 0}, {});
    }
    ASSERT_FALSE(casting->enabled) << "the factory leaves a casting point light disabled";

    frame({plain}, draws);
    const auto open = lit({3.75f, 0, 0});
    const auto region = lit({-0.75f, 0, 0});
    EXPECT_GT(open[0], 0.1f);
    EXPECT_NEAR(region[0], open[0], open[0] * 0.25f) << "no shadow from a point light without one";

    frame({casting}, draws);
    ASSERT_EQ(frameLights.size(), 7u) << "the point light and its six shadow faces";
    EXPECT_EQ(deferredLightRecord(0)->flags, LIGHT_FLAG_POINT);
    EXPECT_EQ(deferredLightRecord(0)->firstFaceRecord, 1);
    EXPECT_EQ(deferredLightRecord(3)->flags, LIGHT_FLAG_SPOT | LIGHT_FLAG_CASTS_SHADOWS | LIGHT_FLAG_SHADOW_FACE);
    EXPECT_NEAR(lit({3.75f, 0, 0})[0], open[0], open[0] * 0.05f) << "lit like the plain point light";
    EXPECT_LT(lit({-0.75f, 0, 0})[0], open[0] * 0.3f) << "the box's shadow, cast through the faces";
}

TEST_F(DeferredSceneTest, AreaAndSpotLightsWithProjectorLightTheWall)
{
    Mesh wall;
    wall.wall(5.0f, 10.0f);
    const std::vector<Draw> draws = {{keep(wall.build()), greyRow}};
    placeCamera(camera, {}, {});
    Light* area = keep(entCreateLightSpot(170.0f, false, 1, 1));
    area->area = true;
    area->dimensions[0] = area->dimensions[1] = 2.0f;
    area->intensity = 2.0f;
    entSetLightRange(area, 0.1f, 30.0f);
    placeLight(area, {0, 0, 3}, {});
    frame({area}, draws);
    const auto centre = lit({0, 0, 5});
    const auto side = lit({3, 0, 5});
    EXPECT_GT(centre[0], 0.05f);
    EXPECT_GT(centre[0], side[0]) << "brightest in front of the rectangle";

    // A projector multiplies the light by its image: a black one puts the light out.
    Texture* black = txtCreateNamed("projector", TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_RGBA8);
    Light* spot = keep(entCreateLightSpot(60.0f, false, 1, 1));
    spot->intensity = 2.0f;
    entSetLightRange(spot, 0.1f, 30.0f);
    placeLight(spot, {0, 0, 0}, {});
    frame({spot}, draws);
    EXPECT_GT(lit({0, 0, 5})[0], 0.05f);
    spot->projector = black;
    frame({spot}, draws);
    EXPECT_LT(lit({0, 0, 5})[0], 1e-4f);
    txtDestroy(black);
}

TEST_F(DeferredSceneTest, EnvironmentMapLightsSurfacesAndFillsTheBackground)
{
    Mesh wall;
    wall.wall(5.0f, 1.0f); // leaves most of the view empty
    const std::vector<Draw> draws = {{keep(wall.build()), redRow}};
    placeCamera(camera, {}, {});

    projtest::ScopedProject project;
    Texture* sky = txtCreate(TEXTURE_TYPE_CUBE, 1, 1, IMAGE_TYPE_RGBA8);
    for (int face = 0; face < 6; ++face)
        std::memset(sky->images[face]->levels[0], 255, 4);
    txtSetupForGL(sky);
    project.store.add_envmap("sky", sky);

    frame({}, draws, "sky", 0.5f);
    const auto surface = lit({0, 0, 5});
    EXPECT_GT(surface[0], 0.3f) << "the white sky lights the red wall";
    EXPECT_LT(surface[1], surface[0] * 0.25f);
    const auto background = texel(deferredRenderer.txtDeferredGlobalShadows, 10, 10);
    EXPECT_NEAR(background[0], 0.5f, 0.01f) << "the sky at half intensity";
    EXPECT_EQ(background[3], 0.0f) << "no surface";

    // A name that matches no resource samples the black fallback cube.
    frame({}, draws, "no such sky", 1.0f);
    EXPECT_EQ(texel(deferredRenderer.txtDeferredGlobalShadows, 10, 10)[0], 0.0f);
    ASSERT_NE(deferredRenderer.envMapFallback, nullptr);
    EXPECT_EQ(deferredRenderer.envMapFallback->name, "EnvMapFallback");
    const GLint unit =
        static_cast<const int*>(deferredRenderer.lightingProgram->uniforms.at("sEnviromentMap")->value)[0];
    GLint bound = 0;
    glActiveTexture(GLenum(GLuint(GL_TEXTURE0) + GLuint(unit)));
    glGetIntegerv(GL_TEXTURE_BINDING_CUBE_MAP, &bound);
    glActiveTexture(GL_TEXTURE0);
    EXPECT_EQ(GLuint(bound), deferredRenderer.envMapFallback->glId);
    txtDestroy(sky);
}

TEST_F(DeferredSceneTest, EveryTargetIsFiniteAfterAFrameWithEveryKindOfLight)
{
    Mesh scene;
    scene.floor(0.0f, 10.0f);
    scene.box({0, 0.5f, 0}, 0.5f);
    scene.box({2, 0.01f, 1}, 0.01f); // tiny and grazing
    const std::vector<Draw> draws = {{keep(scene.build()), greyRow}};
    placeCamera(camera, {0, 6, -6}, {45, 0, 0});

    Light* sun = keep(entCreateLightDirectional(20, 20, true, kShadowSize, kShadowSize));
    entSetLightRange(sun, 0.1f, 50.0f);
    placeLight(sun, {0, 10, 0}, {90, 0, 0});
    Light* spot = keep(entCreateLightSpot(40.0f, true, kShadowSize, kShadowSize));
    entSetLightRange(spot, 0.1f, 30.0f);
    placeLight(spot, {-2, 4, -2}, {60, 30, 0});
    Light* point = keep(entCreateLightPoint(15.0f, true, kShadowSize, kShadowSize));
    placeLight(point, {0, 0.0f, 0}, {}); // inside the box, on the floor
    Light* area = keep(entCreateLightSpot(170.0f, false, 1, 1));
    area->area = true;
    area->dimensions[0] = 3.0f;
    area->dimensions[1] = 0.0f; // degenerate rectangle
    placeLight(area, {0, 0.001f, 0}, {90, 0, 0});
    for (Light* light : {sun, spot, point, area})
        light->intensity = 2.0f;

    frame({sun, spot, point, area}, draws);
    EXPECT_EQ(frameLights.size(), 10u);
    const Texture* targets[] = {deferredRenderer.txtDeferredGlobalShadows,
                                deferredRenderer.txtDeferredColor[deferredRenderer.historyIndex],
                                    deferredRenderer.txtDeferredEmissive};
    for (const Texture* t : targets) {
        std::vector<float> pixels(size_t(kWidth) * kHeight * 4);
        glGetTextureImage(t->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(pixels.size() * 4), pixels.data());
        size_t bad = 0;
        for (float v : pixels)
            bad += std::isfinite(v) ? 0 : 1;
        EXPECT_EQ(bad, 0u) << t->name;
    }
    std::vector<float> depth(size_t(kWidth) * kHeight);
    glGetTextureImage(deferredRenderer.txtDeferredDepth[deferredRenderer.historyIndex]->glId, 0, GL_DEPTH_COMPONENT,
                      GL_FLOAT,
                      GLsizei(depth.size() * 4), depth.data());
    EXPECT_TRUE(std::all_of(depth.begin(), depth.end(), [](float d) { return std::isfinite(d); }));
    EXPECT_TRUE(finite4(lit({0, 0, 0})));
}

TEST_F(DeferredSceneTest, LightCountUniformIsThePackedCount)
{
    Mesh wall;
    wall.wall(5.0f, 10.0f);
    const std::vector<Draw> draws = {{keep(wall.build()), greyRow}};
    placeCamera(camera, {}, {});
    Light* on = keep(entCreateLightSpot(60.0f, false, 1, 1));
    Light* off = keep(entCreateLightSpot(60.0f, false, 1, 1));
    off->enabled = false;
    frame({on, off, on}, draws);
    GLint count = -1;
    glGetUniformiv(deferredRenderer.lightingProgram->glProgramId,
                   deferredRenderer.lightingProgram->uniforms.at("g_lights_num")->location, &count);
    EXPECT_EQ(count, 2);
}

// ---- Light and material records ----

// The bytes a record must hold, written field by field at the layout's offsets.
struct RecordBytes {
    std::vector<uint8_t> bytes;
    explicit RecordBytes(size_t size) : bytes(size, 0) {}
    void f(size_t offset, float v) { std::memcpy(&bytes[offset], &v, 4); }
    void i(size_t offset, int32_t v) { std::memcpy(&bytes[offset], &v, 4); }
    void m(size_t offset, const Matrix& v) { std::memcpy(&bytes[offset], v.m, 64); }
};

std::vector<uint8_t> gpuBytes(const BufferObject* buffer, size_t offset, size_t size)
{
    std::vector<uint8_t> out(size);
    glGetNamedBufferSubData(buffer->glId, GLintptr(offset), GLsizeiptr(size), out.data());
    return out;
}

// What the layout says a light's record holds, from the light's own fields.
RecordBytes expectedLight(const Light* light, int32_t flags, std::vector<int32_t> shadowIndices, int32_t projector,
                          bool allCascades)
{
    RecordBytes r(736);
    const float* w = light->world.m;
    for (int k = 0; k < 4; ++k)
        r.f(k * 4, light->color[k]);
    const Vector3 d = Vector3{w[2], w[6], w[10]}.Normalized();
    r.f(16, d.x), r.f(20, d.y), r.f(24, d.z);
    r.f(32, w[3]), r.f(36, w[7]), r.f(40, w[11]);
    r.f(48, w[1]), r.f(52, w[5]), r.f(56, w[9]);
    r.f(64, w[0]), r.f(68, w[4]), r.f(72, w[8]);
    r.f(80, light->dimensions[0]), r.f(84, light->dimensions[1]);
    r.f(96, light->intensity);
    r.f(100, light->farPlane);
    const float fov = light->lightType == LIGHT_TYPE_POINT ? 90.0f : light->fov;
    r.f(104, std::cos(fov / 180.0f * float(M_PI) * 0.5f));
    r.f(108, light->roughnessModifier);
    r.i(112, light->area ? 1 : 0);
    r.i(116, flags);
    r.i(120, projector);
    for (size_t c = 0; c < shadowIndices.size(); ++c)
        r.i(128 + c * 4, shadowIndices[c]);
    if (light->castsShadows && light->lightType == LIGHT_TYPE_DIRECTIONAL)
        for (int c = 0; c < 4; ++c)
            r.f(144 + c * 4, light->splitDistances[c]);
    r.m(160, light->view);
    for (int c = 0; c < (allCascades ? 4 : 1); ++c) {
        r.m(224 + c * 64, light->shadowMatrices[c]);
        Matrix mv;
        light->view.MultiplyTo(light->shadowMatrices[c], mv);
        r.m(480 + c * 64, mv);
    }
    return r;
}

class DeferredRecordsTest : public DeferredTest {
protected:
    Light* make(Light* light, float seed)
    {
        keep(light);
        light->color[0] = 0.5f + seed;
        light->color[1] = 0.25f;
        light->color[2] = seed;
        light->color[3] = 1.0f;
        light->intensity = 2.0f + seed;
        light->roughnessModifier = 0.75f;
        light->dimensions[0] = 1.5f;
        light->dimensions[1] = 0.5f + seed;
        light->farPlane = 40.0f + seed;
        placeLight(light, {seed, 2.0f, -seed}, {10.0f * seed, 30.0f, 5.0f});
        for (int c = 0; c < LIGHT_MAX_CASCADES; ++c)
            light->shadowMatrices[c] = Matrix::Scale(1.0f + float(c) + seed, 2.0f, 0.5f);
        return light;
    }
};

TEST_F(DeferredRecordsTest, LightRecordsAreByteExactForATableOfLights)
{
    Light* sun4 = make(entCreateLightDirectional(10, 10, true, 64, 64), 1.0f);
    sun4->cascadeCount = 4;
    const float splits4[4] = {5, 10, 20, 40};
    std::memcpy(sun4->splitDistances, splits4, sizeof splits4);
    Light* sun2 = make(entCreateLightDirectional(10, 10, true, 64, 64), 2.0f);
    sun2->cascadeCount = 2;
    sun2->splitDistances[0] = 7.0f;
    sun2->splitDistances[1] = 9.0f;
    Light* volumetric = make(entCreateLightSpot(60.0f, false, 1, 1), 3.0f);
    volumetric->volumetric = true;
    Light* point = make(entCreateLightPoint(30.0f, false, 1, 1), 4.0f);
    Light* face = make(entCreateLightSpot(90.0f, true, 64, 64), 5.0f);
    face->enabled = false;
    Light* dark = make(entCreateLightSpot(45.0f, false, 1, 1), 6.0f);
    dark->enabled = false;
    Texture* slide = txtCreateNamed("slide", TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_RGBA8);
    Light* projecting = make(entCreateLightSpot(50.0f, false, 1, 1), 7.0f);
    projecting->projector = slide;
    projecting->area = true;

    deferredUpdateLights({sun4, sun2, volumetric, point, face, dark, projecting});

    struct Case {
        const char* name;
        Light* light;
        RecordBytes expected;
    };
    const Case cases[] = {
        {"directional, 4 cascades", sun4, expectedLight(sun4, 0x01 | 0x08, {0, 1, 2, 3}, 0, true)},
        {"directional, 2 cascades", sun2, expectedLight(sun2, 0x01 | 0x08, {4, 5}, 0, true)},
        {"volumetric spot", volumetric, expectedLight(volumetric, 0x82 | 0x40, {}, 0, false)},
        {"point without shadows", point, expectedLight(point, 0x88, {}, 0, false)},
        {"disabled casting spot", face, expectedLight(face, 0x82 | 0x08, {6}, 0, false)},
        {"area spot with projector", projecting, expectedLight(projecting, 0x82 | 0x10 | 0x20, {}, 7, false)},
    };
    ASSERT_EQ(frameLights.size(), std::size(cases)) << "the disabled, non-casting light takes no record";
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(frameLights[i], c.light) << c.name;
        const auto* host = reinterpret_cast<const uint8_t*>(deferredLightRecord(int(i)));
        EXPECT_EQ(std::vector<uint8_t>(host, host + 736), c.expected.bytes) << c.name;
        EXPECT_EQ(gpuBytes(deferredRenderer.lightPropertiesBuffer, i * 736, 736), c.expected.bytes) << c.name
            << " (GPU)";
    }
    EXPECT_NEAR(deferredLightRecord(3)->cosHalfFov, std::sqrt(0.5f), 1e-6f);
    txtDestroy(slide);
}

TEST_F(DeferredRecordsTest, MoreThanSixteenLightsAreCutWithAWarning)
{
    std::vector<Light*> many;
    for (int i = 0; i < 20; ++i)
        many.push_back(make(entCreateLightSpot(60.0f, false, 1, 1), float(i)));
    LogCapture log;
    deferredUpdateLights(many);
    ASSERT_EQ(frameLights.size(), 16u);
    EXPECT_EQ(frameLights[15], many[15]);
    EXPECT_TRUE(log.contains("4 more lights are left out"));
    EXPECT_EQ(deferredLightRecord(16), nullptr);

    // A shadow-casting point light needs seven records; without room it still lights, without shadow.
    Light* point = make(entCreateLightPoint(30.0f, true, 64, 64), 1.0f);
    std::vector<Light*> crowded(many.begin(), many.begin() + 12);
    crowded.push_back(point);
    LogCapture pointLog;
    deferredUpdateLights(crowded);
    ASSERT_EQ(frameLights.size(), 13u);
    EXPECT_EQ(frameLights[12], point);
    EXPECT_EQ(deferredLightRecord(12)->flags, LIGHT_FLAG_POINT);
    EXPECT_EQ(deferredLightRecord(12)->firstFaceRecord, 0);
    EXPECT_TRUE(pointLog.contains("lights without shadow"));
}

TEST_F(DeferredRecordsTest, ShadowMapsPastTheSamplerArrayAreNotBoundOntoOtherUnits)
{
    // Three four-cascade suns need twelve maps; the array has eight.
    std::vector<Light*> suns;
    for (int i = 0; i < 3; ++i) {
        Light* sun = make(entCreateLightDirectional(10, 10, true, 64, 64), float(i));
        sun->cascadeCount = 4;
        suns.push_back(sun);
    }
    deferredUpdateLights(suns);
    EXPECT_EQ(deferredLightRecord(2)->shadowmapIndex[3], 11);

    // A program that reads every element of the compare array (the lighting pass samples its own array texture).
    std::string fragment = "#version 430\nuniform sampler2DShadow LightShadowmapCmpSamplers[8];\nout vec4 o;\n"
                           "void main() {\n    float s = 0.0;\n";
    for (int k = 0; k < kLightShadowmapSlots; ++k)
        fragment += "    s += texture(LightShadowmapCmpSamplers[" + std::to_string(k) + "], vec3(0.5));\n";
    fragment += "    o = vec4(s);\n}\n";
    ShaderProgram* program = shaderBuildProgramFromStrings(
        "shadow slots", "#version 430\nvoid main() { gl_Position = vec4(0.0); }\n", fragment, {});
    ASSERT_TRUE(shaderUseProgram(program));
    const ShaderUniform* array = program->uniforms.at("LightShadowmapCmpSamplers");
    const int first = static_cast<const int*>(array->value)[0];
    ASSERT_EQ(array->arraySize, kLightShadowmapSlots);
    // Mark the units right after the array, where index 8 and on would land.
    GLuint marker = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &marker);
    glTextureStorage2D(marker, 1, GL_RGBA8, 1, 1);
    for (int k = 0; k < 4; ++k)
        glBindTextureUnit(GLuint(first + kLightShadowmapSlots + k), marker);

    LogCapture log;
    deferredBindLightSamplers(program);
    EXPECT_EQ(log.count("past the 8 of LightShadowmapCmpSamplers"), 4);
    for (int k = 0; k < 4; ++k) {
        GLint bound = 0;
        glGetIntegeri_v(GL_TEXTURE_BINDING_2D, GLuint(first + kLightShadowmapSlots + k), &bound);
        EXPECT_EQ(GLuint(bound), marker) << "unit " << first + kLightShadowmapSlots + k << " keeps its texture";
    }
    GLint sampler = 0;
    glGetIntegeri_v(GL_SAMPLER_BINDING, GLuint(first), &sampler);
    EXPECT_EQ(GLuint(sampler), deferredRenderer.shadowCompareSampler);
    for (int k = 0; k < 12; ++k)
        glBindTextureUnit(GLuint(first + k), 0);
    glDeleteTextures(1, &marker);
    shaderUseProgram(nullptr);
    shaderDeleteProgram(program);
}

MaterialPropertiesGPU readMaterial(int row)
{
    MaterialPropertiesGPU g{};
    glGetNamedBufferSubData(deferredRenderer.materialPropertiesBuffer->glId, GLintptr(row) * 80, 80, &g);
    return g;
}

TEST_F(DeferredRecordsTest, MaterialRecordsAreByteExact)
{
    const GLubyte fill = 0xAB;
    glClearNamedBufferData(deferredRenderer.materialPropertiesBuffer->glId, GL_R8UI, GL_RED_INTEGER, GL_UNSIGNED_BYTE,
                           &fill);
    resetMaterialTable();
    deferredUpdateMaterials();
    RecordBytes defaults(80);
    for (size_t offset : {0u, 4u, 8u})
        defaults.f(offset, 1.0f);
    defaults.f(28, 0.5f);  // roughness
    defaults.f(36, 1.0f);  // normal factor
    defaults.f(40, 1.0f);  // emissive factor
    defaults.f(44, 1.0f);  // temporal accumulation factor
    defaults.f(48, 1.0f);  // triplanar mapping scale
    for (size_t offset : {60u, 64u, 68u, 72u})
        defaults.i(offset, -1);
    defaults.i(76, 256 | 512);
    EXPECT_EQ(gpuBytes(deferredRenderer.materialPropertiesBuffer, 0, 80), defaults.bytes);
    EXPECT_EQ(gpuBytes(deferredRenderer.materialPropertiesBuffer, 80, 4), std::vector<uint8_t>(4, 0xAB))
        << "only used rows upload";

    struct Case {
        const char* name;
        void (*set)(MaterialProperties&);
        uint32_t flags;
    };
    const Case cases[] = {
        {"reflective", [](MaterialProperties& m) { m.reflective = true; }, 1},
        {"raytrace", [](MaterialProperties& m) { m.flagBit2 = true; }, 2},
        {"reflect", [](MaterialProperties& m) { m.flagBit4 = true; }, 4},
        {"ssr", [](MaterialProperties& m) { m.ssr = true; }, 8},
        {"voxelize", [](MaterialProperties& m) { m.flagBit16 = true; }, 16},
        {"transparency", [](MaterialProperties& m) { m.transparency = 0.001f; }, 32},
        {"doublesided", [](MaterialProperties& m) { m.doublesided = true; }, 64},
        {"flat", [](MaterialProperties& m) { m.flat = true; }, 128},
        {"shadow cast", [](MaterialProperties& m) { m.flagBit256 = true; }, 256},
        {"shadow receive", [](MaterialProperties& m) { m.flagBit512 = true; }, 512},
        {"triplanar", [](MaterialProperties& m) { m.textureMappingMode = 1; }, 1024},
        {"invisible", [](MaterialProperties& m) { m.visible = false; }, 0},
    };
    resetMaterialTable();
    for (const Case& c : cases) {
        MaterialProperties m;
        m.flagBit256 = m.flagBit512 = false;
        c.set(m);
        ASSERT_GT(materialTableAppend(m), 0);
    }
    MaterialProperties values;
    const float diffuse[3] = {0.1f, 0.2f, 0.3f}, emissive[3] = {0.4f, 0.5f, 0.6f};
    std::memcpy(values.diffuse, diffuse, 12);
    std::memcpy(values.emissive, emissive, 12);
    values.transparency = 0.7f;
    values.roughness = 0.8f;
    values.reserved = 0.9f;
    values.metalness = 1.1f;
    values.normalFactor = 1.2f;
    values.shadowmapBias = 1.3f;
    values.emissiveFactor = 1.4f;
    values.temporalAccumulationFactor = 1.5f;
    values.triplanarMappingScale = 1.6f;
    const int valuesRow = materialTableAppend(values);
    deferredUpdateMaterials();
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(readMaterial(int(i) + 1).flags, cases[i].flags) << cases[i].name;

    RecordBytes expected(80);
    const float floats[15] = {0.1f, 0.2f, 0.3f, 0.7f, 0.4f, 0.5f, 0.6f, 0.8f, 0.9f, 1.2f, 1.4f, 1.5f, 1.6f, 1.3f, 1.1f};
    for (size_t k = 0; k < 15; ++k)
        expected.f(k * 4, floats[k]);
    for (size_t offset : {60u, 64u, 68u, 72u})
        expected.i(offset, -1);
    expected.i(76, 32 | 256 | 512);
    EXPECT_EQ(gpuBytes(deferredRenderer.materialPropertiesBuffer, size_t(valuesRow) * 80, 80), expected.bytes);
}

TEST_F(DeferredRecordsTest, MaterialTexturesAreNumberedOncePerTextureAndView)
{
    Texture* withView = txtCreateNamed("with view", TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_RGBA8);
    txtCreateSRGBView(withView);
    ASSERT_NE(withView->srgbViewId, 0u);
    Texture* plain = txtCreateNamed("plain", TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_RGBA8);

    resetMaterialTable();
    MaterialProperties a;
    a.albedoTexture = withView;
    a.emissiveTexture = plain;
    MaterialProperties b;
    b.normalTexture = withView;
    b.albedoTexture = plain;
    b.metallicRoughnessTexture = plain;
    const int rowA = materialTableAppend(a);
    const int rowB = materialTableAppend(b);
    deferredUpdateMaterials();

    EXPECT_EQ(materialTextureKeys.size(), 3u) << "the view-bearing texture twice (with and without view), plain once";
    const int albedoA = materialTextureIndex.at({withView, true});
    const int normalB = materialTextureIndex.at({withView, false});
    const int plainIndex = materialTextureIndex.at({plain, false});
    EXPECT_NE(albedoA, normalB);
    EXPECT_EQ(materialTextureIndex.at({nullptr, false}), -1);
    EXPECT_EQ(materialTextureIndex.at({nullptr, true}), -1);

    const MaterialPropertiesGPU ga = readMaterial(rowA);
    const MaterialPropertiesGPU gb = readMaterial(rowB);
    EXPECT_EQ(ga.albedoSampler, albedoA);
    EXPECT_EQ(ga.emissiveSampler, plainIndex);
    EXPECT_EQ(ga.normalSampler, -1);
    EXPECT_EQ(gb.albedoSampler, plainIndex);
    EXPECT_EQ(gb.normalSampler, normalB);
    EXPECT_EQ(gb.metallicRoughnessSampler, plainIndex);

    ShaderProgram* program = flat->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_TRUE(shaderUseProgram(program));
    deferredBindMaterialTextures(program);
    const int first = static_cast<const int*>(program->uniforms.at("material_textures")->value)[0];
    GLint bound = 0;
    glGetIntegeri_v(GL_TEXTURE_BINDING_2D, GLuint(first + albedoA), &bound);
    EXPECT_EQ(GLuint(bound), withView->srgbViewId) << "the albedo is read through its sRGB view";
    glGetIntegeri_v(GL_TEXTURE_BINDING_2D, GLuint(first + normalB), &bound);
    EXPECT_EQ(GLuint(bound), withView->glId);
    for (int k = 0; k < 3; ++k)
        glBindTextureUnit(GLuint(first + k), 0);
    txtDestroy(withView);
    txtDestroy(plain);
}

// A texture of one level (what the texture generators make) is sampled plainly; a texture with a mip chain gets
// trilinear and anisotropic filtering.
TEST_F(DeferredRecordsTest, MaterialTextureSamplerFollowsTheMipChain)
{
    Texture* single = txtCreateNamed("single level", TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_RGBA8);
    Texture* chain = txtCreate(TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_RGBA8);
    ASSERT_TRUE(txtGenerateMipMaps(chain));
    resetMaterialTable();
    MaterialProperties m;
    m.albedoTexture = single;
    m.emissiveTexture = chain;
    materialTableAppend(m);
    deferredUpdateMaterials();
    ShaderProgram* program = flat->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_TRUE(shaderUseProgram(program));
    deferredBindMaterialTextures(program);
    const int first = static_cast<const int*>(program->uniforms.at("material_textures")->value)[0];

    const struct {
        Texture* texture;
        GLenum minFilter;
        float anisotropy;
    } cases[] = {{single, GL_LINEAR, 1.0f}, {chain, GL_LINEAR_MIPMAP_LINEAR, 4.0f}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.texture == single ? "single level" : "mip chain");
        const GLuint unit = GLuint(first + materialTextureIndex.at({c.texture, false}));
        GLint sampler = 0;
        glGetIntegeri_v(GL_SAMPLER_BINDING, unit, &sampler);
        ASSERT_NE(sampler, 0);
        GLint minFilter = 0;
        glGetSamplerParameteriv(GLuint(sampler), GL_TEXTURE_MIN_FILTER, &minFilter);
        GLfloat anisotropy = 0.0f;
        glGetSamplerParameterfv(GLuint(sampler), GL_TEXTURE_MAX_ANISOTROPY_EXT, &anisotropy);
        EXPECT_EQ(GLenum(minFilter), c.minFilter);
        EXPECT_FLOAT_EQ(anisotropy, c.anisotropy);
        glBindSampler(unit, 0);
        glBindTextureUnit(unit, 0);
    }
    txtDestroy(single);
    txtDestroy(chain);
}

TEST_F(DeferredRecordsTest, FullMaterialTableRefusesRowsAndExtraTexturesAreNotBound)
{
    resetMaterialTable();
    LogCapture log;
    int last = 0;
    for (int i = 1; i < kMaterialTableSize; ++i)
        last = materialTableAppend(MaterialProperties{});
    EXPECT_EQ(last, kMaterialTableSize - 1);
    EXPECT_EQ(materialTableAppend(MaterialProperties{}), -1);
    EXPECT_EQ(materialTableAppend(MaterialProperties{}), -1);
    EXPECT_EQ(materialCount, kMaterialTableSize);
    EXPECT_EQ(log.count("Material table full"), 1);
    materialCount = kMaterialTableSize + 40; // a renderer that wrote past the table by hand
    deferredUpdateMaterials();
    EXPECT_EQ(materialCount, kMaterialTableSize);
    EXPECT_TRUE(log.contains("exceeds the 512-row table"));

    // Twenty textures for a sixteen-slot array: the last four are skipped, not bound onto the next uniform's units.
    resetMaterialTable();
    std::vector<Texture*> textures;
    for (int i = 0; i < 20; ++i) {
        textures.push_back(txtCreateNamed("t", TEXTURE_TYPE_2D, 1, 1, IMAGE_TYPE_RGBA8));
        MaterialProperties m;
        m.emissiveTexture = textures.back();
        materialTableAppend(m);
    }
    deferredUpdateMaterials();
    ShaderProgram* program = flat->getProgram(Renderer::PASS_DEFERRED);
    ASSERT_TRUE(shaderUseProgram(program));
    const int first = static_cast<const int*>(program->uniforms.at("material_textures")->value)[0];
    GLuint marker = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &marker);
    glTextureStorage2D(marker, 1, GL_RGBA8, 1, 1);
    for (int k = kMaterialTextureSlots; k < 20; ++k)
        glBindTextureUnit(GLuint(first + k), marker);
    LogCapture bindLog;
    deferredBindMaterialTextures(program);
    EXPECT_TRUE(bindLog.contains("past the 16 slots of material_textures"));
    for (int k = 0; k < 20; ++k) {
        GLint bound = 0;
        glGetIntegeri_v(GL_TEXTURE_BINDING_2D, GLuint(first + k), &bound);
        if (k < kMaterialTextureSlots)
            EXPECT_NE(GLuint(bound), marker) << k;
        else
            EXPECT_EQ(GLuint(bound), marker) << "unit " << first + k << " keeps its texture";
    }
    for (int k = 0; k < 20; ++k)
        glBindTextureUnit(GLuint(first + k), 0);
    glDeleteTextures(1, &marker);
    for (Texture* t : textures)
        txtDestroy(t);
}

} // namespace
