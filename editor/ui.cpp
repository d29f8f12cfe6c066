#include "editor/ui.h"

#include "editor/event_log.h"

#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <imgui.h>

GLFWwindow* uiMainWindow = nullptr;
NodeEditorState* uiNodeEditorState = nullptr;
ResourceManagerUiState* uiResourceManagerState = nullptr;

void ui_init(GLFWwindow* window)
{
    uiMainWindow = window;
    if (!uiEventLog)
        uiEventLog = new EventLog();
    if (!uiNodeEditorState)
        uiNodeEditorState = new NodeEditorState();
    if (!uiResourceManagerState)
        uiResourceManagerState = new ResourceManagerUiState();
}

void ui_render()
{
    // No editor windows yet: an empty Dear ImGui frame.
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplGlfw_NewFrame();
    ImGui::NewFrame();
}
