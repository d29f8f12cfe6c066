// The source editor driven by mouse and keys in a windowless Dear ImGui frame: bytes kept, editing keys, selection,
// clipboard, undo, focus and the GLSL colouring.
#include "editor/text_editor.h"
#include "ui_harness.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>
#include <imgui_stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Kind = TextEditor::TokenKind;

// One user action: a key (with modifiers held) or typed text.
struct Step {
    int key = 0;
    bool ctrl = false;
    bool shift = false;
    const char* text = nullptr;
};
Step key(int code)
{
    return {code};
}
Step ctrl(int code)
{
    return {code, true, false};
}
Step shift(int code)
{
    return {code, false, true};
}
Step ctrlShift(int code)
{
    return {code, true, true};
}
Step type(const char* text)
{
    return {0, false, false, text};
}

class TextEditorUi : public testing::Test {
protected:
    TextEditorUi() : ui(ImVec2(800, 600))
    {
        editor.SetLanguage(TextEditor::Language::Glsl);
    }

    void frame() { ui.frame(draw); }

    // The text area's rectangle (its top-left is the first line's top-left, scrolled).
    ImRect area() const
    {
        const std::optional<UiItem> item = ui.find("##text", "Probe");
        return item ? item->rect : ImRect();
    }
    float lineY(size_t line) const
    {
        return area().Min.y + (static_cast<float>(line) + 0.5f) * editor.GetLineHeight();
    }
    // Left of the text (in the line numbers) gives the line's start, far right its end.
    ImVec2 lineStart(size_t line) const { return ImVec2(area().Min.x + 2.0f, lineY(line)); }
    ImVec2 lineEnd(size_t line) const { return ImVec2(area().Min.x + 300.0f, lineY(line)); }

    // Sets the text and clicks into the first line's start, late enough not to make a double click.
    void focus(const std::string& text)
    {
        editor.SetText(text);
        ui.frames(30, draw);
        ui.clickAt(lineStart(0), draw);
        ui.frames(30, draw);
    }

    void run(const Step& step)
    {
        ui.setKey(GLFW_KEY_LEFT_CONTROL, step.ctrl);
        ui.setKey(GLFW_KEY_LEFT_SHIFT, step.shift);
        if (step.text) {
            ui.typeText(step.text);
            frame();
        } else {
            ui.pressKey(step.key, draw);
        }
        ui.setKey(GLFW_KEY_LEFT_CONTROL, false);
        ui.setKey(GLFW_KEY_LEFT_SHIFT, false);
    }
    void run(const std::vector<Step>& steps)
    {
        for (const Step& step : steps)
            run(step);
    }

    UiHarness ui;
    TextEditor editor;
    std::string other;            // a second field in the same window
    std::vector<bool> changes;    // IsTextChanged of every frame
    UiHarness::Draw draw = [this] {
        ImGui::SetNextWindowPos(ImVec2(10, 10));
        ImGui::SetNextWindowSize(ImVec2(400, 300));
        ImGui::Begin("Probe");
        editor.Render("##src", ImVec2(0, 240));
        changes.push_back(editor.IsTextChanged());
        ImGui::InputText("Other", &other);
        ImGui::End();
    };
};

