// The output window with its OpenGL context and input, and the display start-up that loads the projects.
#pragma once

#include <glbinding/gl/types.h>
#include <string>

struct GLFWwindow;
struct Vector3;

struct EngineDisplay {
    int width = 0;
    int height = 0;
    std::string title;
    GLFWwindow* window = nullptr;
    void (*onFrame)() = nullptr;
    void (*onKey)(int engineKey, bool shift, bool ctrl, int action) = nullptr;
    void (*onMouseButton)(int button, int event, int x, int y) = nullptr; // button 0 left, 2 right; event 4 press, 3 release
    void (*onCursorMove)(int x, int y) = nullptr;
    bool quit = false; // the window was asked to close
};

extern EngineDisplay engineDisplay;
// Folder of the program binary cache, switched on as soon as the GL context exists, before anything builds a program
// (empty: no cache). main sets it; tests leave it empty.
extern std::string engineProgramCacheFolder;

// Engine key codes handed to onKey.
enum EngineKey {
    kEngineKeyLeft = 267,
    kEngineKeyUp = 268,
    kEngineKeyRight = 269,
    kEngineKeyDown = 270,
    kEngineKeyHome = 271,
    kEngineKeyEnd = 272,
    kEngineKeyDelete = 273,
    kEngineKeyBackspace = 274,
};

// Mouse-drag state: the last cursor position and 0 none, 1 rotate (left held), 2 roll and lift (right held).
extern float lastCursorX;
extern float lastCursorY;
extern int dragMode;

// ---- Command line ----

// The process's arguments, kept for every start-up reader.
void engineSetArguments(int argc, char** argv);
// Any of argv[1..] equals "-ui", compared without regard to case.
bool engineEditorMode();

// ---- Start-up ----

// Window, GL, editor context, layer segments, layer compositor and projects. False (after an error line) when the
// window or its GL context could not be had; nothing may touch GL then.
bool engine_init_display();
// The size the frames are drawn at (screenWidth x screenHeight; the window keeps its own size). Every owner of a
// target at that size makes it again when it next draws. The start-up warm-up draws small, then sets it back.
void engineSetOutputSize(int width, int height);
// The window's size, the size frames are drawn at outside the warm-up.
int engineFullOutputWidth();
int engineFullOutputHeight();
bool engine_create_window();
bool engine_init_gl();

// SIGINT and SIGTERM ask the window to close, so the program leaves through its normal exit path.
void engine_install_signal_handlers();
bool engine_close_requested();

// ---- GL debug output ----

void engine_gl_debug_callback(gl::GLenum source, gl::GLenum type, gl::GLuint id, gl::GLenum severity,
                              gl::GLsizei length, const gl::GLchar* message, const void* userParam);
// The text the callback logs for a message; empty for notifications, which are dropped.
std::string engine_gl_debug_text(gl::GLenum source, gl::GLenum type, gl::GLenum severity, const char* message);

// ---- Input ----

// The engine code of a GLFW key, 0 for keys the engine ignores.
int engine_key_code(int glfwKey);
// The camera move of an arrow key (step 5 with Shift, else 1); false for other keys.
bool engine_key_move(int engineKey, bool shift, Vector3* delta);

void engine_on_key(int engineKey, bool shift, bool ctrl, int action);
void engine_on_mouse_button(int button, int event, int x, int y);
void engine_on_cursor_move(int x, int y);

void engine_glfw_key_callback(GLFWwindow* window, int key, int scancode, int action, int mods);
void engine_glfw_mouse_button_callback(GLFWwindow* window, int button, int action, int mods);
void engine_glfw_drop_callback(GLFWwindow* window, int count, const char** paths);
