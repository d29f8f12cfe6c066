#include "editor/shader_editor.h"

#include "project/components.h"
#include "project/cvars.h"
#include "project/project.h"

#include <imgui.h>

ShaderEditorState* uiShaderEditorState = nullptr;

namespace {

constexpr int32_t kCheckInterval = 50;

struct BoundParameter {
    CvarTreeNode* tree = nullptr;
    Cvar* cvar = nullptr;
};

// The bound parameter in the current project's components; both null when it is gone.
BoundParameter findBound(const ShaderEditorState& state)
{
    if (state.cvarUuid == 0 || !currentComponents)
        return {};
    for (EngineComponent* component : *currentComponents) {
        if (!component || component->id != state.componentId)
            continue;
        CvarTreeNode* tree = component->GetCvarTree();
        if (!tree)
            return {};
        return {tree, CvarTreeFindByUuid(state.cvarUuid, tree)};
    }
    return {};
}

// Writes the user's edit into the parameter, or takes a change made elsewhere into the editor. The user's edit
// wins when both happened since the last sync: it is the newer work.
void sync(ShaderEditorState& state, const BoundParameter& bound)
{
    const std::string& edited = state.editor.GetText();
    if (edited != state.syncedText) {
        state.syncedText = edited;
        if (bound.cvar->text == edited)
            return;
        bound.cvar->text = edited;
        EngineComponent* owner = bound.tree->owner ? bound.tree->owner : CvarTreeNode::FindOwner(bound.tree->parent);
        if (owner)
            owner->OnCvarChanged(bound.cvar);
    } else if (bound.cvar->text != state.syncedText) {
        state.editor.SetText(bound.cvar->text);
        state.syncedText = bound.cvar->text;
    }
}

void unbind(ShaderEditorState& state)
{
    state.componentId = 0;
    state.cvarUuid = 0;
    state.editor.SetText(kShaderEditorUnassigned);
    state.syncedText = kShaderEditorUnassigned;
}

} // namespace

void ui_shader_editor_bind(ShaderEditorState* state, CvarTreeNode* branch, Cvar* cvar)
{
    if (!state || !cvar || cvar->uuid == state->cvarUuid)
        return;
    if (const BoundParameter bound = findBound(*state); bound.cvar)
        sync(*state, bound);
    EngineComponent* owner = CvarTreeNode::FindOwner(branch);
    state->cvarUuid = cvar->uuid;
    state->componentId = owner ? owner->id : -1;
    state->editor.SetText(cvar->text);
    state->syncedText = cvar->text;
    state->countdown = kCheckInterval;
}

void ui_shader_editor_window(ShaderEditorState* state)
{
    ImGui::SetNextWindowSize(ImVec2(500, 400), ImGuiCond_FirstUseEver);
    ImGui::Begin("Shader Editor");
    if (!state) {
        ImGui::End();
        return;
    }
    state->editor.Render("##shader_text", ImVec2(0, 0), false);
    ImGui::End();

    // The text is compared 49 frames after the last keystroke, then every 50 frames while nothing is typed.
    if (state->editor.IsTextChanged()) {
        state->countdown = kCheckInterval - 1;
        return;
    }
    if (state->countdown > 0 && --state->countdown != 0)
        return;
    if (state->cvarUuid == 0)
        return;
    if (const BoundParameter bound = findBound(*state); bound.cvar)
        sync(*state, bound);
    else
        unbind(*state);
    state->countdown = kCheckInterval;
}
