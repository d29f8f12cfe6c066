#include "components/camera_component.h"
#include "components/light_component.h"
#include "components/transform_components.h"

#include "app/data_files.h"
#include "gl_context.h"
#include "project/component_table.h"
#include "project_test_util.h"
#include "render/camera_controller.h"
#include "render/entities.h"
#include "render/selection_bounds.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

using projtest::addComponent;
using projtest::ScopedProject;

namespace {

void expectNear(const Vector3& actual, const Vector3& expected, float tolerance = 1e-5f)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

void setVec3(Cvar& cvar, float x, float y, float z)
{
    cvar.value[0] = x;
    cvar.value[1] = y;
    cvar.value[2] = z;
}

std::vector<std::string> cvarNames(CvarTreeNode* branch)
{
    std::vector<std::string> names;
    for (Cvar* cvar : branch->cvars)
        names.push_back(cvar->name);
    return names;
}

// Reads the light payload it is linked to whenever told, and checks that the Light it held until then is still
// readable at that moment (a replaced Light must outlive the notification).
class LightConsumer : public projtest::TestComponentBase {
public:
    explicit LightConsumer(const std::string& name) : TestComponentBase(0, name)
    {
        input = new InputPin("fx", {ResourceType::Light}, true);
        declaredInputs.push_back(input);
        RebuildPinLists();
    }
    void OnInputChanged(int32_t pinId) override
    {
        TestComponentBase::OnInputChanged(pinId);
        if (held)
            heldIntensityAtNotify = held->intensity;
        OutputPin* source = nullptr;
        for (EngineComponent* c : *currentComponents)
            for (OutputPin* pin : c->outputs)
                if (!input->links.empty() && pin->id == input->links[0])
                    source = pin;
        auto* payload = source ? resourceCast<LightResource>(source->payload, ResourceType::Light) : nullptr;
        held = payload ? payload->light : nullptr;
    }

    InputPin* input;
    Light* held = nullptr;
    float heldIntensityAtNotify = -1.0f;
};

class SceneComponents : public ::testing::Test {
protected:
    ScopedProject project;
    CameraController* savedController = currentCameraController;
    RenderItemBuilder builder;

    void SetUp() override { selectedBoundsMap.clear(); }
    void TearDown() override
    {
        selectedBoundsMap.clear();
        currentCameraController = savedController;
        cvarTreeCurrentBranch = &cvarTreeRoot;
    }

    // Runs the bounds callback of the last item, as a pass would.
    void drawLastItem(Camera* camera = nullptr)
    {
        ASSERT_FALSE(builder.items.empty());
        RenderItem& item = builder.items.back();
        item.callback(camera, &item.model, Renderer::PASS_DEFERRED, Timestep{});
    }
};

} // namespace

TEST_F(SceneComponents, TableRowsCreateTheSceneClasses)
{
    struct Row {
        int index;
        const char* type;
        int category;
        const char* display;
    };
    const Row rows[] = {{6, "Light", ComponentCategory::Scene, "Light"},
                        {8, "Camera", ComponentCategory::Scene, "Camera"},
                        {9, "Null", ComponentCategory::Scene, "Null"},
                        {47, "SceneGroup", ComponentCategory::Geometry, "Scene Group"}};
    for (const Row& row : rows) {
        const ComponentTypeInfo& info = componentTypeTable[row.index];
        ASSERT_NE(info.factory, nullptr) << row.type;
        std::unique_ptr<EngineComponent> component(info.factory("made"));
        EXPECT_EQ(component->typeIndex, row.index);
        EXPECT_EQ(component->GetTypeName(), row.type);
        EXPECT_EQ(info.category, row.category);
        EXPECT_STREQ(info.displayName, row.display);
        EXPECT_EQ(component->GetCvarTree()->owner, component.get());
        Cvar *p = nullptr, *r = nullptr, *s = nullptr;
        EXPECT_TRUE(component->GetTransformCvars(&p, &r, &s)) << row.type;
        EXPECT_TRUE(p && r) << row.type;
        cvarTreeCurrentBranch = &cvarTreeRoot;
    }
    EXPECT_NE(dynamic_cast<lightcomponent*>(std::unique_ptr<EngineComponent>(lightcomponent::Create("l")).get()),
              nullptr);
}

