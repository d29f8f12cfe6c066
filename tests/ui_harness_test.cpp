#include "ui_harness.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>
#include <imgui_stdlib.h>

// The harness itself: items are found by label and clicks, drags, keys and text reach the widgets.
TEST(UiHarness, ClicksTypesAndDragsThroughRealWidgets)
{
    UiHarness ui(ImVec2(800, 600));
    int clicks = 0;
    bool flag = false;
    std::string text;
    float value = 0.0f;
    auto draw = [&] {
        ImGui::SetNextWindowPos(ImVec2(10, 10));
        ImGui::SetNextWindowSize(ImVec2(400, 300));
        ImGui::Begin("Probe");
        if (ImGui::Button("Press"))
            ++clicks;
        ImGui::Checkbox("Flag##hidden", &flag);
        ImGui::InputText("Text", &text);
        ImGui::SliderFloat("Slide", &value, 0.0f, 1.0f);
        ImGui::End();
    };
    ui.frame(draw);
    ASSERT_TRUE(ui.has("Press", "Probe"));
    EXPECT_FALSE(ui.has("Press", "Other"));
    EXPECT_FALSE(ui.has("Missing"));

    EXPECT_TRUE(ui.click("Press", draw));
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(ui.click("Flag", draw));
    EXPECT_TRUE(flag);

    ASSERT_TRUE(ui.click("Text", draw));
    ui.typeText("a b");
    ui.frame(draw);
    ui.pressKey(GLFW_KEY_BACKSPACE, draw);
    EXPECT_EQ(text, "a ");

    const ImRect slider = ui.find("Slide")->rect;
    ui.drag(ImVec2(slider.Min.x + 2, slider.GetCenter().y), ImVec2(slider.Max.x + 50, slider.GetCenter().y), draw);
    EXPECT_FLOAT_EQ(value, 1.0f);
}
