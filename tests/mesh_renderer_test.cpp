// The mesh renderer: its table row and parameters, slots that follow the mesh's surfaces (and keep saved values),
// drawing a stored mesh through whole frames (skinned by "animation time"), double-sided and indirect draws, the
// export of its surfaces for the raytracer, and the glTF scene import that creates renderers.
#include "components/mesh_renderer.h"

#include "components/camera_component.h"
#include "components/light_component.h"
#include "components/raytracer.h"
#include "components/scene_player.h"
#include "components/transform_components.h"
#include "deferred_scene_util.h"
#include "deferred_test_scene.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_indirect.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "pass_readback.h"
#include "project_test_util.h"
#include "render/animation.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/mesh_import.h"
#include "render/render_graph.h"
#include "renderer_fixture.h"
#include "test_helpers.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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
        currentRaytraceScene = nullptr;
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

    // A stored object resource: the positions, normals toward -z, and one surface per index list.
    Object* storeTriangles(const std::string& name, const std::vector<float>& xyz,
                           const std::vector<std::vector<uint32_t>>& surfaceIndices)
    {
        const auto vertices = uint32_t(xyz.size() / 3);
        Object* object = entCreateObject(vertices, uint32_t(surfaceIndices.size()),
                                         {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS],
                                          builtinVertexAttributes[VERTEX_ATTRIBUTE_NORMALS]});
        EXPECT_NE(object, nullptr);
        if (!object)
            return nullptr;
        Geometry* g = object->geometry;
        std::copy(xyz.begin(), xyz.end(), reinterpret_cast<float*>(g->FindAttributeBuffer("VTXCoords")->hostCopy));
        auto* normals = reinterpret_cast<float*>(g->FindAttributeBuffer("VTXNormals")->hostCopy);
        for (uint32_t v = 0; v < vertices; ++v)
            normals[3 * v + 2] = -1.0f;
        for (size_t s = 0; s < surfaceIndices.size(); ++s)
            for (size_t i = 0; i + 2 < surfaceIndices[s].size(); i += 3)
                geomSurfaceAppendTriangle(g->surfaces[s], surfaceIndices[s][i], surfaceIndices[s][i + 1],
                                          surfaceIndices[s][i + 2]);
        project->store.add_object(name, object);
        owned_.push_back(object);
        return object;
    }

    // A renderer of the stored object `name`.
    meshrendererfx* rendererOf(const std::string& name)
    {
        auto* mesh = make<meshrendererfx>(1, "renderer of " + name);
        mesh->objectName.text = name;
        mesh->OnCvarChanged(&mesh->objectName);
        EXPECT_NE(mesh->object, nullptr) << name;
        return mesh;
    }

    // This frame's material rows of the renderer, uploaded as the frame does before its passes.
    static void executeFrame(meshrendererfx* mesh)
    {
        resetMaterialTable();
        RenderItemBuilder builder;
        mesh->Execute(builder, Timestep{});
        deferredUpdateMaterials();
    }

    // The alpha the renderer's Deferred pass leaves in a 64 x 64 target (1 where drawn).
    static std::vector<float> drawnAlpha(meshrendererfx* mesh)
    {
        return passreadback::deferredAlpha([mesh](Camera* camera, const Matrix* world) {
            mesh->Render(camera, world, Renderer::PASS_DEFERRED, Timestep{});
        });
    }

    // The frame's scene buffers with nothing exported yet, as the graph rendering starts them.
    RaytraceSceneBuffers* frameScene()
    {
        auto* raytracer = make<raytracerfx>(4, "Raytracer");
        EXPECT_NE(raytracer, nullptr);
        if (!raytracer)
            return nullptr;
        raytracer->Init();
        if (!raytracer->AcquireSceneBuffers())
            return nullptr;
        RaytraceSceneBuffers* scene = raytracer->sceneBuffers;
        scene->raytraceFaceCount = scene->voxelizeFaceCount = scene->exportedObjectCount = 0;
        currentRaytraceScene = scene;
        return scene;
    }

private:
    std::vector<Object*> owned_;
};

using passreadback::alphaAt;

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

