#include "editor/text_editor.h"

#include <imgui_internal.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <unordered_set>

namespace {

constexpr size_t kUndoLimit = 512;
constexpr int kTabColumns = 4;

// Colours of the token kinds, indexed by TokenKind.
constexpr std::array<ImU32, 7> kTokenColours = {
    IM_COL32(220, 220, 220, 255), // Default
    IM_COL32(86, 156, 214, 255),  // Keyword
    IM_COL32(78, 201, 176, 255),  // Type
    IM_COL32(181, 206, 168, 255), // Number
    IM_COL32(106, 153, 85, 255),  // Comment
    IM_COL32(197, 134, 192, 255), // Preprocessor
    IM_COL32(206, 145, 120, 255), // String
};
constexpr ImU32 kBackground = IM_COL32(30, 30, 30, 255);
constexpr ImU32 kGutterText = IM_COL32(110, 110, 110, 255);
constexpr ImU32 kSelection = IM_COL32(38, 79, 120, 255);
constexpr ImU32 kCaret = IM_COL32(240, 240, 240, 255);

// One UTF-8 character at pos: its length in bytes and code point. A malformed or cut-off sequence is a single byte
// of its own (shown as U+FFFD), so every byte of any input belongs to exactly one character.
size_t decodeUtf8(std::string_view text, size_t pos, unsigned* codepoint)
{
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    *codepoint = 0xFFFD;
    size_t length = 0;
    unsigned value = 0;
    if (lead < 0x80) {
        *codepoint = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07u;
    } else {
        return 1;
    }
    if (length > text.size() - pos)
        return 1;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80)
            return 1;
        value = (value << 6) | (next & 0x3Fu);
    }
    static constexpr unsigned kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value >= kSmallest[length] && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF))
        *codepoint = value;
    return length;
}