// ---- Light ----

TEST_F(SceneComponents, LightDefaultsPublishAPointLight)
{
    auto* component = addComponent<lightcomponent>("lamp");
    EXPECT_EQ(cvarNames(component->branch),
              (std::vector<std::string>{"type", "shadowmap resolution", "culling", "position", "rotation", "dimensions",
                                        "color", "intensity", "roughness modifier", "range", "range near", "fov",
                                        "area", "shadowcasting", "volumetric", "excluded tags"}));
    EXPECT_FALSE(component->color.alphaEditable);
    EXPECT_TRUE(component->intensity.animatable);
    EXPECT_FALSE(component->type.animatable);
    EXPECT_EQ(cvarTreeCurrentBranch, &cvarTreeRoot);

    component->Init();
    OutputPin* out = component->outputs[0];
    EXPECT_EQ(out->name, "light");
    EXPECT_EQ(out->resourceType, ResourceType::Light);
    auto* payload = resourceCast<LightResource>(out->payload, ResourceType::Light);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->name, "lamp/light");
    Light* light = payload->light;
    ASSERT_EQ(light, component->light);
    EXPECT_EQ(light->owner, component);
    EXPECT_EQ(light->lightType, LIGHT_TYPE_POINT);
    EXPECT_EQ(light->farPlane, 200.0f);
    EXPECT_FLOAT_EQ(light->nearPlane, 0.1f);
    EXPECT_EQ(light->color[0] + light->color[1] + light->color[2] + light->color[3], 0.0f);
    EXPECT_FALSE(light->castsShadows);
    EXPECT_EQ(light->shadowMapWidth, 2048u);
    EXPECT_EQ(light->shadowMapHeight, 2048u);
    EXPECT_EQ(light->shadowCullMode, 1);
    EXPECT_EQ(light->intensity, 1.0f);
    // The payload is checked before use: no other type passes.
    EXPECT_EQ(resourceCast<LightResource>(out->payload, ResourceType::Camera), nullptr);
    EXPECT_EQ(resourceCast<CameraResource>(out->payload, ResourceType::Light), nullptr);
}

