// Runs Dear ImGui frames with no window, feeding mouse, keys and text, so editor windows are tested by clicking
// and typing. Items are found by label through a record of every item's rectangle, which the test binary collects
// by wrapping Dear ImGui's own item registration at link time (see tests/CMakeLists.txt).
#pragma once

#include <imgui.h>
#include <imgui_internal.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct UiItem {
    std::string label;  // as given to the widget, "##" suffix included
    std::string window; // name of the innermost window the item was added in
    ImGuiID id = 0;
    ImRect rect;
};

class UiHarness {
public:
    // A context of its own, current until destruction, then the previous one is restored. No ini file unless
    // iniPath is given.
    explicit UiHarness(ImVec2 displaySize = ImVec2(1920, 1080), const char* iniPath = nullptr);
    ~UiHarness();
    UiHarness(const UiHarness&) = delete;
    UiHarness& operator=(const UiHarness&) = delete;

    // Draw callbacks. A plain one runs between NewFrame and Render; one that starts its own frame (the editor's
    // ui_render) is marked so and the harness only feeds the input before it and renders after it.
    using Draw = std::function<void()>;
    void frame(const Draw& draw, bool drawStartsFrame = false);
    void frames(int count, const Draw& draw, bool drawStartsFrame = false);

    // Input for the next frames. Keys are the window system's key codes (GLFW), as the real back end feeds them.
    void moveMouse(ImVec2 position);
    void setMouseButton(int button, bool down);
    void setKey(int key, bool down);
    void typeText(const char* utf8);

    // The item of that label (exact, or the part before "##") from the last frame; with window, only items of
    // windows whose name starts with it. The first match in submission order.
    std::optional<UiItem> find(const std::string& label, const std::string& window = {}) const;
    bool has(const std::string& label, const std::string& window = {}) const { return find(label, window).has_value(); }
    // Moves onto the item, presses and releases the left button over three frames. False when the item is absent.
    bool click(const std::string& label, const Draw& draw, const std::string& window = {}, bool drawStartsFrame = false);
    // The same at a position.
    void clickAt(ImVec2 position, const Draw& draw, bool drawStartsFrame = false);
    // Two quick clicks at a position (within the double-click time), one frame apart.
    void doubleClickAt(ImVec2 position, const Draw& draw, bool drawStartsFrame = false);
    // Press at from, move to to over steps frames, release.
    void drag(ImVec2 from, ImVec2 to, const Draw& draw, int steps = 4, bool drawStartsFrame = false);
    // One frame with the key down, one with it up (plus held modifiers).
    void pressKey(int key, const Draw& draw, bool drawStartsFrame = false);

    const std::vector<UiItem>& items() const;
    ImGuiContext* context() const { return context_; }
    ImGuiWindow* window(const char* name) const;

private:
    ImGuiContext* context_ = nullptr;
    ImGuiContext* previous_ = nullptr;
    std::vector<unsigned char> fontPixels_;
    bool keys_[512] = {};
};
