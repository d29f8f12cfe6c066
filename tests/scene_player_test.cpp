#include "components/scene_player.h"

#include "components/camera_component.h"
#include "components/light_component.h"
#include "deferred_scene_util.h"
#include "deferred_test_scene.h"
#include "jni/engine/grd_buffer.h"
#include "project/component_table.h"
#include "project_test_util.h"
#include "render/builtin_shapes.h"
#include "render/camera_controller.h"
#include "render/deferred_postprocess.h"
#include "render/render_graph.h"
#include "render/scene.h"
#include "render/selection_bounds.h"
#include "render/shader_inputs.h"
#include "renderer_fixture.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using projtest::addComponent;
using projtest::ScopedProject;

namespace {

// Draws a large floor with the "flat" material in the Deferred pass.
class FloorComponent : public EngineComponent {
public:
    explicit FloorComponent(const std::string& name) : EngineComponent(52, name), branch(name, nullptr)
    {
        material.reset(materialCreateFromRoot("flat"));
        deferredscene::Mesh mesh;
        mesh.floor(0.0f, 50.0f);
        geometry = mesh.build();
    }
    ~FloorComponent() override { geomDelete(geometry); }
    CvarTreeNode* GetCvarTree() override { return &branch; }
    bool IsDependencyOnly() override { return false; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
    void Execute(RenderItemBuilder& builder, Timestep) override
    {
        builder.AddItem(RenderItem(
            [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep) {
                if (pass != Renderer::PASS_DEFERRED || !camera || !material)
                    return;
                ++drawn;
                // Either winding: the floor is seen from above whatever the pass's cull mode.
                glDisable(GL_CULL_FACE);
                deferredscene::drawWith(material->getProgram(Renderer::PASS_DEFERRED), {geometry, 0},
                                        deferredscene::transformFor(*model, camera->view, camera->projection));
            },
            this, Matrix()));
    }

    CvarTreeNode branch;
    std::unique_ptr<Material> material;
    Geometry* geometry = nullptr;
    int drawn = 0;
};

OutputPin* outputOfType(EngineComponent* component, int32_t type)
{
    for (OutputPin* pin : component->outputs)
        if (pin->resourceType == type)
            return pin;
    return nullptr;
}

class ScenePlayerGL : public RendererGLTest {
protected:
    std::unique_ptr<ScopedProject> project;

    void SetUp() override
    {
        RendererGLTest::SetUp();
        project = std::make_unique<ScopedProject>();
    }
    void TearDown() override
    {
        project.reset();
        RendererGLTest::TearDown();
    }

