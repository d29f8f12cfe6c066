// The parameter inspector driven with mouse and keys: one widget per parameter type, the "CV" and "K" buttons,
// "-> Editor", the branch visibility rule, labels and header colours.
#include "editor/inspector.h"
#include "editor/sequencer_window.h"
#include "editor/shader_editor.h"
#include "editor/ui.h"
#include "project/curves.h"
#include "project/keyframes.h"
#include "project_test_util.h"
#include "render/materials.h"
#include "ui_harness.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

namespace {

using projtest::LogCapture;

// A component whose branch holds what a test registers; pin toggles are counted.
class Holder : public projtest::TestComponentBase {
public:
    explicit Holder(const std::string& name) : TestComponentBase(22, name) {}
    // The tests' parameters may be gone by now; the branch must not look at them.
    ~Holder() override { branch_->cvars.clear(); }
    void ToggleCvarInput(Cvar* cvar) override
    {
        ++toggles;
        EngineComponent::ToggleCvarInput(cvar);
    }
    CvarTreeNode* branch() { return branch_; }
    int pinsBoundTo(const Cvar* cvar) const
    {
        int n = 0;
        for (const InputPin* pin : inputs)
            n += pin->cvar == cvar ? 1 : 0;
        return n;
    }
    int toggles = 0;
};

const char* const kModes[] = {"first", "second", "third", nullptr};
const char* const kNoModes[] = {nullptr};

class Inspector : public testing::Test {
protected:
    void SetUp() override
    {
        ui_create_state();
        savedFrame_ = sequencerFrame;
        holder = std::make_unique<Holder>("holder");
        draw = [this] {
            ImGui::SetNextWindowPos(ImVec2(0, 0));
            ImGui::SetNextWindowSize(ImVec2(900, 1000));
            ImGui::Begin("Inspector");
            ui_handle_cvar_tree_node(shown ? shown : holder->branch());
            ImGui::End();
        };
    }
    void TearDown() override
    {
        holder.reset();
        sequencerFrame = savedFrame_;
        uiSmallFont = nullptr; // lived in the harness's atlas
    }
    CvarTreeNode* branch() { return holder->branch(); }
    void frame() { ui.frame(draw); }
    void frames(int n) { ui.frames(n, draw); }
    bool click(const std::string& label, const std::string& window = "Inspector")
    {
        return ui.click(label, draw, window);
    }
    void pressKey(int key) { ui.pressKey(key, draw); }
    void type(const char* text)
    {
        ui.typeText(text);
        frame();
    }
    // Opens a combo and picks an item of its list; the list settles on its place in the frames after it opens.
    bool pick(const std::string& combo, const std::string& item)
    {
        if (!click(combo))
            return false;
        frames(2);
        return ui.click(item, draw, "##Combo");
    }
    int changes(const Cvar* cvar) const
    {
        return static_cast<int>(
            std::count(holder->changedCvars.begin(), holder->changedCvars.end(), cvar));
    }