TEST_F(TextEditorUi, UneditedBytesComeBackExactly)
{
    struct Case {
        const char* name;
        std::string text;
        std::string afterEdit; // Ctrl+Home, type "<"; Ctrl+End, Left, type ">"
    };
    const Case cases[] = {
        {"crlf", "a\r\nb\r\n", "<a\r\nb>\r\n"},
        {"tabs and trailing blanks", "\tx  \n  y\t", "<\tx  \n  y>\t"},
        {"no final newline", "line one\nline two", "<line one\nline tw>o"},
        {"utf-8", "\xc3\xbc\xe2\x82\xac\n\xf0\x9d\x84\x9e", "<\xc3\xbc\xe2\x82\xac\n>\xf0\x9d\x84\x9e"},
        {"malformed utf-8", "\xff\xe2\x82 \x80", "<\xff\xe2\x82 >\x80"},
        {"lone cr", "a\rb\r\r\n", "<a\rb\r>\r\n"},
        {"empty", "", "><"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        editor.SetText(test.text);
        EXPECT_EQ(editor.GetText(), test.text);
        focus(test.text);
        frame();
        EXPECT_EQ(editor.GetText(), test.text) << "clicking and drawing change nothing";
        run({ctrl(GLFW_KEY_HOME), type("<"), ctrl(GLFW_KEY_END), key(GLFW_KEY_LEFT), type(">")});
        EXPECT_EQ(editor.GetText(), test.afterEdit);
    }
}

TEST_F(TextEditorUi, EditingKeys)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<Step> steps; // from the caret at 0
        std::string expected;
        size_t caret;
    };
    const std::string lines = "abcdef\nab\nabcdef";
    const Case cases[] = {
        {"typing", "", {type("abc"), type(" d")}, "abc d", 5},
        {"enter", "ab", {key(GLFW_KEY_RIGHT), key(GLFW_KEY_ENTER)}, "a\nb", 2},
        {"enter follows crlf", "x\r\ny", {key(GLFW_KEY_END), key(GLFW_KEY_ENTER)}, "x\r\n\r\ny", 3},
        {"tab inserts a tab", "ab", {key(GLFW_KEY_RIGHT), key(GLFW_KEY_TAB), key(GLFW_KEY_TAB)}, "a\t\tb", 3},
        {"backspace at line start joins", "ab\ncd", {key(GLFW_KEY_DOWN), key(GLFW_KEY_HOME), key(GLFW_KEY_BACKSPACE)},
         "abcd", 2},
        {"backspace joins crlf lines", "ab\r\ncd", {key(GLFW_KEY_DOWN), key(GLFW_KEY_HOME), key(GLFW_KEY_BACKSPACE)},
         "abcd", 2},
        {"backspace at text start", "ab", {key(GLFW_KEY_BACKSPACE)}, "ab", 0},
        {"backspace takes a whole utf-8 character", "a\xe2\x82\xac", {key(GLFW_KEY_END), key(GLFW_KEY_BACKSPACE)}, "a",
         1},
        {"delete at line end joins", "ab\r\ncd", {key(GLFW_KEY_END), key(GLFW_KEY_DELETE)}, "abcd", 2},
        {"delete at text end", "ab", {key(GLFW_KEY_END), key(GLFW_KEY_DELETE)}, "ab", 2},
        {"selection replaced by typing", "hello world",
         {shift(GLFW_KEY_RIGHT), shift(GLFW_KEY_RIGHT), shift(GLFW_KEY_RIGHT), shift(GLFW_KEY_RIGHT),
          shift(GLFW_KEY_RIGHT), type("bye")},
         "bye world", 3},
        {"selection across lines deleted", "ab\ncd\nef",
         {key(GLFW_KEY_RIGHT), shift(GLFW_KEY_DOWN), shift(GLFW_KEY_DOWN), key(GLFW_KEY_BACKSPACE)}, "af", 1},
        {"shift+end then left collapses to the start", "abc",
         {key(GLFW_KEY_RIGHT), shift(GLFW_KEY_END), key(GLFW_KEY_LEFT), type("|")}, "a|bc", 2},
        {"up and down keep the column", lines,
         {key(GLFW_KEY_RIGHT), key(GLFW_KEY_RIGHT), key(GLFW_KEY_RIGHT), key(GLFW_KEY_RIGHT), key(GLFW_KEY_DOWN),
          key(GLFW_KEY_DOWN), type("X")},
         "abcdef\nab\nabcdXef", 15},
        {"down on the last line goes to its end", "ab\ncd", {key(GLFW_KEY_DOWN), key(GLFW_KEY_DOWN), type("X")},
         "ab\ncdX", 6},
        {"ctrl+right and ctrl+left move by words", "float value = 1.0;",
         {ctrl(GLFW_KEY_RIGHT), ctrl(GLFW_KEY_RIGHT), type("X"), ctrl(GLFW_KEY_LEFT), type("Y")},
         "float YvalueX = 1.0;", 7},
        {"select all and delete", "a\nb\r\nc", {ctrl(GLFW_KEY_A), key(GLFW_KEY_DELETE)}, "", 0},
        {"undo a typing run", "abc", {key(GLFW_KEY_END), type("x"), type("y"), ctrl(GLFW_KEY_Z)}, "abc", 3},
        {"undo twice then redo", "abc",
         {key(GLFW_KEY_END), key(GLFW_KEY_BACKSPACE), key(GLFW_KEY_LEFT), type("Q"), ctrl(GLFW_KEY_Z), ctrl(GLFW_KEY_Z),
          ctrl(GLFW_KEY_Y)},
         "ab", 2},
        {"ctrl+shift+z redoes", "abc", {key(GLFW_KEY_DELETE), ctrl(GLFW_KEY_Z), ctrlShift(GLFW_KEY_Z)}, "bc", 0},
        {"undo a selection replace restores the selection", "abc",
         {shift(GLFW_KEY_END), type("z"), ctrl(GLFW_KEY_Z), type("y")}, "y", 1},
        {"cut and paste twice", "one two",
         {ctrl(GLFW_KEY_A), ctrl(GLFW_KEY_X), ctrl(GLFW_KEY_V), ctrl(GLFW_KEY_V)}, "one twoone two", 14},
        {"text typed with ctrl held is a shortcut", "ab", {Step{0, true, false, "s"}}, "ab", 0},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        focus(test.text);
        ASSERT_EQ(editor.GetCaret(), 0u);
        run(test.steps);
        EXPECT_EQ(editor.GetText(), test.expected);
        EXPECT_EQ(editor.GetCaret(), test.caret);
        EXPECT_TRUE(ImGui::GetIO().WantTextInput) << "the editor kept the keyboard";
    }
}

