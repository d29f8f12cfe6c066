#include "app/projects.h"

#include "app/engine_display.h"
#include "app/log.h"
#include "components/scene_player.h"
#include "project/component_table.h"
#include "project/gradients.h"
#include "project/graph.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/entities.h"
#include "render/scene.h"

#include <GLFW/glfw3.h>
#include <algorithm>
#include <glbinding/gl/gl.h>

using namespace gl;

ProjectLoadingState* projectLoadingState = nullptr;

namespace {

constexpr int kRaytracerRow = 4;
constexpr int kVoxelizerRow = 5;

// A project without a readable graph plays a scene player looking down the z axis from 100 units back, with the
// voxelizer and raytracer when their classes exist.
void buildDefaultGraph(int width, int height)
{
    Scene* scene = Scene::Create();
    Camera* camera = entCreateCamera(90.0f);
    camera->aspect = height > 0 ? float(width) / float(height) : 16.0f / 9.0f;
    camera->nearPlane = 0.1f;
    camera->farPlane = 500.0f;
    camera->position = Vector3{0.0f, 0.0f, -100.0f};
    scene->cameras.push_back(camera);
    scene->activeCamera = camera;
    if (EngineComponent* player = sceneplayerfx::CreateWithScene("Sceneplayer", scene))
        currentComponents->push_back(player);
    for (auto [row, name] : {std::pair{kVoxelizerRow, "Voxelizer"}, std::pair{kRaytracerRow, "Raytracer"}}) {
        if (!componentTypeTable[row].factory)
            continue;
        if (EngineComponent* component = componentTypeTable[row].factory(name))
            currentComponents->push_back(component);
    }
}

void presentLoadingFrame()
{
    if (!engineDisplay.window)
        return;
    glGetError();
    glfwSwapBuffers(engineDisplay.window);
    glGetError();
}

} // namespace

ProjectLoadingState* ProjectLoading(int width, int height)
{
    ScopedTimer timer("ProjectLoading");
    auto* state = new ProjectLoadingState();
    state->width = width;
    state->height = height;

    presentLoadingFrame();
    Project* remembered = currentProject;
    for (Project* project : projectList) {
        projSetCurrent(project);
        project->resources->load_json(project->path + "/resources.json");
        // One shared set: the first read fills it, the later ones enter the same records into this store.
        if (globalProject)
            load_gradients_json(globalProject->path + "/resources.json");
        if (!project->nullObject) {
            project->nullObject = std::make_shared<Object>();
            project->resources->add_object("global/null_object", project->nullObject.get());
        }
        if (!GraphManager::Load(project->path + "/graph.json")) {
            LOG_WARNING("Project %s has no usable graph; it gets the default graph", project->name.c_str());
            buildDefaultGraph(width, height);
        }
        SequencerManager::Load(project->path + "/sequencer.json");
    }
    projSetCurrent(remembered);

    // The layer compositor made "globals" at display start-up.
    if (CvarTreeNode* globals = CvarTreeFindBranch("globals", CvarScope::Current)) {
        CvarTreeRegisterFloat(&state->fxCamTime, "fx_cam_time", 0.0f, 0.0f, 10.0f, CvarScope::Node, globals);
        CvarTreeRegisterFloat(&state->fxCamIdx, "fx_cam_idx", 0.0f, 0.0f, 10.0f, CvarScope::Node, globals);
    }
    presentLoadingFrame();
    return state;
}

std::array<float, 2> projectWarmUpTimes(const SequenceItem& row)
{
    // The middle of the row's last frame: the frame that time falls in stays inside the row.
    const double last = row.end > row.start ? (double(row.end) - 0.5) / 100.0 : double(row.start) / 100.0;
    std::array<float, 2> times{};
    const double offsets[2] = {10.0, 20.0};
    for (int i = 0; i < 2; ++i)
        times[i] = float(std::min(double(row.start) / 100.0 + offsets[i], last));
    return times;
}
