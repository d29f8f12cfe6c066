#include "components/primitive_renderer.h"

#include "components/camera_component.h"
#include "components/instance_buffers.h"
#include "components/light_component.h"
#include "components/primitive_shapes.h"
#include "components/scene_player.h"
#include "components/texture_components.h"
#include "components/transform_components.h"
#include "deferred_scene_util.h"
#include "deferred_test_scene.h"
#include "editor/event_log.h"
#include "jni/engine/grd_buffer.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project_test_util.h"
#include "render/camera_controller.h"
#include "render/deferred_postprocess.h"
#include "render/render_graph.h"
#include "render/selection_bounds.h"
#include "render/shader_inputs.h"
#include "renderer_fixture.h"
#include "test_helpers.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using projtest::addComponent;
using projtest::LogCapture;
using projtest::ScopedProject;

namespace {

constexpr int kPrimitiveRow = 30;

std::vector<std::string> cvarNames(const CvarTreeNode* node)
{
    std::vector<std::string> names;
    for (const Cvar* cvar : node->cvars)
        names.push_back(cvar->name);
    return names;
}

// Primitives the Shadowmap or Deferred pass of one Render call sends down the pipeline.
GLuint primitivesDrawn(primitivefx* primitive, Camera* camera, Renderer::Pass pass)
{
    GLuint query = 0;
    glGenQueries(1, &query);
    glBeginQuery(GL_PRIMITIVES_GENERATED, query);
    const Matrix model;
    primitive->Render(camera, &model, pass, Timestep{});
    glEndQuery(GL_PRIMITIVES_GENERATED);
    GLuint count = 0;
    glGetQueryObjectuiv(query, GL_QUERY_RESULT, &count);
    glDeleteQueries(1, &query);
    return count;
}

uint32_t triangleCount(const Geometry* geometry)
{
    uint32_t n = 0;
    for (const GeometrySurface* surface : geometry->surfaces)
        n += surface->triangleCount;
    return n;
}

class PrimitiveRendererGL : public RendererGLTest {
protected:
    EventLog* savedEvents = uiEventLog;
    EventLog events;
    std::unique_ptr<ScopedProject> project;
    Camera camera;

    void SetUp() override
    {
        RendererGLTest::SetUp();
        uiEventLog = &events;
        ui_event_log_connect();
        project = std::make_unique<ScopedProject>();
        deferredscene::placeCamera(camera, {0, 0, -30}, {0, 0, 0}, float(deferredtest::kWidth) / deferredtest::kHeight);
    }
    void TearDown() override
    {
        project.reset();
        instanceModifierProgramsRelease();
        uiEventLog = savedEvents;
        RendererGLTest::TearDown();
    }

    // A component made by its table row, with the pins the graph gives components that have a transform.
    template <typename T>
    T* make(int row, const std::string& name)
    {
        EngineComponent* component = componentTypeTable[row].factory(name);
        component->CreateChildPin();
        component->CreateEntityPin();
        currentComponents->push_back(component);
        return static_cast<T*>(component);
    }

    primitivefx* makePrimitive(const std::string& name, bool parented = true)
    {
        auto* primitive = make<primitivefx>(kPrimitiveRow, name);
        if (parented) {
            auto* holder = make<nullcomponent>(9, name + " holder");
            holder->childPin->links = {primitive->entityPin->id};
        }
        primitive->Init();
        return primitive;
    }

    void setType(primitivefx* primitive, int type)
    {
        primitive->type.value[0] = float(type);
        primitive->OnCvarChanged(&primitive->type);
    }