TEST_F(MeshRendererGL, SavedSlotValuesPastTheInitialSlotsSurviveALoad)
{
    storeMesh("six", 6);
    meshrendererfx* mesh = rendererOf("six");
    ASSERT_EQ(mesh->slots.size(), 6u);
    // Slot 1 exists from creation; slots 4 and 5 are made only once the loaded name finds the mesh.
    struct Case {
        size_t slot;
        Cvar MaterialCvarBlock::*cvar;
        int component;
        float value;
    } cases[] = {
        {1, &MaterialCvarBlock::roughness, 0, 0.125f},
        {4, &MaterialCvarBlock::diffuse, 1, 0.0625f},
        {5, &MaterialCvarBlock::roughness, 0, 0.875f},
        {5, &MaterialCvarBlock::doublesided, 0, 1.0f},
    };
    for (const Case& c : cases)
        ((*mesh->slots[c.slot]).*c.cvar).value[c.component] = c.value;

    testutil::TempDir dir("mesh_slots");
    ASSERT_TRUE(GraphManager::Save(dir.str() + "graph.json"));
    project.reset(); // before the next one saves the current project
    project = std::make_unique<ScopedProject>();
    storeMesh("six", 6);
    dataSetBasePath(dir.str());
    const bool loaded = GraphManager::Load("graph.json");
    dataSetBasePath(deferredtest::kAssets);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(currentComponents->size(), 1u);
    auto* again = dynamic_cast<meshrendererfx*>((*currentComponents)[0]);
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(again->slots.size(), 6u);
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(((*again->slots[c.slot]).*c.cvar).value[c.component], c.value) << "slot " << c.slot;
    // A slot the project did not touch still has the defaults.
    EXPECT_FLOAT_EQ(again->slots[4]->roughness.value[0], 0.5f);
}

