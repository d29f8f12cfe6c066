#include "editor/file_name_prompt.h"

#include "components/material_node.h"

#include <imgui.h>

#include <algorithm>
#include <cstring>

FileNamePromptState uiFileNamePrompt;

void ui_file_name_prompt_request(const std::string& title, const std::string& folder, const std::string& proposed,
                                 std::function<void(const std::string& path)> chosen)
{
    FileNamePromptState& state = uiFileNamePrompt;
    state.pending = true;
    state.open = false;
    state.title = title;
    state.folder = folder;
    std::memset(state.name, 0, sizeof state.name);
    std::memcpy(state.name, proposed.data(), std::min(proposed.size(), sizeof state.name - 1));
    state.chosen = std::move(chosen);
}

std::string ui_file_name_prompt_path(const char* typed)
{
    std::string path = typed ? typed : "";
    const auto first = path.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = path.find_last_not_of(" \t");
    return path.substr(first, last - first + 1);
}

void ui_file_name_prompt_draw(FileNamePromptState& state)
{
    if (!state.pending && !state.open)
        return;
    const std::string popupId = state.title + "##file name prompt";
    if (state.pending) {
        ImGui::OpenPopup(popupId.c_str());
        state.pending = false;
        state.open = true;
    }
    if (!ImGui::BeginPopupModal(popupId.c_str(), nullptr, ImGuiWindowFlags_AlwaysAutoResize)) {
        state.open = false; // closed from outside
        return;
    }
    ImGui::Text("In %s", state.folder.c_str());
    if (ImGui::IsWindowAppearing())
        ImGui::SetKeyboardFocusHere();
    const bool entered =
        ImGui::InputText("File name", state.name, sizeof state.name, ImGuiInputTextFlags_EnterReturnsTrue);
    const std::string path = ui_file_name_prompt_path(state.name);
    bool finish = false;
    if ((ImGui::Button("Save") || entered) && !path.empty()) {
        if (state.chosen)
            state.chosen(path);
        finish = true;
    }
    ImGui::SameLine();
    if (ImGui::Button("Cancel") || ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Escape)))
        finish = true;
    if (finish) {
        state.open = false;
        state.chosen = nullptr;
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
}

void ui_file_name_prompt_connect() { materialExportPrompt = ui_file_name_prompt_request; }
