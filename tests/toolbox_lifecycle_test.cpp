// Every component type the toolbox can make lives and dies inside a playing project: created from its button,
// selected, keyed, rendered, deleted, rendered again, with nothing left that still names it.
#include "app/frame_loop.h"
#include "app/timing.h"
#include "components/scene_player.h"
#include "editor/file_name_prompt.h"
#include "editor/graph_toolbox.h"
#include "editor/node_canvas.h"
#include "editor/node_editor.h"
#include "editor/shader_editor.h"
#include "editor/ui.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project/keyframes.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/graph_processing.h"
#include "render/selection_bounds.h"
#include "renderer_fixture.h"
#include "ui_harness.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <memory>
#include <unordered_set>

namespace {

class ToolboxLifecycle : public ShippedRoomTest {
protected:
    std::unique_ptr<UiHarness> harness;
    int time = 500;

    void beforeLoad() override
    {
        harness = std::make_unique<UiHarness>(ImVec2(1280, 1500));
        ui_create_state();
        ui_node_editor_forget_contexts(*uiNodeEditorState);
    }
    void TearDown() override
    {
        ui_node_editor_forget_contexts(*uiNodeEditorState);
        harness.reset();
        uiSmallFont = nullptr;
        // Pressing every parameter pressed "Export to JSON" too: its prompt must not wait for the next test.
        uiFileNamePrompt = FileNamePromptState{};
        ShippedRoomTest::TearDown();
    }

    static void drawEditor()
    {
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(ImVec2(900, 800));
        ui_node_editor_window(*uiNodeEditorState);
        ImGui::SetNextWindowPos(ImVec2(900, 0));
        ImGui::SetNextWindowSize(ImVec2(380, 1500));
        ui_graph_node_toolbox();
    }

    // The engine's frame, then the editor's, then what the inspector does for the selection it shows.
    void frame()
    {
        GraphProcessing(float(time++) / 100.0f);
        engine_advance_frame_rings();
        harness->frame(drawEditor);
        for (EngineComponent* component : *currentComponents)
            for (int id : uiNodeEditorState->selectedIds)
                if (component->id == id) {
                    component->selected = true;
                    component->OnSelectionChanged(true);
                }
    }
};

TEST_F(ToolboxLifecycle, EveryCreatableTypeIsMadeKeyedRenderedAndDeletedLeavingNothingBehind)
{
    int made = 0;
    frame();
    for (int row = 0; row < kComponentTypeInvalid; ++row) {
        const ComponentTypeInfo& info = componentTypeTable[row];
        if (!info.factory)
            continue;
        SCOPED_TRACE(info.displayName);
        const size_t before = currentComponents->size();
        ASSERT_TRUE(harness->click(info.displayName, drawEditor, "Graph Node Toolbox"));
        ASSERT_EQ(currentComponents->size(), before + 1);
        EngineComponent* component = currentComponents->back();
        EXPECT_EQ(component->name, std::string("New ") + info.displayName);
        EXPECT_EQ(component->state, ComponentState::Resolved);
        const int32_t id = component->id;
        ++made;

        nodecanvas::SelectNode(id);
        frame();
        ASSERT_EQ(uiNodeEditorState->selectedIds, std::vector<int>{id});

        // Key the first parameter, and give it a timeline row.
        std::vector<Cvar*> cvars;
        if (CvarTreeNode* branch = component->GetCvarTree())
            cvars = CvarTreeCollect(branch, -1);
        if (!cvars.empty()) {
            SequencerManager::SetKey(cvars.front(), time);
            SequencerManager::SetKey(cvars.front(), time + 50);
            ASSERT_NE(SequencerManager::FindTrack(cvars.front()), nullptr);
        }
        sequencer->GetOrAddComponentItem(component);
        std::unordered_set<const Resource*> payloads;
        for (OutputPin* pin : component->outputs)
            if (pin->payload)
                payloads.insert(pin->payload);

        for (int i = 0; i < 3; ++i)
            frame();
        ASSERT_TRUE(harness->click("Delete", drawEditor, "Graph Node Toolbox"));
        ASSERT_EQ(currentComponents->size(), before);
        for (int i = 0; i < 3; ++i)
            frame();

        EXPECT_EQ(gl::glGetError(), gl::GL_NO_ERROR);
        for (Cvar* cvar : cvars)
            EXPECT_EQ(keyframeTracks.count(cvar), 0u);
        EXPECT_EQ(selectedBoundsMap.count(static_cast<uint32_t>(id)), 0u);
        EXPECT_EQ(sequencer->componentItems.count(component), 0u);
        for (SequenceItem* item : sequencer->items)
            EXPECT_NE(item->component, component);
        for (const auto& [name, resource] : room->resources->resources)
            EXPECT_EQ(payloads.count(resource), 0u) << name;
        EXPECT_NE(static_cast<void*>(currentScenePlayer), static_cast<void*>(component));
        EXPECT_NE(uiShaderEditorState->componentId, id);
        EXPECT_TRUE(uiNodeEditorState->selectedIds.empty());
        for (EngineComponent* other : *currentComponents)
            for (InputPin* pin : other->inputs)
                for (int32_t link : pin->links)
                    EXPECT_NE(GraphManager::FindComponentByPinId(link), component);
    }
    EXPECT_GE(made, 10) << "the toolbox offers the implemented types";
}

} // namespace
