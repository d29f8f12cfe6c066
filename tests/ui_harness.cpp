#include "ui_harness.h"

#include <GLFW/glfw3.h>

#include <cstring>
#include <unordered_map>

// ---- The item record ----
// The test binary is linked with --wrap for ImGuiWindow::GetID(const char*, const char*) and ImGui::ItemAdd, so
// every labelled widget of Dear ImGui's library passes through here: GetID remembers which label made an id, and
// ItemAdd files the id's rectangle under that label. Nothing is recorded while no harness runs a frame.

namespace {

struct ItemRecord {
    std::unordered_map<ImGuiID, std::string> labels; // this frame's labels by id
    std::vector<UiItem> building;                    // this frame's items
    std::vector<UiItem> last;                        // the last finished frame's items
    bool recording = false;
};

ItemRecord itemRecord;

} // namespace

extern "C" {
ImGuiID __real__ZN11ImGuiWindow5GetIDEPKcS1_(ImGuiWindow* window, const char* str, const char* strEnd);
bool __real__ZN5ImGui7ItemAddERK6ImRectjPS1_i(const ImRect& bb, ImGuiID id, const ImRect* navBb, ImGuiItemFlags flags);

ImGuiID __wrap__ZN11ImGuiWindow5GetIDEPKcS1_(ImGuiWindow* window, const char* str, const char* strEnd)
{
    const ImGuiID id = __real__ZN11ImGuiWindow5GetIDEPKcS1_(window, str, strEnd);
    if (itemRecord.recording && str)
        itemRecord.labels[id] = strEnd ? std::string(str, strEnd) : std::string(str);
    return id;
}

bool __wrap__ZN5ImGui7ItemAddERK6ImRectjPS1_i(const ImRect& bb, ImGuiID id, const ImRect* navBb, ImGuiItemFlags flags)
{
    const bool added = __real__ZN5ImGui7ItemAddERK6ImRectjPS1_i(bb, id, navBb, flags);
    if (itemRecord.recording && id != 0) {
        auto label = itemRecord.labels.find(id);
        if (label != itemRecord.labels.end()) {
            const ImGuiWindow* window = ImGui::GetCurrentContext()->CurrentWindow;
            itemRecord.building.push_back({label->second, window ? window->Name : "", id, bb});
        }
    }
    return added;
}
}

// ---- The harness ----

UiHarness::UiHarness(ImVec2 displaySize, const char* iniPath)
{
    previous_ = ImGui::GetCurrentContext();
    context_ = ImGui::CreateContext();
    ImGui::SetCurrentContext(context_);
    ImGuiIO& io = ImGui::GetIO();
    io.DisplaySize = displaySize;
    io.DeltaTime = 1.0f / 60.0f;
    io.IniFilename = iniPath;
    io.LogFilename = nullptr;
    // The same key map as the window system's back end, so editor code reads the codes it reads in the engine.
    const std::pair<ImGuiKey, int> keyMap[] = {
        {ImGuiKey_Tab, GLFW_KEY_TAB},         {ImGuiKey_LeftArrow, GLFW_KEY_LEFT},   {ImGuiKey_RightArrow, GLFW_KEY_RIGHT},
        {ImGuiKey_UpArrow, GLFW_KEY_UP},      {ImGuiKey_DownArrow, GLFW_KEY_DOWN},   {ImGuiKey_PageUp, GLFW_KEY_PAGE_UP},
        {ImGuiKey_PageDown, GLFW_KEY_PAGE_DOWN}, {ImGuiKey_Home, GLFW_KEY_HOME},     {ImGuiKey_End, GLFW_KEY_END},
        {ImGuiKey_Insert, GLFW_KEY_INSERT},   {ImGuiKey_Delete, GLFW_KEY_DELETE},    {ImGuiKey_Backspace, GLFW_KEY_BACKSPACE},
        {ImGuiKey_Space, GLFW_KEY_SPACE},     {ImGuiKey_Enter, GLFW_KEY_ENTER},      {ImGuiKey_Escape, GLFW_KEY_ESCAPE},
        {ImGuiKey_KeyPadEnter, GLFW_KEY_KP_ENTER}, {ImGuiKey_A, GLFW_KEY_A},         {ImGuiKey_C, GLFW_KEY_C},
        {ImGuiKey_V, GLFW_KEY_V},             {ImGuiKey_X, GLFW_KEY_X},              {ImGuiKey_Y, GLFW_KEY_Y},
        {ImGuiKey_Z, GLFW_KEY_Z},
    };
    for (const auto& [imguiKey, glfwKey] : keyMap)
        io.KeyMap[imguiKey] = glfwKey;
    io.MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
}

UiHarness::~UiHarness()
{
    itemRecord = {};
    ImGui::DestroyContext(context_);
    ImGui::SetCurrentContext(previous_);
}

