#include "app/engine_display.h"

#include "app/frame_loop.h"
#include "app/log.h"
#include "app/math_types.h"
#include "app/projects.h"
#include "app/timing.h"
#include "editor/renderer_window.h"
#include "editor/ui.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_program_cache.h"
#include "project/layer_segments.h"
#include "render/camera_controller.h"
#include "render/layer_compositor.h"

#include <GLFW/glfw3.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <csignal>
#include <glbinding/Binding.h>
#include <glbinding/gl/gl.h>
#include <imgui.h>
#include <strings.h>
#include <vector>

using namespace gl;

EngineDisplay engineDisplay;
float lastCursorX = 0.0f;
float lastCursorY = 0.0f;
int dragMode = 0;

namespace {

constexpr int kOutputWidth = 1920;
constexpr int kOutputHeight = 1080;

std::vector<std::string> engineArguments;

volatile std::sig_atomic_t closeRequested = 0;

void onTerminationSignal(int)
{
    // Only a flag: the frame loop turns it into a close request. The handler is one-shot (SA_RESETHAND), so a
    // second signal ends a stuck process the default way.
    closeRequested = 1;
}

void onGlfwError(int code, const char* description)
{
    LOG_ERROR("GLFW error %d: %s", code, description ? description : "");
}

// GLFW wants these callbacks set; the engine takes no text input or plain cursor motion from the window.
void ignoreChar(GLFWwindow*, unsigned int) {}
void ignoreCursorPos(GLFWwindow*, double, double) {}

bool imguiWantsKeyboard()
{
    return ImGui::GetCurrentContext() && ImGui::GetIO().WantCaptureKeyboard;
}

bool imguiWantsMouse()
{
    return ImGui::GetCurrentContext() && ImGui::GetIO().WantCaptureMouse;
}

const char* debugSourceName(GLenum source)
{
    switch (source) {
    case GL_DEBUG_SOURCE_API: return "API";
    case GL_DEBUG_SOURCE_WINDOW_SYSTEM: return "Window system";
    case GL_DEBUG_SOURCE_SHADER_COMPILER: return "Shader compiler";
    case GL_DEBUG_SOURCE_THIRD_PARTY: return "Third party";
    case GL_DEBUG_SOURCE_APPLICATION: return "Application";
    case GL_DEBUG_SOURCE_OTHER: return "Other";
    default: return "";
    }
}

const char* debugTypeName(GLenum type)
{
    switch (type) {
    case GL_DEBUG_TYPE_ERROR: return "Error";
    case GL_DEBUG_TYPE_DEPRECATED_BEHAVIOR: return "Deprecated behavior";
    case GL_DEBUG_TYPE_UNDEFINED_BEHAVIOR: return "Undefined behavior";
    case GL_DEBUG_TYPE_PORTABILITY: return "Portability issue";
    case GL_DEBUG_TYPE_PERFORMANCE: return "Performance issue";
    case GL_DEBUG_TYPE_OTHER: return "Other";
    case GL_DEBUG_TYPE_MARKER: return "Stream annotation";
    default: return "";
    }
}

const char* debugSeverityName(GLenum severity)
{
    switch (severity) {
    case GL_DEBUG_SEVERITY_HIGH: return "High";
    case GL_DEBUG_SEVERITY_MEDIUM: return "Medium";
    case GL_DEBUG_SEVERITY_LOW: return "Low";
    default: return "";
    }
}

} // namespace

// ---- Command line ----

void engineSetArguments(int argc, char** argv)
{
    engineArguments.clear();
    for (int i = 0; i < argc; ++i)
        engineArguments.emplace_back(argv[i] ? argv[i] : "");
}

bool engineEditorMode()
{
    for (size_t i = 1; i < engineArguments.size(); ++i) {
        if (strcasecmp(engineArguments[i].c_str(), "-ui") == 0)
            return true;
    }
    return false;
}

// ---- Start-up ----

std::string engineProgramCacheFolder;

bool engine_init_display()
{
    engineDisplay = EngineDisplay();
    engineDisplay.width = kOutputWidth;
    engineDisplay.height = kOutputHeight;
    engineDisplay.onKey = engine_on_key;

    if (!engine_create_window())
        return false;

    engineDisplay.onFrame = engine_on_frame;
    engineDisplay.onMouseButton = engine_on_mouse_button;
    engineDisplay.onCursorMove = engine_on_cursor_move;

    screenWidth = kOutputWidth;
    screenHeight = kOutputHeight;
    glDisable(GL_CULL_FACE);
    glViewport(0, 0, screenWidth, screenHeight);

    timerRestartClock();
    LOG_INFO("Initialize ruvevazidi...");

    fx_segments_init((currentProject ? currentProject->path : std::string()) + "/layers.segments");
    fxLayerContext = fx_layers_create(screenWidth, screenHeight);
    projectLoadingState = ProjectLoading(screenWidth, screenHeight);

    // Loading time does not count: the clock reads 0 when the first frame starts.
    timerRestartClock();
    return true;
}