void encodeUtf8(unsigned cp, std::string& out)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Letters, digits, '_' and every non-ASCII byte make words, so a word never ends inside a UTF-8 character.
bool isWordByte(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x80 || u == '_' || (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}
bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isIdentStart(char c)
{
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isIdentByte(char c)
{
    return isIdentStart(c) || isDigit(c);
}

bool isGlslKeyword(std::string_view word)
{
    static const std::unordered_set<std::string_view> keywords = {
        "attribute", "const",    "uniform",   "varying",  "buffer",   "shared",   "coherent",      "volatile",
        "restrict",  "readonly", "writeonly", "layout",   "centroid", "flat",     "smooth",        "noperspective",
        "patch",     "sample",   "break",     "continue", "do",       "for",      "while",         "switch",
        "case",      "default",  "if",        "else",     "subroutine", "in",     "out",           "inout",
        "true",      "false",    "invariant", "precise",  "discard",  "return",   "struct",        "precision",
        "highp",     "mediump",  "lowp",
    };
    return keywords.count(word) != 0;
}

bool isGlslType(std::string_view word)
{
    static const std::unordered_set<std::string_view> types = {
        "void",   "bool",   "int",    "uint",   "float",  "double", "vec2",    "vec3",    "vec4",    "dvec2",
        "dvec3",  "dvec4",  "bvec2",  "bvec3",  "bvec4",  "ivec2",  "ivec3",   "ivec4",   "uvec2",   "uvec3",
        "uvec4",  "mat2",   "mat3",   "mat4",   "mat2x2", "mat2x3", "mat2x4",  "mat3x2",  "mat3x3",  "mat3x4",
        "mat4x2", "mat4x3", "mat4x4", "dmat2",  "dmat3",  "dmat4",  "dmat2x2", "dmat2x3", "dmat2x4", "dmat3x2",
        "dmat3x3", "dmat3x4", "dmat4x2", "dmat4x3", "dmat4x4", "atomic_uint",
    };
    if (types.count(word))
        return true;
    // The sampler and image families: sampler2D, usampler2DArray, image3D, samplerCubeShadow, imageBuffer, ...
    // (but not the functions imageLoad, imageSize and the like).
    for (std::string_view prefix : {"sampler", "isampler", "usampler", "image", "iimage", "uimage"}) {
        if (word.size() <= prefix.size() || word.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string_view rest = word.substr(prefix.size());
        if (isDigit(rest[0]) || rest.compare(0, 4, "Cube") == 0 || rest.compare(0, 6, "Buffer") == 0 ||
            rest.compare(0, 4, "Rect") == 0)
            return true;
    }
    return false;
}

} // namespace

// ---- Colouring ----

std::vector<TextEditor::Token> TextEditor::TokenizeGlsl(std::string_view s)
{
    std::vector<Token> tokens;
    const size_t n = s.size();
    auto add = [&](size_t begin, size_t end, TokenKind kind) {
        if (end > begin)
            tokens.push_back({begin, end, kind});
    };
    // The end of the line at pos, before its "\n" or "\r\n".
    auto lineEndFrom = [&](size_t pos) {
        size_t end = s.find('\n', pos);
        if (end == std::string_view::npos)
            end = n;
        if (end > pos && s[end - 1] == '\r')
            --end;
        return end;
    };
    bool lineStart = true; // only blanks so far on this line
    size_t i = 0;
    while (i < n) {
        const char c = s[i];
        if (c == '\n') {
            lineStart = true;
            ++i;
            continue;
        }
        if (isBlank(c)) {
            ++i;
            continue;
        }
        const char next = i + 1 < n ? s[i + 1] : '\0';
        if (c == '/' && next == '/') {
            const size_t end = lineEndFrom(i);
            add(i, end, TokenKind::Comment);
            i = end;
        } else if (c == '/' && next == '*') {
            const size_t close = s.find("*/", i + 2);
            const size_t end = close == std::string_view::npos ? n : close + 2;
            add(i, end, TokenKind::Comment);
            i = end;
        } else if (c == '#' && lineStart) {
            // Up to the end of the line (or of its backslash continuations), or to a comment within it.
            size_t end = i + 1;
            while (end < n && s[end] != '\n') {
                if (s[end] == '/' && end + 1 < n && (s[end + 1] == '/' || s[end + 1] == '*'))
                    break;
                if (s[end] == '\\' && end + 1 < n && s[end + 1] == '\n')
                    end += 2;
                else if (s[end] == '\\' && end + 2 < n && s[end + 1] == '\r' && s[end + 2] == '\n')
                    end += 3;
                else
                    ++end;
            }
            if (end > i && (end == n || s[end] == '\n') && s[end - 1] == '\r')
                --end;
            add(i, end, TokenKind::Preprocessor);
            i = end;
        } else if (c == '"') {
            size_t end = i + 1;
            while (end < n && s[end] != '"' && s[end] != '\n') {
                if (s[end] == '\\' && end + 1 < n && s[end + 1] != '\n')
                    end += 2;
                else
                    ++end;
            }
            if (end < n && s[end] == '"')
                ++end;
            else if (end > i + 1 && s[end - 1] == '\r')
                --end;
            add(i, end, TokenKind::String);
            i = end;
        } else if (isDigit(c) || (c == '.' && isDigit(next))) {
            const bool hex = c == '0' && (next == 'x' || next == 'X');
            size_t end = hex ? i + 2 : i;
            while (end < n) {
                const char d = s[end];
                if (isIdentByte(d) || d == '.')
                    ++end;
                else if ((d == '+' || d == '-') && !hex && (s[end - 1] == 'e' || s[end - 1] == 'E'))
                    ++end;
                else
                    break;
            }
            add(i, end, TokenKind::Number);
            i = end;
        } else if (isIdentStart(c)) {
            size_t end = i;
            while (end < n && isIdentByte(s[end]))
                ++end;
            const std::string_view word = s.substr(i, end - i);
            if (isGlslKeyword(word))
                add(i, end, TokenKind::Keyword);
            else if (isGlslType(word))
                add(i, end, TokenKind::Type);
            i = end;
        } else {
            ++i;
        }
        lineStart = false;
    }
    return tokens;
}

// ---- Text structure ----

void TextEditor::SetLanguage(Language language)
{
    if (language == language_)
        return;
    language_ = language;
    textReplaced();
}

void TextEditor::SetText(const std::string& text)
{
    text_ = text;
    changed_ = false;
    undo_.clear();
    redo_.clear();
    mergeTyping_ = false;
    preferredX_ = -1.0f;
    textReplaced();
    // The caret may be in use (the widget focused): it stays on a valid place of the new text.
    caret_ = clampToBoundary(caret_);
    anchor_ = clampToBoundary(anchor_);
}

std::string TextEditor::GetSelectedText() const
{
    return text_.substr(GetSelectionBegin(), GetSelectionEnd() - GetSelectionBegin());
}

void TextEditor::SetSelection(size_t anchor, size_t caret)
{
    anchor_ = clampToBoundary(anchor);
    caret_ = clampToBoundary(caret);
    preferredX_ = -1.0f;
    mergeTyping_ = false;
    caretMoved_ = true;
}

void TextEditor::textReplaced()
{
    lineStarts_.assign(1, 0);
    for (size_t i = 0; i < text_.size(); ++i)
        if (text_[i] == '\n')
            lineStarts_.push_back(i + 1);
    kinds_.assign(text_.size(), TokenKind::Default);
    if (language_ == Language::Glsl)
        for (const Token& token : TokenizeGlsl(text_))
            std::fill(kinds_.begin() + static_cast<ptrdiff_t>(token.begin),
                      kinds_.begin() + static_cast<ptrdiff_t>(token.end), token.kind);
    widthDirty_ = true;
}

size_t TextEditor::lineOf(size_t pos) const
{
    return static_cast<size_t>(std::upper_bound(lineStarts_.begin(), lineStarts_.end(), pos) - lineStarts_.begin()) -
           1;
}

size_t TextEditor::lineEnd(size_t line) const
{
    if (line + 1 >= lineStarts_.size())
        return text_.size();
    size_t end = lineStarts_[line + 1] - 1; // the '\n'
    if (end > lineStarts_[line] && text_[end - 1] == '\r')
        --end;
    return end;
}

size_t TextEditor::nextChar(size_t pos) const
{
    if (pos >= text_.size())
        return text_.size();
    if (text_[pos] == '\r' && pos + 1 < text_.size() && text_[pos + 1] == '\n')
        return pos + 2;
    unsigned codepoint = 0;
    return pos + decodeUtf8(text_, pos, &codepoint);
}

size_t TextEditor::prevChar(size_t pos) const
{
    if (pos == 0)
        return 0;
    pos = std::min(pos, text_.size());
    if (text_[pos - 1] == '\n' && pos >= 2 && text_[pos - 2] == '\r')
        return pos - 2;
    // The longest well-formed sequence ending at pos; a lead byte always starts a character.
    for (size_t length = std::min<size_t>(4, pos); length > 1; --length) {
        unsigned codepoint = 0;
        if (decodeUtf8(text_, pos - length, &codepoint) == length)
            return pos - length;
    }
    return pos - 1;
}

size_t TextEditor::clampToBoundary(size_t pos) const
{
    pos = std::min(pos, text_.size());
    size_t at = lineStarts_[lineOf(pos)];
    while (at < pos) {
        const size_t next = nextChar(at);
        if (next > pos)
            break;
        at = next;
    }
    return at;
}

size_t TextEditor::wordBegin(size_t pos) const
{
    const size_t start = lineStarts_[lineOf(pos)];
    if (pos == start)
        return prevChar(pos);
    size_t at = pos;
    while (at > start && isBlank(text_[at - 1]))
        --at;
    if (at > start && isWordByte(text_[at - 1])) {
        while (at > start && isWordByte(text_[at - 1]))
            --at;
    } else if (at > start && at == pos) {
        at = prevChar(at);
    }
    return at;
}

size_t TextEditor::wordEnd(size_t pos) const
{
    const size_t end = lineEnd(lineOf(pos));
    if (pos >= end)
        return nextChar(pos);
    size_t at = pos;
    while (at < end && isBlank(text_[at]))
        ++at;
    if (at < end && isWordByte(text_[at])) {
        while (at < end && isWordByte(text_[at]))
            ++at;
    } else if (at < end && at == pos) {
        at = nextChar(at);
    }
    return at;
}

std::string TextEditor::lineBreak() const
{
    // New lines follow the text's own convention, judged by its first line break.
    const size_t first = text_.find('\n');
    return first != std::string::npos && first > 0 && text_[first - 1] == '\r' ? "\r\n" : "\n";
}

// ---- Layout ----

float TextEditor::charAdvance(size_t pos, float x, size_t* next, unsigned* codepoint) const
{
    const float scale = fontSize_ / font_->FontSize;
    if (text_[pos] == '\t') {
        *next = pos + 1;
        *codepoint = '\t';
        const float tab = kTabColumns * font_->GetCharAdvance(' ') * scale;
        return tab > 0.0f ? (std::floor(x / tab) + 1.0f) * tab - x : 0.0f;
    }
    *next = pos + decodeUtf8(text_, pos, codepoint);
    // Dear ImGui's characters are 16 bits wide here.
    const ImWchar shown = static_cast<ImWchar>(*codepoint <= 0xFFFF ? *codepoint : 0xFFFD);
    return font_->GetCharAdvance(shown) * scale;
}

float TextEditor::xOf(size_t pos) const
{
    const size_t line = lineOf(pos);
    const size_t end = std::min(pos, lineEnd(line));
    float x = 0.0f;
    for (size_t at = lineStarts_[line], next = 0; at < end; at = next) {
        unsigned codepoint = 0;
        x += charAdvance(at, x, &next, &codepoint);
    }
    return x;
}

size_t TextEditor::offsetAtX(size_t line, float x) const
{
    const size_t end = lineEnd(line);
    float left = 0.0f;
    for (size_t at = lineStarts_[line], next = 0; at < end; at = next) {
        unsigned codepoint = 0;
        const float advance = charAdvance(at, left, &next, &codepoint);
        if (x < left + advance * 0.5f)
            return at;
        left += advance;
    }
    return end;
}

// ---- Editing ----

void TextEditor::replace(size_t begin, size_t end, const std::string& inserted, bool typing)
{
    if (begin == end && inserted.empty())
        return;
    Edit edit{begin, text_.substr(begin, end - begin), inserted, caret_, anchor_, begin + inserted.size()};
    Edit* last = undo_.empty() ? nullptr : &undo_.back();
    if (typing && mergeTyping_ && last && edit.removed.empty() && last->pos + last->inserted.size() == begin) {
        // A run of typed characters is one undo step.
        last->inserted += inserted;
        last->caretAfter = edit.caretAfter;
    } else {
        if (undo_.size() >= kUndoLimit)
            undo_.erase(undo_.begin());
        undo_.push_back(std::move(edit));
    }
    redo_.clear();
    text_.replace(begin, end - begin, inserted);
    caret_ = anchor_ = begin + inserted.size();
    textReplaced();
    changed_ = true;
    mergeTyping_ = typing;
    caretMoved_ = true;
    preferredX_ = -1.0f;
}

void TextEditor::insert(const std::string& inserted, bool typing)
{
    replace(GetSelectionBegin(), GetSelectionEnd(), inserted, typing);
}

void TextEditor::deleteSelection()
{
    replace(GetSelectionBegin(), GetSelectionEnd(), std::string(), false);
}

void TextEditor::undo()
{
    if (undo_.empty())
        return;
    Edit edit = std::move(undo_.back());
    undo_.pop_back();
    text_.replace(edit.pos, edit.inserted.size(), edit.removed);
    caret_ = edit.caretBefore;
    anchor_ = edit.anchorBefore;
    redo_.push_back(std::move(edit));
    textReplaced();
    changed_ = true;
    mergeTyping_ = false;
    caretMoved_ = true;
    preferredX_ = -1.0f;
}

void TextEditor::redo()
{
    if (redo_.empty())
        return;
    Edit edit = std::move(redo_.back());
    redo_.pop_back();
    text_.replace(edit.pos, edit.removed.size(), edit.inserted);
    caret_ = anchor_ = edit.caretAfter;
    undo_.push_back(std::move(edit));
    textReplaced();
    changed_ = true;
    mergeTyping_ = false;
    caretMoved_ = true;
    preferredX_ = -1.0f;
}

void TextEditor::moveCaret(size_t pos, bool select)
{
    caret_ = pos;
    if (!select)
        anchor_ = pos;
    caretMoved_ = true;
    mergeTyping_ = false;
}

// ---- Input ----

void TextEditor::handleKeyboard()
{
    ImGuiIO& io = ImGui::GetIO();
    const bool ctrl = io.ConfigMacOSXBehaviors ? io.KeySuper : io.KeyCtrl;
    const bool shift = io.KeyShift;
    const bool alt = io.KeyAlt;
    auto pressed = [](ImGuiKey key) { return ImGui::IsKeyPressed(ImGui::GetKeyIndex(key), true); };
    auto selected = [this] { return caret_ != anchor_; };
    bool vertical = false;

    // Up/Down and the page keys keep the x the caret had when the vertical run started.
    auto moveLines = [&](long delta) {
        if (preferredX_ < 0.0f)
            preferredX_ = xOf(caret_);
        const float x = preferredX_;
        const long line = static_cast<long>(lineOf(caret_)) + delta;
        if (line < 0)
            moveCaret(0, shift);
        else if (line >= static_cast<long>(lineCount()))
            moveCaret(text_.size(), shift);
        else
            moveCaret(offsetAtX(static_cast<size_t>(line), x), shift);
        preferredX_ = x;
        vertical = true;
    };
    const long page = std::max(1L, static_cast<long>(visibleLines_) - 1);

    // Every key of the frame acts: with frames slower than typing, Enter and Tab can arrive together.
    if (pressed(ImGuiKey_LeftArrow)) {
        if (selected() && !shift && !ctrl)
            moveCaret(GetSelectionBegin(), false);
        else
            moveCaret(ctrl ? wordBegin(caret_) : prevChar(caret_), shift);
    }
    if (pressed(ImGuiKey_RightArrow)) {
        if (selected() && !shift && !ctrl)
            moveCaret(GetSelectionEnd(), false);
        else
            moveCaret(ctrl ? wordEnd(caret_) : nextChar(caret_), shift);
    }
    if (pressed(ImGuiKey_UpArrow)) {
        moveLines(-1);
    }
    if (pressed(ImGuiKey_DownArrow)) {
        moveLines(1);
    }
    if (pressed(ImGuiKey_PageUp)) {
        moveLines(-page);
    }
    if (pressed(ImGuiKey_PageDown)) {
        moveLines(page);
    }
    if (pressed(ImGuiKey_Home)) {
        moveCaret(ctrl ? 0 : lineStarts_[lineOf(caret_)], shift);
    }
    if (pressed(ImGuiKey_End)) {
        moveCaret(ctrl ? text_.size() : lineEnd(lineOf(caret_)), shift);
    }
    if (pressed(ImGuiKey_Delete)) {
        if (selected())
            deleteSelection();
        else
            replace(caret_, nextChar(caret_), std::string(), false);
    }
    if (pressed(ImGuiKey_Backspace)) {
        if (selected())
            deleteSelection();
        else
            replace(prevChar(caret_), caret_, std::string(), false);
    }
    if (pressed(ImGuiKey_Enter) || pressed(ImGuiKey_KeyPadEnter)) {
        insert(lineBreak(), false);
    }
    if (pressed(ImGuiKey_Tab) && !ctrl && !alt) {
        insert("\t", true);
    }
    if (ctrl && pressed(ImGuiKey_A)) {
        anchor_ = 0;
        caret_ = text_.size();
        mergeTyping_ = false;
    }
    if (ctrl && pressed(ImGuiKey_C)) {
        if (selected())
            ImGui::SetClipboardText(GetSelectedText().c_str());
    }
    if (ctrl && pressed(ImGuiKey_X)) {
        if (selected()) {
            ImGui::SetClipboardText(GetSelectedText().c_str());
            deleteSelection();
        }
    }
    if (ctrl && pressed(ImGuiKey_V)) {
        if (const char* clipboard = ImGui::GetClipboardText(); clipboard && *clipboard)
            insert(clipboard, false);
    }
    if (ctrl && pressed(ImGuiKey_Z)) {
        if (shift)
            redo();
        else
            undo();
    }
    if (ctrl && pressed(ImGuiKey_Y)) {
        redo();
    }
    if (!vertical && caretMoved_)
        preferredX_ = -1.0f;

    // Typed characters; with Ctrl held (and not AltGr) they are shortcuts, not text.
    if (!io.InputQueueCharacters.empty() && !(ctrl && !alt)) {
        std::string typed;
        for (int i = 0; i < io.InputQueueCharacters.Size; ++i) {
            unsigned c = io.InputQueueCharacters[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < io.InputQueueCharacters.Size) {
                const unsigned low = io.InputQueueCharacters[i + 1];
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
            if (c >= 0xD800 && c <= 0xDFFF)
                c = 0xFFFD;
            if (c < 0x20 || c == 0x7F)
                continue;
            encodeUtf8(c, typed);
        }
        if (!typed.empty())
            insert(typed, true);
    }
    io.InputQueueCharacters.resize(0);
}

void TextEditor::Render(const char* id, ImVec2 size, bool border)
{
    changed_ = false;
    ImGuiContext& g = *GImGui;
    ImGuiIO& io = g.IO;

    ImGui::PushStyleColor(ImGuiCol_ChildBg, kBackground);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(4.0f, 2.0f));
    // No nav inputs: Tab and the arrows belong to the text, not to focus movement.
    const bool open = ImGui::BeginChild(id, size, border,
                                        ImGuiWindowFlags_HorizontalScrollbar | ImGuiWindowFlags_AlwaysUseWindowPadding |
                                            ImGuiWindowFlags_NoNavInputs);
    ImGui::PopStyleVar();
    ImGui::PopStyleColor();
    if (!open) {
        ImGui::EndChild();
        return;
    }
    ImGuiWindow* window = ImGui::GetCurrentWindow();

    font_ = ImGui::GetFont();
    fontSize_ = ImGui::GetFontSize();
    lineHeight_ = std::floor(fontSize_ + 2.0f);
    const float scale = fontSize_ / font_->FontSize;
    const float space = font_->GetCharAdvance(' ') * scale;
    if (widthDirty_) {
        maxLineWidth_ = 0.0f;
        for (size_t line = 0; line < lineCount(); ++line)
            maxLineWidth_ = std::max(maxLineWidth_, xOf(lineEnd(line)));
        widthDirty_ = false;
    }
    char number[24];
    const int digits = std::max(3, std::snprintf(number, sizeof(number), "%zu", lineCount()));
    const float gutter = (static_cast<float>(digits) * font_->GetCharAdvance('0') + 2.0f) * scale + space;

    const ImVec2 origin = window->DC.CursorPos;
    const ImVec2 textSize(gutter + maxLineWidth_ + space * 2.0f, static_cast<float>(lineCount()) * lineHeight_);
    const ImVec2 avail = ImGui::GetContentRegionAvail();
    const ImRect bb(origin, ImVec2(origin.x + std::max(textSize.x, avail.x), origin.y + std::max(textSize.y, avail.y)));
    const ImGuiID itemId = window->GetID("##text");
    ImGui::ItemSize(bb);
    ImGui::ItemAdd(bb, itemId);
    const ImVec2 view(window->InnerRect.GetWidth() - 2.0f * window->WindowPadding.x,
                      window->InnerRect.GetHeight() - 2.0f * window->WindowPadding.y);
    visibleLines_ = std::max(1.0f, view.y / lineHeight_);

    // Mouse: a click places the caret (Shift extends), a double click takes the word, dragging selects.
    const bool hovered = ImGui::ItemHoverable(bb, itemId);
    if (hovered)
        ImGui::SetMouseCursor(ImGuiMouseCursor_TextInput);
    auto offsetAtMouse = [&] {
        const float row = std::floor((io.MousePos.y - origin.y) / lineHeight_);
        const size_t line = row <= 0.0f ? 0 : std::min(lineCount() - 1, static_cast<size_t>(row));
        return offsetAtX(line, io.MousePos.x - origin.x - gutter);
    };
    if (hovered && io.MouseClicked[0]) {
        ImGui::FocusWindow(window);
        ImGui::SetActiveID(itemId, window);
        ImGui::SetFocusID(itemId, window);
        const size_t at = offsetAtMouse();
        if (io.MouseDoubleClicked[0]) {
            size_t begin = at;
            size_t end = at;
            while (begin > lineStarts_[lineOf(at)] && isWordByte(text_[begin - 1]))
                --begin;
            while (end < lineEnd(lineOf(at)) && isWordByte(text_[end]))
                ++end;
            if (begin == end)
                end = std::min(nextChar(at), std::max(at, lineEnd(lineOf(at))));
            anchor_ = begin;
            moveCaret(end, true);
            mouseSelecting_ = false;
        } else {
            moveCaret(at, io.KeyShift);
            mouseSelecting_ = true;
        }
        preferredX_ = -1.0f;
    } else if (mouseSelecting_ && io.MouseDown[0] && g.ActiveId == itemId) {
        const size_t at = offsetAtMouse();
        if (at != caret_) {
            moveCaret(at, true);
            preferredX_ = -1.0f;
        }
    }
    if (!io.MouseDown[0])
        mouseSelecting_ = false;

    bool active = g.ActiveId == itemId;
    if (active && ((io.MouseClicked[0] && !hovered) || ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_Escape)))) {
        ImGui::ClearActiveID();
        active = false;
    }
    if (active) {
        ImGui::KeepAliveID(itemId);
        // While focused the keys are the editor's: no nav moves, no tabbing out, and the application is told to
        // leave the keyboard alone (io.WantCaptureKeyboard / io.WantTextInput next frame).
        g.ActiveIdUsingNavDirMask |= (1 << ImGuiDir_Left) | (1 << ImGuiDir_Right) | (1 << ImGuiDir_Up) |
                                     (1 << ImGuiDir_Down);
        g.ActiveIdUsingNavInputMask |= (1 << ImGuiNavInput_Cancel);
        g.ActiveIdUsingKeyInputMask |= (ImU64{1} << ImGuiKey_Home) | (ImU64{1} << ImGuiKey_End) |
                                       (ImU64{1} << ImGuiKey_PageUp) | (ImU64{1} << ImGuiKey_PageDown) |
                                       (ImU64{1} << ImGuiKey_Tab);
        handleKeyboard();
        g.WantTextInputNextFrame = 1;
        ImGui::CaptureKeyboardFromApp(true);
    }

    // Keep the caret in view after it moved.
    if (caretMoved_) {
        caretTime_ = g.Time;
        const float caretY = static_cast<float>(lineOf(caret_)) * lineHeight_;
        if (caretY < window->Scroll.y)
            ImGui::SetScrollY(caretY);
        else if (caretY + lineHeight_ > window->Scroll.y + view.y)
            ImGui::SetScrollY(caretY + lineHeight_ - view.y);
        const float caretX = xOf(caret_);
        const float textView = view.x - gutter;
        if (caretX < window->Scroll.x)
            ImGui::SetScrollX(caretX);
        else if (caretX + space > window->Scroll.x + textView)
            ImGui::SetScrollX(caretX + space - textView);
        caretMoved_ = false;
    }

    // Drawing: the text scrolls under a line-number gutter that stays at the left edge.
    ImDrawList* drawList = window->DrawList;
    const ImRect clip = window->InnerClipRect;
    const float gutterLeft = window->InnerRect.Min.x + window->WindowPadding.x;
    const float textLeft = origin.x + gutter;
    const float glyphTop = (lineHeight_ - fontSize_) * 0.5f;
    const size_t first =
        static_cast<size_t>(std::max(0.0f, std::floor((clip.Min.y - origin.y) / lineHeight_)));
    const size_t last = std::min(
        lineCount(), static_cast<size_t>(std::max(0.0f, std::ceil((clip.Max.y - origin.y) / lineHeight_))) + 1);
    const size_t selBegin = GetSelectionBegin();
    const size_t selEnd = GetSelectionEnd();

    drawList->PushClipRect(ImVec2(std::max(clip.Min.x, gutterLeft + gutter - space * 0.5f), clip.Min.y), clip.Max,
                           true);
    for (size_t line = first; line < last; ++line) {
        const float y = origin.y + static_cast<float>(line) * lineHeight_;
        const size_t start = lineStarts_[line];
        const size_t end = lineEnd(line);
        const size_t breakEnd = line + 1 < lineCount() ? lineStarts_[line + 1] : end;
        if (selBegin < selEnd && selBegin < std::max(breakEnd, start + 1) && selEnd > start) {
            const float x0 = selBegin > start ? xOf(selBegin) : 0.0f;
            const float x1 = selEnd > end ? xOf(end) + space * 0.5f : xOf(selEnd);
            drawList->AddRectFilled(ImVec2(textLeft + x0, y), ImVec2(textLeft + x1, y + lineHeight_), kSelection);
        }
        float x = 0.0f;
        for (size_t at = start, next = 0; at < end; at = next) {
            unsigned codepoint = 0;
            const float advance = charAdvance(at, x, &next, &codepoint);
            const float screenX = textLeft + x;
            if (screenX > clip.Max.x)
                break;
            if (screenX + advance >= clip.Min.x && codepoint != '\t' && codepoint != ' ') {
                const ImWchar shown = static_cast<ImWchar>(codepoint <= 0xFFFF ? codepoint : 0xFFFD);
                font_->RenderChar(drawList, fontSize_, ImVec2(screenX, y + glyphTop),
                                  kTokenColours[static_cast<size_t>(kinds_[at])], shown);
            }
            x += advance;
        }
    }
    if (active) {
        const bool blinkOn = !io.ConfigInputTextCursorBlink || std::fmod(g.Time - caretTime_, 1.2) <= 0.8;
        if (blinkOn) {
            const float x = textLeft + xOf(caret_);
            const float y = origin.y + static_cast<float>(lineOf(caret_)) * lineHeight_;
            drawList->AddRectFilled(ImVec2(x, y), ImVec2(x + 1.0f, y + lineHeight_), kCaret);
        }
    }
    drawList->PopClipRect();

    for (size_t line = first; line < last; ++line) {
        std::snprintf(number, sizeof(number), "%zu", line + 1);
        const float width = font_->CalcTextSizeA(fontSize_, FLT_MAX, 0.0f, number).x;
        const float y = origin.y + static_cast<float>(line) * lineHeight_ + glyphTop;
        drawList->AddText(font_, fontSize_, ImVec2(gutterLeft + gutter - space - width, y), kGutterText, number);
    }
    ImGui::EndChild();
}