    sceneplayerfx* addPlayer(const std::string& name)
    {
        auto* player = static_cast<sceneplayerfx*>(componentTypeTable[0].factory(name));
        player->CreateChildPin();
        player->CreateEntityPin();
        currentComponents->push_back(player);
        return player;
    }
};

// Mean of r + g + b over the image.
float meanBrightness(Texture* image)
{
    std::vector<float> pixels(size_t(deferredtest::kWidth) * deferredtest::kHeight * 4);
    glGetTextureImage(image->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(pixels.size() * 4), pixels.data());
    double sum = 0.0;
    for (size_t i = 0; i < pixels.size(); i += 4)
        sum += pixels[i] + pixels[i + 1] + pixels[i + 2];
    return float(sum / double(pixels.size() / 4));
}

std::vector<std::string> entryNames(const std::vector<RenderPassItem>& passes)
{
    std::vector<std::string> names;
    for (const RenderPassItem& e : passes) {
        std::string n = Renderer::GetPassName(e.pass);
        if (e.item)
            n += "(" + (e.item->owner ? e.item->owner->name : std::string("-")) + "," +
                 (e.camera ? e.camera->name : std::string("-")) + ")";
        names.push_back(n);
    }
    return names;
}

} // namespace

TEST_F(ScenePlayerGL, ParametersPinsAndTableRow)
{
    sceneplayerfx* player = addPlayer("player");
    ASSERT_NE(player, nullptr);
    EXPECT_EQ(player->typeIndex, 0);
    EXPECT_EQ(player->branch->owner, player);
    EXPECT_EQ(cvarTreeCurrentBranch, &cvarTreeRoot);
    // 23 own parameters, the controller branch, then the fog and TAA branches.
    size_t total = player->branch->cvars.size();
    std::vector<std::string> children;
    for (CvarTreeNode* child : player->branch->children) {
        children.push_back(child->name);
        if (child->name != "controller")
            total += child->cvars.size();
    }
    EXPECT_EQ(player->branch->cvars.size(), 23u);
    EXPECT_EQ(total, 30u);
    EXPECT_EQ(children, (std::vector<std::string>{"controller", "Volumetric Fog", "TAA"}));
    EXPECT_EQ(player->envmap.text, "env_texture::default");
    EXPECT_EQ(player->envmap.resourceType, ResourceType::Envmap);
    EXPECT_FALSE(player->ambient.alphaEditable);
    EXPECT_TRUE(player->cameraIdx.animatable && player->fov.animatable && player->vxOcclusionStrength.animatable);
    EXPECT_FALSE(player->nearPlane.animatable);
    ASSERT_NE(player->FindInput("fx"), nullptr);
    ASSERT_NE(player->FindInput("cmr"), nullptr);
    EXPECT_TRUE(player->FindInput("fx")->Accepts(ResourceType::Light));
    EXPECT_FALSE(player->FindInput("cmr")->Accepts(ResourceType::Light));
    EXPECT_EQ(outputOfType(player, ResourceType::Image)->payload, player->imageOutput);
    EXPECT_EQ(currentCameraController, player->controller);
    EXPECT_FALSE(player->IsDependencyOnly());
}

TEST_F(ScenePlayerGL, CameraIndexChoosesTheActiveCamera)
{
    sceneplayerfx* player = addPlayer("player");
    auto* a = addComponent<camerafx>("a");
    auto* b = addComponent<camerafx>("b");
    player->ConnectInput("cmr", outputOfType(a, ResourceType::Camera)->id);
    player->ConnectInput("cmr", outputOfType(b, ResourceType::Camera)->id);
    player->Init();
    EXPECT_EQ(currentScenePlayer, player);
    ASSERT_EQ(player->scene->cameras.size(), 3u);
    EXPECT_EQ(player->scene->activeCamera, b->camera) << "the last linked camera is active after Init";
    EXPECT_EQ(player->cameraIdx.max, 2.0f);
    const struct {
        float index;
        Camera* expected;
    } cases[] = {{0.0f, player->ownCamera}, {1.7f, a->camera}, {2.0f, b->camera}, {-3.0f, player->ownCamera},
                 {9.0f, b->camera}};
    RenderItemBuilder builder;
    a->Execute(builder, Timestep{});
    b->Execute(builder, Timestep{});
    // A new controller flies freely; once attached it follows the chosen camera.
    player->controller->detached.value[0] = 0.0f;
    for (const auto& c : cases) {
        player->cameraIdx.value[0] = c.index;
        player->Execute(builder, Timestep{});
        // The chosen camera reaches the image through the controller, whose camera the frame renders with.
        EXPECT_EQ(player->controller->attached, c.expected) << c.index;
        EXPECT_EQ(player->scene->activeCamera, player->controller->camera) << c.index;
        EXPECT_EQ(viewportCamera, player->controller->camera);
    }
    // The composite target alternates and "img" shows the one written this frame.
    EXPECT_EQ(player->imageOutput->texture, player->compositeTextures[player->frameCounter % 2]);
    Texture* before = player->imageOutput->texture;
    player->Execute(builder, Timestep{});
    EXPECT_NE(player->imageOutput->texture, before);
}

TEST_F(ScenePlayerGL, PassListOrdersEntriesAndHonoursLightTags)
{
    sceneplayerfx* player = addPlayer("player");
    auto* l0 = addComponent<lightcomponent>("l0");
    auto* l1 = addComponent<lightcomponent>("l1");
    auto* tagged = addComponent<camerafx>("tagged");
    tagged->tags.push_back("hero");
    player->ConnectInput("fx", outputOfType(l0, ResourceType::Light)->id);
    player->ConnectInput("fx", outputOfType(l1, ResourceType::Light)->id);
    player->Init();
    ASSERT_EQ(player->scene->lights.count, 2);
    l0->light->name = "L0";
    l1->light->name = "L1";
    player->scene->activeCamera->name = "C";

    RenderItemBuilder builder;
    builder.AddItem(RenderItem(nullptr, l0, Matrix()));
    builder.AddItem(RenderItem(nullptr, l1, Matrix()));
    builder.AddItem(RenderItem(nullptr, player, Matrix()));
    std::vector<RenderPassItem> passes;
    player->AddRenderPasses(builder, passes);
    const std::vector<std::string> expected = {
        "RenderBegin",
        "Geometry(l0,C)", "Shadowmap(l0,L0)", "Shadowmap(l0,L1)",
        "Geometry(l1,C)", "Shadowmap(l1,L0)", "Shadowmap(l1,L1)",
        "Geometry(player,C)", "Shadowmap(player,L0)", "Shadowmap(player,L1)",
        "GeometryPartition", "Voxelization",
        "Deferred(l0,C)", "Deferred(l1,C)", "Deferred(player,C)",
        "VoxelLighting", "VolumetricFog", "VoxelizationDebug", "Lighting", "RenderEnd", "RenderWireframe",
        "Composite"};
    EXPECT_EQ(entryNames(passes), expected);
    for (const RenderPassItem& e : passes)
        if (e.function) {
            EXPECT_EQ(e.function->owner, player);
        }

    // A tagged light leaves out the items of components that carry its tag.
    l1->light->excludedTags = "hero";
    builder.AddItem(RenderItem(nullptr, tagged, Matrix()));
    passes.clear();
    player->AddRenderPasses(builder, passes);
    int l1Shadows = 0, heroShadows = 0;
    for (const RenderPassItem& e : passes)
        if (e.pass == Renderer::PASS_SHADOWMAP) {
            l1Shadows += e.camera == l1->light;
            heroShadows += e.item->owner == tagged;
        }
    EXPECT_EQ(l1Shadows, 3);
    EXPECT_EQ(heroShadows, 1) << "only the untagged light shadows the tagged item";
}

TEST_F(ScenePlayerGL, EachPlayerRunsItsOwnCallbacks)
{
    sceneplayerfx* first = addPlayer("first");
    sceneplayerfx* second = addPlayer("second");
    RenderItemBuilder builder;
    std::vector<RenderPassItem> a, b;
    first->AddRenderPasses(builder, a);
    second->AddRenderPasses(builder, b);
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.front().function->owner, first);
    EXPECT_EQ(b.front().function->owner, second);
    EXPECT_NE(a.front().function, b.front().function);
}