void engineSetOutputSize(int width, int height)
{
    if (width < 1 || height < 1) {
        LOG_ERROR("Output size %d x %d refused; it stays %d x %d", width, height, screenWidth, screenHeight);
        return;
    }
    screenWidth = width;
    screenHeight = height;
    glViewport(0, 0, screenWidth, screenHeight);
}

int engineFullOutputWidth() { return kOutputWidth; }
int engineFullOutputHeight() { return kOutputHeight; }

bool engine_create_window()
{
    glfwSetErrorCallback(onGlfwError);
    if (!glfwInit()) {
        LOG_ERROR("Failed to initialize GLFW");
        return false;
    }
    engineDisplay.title = "Rendering Window";

    const bool editor = engineEditorMode();
    // The production plays without border and title bar; the editor's window is an ordinary one.
    glfwWindowHint(GLFW_DECORATED, editor ? GLFW_TRUE : GLFW_FALSE);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 4);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    glfwWindowHint(GLFW_OPENGL_FORWARD_COMPAT, GLFW_TRUE);

    GLFWwindow* window =
        glfwCreateWindow(engineDisplay.width, engineDisplay.height, engineDisplay.title.c_str(), nullptr, nullptr);
    if (!window) {
        LOG_ERROR("Failed to create the window <%s> with an OpenGL 4 core context", engineDisplay.title.c_str());
        glfwTerminate();
        return false;
    }
    engineDisplay.window = window;

    glfwMakeContextCurrent(window);
    glfwSetKeyCallback(window, engine_glfw_key_callback);
    glfwSetCharCallback(window, ignoreChar);
    glfwSetMouseButtonCallback(window, engine_glfw_mouse_button_callback);
    glfwSetCursorPosCallback(window, ignoreCursorPos);
    glfwSetDropCallback(window, engine_glfw_drop_callback);
    glfwSwapInterval(1);

    if (!engine_init_gl()) {
        glfwDestroyWindow(window);
        engineDisplay.window = nullptr;
        glfwTerminate();
        return false;
    }
    programCacheSetFolder(engineProgramCacheFolder);

    int width = 0;
    int height = 0;
    glfwGetWindowSize(window, &width, &height);
    LOG_INFO("Window <%s> %dx%d decorated:%d, OpenGL %s", engineDisplay.title.c_str(), width, height,
             glfwGetWindowAttrib(window, GLFW_DECORATED), reinterpret_cast<const char*>(glGetString(GL_VERSION)));

    // Created in every mode: the editor's state and exit savers exist in playback too.
    ImGui::CreateContext();
#ifdef IMGUI_HAS_DOCK
    ImGui::GetIO().ConfigFlags |= ImGuiConfigFlags_DockingEnable;
#endif
#ifdef IMGUI_HAS_VIEWPORT
    ImGui::GetIO().ConfigFlags |= ImGuiConfigFlags_ViewportsEnable;
#endif
    // With callbacks installed, the back end calls the engine's callbacks first, then updates Dear ImGui's input.
    ImGui_ImplGlfw_InitForOpenGL(window, true);
    ImGui_ImplOpenGL3_Init("#version 430");
    ImGui::StyleColorsDark();

    uiEngineMouseButton = engine_on_mouse_button;
    uiEngineCursorMove = engine_on_cursor_move;
    ui_init(window);
    return true;
}

bool engine_init_gl()
{
    glbinding::Binding::initialize();

    GLint major = 0;
    GLint minor = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &major);
    glGetIntegerv(GL_MINOR_VERSION, &minor);
    // Clip control, direct state access, compute shaders and debug output are used throughout.
    if (major < 4 || (major == 4 && minor < 5)) {
        LOG_ERROR("OpenGL 4.5 core is required, the context gives %d.%d", major, minor);
        return false;
    }

    glDebugMessageCallback(engine_gl_debug_callback, nullptr);
    glDebugMessageControl(GL_DONT_CARE, GL_DONT_CARE, GL_DEBUG_SEVERITY_MEDIUM, 0, nullptr, GL_TRUE);
    if (engineEditorMode())
        glEnable(GL_DEBUG_OUTPUT);
    else
        glDisable(GL_DEBUG_OUTPUT);

    glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
    // Images are tightly packed; the default 4-byte row alignment would skew odd widths.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);

    if (!constBufferRingInit()) {
        LOG_ERROR("Failed to create the constant buffer ring");
        return false;
    }
    return true;
}

