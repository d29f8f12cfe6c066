// "Shader Editor": a source editor bound to one Text parameter of one component. Edits are written back after a
// pause in typing and the component is told, so it rebuilds.
#pragma once

#include "editor/text_editor.h"

#include <cstdint>
#include <string>

class CvarTreeNode;
struct Cvar;

struct ShaderEditorState {
    int32_t componentId = -1;
    uint64_t cvarUuid = 0; // 0: nothing bound
    int32_t countdown = 0; // frames until the next write-back check
    TextEditor editor;
    // The parameter's text as the editor and the parameter last agreed on it: an editor text that differs from it
    // is the user's edit, a parameter text that differs from it was changed elsewhere.
    std::string syncedText;
};

extern ShaderEditorState* uiShaderEditorState;

// Text shown when the bound component or parameter is gone.
constexpr const char* kShaderEditorUnassigned = "<engine component and variable no assigned>";

// Binds the parameter (the "-> Editor" button): a pending edit of the old binding is written back first. Binding
// the parameter already bound changes nothing.
void ui_shader_editor_bind(ShaderEditorState* state, CvarTreeNode* branch, Cvar* cvar);
void ui_shader_editor_window(ShaderEditorState* state);