TEST_F(SceneComponents, LightWritesItsParametersIntoItsLight)
{
    auto* component = addComponent<lightcomponent>("lamp");
    component->type.value[0] = 1; // Spot
    component->fov.value[0] = 40;
    setVec3(component->position, 1, 2, 3);
    setVec3(component->rotation, 10, 20, 30);
    setVec3(component->dimensions, 4, 5, 6);
    setVec3(component->color, 0.2f, 0.4f, 0.6f);
    component->color.value[3] = 0.9f;
    component->intensity.value[0] = 7;
    component->roughnessModifier.value[0] = 0.5f;
    component->range.value[0] = 300;
    component->rangeNear.value[0] = 0.5f;
    component->area.value[0] = 1;
    component->volumetric.value[0] = 0.6f;
    component->excludedTags.text = "hero";
    component->culling.value[0] = 1; // Front
    component->Init();

    Light* light = component->light;
    EXPECT_EQ(light->lightType, LIGHT_TYPE_SPOT);
    EXPECT_EQ(light->fov, 40.0f);
    expectNear(light->position, {1, 2, 3});
    expectNear(light->rotation, {10, 20, 30});
    EXPECT_FLOAT_EQ(light->color[0], 0.2f);
    EXPECT_FLOAT_EQ(light->color[2], 0.6f);
    EXPECT_EQ(light->color[3], 0.0f);
    EXPECT_EQ(light->intensity, 7.0f);
    EXPECT_EQ(light->roughnessModifier, 0.5f);
    EXPECT_EQ(light->dimensions[0], 4.0f);
    EXPECT_EQ(light->dimensions[1], 5.0f);
    EXPECT_TRUE(light->area);
    EXPECT_TRUE(light->volumetric);
    EXPECT_EQ(light->excludedTags, "hero");
    EXPECT_EQ(light->shadowCullMode, 0);
    EXPECT_EQ(light->nearPlane, 0.5f);
    EXPECT_EQ(light->farPlane, 300.0f);
    Cvar *p = nullptr, *r = nullptr, *s = nullptr;
    component->GetTransformCvars(&p, &r, &s);
    EXPECT_EQ(s, &component->dimensions); // scaled by "dimensions" only while "area" is set
    component->area.value[0] = 0;
    component->GetTransformCvars(&p, &r, &s);
    EXPECT_EQ(s, nullptr);

    // Culling codes: None 2, Front 0, Back 1; an unknown value keeps the last one.
    const struct {
        float value;
        int mode;
    } culls[] = {{0, 2}, {-4, 2}, {1, 0}, {2, 1}, {3, 1}, {0, 2}, {7, 2}};
    for (const auto& c : culls) {
        component->culling.value[0] = c.value;
        component->OnCvarChanged(&component->culling);
        EXPECT_EQ(component->light->shadowCullMode, c.mode) << c.value;
    }
}

TEST_F(SceneComponents, LightTypeAndResolutionFoldOutOfRangeValues)
{
    const struct {
        float type;
        float resolution;
        int lightType;
        unsigned int size;
    } cases[] = {
        {0, 2, LIGHT_TYPE_POINT, 2048},       {1, 0, LIGHT_TYPE_SPOT, 512},
        {2, 3, LIGHT_TYPE_DIRECTIONAL, 4096}, {5, -1, LIGHT_TYPE_POINT, 512},
        {-2, 9, LIGHT_TYPE_POINT, 8192},      {2.9f, 1.7f, LIGHT_TYPE_DIRECTIONAL, 1024},
        {NAN, NAN, LIGHT_TYPE_POINT, 512},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " / " << c.resolution);
        std::unique_ptr<lightcomponent> component = BuildComponent<lightcomponent>("folded");
        component->type.value[0] = c.type;
        component->shadowmapResolution.value[0] = c.resolution;
        setVec3(component->dimensions, 6, 3, 0);
        component->Init();
        EXPECT_EQ(component->light->lightType, c.lightType);
        EXPECT_EQ(component->light->shadowMapWidth, c.size);
        if (c.lightType == LIGHT_TYPE_DIRECTIONAL) {
            EXPECT_EQ(component->light->fov, 0.0f);
            EXPECT_EQ(component->light->orthoWidth, 6.0f);
            EXPECT_EQ(component->light->orthoHeight, 3.0f);
        }
    }
}

TEST_F(SceneComponents, LightChangesReachConsumersAtOnce)
{
    auto* component = addComponent<lightcomponent>("lamp");
    auto* consumer = addComponent<LightConsumer>("player");
    consumer->input->links.push_back(component->outputs[0]->id);
    component->type.value[0] = 1;
    component->Init();
    consumer->OnInputChanged(consumer->input->id);
    ASSERT_EQ(consumer->held, component->light);

    // In place: same Light, consumers still told.
    Light* spot = component->light;
    component->intensity.value[0] = 3;
    component->OnCvarChanged(&component->intensity);
    EXPECT_EQ(component->light, spot);
    EXPECT_EQ(spot->intensity, 3.0f);
    EXPECT_EQ(consumer->inputChanges.size(), 2u);

    // Spot to Directional: a new Light, published and told in the same call; the old one was still alive then.
    component->type.value[0] = 2;
    component->OnCvarChanged(&component->type);
    EXPECT_NE(component->light, spot);
    EXPECT_EQ(component->light->lightType, LIGHT_TYPE_DIRECTIONAL);
    EXPECT_EQ(consumer->held, component->light);
    EXPECT_EQ(consumer->heldIntensityAtNotify, 3.0f);
    EXPECT_EQ(component->light->intensity, 3.0f);
    EXPECT_EQ(component->light->owner, component);
    EXPECT_EQ(consumer->inputChanges.size(), 3u);

    component->selected = true;
    component->OnSelectionChanged(true);
    EXPECT_TRUE(component->light->selected);
    component->shadowmapResolution.value[0] = 0;
    component->OnCvarChanged(&component->shadowmapResolution);
    EXPECT_TRUE(component->light->selected); // the replacement keeps the selection
    EXPECT_EQ(component->light->shadowMapWidth, 512u);
}

