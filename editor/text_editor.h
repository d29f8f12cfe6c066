// A multiline source editor for the "Shader Editor" window: edits keep every other byte of the text as it was,
// Tab inserts a tab, and GLSL sources are coloured.
//
// The text is held as the bytes it was given. The caret and the selection are byte offsets that always sit on a
// character boundary: never inside a UTF-8 sequence and never between the '\r' and '\n' of a CRLF line break.
#pragma once

#include <imgui.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TextEditor {
public:
    enum class Language { Plain, Glsl };

    enum class TokenKind : uint8_t { Default, Keyword, Type, Number, Comment, Preprocessor, String };
    struct Token {
        size_t begin = 0; // byte offsets, [begin, end)
        size_t end = 0;
        TokenKind kind = TokenKind::Default;
        bool operator==(const Token& other) const
        {
            return begin == other.begin && end == other.end && kind == other.kind;
        }
    };
    // The coloured spans of a GLSL text in order; bytes outside every span are plain. Block comments run across
    // lines; an unterminated one runs to the end.
    static std::vector<Token> TokenizeGlsl(std::string_view text);

    void SetLanguage(Language language);
    Language GetLanguage() const { return language_; }

    // Replaces the whole text; this is not a change made by the user. The caret and selection stay where they were,
    // clamped into the new text, and the undo history is dropped.
    void SetText(const std::string& text);
    const std::string& GetText() const { return text_; }

    // Draws the editor filling size (0 = the rest of the window) and handles the frame's input.
    void Render(const char* id, ImVec2 size = ImVec2(0, 0), bool border = false);
    // True when the user changed the text during the last Render.
    bool IsTextChanged() const { return changed_; }

    // Caret and selection as byte offsets; the selection is [begin, end), empty when nothing is selected.
    size_t GetCaret() const { return caret_; }
    size_t GetSelectionBegin() const { return caret_ < anchor_ ? caret_ : anchor_; }
    size_t GetSelectionEnd() const { return caret_ < anchor_ ? anchor_ : caret_; }
    std::string GetSelectedText() const;
    // Places the selection (anchor to caret), each end clamped onto a character boundary of the text.
    void SetSelection(size_t anchor, size_t caret);
    // Height of one line as last drawn.
    float GetLineHeight() const { return lineHeight_; }

private:
    struct Edit {
        size_t pos = 0;
        std::string removed;
        std::string inserted;
        size_t caretBefore = 0;
        size_t anchorBefore = 0;
        size_t caretAfter = 0;
    };

    // Text structure
    void textReplaced();
    size_t lineCount() const { return lineStarts_.size(); }
    size_t lineOf(size_t pos) const;
    size_t lineEnd(size_t line) const; // offset of the line's visible end (before "\n" or "\r\n")
    size_t nextChar(size_t pos) const;
    size_t prevChar(size_t pos) const;
    size_t clampToBoundary(size_t pos) const;
    size_t wordBegin(size_t pos) const;
    size_t wordEnd(size_t pos) const;
    std::string lineBreak() const;

    // Layout
    // Width of the character at pos drawn at x (tabs reach the next stop); next gets the following offset.
    float charAdvance(size_t pos, float x, size_t* next, unsigned* codepoint) const;
    float xOf(size_t pos) const; // from the start of its line
    size_t offsetAtX(size_t line, float x) const;

    // Editing
    void replace(size_t begin, size_t end, const std::string& inserted, bool typing);
    void insert(const std::string& inserted, bool typing);
    void deleteSelection();
    void undo();
    void redo();
    void moveCaret(size_t pos, bool select);

    void handleKeyboard();

    std::string text_;
    Language language_ = Language::Plain;
    bool changed_ = false;

    std::vector<size_t> lineStarts_{0};
    std::vector<TokenKind> kinds_; // one per byte of text_
    float maxLineWidth_ = 0.0f;
    bool widthDirty_ = true; // maxLineWidth_ is measured again by the next Render

    size_t caret_ = 0;
    size_t anchor_ = 0;
    float preferredX_ = -1.0f; // x kept by Up/Down/PageUp/PageDown; negative when unset
    bool caretMoved_ = false;  // scroll it into view this frame
    bool mouseSelecting_ = false;
    double caretTime_ = 0.0; // when the caret last moved, so it shows solid while working

    std::vector<Edit> undo_;
    std::vector<Edit> redo_;
    bool mergeTyping_ = false; // the next typed character may join the last undo step

    // Frame metrics, set at the start of each Render
    ImFont* font_ = nullptr;
    float fontSize_ = 13.0f;
    float lineHeight_ = 15.0f;
    float visibleLines_ = 1.0f;
};
