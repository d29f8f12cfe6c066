// The mesh renderer: its table row and parameters, slots that follow the mesh's surfaces, drawing a stored mesh
// through whole frames (skinned by "animation time"), and the glTF scene import that creates renderers.
#include "components/mesh_renderer.h"

#include "components/camera_component.h"
#include "components/light_component.h"
#include "components/scene_player.h"
#include "components/transform_components.h"
#include "deferred_test_scene.h"
#include "jni/engine/grd_geometry.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project_test_util.h"
#include "render/animation.h"
#include "render/entities.h"
#include "render/mesh_import.h"
#include "render/render_graph.h"
#include "renderer_fixture.h"
#include "test_helpers.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using projtest::ScopedProject;

namespace {

class MeshRendererGL : public RendererGLTest {
protected:
    MeshRendererGL() : RendererGLTest(size_t(1) << 24) {}
    std::unique_ptr<ScopedProject> project;

    void SetUp() override
    {
        RendererGLTest::SetUp();
        project = std::make_unique<ScopedProject>();
    }
    void TearDown() override
    {
        project.reset();
        // The store's records do not own their objects; imported ones stay with the importer.
        for (Object* object : owned_) {
            geomDelete(object->geometry);
            delete object;
        }
        RendererGLTest::TearDown();
    }

    template <typename T>
    T* make(int row, const std::string& name)
    {
        EngineComponent* component = componentTypeTable[row].factory(name);
        component->CreateChildPin();
        component->CreateEntityPin();
        currentComponents->push_back(component);
        return static_cast<T*>(component);
    }

    // A stored object resource of `surfaces` one-triangle surfaces.
    Object* storeMesh(const std::string& name, uint32_t surfaces)
    {
        // A geometry holds at most GEOMETRY_MAX_SURFACES; more are appended by hand, as a broken loader might.
        const uint32_t made = std::min<uint32_t>(surfaces, GEOMETRY_MAX_SURFACES);
        Object* object = entCreateObject(3 * surfaces, made, {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS],
                                                                  builtinVertexAttributes[VERTEX_ATTRIBUTE_NORMALS]});
        EXPECT_NE(object, nullptr);
        for (uint32_t s = made; s < surfaces; ++s)
            object->geometry->surfaces.push_back(new GeometrySurface);
        for (uint32_t s = 0; s < surfaces; ++s) {
            object->geometry->surfaces[s]->name = "surface " + std::to_string(s);
            object->geometry->surfaces[s]->color[0] = 0.25f;
            object->geometry->surfaces[s]->metalness = 0.75f;
            geomSurfaceAppendTriangle(object->geometry->surfaces[s], 3 * s, 3 * s + 1, 3 * s + 2);
        }
        project->store.add_object(name, object);
        owned_.push_back(object);
        return object;
    }

private:
    std::vector<Object*> owned_;
};

std::vector<std::string> cvarNames(const CvarTreeNode* node)
{
    std::vector<std::string> names;
    for (const Cvar* cvar : node->cvars)
        names.push_back(cvar->name);
    return names;
}

TEST_F(MeshRendererGL, RowParametersAndPins)
{
    EXPECT_EQ(componentTypeTable[1].factory, &meshrendererfx::Create);
    auto* mesh = make<meshrendererfx>(1, "mesh");
    EXPECT_EQ(mesh->GetTypeName(), "Meshrenderer");
    EXPECT_EQ(cvarNames(mesh->GetCvarTree()),
              (std::vector<std::string>{"scale", "rotation", "position", "raytrace", "voxelize", "reflect",
                                        "shadow cast", "shadow receive", "hidden", "animation time", "object"}));
    std::vector<std::string> pins;
    for (const InputPin* pin : mesh->declaredInputs)
        pins.push_back(pin->name);
    EXPECT_EQ(pins, (std::vector<std::string>{"obj", "target obj", "inst", "vm"}));
    EXPECT_TRUE(mesh->vmPin->severalLinks);
    EXPECT_EQ(mesh->slots.size(), size_t(kMeshInitialSlots));
    EXPECT_TRUE(mesh->IsDependencyOnly());
}

