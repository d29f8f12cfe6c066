#include "editor/ui.h"

#include "app/data_files.h"
#include "app/log.h"
#include "app/timing.h"
#include "editor/file_name_prompt.h"
#include "editor/event_log.h"
#include "editor/gpu_queries.h"
#include "editor/gradient_manager.h"
#include "editor/graph_toolbox.h"
#include "editor/inspector.h"
#include "editor/node_configuration.h"
#include "editor/node_editor.h"
#include "editor/renderer_window.h"
#include "editor/resource_manager.h"
#include "editor/sequencer_window.h"
#include "editor/shader_editor.h"
#include "editor/ui_state.h"
#include "project/cvars.h"
#include "project/gradients.h"
#include "project/graph.h"
#include "project/json_file.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/camera_controller.h"

#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <glbinding/gl/gl.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace gl;

GLFWwindow* uiMainWindow = nullptr;
NodeEditorState* uiNodeEditorState = nullptr;
ResourceManagerUiState* uiResourceManagerState = nullptr;
RendererWindowState* uiRendererWindowState = nullptr;
GradientManagerState* uiGradientManagerState = nullptr;
bool uiToolboxOpen = false;
ImFont* uiSmallFont = nullptr;
const char* uiPendingPreset = nullptr;

namespace {

void backendNewFrame()
{
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplGlfw_NewFrame();
}

// Close-button targets. The windows are drawn every frame whatever they hold.
struct WindowFlags {
    bool cvars = true;
    bool deferred = true;
    bool eventLog = true;
    bool gpuQueries = true;
    bool projectManager = true;
};
WindowFlags windowOpen;

// ---- Layout presets ----

constexpr const char* kPresetFiles[3] = {"imgui_preset_0.ini", "imgui_preset_1.ini", "imgui_preset_2.ini"};
constexpr int kPresetKeys[3] = {GLFW_KEY_F9, GLFW_KEY_F10, GLFW_KEY_F11};

void applyPendingPreset()
{
    if (!uiPendingPreset)
        return;
    std::ifstream file(uiPendingPreset, std::ios::binary);
    if (file) {
        std::ostringstream text;
        text << file.rdbuf();
        const std::string settings = text.str();
        ImGui::LoadIniSettingsFromMemory(settings.data(), settings.size());
        LOG_INFO("Layout preset %s loaded", uiPendingPreset);
    } else {
        LOG_WARNING("Layout preset %s cannot be read; the layout stays as it is", uiPendingPreset);
    }
    uiPendingPreset = nullptr;
}

// Shift+F9/F10/F11 save the layout into "imgui.ini" and the key's preset; F9/F10/F11 alone load the preset at
// the start of the next frame. Each press acts once, however long the key is held.
void handleLayoutKeys()
{
    const ImGuiIO& io = ImGui::GetIO();
    bool pressed[3];
    for (int i = 0; i < 3; ++i)
        pressed[i] = ImGui::IsKeyPressed(kPresetKeys[i], false);
    if (io.KeyShift) {
        for (int i = 0; i < 3; ++i) {
            if (!pressed[i])
                continue;
            size_t size = 0;
            const char* settings = ImGui::SaveIniSettingsToMemory(&size);
            const std::string_view text(settings, size);
            if (jsonfile::writeAtomic("imgui.ini", text) && jsonfile::writeAtomic(kPresetFiles[i], text))
                LOG_INFO("Layout saved to imgui.ini and %s", kPresetFiles[i]);
        }
        return;
    }
    if (pressed[1])
        uiPendingPreset = kPresetFiles[1];
    else if (pressed[0])
        uiPendingPreset = kPresetFiles[0];
    if (pressed[2])
        uiPendingPreset = kPresetFiles[2];
}

// Keys pressed since the last editor frame. A frame here can take longer than a key tap: press and release then
// arrive in one event poll and Dear ImGui, which reads key states at the frame's start, would never see the key.
// A tapped key is held down for one frame instead.
constexpr int kKeyCount = 512;
bool tappedKeys[kKeyCount] = {};
bool latchedKeys[kKeyCount] = {};

void latchTappedKeys()
{
    ImGuiIO& io = ImGui::GetIO();
    for (int key = 0; key < kKeyCount; ++key) {
        if (latchedKeys[key]) {
            latchedKeys[key] = false;
            if (!tappedKeys[key])
                io.KeysDown[key] = false;
        }
        if (tappedKeys[key] && !io.KeysDown[key]) {
            io.KeysDown[key] = true;
            latchedKeys[key] = true;
        }
        tappedKeys[key] = false;
    }
    io.KeyShift = io.KeysDown[GLFW_KEY_LEFT_SHIFT] || io.KeysDown[GLFW_KEY_RIGHT_SHIFT];
    io.KeyCtrl = io.KeysDown[GLFW_KEY_LEFT_CONTROL] || io.KeysDown[GLFW_KEY_RIGHT_CONTROL];
    io.KeyAlt = io.KeysDown[GLFW_KEY_LEFT_ALT] || io.KeysDown[GLFW_KEY_RIGHT_ALT];
    io.KeySuper = io.KeysDown[GLFW_KEY_LEFT_SUPER] || io.KeysDown[GLFW_KEY_RIGHT_SUPER];
}

// Space outside a text field stops and restarts the play clock where it stood.
void handlePauseKey()
{
    if (ImGui::GetIO().WantCaptureKeyboard || !ImGui::IsKeyPressed(GLFW_KEY_SPACE, true))
        return;
    if (playClock.paused) {
        timerResumeClock();
        LOG_INFO("Play clock resumed at %.3f s", timerGetTime(1.0f));
    } else {
        LOG_INFO("Play clock paused at %.3f s", timerGetTime(1.0f));
        timerPauseClock();
    }
}

// Only with a window: the test harness draws editor frames without a GL context.
void applyGlDebug()
{
    if (!uiMainWindow)
        return;
    if (uiGlDebug)
        glEnable(GL_DEBUG_OUTPUT);
    else
        glDisable(GL_DEBUG_OUTPUT);
}

// ---- Windows ----

void cvarsWindow()
{
    ImGui::SetNextWindowSize(ImVec2(200, 600), ImGuiCond_FirstUseEver);
    ImGui::Begin("CVars", &windowOpen.cvars);

    char timerText[256];
    if (const TimerNode* node = timerFindNode()) {
        std::snprintf(timerText, sizeof(timerText), "<%s>: %6.3f(%6.1ffps),AVG:%6.3f(%6.1ffps),TOT:%.3f",
                      node->name.c_str(), node->last, 1.0f / node->last, node->average, 1.0f / node->average,
                      node->sum);
    } else {
        std::snprintf(timerText, sizeof(timerText), "Timer not found");
    }
    // The play clock as minutes and seconds.
    const float seconds = playClock.started ? timerGetTime(1.0f) : 0.0f;
    char line[512];
    std::snprintf(line, sizeof(line), "%s (%d:%.2f)", timerText, static_cast<int>(seconds / 60.0f),
                  std::fmod(seconds, 60.0f));
    ImGui::TextUnformatted(line);

    if (ImGui::Button("ResetController") && currentCameraController)
        currentCameraController->detached.value[0] = 0.0f;
    ImGui::SameLine();
    ImGui::Checkbox("Rocket", &uiUseRocket);
    ImGui::SameLine();
    if (ImGui::Checkbox("Debug", &uiGlDebug))
        applyGlDebug();

    if (ImGui::BeginTabBar("Variables")) {
        if (ImGui::BeginTabItem("Tree")) {
            ImGui::BeginChild("#cvars_tree", ImVec2(0, 0), true, ImGuiWindowFlags_AlwaysVerticalScrollbar);
            ImGui::PushItemWidth(360);
            ui_handle_cvar_tree_node(&cvarTreeRoot);
            ImGui::PopItemWidth();
            ImGui::EndChild();
            ImGui::EndTabItem();
        }
        ImGui::EndTabBar();
    }
    ImGui::End();
}

void projectManagerWindow()
{
    ImGui::SetNextWindowSize(ImVec2(500, 400), ImGuiCond_FirstUseEver);
    ImGui::Begin("Project Manager", &windowOpen.projectManager);
    ImGui::PushID("ProjectManager");
    ImGui::Text("Current: %s", currentProject ? currentProject->path.c_str() : "");
    for (Project* project : projectList) {
        if (ImGui::Button(project->path.c_str())) {
            ui_node_editor_store_positions();
            projSetCurrent(project);
            ui_node_editor_load_positions();
        }
    }
    ImGui::PopID();
    ImGui::End();
}

// Where each window opens the first time (no "imgui.ini" yet): the viewport in the middle, the parameter tree at
// the left, logs and timings at the right, the rest below, so that every title bar shows.
struct FirstPlace {
    const char* title;
    ImVec2 position;
};
const FirstPlace kFirstPlaces[] = {
    {"CVars", {0, 0}},
    {"Deferred", {0, 600}},
    {"Event log", {1480, 800}},
    {"Simple node editor", {1200, 720}},
    {"Node Configuration Editor", {1200, 775}},
    {"Graph Node Toolbox", {1200, 830}},
    {"Graph Render Passes", {1200, 885}},
    {"Resource Manager", {1200, 940}},
    {"GPUQueries", {1480, 400}},
    {"Sequencer", {200, 720}},
    {"Renderer", {200, 0}},
    {"Shader Editor", {700, 720}},
    {"Gradient Manager", {1200, 995}},
    {"Project Manager", {1480, 0}},
};

void placeFirstUse(const char* title)
{
    for (const FirstPlace& place : kFirstPlaces)
        if (std::strcmp(place.title, title) == 0)
            ImGui::SetNextWindowPos(place.position, ImGuiCond_FirstUseEver);
}

// A window whose contents come with its own part of the editor; its place and size are kept meanwhile.
void placeholderWindow(const char* title, bool* open = nullptr, ImVec2 firstUseSize = ImVec2(0, 0))
{
    if (firstUseSize.x > 0)
        ImGui::SetNextWindowSize(firstUseSize, ImGuiCond_FirstUseEver);
    ImGui::Begin(title, open);
    ImGui::End();
}

} // namespace

