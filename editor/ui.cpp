#include "editor/ui.h"

#include "app/data_files.h"
#include "editor/event_log.h"
#include "project/gradients.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/resources.h"

#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>

#include <cstdlib>

GLFWwindow* uiMainWindow = nullptr;
NodeEditorState* uiNodeEditorState = nullptr;
ResourceManagerUiState* uiResourceManagerState = nullptr;

namespace {

// Runs at every normal exit, editor or playback: the current project's graph and resources.
void ui_save_project_files()
{
    if (!currentProject || !currentResources)
        return;
    GraphManager::Save(dataPath(currentProject->path + "/graph.json"));
    currentResources->save_json(dataPath(currentProject->path + "/resources.json"));
    if (globalProject)
        save_gradients_json(dataPath(globalProject->path + "/resources.json"));
}

} // namespace

void ui_init(GLFWwindow* window)
{
    uiMainWindow = window;
    if (!uiEventLog)
        uiEventLog = new EventLog();
    ui_event_log_connect();
    if (!uiNodeEditorState)
        uiNodeEditorState = new NodeEditorState();
    if (!uiResourceManagerState)
        uiResourceManagerState = new ResourceManagerUiState();

    // Exit functions run last-registered first: the project files are written before the editor's own state.
    static bool saversRegistered = false;
    if (!saversRegistered) {
        saversRegistered = true;
        std::atexit(ui_save_project_files);
    }
}

void ui_render()
{
    // No editor windows yet: an empty Dear ImGui frame.
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplGlfw_NewFrame();
    ImGui::NewFrame();
}