TEST_F(ScenePlayerGL, GraphRendersALitImage)
{
    sceneplayerfx* player = addPlayer("player");
    auto* light = addComponent<lightcomponent>("light");
    auto* camera = addComponent<camerafx>("camera");
    auto* floor = addComponent<FloorComponent>("floor");
    light->position.value[1] = 4.0f;
    light->position.value[2] = 6.0f;
    for (int i = 0; i < 4; ++i)
        light->color.value[i] = 1.0f;
    light->intensity.value[0] = 5.0f;
    light->OnCvarChanged(&light->position);
    light->OnCvarChanged(&light->color);
    light->Init();
    camera->position.value[1] = 1.5f;
    camera->rotation.value[0] = 20.0f;
    camera->OnCvarChanged(&camera->position);
    camera->OnCvarChanged(&camera->rotation);
    player->ConnectInput("fx", outputOfType(light, ResourceType::Light)->id);
    player->ConnectInput("cmr", outputOfType(camera, ResourceType::Camera)->id);
    player->Init();
    player->cameraIdx.value[0] = 1.0f;
    player->controller->detached.value[0] = 0.0f;
    player->taaBlendFactor.value[0] = 1.0f;
    while (glGetError() != GL_NO_ERROR) {
    }

    bool lit = false;
    for (int frame = 0; frame < 3 && !lit; ++frame) {
        Renderer::RenderGraph(Timestep{float(frame) / 60.0f, 1.0f / 60.0f, false});
        EXPECT_EQ(glGetError(), GL_NO_ERROR) << "frame " << frame;
        Texture* image = player->imageOutput->texture;
        ASSERT_NE(image, nullptr);
        ASSERT_NE(image->glId, 0u);
        std::vector<float> pixels(size_t(deferredtest::kWidth) * deferredtest::kHeight * 4);
        glGetTextureImage(image->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(pixels.size() * 4), pixels.data());
        for (size_t i = 0; i < pixels.size() && !lit; i += 4)
            lit = pixels[i] + pixels[i + 1] + pixels[i + 2] > 0.01f;
    }
    EXPECT_TRUE(lit);
    EXPECT_GT(floor->drawn, 0);
    EXPECT_EQ(fbStackTop, 0) << "the frame closes what it opened";

    // The light adds to the ambient term: switched off, the same view is darker but not black.
    const float withLight = meanBrightness(player->imageOutput->texture);
    light->intensity.value[0] = 0.0f;
    light->OnCvarChanged(&light->intensity);
    Renderer::RenderGraph(Timestep{0.1f, 1.0f / 60.0f, false});
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    const float ambientOnly = meanBrightness(player->imageOutput->texture);
    EXPECT_GT(ambientOnly, 0.0f);
    EXPECT_LT(ambientOnly, withLight);
}