void (*uiBackendNewFrame)() = backendNewFrame;

void ui_key_event(int key, int action)
{
    if (key >= 0 && key < kKeyCount && action == GLFW_PRESS)
        tappedKeys[key] = true;
}

void ui_draw_callback_blend_off(const ImDrawList*, const ImDrawCmd*)
{
    glDisable(GL_BLEND);
}

void ui_draw_callback_blend_on(const ImDrawList*, const ImDrawCmd*)
{
    glEnable(GL_BLEND);
}

void ui_create_state()
{
    if (!uiEventLog)
        uiEventLog = new EventLog();
    ui_event_log_connect();
    ui_file_name_prompt_connect();
    if (!uiNodeEditorState)
        uiNodeEditorState = new NodeEditorState();
    graphHooks.loadNodePositions = ui_node_editor_load_positions;
    uiToolboxOpen = false;
    if (!uiResourceManagerState)
        uiResourceManagerState = new ResourceManagerUiState();
    if (!uiRendererWindowState)
        uiRendererWindowState = new RendererWindowState();
    if (!uiShaderEditorState) {
        uiShaderEditorState = new ShaderEditorState();
        uiShaderEditorState->editor.SetLanguage(TextEditor::Language::Glsl);
    }
    if (!uiGradientManagerState)
        uiGradientManagerState = new GradientManagerState();

    if (ImGui::GetCurrentContext() && !uiSmallFont) {
        ImFontAtlas* fonts = ImGui::GetIO().Fonts;
        if (fonts->Fonts.empty())
            fonts->AddFontDefault();
        ImFontConfig small;
        small.SizePixels = 10.0f;
        small.OversampleH = 3;
        small.OversampleV = 1;
        uiSmallFont = fonts->AddFontDefault(&small);
    }
}

