#include "editor/inspector.h"

#include "app/log.h"
#include "editor/curve_editor.h"
#include "editor/sequencer_window.h"
#include "editor/shader_editor.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/keyframes.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/materials.h"

#include <imgui.h>
#include <imgui_internal.h>
#include <imgui_stdlib.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

// A branch with nothing to show: no child branches and no parameter a component claimed.
bool isEmpty(const CvarTreeNode& branch)
{
    return branch.children.empty() &&
           std::all_of(branch.cvars.begin(), branch.cvars.end(), [](const Cvar* cvar) { return cvar->unclaimed; });
}

bool keyAtFrame(Cvar* cvar, int frame)
{
    const KeyframeTrack* track = SequencerManager::FindTrack(cvar);
    if (!track || frame < 0)
        return false;
    return std::any_of(track->keys.begin(), track->keys.end(),
                       [&](const Keyframe& key) { return key.frame == static_cast<uint32_t>(frame); });
}

// Item lists for combos, rebuilt every frame: short-lived pointers into strings that outlive the combo call.
const char* itemGetter(const std::vector<const char*>& items, int index)
{
    return index >= 0 && static_cast<size_t>(index) < items.size() ? items[static_cast<size_t>(index)] : "";
}

bool comboOf(const char* label, int* current, const std::vector<const char*>& items)
{
    return ImGui::Combo(
        label, current,
        [](void* data, int index, const char** text) {
            *text = itemGetter(*static_cast<const std::vector<const char*>*>(data), index);
            return true;
        },
        const_cast<std::vector<const char*>*>(&items), static_cast<int>(items.size()));
}

bool floatRow(Cvar* cvar)
{
    if (cvar->min == cvar->max)
        return ImGui::InputFloat(cvar->name.c_str(), &cvar->value[0], 0.0f, 0.0f, "%f");
    return ImGui::SliderFloat(cvar->name.c_str(), &cvar->value[0], cvar->min, cvar->max, "%f");
}

bool intRow(Cvar* cvar)
{
    uint32_t value = ui_cvar_int_as_unsigned(cvar->value[0]);
    if (!ImGui::InputScalar(cvar->name.c_str(), ImGuiDataType_U32, &value, nullptr, nullptr, "%u",
                            ImGuiInputTextFlags_EnterReturnsTrue))
        return false;
    cvar->value[0] = static_cast<float>(value);
    return true;
}

void bindShaderEditor(CvarTreeNode* branch, Cvar* cvar)
{
    if (cvar->uuid == 0)
        cvar->uuid = componentsNextUuid();
    EngineComponent* owner = CvarTreeNode::FindOwner(branch);
    if (!owner || !uiShaderEditorState || uiShaderEditorState->cvarUuid == cvar->uuid)
        return;
    // Only a parameter of the owner's own tree is bound, so the editor writes back to the right component.
    CvarTreeNode* tree = owner->GetCvarTree();
    if (!tree || CvarTreeFindByUuid(cvar->uuid, tree) != cvar) {
        LOG_WARNING("Parameter <%s> is not in the tree of its component; the shader editor stays as it is",
                    cvar->name.c_str());
        return;
    }
    ui_shader_editor_bind(uiShaderEditorState, tree, cvar);
}

bool textRow(CvarTreeNode* branch, Cvar* cvar)
{
    ImGui::PushID(cvar->name.c_str());
    ImGui::TextUnformatted(cvar->name.c_str());
    ImGui::SameLine();
    if (ImGui::Button("-> Editor"))
        bindShaderEditor(branch, cvar);
    const float width = ImGui::GetWindowContentRegionMax().x - 50.0f;
    const bool changed = ImGui::InputTextMultiline("##TextEditor", &cvar->text, ImVec2(width, 150.0f));
    ImGui::PopID();
    return changed;
}

bool boolRow(Cvar* cvar)
{
    bool ticked = cvar->value[0] > 0.5f;
    if (!ImGui::Checkbox(cvar->name.c_str(), &ticked))
        return false;
    cvar->value[0] = ticked ? 1.0f : 0.0f;
    return true;
}