    struct LitCube {
        sceneplayerfx* player = nullptr;
        primitivefx* cube = nullptr;
    };
    // A white cube turned 30 degrees, a light above and in front of it, and the camera 6 units in front.
    // Components are made, linked and initialised; further components must be added before the first frame.
    LitCube makeLitCube()
    {
        auto* player = make<sceneplayerfx>(0, "player");
        auto* light = make<lightcomponent>(6, "light");
        auto* cam = make<camerafx>(8, "camera");
        auto* holder = make<nullcomponent>(9, "holder");
        auto* cube = make<primitivefx>(kPrimitiveRow, "cube");
        player->ConnectInput("fx", light->outputs[0]->id);
        player->ConnectInput("cmr", cam->outputs[0]->id);
        player->ConnectInput("child", holder->entityPin->id);
        holder->ConnectInput("child", cube->entityPin->id);

        cube->type.value[0] = PRIMITIVE_CUBE;
        cube->radius1.value[0] = 1.0f;
        cube->subdivisions1.value[0] = 2.0f;
        cube->rotation.value[1] = 30.0f;
        light->position.value[1] = 4.0f;
        light->position.value[2] = -6.0f;
        for (int i = 0; i < 4; ++i)
            light->color.value[i] = 1.0f;
        light->intensity.value[0] = 1.0f;
        light->OnCvarChanged(&light->position);
        light->OnCvarChanged(&light->color);
        cam->position.value[2] = -6.0f;
        cam->OnCvarChanged(&cam->position);
        for (EngineComponent* c : *currentComponents)
            c->Init();
        player->cameraIdx.value[0] = 1.0f;
        player->controller->detached.value[0] = 0.0f;
        player->taaBlendFactor.value[0] = 1.0f;
        return {player, cube};
    }
    // One frame of the graph; the player's image as RGBA floats (empty when it has none).
    std::vector<float> renderFrame(const LitCube& scene, int frame)
    {
        Renderer::RenderGraph(Timestep{float(frame) / 60.0f, 1.0f / 60.0f, false});
        const Texture* image = scene.player->imageOutput->texture;
        if (!image || !image->glId)
            return {};
        std::vector<float> pixels(size_t(deferredtest::kWidth) * deferredtest::kHeight * 4);
        glGetTextureImage(image->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(pixels.size() * 4), pixels.data());
        return pixels;
    }

    // Runs Render with the G-buffer bound, as the renderer's Deferred entries do.
    GLuint drawnInGBuffer(primitivefx* primitive, Camera* viewer, Renderer::Pass pass)
    {
        fbPush();
        EXPECT_TRUE(setcurrent(deferredFindFramebuffer("deferred_deep")));
        const GLuint n = primitivesDrawn(primitive, viewer, pass);
        fbPop();
        return n;
    }
};

} // namespace

