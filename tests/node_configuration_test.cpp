// "Node Configuration Editor" with the mouse and keys (selection order, renaming, selection while collapsed) and
// "Deferred" on a real GL context (thumbnails, the decoded-normal preview and the hover preview).
#include "editor/node_configuration.h"

#include "app/data_files.h"
#include "editor/ui.h"
#include "gl_context.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_texture.h"
#include "project_test_util.h"
#include "render/composite.h"
#include "render/deferred_targets.h"
#include "ui_harness.h"

#include <GLFW/glfw3.h>
#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <memory>

using namespace gl;

namespace {

// A component whose selection and rename calls are counted.
class Selectable : public projtest::TestComponentBase {
public:
    explicit Selectable(const std::string& name) : TestComponentBase(22, name)
    {
        CvarTreeRegisterFloat(&level, "level", 0.5f, 0.0f, 1.0f, 2, branch_);
    }
    void OnSelectionChanged(bool selected) override { selected ? ++selects : ++deselects; }
    void OnRenamed() override { ++renames; }
    CvarTreeNode* branch() { return branch_; }

    Cvar level;
    int selects = 0;
    int deselects = 0;
    int renames = 0;
};

// No parameter branch: only the tags editor is listed.
class Branchless : public EngineComponent {
public:
    explicit Branchless(const std::string& name) : EngineComponent(22, name) {}
    CvarTreeNode* GetCvarTree() override { return nullptr; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
};

class NodeConfiguration : public testing::Test {
protected:
    void SetUp() override
    {
        ui_create_state();
        savedSelection_ = uiNodeEditorState->selectedIds;
        for (const char* name : {"alpha", "beta", "gamma"}) {
            auto* component = new Selectable(name);
            project.components.push_back(component);
            selectable.push_back(component);
        }
        branchless = new Branchless("plain");
        project.components.push_back(branchless);
        draw = [this] {
            ImGui::SetNextWindowPos(ImVec2(0, 0));
            ImGui::SetNextWindowSize(ImVec2(700, 1000));
            ImGui::SetNextWindowCollapsed(collapsed);
            ui_node_configuration_editor();
        };
    }
    void TearDown() override
    {
        uiNodeEditorState->selectedIds = savedSelection_;
        uiSmallFont = nullptr; // lived in the harness's atlas
    }
    void select(std::vector<int> ids) { uiNodeEditorState->selectedIds = std::move(ids); }
    void frames(int n) { ui.frames(n, draw); }
    std::vector<UiItem> all(const std::string& label) const
    {
        std::vector<UiItem> found;
        for (const UiItem& item : ui.items())
            if (item.label == label)
                found.push_back(item);
        return found;
    }

    projtest::ScopedProject project;
    UiHarness ui{ImVec2(1280, 1080)};
    std::vector<Selectable*> selectable;
    Branchless* branchless = nullptr;
    bool collapsed = false;
    UiHarness::Draw draw;

private:
    std::vector<int> savedSelection_;
};

TEST_F(NodeConfiguration, ListsTheSelectionInItsOrderAndSkipsUnknownIds)
{
    select({selectable[2]->id, 987654, selectable[0]->id, branchless->id, selectable[1]->id});
    frames(2);
    // One "Name" per component with a branch, top to bottom in selection order.
    const std::vector<UiItem> names = all("Name");
    ASSERT_EQ(names.size(), 3u);
    const char* order[] = {"gamma", "alpha", "beta"};
    float previousY = -1.0f;
    for (const char* name : order) {
        const std::optional<UiItem> header = ui.find(name, "Node Configuration Editor");
        ASSERT_TRUE(header) << name;
        EXPECT_GT(header->rect.Min.y, previousY) << name;
        previousY = header->rect.Min.y;
    }
    // Each listed branch is open and shows its rows; tags editors for all four.
    EXPECT_EQ(all("level").size(), 3u);
    EXPECT_EQ(all("Add Tag").size(), 4u);
    for (Selectable* component : selectable) {
        EXPECT_TRUE(component->selected);
        EXPECT_TRUE(component->branch()->open);
    }
}

TEST_F(NodeConfiguration, SelectsOnlyWhatItListsEvenWhenCollapsed)
{
    select({selectable[1]->id});
    collapsed = true;
    frames(3);
    EXPECT_FALSE(ui.has("Name"));
    EXPECT_TRUE(selectable[1]->selected);
    EXPECT_EQ(selectable[1]->selects, 3); // once per frame
    EXPECT_FALSE(selectable[0]->selected);
    EXPECT_EQ(selectable[0]->selects, 0);
}

TEST_F(NodeConfiguration, RenamingFollowsEveryKeystrokeAndAnnouncesOnEnter)
{
    select({selectable[0]->id});
    frames(2);
    ASSERT_TRUE(ui.click("Name", draw));
    ui.setKey(GLFW_KEY_LEFT_CONTROL, true);
    ui.pressKey(GLFW_KEY_A, draw);
    ui.setKey(GLFW_KEY_LEFT_CONTROL, false);
    ui.typeText("lamp");
    frames(1);
    EXPECT_EQ(selectable[0]->name, "lamp");
    EXPECT_EQ(selectable[0]->branch()->name, "lamp");
    ui.typeText("s");
    frames(2);
    EXPECT_EQ(selectable[0]->name, "lamps");
    EXPECT_EQ(selectable[0]->renames, 0);
    ui.pressKey(GLFW_KEY_ENTER, draw);
    EXPECT_EQ(selectable[0]->renames, 1);
    EXPECT_TRUE(ui.has("lamps", "Node Configuration Editor"));
    frames(2);
    EXPECT_EQ(selectable[0]->renames, 1);
}

// Draws "Deferred" through the harness on the test GL context, with the renderer's targets at 512 x 288.
class DeferredWindow : public GLTest {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        savedBase_ = dataBasePath();
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 20));
        savedWidth_ = screenWidth;
        savedHeight_ = screenHeight;
        screenWidth = 512;
        screenHeight = 288;
        uiDeferredWindowUsesGl = true;
        draw = [] {
            ImGui::SetNextWindowPos(ImVec2(0, 0));
            ImGui::SetNextWindowSize(ImVec2(220, 900));
            bool open = true;
            ui_deferred_window(&open);
        };
    }
    void TearDown() override
    {
        uiDeferredWindowUsesGl = false;
        deferredRenderRelease();
        while (fbStackTop > 0)
            fbPop();
        fbBind(nullptr);
        screenWidth = savedWidth_;
        screenHeight = savedHeight_;
        constBufferRingShutdown();
        dataSetBasePath(savedBase_);
        GLTest::TearDown();
    }
    // Images the window draws between its two blend callbacks, one entry per image in order (an image is two
    // triangles; images of one texture in a row share a draw command).
    std::vector<ImTextureID> images() const
    {
        std::vector<ImTextureID> ids;
        int callbacks = 0;
        for (const ImDrawCmd& command : ui.window("Deferred")->DrawList->CmdBuffer) {
            if (command.UserCallback)
                ++callbacks;
            else if (callbacks == 1)
                ids.insert(ids.end(), command.ElemCount / 6, command.TextureId);
        }
        EXPECT_EQ(callbacks, 2);
        return ids;
    }

    UiHarness ui{ImVec2(1280, 1080)};
    UiHarness::Draw draw;