// Indents a widget that starts its own line. After "CV" and "K" on the same line an indent would move it back
// over the buttons.
class LineIndent {
public:
    LineIndent(bool startsLine, int levels) : levels_(startsLine ? levels : 0)
    {
        for (int i = 0; i < levels_; ++i)
            ImGui::Indent();
    }
    ~LineIndent()
    {
        for (int i = 0; i < levels_; ++i)
            ImGui::Unindent();
    }
    LineIndent(const LineIndent&) = delete;
    LineIndent& operator=(const LineIndent&) = delete;

private:
    int levels_;
};

bool colorRow(Cvar* cvar, bool startsLine)
{
    const ImGuiColorEditFlags flags = ImGuiColorEditFlags_Float | ImGuiColorEditFlags_HDR;
    LineIndent indent(startsLine, 1);
    return cvar->alphaEditable ? ImGui::ColorEdit4(cvar->name.c_str(), cvar->value, flags)
                               : ImGui::ColorEdit3(cvar->name.c_str(), cvar->value, flags);
}

bool materialRow(Cvar* cvar)
{
    Material* root = cvar->rootMaterial;
    if (!root) {
        ImGui::TextDisabled("%s: <no material>", cvar->name.c_str());
        return false;
    }
    std::vector<const char*> items;
    items.reserve(root->derivedMaterials.size() + 1);
    items.push_back(root->name.c_str());
    int current = 0;
    for (size_t i = 0; i < root->derivedMaterials.size(); ++i) {
        const Material* derived = root->derivedMaterials[i];
        items.push_back(derived ? derived->name.c_str() : "<none>");
        if (current == 0 && derived && derived == cvar->material)
            current = static_cast<int>(i) + 1;
    }
    if (!comboOf(cvar->name.c_str(), &current, items) || current < 0 || static_cast<size_t>(current) >= items.size())
        return false;
    LOG_INFO("Selected material:%d : %s", current, items[static_cast<size_t>(current)]);
    Material* chosen = current == 0 ? root : root->derivedMaterials[static_cast<size_t>(current) - 1];
    if (!chosen)
        return false;
    cvar->material = chosen;
    cvar->materialName = chosen->name;
    return true;
}

bool resourceRow(Cvar* cvar)
{
    if (cvar->resourceType == 0)
        return false;
    std::vector<Resource*> resources;
    if (currentResources)
        resources = currentResources->get_by_type(cvar->resourceType);
    std::vector<const char*> items;
    items.reserve(resources.size() + 1);
    items.push_back(cvar->text.empty() ? "<undefined>" : cvar->text.c_str());
    int current = 0;
    for (size_t i = 0; i < resources.size(); ++i) {
        items.push_back(resources[i]->name.c_str());
        if (current == 0 && resources[i]->name == cvar->text)
            current = static_cast<int>(i) + 1;
    }
    const bool missing = !cvar->text.empty() && current == 0;
    if (missing)
        ImGui::PushStyleColor(ImGuiCol_Text, kMissingResourceColor);
    bool changed = false;
    if (!cvar->text.empty()) {
        if (ImGui::Button("Rem")) {
            cvar->text.clear();
            changed = true;
        }
        ImGui::SameLine();
    }
    if (comboOf(cvar->name.c_str(), &current, items) && current >= 0 && static_cast<size_t>(current) < items.size()) {
        LOG_INFO("Selected resource:%d : %s", current, items[static_cast<size_t>(current)]);
        // Copied before the name changes: item 0 may point into it.
        cvar->text = current == 0 ? std::string() : resources[static_cast<size_t>(current) - 1]->name;
        changed = true;
    }
    if (missing)
        ImGui::PopStyleColor();
    return changed;
}