TEST_F(SceneComponents, LightItemPlacesItAndRegistersItsVolume)
{
    auto* component = addComponent<lightcomponent>("lamp");
    component->Init();
    setVec3(component->position, 1, 2, 3);
    setVec3(component->rotation, 0, 90, 0);
    setVec3(component->dimensions, 4, 2, 0);
    component->range.value[0] = 10;
    component->fov.value[0] = 60;

    const struct {
        const char* what;
        float type;
        bool area;
        bool registers;
        float box[6];
        int kind;
    } cases[] = {
        {"point", 0, false, false, {}, 0},
        {"area point", 0, true, true, {-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f}, 0},
        {"spot", 1, false, true, {}, 2},
        {"area spot", 1, true, true, {-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f}, 0},
        {"directional", 2, false, true, {-2, -1, 0, 2, 1, 10}, 0},
    };
    const float h = static_cast<float>(std::tan(60.0 / 180.0 * M_PI / 2.0) * 2.0 * 10.0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        component->type.value[0] = c.type;
        component->area.value[0] = c.area ? 1.0f : 0.0f;
        component->OnCvarChanged(&component->type);
        builder.items.clear();
        component->Execute(builder, Timestep{});
        ASSERT_EQ(builder.items.size(), 1u);
        const RenderItem& item = builder.items[0];
        EXPECT_EQ(item.owner, component);
        EXPECT_TRUE(item.dependencies.empty());
        EXPECT_EQ(item.target, 0);
        // Scale (area only), then rotation, then translation.
        const float sx = c.area ? 4.0f : 1.0f;
        expectNear(item.model.TransformPoint({1, 0, 0}), {1, 2, 3 - sx});

        component->selected = false;
        selectedBoundsMap.clear();
        drawLastItem();
        EXPECT_TRUE(selectedBoundsMap.empty()); // not selected: nothing, however often it draws
        component->selected = true;
        builder.items[0].model.m[3] = 42.0f; // what the scene hierarchy made of it
        drawLastItem();
        auto found = selectedBoundsMap.find(static_cast<uint32_t>(component->id));
        ASSERT_EQ(found != selectedBoundsMap.end(), c.registers);
        if (!c.registers)
            continue;
        const SelectedBounds& bounds = found->second;
        EXPECT_EQ(bounds.camera, nullptr);
        EXPECT_EQ(bounds.kind, c.kind);
        EXPECT_EQ(bounds.world.m[3], 42.0f);
        EXPECT_EQ(bounds.local.m[3], 1.0f);
        const float spot[6] = {-h / 2, -h / 2, 0, h / 2, h / 2, 10};
        const float* box = c.kind == 2 ? spot : c.box;
        for (int i = 0; i < 6; ++i)
            EXPECT_NEAR(bounds.box[i], box[i], 1e-4f) << i;
    }
}

class SceneComponentsGL : public GLTest {
protected:
    ScopedProject project;
};