    projtest::ScopedProject project;
    UiHarness ui{ImVec2(1920, 1080)};
    std::unique_ptr<Holder> holder;
    CvarTreeNode* shown = nullptr; // another branch to draw instead of the holder's
    UiHarness::Draw draw;

private:
    int savedFrame_ = 0;
};

TEST(InspectorValues, IntParametersShowAsUnsigned32BitValues)
{
    struct Case {
        float stored;
        uint32_t shown;
    };
    const Case cases[] = {
        {0.0f, 0u},
        {42.0f, 42u},
        {-1.0f, 4294967295u},
        {-2147483648.0f, 2147483648u},
        {4294967040.0f, 4294967040u},
        {1e20f, 4294967295u},   // beyond the range: the largest value
        {-1e20f, 2147483648u},  // below: the smallest 32-bit integer's form
        {NAN, 0u},
        {INFINITY, 0u},
        {7.9f, 7u},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ui_cvar_int_as_unsigned(c.stored), c.shown) << c.stored;
}

// Each parameter type in a branch of its own: the widget's items are there and the others' are not.
TEST_F(Inspector, EveryTypeDrawsItsWidget)
{
    static Curve curve;
    Material root("root", 1, nullptr, nullptr);
    struct Case {
        const char* what;
        std::function<void(Cvar*, CvarTreeNode*)> registerIt;
        std::vector<std::string> present;
        std::vector<std::string> absent;
        int unlabelled = 0; // items without a label
    };
    const Case cases[] = {
        {"free float", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterFloat(c, "v", 1, 0, 0, 2, b); },
         {"v", "CV", "K"}, {"##TextEditor"}},
        {"int", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterInt(c, "v", 3, 2, b); }, {"v", "CV", "K"}, {}},
        {"bool", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterBool(c, "v", 1, 2, b); }, {"v"}, {}},
        {"text", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterText(c, "v", "abc", 2, b); },
         {"-> Editor", "##TextEditor"}, {}},
        {"color with alpha",
         [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterColor(c, "v", 1, 0, 0, 1, 2, b); },
         {"##X", "##Y", "##Z", "##W"}, {}},
        {"color without alpha",
         [](Cvar* c, CvarTreeNode* b) {
             CvarTreeRegisterColor(c, "v", 1, 0, 0, 1, 2, b);
             c->alphaEditable = false;
         },
         {"##X", "##Z"}, {"##W"}},
        // The fields of vectors carry no label of their own.
        {"vec3", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterVec3(c, "v", 1, 2, 3, 2, b); }, {"CV"}, {"v"}, 3},
        {"vec2", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterVec2(c, "v", 1, 2, 2, b); }, {"CV"}, {"v"}, 2},
        {"enum", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterEnum(c, "v", kModes, 1, 2, b); }, {"v"}, {}},
        // No options, or a value far outside them: drawn without reading past the table.
        {"enum without options",
         [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterEnum(c, "v", kNoModes, 0, 2, b); }, {"CV"}, {"v"}},
        {"enum out of range",
         [](Cvar* c, CvarTreeNode* b) {
             CvarTreeRegisterEnum(c, "v", kModes, 0, 2, b);
             c->value[0] = 99.0f;
         },
         {"v"}, {}},
        {"enum below 0",
         [](Cvar* c, CvarTreeNode* b) {
             CvarTreeRegisterEnum(c, "v", kModes, 0, 2, b);
             c->value[0] = -5.0f;
         },
         {"v"}, {}},
        {"button", [](Cvar* c, CvarTreeNode* b) {
             c->type = CvarType::Button;
             c->name = "v";
             b->cvars.push_back(c);
         },
         {"v"}, {}},
        {"curve", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterCurve(c, "v", &curve, 2, b); },
         {"Interpolation Type", "##curve"}, {}},
        {"material", [&root](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterMaterial(c, "v", &root, 2, b); },
         {"v"}, {}},
        {"resource without type", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterResource(c, "v", "", 0, 2, b); },
         {"CV", "K"}, {"v", "Rem"}},
        {"resource naming one", [](Cvar* c, CvarTreeNode* b) {
             CvarTreeRegisterResource(c, "v", "gone", ResourceType::Texture, 2, b);
         },
         {"v", "Rem"}, {}},
        {"read-only", [](Cvar* c, CvarTreeNode* b) {
             CvarTreeRegisterFloat(c, "v", 1, 0, 0, 2, b);
             c->readOnly = true;
         },
         {}, {"v", "CV", "K"}},
    };
    for (const Case& c : cases) {
        holder = std::make_unique<Holder>("holder");
        Cvar parameter;
        c.registerIt(&parameter, branch());
        parameter.animatable = true;
        frames(2);
        for (const std::string& label : c.present)
            EXPECT_TRUE(ui.has(label, "Inspector")) << c.what << ": " << label;
        for (const std::string& label : c.absent)
            EXPECT_FALSE(ui.has(label, "Inspector")) << c.what << ": " << label;
        const std::vector<UiItem>& items = ui.items();
        EXPECT_EQ(std::count_if(items.begin(), items.end(), [](const UiItem& item) { return item.label.empty(); }),
                  c.unlabelled)
            << c.what;
        holder.reset(); // before the parameter goes
    }
}

