// The gradient editor widget and the "Gradient Manager" window, driven by mouse and keys in a windowless editor
// frame; the manager's re-baking is read back from "ColorGradientTexture".
#include "editor/gradient_editor.h"
#include "editor/gradient_manager.h"
#include "editor/ui.h"
#include "egl_context.h"
#include "jni/engine/grd_texture.h"
#include "project/gradients.h"
#include "project/project.h"
#include "project_test_util.h"
#include "ui_harness.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <cmath>

namespace {

ImGradientMark mark(float r, float g, float b, float position)
{
    ImGradientMark m;
    m.color[0] = r;
    m.color[1] = g;
    m.color[2] = b;
    m.position = position;
    return m;
}

class GradientWidget : public testing::Test {
protected:
    void SetUp() override
    {
        gradientWidgetSelectedMark = nullptr;
        gradientWidgetDraggedMark = nullptr;
        a.AddMark(mark(1, 0, 0, 0.2f));
        a.AddMark(mark(0, 0, 1, 0.8f));
        a.UpdateCache();
        b.AddMark(mark(0, 1, 0, 0.5f));
        b.UpdateCache();
    }

    void draw(ImGradient* gradient)
    {
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(windowSize);
        ImGui::Begin("Gradient");
        changed = ui_gradient_editor(gradient) || changed;
        ImGui::End();
    }
    UiHarness::Draw drawer(ImGradient* gradient)
    {
        return [this, gradient] { draw(gradient); };
    }
    ImRect bar() const { return ui.find("gradient_editor_bar", "Gradient")->rect; }
    // Screen x of a position on the bar, and the y of the marks' buttons.
    float at(float position) const { return bar().Min.x + bar().GetWidth() * position; }
    float markY() const { return bar().Max.y + 6; }