TEST_F(SceneComponentsGL, ShadowCastingLightsOwnTheirShadowTargets)
{
    auto* component = addComponent<lightcomponent>("caster");
    component->shadowcasting.value[0] = 1;
    component->shadowmapResolution.value[0] = 1;
    component->rangeNear.value[0] = 0.25f;
    component->range.value[0] = 50;
    component->Init();
    Light* point = component->light;
    EXPECT_FALSE(point->enabled);
    for (Light* face : point->faceLights) {
        ASSERT_NE(face, nullptr);
        EXPECT_NE(face->shadowFramebuffers[0], nullptr);
        EXPECT_EQ(face->shadowMapWidth, 1024u);
        EXPECT_EQ(face->nearPlane, 0.25f);
        EXPECT_EQ(face->farPlane, 50.0f);
    }
    // Switching to a spot frees the six faces and their targets (the sanitizer run checks for leaks).
    component->type.value[0] = 1;
    component->OnCvarChanged(&component->type);
    EXPECT_TRUE(component->light->castsShadows);
    EXPECT_NE(component->light->shadowFramebuffers[0], nullptr);
    component->shadowcasting.value[0] = 0;
    component->OnCvarChanged(&component->shadowcasting);
    EXPECT_EQ(component->light->shadowFramebuffers[0], nullptr);
}

// ---- Camera ----

TEST_F(SceneComponents, CameraPublishesItsCameraAndTakesTheInput)
{
    auto* first = addComponent<camerafx>("first");
    EXPECT_EQ(currentCameraController, first->controller);
    auto* cam = addComponent<camerafx>("main cam");
    EXPECT_EQ(currentCameraController, cam->controller); // the last one created takes the input
    EXPECT_EQ(cam->controller->attached, cam->camera);
    EXPECT_EQ(cam->camera->owner, cam);
    EXPECT_EQ(cvarTreeCurrentBranch, &cvarTreeRoot);
    EXPECT_EQ(cvarNames(cam->branch), (std::vector<std::string>{"Type", "FOV", "Near", "Far", "Position", "Rotation"}));
    ASSERT_EQ(cam->branch->children.size(), 1u);
    EXPECT_EQ(cam->branch->children[0]->name, "controller");
    EXPECT_EQ(CvarEnumOptionCount(cam->cameraType.enumOptions), 1);
    EXPECT_GE(cam->farPlane.value[0], cam->farPlane.min);
    EXPECT_LE(cam->farPlane.value[0], cam->farPlane.max);

    OutputPin* out = cam->outputs[0];
    EXPECT_EQ(out->name, "cmr");
    auto* payload = resourceCast<CameraResource>(out->payload, ResourceType::Camera);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->camera, cam->camera);
    // Every camera publishes under one name; consumers tell them apart by pin.
    EXPECT_EQ(payload->name, "camerafx/Camera");
    EXPECT_EQ(first->outputs[0]->payload->name, payload->name);

    // Stored parameters sit in the cvars; the pose reaches the camera only through a change.
    setVec3(cam->position, 1, 2, 3);
    setVec3(cam->rotation, 0, 45, 0);
    cam->fov.value[0] = 70;
    cam->nearPlane.value[0] = 0.5f;
    cam->farPlane.value[0] = 400;
    cam->name = "renamed";
    cam->Execute(builder, Timestep{});
    expectNear(cam->camera->position, {0, 0, 0});
    EXPECT_EQ(cam->camera->name, "renamed");
    EXPECT_EQ(cam->camera->fov, 70.0f);
    EXPECT_EQ(cam->camera->nearPlane, 0.5f);
    EXPECT_EQ(cam->camera->farPlane, 400.0f);
    EXPECT_NEAR(cam->camera->aspect, 1920.0f / 1080.0f, 1e-6f);
    cam->OnCvarChanged(&cam->fov);
    expectNear(cam->camera->position, {0, 0, 0});
    cam->OnCvarChanged(&cam->rotation);
    expectNear(cam->camera->position, {1, 2, 3});
    expectNear(cam->camera->rotation, {0, 45, 0});

    ASSERT_EQ(builder.items.size(), 1u);
    const RenderItem& item = builder.items[0];
    EXPECT_EQ(item.owner, cam);
    expectNear(item.model.TransformPoint({0, 0, 1}), {1 + std::sqrt(0.5f), 2, 3 + std::sqrt(0.5f)});
    cam->selected = true;
    cam->OnSelectionChanged(true);
    EXPECT_TRUE(cam->camera->selected);
    drawLastItem();
    const SelectedBounds& bounds = selectedBoundsMap.at(static_cast<uint32_t>(cam->id));
    EXPECT_EQ(bounds.kind, 3);
    EXPECT_EQ(bounds.camera, nullptr);
    for (float v : bounds.box)
        EXPECT_EQ(v, 0.0f);

    // A graph load stores the values and then runs Init, which places the camera as stored.
    setVec3(cam->position, 4, 5, 6);
    setVec3(cam->rotation, 10, 0, 0);
    cam->Init();
    expectNear(cam->camera->position, {4, 5, 6});
    expectNear(cam->camera->rotation, {10, 0, 0});
}