TEST_F(Inspector, FloatsApplyWhileTypingIntsOnlyOnEnter)
{
    Cvar free, count;
    CvarTreeRegisterFloat(&free, "free", 1.0f, 0.0f, 0.0f, 2, branch());
    CvarTreeRegisterInt(&count, "count", 5, 2, branch());
    frames(2);

    ASSERT_TRUE(click("free"));
    type("2.5");
    EXPECT_FLOAT_EQ(free.value[0], 2.5f);
    EXPECT_GE(changes(&free), 1);
    pressKey(GLFW_KEY_ENTER);

    ASSERT_TRUE(click("count"));
    type("42");
    frames(2);
    EXPECT_EQ(count.value[0], 5.0f);
    EXPECT_EQ(changes(&count), 0);
    pressKey(GLFW_KEY_ENTER);
    EXPECT_EQ(count.value[0], 42.0f);
    EXPECT_EQ(changes(&count), 1);
}

TEST_F(Inspector, SlidersBoolsAndButtonsEditTheirValues)
{
    Cvar slider, flag, button;
    CvarTreeRegisterFloat(&slider, "slider", 0.0f, 0.0f, 1.0f, 2, branch());
    CvarTreeRegisterBool(&flag, "flag", 0.0f, 2, branch());
    button.type = CvarType::Button;
    button.name = "press";
    branch()->cvars.push_back(&button);
    frames(2);

    ASSERT_TRUE(click("slider"));
    EXPECT_NEAR(slider.value[0], 0.5f, 0.05f);
    EXPECT_EQ(changes(&slider), 1);

    ASSERT_TRUE(click("flag"));
    EXPECT_EQ(flag.value[0], 1.0f);
    ASSERT_TRUE(click("flag"));
    EXPECT_EQ(flag.value[0], 0.0f);
    EXPECT_EQ(changes(&flag), 2);

    ASSERT_TRUE(click("press"));
    EXPECT_EQ(changes(&button), 1);
}

// Dragging the first field of a row changes only its first channel: vectors by one unit per pixel, colours by
// much less; a colour without editable alpha keeps its alpha.
TEST_F(Inspector, DragFieldsEditTheirFirstChannel)
{
    struct Case {
        const char* what;
        std::function<void(Cvar*, CvarTreeNode*)> registerIt;
        float minimum; // the first channel after a 40-pixel drag right, at least
        float maximum;
    };
    const Case cases[] = {
        {"vec3", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterVec3(c, "v", 0, 0, 0, 2, b); }, 20.0f, 60.0f},
        {"vec2", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterVec2(c, "v", 0, 0, 2, b); }, 20.0f, 60.0f},
        {"color", [](Cvar* c, CvarTreeNode* b) { CvarTreeRegisterColor(c, "v", 0.25f, 0.5f, 0.75f, 0.5f, 2, b); },
         0.3f, 1.0f},
        {"color without alpha",
         [](Cvar* c, CvarTreeNode* b) {
             CvarTreeRegisterColor(c, "v", 0.25f, 0.5f, 0.75f, 0.5f, 2, b);
             c->alphaEditable = false;
         },
         0.3f, 1.0f},
    };
    for (const Case& c : cases) {
        holder = std::make_unique<Holder>("holder");
        Cvar parameter;
        c.registerIt(&parameter, branch());
        const float before[4] = {parameter.value[0], parameter.value[1], parameter.value[2], parameter.value[3]};
        frames(30); // half a second: the last case's release and this press are no double-click
        // The row: "CV", the stand-in for "K", then the fields.
        const std::optional<UiItem> cv = ui.find("CV", "Inspector");
        ASSERT_TRUE(cv) << c.what;
        const ImVec2 from(cv->rect.Max.x + 50.0f, cv->rect.GetCenter().y);
        ui.drag(from, ImVec2(from.x + 40.0f, from.y), draw);
        EXPECT_GE(parameter.value[0], c.minimum) << c.what;
        EXPECT_LE(parameter.value[0], c.maximum) << c.what;
        for (int i = 1; i < 4; ++i)
            EXPECT_EQ(parameter.value[i], before[i]) << c.what << " channel " << i;
        EXPECT_GE(changes(&parameter), 1) << c.what;
        holder.reset();
    }
}

