// The editor: its state, created once at start-up in every mode, and the editor frame drawn over the engine's
// picture with "-ui".
#pragma once

#include <imgui.h>

#include <string>
#include <unordered_map>
#include <vector>

struct GLFWwindow;
struct Gradient;
struct Project;
namespace nodecanvas {
struct Context;
}

// The node-graph editor's state; its existence tells graph loading that the editor runs.
struct NodeEditorState {
    bool initialized = false;
    std::vector<int> selectedIds;
    // One canvas per project, made on first use and kept, so each project keeps its panning and node places.
    std::unordered_map<Project*, nodecanvas::Context*> contexts;
    Project* shownProject = nullptr; // the project whose canvas was made current last
};

// The resource manager window's state; dropped files wait here until its next frame imports them.
struct ResourceManagerUiState {
    bool flag = false;
    std::vector<std::string> droppedPaths;
};

// The "Renderer" window: whether the mouse goes to the camera controller, and the gizmo mode (0 translate,
// 1 rotate, 2 scale, 3 none).
struct RendererWindowState {
    bool forwardingMouse = false;
    int gizmoMode = 0;
};

// The gradient the "Gradient Manager" edits.
struct GradientManagerState {
    Gradient* gradient = nullptr;
    bool flag = false;
};

extern GLFWwindow* uiMainWindow;
extern NodeEditorState* uiNodeEditorState;
extern ResourceManagerUiState* uiResourceManagerState;
extern RendererWindowState* uiRendererWindowState;
extern GradientManagerState* uiGradientManagerState;
extern bool uiToolboxOpen;
extern ImFont* uiSmallFont;
// A layout preset file to load at the start of the next editor frame.
extern const char* uiPendingPreset;

// Starts the platform and renderer back ends' frame; the editor test harness puts its own in place.
extern void (*uiBackendNewFrame)();

// Runs in every mode, once the Dear ImGui context and its back ends exist: creates the editor's state, reads
// "ui_state.json" and registers the exit writers.
void ui_init(GLFWwindow* window);
// Creates the state records and fonts without reading or registering anything (ui_init's middle; tests).
void ui_create_state();
// Builds one editor frame: starts the Dear ImGui frame and leaves it open for the caller to render.
void ui_render();
// Every key event of the window, before Dear ImGui sees it: a key tapped between two frames still counts.
void ui_key_event(int key, int action);
// Writes every project whose files loaded (unchanged ones keep their bytes), then the shared gradients.
void ui_save_project_at_exit();

// Draw-list callbacks around an engine texture, so its alpha does not blend it with the window.
void ui_draw_callback_blend_off(const ImDrawList* list, const ImDrawCmd* command);
void ui_draw_callback_blend_on(const ImDrawList* list, const ImDrawCmd* command);