TEST_F(PrimitiveRendererGL, ParametersPinsAndTableRow)
{
    EXPECT_EQ(componentTypeTable[kPrimitiveRow].factory, &primitivefx::Create);
    primitivefx* primitive = makePrimitive("prim", false);
    EXPECT_EQ(primitive->typeIndex, kPrimitiveRow);
    EXPECT_EQ(primitive->GetTypeName(), "Primitive");
    EXPECT_EQ(cvarTreeCurrentBranch, &cvarTreeRoot) << "creation leaves no branch of its own current";

    const std::vector<std::string> order = {"subdivisions 1", "subdivisions 2", "radius 1", "radius 2", "bevel size",
                                            "type", "scale", "rotation", "position", "raytrace", "voxelize",
                                            "reflect", "shadow cast", "shadow receive", "hidden"};
    EXPECT_EQ(cvarNames(primitive->branch), order);
    const struct {
        Cvar* cvar;
        int32_t type;
        float value[3];
        bool animatable;
    } defaults[] = {
        {&primitive->subdivisions1, CvarType::Int, {10}, false},
        {&primitive->subdivisions2, CvarType::Int, {10}, false},
        {&primitive->radius1, CvarType::Float, {10}, false},
        {&primitive->radius2, CvarType::Float, {10}, false},
        {&primitive->bevelSize, CvarType::Float, {0.01f}, false},
        {&primitive->type, CvarType::Enum, {0}, false},
        {&primitive->scale, CvarType::Vec3, {1, 1, 1}, true},
        {&primitive->rotation, CvarType::Vec3, {0, 0, 0}, true},
        {&primitive->position, CvarType::Vec3, {0, 0, 0}, true},
        {&primitive->raytrace, CvarType::Bool, {0}, false},
        {&primitive->voxelize, CvarType::Bool, {0}, true},
        {&primitive->reflect, CvarType::Bool, {0}, false},
        {&primitive->shadowCast, CvarType::Bool, {1}, true},
        {&primitive->shadowReceive, CvarType::Bool, {1}, true},
        {&primitive->hidden, CvarType::Bool, {0}, true},
    };
    for (const auto& d : defaults) {
        EXPECT_EQ(d.cvar->type, d.type) << d.cvar->name;
        for (int k = 0; k < 3; ++k)
            EXPECT_FLOAT_EQ(d.cvar->value[k], d.value[k]) << d.cvar->name << " " << k;
        EXPECT_EQ(d.cvar->animatable, d.animatable) << d.cvar->name;
    }
    EXPECT_FLOAT_EQ(primitive->radius1.min, 0.01f);
    EXPECT_FLOAT_EQ(primitive->radius1.max, 100.0f);
    EXPECT_EQ(primitive->type.enumOptions, primitiveTypeOptions);

    // The branch, its "materials" child and 16 slot branches, all owned by the component.
    EXPECT_EQ(primitive->branch->owner, primitive);
    ASSERT_EQ(primitive->branch->children.size(), 1u);
    EXPECT_EQ(primitive->branch->children[0], primitive->materialsBranch);
    EXPECT_EQ(primitive->materialsBranch->name, "materials");
    EXPECT_EQ(primitive->materialsBranch->owner, primitive);
    ASSERT_EQ(primitive->slots.size(), 16u);
    ASSERT_EQ(primitive->materialsBranch->children.size(), 16u);
    for (size_t i = 0; i < 16; ++i) {
        CvarTreeNode* slot = primitive->materialsBranch->children[i];
        EXPECT_EQ(slot->name, "Material " + std::to_string(i));
        EXPECT_EQ(slot->owner, primitive);
        EXPECT_EQ(slot->cvars.size(), 23u);
        ASSERT_NE(primitive->slots[i]->material, nullptr);
        EXPECT_EQ(primitive->slots[i]->material->name, "flat");
    }
    EXPECT_NE(primitive->slots[0]->material, primitive->slots[1]->material);

    // Pins: three declared inputs, then the graph's "child"; "obj", then "entity".
    std::vector<std::string> inputs;
    for (InputPin* pin : primitive->inputs)
        inputs.push_back(pin->name);
    EXPECT_EQ(inputs, (std::vector<std::string>{"target obj", "inst", "vm", "child"}));
    EXPECT_EQ(primitive->targetObjPin->acceptedTypes, std::vector<int32_t>{ResourceType::EffectEntity});
    EXPECT_EQ(primitive->instPin->acceptedTypes, std::vector<int32_t>{ResourceType::Instances});
    EXPECT_EQ(primitive->vmPin->acceptedTypes, std::vector<int32_t>{ResourceType::VertexModifier});
    EXPECT_FALSE(primitive->instPin->severalLinks);
    EXPECT_TRUE(primitive->vmPin->severalLinks);
    ASSERT_EQ(primitive->outputs.size(), 2u);
    EXPECT_EQ(primitive->outputs[0]->name, "obj");
    EXPECT_EQ(primitive->outputs[0]->resourceType, ResourceType::Object);
    EXPECT_EQ(primitive->outputs[1], primitive->entityPin);
    auto* payload = resourceCast<FileResource>(primitive->outputs[0]->payload, ResourceType::Object);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(payload->name, "prim/internal/output_obj");
    EXPECT_TRUE(payload->path.empty());
    EXPECT_EQ(payload->GetObject(), primitive->object);

    // The default torus (R = r = 10, 10 segments each way): 11 x 11 vertices, x up to 20, y up to 10 sin 72.
    ASSERT_NE(primitive->object->geometry, nullptr);
    EXPECT_EQ(primitive->object->flags, 7);
    EXPECT_EQ(primitive->object->geometry->vertexCount, 121u);
    EXPECT_NEAR(primitive->object->bounds[3], 20.0f, 1e-3f);
    EXPECT_NEAR(primitive->object->bounds[4], 10.0f * std::sin(72.0 * M_PI / 180.0), 1e-3f);
    EXPECT_EQ(primitive->rebuildCountdown, 1) << "Init arms the injection for the first Execute";
    EXPECT_TRUE(primitive->GetGeometries().empty());
    for (const GeometryExportRecord& record : primitive->exportRecords) {
        EXPECT_EQ(record.exportIndex, 0);
        EXPECT_EQ(record.raytraceFacesBase, -1);
        EXPECT_EQ(record.voxelizeFacesBase, -1);
        EXPECT_EQ(record.facesPerInstance, 0);
    }
}