void UiHarness::frame(const Draw& draw, bool drawStartsFrame)
{
    ImGui::SetCurrentContext(context_);
    ImGuiIO& io = ImGui::GetIO();
    // What the renderer's back end does on its first frame: the atlas is built once its fonts are known.
    if (!io.Fonts->IsBuilt() || !io.Fonts->TexID) {
        unsigned char* pixels = nullptr;
        int width = 0;
        int height = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
        io.Fonts->SetTexID(reinterpret_cast<ImTextureID>(intptr_t{1}));
    }
    io.DeltaTime = 1.0f / 60.0f;
    std::memcpy(io.KeysDown, keys_, sizeof(keys_));
    io.KeyShift = keys_[GLFW_KEY_LEFT_SHIFT] || keys_[GLFW_KEY_RIGHT_SHIFT];
    io.KeyCtrl = keys_[GLFW_KEY_LEFT_CONTROL] || keys_[GLFW_KEY_RIGHT_CONTROL];
    io.KeyAlt = keys_[GLFW_KEY_LEFT_ALT] || keys_[GLFW_KEY_RIGHT_ALT];
    io.KeySuper = keys_[GLFW_KEY_LEFT_SUPER] || keys_[GLFW_KEY_RIGHT_SUPER];

    itemRecord.labels.clear();
    itemRecord.building.clear();
    itemRecord.recording = true;
    if (!drawStartsFrame)
        ImGui::NewFrame();
    draw();
    ImGui::Render();
    itemRecord.recording = false;
    itemRecord.last.swap(itemRecord.building);
}

void UiHarness::frames(int count, const Draw& draw, bool drawStartsFrame)
{
    for (int i = 0; i < count; ++i)
        frame(draw, drawStartsFrame);
}

void UiHarness::moveMouse(ImVec2 position)
{
    ImGui::SetCurrentContext(context_);
    ImGui::GetIO().MousePos = position;
}

void UiHarness::setMouseButton(int button, bool down)
{
    ImGui::SetCurrentContext(context_);
    if (button >= 0 && button < IM_ARRAYSIZE(ImGui::GetIO().MouseDown))
        ImGui::GetIO().MouseDown[button] = down;
}

void UiHarness::setKey(int key, bool down)
{
    if (key >= 0 && key < static_cast<int>(sizeof(keys_)))
        keys_[key] = down;
}

void UiHarness::typeText(const char* utf8)
{
    ImGui::SetCurrentContext(context_);
    ImGui::GetIO().AddInputCharactersUTF8(utf8);
}

const std::vector<UiItem>& UiHarness::items() const
{
    return itemRecord.last;
}

std::optional<UiItem> UiHarness::find(const std::string& label, const std::string& window) const
{
    for (const UiItem& item : itemRecord.last) {
        if (!window.empty() && item.window.compare(0, window.size(), window) != 0)
            continue;
        const size_t hidden = item.label.find("##");
        if (item.label == label || (hidden != std::string::npos && item.label.compare(0, hidden, label) == 0 &&
                                    hidden == label.size()))
            return item;
    }
    return std::nullopt;
}

bool UiHarness::click(const std::string& label, const Draw& draw, const std::string& window, bool drawStartsFrame)
{
    const std::optional<UiItem> item = find(label, window);
    if (!item)
        return false;
    clickAt(item->rect.GetCenter(), draw, drawStartsFrame);
    return true;
}

void UiHarness::clickAt(ImVec2 position, const Draw& draw, bool drawStartsFrame)
{
    moveMouse(position);
    frame(draw, drawStartsFrame);
    setMouseButton(0, true);
    frame(draw, drawStartsFrame);
    setMouseButton(0, false);
    frame(draw, drawStartsFrame);
}

void UiHarness::doubleClickAt(ImVec2 position, const Draw& draw, bool drawStartsFrame)
{
    moveMouse(position);
    frame(draw, drawStartsFrame);
    for (int click = 0; click < 2; ++click) {
        setMouseButton(0, true);
        frame(draw, drawStartsFrame);
        setMouseButton(0, false);
        frame(draw, drawStartsFrame);
    }
}

void UiHarness::drag(ImVec2 from, ImVec2 to, const Draw& draw, int steps, bool drawStartsFrame)
{
    moveMouse(from);
    frame(draw, drawStartsFrame);
    setMouseButton(0, true);
    frame(draw, drawStartsFrame);
    for (int i = 1; i <= steps; ++i) {
        const float t = static_cast<float>(i) / static_cast<float>(steps);
        moveMouse(ImVec2(from.x + (to.x - from.x) * t, from.y + (to.y - from.y) * t));
        frame(draw, drawStartsFrame);
    }
    setMouseButton(0, false);
    frame(draw, drawStartsFrame);
}

void UiHarness::pressKey(int key, const Draw& draw, bool drawStartsFrame)
{
    setKey(key, true);
    frame(draw, drawStartsFrame);
    setKey(key, false);
    frame(draw, drawStartsFrame);
}

ImGuiWindow* UiHarness::window(const char* name) const
{
    ImGui::SetCurrentContext(context_);
    return ImGui::FindWindowByName(name);
}