void ui_init(GLFWwindow* window)
{
    uiMainWindow = window;
    uiDeferredWindowUsesGl = window != nullptr;
    ui_load_cvar_status();
    // Exit functions run last-registered first: the project files are written before the editor's own state.
    static bool writersRegistered = false;
    if (!writersRegistered) {
        writersRegistered = true;
        std::atexit(ui_save_cvar_status);
        std::atexit(ui_save_project_at_exit);
    }
    ui_create_state();
}

void ui_render()
{
    applyPendingPreset();
    uiBackendNewFrame();
    latchTappedKeys();
    ImGui::NewFrame();
    applyGlDebug();
    handleLayoutKeys();
    handlePauseKey();
#ifdef IMGUI_HAS_DOCK
    ImGui::DockSpaceOverViewport();
#else
    // The main window is never cleared under the editor (the engine's picture shows in "Renderer"); without a dock
    // space to cover it, last frames' windows would stay visible behind the moved ones. Fill it as a dock space would.
    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    ImVec4 background = ImGui::GetStyleColorVec4(ImGuiCol_WindowBg);
    background.w = 1.0f;
    ImGui::GetBackgroundDrawList()->AddRectFilled(
        viewport->Pos, ImVec2(viewport->Pos.x + viewport->Size.x, viewport->Pos.y + viewport->Size.y),
        ImGui::GetColorU32(background));
#endif

    placeFirstUse("CVars");
    cvarsWindow();
    placeFirstUse("Deferred");
    ui_deferred_window(&windowOpen.deferred);
    placeFirstUse("Event log");
    ui_event_log_window(uiEventLog, &windowOpen.eventLog);
    placeFirstUse("Simple node editor");
    ui_node_editor_window(*uiNodeEditorState);
    placeFirstUse("Node Configuration Editor");
    ui_node_configuration_editor();
    ui_graph_node_toolbox(placeFirstUse);
    placeFirstUse("Resource Manager");
    if (uiResourceManagerState)
        ui_resource_manager_window(*uiResourceManagerState);
    placeFirstUse("GPUQueries");
    ui_gpu_queries_window(&windowOpen.gpuQueries);
    if (!sequencer)
        sequencer = new Sequence();
    placeFirstUse("Sequencer");
    ui_sequencer_window();
    placeFirstUse("Renderer");
    ui_renderer_window(uiRendererWindowState, "Renderer");
    placeFirstUse("Shader Editor");
    ui_shader_editor_window(uiShaderEditorState);
    placeFirstUse("Gradient Manager");
    ui_gradient_manager_window(uiGradientManagerState);
    placeFirstUse("Project Manager");
    projectManagerWindow();
    ui_file_name_prompt_draw(uiFileNamePrompt);
}

void ui_save_project_at_exit()
{
    // Every project, not only the one shown at exit: edits made before a switch are kept. A project whose files
    // did not change writes the same bytes, which leaves its files untouched; one whose files failed to load is
    // refused by the savers.
    Project* shown = currentProject;
    for (Project* project : projectList) {
        projSetCurrent(project);
        ui_node_editor_store_positions();
        GraphManager::Save(dataPath(project->path + "/graph.json"));
        if (project->resources)
            project->resources->save_json(dataPath(project->path + "/resources.json"));
    }
    projSetCurrent(shown);
    if (globalProject)
        save_gradients_json(dataPath(globalProject->path + "/resources.json"));
}