    UiHarness ui{ImVec2(1920, 1080)};
    ImVec2 windowSize{600, 500};
    ImGradient a, b;
    bool changed = false;
};

TEST_F(GradientWidget, ClicksAddMarksWithTheCachedColourAndSelectThem)
{
    ui.frames(2, drawer(&a));
    ui.clickAt(ImVec2(at(0.0f), bar().GetCenter().y), drawer(&a));
    ASSERT_EQ(a.marks.size(), 3u);
    EXPECT_TRUE(changed);
    const ImGradientMark* first = a.marks.front();
    EXPECT_FLOAT_EQ(first->position, 0.0f);
    EXPECT_FLOAT_EQ(first->color[0], 1.0f) << "the colour under the click: the first mark's";
    EXPECT_EQ(gradientWidgetSelectedMark, first);

    ui.clickAt(ImVec2(at(0.5f), bar().GetCenter().y), drawer(&a));
    ASSERT_EQ(a.marks.size(), 4u);
    EXPECT_NEAR(a.marks[2]->position, 0.5f, 0.01f);
    EXPECT_NEAR(a.marks[2]->color[0], 0.5f, 0.02f) << "halfway between red and blue";
    EXPECT_NEAR(a.marks[2]->color[2], 0.5f, 0.02f);
    for (size_t i = 1; i < a.marks.size(); ++i)
        EXPECT_LE(a.marks[i - 1]->position, a.marks[i]->position);

    // A gradient without marks shows white and adds black (the evaluators' empty result).
    ImGradient empty;
    empty.UpdateCache();
    ui.frames(2, drawer(&empty));
    ui.clickAt(ImVec2(at(0.3f), bar().GetCenter().y), drawer(&empty));
    ASSERT_EQ(empty.marks.size(), 1u);
    EXPECT_EQ(empty.marks[0]->color[0], 0.0f);
    EXPECT_EQ(gradientWidgetSelectedMark, empty.marks[0]);
}

TEST_F(GradientWidget, DraggedMarksClampAtTheEndsAndGoWhenDraggedBelow)
{
    ui.frames(2, drawer(&a));
    ImGradientMark* red = a.marks[0];
    // Grabbed left of its centre and moved onto the bar's last pixel: past the end, held at 1.
    ui.moveMouse(ImVec2(at(0.2f) - 5, markY()));
    ui.frame(drawer(&a));
    ui.setMouseButton(0, true);
    ui.frame(drawer(&a));
    EXPECT_EQ(gradientWidgetDraggedMark, red);
    ui.moveMouse(ImVec2(bar().Max.x - 1, markY()));
    ui.frame(drawer(&a));
    EXPECT_FLOAT_EQ(red->position, 1.0f);
    // Moves made off the bar are not followed; coming back onto its first pixel overshoots to 0.
    ui.moveMouse(ImVec2(bar().Max.x + 200, markY()));
    ui.frame(drawer(&a));
    EXPECT_FLOAT_EQ(red->position, 1.0f);
    ui.moveMouse(ImVec2(bar().Min.x + 1, markY()));
    ui.frame(drawer(&a));
    EXPECT_FLOAT_EQ(red->position, 0.0f);
    // Forty pixels below the bar: deleted, and the first remaining mark is selected.
    ui.moveMouse(ImVec2(bar().Min.x + 1, bar().Max.y + 45));
    ui.frame(drawer(&a));
    ui.setMouseButton(0, false);
    ui.frame(drawer(&a));
    ASSERT_EQ(a.marks.size(), 1u);
    EXPECT_EQ(gradientWidgetDraggedMark, nullptr);
    EXPECT_EQ(gradientWidgetSelectedMark, a.marks[0]);
    EXPECT_EQ(a.marks[0]->color[2], 1.0f);
}

TEST_F(GradientWidget, SwitchingGradientsLeavesNoMarkOfTheOtherSelected)
{
    ui.frames(2, drawer(&a));
    ui.clickAt(ImVec2(at(0.8f), markY()), drawer(&a));
    EXPECT_EQ(gradientWidgetSelectedMark, a.marks[1]);
    ui.frames(2, drawer(&b));
    EXPECT_EQ(gradientWidgetSelectedMark, b.marks[0]) << "the picker edits the gradient shown";
    {
        ImGradient doomed;
        doomed.AddMark(mark(1, 1, 1, 0.5f));
        doomed.UpdateCache();
        ui.frames(2, drawer(&doomed));
        EXPECT_EQ(gradientWidgetSelectedMark, doomed.marks[0]);
    }
    EXPECT_EQ(gradientWidgetSelectedMark, nullptr) << "a destroyed gradient takes its marks with it";
    ui.frames(2, drawer(&b));
    EXPECT_EQ(gradientWidgetSelectedMark, b.marks[0]);
}

TEST_F(GradientWidget, ANarrowWindowStillGivesFiniteMarks)
{
    windowSize = ImVec2(12, 200);
    ui.frames(2, drawer(&a));
    ui.clickAt(ImVec2(bar().Min.x, bar().GetCenter().y), drawer(&a));
    ui.drag(ImVec2(at(0.2f), markY()), ImVec2(at(0.2f) + 30, markY()), drawer(&a));
    for (const ImGradientMark* m : a.marks) {
        EXPECT_TRUE(std::isfinite(m->position));
        EXPECT_GE(m->position, 0.0f);
        EXPECT_LE(m->position, 1.0f);
    }
}

TEST(GradientEvaluators, EditorPreviewsMatchTheirRules)
{
    ImGradient g;
    g.AddMark(mark(0, 0, 0, 0.0f));
    g.AddMark(mark(1, 1, 1, 1.0f));
    const GradientColor mid = imGradientDefaultEvaluator.Evaluate(0.5f, g);
    EXPECT_FLOAT_EQ(mid.red, 0.5f);
    EXPECT_FLOAT_EQ(mid.alpha, 0.0f);
    const GradientColor end = imGradientCieLABCurveEvaluator.Evaluate(1.0f, g);
    EXPECT_NEAR(end.red, 1.0f, 1e-3f);
    EXPECT_FLOAT_EQ(end.alpha, 0.0f);
    ImGradient none;
    EXPECT_FLOAT_EQ(imGradientCieLABCurveEvaluator.Evaluate(0.5f, none).alpha, 1.0f);
    // Marks appended out of order come back sorted.
    g.AddMark(mark(1, 0, 0, 0.3f));
    g.UpdateCache();
    EXPECT_FLOAT_EQ(g.marks[1]->position, 0.3f);
    EXPECT_FLOAT_EQ(g.cache[0], 0.0f);
}

// ---- The "Gradient Manager" window ----

class GradientManager : public testing::Test {
protected:
    void SetUp() override
    {
        if (!eglSurfacelessContextCurrent())
            GTEST_SKIP() << "no GL context";
        for (GradientResource* record : gradientsAll())
            before_.push_back(record->name);
        savedList_ = projectList;
        savedCurrent_ = currentProject;
        room_ = projCreate("room");
        projectList = {room_};
        projSetCurrent(room_);
        for (GradientResource* record : gradientsAll())
            room_->resources->add(record);
        gradientWidgetSelectedMark = nullptr;
        gradientWidgetDraggedMark = nullptr;
    }
    void TearDown() override
    {
        if (!room_)
            return;
        for (GradientResource* record : gradientsAll()) {
            if (std::find(before_.begin(), before_.end(), record->name) == before_.end()) {
                gradientEditorCacheErase(record->gradient);
                gradientsRemove(record->name);
            }
        }
        projSetCurrent(savedCurrent_);
        projectList = savedList_;
        projDestroy(room_);
    }