TEST_F(PrimitiveRendererGL, DoublesidedPlaneShowsOneSlotPerSurface)
{
    primitivefx* primitive = makePrimitive("plane");
    setType(primitive, PRIMITIVE_PLANE_DOUBLESIDED);
    ASSERT_EQ(primitive->object->geometry->surfaces.size(), 2u);
    ASSERT_EQ(primitive->materialsBranch->children.size(), 16u);
    const std::vector<std::string> captions = {"Unnamed", "Unnamed (2)"};
    for (size_t i = 0; i < 16; ++i) {
        const CvarTreeNode* slot = primitive->materialsBranch->children[i];
        const bool shown = i < 2;
        EXPECT_EQ(slot->caption, shown ? captions[i] : std::string()) << i;
        EXPECT_EQ(slot->visible, shown) << i;
        EXPECT_EQ(slot->save, shown) << i;
    }
    // Only the shown slots reach the saved parameters.
    const nlohmann::json saved = CvarTreeToJsonValue(primitive->branch);
    ASSERT_EQ(saved["children"].size(), 1u);
    EXPECT_EQ(saved["children"][0]["children"].size(), 2u);

    // Each surface draws with its own slot's record.
    primitive->slots[0]->diffuse.value[0] = 0.25f;
    primitive->slots[1]->diffuse.value[0] = 0.75f;
    RenderItemBuilder builder;
    primitive->Execute(builder, Timestep{});
    ASSERT_EQ(builder.items.size(), 1u);
    EXPECT_EQ(materialCount, 3);
    EXPECT_EQ(primitive->materialIndex[0], 1);
    EXPECT_EQ(primitive->materialIndex[1], 2);
    EXPECT_FLOAT_EQ(materialTable[1].diffuse[0], 0.25f);
    EXPECT_FLOAT_EQ(materialTable[2].diffuse[0], 0.75f);
    EXPECT_TRUE(materialTable[1].flagBit256 && materialTable[1].flagBit512);
    EXPECT_FALSE(materialTable[1].flagBit2 || materialTable[1].flagBit4 || materialTable[1].flagBit16);
    deferredUpdateMaterials();
    EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_DEFERRED), triangleCount(primitive->object->geometry));

    // Back to one surface: slot 1 is hidden again.
    setType(primitive, PRIMITIVE_PLANE);
    EXPECT_TRUE(primitive->materialsBranch->children[0]->visible);
    EXPECT_FALSE(primitive->materialsBranch->children[1]->visible);
}

TEST_F(PrimitiveRendererGL, ShapeChangesReplaceTheGeometryAndTellConsumers)
{
    primitivefx* primitive = makePrimitive("prim");
    auto* consumer = addComponent<projtest::TestConsumer>("consumer");
    consumer->root = false;
    consumer->input->links = {primitive->outputs[0]->id};

    const Geometry* before = primitive->object->geometry;
    primitive->radius1.value[0] = 2.0f;
    primitive->OnCvarChanged(&primitive->radius1);
    EXPECT_NE(primitive->object->geometry, before);
    EXPECT_NEAR(primitive->object->bounds[3], 12.0f, 1e-3f) << "ring 2 + tube 10";
    EXPECT_EQ(consumer->inputChanges, std::vector<int32_t>{consumer->input->id});
    auto* payload = resourceCast<FileResource>(primitive->outputs[0]->payload, ResourceType::Object);
    EXPECT_EQ(payload->GetObject()->geometry, primitive->object->geometry);

    // "scale" is the render item's business only.
    const Geometry* kept = primitive->object->geometry;
    primitive->scale.value[0] = 3.0f;
    primitive->position.value[1] = 5.0f;
    primitive->rotation.value[1] = 90.0f;
    primitive->OnCvarChanged(&primitive->scale);
    EXPECT_EQ(primitive->object->geometry, kept);
    EXPECT_EQ(consumer->inputChanges.size(), 1u);
    RenderItemBuilder builder;
    primitive->Execute(builder, Timestep{});
    ASSERT_EQ(builder.items.size(), 1u);
    EXPECT_EQ(builder.items[0].owner, primitive);
    // T x Ry(90) x S: x is scaled by 3, then turned onto -z.
    const Vector3 p = builder.items[0].model.TransformPoint({1, 0, 0});
    EXPECT_NEAR(p.x, 0.0f, 1e-5f);
    EXPECT_NEAR(p.y, 5.0f, 1e-5f);
    EXPECT_NEAR(p.z, -3.0f, 1e-5f);

    // A shape too large to build leaves no geometry: nothing is drawn, nothing crashes.
    primitive->subdivisions1.value[0] = 1e9f;
    primitive->subdivisions2.value[0] = 1e9f;
    primitive->OnCvarChanged(&primitive->subdivisions1);
    EXPECT_EQ(primitive->object->geometry, nullptr);
    RenderItemBuilder none;
    primitive->Execute(none, Timestep{});
    EXPECT_TRUE(none.items.empty());
    EXPECT_EQ(primitivesDrawn(primitive, &camera, Renderer::PASS_DEFERRED), 0u);
}

