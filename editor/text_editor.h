// A multiline source editor for the "Shader Editor" window: edits keep every other byte of the text as it was,
// Tab inserts a tab, and GLSL sources are coloured.
#pragma once

#include <imgui.h>

#include <string>

class TextEditor {
public:
    enum class Language { Plain, Glsl };

    void SetLanguage(Language language) { language_ = language; }
    Language GetLanguage() const { return language_; }

    // Replaces the whole text; this is not a change made by the user.
    void SetText(const std::string& text);
    const std::string& GetText() const { return text_; }

    // Draws the editor filling size (0 = the rest of the window) and handles the frame's input.
    void Render(const char* id, ImVec2 size = ImVec2(0, 0), bool border = false);
    // True when the user changed the text during the last Render.
    bool IsTextChanged() const { return changed_; }

private:
    std::string text_;
    Language language_ = Language::Plain;
    bool changed_ = false;
};