TEST_F(MeshRendererGL, SlotsFollowTheSurfacesAndStopAtTheTableSize)
{
    struct Case {
        uint32_t surfaces;
        size_t slots;
    } cases[] = {{2, 4}, {6, 6}, {300, 256}};
    for (const Case& c : cases) {
        const std::string name = "mesh" + std::to_string(c.surfaces);
        storeMesh(name, c.surfaces);
        auto* mesh = make<meshrendererfx>(1, "r" + name);
        const Cvar* first = &mesh->slots[0]->diffuse;
        mesh->objectName.text = name;
        mesh->OnCvarChanged(&mesh->objectName);
        ASSERT_NE(mesh->object, nullptr) << c.surfaces;
        EXPECT_EQ(mesh->slots.size(), c.slots) << c.surfaces;
        // Growing never moved the registered cvars.
        EXPECT_EQ(&mesh->slots[0]->diffuse, first);
        EXPECT_FLOAT_EQ(mesh->slots[1]->diffuse.value[0], 0.25f);
        EXPECT_FLOAT_EQ(mesh->slots[1]->metalness.value[0], 0.75f);
        // Every frame stays inside the per-surface tables.
        RenderItemBuilder builder;
        mesh->Execute(builder, Timestep{});
        resetMaterialTable();
    }
}

TEST_F(MeshRendererGL, ObjLinkTakesPrecedenceOverTheResourceName)
{
    storeMesh("stored", 1);
    Object* linked = storeMesh("linked", 3);
    auto* mesh = make<meshrendererfx>(1, "mesh");
    mesh->objectName.text = "stored";
    mesh->OnCvarChanged(&mesh->objectName);
    EXPECT_EQ(mesh->object->geometry->surfaces.size(), 1u);

    auto* source = make<meshrendererfx>(1, "source");
    OutputPin* out = source->AddOutput("obj", ResourceType::Object);
    FileResource payload(ResourceType::Object, "payload", linked);
    out->payload = &payload;
    mesh->objPin->links = {out->id};
    mesh->OnInputChanged(mesh->objPin->id);
    EXPECT_EQ(mesh->object, linked);
    // A name change is ignored while the link is there.
    mesh->objectName.text = "stored";
    mesh->OnCvarChanged(&mesh->objectName);
    EXPECT_EQ(mesh->object, linked);
    out->payload = nullptr;
}

// The walker through whole frames: drawn, and its bend follows "animation time".
TEST_F(MeshRendererGL, GraphDrawsTheSkinnedWalker)
{
    ASSERT_TRUE(graph_load_scene_resources("models/walker/walker.gltf"));
    auto* player = make<sceneplayerfx>(0, "player");
    auto* light = make<lightcomponent>(6, "light");
    auto* cam = make<camerafx>(8, "camera");
    auto* holder = make<nullcomponent>(9, "holder");
    auto* mesh = make<meshrendererfx>(1, "walker");
    player->ConnectInput("fx", light->outputs[0]->id);
    player->ConnectInput("cmr", cam->outputs[0]->id);
    player->ConnectInput("child", holder->entityPin->id);
    holder->ConnectInput("child", mesh->entityPin->id);
    mesh->objectName.text = "walker.gltf/mesh/0/tube";
    mesh->position.value[1] = -2.0f;
    light->position.value[1] = 4.0f;
    light->position.value[2] = -6.0f;
    for (int i = 0; i < 4; ++i)
        light->color.value[i] = 1.0f;
    light->intensity.value[0] = 1.0f;
    light->OnCvarChanged(&light->position);
    light->OnCvarChanged(&light->color);
    cam->position.value[2] = -8.0f;
    cam->OnCvarChanged(&cam->position);
    for (EngineComponent* c : *currentComponents)
        c->ResolveInputs();
    for (EngineComponent* c : *currentComponents)
        c->Init();
    player->cameraIdx.value[0] = 1.0f;
    player->controller->detached.value[0] = 0.0f;
    player->taaBlendFactor.value[0] = 1.0f;
    ASSERT_NE(mesh->object, nullptr);
    while (glGetError() != GL_NO_ERROR) {
    }

    const int w = deferredtest::kWidth, h = deferredtest::kHeight;
    auto frame = [&](float animationTime) {
        mesh->animationTime.value[0] = animationTime;
        std::vector<float> pixels(size_t(w) * h * 4);
        for (int i = 0; i < 2; ++i)
            Renderer::RenderGraph(Timestep{0.0f, 1.0f / 60.0f, false});
        Texture* image = player->imageOutput->texture;
        EXPECT_TRUE(image && image->glId);
        if (image)
            glGetTextureImage(image->glId, 0, GL_RGBA, GL_FLOAT, GLsizei(pixels.size() * 4), pixels.data());
        return pixels;
    };
    // Rest pose at time 0; at 50 (half a second) the spine bends 0.6 rad towards -x.
    const std::vector<float> rest = frame(0.0f);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    auto lit = [&](const std::vector<float>& p, int x, int y) {
        const float* px = &p[(size_t(y) * w + x) * 4];
        return px[0] + px[1] + px[2];
    };
    const float background = lit(rest, 4, 4);
    EXPECT_GT(lit(rest, w / 2, h / 2), background + 0.05f);
    const std::vector<float> bent = frame(50.0f);
    size_t changed = 0;
    for (size_t i = 0; i < rest.size(); i += 4)
        changed += std::fabs(rest[i] - bent[i]) > 0.05f;
    EXPECT_GT(changed, 200u);
    EXPECT_EQ(fbStackTop, 0);
}