TEST_F(Inspector, EnumsPickAnOptionByIndex)
{
    Cvar mode, empty;
    CvarTreeRegisterEnum(&mode, "mode", kModes, 0, 2, branch());
    CvarTreeRegisterEnum(&empty, "empty", kNoModes, 0, 2, branch());
    mode.value[0] = 40.0f; // from a file: shown as the last option until one is picked
    frames(2);
    ASSERT_TRUE(pick("mode", "second"));
    EXPECT_EQ(mode.value[0], 1.0f);
    EXPECT_EQ(changes(&mode), 1);
    EXPECT_EQ(empty.value[0], 0.0f);
}

TEST_F(Inspector, TextEditsTheParameterAndBindsTheShaderEditor)
{
    Cvar source;
    CvarTreeRegisterText(&source, "source", "void main(){}", 2, branch());
    source.uuid = 0;
    frames(2);
    ASSERT_TRUE(click("##TextEditor"));
    ui.setKey(GLFW_KEY_LEFT_CONTROL, true);
    pressKey(GLFW_KEY_END);
    ui.setKey(GLFW_KEY_LEFT_CONTROL, false);
    type("//x");
    EXPECT_EQ(source.text, "void main(){}//x");
    EXPECT_GE(changes(&source), 1);

    uiShaderEditorState->cvarUuid = 0;
    ASSERT_TRUE(click("-> Editor"));
    EXPECT_NE(source.uuid, 0u);
    EXPECT_EQ(uiShaderEditorState->cvarUuid, source.uuid);
    EXPECT_EQ(uiShaderEditorState->componentId, holder->id);
    EXPECT_EQ(uiShaderEditorState->editor.GetText(), "void main(){}//x");
    uiShaderEditorState->cvarUuid = 0;
}

TEST_F(Inspector, MaterialsOfferTheRootAndItsDerivedOnes)
{
    Material root("stone", 1, nullptr, nullptr);
    Material wet("stone wet", 1, nullptr, nullptr);
    Material dry("stone dry", 1, nullptr, nullptr);
    root.derivedMaterials = {&wet, &dry};
    Cvar material;
    CvarTreeRegisterMaterial(&material, "material", &root, 2, branch());
    material.material = &dry;
    frames(2);
    LogCapture log;
    struct Step {
        const char* pick;
        Material* expected;
        const char* line;
    };
    const Step steps[] = {
        {"stone wet", &wet, "Selected material:1 : stone wet"},
        {"stone", &root, "Selected material:0 : stone"},
    };
    int expectedChanges = 0;
    for (const Step& step : steps) {
        ASSERT_TRUE(pick("material", step.pick)) << step.pick;
        EXPECT_EQ(material.material, step.expected) << step.pick;
        EXPECT_TRUE(log.contains(step.line)) << step.line;
        EXPECT_EQ(changes(&material), ++expectedChanges);
    }
}