TEST_F(PrimitiveRendererGL, WithoutParentNothingIsAddedOrCounted)
{
    primitivefx* primitive = makePrimitive("orphan", false);
    RenderItemBuilder builder;
    for (int i = 0; i < 3; ++i)
        primitive->Execute(builder, Timestep{});
    EXPECT_TRUE(builder.items.empty());
    EXPECT_EQ(materialCount, 1);
    EXPECT_EQ(primitive->rebuildCountdown, 1) << "the injection waits for a parent";

    // Held by a Null, the same component draws.
    auto* holder = make<nullcomponent>(9, "holder");
    holder->childPin->links = {primitive->entityPin->id};
    primitive->Execute(builder, Timestep{});
    EXPECT_EQ(builder.items.size(), 1u);
    EXPECT_EQ(materialCount, 2);
    EXPECT_EQ(primitive->rebuildCountdown, 0);
}

TEST_F(PrimitiveRendererGL, VertexModifierLinkRebuildsAfterFiftyExecutes)
{
    primitivefx* primitive = makePrimitive("prim");
    RenderItemBuilder builder;
    primitive->Execute(builder, Timestep{});
    ASSERT_EQ(primitive->rebuildCountdown, 0);

    primitive->vmPin->links.push_back(12345);
    primitive->OnInputConnected(primitive->vmPin->id);
    EXPECT_NE(events.text.find("Rebuild program initiated\n"), std::string::npos);
    EXPECT_EQ(primitive->rebuildCountdown, 50);
    for (int i = 1; i <= 50; ++i) {
        primitive->Execute(builder, Timestep{});
        ASSERT_EQ(primitive->rebuildCountdown, 50 - i) << "execute " << i;
    }
    EXPECT_TRUE(primitive->vertexModifierBuffers.empty());

    // Other pins arm nothing; a slot's shader edit does, and reaches the slot's material.
    primitive->OnInputChanged(primitive->instPin->id);
    EXPECT_EQ(primitive->rebuildCountdown, 0);
    MaterialCvarBlock& slot = *primitive->slots[0];
    slot.shader.text = "// edited\n";
    primitive->OnCvarChanged(&slot.shader);
    EXPECT_EQ(primitive->rebuildCountdown, 50);
    EXPECT_EQ(slot.material->overrideSources[0], "// edited\n");
    EXPECT_EQ(primitive->slots[1]->material->overrideSources[0], materialShaderTemplate);
}

TEST_F(PrimitiveRendererGL, ShadowCastControlsTheShadowPassOnly)
{
    primitivefx* primitive = makePrimitive("prim");
    setType(primitive, PRIMITIVE_CUBE_SPLIT_FACES);
    std::unique_ptr<Light> light(entCreateLightSpot(60.0f, false, 0, 0));
    light->aspect = 1.0f;
    deferredscene::placeLight(light.get(), {0, 0, -30}, {0, 0, 0});
    const GLuint triangles = triangleCount(primitive->object->geometry);

    const struct {
        float shadowCast;
        GLuint shadow;
        GLuint deferred;
    } cases[] = {{1.0f, triangles, triangles}, {0.0f, 0, triangles}, {0.4f, 0, triangles}};
    for (const auto& c : cases) {
        primitive->shadowCast.value[0] = c.shadowCast;
        RenderItemBuilder builder;
        resetMaterialTable();
        primitive->Execute(builder, Timestep{});
        deferredUpdateMaterials();
        EXPECT_EQ(materialTable[primitive->materialIndex[0]].flagBit256, c.shadowCast > 0.5f);
        EXPECT_EQ(drawnInGBuffer(primitive, light.get(), Renderer::PASS_SHADOWMAP), c.shadow) << c.shadowCast;
        EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_DEFERRED), c.deferred) << c.shadowCast;
    }
    // Passes that draw no items draw nothing here either.
    EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_ALPHA), 0u);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

