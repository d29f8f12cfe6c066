// The Resource Manager window: files dropped on the window become resources of the current project by their
// names, the lists and their buttons, and a dropped mesh that ends up saved and drawn.
#include "editor/resource_manager.h"

#include "components/mesh_renderer.h"
#include "editor/ui.h"
#include "deferred_scene_util.h"
#include "gl_context.h"
#include "renderer_fixture.h"
#include "png_fixture.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/entities.h"
#include "test_helpers.h"
#include "ui_harness.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

void engine_glfw_drop_callback(struct GLFWwindow* window, int count, const char** paths);

using testutil::TempDir;
using testutil::writeFile;

namespace {

std::string solidPng(int w, int h) { return testutil::solidPngRgba(w, h, 200); }

const char* const kQuadObj = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n";

// The window where the editor puts it, large enough for every row.
void drawWindow(ResourceManagerUiState& state)
{
    ImGui::SetNextWindowPos(ImVec2(0, 0), ImGuiCond_FirstUseEver);
    ImGui::SetNextWindowSize(ImVec2(900, 700), ImGuiCond_FirstUseEver);
    ui_resource_manager_window(state);
}

class ResourceManagerTest : public GLTest {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(dir.str());
        project = projCreate("drops");
        std::filesystem::create_directories(dir.path() / project->path);
        projSetCurrent(project);
        savedState_ = uiResourceManagerState;
        uiResourceManagerState = &state;
    }
    void TearDown() override
    {
        uiResourceManagerState = savedState_;
        // Dropped meshes stay with the importer; dropped images belong to nobody else.
        for (Resource* record : project->resources->get_by_type(ResourceType::Texture))
            txtDestroy(static_cast<FileResource*>(record)->GetTexture());
        projSetCurrent(savedProject_);
        projDestroy(project);
        dataSetBasePath(oldBase_);
        GLTest::TearDown();
    }
    std::string full(const std::string& relative) const { return dir.str() + relative; }
    std::string resourcesFile() const { return full(project->path + "/resources.json"); }

    TempDir dir{"resource_manager"};
    Project* project = nullptr;
    ResourceManagerUiState state;

private:
    std::string oldBase_ = dataBasePath();
    Project* savedProject_ = currentProject;
    ResourceManagerUiState* savedState_ = nullptr;
};