TEST_F(MeshRendererGL, SceneImportCreatesAGroupAndRenderersDepthFirst)
{
    const std::string dir = testutil::TempDir("scene_import").str();
    // Three mesh nodes, nested two levels deep under a node without mesh.
    std::vector<float> triangle = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    std::string bytes(reinterpret_cast<const char*>(triangle.data()), 36);
    testutil::writeFile(dir + "nest/tri.bin", bytes);
    testutil::writeFile(dir + "nest/nest.gltf", R"({
      "asset": {"version": "2.0"},
      "scene": 0,
      "scenes": [{"name": "nest", "nodes": [0]}],
      "nodes": [
        {"name": "top", "children": [1, 3]},
        {"name": "a", "mesh": 0, "children": [2], "translation": [1, 2, 3]},
        {"name": "b", "mesh": 1, "rotation": [0, 0.7071068, 0, 0.7071068]},
        {"name": "c", "mesh": 2, "scale": [2, 2, 2]}
      ],
      "meshes": [
        {"name": "first", "primitives": [{"attributes": {"POSITION": 0}}]},
        {"name": "second", "primitives": [{"attributes": {"POSITION": 0}}]},
        {"name": "third", "primitives": [{"attributes": {"POSITION": 0}}]}
      ],
      "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3"}],
      "bufferViews": [{"buffer": 0, "byteLength": 36}],
      "buffers": [{"uri": "tri.bin", "byteLength": 36}]
    })");
    dataSetBasePath(dir);
    ASSERT_TRUE(graph_load_scene("nest/nest.gltf"));
    ASSERT_EQ(currentComponents->size(), 4u);
    EngineComponent* group = (*currentComponents)[0];
    EXPECT_EQ(group->GetTypeName(), "SceneGroup");
    EXPECT_EQ(group->name, "nest");
    std::vector<std::string> names;
    for (size_t i = 1; i < 4; ++i) {
        auto* mesh = dynamic_cast<meshrendererfx*>((*currentComponents)[i]);
        ASSERT_NE(mesh, nullptr);
        names.push_back(mesh->name);
        EXPECT_EQ(mesh->parent_id, group->id);
        EXPECT_NE(mesh->object, nullptr);
        EXPECT_FLOAT_EQ(mesh->y, group->y + 75.0f * float(i));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(group->childPin->links.size(), 3u);
    auto* a = static_cast<meshrendererfx*>((*currentComponents)[1]);
    auto* b = static_cast<meshrendererfx*>((*currentComponents)[2]);
    auto* c = static_cast<meshrendererfx*>((*currentComponents)[3]);
    EXPECT_FLOAT_EQ(a->position.value[2], 3.0f);
    // 90 degrees about y, in the engine's Euler order.
    EXPECT_NEAR(b->rotation.value[1], 90.0f, 1e-3f);
    EXPECT_NEAR(b->rotation.value[0], 0.0f, 1e-3f);
    EXPECT_FLOAT_EQ(c->scale.value[0], 2.0f);
    // A refused file adds nothing.
    testutil::writeFile(dir + "bad.gltf", "{\"asset\": {\"version\": \"2.0\"}, \"nodes\": [{\"children\": [0]}]}");
    EXPECT_FALSE(graph_load_scene("bad.gltf"));
    EXPECT_EQ(currentComponents->size(), 4u);
}

} // namespace