TEST_F(PrimitiveRendererGL, TransformParamsLayout)
{
    Camera viewer;
    deferredscene::placeCamera(viewer, {1.0f, 2.0f, 3.0f}, {10.0f, 30.0f, 0.0f}, 1.5f);
    const float position[3] = {5, -1, 2};
    const float rotation[3] = {20, 45, 60};
    const Matrix model = composeTransform(position, rotation, 2.0f, 3.0f, 0.5f);

    const TransformParams t = transformParamsFor(viewer, model);
    unsigned char bytes[464];
    static_assert(sizeof bytes == sizeof t);
    std::memcpy(bytes, &t, sizeof t);

    const Matrix vm = model.Multiply(viewer.view); // V x M
    Matrix rigid;                                   // rotation part transposed, translation -R^T t
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            rigid.m[r * 4 + c] = vm.m[c * 4 + r];
        rigid.m[r * 4 + 3] = -(vm.m[r] * vm.m[3] + vm.m[4 + r] * vm.m[7] + vm.m[8 + r] * vm.m[11]);
    }
    const struct {
        size_t offset;
        Matrix expected;
        const char* what;
    } table[] = {
        {0, model, "model"},
        {64, viewer.view, "view"},
        {128, model.InverseAffine().Transposed(), "inverse model, transposed"},
        {192, vm, "view x model"},
        {256, rigid.Transposed(), "rigid inverse of view x model, transposed"},
        {320, viewer.projection, "projection"},
        {384, model.InverseAffine(), "inverse model"},
    };
    for (const auto& row : table) {
        float got[16];
        std::memcpy(got, bytes + row.offset, sizeof got);
        for (int k = 0; k < 16; ++k)
            EXPECT_NEAR(got[k], row.expected.m[k], 1e-5f) << row.what << " element " << k;
    }
    float eye[4];
    std::memcpy(eye, bytes + 448, sizeof eye);
    EXPECT_EQ(eye[0], 1.0f);
    EXPECT_EQ(eye[1], 2.0f);
    EXPECT_EQ(eye[2], 3.0f);
    EXPECT_EQ(eye[3], 0.0f);
    // The view is rigid: its rigid inverse undoes it.
    const Matrix undone = rigidInverse(viewer.view).Multiply(viewer.view);
    for (int k = 0; k < 16; ++k)
        EXPECT_NEAR(undone.m[k], Matrix().m[k], 1e-5f) << k;
}

TEST_F(PrimitiveRendererGL, GraphRendersALitCube)
{
    const LitCube scene = makeLitCube();
    scene.cube->slots[0]->diffuse.value[1] = 0.2f; // magenta
    while (glGetError() != GL_NO_ERROR) {
    }

    const int w = deferredtest::kWidth, h = deferredtest::kHeight;
    std::vector<float> pixels;
    auto brightness = [&](int x0, int y0, int size) {
        double sum = 0.0;
        for (int y = y0; y < y0 + size; ++y)
            for (int x = x0; x < x0 + size; ++x) {
                const float* p = &pixels[(size_t(y) * w + x) * 4];
                sum += p[0] + p[1] + p[2];
            }
        return sum / (size * size);
    };
    bool lit = false;
    for (int frame = 0; frame < 3 && !lit; ++frame) {
        pixels = renderFrame(scene, frame);
        ASSERT_FALSE(pixels.empty());
        EXPECT_EQ(glGetError(), GL_NO_ERROR) << "frame " << frame;
        const double middle = brightness(w / 2 - 8, h / 2 - 8, 16);
        const double corner = std::max(brightness(0, 0, 16), brightness(w - 16, h - 16, 16));
        lit = middle > corner + 0.05;
    }
    EXPECT_TRUE(lit);
    EXPECT_EQ(fbStackTop, 0);
    EXPECT_EQ(scene.cube->rebuildCountdown, 0);
    bool cubeEntry = false;
    for (const std::string& line : graphPassLog)
        cubeEntry = cubeEntry || line.rfind("RPI:cube / Deferred", 0) == 0;
    EXPECT_TRUE(cubeEntry);
    // The cube's material is magenta: the middle shows more red than green.
    const float* centre = &pixels[(size_t(h / 2) * w + w / 2) * 4];
    EXPECT_GT(centre[0], centre[1]);
}

