#include "editor/inspector.h"

#include "project/components.h"
#include "project/cvars.h"

#include <imgui.h>

#include <algorithm>

namespace {

// A branch with nothing to show: no child branches and no parameter a component claimed.
bool isEmpty(const CvarTreeNode& branch)
{
    return branch.children.empty() &&
           std::all_of(branch.cvars.begin(), branch.cvars.end(), [](const Cvar* cvar) { return cvar->unclaimed; });
}

} // namespace

bool ui_handle_cvar_tree_node_cvar(CvarTreeNode* branch, Cvar* cvar)
{
    // Rows show the parameter's name until the widgets per type exist.
    ImGui::TextUnformatted(cvar->name.c_str());
    return false;
}

void ui_handle_cvar_tree_node(CvarTreeNode* branch)
{
    if (!branch || !branch->visible || isEmpty(*branch))
        return;
    // The root's name is empty, and an empty label would give the node its window's own id.
    const char* label = branch->name.empty() ? "##unnamed branch" : branch->name.c_str();
    const ImGuiTreeNodeFlags flags = ImGuiTreeNodeFlags_Framed | ImGuiTreeNodeFlags_AllowItemOverlap |
                                     (branch->open ? ImGuiTreeNodeFlags_DefaultOpen : 0);
    if (!ImGui::TreeNodeEx(label, flags))
        return;
    ImGui::PushID(label);
    ImGui::BeginGroup();
    for (CvarTreeNode* child : branch->children)
        ui_handle_cvar_tree_node(child);
    for (Cvar* cvar : branch->cvars) {
        if (cvar->unclaimed)
            continue;
        if (ui_handle_cvar_tree_node_cvar(branch, cvar)) {
            EngineComponent* owner = CvarTreeNode::FindOwner(branch);
            if (owner)
                owner->OnCvarChanged(cvar);
        }
    }
    ImGui::PopID();
    ImGui::EndGroup();
    ImGui::TreePop();
}