bool enumRow(Cvar* cvar, bool startsLine)
{
    const int count = CvarEnumOptionCount(cvar->enumOptions);
    LineIndent indent(startsLine, 2);
    bool changed = false;
    if (count == 0) {
        ImGui::TextDisabled("%s: <no options>", cvar->name.c_str());
    } else {
        // Out-of-range values (from a file) show the nearest option until one is picked.
        const float stored = cvar->value[0];
        const int index =
            std::isfinite(stored) ? static_cast<int>(std::clamp(stored, 0.0f, static_cast<float>(count - 1))) : 0;
        if (ImGui::BeginCombo(cvar->name.c_str(), cvar->enumOptions[index])) {
            for (int i = 0; i < count; ++i) {
                ImGui::PushID(i);
                if (ImGui::Selectable(cvar->enumOptions[i], i == index)) {
                    cvar->value[0] = static_cast<float>(i);
                    changed = true;
                }
                ImGui::PopID();
            }
            ImGui::EndCombo();
        }
    }
    return changed;
}

bool widget(CvarTreeNode* branch, Cvar* cvar, bool startsLine)
{
    const char* label = cvar->name.c_str();
    switch (cvar->type) {
    case CvarType::Float:
        return floatRow(cvar);
    case CvarType::Int:
        return intRow(cvar);
    case CvarType::Text:
        return textRow(branch, cvar);
    case CvarType::Bool:
        return boolRow(cvar);
    case CvarType::Button:
        return ImGui::Button(label);
    case CvarType::Color:
        return colorRow(cvar, startsLine);
    case CvarType::Vec3:
        return ImGui::DragFloat3(label, cvar->value, 1.0f, -1500.0f, 1500.0f, "%.3f");
    case CvarType::Vec2:
        return ImGui::DragFloat2(label, cvar->value, 1.0f, -1500.0f, 1500.0f, "%.3f");
    case CvarType::Material:
        return materialRow(cvar);
    case CvarType::Resource:
        return resourceRow(cvar);
    case CvarType::Enum:
        return enumRow(cvar, startsLine);
    case CvarType::Curve:
        // Curve edits are not reported: the curve is baked from its points every render.
        ui_curve_editor(cvar->curve);
        return false;
    default:
        ImGui::TextDisabled("%s: <unknown type %d>", label, static_cast<int>(cvar->type));
        return false;
    }
}

} // namespace

uint32_t ui_cvar_int_as_unsigned(float value)
{
    if (!std::isfinite(value))
        return 0;
    // Through a signed 64-bit integer: converting a negative float straight to unsigned is undefined.
    const double clamped = std::clamp(static_cast<double>(value), -2147483648.0, 4294967295.0);
    return static_cast<uint32_t>(static_cast<int64_t>(clamped));
}

ImVec4 ui_cvar_key_color(Cvar* cvar)
{
    if (!SequencerManager::HasTrack(cvar))
        return kKeyNoTrackColor;
    return keyAtFrame(cvar, sequencerFrame) ? kKeyAtFrameColor : kKeyElsewhereColor;
}

ImVec4 ui_cvar_branch_header_color(const CvarTreeNode& branch, ImGuiCol styleColor)
{
    const ImGuiStyle& style = ImGui::GetStyle();
    ImVec4 color = style.Colors[styleColor];
    color.w *= style.Alpha;
    color = ImGui::ColorConvertU32ToFloat4(ImGui::ColorConvertFloat4ToU32(color));
    if (branch.color[0] == 0.0f && branch.color[1] == 0.0f && branch.color[2] == 0.0f)
        return color;
    float hue = 0.0f, saturation = 0.0f, value = 0.0f;
    ImGui::ColorConvertRGBtoHSV(branch.color[0], branch.color[1], branch.color[2], hue, saturation, value);
    float styleHue = 0.0f, styleSaturation = 0.0f, styleValue = 0.0f;
    ImGui::ColorConvertRGBtoHSV(color.x, color.y, color.z, styleHue, styleSaturation, styleValue);
    ImVec4 result(0.0f, 0.0f, 0.0f, color.w);
    ImGui::ColorConvertHSVtoRGB(hue, styleSaturation, styleValue, result.x, result.y, result.z);
    return result;
}