TEST_F(TextEditorUi, CopyAndPasteKeepTheBytes)
{
    const std::string text = "a\r\n\xe2\x82\xac\tb  \n";
    focus(text);
    run({ctrl(GLFW_KEY_A), ctrl(GLFW_KEY_C)});
    EXPECT_EQ(std::string(ImGui::GetClipboardText()), text);
    run({ctrl(GLFW_KEY_END), ctrl(GLFW_KEY_V)});
    EXPECT_EQ(editor.GetText(), text + text);
    EXPECT_EQ(editor.GetCaret(), 2 * text.size());

    // Copy without a selection leaves the clipboard alone.
    ImGui::SetClipboardText("kept");
    run(ctrl(GLFW_KEY_C));
    EXPECT_EQ(std::string(ImGui::GetClipboardText()), "kept");
}

TEST_F(TextEditorUi, PageKeysMoveByAScreenAndKeepTheCaretInView)
{
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "line " + std::to_string(i) + "\n";
    focus(text);
    ImGuiWindow* child = nullptr;
    for (ImGuiWindow* window : ui.context()->Windows)
        if (window->ParentWindow == ui.window("Probe"))
            child = window;
    ASSERT_NE(child, nullptr);
    EXPECT_GT(child->ScrollMax.y, 0.0f) << "a vertical scrollbar";
    EXPECT_TRUE(child->ScrollbarY);

    run({key(GLFW_KEY_RIGHT), key(GLFW_KEY_PAGE_DOWN)});
    const std::string before = text.substr(0, editor.GetCaret());
    EXPECT_GT(std::count(before.begin(), before.end(), '\n'), 5);
    EXPECT_EQ(before.size() - before.rfind('\n'), 2u) << "the column is kept";
    run(key(GLFW_KEY_PAGE_UP));
    EXPECT_EQ(editor.GetCaret(), 1u);

    run(ctrl(GLFW_KEY_END));
    frame();
    const float lineHeight = editor.GetLineHeight();
    EXPECT_GE(child->Scroll.y + child->InnerRect.GetHeight(), 201.0f * lineHeight) << "the end is in view";
    run(ctrl(GLFW_KEY_HOME));
    frame();
    EXPECT_EQ(child->Scroll.y, 0.0f);
}