TEST_F(ScenePlayerGL, InitSkipsLinksWithoutAUsablePayload)
{
    sceneplayerfx* player = addPlayer("player");
    auto* light = addComponent<lightcomponent>("light");
    auto* camera = addComponent<camerafx>("camera");
    OutputPin* lightPin = outputOfType(light, ResourceType::Light);
    player->ConnectInput("fx", 999999);                                     // no such pin
    player->ConnectInput("fx", outputOfType(camera, ResourceType::Camera)->id); // not a scene type
    player->ConnectInput("fx", lightPin->id);
    player->ConnectInput("cmr", outputOfType(light, ResourceType::Light)->id);  // not a camera
    player->Init();
    EXPECT_EQ(player->scene->lights.count, 1);
    EXPECT_EQ(player->scene->objects.count, 0);
    ASSERT_EQ(player->scene->cameras.size(), 1u);
    EXPECT_EQ(player->scene->activeCamera, player->ownCamera);
    EXPECT_EQ(player->cameraIdx.max, 0.0f);

    // A light pin that lost its payload is skipped; the next frame runs without it.
    Resource* payload = lightPin->payload;
    lightPin->payload = nullptr;
    player->Init();
    lightPin->payload = payload;
    EXPECT_EQ(player->scene->lights.count, 0);
    RenderItemBuilder builder;
    player->Execute(builder, Timestep{});
    EXPECT_EQ(builder.items.size(), 1u);

    // An area light is drawn as the built-in cube, uploaded before first use; other lights have no proxy.
    player->Init();
    light->light->area = true;
    player->Execute(builder, Timestep{});
    ASSERT_NE(builtinCube, nullptr);
    EXPECT_EQ(light->light->proxy, builtinCube);
    EXPECT_NE(builtinCube->geometry->vao, 0u);
    light->light->area = false;
    player->Execute(builder, Timestep{});
    EXPECT_EQ(light->light->proxy, nullptr);
}