// A generated texture as the cube's albedo: the first frame already shows the generator's pink (red, half blue,
// no green) on the lit cube, not the texture's empty contents.
TEST_F(PrimitiveRendererGL, GeneratedAlbedoTextureShowsFromTheFirstFrame)
{
    const LitCube scene = makeLitCube();
    auto* generator = make<texgencustomfx>(45, "pattern");
    generator->Init();
    scene.cube->slots[0]->albedoTexture.text = generator->exported.Name();
    while (glGetError() != GL_NO_ERROR) {
    }

    const std::vector<float> pixels = renderFrame(scene, 0);
    ASSERT_FALSE(pixels.empty());
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    const int w = deferredtest::kWidth, h = deferredtest::kHeight;
    double rgb[3] = {};
    for (int y = h / 2 - 8; y < h / 2 + 8; ++y)
        for (int x = w / 2 - 8; x < w / 2 + 8; ++x)
            for (int k = 0; k < 3; ++k)
                rgb[k] += pixels[(size_t(y) * w + x) * 4 + k] / 256.0;
    EXPECT_GT(rgb[0], 0.05) << "lit, not black";
    EXPECT_LT(rgb[1], 0.1 * rgb[0]) << "no green in the texture";
    EXPECT_GT(rgb[2], 2.0 * rgb[1] + 0.01) << "blue from the texture";
    EXPECT_LT(rgb[2], rgb[0]);
}

TEST_F(PrimitiveRendererGL, InstanceLinkTakesOnlyInstanceSets)
{
    primitivefx* primitive = makePrimitive("prim");
    setType(primitive, PRIMITIVE_PLANE);
    RenderItemBuilder builder;
    primitive->Execute(builder, Timestep{});
    const GLuint triangles = triangleCount(primitive->object->geometry);

    // A value output linked by hand: ignored with one log line, drawn once without instances.
    auto* value = addComponent<projtest::TestProducer>("value");
    primitive->instPin->links = {value->output->id};
    LogCapture log;
    EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_DEFERRED), triangles);
    EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_DEFERRED), triangles);
    EXPECT_EQ(log.count("not instances"), 1) << log.text();

    // A real set draws every instance; one whose count outgrew its buffers draws nothing.
    struct Producer : projtest::TestComponentBase {
        explicit Producer(const std::string& n) : TestComponentBase(26, n)
        {
            AddOutput("inst", ResourceType::Instances)->payload = &payload;
        }
        ~Producer() override { delete payload.set; }
        InstancesResource payload{"producer/internal", InstanceBuffers::Create(3)};
    };
    auto* producer = addComponent<Producer>("producer");
    ASSERT_NE(producer->payload.set, nullptr);
    primitive->instPin->links = {producer->outputs[0]->id};
    EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_DEFERRED), 3 * triangles);
    producer->payload.set->count = 4;
    EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_DEFERRED), 0u);
    EXPECT_TRUE(log.contains("capacity 3")) << log.text();
    producer->payload.set->count = 0;
    EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_DEFERRED), 0u);
}