TEST_F(ResourceManagerTest, DroppedFilesBecomeResourcesByTheirNames)
{
    writeFile(full("textures/a.png"), solidPng(4, 2));
    writeFile(full("textures/b.png.txt"), solidPng(2, 2));
    writeFile(full("scenes/city.gltf"), "{}");
    writeFile(full("meshes/quad.obj"), kQuadObj);
    writeFile(full("meshes/broken.obj"), "this is not a mesh");
    std::filesystem::create_directories(full("meshes/folder.lwo"));
    TempDir outside("outside_base");
    writeFile(outside.path() / "far.obj", kQuadObj);

    struct Case {
        std::string dropped;
        int type;             // resource type registered, 0: nothing
        const char* name;
        const char* path;
        bool writesResources; // the project's "resources.json" is written at once
    } cases[] = {
        {full("textures/a.png"), ResourceType::Texture, "a.png", "textures/a.png", false},
        {full("textures/b.png.txt"), ResourceType::Texture, "b.png.txt", "textures/b.png.txt", false},
        {full("scenes/city.gltf"), ResourceType::SceneUri, "city.gltf", "scenes/city.gltf", false},
        {full("meshes/../meshes/quad.obj"), ResourceType::Object, "quad.obj", "meshes/quad.obj", true},
        // Once more under a taken name: the first record stays and nothing is written.
        {full("meshes/quad.obj"), ResourceType::Object, "quad.obj", "meshes/quad.obj", false},
        {full("meshes/broken.obj"), 0, "broken.obj", nullptr, false},
        {full("meshes/folder.lwo"), 0, "folder.lwo", nullptr, false},
        {full("meshes/missing.obj"), 0, "missing.obj", nullptr, false},
        {(outside.path() / "far.obj").string(), 0, "far.obj", nullptr, false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(resourcesFile());
        state.droppedPaths = {c.dropped};
        resourceManagerImportDropped(state);
        EXPECT_TRUE(state.droppedPaths.empty());
        Resource* record = project->resources->get_by_name(c.name);
        if (c.type == 0) {
            EXPECT_EQ(record, nullptr) << c.dropped;
        } else {
            ASSERT_NE(record, nullptr) << c.dropped;
            EXPECT_EQ(record->type, c.type) << c.dropped;
            if (auto* file = dynamic_cast<FileResource*>(record))
                EXPECT_EQ(file->path, c.path);
            if (auto* scene = dynamic_cast<SceneUriResource*>(record)) {
                EXPECT_EQ(scene->path, c.path);
                EXPECT_FALSE(scene->load_on_startup);
            }
        }
        EXPECT_EQ(std::filesystem::exists(resourcesFile()), c.writesResources) << c.dropped;
        // The mesh's save lists it.
        if (c.writesResources)
            EXPECT_NE(testutil::readFile(resourcesFile()).find(std::string("\"") + c.path + "\""), std::string::npos);
    }
}

TEST_F(ResourceManagerTest, TwoDropsInOneFrameAreBothImportedInOrder)
{
    writeFile(full("one.obj"), kQuadObj);
    writeFile(full("two.obj"), kQuadObj);
    const char* paths[] = {nullptr, nullptr};
    const std::string one = full("one.obj"), two = full("two.obj");
    paths[0] = one.c_str();
    paths[1] = two.c_str();
    engine_glfw_drop_callback(nullptr, 2, paths);
    UiHarness ui;
    ui.frame([&] { drawWindow(state); });
    EXPECT_TRUE(state.droppedPaths.empty());
    EXPECT_NE(project->resources->get_by_name_type("one.obj", ResourceType::Object), nullptr);
    EXPECT_NE(project->resources->get_by_name_type("two.obj", ResourceType::Object), nullptr);
    // Both listed with a "Del" button each, and their counts.
    ui.frame([&] { drawWindow(state); });
    int dels = 0;
    for (const UiItem& item : ui.items())
        dels += item.label == "Del";
    EXPECT_EQ(dels, 2);
    EXPECT_EQ(resourceManagerObjectLine(project->resources->get_by_name("one.obj")),
              "one.obj \t\t F:      2 V:      4 S:  1");
}

TEST_F(ResourceManagerTest, DelRemovesTheRecordAndSaveWritesTheFile)
{
    writeFile(full("keep.obj"), kQuadObj);
    writeFile(full("gone.obj"), kQuadObj);
    state.droppedPaths = {full("gone.obj"), full("keep.obj")};
    resourceManagerImportDropped(state);
    Object* goneObject = static_cast<FileResource*>(project->resources->get_by_name("gone.obj"))->GetObject();
    ASSERT_NE(goneObject, nullptr);
    const std::string before = testutil::readFile(resourcesFile());
    ASSERT_NE(before.find("gone.obj"), std::string::npos);

    UiHarness ui;
    auto draw = [&] { drawWindow(state); };
    ui.frame(draw);
    // The first "Del" (name order) is gone.obj's.
    ASSERT_TRUE(ui.click("Del", draw));
    EXPECT_EQ(project->resources->resources.count("gone.obj"), 0u);
    EXPECT_EQ(project->resources->resources.count("keep.obj"), 1u);
    // The object itself stays alive for whoever still draws it; the file keeps it until the next save.
    EXPECT_NE(goneObject->geometry, nullptr);
    EXPECT_EQ(testutil::readFile(resourcesFile()), before);
    ASSERT_TRUE(ui.click("Save Resources", draw));
    const std::string after = testutil::readFile(resourcesFile());
    EXPECT_EQ(after.find("gone.obj"), std::string::npos);
    EXPECT_NE(after.find("keep.obj"), std::string::npos);

    // A record without object is listed as failed.
    project->resources->add_object("empty", nullptr);
    EXPECT_EQ(resourceManagerObjectLine(project->resources->get_by_name("empty")), "empty (Failed to load)");
}

// The whole way: dropped on the window, listed, saved, and drawn by a mesh renderer naming it.
class DroppedMeshDraw : public RendererGLTest {};

TEST_F(DroppedMeshDraw, DroppedMeshIsListedSavedAndDrawn)
{
    using namespace gl;
    TempDir dir("dropped_mesh");
    const std::string assets = dataBasePath();
    dataSetBasePath(dir.str());
    Project* project = projCreate("dropped");
    Project* savedProject = currentProject;
    projSetCurrent(project);
    ResourceManagerUiState state;
    ResourceManagerUiState* savedState = uiResourceManagerState;
    uiResourceManagerState = &state;

    writeFile(dir.path() / "meshes/quad.obj", kQuadObj);
    std::filesystem::create_directories(dir.path() / project->path);
    const std::string path = dir.str() + "meshes/quad.obj";
    const char* paths[] = {path.c_str()};
    engine_glfw_drop_callback(nullptr, 1, paths);
    {
        UiHarness ui;
        ui.frame([&] { drawWindow(state); });
        ui.frame([&] { drawWindow(state); });
        EXPECT_EQ(ui.find("Del").has_value(), true);
    }
    EXPECT_NE(testutil::readFile(dir.path() / project->path / "resources.json").find("meshes/quad.obj"),
              std::string::npos);

    dataSetBasePath(assets); // the materials' shaders
    auto* mesh = static_cast<meshrendererfx*>(meshrendererfx::Create("quad"));
    ASSERT_NE(mesh, nullptr);
    mesh->objectName.text = "quad.obj";
    mesh->OnCvarChanged(&mesh->objectName);
    ASSERT_NE(mesh->object, nullptr);
    mesh->Init();
    RenderItemBuilder builder;
    mesh->Execute(builder, Timestep{});
    Camera camera;
    deferredscene::placeCamera(camera, {0.5f, 0.5f, -3.0f}, {0, 0, 0}, float(deferredtest::kWidth) / deferredtest::kHeight);
    fbPush();
    ASSERT_TRUE(setcurrent(deferredFindFramebuffer("deferred_deep")));
    GLuint query = 0;
    glGenQueries(1, &query);
    glBeginQuery(GL_PRIMITIVES_GENERATED, query);
    const Matrix model;
    mesh->Render(&camera, &model, Renderer::PASS_DEFERRED, Timestep{});
    glEndQuery(GL_PRIMITIVES_GENERATED);
    GLuint drawn = 0;
    glGetQueryObjectuiv(query, GL_QUERY_RESULT, &drawn);
    glDeleteQueries(1, &query);
    fbPop();
    EXPECT_EQ(drawn, 2u);

    delete mesh;
    uiResourceManagerState = savedState;
    projSetCurrent(savedProject);
    projDestroy(project);
}

} // namespace