namespace {

// Stands in for the voxelizer: the scene player reads its parameters by name from its branch.
class FakeVoxelizer : public EngineComponent {
public:
    explicit FakeVoxelizer(const std::string& name) : EngineComponent(5, name), branch(name, nullptr)
    {
        cvarTreeCurrentBranch = &branch;
        CvarTreeRegisterBool(&enabled, "enabled", 1.0f);
        CvarTreeRegisterBool(&renderDebug, "render_debug", 0.0f);
        const char* names[8] = {"light smoothing position factor", "light smoothing normaln factor",
                                "light smoothing color factor",    "light falloff",
                                "occlusion falloff",               "light trace distance scale",
                                "reprojection tolerance",          "trace max range"};
        for (int i = 0; i < 8; ++i)
            CvarTreeRegisterFloat(&words[i], names[i], float(i + 1), 0.0f, 1000.0f);
        CvarTreePopBranch();
    }
    CvarTreeNode* GetCvarTree() override { return &branch; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}

    CvarTreeNode branch;
    Cvar enabled, renderDebug, words[8];
};

int hookCalls[3] = {};
RaytraceSceneBuffers* hookScene = nullptr;

} // namespace

// The voxel steps latch the voxelizer's words, hand on the player's fog values, and reach the raytracer's hooks
// only while the frame has scene buffers; without a voxelizer or raytracer they do nothing and nothing breaks.
TEST_F(ScenePlayerGL, VoxelPassesLatchTheVoxelizerAndSkipWithoutSceneBuffers)
{
    sceneplayerfx* player = addPlayer("player");
    player->Init();
    std::vector<RenderPassItem> passes;
    RenderItemBuilder builder;
    player->AddRenderPasses(builder, passes);
    auto run = [&](sceneplayerfx::FunctionPass pass) {
        player->passItems[pass].callback(player->scene->activeCamera, Timestep{});
    };
    const ScenePlayerVoxelHooks savedHooks = scenePlayerVoxelHooks;
    scenePlayerVoxelHooks.partitionGeometry = [](EngineComponent*, RaytraceSceneBuffers* s, Timestep) {
        ++hookCalls[0];
        hookScene = s;
    };
    scenePlayerVoxelHooks.renderPartitioning = [](EngineComponent*, RaytraceSceneBuffers*, Timestep) {
        ++hookCalls[1];
    };
    scenePlayerVoxelHooks.renderDebug = [](EngineComponent*, Camera*, RaytraceSceneBuffers*) { ++hookCalls[2]; };

    // Nothing to find: every voxel step is a no-op.
    player->voxelSettings.voxelized = 7;
    for (auto pass : {sceneplayerfx::FP_GEOMETRY_PARTITION, sceneplayerfx::FP_VOXELIZATION,
                      sceneplayerfx::FP_VOXEL_LIGHTING, sceneplayerfx::FP_VOLUMETRIC_FOG,
                      sceneplayerfx::FP_VOXELIZATION_DEBUG})
        run(pass);
    EXPECT_EQ(player->voxelSettings.voxelized, 7u);

    auto* voxelizer = addComponent<FakeVoxelizer>("voxelizer");
    ASSERT_EQ(currentRaytraceScene, nullptr);
    run(sceneplayerfx::FP_VOXELIZATION);
    EXPECT_EQ(player->voxelSettings.voxelized, 1u);
    EXPECT_EQ(player->voxelSettings.lightSmoothingPositionFactor, 1.0f);
    EXPECT_EQ(player->voxelSettings.reprojectionTolerance, 7.0f);
    EXPECT_EQ(player->voxelSettings.traceMaxRange, 8.0f);
    EXPECT_EQ(hookCalls[1], 0) << "no scene buffers, no partitioning";

    // Switched off: the latched words stay, the flag drops.
    voxelizer->enabled.value[0] = 0.0f;
    voxelizer->words[0].value[0] = 99.0f;
    run(sceneplayerfx::FP_VOXELIZATION);
    EXPECT_EQ(player->voxelSettings.voxelized, 0u);
    EXPECT_EQ(player->voxelSettings.lightSmoothingPositionFactor, 1.0f);

    player->fogScattering.value[0] = 11.0f;
    player->fogTraceStep.value[0] = 12.0f;
    player->fogSamplingMip.value[0] = 2.5f;
    const VoxelLightingSettings handed = player->HandedVoxelSettings();
    EXPECT_EQ(handed.scattering, 11.0f);
    EXPECT_EQ(handed.traceStep, 12.0f);
    EXPECT_EQ(handed.samplingMip, 2.5f);
    EXPECT_EQ(handed.lightFalloff, 4.0f);

    // The lighting and fog passes run (clearing their targets) with no scene buffers.
    while (glGetError() != GL_NO_ERROR) {
    }
    run(sceneplayerfx::FP_VOXEL_LIGHTING);
    run(sceneplayerfx::FP_VOLUMETRIC_FOG);
    voxelizer->renderDebug.value[0] = 1.0f;
    run(sceneplayerfx::FP_VOXELIZATION_DEBUG);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    EXPECT_EQ(hookCalls[2], 0);
    EXPECT_EQ(fbStackTop, 0);

    // With the frame's scene buffers and a raytracer, the hooks are reached.
    struct FakeRaytracer : EngineComponent {
        FakeRaytracer() : EngineComponent(4, "raytracer") {}
        CvarTreeNode* GetCvarTree() override { return nullptr; }
        void OnInputConnected(int32_t) override {}
        void OnInputDisconnected(int32_t) override {}
    };
    auto* raytracer = new FakeRaytracer();
    currentComponents->push_back(raytracer);
    alignas(16) static unsigned char buffersStandIn[64];
    currentRaytraceScene = reinterpret_cast<RaytraceSceneBuffers*>(buffersStandIn);
    voxelizer->enabled.value[0] = 1.0f;
    run(sceneplayerfx::FP_GEOMETRY_PARTITION);
    run(sceneplayerfx::FP_VOXELIZATION);
    run(sceneplayerfx::FP_VOXELIZATION_DEBUG);
    currentRaytraceScene = nullptr;
    EXPECT_EQ(hookCalls[0], 1);
    EXPECT_EQ(hookScene, reinterpret_cast<RaytraceSceneBuffers*>(buffersStandIn));
    EXPECT_EQ(hookCalls[1], 1);
    EXPECT_EQ(hookCalls[2], 1);
    EXPECT_EQ(player->voxelSettings.lightSmoothingPositionFactor, 99.0f);
    EXPECT_EQ(fbStackTop, 0);
    scenePlayerVoxelHooks = savedHooks;
}