bool ui_handle_cvar_tree_node_cvar(CvarTreeNode* branch, Cvar* cvar)
{
    if (!cvar)
        return false;
    if (cvar->readOnly) {
        ImGui::Indent();
        if (!cvar->text.empty())
            ImGui::Text("%s", cvar->text.c_str());
        else
            ImGui::Text("%s %.3f", cvar->name.c_str(), cvar->value[0]);
        ImGui::Unindent();
        return false;
    }
    ImGui::PushID(cvar->name.c_str());
    EngineComponent* owner = branch ? branch->owner : nullptr;
    if (owner) {
        ImGui::PushStyleColor(ImGuiCol_Text, cvar->graph_exposed ? kCvarExposedColor : kCvarPlainColor);
        const bool toggle = ImGui::Button("CV");
        ImGui::PopStyleColor();
        if (toggle) {
            cvar->graph_exposed = !cvar->graph_exposed;
            owner->ToggleCvarInput(cvar);
        }
        ImGui::SameLine();
        if (cvar->animatable) {
            ImGui::PushStyleColor(ImGuiCol_Text, ui_cvar_key_color(cvar));
            const bool key = ImGui::Button("K");
            ImGui::PopStyleColor();
            if (key) {
                if (cvar->uuid == 0)
                    cvar->uuid = componentsNextUuid();
                SequencerManager::SetKey(cvar, sequencerFrame);
                LOG_INFO("Keyed <%s> at frame %d", cvar->name.c_str(), sequencerFrame);
            }
        } else {
            // As wide as "K", so the widgets of animatable and other rows line up.
            ImGui::Dummy(ImVec2(ImGui::CalcTextSize("K").x + ImGui::GetStyle().FramePadding.x * 2.0f, 0.0f));
        }
        ImGui::SameLine();
    }
    const bool changed = widget(branch, cvar, owner == nullptr);
    ImGui::PopID();
    return changed;
}

void ui_handle_cvar_tree_node(CvarTreeNode* branch)
{
    if (!branch || !branch->visible || isEmpty(*branch))
        return;
    // A window too small or collapsed to show anything closes every tree node it is asked for; that is not the
    // user closing the branch, and its saved open flag must not change.
    if (ImGui::GetCurrentWindowRead()->SkipItems)
        return;
    std::string label = branch->caption.empty() ? branch->name : branch->name + " (" + branch->caption + ")";
    // The root's name is empty, and an empty label would give the node its window's own id.
    if (label.empty())
        label = "##unnamed branch";
    ImGui::PushStyleColor(ImGuiCol_Header, ui_cvar_branch_header_color(*branch, ImGuiCol_Header));
    ImGui::PushStyleColor(ImGuiCol_HeaderActive, ui_cvar_branch_header_color(*branch, ImGuiCol_HeaderActive));
    const ImGuiTreeNodeFlags flags = ImGuiTreeNodeFlags_Framed | ImGuiTreeNodeFlags_FramePadding |
                                     ImGuiTreeNodeFlags_AllowItemOverlap |
                                     (branch->open ? ImGuiTreeNodeFlags_DefaultOpen : 0);
    const bool open = ImGui::TreeNodeEx(label.c_str(), flags);
    if (open) {
        ImGui::PushID(branch->name.c_str());
        ImGui::BeginGroup();
        // By index: an owner told of a change may add parameters or branches, which can move the lists.
        for (size_t i = 0; i < branch->children.size(); ++i)
            ui_handle_cvar_tree_node(branch->children[i]);
        for (size_t i = 0; i < branch->cvars.size(); ++i) {
            Cvar* cvar = branch->cvars[i];
            if (cvar->unclaimed)
                continue;
            if (ui_handle_cvar_tree_node_cvar(branch, cvar)) {
                if (EngineComponent* owner = CvarTreeNode::FindOwner(branch))
                    owner->OnCvarChanged(cvar);
            }
        }
        ImGui::PopID();
        ImGui::EndGroup();
        ImGui::TreePop();
    }
    ImGui::PopStyleColor(2);
    branch->open = open;
}