private:
    std::string savedBase_;
    int savedWidth_ = 0;
    int savedHeight_ = 0;
};

TEST_F(DeferredWindow, DrawsOnlyTargetsThatExistWithoutGlErrors)
{
    ui.frames(2, draw);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    Framebuffer* preview = ui_texture_preview_framebuffer();
    ASSERT_NE(preview, nullptr);
    EXPECT_EQ(preview->name, "ui_texture_preview");
    Texture* previewTexture = preview->slots[FB_ATTACHMENT_COLOR0].texture;
    ASSERT_NE(previewTexture, nullptr);
    EXPECT_EQ(previewTexture->images[0]->width, 768);
    EXPECT_EQ(previewTexture->images[0]->height, 432);

    // Only the targets with a GL texture get a thumbnail; the others leave their place empty.
    size_t made = 0;
    for (int k = 0; k < kDeferredThumbnailCount; ++k)
        made += ui_deferred_thumbnail_texture(k) ? 1 : 0;
    EXPECT_EQ(images().size(), made);

    // With the frame's targets attached, every thumbnail shows.
    deferredAttachFrameTargets();
    ui.frames(2, draw);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    for (int k = 0; k < kDeferredThumbnailCount; ++k)
        EXPECT_NE(ui_deferred_thumbnail_texture(k), nullptr) << k;
    const std::vector<ImTextureID> shown = images();
    ASSERT_EQ(shown.size(), static_cast<size_t>(kDeferredThumbnailCount));
    EXPECT_EQ(shown[1], reinterpret_cast<ImTextureID>(static_cast<intptr_t>(previewTexture->glId)));
}

TEST_F(DeferredWindow, HoveringAThumbnailShowsItLarge)
{
    deferredCreateTargets();
    deferredAttachFrameTargets();
    ui.frames(2, draw);
    const ImGuiWindow* window = ui.window("Deferred");
    const ImVec2 origin = window->ContentRegionRect.Min;
    ui.moveMouse(ImVec2(origin.x + 50.0f, origin.y + kDeferredThumbnailStep * 1 + 50.0f));
    ui.frames(2, draw);
    const ImGuiWindow* tooltip = ui.window("1");
    ASSERT_NE(tooltip, nullptr);
    EXPECT_EQ(tooltip->LastFrameActive, ImGui::GetFrameCount());
    bool previewShown = false;
    const Texture* decoded = ui_deferred_thumbnail_texture(1);
    ASSERT_NE(decoded, nullptr);
    for (const ImDrawCmd& command : tooltip->DrawList->CmdBuffer)
        previewShown |= command.TextureId == reinterpret_cast<ImTextureID>(static_cast<intptr_t>(decoded->glId));
    EXPECT_TRUE(previewShown);
    EXPECT_GE(tooltip->ContentSize.x, 792.0f);
    EXPECT_GE(tooltip->ContentSize.y, 432.0f);

    // Away from the thumbnails: no preview.
    ui.moveMouse(ImVec2(1000.0f, 1000.0f));
    ui.frames(2, draw);
    EXPECT_NE(ui.window("1")->LastFrameActive, ImGui::GetFrameCount());
}

} // namespace