    void draw()
    {
        ImGui::SetNextWindowPos(ImVec2(0, 0), ImGuiCond_Always);
        ImGui::SetNextWindowSize(ImVec2(900, 1000), ImGuiCond_Always);
        ui_gradient_manager_window(&state);
    }
    UiHarness::Draw drawer()
    {
        return [this] { draw(); };
    }
    // The n-th item of that label in the window, in drawing order (one per gradient row).
    std::optional<UiItem> nth(const std::string& label, size_t n) const
    {
        size_t seen = 0;
        for (const UiItem& item : ui.items()) {
            if (item.window.rfind("Gradient Manager", 0) != 0)
                continue;
            const std::string name = item.label.substr(0, item.label.find("##"));
            if ((item.label == label || name == label) && seen++ == n)
                return item;
        }
        return std::nullopt;
    }
    void clickNth(const std::string& label, size_t n)
    {
        const auto item = nth(label, n);
        ASSERT_TRUE(item) << label << " " << n;
        ui.clickAt(item->rect.GetCenter(), drawer());
    }
    // The row of a gradient in name order among all gradient records of the store.
    size_t rowOf(const std::string& name) const
    {
        size_t row = 0;
        for (Resource* r : currentResources->get_by_type(ResourceType::Gradient)) {
            if (r->name == name)
                return row;
            ++row;
        }
        return SIZE_MAX;
    }
    void rename(size_t row, const char* text)
    {
        clickNth("##Name", row);
        ui.setKey(GLFW_KEY_LEFT_CONTROL, true);
        ui.pressKey(GLFW_KEY_A, drawer());
        ui.setKey(GLFW_KEY_LEFT_CONTROL, false);
        ui.pressKey(GLFW_KEY_BACKSPACE, drawer());
        ui.typeText(text);
        ui.frame(drawer());
        ui.pressKey(GLFW_KEY_ENTER, drawer());
        ui.frames(2, drawer());
    }
    GradientResource* sky()
    {
        GradientResource* record = gradientsFind("Sky");
        if (!record) {
            record = gradientsAdd("Sky");
            record->gradient->marks = {{0.2f, 0.4f, 1.0f, 0.5f, 0.0f}, {1.0f, 0.8f, 0.6f, 0.5f, 1.0f}};
        }
        return record;
    }