// Under the pass's culling one winding of a triangle is culled; a double-sided slot draws both, and the pass's
// culling is back for the next surface.
TEST_F(MeshRendererGL, DoubleSidedSlotsDrawBackFacesOthersAreCulled)
{
    const std::vector<float> xyz = {-1, -1, 0, 1, -1, 0, 0, 1, 0};
    storeTriangles("ccw", xyz, {{0, 1, 2}});
    storeTriangles("cw", xyz, {{0, 2, 1}});
    meshrendererfx* windings[2] = {rendererOf("ccw"), rendererOf("cw")};
    struct Case {
        int winding;
        bool doubleSided;
    } cases[] = {{0, true}, {1, true}, {0, false}, {1, false}};
    bool drawn[2][2] = {};
    for (const Case& c : cases) {
        meshrendererfx* mesh = windings[c.winding];
        mesh->slots[0]->doublesided.value[0] = c.doubleSided ? 1.0f : 0.0f;
        executeFrame(mesh);
        ASSERT_EQ(mesh->doubleSided[0], c.doubleSided);
        drawn[c.winding][c.doubleSided] = alphaAt(drawnAlpha(mesh), 32, 32) > 0.5f;
        EXPECT_TRUE(glIsEnabled(GL_CULL_FACE)) << "culling restored after winding " << c.winding;
    }
    EXPECT_TRUE(drawn[0][1] && drawn[1][1]);
    EXPECT_NE(drawn[0][0], drawn[1][0]) << "exactly one winding faces the camera";
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// With a command buffer the surface draws what its command says, not its whole index list.
TEST_F(MeshRendererGL, IndirectCommandsDecideWhatTheSurfaceDraws)
{
    // Two triangles of one surface, one on each side of the view's centre, drawn from both sides.
    const std::vector<float> xyz = {-2.0f, -1, 0, -0.5f, -1, 0, -1.25f, 1, 0, 0.5f, -1, 0, 2.0f, -1, 0, 1.25f, 1, 0};
    Object* object = storeTriangles("pair", xyz, {{0, 1, 2, 3, 4, 5}});
    meshrendererfx* mesh = rendererOf("pair");
    mesh->slots[0]->doublesided.value[0] = 1.0f;
    executeFrame(mesh);
    geomUpdate(object->geometry);
    geomCreateIndirectBuffer(object->geometry);
    ASSERT_NE(object->geometry->indirectBuffer, nullptr);

    // A pixel inside each triangle on the centre row (which one lands left is the projection's business).
    const auto litSides = [&]() {
        const std::vector<float> alpha = drawnAlpha(mesh);
        return std::array<bool, 2>{alphaAt(alpha, 18, 32) > 0.5f, alphaAt(alpha, 46, 32) > 0.5f};
    };
    struct Case {
        uint32_t command[5]; // count, instances, first index, base vertex, base instance
        int litCount;
    } cases[] = {
        {{6, 1, 0, 0, 0}, 2}, {{3, 1, 0, 0, 0}, 1}, {{3, 1, 3, 0, 0}, 1},
        {{3, 1, 0, 3, 0}, 1}, {{6, 0, 0, 0, 0}, 0}, {{0, 1, 0, 0, 0}, 0},
    };
    std::vector<std::array<bool, 2>> results;
    for (const Case& c : cases) {
        glNamedBufferSubData(object->geometry->indirectBuffer->glId, 0, sizeof c.command, c.command);
        results.push_back(litSides());
        EXPECT_EQ(int(results.back()[0]) + int(results.back()[1]), c.litCount)
            << "command " << c.command[0] << " " << c.command[1] << " " << c.command[2] << " " << c.command[3];
    }
    // The first three indices and the last three are different triangles; a base vertex of 3 reaches the second.
    EXPECT_NE(results[1], results[2]);
    EXPECT_EQ(results[2], results[3]);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// The Geometry pass exports the drawn surfaces by the renderer's flags; a disabled surface stays out, and every
// record of an earlier frame is reset.
TEST_F(MeshRendererGL, ExportsItsSurfacesByTheirFlags)
{
    RaytraceSceneBuffers* scene = frameScene();
    ASSERT_NE(scene, nullptr);
    const std::vector<float> xyz = {-1, -1, 0, 1, -1, 0, 0, 1, 0};
    Object* object = storeTriangles("three", xyz, {{0, 1, 2}, {0, 1, 2}, {0, 1, 2, 0, 2, 1}});
    object->geometry->surfaces[1]->disabled = true;
    meshrendererfx* mesh = rendererOf("three");
    Camera camera;
    deferredscene::placeCamera(camera, {0, 0, -5}, {0, 0, 0}, 1.0f);

    struct Case {
        float raytrace, voxelize, reflect;
        bool traced, voxelized;
    } cases[] = {
        {0, 0, 0, false, false}, {1, 0, 0, true, false}, {0, 1, 0, false, true},
        {0, 0, 1, true, false},  {1, 1, 0, true, true},
    };
    fbPush();
    ASSERT_TRUE(setcurrent(deferredFindFramebuffer("deferred_deep")));
    for (const Case& c : cases) {
        const std::string label = fmt::format("flags {} {} {}", c.raytrace, c.voxelize, c.reflect);
        scene->raytraceFaceCount = scene->voxelizeFaceCount = scene->exportedObjectCount = 0;
        mesh->raytrace.value[0] = c.raytrace;
        mesh->voxelize.value[0] = c.voxelize;
        mesh->reflect.value[0] = c.reflect;
        mesh->exportRecords[200].raytraceFacesBase = 7; // left over from an earlier frame
        executeFrame(mesh);
        const Matrix world;
        mesh->Render(&camera, &world, Renderer::PASS_GEOMETRY, Timestep{});

        const bool any = c.traced || c.voxelized;
        const std::vector<GeometryExportRecord*> exported = mesh->GetGeometries();
        ASSERT_EQ(exported.size(), any ? 2u : 0u) << label;
        if (any) {
            EXPECT_EQ(exported[0], &mesh->exportRecords[0]) << label;
            EXPECT_EQ(exported[1], &mesh->exportRecords[2]) << label;
            EXPECT_EQ(mesh->exportRecords[2].exportIndex, 1) << label;
            EXPECT_EQ(mesh->exportRecords[2].facesPerInstance, 2) << label;
        }
        EXPECT_EQ(mesh->exportRecords[2].raytraceFacesBase, c.traced ? 1 : -1) << label;
        EXPECT_EQ(mesh->exportRecords[2].voxelizeFacesBase, c.voxelized ? 1 : -1) << label;
        EXPECT_EQ(mesh->exportRecords[1].raytraceFacesBase, -1) << label << ": disabled surface";
        EXPECT_EQ(mesh->exportRecords[200].raytraceFacesBase, -1) << label;
        EXPECT_EQ(scene->exportedObjectCount, any ? 2u : 0u) << label;
        EXPECT_EQ(scene->raytraceFaceCount, c.traced ? 3u : 0u) << label;
        EXPECT_EQ(scene->voxelizeFaceCount, c.voxelized ? 3u : 0u) << label;
    }
    fbPop();
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// The walker's exported triangles are its skinned vertices at "animation time", not the bind pose.
TEST_F(MeshRendererGL, ExportsTheSkinnedPose)
{
    RaytraceSceneBuffers* scene = frameScene();
    ASSERT_NE(scene, nullptr);
    ASSERT_TRUE(graph_load_scene_resources("models/walker/walker.gltf"));
    meshrendererfx* mesh = rendererOf("walker.gltf/mesh/0/tube");
    ASSERT_TRUE(mesh->object && mesh->object->rig);
    mesh->raytrace.value[0] = 1.0f;
    mesh->animationTime.value[0] = 50.0f;
    executeFrame(mesh);
    Camera camera;
    deferredscene::placeCamera(camera, {0, 0, -8}, {0, 0, 0}, 1.0f);
    const Matrix world = Matrix::Translation(0.0f, 1.0f, 0.0f);
    fbPush();
    ASSERT_TRUE(setcurrent(deferredFindFramebuffer("deferred_deep")));
    mesh->Render(&camera, &world, Renderer::PASS_GEOMETRY, Timestep{});
    fbPop();

    Geometry* g = mesh->object->geometry;
    std::vector<float> skinned(size_t(g->vertexCount) * 3);
    glGetNamedBufferSubData(g->FindAttributeBuffer("VTXCoords")->glId, 0, GLsizeiptr(skinned.size() * 4),
                            skinned.data());
    const auto* bind = reinterpret_cast<const float*>(g->FindAttributeBuffer("VTXCoordsCopy")->hostCopy);
    ASSERT_NE(bind, nullptr);
    const std::vector<GeometryExportRecord*> exported = mesh->GetGeometries();
    ASSERT_FALSE(exported.empty());
    float moved = 0.0f;
    for (size_t s = 0; s < g->surfaces.size() && s < size_t(kMeshMaxSurfaces); ++s) {
        const GeometryExportRecord& record = mesh->exportRecords[s];
        const GeometrySurface* surface = g->surfaces[s];
        ASSERT_EQ(record.raytraceFacesBase != -1, surface->triangleCount > 0) << s;
        if (record.raytraceFacesBase == -1)
            continue;
        std::vector<float> xyz(size_t(surface->triangleCount) * 9);
        glGetNamedBufferSubData(scene->geometryRaytrace->glId, GLintptr(record.raytraceFacesBase) * 9 * 4,
                                GLsizeiptr(xyz.size() * 4), xyz.data());
        const auto* indices = reinterpret_cast<const uint32_t*>(surface->indexBuffer->hostCopy);
        for (size_t k = 0; k < size_t(surface->triangleCount) * 3; ++k) {
            const uint32_t v = indices[k];
            ASSERT_LT(v, g->vertexCount);
            const float lift[3] = {0.0f, 1.0f, 0.0f};
            for (int a = 0; a < 3; ++a) {
                EXPECT_NEAR(xyz[3 * k + a], skinned[3 * v + a] + lift[a], 1e-4f) << "surface " << s << " index " << k;
                moved = std::max(moved, std::fabs(xyz[3 * k + a] - bind[3 * v + a] - lift[a]));
            }
        }
    }
    EXPECT_GT(moved, 0.2f) << "the pose at time 50 differs from the bind pose";
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
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