TEST_F(PrimitiveRendererGL, FullMaterialTableAndManySurfacesStayInBounds)
{
    primitivefx* primitive = makePrimitive("prim");
    setType(primitive, PRIMITIVE_PLANE_DOUBLESIDED);
    for (int i = 1; i < kMaterialTableSize; ++i)
        ASSERT_EQ(materialTableAppend(MaterialProperties{}), i);
    LogCapture log;
    RenderItemBuilder builder;
    primitive->Execute(builder, Timestep{});
    EXPECT_EQ(materialCount, kMaterialTableSize);
    EXPECT_EQ(primitive->materialIndex[0], 0) << "no row left: the default row";
    EXPECT_EQ(primitive->materialIndex[1], 0);
    EXPECT_EQ(log.count("Material table full"), 1);
    deferredUpdateMaterials();
    const GLuint triangles = triangleCount(primitive->object->geometry);
    EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_DEFERRED), triangles);

    // 40 surfaces: the first 32 get rows and draws, the rest neither.
    std::vector<VertexAttribute> attributes;
    for (int code : {VERTEX_ATTRIBUTE_COORDS, VERTEX_ATTRIBUTE_NORMALS, VERTEX_ATTRIBUTE_ALBEDO, VERTEX_ATTRIBUTE_UV0})
        attributes.push_back(builtinVertexAttributes[code]);
    Geometry* many = geomCreate(3, 40, attributes);
    ASSERT_NE(many, nullptr);
    auto* coords = reinterpret_cast<float*>(many->FindAttributeBuffer("VTXCoords")->hostCopy);
    const float triangle[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    std::copy(triangle, triangle + 9, coords);
    for (GeometrySurface* surface : many->surfaces)
        ASSERT_TRUE(geomSurfaceAppendTriangle(surface, 0, 1, 2));
    primitive->ReplaceGeometry(many);
    EXPECT_EQ(primitive->slots.size(), size_t(kPrimitiveMaxSurfaces));
    EXPECT_TRUE(primitive->materialsBranch->children[31]->visible);
    EXPECT_EQ(primitive->materialsBranch->children[31]->caption, many->surfaces[31]->name);

    resetMaterialTable();
    primitive->Execute(builder, Timestep{});
    EXPECT_EQ(materialCount, 1 + kPrimitiveMaxSurfaces);
    EXPECT_EQ(primitive->materialIndex[31], kPrimitiveMaxSurfaces);
    EXPECT_TRUE(log.contains("only the first 32 are drawn")) << log.text();
    deferredUpdateMaterials();
    EXPECT_EQ(drawnInGBuffer(primitive, &camera, Renderer::PASS_DEFERRED), GLuint(kPrimitiveMaxSurfaces));

    // The Geometry pass registers the selected bounds and, with nothing exported, every record stays unset.
    primitive->selected = true;
    const Matrix world = Matrix::Translation(0, 1, 0);
    primitive->Render(&camera, &world, Renderer::PASS_GEOMETRY, Timestep{});
    ASSERT_EQ(selectedBoundsMap.count(uint32_t(primitive->id)), 1u);
    EXPECT_EQ(selectedBoundsMap[uint32_t(primitive->id)].world.m[7], 1.0f);
    EXPECT_EQ(selectedBoundsMap[uint32_t(primitive->id)].box[3], 1.0f);
    selectedBoundsMap.clear();
    // With a frame scene (a stand-in that is never read) and no export flag set, nothing is exported and the
    // records of an earlier frame are reset.
    alignas(16) static unsigned char standIn[64];
    currentRaytraceScene = reinterpret_cast<RaytraceSceneBuffers*>(standIn);
    for (Cvar* flag : {&primitive->raytrace, &primitive->voxelize, &primitive->reflect})
        flag->value[0] = 0.0f;
    primitive->exportRecords[3].raytraceFacesBase = 7; // left over from an earlier frame
    primitive->Render(&camera, &world, Renderer::PASS_GEOMETRY, Timestep{});
    currentRaytraceScene = nullptr;
    EXPECT_TRUE(primitive->GetGeometries().empty());
    EXPECT_EQ(primitive->exportRecords[3].raytraceFacesBase, -1);
}

TEST_F(PrimitiveRendererGL, SavedGraphLoadsTheSameShape)
{
    auto* holder = make<nullcomponent>(9, "holder");
    primitivefx* cube = makePrimitive("cube", false);
    holder->ConnectInput("child", cube->entityPin->id);
    setType(cube, PRIMITIVE_CUBE);
    cube->radius1.value[0] = 0.5f;
    cube->OnCvarChanged(&cube->radius1);
    cube->slots[0]->diffuse.value[1] = 0.0f;

    testutil::TempDir dir("primfx");
    ASSERT_TRUE(GraphManager::Save(dir.str() + "graph.json"));
    std::ifstream in(dir.path() / "graph.json");
    const nlohmann::json saved = nlohmann::json::parse(in);
    const nlohmann::json& entry = saved["components"][1];
    EXPECT_EQ(entry["type"], "Primitive");
    EXPECT_EQ(entry["variables"]["branch_name"], "cube");
    EXPECT_EQ(entry["variables"]["children"][0]["branch_name"], "materials");
    EXPECT_EQ(entry["variables"]["children"][0]["children"].size(), 1u) << "one surface, one saved slot";

    project.reset(); // before the next one saves the current project
    project = std::make_unique<ScopedProject>();
    dataSetBasePath(dir.str());
    const bool loaded = GraphManager::Load("graph.json");
    dataSetBasePath(deferredtest::kAssets);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(currentComponents->size(), 2u);
    auto* again = dynamic_cast<primitivefx*>((*currentComponents)[1]);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->type.value[0], float(PRIMITIVE_CUBE));
    EXPECT_NEAR(again->object->bounds[3], 0.5f, 1e-5f) << "Init built the stored shape";
    EXPECT_EQ(again->slots[0]->diffuse.value[1], 0.0f);
    EXPECT_EQ(again->GetParent(), (*currentComponents)[0]);
    EXPECT_EQ(again->rebuildCountdown, 1);
}