// Deleting a linked camera or light component leaves no pointer to it in the player's scene: the next frame
// notices the vanished output and resolves the links again.
TEST_F(ScenePlayerGL, DeletedLinkedComponentsLeaveTheScene)
{
    sceneplayerfx* player = addPlayer("player");
    auto* light = addComponent<lightcomponent>("light");
    auto* camera = addComponent<camerafx>("camera");
    player->ConnectInput("fx", outputOfType(light, ResourceType::Light)->id);
    player->ConnectInput("cmr", outputOfType(camera, ResourceType::Camera)->id);
    player->Init();
    player->cameraIdx.value[0] = 1.0f;
    ASSERT_EQ(player->scene->cameras.size(), 2u);
    ASSERT_EQ(player->scene->lights.count, 1);

    for (EngineComponent* gone : std::vector<EngineComponent*>{camera, light}) {
        currentComponents->erase(std::find(currentComponents->begin(), currentComponents->end(), gone));
        delete gone;
        RenderItemBuilder builder;
        player->Execute(builder, Timestep{});
    }
    ASSERT_EQ(player->scene->cameras.size(), 1u);
    EXPECT_EQ(player->scene->cameras[0], player->ownCamera);
    EXPECT_EQ(player->scene->activeCamera, player->controller->camera);
    EXPECT_EQ(player->scene->lights.count, 0);
}

