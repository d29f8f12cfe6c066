#include "editor/text_editor.h"

#include <imgui_stdlib.h>

void TextEditor::SetText(const std::string& text)
{
    text_ = text;
    changed_ = false;
}

void TextEditor::Render(const char* id, ImVec2 size, bool border)
{
    if (size.x <= 0 || size.y <= 0)
        size = ImGui::GetContentRegionAvail();
    changed_ = ImGui::InputTextMultiline(id, &text_, size, ImGuiInputTextFlags_AllowTabInput);
    (void)border;
}