// ---- Null and Scene Group ----

TEST_F(SceneComponents, TransformComponentsComposeScaleRotationTranslation)
{
    auto* null = addComponent<nullcomponent>("null");
    EXPECT_EQ(cvarTreeCurrentBranch, null->branch); // the Null leaves its branch current
    auto* group = addComponent<scenegroupfx>("group");
    EXPECT_EQ(cvarTreeCurrentBranch, &cvarTreeRoot);
    EXPECT_EQ(cvarNames(null->branch), (std::vector<std::string>{"position", "rotation", "scale"}));
    EXPECT_EQ(cvarNames(group->branch), (std::vector<std::string>{"scale", "rotation", "position"}));
    EXPECT_TRUE(null->scale.animatable);

    const struct {
        Vector3 position, rotation, scale, point, expected;
    } cases[] = {
        {{0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {1, 2, 3}, {1, 2, 3}},
        {{0, 0, 5}, {0, 0, 0}, {2, 1, 1}, {1, 0, 0}, {2, 0, 5}},
        // Scaled first, then turned 90 degrees about y (+x goes to -z), then moved.
        {{1, 0, 0}, {0, 90, 0}, {2, 1, 1}, {1, 0, 0}, {1, 0, -2}},
    };
    for (const auto& c : cases) {
        for (EngineComponent* component : {static_cast<EngineComponent*>(null), static_cast<EngineComponent*>(group)}) {
            Cvar *p = nullptr, *r = nullptr, *s = nullptr;
            ASSERT_TRUE(component->GetTransformCvars(&p, &r, &s));
            setVec3(*p, c.position.x, c.position.y, c.position.z);
            setVec3(*r, c.rotation.x, c.rotation.y, c.rotation.z);
            setVec3(*s, c.scale.x, c.scale.y, c.scale.z);
            builder.items.clear();
            component->Execute(builder, Timestep{});
            ASSERT_EQ(builder.items.size(), 1u);
            EXPECT_EQ(builder.items[0].owner, component);
            expectNear(builder.items[0].model.TransformPoint(c.point), c.expected);
        }
    }
    EXPECT_EQ(null->GetMatrix().m[11], group->GetMatrix().m[11]);

    // Bounds: the Null with the pass camera and kind 0, the group with the viewport camera and kind 1.
    Camera passCamera;
    null->selected = group->selected = true;
    builder.items.clear();
    null->Execute(builder, Timestep{});
    drawLastItem(&passCamera);
    group->Execute(builder, Timestep{});
    drawLastItem(&passCamera);
    EXPECT_EQ(selectedBoundsMap.at(static_cast<uint32_t>(null->id)).camera, &passCamera);
    EXPECT_EQ(selectedBoundsMap.at(static_cast<uint32_t>(null->id)).kind, 0);
    EXPECT_EQ(selectedBoundsMap.at(static_cast<uint32_t>(group->id)).camera, nullptr);
    EXPECT_EQ(selectedBoundsMap.at(static_cast<uint32_t>(group->id)).kind, 1);
}

TEST_F(SceneComponents, NullParentsItsChildrenAndTellsThemAtOnce)
{
    auto* null = addComponent<nullcomponent>("null");
    auto* group = addComponent<scenegroupfx>("group");
    auto* lamp = addComponent<lightcomponent>("lamp");
    lamp->Init();
    auto* parent = addComponent<projtest::TestTransform>("parent");
    parent->childPin->links = {null->entityPin->id, group->entityPin->id};
    null->childPin->links = {lamp->entityPin->id};

    // A keyed change of the Null's transform reaches its parent at once; the group's does not.
    null->OnCvarChanged(&null->scale);
    EXPECT_EQ(parent->inputChanges, std::vector<int32_t>{parent->childPin->id});
    group->OnCvarChanged(&group->scale);
    EXPECT_EQ(parent->inputChanges.size(), 1u);

    // The Null's matrix applies to the items of its children.
    parent->childPin->links.clear();
    setVec3(null->position, 0, 10, 0);
    setVec3(lamp->position, 1, 0, 0);
    null->Execute(builder, Timestep{});
    lamp->Execute(builder, Timestep{});
    builder.ApplySceneHierarchy();
    expectNear(builder.items[1].model.TransformPoint({0, 0, 0}), {1, 10, 0});
}

TEST_F(SceneComponents, GraphLoadAppliesStoredValuesBeforeInit)
{
    testutil::TempDir dir("scenecomps");
    const std::string oldBase = dataBasePath();
    dataSetBasePath(dir.str());
    testutil::writeFile(dir.path() / "graph.json", R"({"components": [
        {"type": "Light", "id": 1, "name": "sun", "outputs": [{"id": 2}],
         "variables": {"branch_name": "sun", "variables": [
            {"name": "type", "type": 6, "value": {"v": 2}},
            {"name": "dimensions", "type": 5, "value": {"x": 30, "y": 20, "z": 0}}]}},
        {"type": "Camera", "id": 3, "name": "cam", "outputs": [{"id": 4}],
         "variables": {"branch_name": "cam", "variables": [
            {"name": "Position", "type": 5, "value": {"x": 0, "y": 5, "z": -10}}]}},
        {"type": "Null", "id": 5, "name": "pivot", "inputs": [{"name": "child", "outputs": [6]}]},
        {"type": "SceneGroup", "id": 7, "name": "imported", "outputs": [{"id": 6}]}
    ]})");
    const bool loaded = GraphManager::Load("graph.json");
    dataSetBasePath(oldBase);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(project.components.size(), 4u);
    auto* sun = dynamic_cast<lightcomponent*>(project.components[0]);
    auto* cam = dynamic_cast<camerafx*>(project.components[1]);
    auto* pivot = dynamic_cast<nullcomponent*>(project.components[2]);
    auto* imported = dynamic_cast<scenegroupfx*>(project.components[3]);
    ASSERT_TRUE(sun && cam && pivot && imported);
    EXPECT_EQ(sun->light->lightType, LIGHT_TYPE_DIRECTIONAL);
    EXPECT_EQ(sun->light->orthoWidth, 30.0f);
    EXPECT_EQ(resourceCast<LightResource>(sun->outputs[0]->payload, ResourceType::Light)->light, sun->light);
    EXPECT_EQ(cam->position.value[2], -10.0f);
    // Init places the loaded camera: it does not wait at the origin for the first change.
    expectNear(cam->camera->position, {cam->position.value[0], cam->position.value[1], cam->position.value[2]});
    EXPECT_EQ(imported->GetParent(), pivot);
    EXPECT_EQ(sun->outputs.back(), sun->entityPin);
}