void engine_install_signal_handlers()
{
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool engine_close_requested()
{
    return closeRequested != 0;
}

// ---- GL debug output ----

std::string engine_gl_debug_text(GLenum source, GLenum type, GLenum severity, const char* message)
{
    if (severity == GL_DEBUG_SEVERITY_NOTIFICATION)
        return {};
    std::string text = "\n**********Debug Output**************\n";
    text += std::string("source: ") + debugSourceName(source) + "\n";
    text += std::string("type: ") + debugTypeName(type) + "\n";
    text += std::string("severity: ") + debugSeverityName(severity) + "\n";
    text += std::string("debug call: ") + (message ? message : "") + "\n";
    text += type == GL_DEBUG_TYPE_ERROR ? "\n*********ERROR**********\n" : "\n************************\n";
    return text;
}

void engine_gl_debug_callback(GLenum source, GLenum type, GLuint id, GLenum severity, GLsizei length,
                              const GLchar* message, const void* userParam)
{
    const std::string text = engine_gl_debug_text(source, type, severity, message);
    if (text.empty())
        return;
    if (type == GL_DEBUG_TYPE_ERROR)
        LOG_ERROR("%s", text.c_str());
    else
        LOG_WARNING("%s", text.c_str());
}

// ---- Input ----

int engine_key_code(int glfwKey)
{
    switch (glfwKey) {
    case GLFW_KEY_LEFT: return kEngineKeyLeft;
    case GLFW_KEY_UP: return kEngineKeyUp;
    case GLFW_KEY_RIGHT: return kEngineKeyRight;
    case GLFW_KEY_DOWN: return kEngineKeyDown;
    case GLFW_KEY_HOME: return kEngineKeyHome;
    case GLFW_KEY_END: return kEngineKeyEnd;
    case GLFW_KEY_DELETE: return kEngineKeyDelete;
    case GLFW_KEY_BACKSPACE: return kEngineKeyBackspace;
    default: return 0;
    }
}

bool engine_key_move(int engineKey, bool shift, Vector3* delta)
{
    const float step = shift ? 5.0f : 1.0f;
    switch (engineKey) {
    case kEngineKeyLeft: *delta = {-step, 0.0f, 0.0f}; return true;
    case kEngineKeyRight: *delta = {step, 0.0f, 0.0f}; return true;
    case kEngineKeyUp: *delta = {0.0f, 0.0f, step}; return true;
    case kEngineKeyDown: *delta = {0.0f, 0.0f, -step}; return true;
    default: return false;
    }
}

void engine_on_key(int engineKey, bool shift, bool ctrl, int action)
{
    Vector3 delta;
    if (!engine_key_move(engineKey, shift, &delta))
        return;
    if (currentCameraController)
        currentCameraController->Move(delta);
}

void engine_on_mouse_button(int button, int event, int x, int y)
{
    lastCursorX = static_cast<float>(x);
    lastCursorY = static_cast<float>(y);
    dragMode = event == 4 ? (button == 2 ? 2 : 1) : 0;
}

void engine_on_cursor_move(int x, int y)
{
    if (currentCameraController)
        currentCameraController->Drag(dragMode, lastCursorX - static_cast<float>(x),
                                      lastCursorY - static_cast<float>(y));
    lastCursorX = static_cast<float>(x);
    lastCursorY = static_cast<float>(y);
}

void engine_glfw_key_callback(GLFWwindow* window, int key, int scancode, int action, int mods)
{
    ui_key_event(key, action);
    if (action != GLFW_PRESS && action != GLFW_REPEAT)
        return;
    if (imguiWantsKeyboard())
        return;
    const int code = engine_key_code(key);
    if (code == 0 || !engineDisplay.onKey)
        return;
    // Dear ImGui's modifier state as it was before this event: the back end updates it after calling us.
    const bool shift = ImGui::GetCurrentContext() && ImGui::GetIO().KeyShift;
    const bool ctrl = ImGui::GetCurrentContext() && ImGui::GetIO().KeyCtrl;
    engineDisplay.onKey(code, shift, ctrl, action);
}

void engine_glfw_mouse_button_callback(GLFWwindow* window, int button, int action, int mods)
{
    if (imguiWantsMouse())
        return;
    if (button != GLFW_MOUSE_BUTTON_LEFT && button != GLFW_MOUSE_BUTTON_RIGHT)
        return;
    double x = 0.0;
    double y = 0.0;
    glfwGetCursorPos(window, &x, &y);
    const int event = action == GLFW_PRESS ? 4 : 3;
    if (engineDisplay.onMouseButton)
        engineDisplay.onMouseButton(button == GLFW_MOUSE_BUTTON_RIGHT ? 2 : 0, event, static_cast<int>(x),
                                    static_cast<int>(y));
}

void engine_glfw_drop_callback(GLFWwindow* window, int count, const char** paths)
{
    if (!uiResourceManagerState || !paths)
        return;
    for (int i = 0; i < count; ++i) {
        if (paths[i])
            uiResourceManagerState->droppedPaths.emplace_back(paths[i]);
    }
}
