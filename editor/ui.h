// The editor's start-up and its per-frame entry.
#pragma once

#include <string>
#include <vector>

struct GLFWwindow;

// The node-graph editor's state; its existence tells graph loading that the editor runs.
struct NodeEditorState {
    bool initialized = false;
    std::vector<int> selectedIds;
};

// The resource manager window's state; dropped files wait here until its next frame imports them.
struct ResourceManagerUiState {
    bool flag = false;
    std::vector<std::string> droppedPaths;
};

extern GLFWwindow* uiMainWindow;
extern NodeEditorState* uiNodeEditorState;
extern ResourceManagerUiState* uiResourceManagerState;

// Runs in every mode, once the Dear ImGui context and its back ends exist.
void ui_init(GLFWwindow* window);
// Builds one editor frame: starts the Dear ImGui frame and leaves it open for the caller to render.
void ui_render();