    UiHarness ui{ImVec2(1920, 1080)};
    GradientManagerState state;
    Project* room_ = nullptr;

private:
    std::vector<std::string> before_;
    std::vector<Project*> savedList_;
    Project* savedCurrent_ = nullptr;
};

TEST_F(GradientManager, AddNamesTheFirstFreeNumberAndCloneCopiesAfterAWhiteMark)
{
    gradientsAdd("Unnamed Gradient 1");
    gradientsAdd("Unnamed Gradient 2");
    sky();
    ui.frames(2, drawer());
    ui.click("Add", drawer(), "Gradient Manager");
    GradientResource* third = gradientsFind("Unnamed Gradient 3");
    ASSERT_NE(third, nullptr);
    ASSERT_EQ(third->gradient->marks.size(), 1u);
    EXPECT_EQ(third->gradient->marks[0].red, 1.0f);
    EXPECT_EQ(third->gradient->marks[0].position, 0.0f);
    EXPECT_EQ(currentResources->get_by_name_type("Unnamed Gradient 3", ResourceType::Gradient), third);

    sky()->gradient->interpolation = GradientInterpolation::LABSpline;
    clickNth("Clone", rowOf("Sky"));
    clickNth("Clone", rowOf("Sky"));
    for (const char* name : {"Sky Clone #1", "Sky Clone #2"}) {
        GradientResource* clone = gradientsFind(name);
        ASSERT_NE(clone, nullptr) << name;
        ASSERT_EQ(clone->gradient->marks.size(), 3u);
        EXPECT_EQ(clone->gradient->marks[0].red, 1.0f);
        EXPECT_EQ(clone->gradient->marks[1].blue, 1.0f);
        EXPECT_EQ(clone->gradient->interpolation, GradientInterpolation::LABSpline);
    }
    // Every gradient of the store was baked into the row of its name order.
    ui.frame(drawer());
    EXPECT_EQ(sky()->gradient->row, static_cast<int32_t>(rowOf("Sky")));
}

TEST_F(GradientManager, RenameRefusesTakenAndEmptyNames)
{
    sky();
    GradientResource* other = gradientsAdd("Dusk");
    FileResource* texture = currentResources->add_texture("Bricks", nullptr);
    ASSERT_NE(texture, nullptr);
    ui.frames(2, drawer());

    rename(rowOf("Dusk"), "Sky");
    EXPECT_EQ(other->name, "Dusk");
    EXPECT_EQ(gradientsFind("Sky"), sky());
    rename(rowOf("Dusk"), "Bricks");
    EXPECT_EQ(other->name, "Dusk");
    EXPECT_EQ(currentResources->get_by_name("Bricks"), texture) << "a record of another kind is never replaced";
    rename(rowOf("Dusk"), "");
    EXPECT_EQ(other->name, "Dusk");

    rename(rowOf("Dusk"), "Dawn");
    EXPECT_EQ(other->name, "Dawn");
    EXPECT_EQ(gradientsFind("Dawn"), other);
    EXPECT_EQ(gradientsFind("Dusk"), nullptr);
    EXPECT_EQ(currentResources->get_by_name_type("Dawn", ResourceType::Gradient), other);
}

TEST_F(GradientManager, EditingKeepsAlphaAndDelDropsTheSelectionAndWorkingCopy)
{
    GradientResource* record = sky();
    Gradient* gradient = record->gradient;
    ui.frames(2, drawer());
    clickNth("gradient_bar", rowOf("Sky"));
    ASSERT_EQ(state.gradient, gradient);
    ui.frame(drawer());

    // A click on the editor's bar adds a mark; the gradient takes the new list and keeps the old marks' alpha.
    const ImRect bar = ui.find("gradient_editor_bar", "Gradient Manager")->rect;
    ui.clickAt(bar.GetCenter(), drawer());
    ASSERT_EQ(gradient->marks.size(), 3u);
    EXPECT_EQ(gradient->marks[0].alpha, 0.5f);
    EXPECT_EQ(gradient->marks[1].alpha, 1.0f);
    EXPECT_EQ(gradient->marks[2].alpha, 0.5f);
    ASSERT_EQ(gradientEditorCache.count(gradient), 1u);

    clickNth("Del", rowOf("Sky"));
    EXPECT_EQ(gradientsFind("Sky"), nullptr);
    EXPECT_EQ(state.gradient, nullptr);
    EXPECT_EQ(gradientEditorCache.count(gradient), 0u);
    EXPECT_EQ(gradientWidgetSelectedMark, nullptr);
    ui.frames(2, drawer());
}

TEST_F(GradientManager, PickingAnInterpolationRebakesAtOnce)
{
    Gradient* gradient = sky()->gradient;
    ui.frames(2, drawer());
    clickNth("gradient_bar", rowOf("Sky"));
    ui.frame(drawer());
    ASSERT_NE(colorGradientTexture, nullptr);
    const int row = gradient->row;
    ASSERT_GE(row, 0);
    auto* texels = reinterpret_cast<uint16_t*>(colorGradientTexture->images[0]->levels[0]) +
                   static_cast<size_t>(row) * kGradientTextureWidth * 4;
    const uint16_t baked = texels[0];
    texels[0] = 0;

    ui.click("Interpolation", drawer(), "Gradient Manager");
    ui.frame(drawer()); // the popup takes its place on its second frame
    ASSERT_TRUE(ui.click("LABSpline", drawer()));
    EXPECT_EQ(gradient->interpolation, GradientInterpolation::LABSpline);
    EXPECT_EQ(texels[0], baked);
}

} // namespace