TEST_F(Inspector, ResourcesOfferTheirTypeAndRemClearsTheName)
{
    Resource a{ResourceType::Texture, "tex/a"};
    Resource b{ResourceType::Texture, "tex/b"};
    Resource other{ResourceType::Value, "value/c"};
    for (Resource* r : {&a, &b, &other})
        project.store.add(r);
    Cvar texture;
    CvarTreeRegisterResource(&texture, "texture", "tex/deleted", ResourceType::Texture, 2, branch());
    frames(2);
    LogCapture log;

    ASSERT_TRUE(click("texture"));
    frames(2);
    EXPECT_TRUE(ui.has("tex/a", "##Combo"));
    EXPECT_TRUE(ui.has("tex/b", "##Combo"));
    EXPECT_FALSE(ui.has("value/c"));
    ASSERT_TRUE(ui.click("tex/b", draw, "##Combo"));
    EXPECT_EQ(texture.text, "tex/b");
    EXPECT_TRUE(log.contains("Selected resource:2 : tex/b"));
    EXPECT_EQ(changes(&texture), 1);

    // Item 0 is the current name; choosing it clears the name.
    frames(30);
    ASSERT_TRUE(click("texture"));
    frames(2);
    const std::vector<UiItem>& items = ui.items();
    auto first = std::find_if(items.begin(), items.end(), [](const UiItem& item) {
        return item.window.rfind("##Combo", 0) == 0 && item.label == "tex/b";
    });
    ASSERT_NE(first, items.end());
    ui.clickAt(first->rect.GetCenter(), draw);
    EXPECT_EQ(texture.text, "");
    frame();
    EXPECT_FALSE(ui.has("Rem", "Inspector"));
    EXPECT_EQ(changes(&texture), 2);

    texture.text = "tex/deleted";
    frame();
    ASSERT_TRUE(click("Rem"));
    EXPECT_EQ(texture.text, "");
    EXPECT_EQ(changes(&texture), 3);
}

TEST_F(Inspector, CvTogglesTheInputPinOncePerClick)
{
    Cvar amount;
    CvarTreeRegisterFloat(&amount, "amount", 1.0f, 0.0f, 0.0f, 2, branch());
    frames(2);
    ASSERT_TRUE(click("CV"));
    EXPECT_TRUE(amount.graph_exposed);
    EXPECT_EQ(holder->toggles, 1);
    EXPECT_EQ(holder->pinsBoundTo(&amount), 1);
    frames(3);
    EXPECT_EQ(holder->toggles, 1);
    ASSERT_TRUE(click("CV"));
    EXPECT_FALSE(amount.graph_exposed);
    EXPECT_EQ(holder->toggles, 2);
    EXPECT_EQ(holder->pinsBoundTo(&amount), 0);
    EXPECT_EQ(changes(&amount), 0);
}

TEST_F(Inspector, KKeysTheCurrentValueAtTheTimelinesFrame)
{
    Cvar speed, fixed;
    CvarTreeRegisterFloat(&speed, "speed", 3.0f, 0.0f, 0.0f, 2, branch());
    CvarTreeRegisterFloat(&fixed, "fixed", 1.0f, 0.0f, 0.0f, 2, branch());
    speed.animatable = true;
    speed.uuid = 0;
    sequencerFrame = 250;
    frames(2);
    EXPECT_EQ(ui_cvar_key_color(&speed).x, kKeyNoTrackColor.x);
    // Only the animatable row has "K"; the other keeps its widget in line with an empty item.
    int keys = 0;
    for (const UiItem& item : ui.items())
        keys += item.label == "K" ? 1 : 0;
    EXPECT_EQ(keys, 1);
    ASSERT_TRUE(ui.has("speed") && ui.has("fixed"));
    EXPECT_EQ(ui.find("speed")->rect.Min.x, ui.find("fixed")->rect.Min.x);

    ASSERT_TRUE(click("K"));
    EXPECT_NE(speed.uuid, 0u);
    ASSERT_TRUE(SequencerManager::HasTrack(&speed));
    const KeyframeTrack* track = SequencerManager::FindTrack(&speed);
    ASSERT_EQ(track->keys.size(), 1u);
    EXPECT_EQ(track->keys[0].frame, 250u);
    EXPECT_EQ(track->keys[0].v0, 3.0f);
    EXPECT_FALSE(SequencerManager::HasTrack(&fixed));

    const ImVec4 at = ui_cvar_key_color(&speed);
    EXPECT_EQ(at.x, kKeyAtFrameColor.x);
    EXPECT_EQ(at.y, kKeyAtFrameColor.y);
    sequencerFrame = 300;
    EXPECT_EQ(ui_cvar_key_color(&speed).y, kKeyElsewhereColor.y);
    // A second key at another frame; the first stays.
    speed.value[0] = 4.0f;
    ASSERT_TRUE(click("K"));
    ASSERT_EQ(track->keys.size(), 2u);
    EXPECT_EQ(track->keys[1].frame, 300u);
    EXPECT_EQ(track->keys[1].v0, 4.0f);
    keyframeTracks.erase(&speed);
}