// A shadowing light gets a depth map from the frame's texture pool before its shadow passes draw, so the
// passes have a complete framebuffer to draw into.
TEST_F(ScenePlayerGL, ShadowingLightsGetTheirDepthMapEachFrame)
{
    sceneplayerfx* player = addPlayer("player");
    auto* light = addComponent<lightcomponent>("spot");
    light->type.value[0] = 1.0f;             // spot
    light->shadowcasting.value[0] = 1.0f;
    light->shadowmapResolution.value[0] = 0; // 512 x 512
    light->intensity.value[0] = 0.0f;        // out of the light list, its map is still prepared
    light->Init();
    player->ConnectInput("fx", outputOfType(light, ResourceType::Light)->id);
    player->Init();
    projtest::LogCapture log;
    Renderer::RenderGraph(Timestep{0.0f, 0.0f, false});
    Framebuffer* shadow = light->light->shadowFramebuffers[0];
    ASSERT_NE(shadow, nullptr);
    const Texture* depth = shadow->slots[FB_ATTACHMENT_DEPTH].texture;
    ASSERT_NE(depth, nullptr);
    EXPECT_EQ(depth->images[0]->width, 512);
    EXPECT_EQ(depth->images[0]->height, 512);
    EXPECT_FALSE(log.contains("not valid")) << log.text();
    EXPECT_EQ(fbStackTop, 0);
}

TEST_F(ScenePlayerGL, SelectedBoxOutlineLightsItsProjectedEdgesOnly)
{
    sceneplayerfx* player = addPlayer("player");
    player->Init();
    auto* owner = addComponent<FloorComponent>("owner");
    deferredCreateTargets();
    Framebuffer* wireframe = deferredFindFramebuffer("fbWireframe");
    ASSERT_NE(wireframe, nullptr);
    Texture* colour = wireframe->slots[FB_ATTACHMENT_COLOR0].texture;
    ASSERT_NE(colour, nullptr);

    // Looking along +z from (0, 0, -10); 60 degree vertical field, depth 0..1.
    Camera camera;
    camera.view = Matrix::Translation(0, 0, 10);
    const float f = 1.0f / std::tan(30.0f * 3.14159265f / 180.0f), aspect = float(wireframe->width) / float(wireframe->height);
    camera.projection.m[0] = f / aspect;
    camera.projection.m[5] = f;
    camera.projection.m[10] = 100.0f / 99.9f;
    camera.projection.m[11] = -10.0f / 99.9f;
    camera.projection.m[14] = 1.0f;
    camera.projection.m[15] = 0.0f;

    SelectedBounds entry;
    const float box[6] = {-1, -1, -1, 1, 1, 1};
    std::copy(box, box + 6, entry.box);
    entry.kind = SelectedBoundsKind::Box;
    selectedBoundsMap.clear();
    selectedBoundsMap[uint32_t(owner->id)] = entry;
    selectedBoundsMap[uint32_t(owner->id + 1000)] = entry; // a component that is not in the project: skipped

    auto render = [&] {
        fbPush();
        EXPECT_TRUE(setcurrent(wireframe));
        const float clear[4] = {0, 0, 0, 0};
        const float one = 1.0f;
        glClearBufferfv(GL_COLOR, 0, clear);
        glClearBufferfv(GL_DEPTH, 0, &one);
        RenderState state;
        state.cullMode = 0;
        state.depthFunc = 3;
        renderStatePush(state);
        const bool drawn = player->RenderWireframes(&camera);
        renderStatePop();
        // An emptied stack restores nothing: back to GL's own defaults for the tests after this one.
        glDisable(GL_CULL_FACE);
        glDisable(GL_DEPTH_TEST);
        glDepthFunc(GL_LESS);
        fbPop();
        std::vector<uint8_t> pixels(size_t(wireframe->width) * wireframe->height * 4);
        glGetTextureImage(colour->glId, 0, GL_RGBA, GL_UNSIGNED_BYTE, GLsizei(pixels.size()), pixels.data());
        return std::make_pair(drawn, pixels);
    };
    auto outline = [&](const std::vector<uint8_t>& pixels, int x, int y) {
        const uint8_t* p = &pixels[(size_t(y) * wireframe->width + x) * 4];
        return p[1] > 200 && p[1] > p[0] && p[1] > p[2];
    };
    const int w = wireframe->width, h = wireframe->height;
    // The near face's right edge (x = 1 at depth 9) on screen; rows are bottom-up in GL.
    const int edgeX = int(std::lround((f / aspect / 9.0f * 0.5f + 0.5f) * w));
    const int halfRow = h / 2;

    const Camera* before = player->scene->activeCamera;
    renderingBBox = RenderingBBox::None;
    auto [noneDrawn, nonePixels] = render();
    EXPECT_FALSE(noneDrawn);
    EXPECT_EQ(player->scene->activeCamera, before) << "\"None\" leaves the scene's camera alone";
    EXPECT_FALSE(outline(nonePixels, edgeX, halfRow));

    renderingBBox = RenderingBBox::Selected;
    auto [drawn, pixels] = render();
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    EXPECT_TRUE(drawn);
    EXPECT_EQ(player->scene->activeCamera, &camera);
    bool edge = false;
    for (int dx = -1; dx <= 1; ++dx)
        edge = edge || outline(pixels, edgeX + dx, halfRow);
    EXPECT_TRUE(edge) << "the near face's right edge at column " << edgeX;
    EXPECT_FALSE(outline(pixels, w / 2, halfRow)) << "the box's inside stays clear";
    EXPECT_FALSE(outline(pixels, 10, 10)) << "and so does the rest";
    selectedBoundsMap.clear();
}