TEST_F(TextEditorUi, MouseClicksAndDragsSelect)
{
    focus("ab\r\ncd\r\nef");
    ui.drag(lineStart(0), lineEnd(1), draw);
    EXPECT_EQ(editor.GetSelectedText(), "ab\r\ncd");
    EXPECT_EQ(editor.GetCaret(), 6u);

    // Shift+click extends from the anchor.
    ui.setKey(GLFW_KEY_LEFT_SHIFT, true);
    ui.clickAt(lineEnd(2), draw);
    ui.setKey(GLFW_KEY_LEFT_SHIFT, false);
    EXPECT_EQ(editor.GetSelectedText(), "ab\r\ncd\r\nef");

    // A plain click collapses; one below the text lands on the last line.
    ui.clickAt(ImVec2(lineEnd(0).x, area().Max.y - 2.0f), draw);
    EXPECT_EQ(editor.GetSelectedText(), "");
    EXPECT_EQ(editor.GetCaret(), 10u);

    // A double click takes the word.
    focus("vec3 colour_2");
    ui.clickAt(lineEnd(0), draw);
    ui.clickAt(lineEnd(0), draw);
    EXPECT_EQ(editor.GetSelectedText(), "colour_2");
}

TEST_F(TextEditorUi, SetTextWhileFocusedClampsTheCaret)
{
    struct Case {
        const char* name;
        std::string before;
        std::vector<Step> steps;
        std::string after;
        size_t caret;        // clamped caret in the new text
        std::string typed;   // the new text after typing "X"
    };
    const Case cases[] = {
        {"shorter text", "a long line of text", {key(GLFW_KEY_END)}, "ab", 2, "abX"},
        {"empty text", "abc\ndef", {ctrl(GLFW_KEY_END)}, "", 0, "X"},
        {"not inside a crlf", "abcd", {key(GLFW_KEY_RIGHT), key(GLFW_KEY_RIGHT)}, "a\r\nbc", 1, "aX\r\nbc"},
        {"not inside a utf-8 character", "abcd", {key(GLFW_KEY_RIGHT), key(GLFW_KEY_RIGHT)}, "\xe2\x82\xacx", 0,
         "X\xe2\x82\xacx"},
        {"selection clamped too", "abcdef", {ctrl(GLFW_KEY_A)}, "ab", 2, "X"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        focus(test.before);
        run(test.steps);
        editor.SetText(test.after);
        EXPECT_EQ(editor.GetCaret(), test.caret);
        EXPECT_LE(editor.GetSelectionEnd(), test.after.size());
        frame();
        EXPECT_FALSE(editor.IsTextChanged()) << "SetText is not the user's change";
        run(type("X"));
        EXPECT_EQ(editor.GetText(), test.typed);
    }
}

TEST_F(TextEditorUi, KeyboardBelongsToTheEditorWhileFocused)
{
    editor.SetText("ab");
    ui.frames(2, draw);
    EXPECT_FALSE(ImGui::GetIO().WantTextInput);
    EXPECT_FALSE(ImGui::GetIO().WantCaptureKeyboard);

    ui.clickAt(lineStart(0), draw);
    EXPECT_TRUE(ImGui::GetIO().WantTextInput);
    EXPECT_TRUE(ImGui::GetIO().WantCaptureKeyboard);

    // Tab is a character, not a move to the next field.
    run(key(GLFW_KEY_TAB));
    run(type("x"));
    EXPECT_EQ(editor.GetText(), "\txab");
    EXPECT_EQ(other, "");
    EXPECT_TRUE(ImGui::GetIO().WantTextInput);

    // Escape lets go; keys and text go nowhere then.
    run(key(GLFW_KEY_ESCAPE));
    frame();
    EXPECT_FALSE(ImGui::GetIO().WantTextInput);
    EXPECT_FALSE(ImGui::GetIO().WantCaptureKeyboard);
    run(key(GLFW_KEY_DELETE));
    EXPECT_EQ(editor.GetText(), "\txab");

    // Focused again, a click into the other field takes the keyboard away.
    ui.clickAt(lineStart(0), draw);
    ASSERT_TRUE(ui.click("Other", draw, "Probe"));
    run(type("q"));
    EXPECT_EQ(editor.GetText(), "\txab");
    EXPECT_EQ(other, "q");
}

TEST_F(TextEditorUi, KeysOfOneSlowFrameAllAct)
{
    // A frame slower than the typing: Enter and Tab were both pressed since the last one.
    focus("ab");
    run(key(GLFW_KEY_RIGHT));
    ui.setKey(GLFW_KEY_ENTER, true);
    ui.setKey(GLFW_KEY_TAB, true);
    frame();
    ui.setKey(GLFW_KEY_ENTER, false);
    ui.setKey(GLFW_KEY_TAB, false);
    frame();
    EXPECT_EQ(editor.GetText(), "a\n\tb");
}

TEST_F(TextEditorUi, TextChangedOnlyOnFramesWithAUserEdit)
{
    focus("abc");
    changes.clear();
    run(key(GLFW_KEY_RIGHT));           // 2 frames: no change
    run(type("x"));                      // 1 frame: change
    run(key(GLFW_KEY_BACKSPACE));        // 2 frames: change on the first
    editor.SetText("new");
    frame();                             // no change
    run(ctrl(GLFW_KEY_Z));               // nothing to undo after SetText
    run(type("y"));
    run(ctrl(GLFW_KEY_Z));               // undo: change
    EXPECT_EQ(changes, (std::vector<bool>{false, false, true, true, false, false, false, false, true, true, false}));
    EXPECT_EQ(editor.GetText(), "new");
}

TEST(TextEditorColouring, GlslSample)
{
    const std::string source = "#version 430\n"
                               "// note\r\n"
                               "uniform vec3 tint; /* a\n"
                               "b */ float x = 1.5e-3 + 0x1Fu;\n"
                               "  #define NAME \"q\" // tail\n"
                               "sampler2D s; imageLoad(i);\n";
    auto at = [&](const char* text) { return source.find(text); };
    auto span = [&](const char* text, Kind kind) {
        const size_t begin = at(text);
        return TextEditor::Token{begin, begin + std::string(text).size(), kind};
    };
    const std::vector<TextEditor::Token> expected = {
        span("#version 430", Kind::Preprocessor),
        span("// note", Kind::Comment),
        span("uniform", Kind::Keyword),
        span("vec3", Kind::Type),
        span("/* a\nb */", Kind::Comment),
        span("float", Kind::Type),
        span("1.5e-3", Kind::Number),
        span("0x1Fu", Kind::Number),
        span("#define NAME \"q\" ", Kind::Preprocessor),
        span("// tail", Kind::Comment),
        span("sampler2D", Kind::Type),
    };
    EXPECT_EQ(TextEditor::TokenizeGlsl(source), expected);

    // Strings, an unterminated comment and a '#' that does not start a line.
    const std::string rest = "a # b \"s\\\"t\" /* open\nstill";
    const std::vector<TextEditor::Token> restExpected = {
        {rest.find('"'), rest.find(" /*"), Kind::String},
        {rest.find("/*"), rest.size(), Kind::Comment},
    };
    EXPECT_EQ(TextEditor::TokenizeGlsl(rest), restExpected);
    EXPECT_TRUE(TextEditor::TokenizeGlsl("").empty());
}

} // namespace