TEST_F(Inspector, BranchesShowByTheirContentsAndLabelsCarryTheSecondaryText)
{
    CvarTreeNode root("", nullptr);
    CvarTreeNode* loadedOnly = new CvarTreeNode("loaded only", &root);
    root.children.push_back(loadedOnly);
    Cvar placeholder;
    placeholder.name = "stored";
    placeholder.type = CvarType::Float;
    placeholder.unclaimed = true;
    loadedOnly->cvars.push_back(&placeholder);
    CvarTreeNode* holderOfChild = new CvarTreeNode("only a child", &root);
    root.children.push_back(holderOfChild);
    CvarTreeNode* leaf = new CvarTreeNode("leaf", holderOfChild);
    holderOfChild->children.push_back(leaf);
    Cvar plain;
    CvarTreeRegisterFloat(&plain, "plain", 1.0f, 0.0f, 0.0f, 2, leaf);
    CvarTreeNode* hidden = new CvarTreeNode("hidden", &root);
    root.children.push_back(hidden);
    Cvar hiddenValue;
    CvarTreeRegisterFloat(&hiddenValue, "hiddenValue", 1.0f, 0.0f, 0.0f, 2, hidden);
    hidden->visible = false;
    CvarTreeNode* captioned = new CvarTreeNode("lamp", &root);
    root.children.push_back(captioned);
    captioned->caption = "3 lights";
    Cvar brightness;
    CvarTreeRegisterFloat(&brightness, "brightness", 1.0f, 0.0f, 0.0f, 2, captioned);
    shown = &root;
    frames(2);

    struct Case {
        const char* label;
        bool drawn;
    };
    const Case cases[] = {
        {"loaded only", false}, {"stored", false},     {"only a child", true}, {"leaf", true},
        {"plain", true},        {"hidden", false},     {"hiddenValue", false}, {"lamp (3 lights)", true},
        {"brightness", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ui.has(c.label, "Inspector"), c.drawn) << c.label;
    // Branches without an owner offer no pins and no keys.
    EXPECT_FALSE(ui.has("CV", "Inspector"));
    shown = nullptr;
    for (CvarTreeNode* branch : {loadedOnly, holderOfChild, hidden, captioned})
        branch->cvars.clear();
    leaf->cvars.clear();
}

TEST_F(Inspector, CollapsingABranchClearsItsOpenFlag)
{
    Cvar value;
    CvarTreeRegisterFloat(&value, "value", 1.0f, 0.0f, 0.0f, 2, branch());
    branch()->open = true;
    frames(2);
    ASSERT_TRUE(ui.has("value", "Inspector"));
    ASSERT_TRUE(click("holder"));
    EXPECT_FALSE(branch()->open);
    EXPECT_FALSE(ui.has("value", "Inspector"));
    ASSERT_TRUE(click("holder"));
    EXPECT_TRUE(branch()->open);
}

// A tree drawn where nothing shows (a collapsed window, one squeezed off the screen) is not the user closing it:
// the open flag, which the project files keep, stays as it was.
TEST_F(Inspector, AWindowThatShowsNothingLeavesTheOpenFlag)
{
    Cvar value;
    CvarTreeRegisterFloat(&value, "value", 1.0f, 0.0f, 0.0f, 2, branch());
    branch()->open = true;
    draw = [this] {
        ImGui::SetNextWindowCollapsed(true);
        ImGui::Begin("Inspector");
        ui_handle_cvar_tree_node(branch());
        ImGui::End();
    };
    frames(2);
    EXPECT_TRUE(branch()->open);
    EXPECT_FALSE(ui.has("value", "Inspector"));
}

TEST_F(Inspector, HeaderColoursTakeTheBranchHueAndKeepTheStyles)
{
    ImGuiStyle& style = ImGui::GetStyle();
    style.Colors[ImGuiCol_Header] = ImVec4(0.2f, 0.4f, 0.8f, 0.6f);
    style.Colors[ImGuiCol_HeaderActive] = ImVec4(0.1f, 0.5f, 0.3f, 1.0f);
    style.Alpha = 0.5f;
    CvarTreeNode node("n", nullptr);
    struct Case {
        float color[3];
        ImGuiCol styleColor;
        float expectedHue; // < 0: the style's own colour
    };
    const Case cases[] = {
        {{0, 0, 0}, ImGuiCol_Header, -1.0f},
        {{1, 0, 0}, ImGuiCol_Header, 0.0f},
        {{0, 1, 0}, ImGuiCol_HeaderActive, 1.0f / 3.0f},
        {{0, 0, 0.5f}, ImGuiCol_HeaderActive, 2.0f / 3.0f},
    };
    for (const Case& c : cases) {
        std::copy(c.color, c.color + 3, node.color);
        const ImVec4 styleColor = style.Colors[c.styleColor];
        const ImVec4 got = ui_cvar_branch_header_color(node, c.styleColor);
        // Alpha: the style's, times the global alpha, rounded to 8 bits.
        EXPECT_NEAR(got.w, std::round(styleColor.w * 0.5f * 255.0f) / 255.0f, 1e-6f);
        float h, s, v, sh, ss, sv;
        ImGui::ColorConvertRGBtoHSV(got.x, got.y, got.z, h, s, v);
        ImGui::ColorConvertRGBtoHSV(styleColor.x, styleColor.y, styleColor.z, sh, ss, sv);
        EXPECT_NEAR(s, ss, 0.01f);
        EXPECT_NEAR(v, sv, 0.01f);
        if (c.expectedHue < 0.0f) {
            EXPECT_NEAR(got.x, styleColor.x, 0.5f / 255.0f);
            EXPECT_NEAR(got.y, styleColor.y, 0.5f / 255.0f);
            EXPECT_NEAR(got.z, styleColor.z, 0.5f / 255.0f);
        } else {
            EXPECT_NEAR(std::fmod(h, 1.0f), c.expectedHue, 0.01f) << c.color[0] << c.color[1] << c.color[2];
        }
    }
}

TEST_F(Inspector, ACurveRowEditsTheCurveWithoutReportingIt)
{
    Curve curve;
    curve.points = {{0.0f, 0.0f}, {1.0f, 1.0f}};
    curve.interpolation = CurveInterpolation::Linear;
    Cvar shape;
    CvarTreeRegisterCurve(&shape, "shape", &curve, 2, branch());
    frames(2);
    ASSERT_TRUE(pick("Interpolation Type", "Cubic"));
    EXPECT_EQ(curve.interpolation, CurveInterpolation::Cubic);
    const std::optional<UiItem> area = ui.find("##curve", "Inspector");
    ASSERT_TRUE(area);
    EXPECT_NEAR(area->rect.GetHeight(), 100.0f, 0.5f);
    ui.doubleClickAt(area->rect.GetCenter(), draw);
    EXPECT_EQ(curve.points.size(), 3u);
    EXPECT_EQ(changes(&shape), 0);
}

} // namespace