TEST(SelectionOutlineShape, ShapesAndMatricesByKind)
{
    const float cube[6] = {-1, -1, -1, 1, 1, 1};
    const float tall[6] = {0, 0, 0, 2, 2, 4};
    const float empty[6] = {};
    struct Case {
        int kind;
        const float* box;
        Object** object;
        Vector3 probe, expected; // the shape matrix applied to a point
    } cases[] = {
        {SelectedBoundsKind::Box, cube, &builtinBoxOutline, {1, 1, 1}, {1, 1, 1}},
        {SelectedBoundsKind::Box, cube, &builtinBoxOutline, {0, 0, 0}, {-1, -1, -1}},
        {SelectedBoundsKind::Circles, tall, &builtinSphereOutline, {1, 1, 1}, {2, 2, 4}},
        {SelectedBoundsKind::Cone, empty, &builtinConeOutline, {0, 1, 2}, {0, 1, 2}},
        // Scaled about the local origin, not moved to the box: rim radius 2 at distance 8.
        {SelectedBoundsKind::Cone, tall, &builtinConeOutline, {1, 0, 2}, {2, 0, 8}},
        {3, tall, &builtinConeOutline, {1, 0, 2}, {1, 0, 2}},
    };
    for (const Case& c : cases) {
        Object* object = nullptr;
        Matrix shape;
        selectionOutlineShape(c.kind, c.box, &object, &shape);
        EXPECT_EQ(object, *c.object) << "kind " << c.kind;
        const Vector3 p = shape.TransformPoint(c.probe);
        EXPECT_FLOAT_EQ(p.x, c.expected.x) << "kind " << c.kind;
        EXPECT_FLOAT_EQ(p.y, c.expected.y) << "kind " << c.kind;
        EXPECT_FLOAT_EQ(p.z, c.expected.z) << "kind " << c.kind;
    }
}
