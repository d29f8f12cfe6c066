// The node graph editor and the graph toolbox driven with the mouse: links made by dragging between pins, detached
// with Ctrl+click, re-sorted by node drags; collapse; delete, delete with inputs and clone.
#include "editor/event_log.h"
#include "editor/graph_toolbox.h"
#include "editor/node_canvas.h"
#include "editor/node_editor.h"
#include "editor/ui.h"
#include "project/keyframes.h"
#include "project_test_util.h"
#include "ui_harness.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

// A component with one input and one output whose callbacks are counted.
class Probe : public EngineComponent {
public:
    Probe(const std::string& name, bool severalLinks, std::vector<int32_t> accepts, int32_t outputType)
        : EngineComponent(22, name)
    {
        input = new InputPin("in", std::move(accepts), severalLinks);
        declaredInputs.push_back(input);
        RebuildPinLists();
        output = AddOutput("out", outputType);
    }
    CvarTreeNode* GetCvarTree() override { return nullptr; }
    void OnInputConnected(int32_t) override { ++connected; }
    void OnInputDisconnected(int32_t) override { ++disconnected; }
    void ResolveInputs() override { ++resolves; }

    InputPin* input;
    OutputPin* output;
    int connected = 0;
    int disconnected = 0;
    int resolves = 0;
};

// A component with the child pin and the entity output.
class Parent : public projtest::TestTransform {
public:
    explicit Parent(const std::string& name) : TestTransform(name)
    {
        CreateChildPin();
        CreateEntityPin();
    }
};

class NodeEditorTest : public testing::Test {
protected:
    void SetUp() override
    {
        savedCurrent_ = currentProject;
        project_ = projCreate("nodes");
        projSetCurrent(project_);
        harness_ = std::make_unique<UiHarness>(ImVec2(1280, 1500));
        ui_create_state();
        ui_node_editor_forget_contexts(*uiNodeEditorState);
        uiNodeEditorState->initialized = false;
        draw_ = [] {
            ImGui::SetNextWindowPos(ImVec2(0, 0));
            ImGui::SetNextWindowSize(ImVec2(900, 800));
            ui_node_editor_window(*uiNodeEditorState);
            ImGui::SetNextWindowPos(ImVec2(900, 0));
            ImGui::SetNextWindowSize(ImVec2(380, 1500)); // every button in view
            ui_graph_node_toolbox();
        };
    }
    void TearDown() override
    {
        ui_node_editor_forget_contexts(*uiNodeEditorState);
        harness_.reset();
        uiSmallFont = nullptr; // lived in the harness's atlas
        projSetCurrent(savedCurrent_);
        projDestroy(project_);
    }

    template <typename T, typename... Args>
    T* add(ImVec2 at, Args&&... args)
    {
        T* component = new T(std::forward<Args>(args)...);
        component->x = at.x;
        component->y = at.y;
        currentComponents->push_back(component);
        return component;
    }

    void frame(int count = 1) { harness_->frames(count, draw_); }

    ImVec2 pin(int32_t id)
    {
        ImVec2 position(-1, -1);
        EXPECT_TRUE(nodecanvas::PinScreenPos(id, &position)) << "pin " << id << " is not drawn";
        return position;
    }
    bool nodeShown(int32_t id)
    {
        ImVec2 min, max;
        return nodecanvas::NodeScreenRect(id, &min, &max);
    }
    ImVec2 nodeGrip(int32_t id)
    {
        ImVec2 min, max;
        EXPECT_TRUE(nodecanvas::NodeScreenRect(id, &min, &max));
        return ImVec2(min.x + 20, min.y + 6);
    }
    void dragPins(int32_t from, int32_t to)
    {
        frame();
        harness_->drag(pin(from), pin(to), draw_);
    }

    Project* savedCurrent_ = nullptr;
    Project* project_ = nullptr;
    std::unique_ptr<UiHarness> harness_;
    UiHarness::Draw draw_;
};

TEST_F(NodeEditorTest, LinksMadeByDraggingBetweenPins)
{
    struct Case {
        const char* what;
        bool severalLinks;
        std::vector<int32_t> accepts;
        int32_t outputType;
        bool alreadyLinkedFromOther; // the input holds a link from a third component first
        bool dragTwice;
        bool sameComponent;
        // expected
        int links;
        bool linkedToDragged;
        int connected;
        int disconnected;
        bool refusedLine;
    };
    const Case cases[] = {
        {"first link", false, {ResourceType::Value}, ResourceType::Value, false, false, false, 1, true, 1, 0, false},
        {"replaces a single link", false, {ResourceType::Value}, ResourceType::Value, true, false, false, 1, true, 1,
         1, false},
        {"several links: appended", true, {ResourceType::Value}, ResourceType::Value, true, false, false, 2, true, 1,
         0, false},
        {"several links: no duplicate", true, {ResourceType::Value}, ResourceType::Value, false, true, false, 1, true,
         2, 0, false},
        {"refused type", false, {ResourceType::Image}, ResourceType::Value, false, false, false, 0, false, 0, 0, true},
        {"any type when none named", false, {}, ResourceType::Camera, false, false, false, 1, true, 1, 0, false},
        {"same component", false, {ResourceType::Value}, ResourceType::Value, false, false, true, 0, false, 0, 0,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (EngineComponent* component : *currentComponents)
            delete component;
        currentComponents->clear();
        ui_event_log_clear(uiEventLog);

        Probe* source = add<Probe>(ImVec2(20, 40), "source", false, std::vector<int32_t>{}, c.outputType);
        Probe* other = add<Probe>(ImVec2(20, 300), "other", false, std::vector<int32_t>{}, ResourceType::Value);
        Probe* consumer = add<Probe>(ImVec2(420, 150), "consumer", c.severalLinks, c.accepts, ResourceType::Value);
        if (c.alreadyLinkedFromOther)
            consumer->input->links = {other->output->id};
        ui_node_editor_load_positions();

        if (c.sameComponent)
            dragPins(consumer->output->id, consumer->input->id);
        else
            dragPins(source->output->id, consumer->input->id);
        if (c.dragTwice)
            dragPins(source->output->id, consumer->input->id);

        EXPECT_EQ(static_cast<int>(consumer->input->links.size()), c.links);
        const auto& links = consumer->input->links;
        EXPECT_EQ(std::find(links.begin(), links.end(), source->output->id) != links.end(), c.linkedToDragged);
        EXPECT_EQ(consumer->connected, c.connected);
        EXPECT_EQ(consumer->disconnected, c.disconnected);
        EXPECT_EQ(uiEventLog->text.find("Link refused") != std::string::npos, c.refusedLine) << uiEventLog->text;
    }
}

TEST_F(NodeEditorTest, DraggingFromTheInputEndMakesTheSameLink)
{
    Probe* source = add<Probe>(ImVec2(20, 40), "source", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* consumer = add<Probe>(ImVec2(420, 150), "consumer", false, std::vector<int32_t>{}, ResourceType::Value);
    ui_node_editor_load_positions();
    dragPins(consumer->input->id, source->output->id);
    EXPECT_EQ(consumer->input->links, std::vector<int32_t>{source->output->id});
    EXPECT_TRUE(source->input->links.empty());
}

TEST_F(NodeEditorTest, CtrlClickOnALinkDetachesItAndTellsTheConsumerOnce)
{
    Probe* source = add<Probe>(ImVec2(20, 40), "source", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* consumer = add<Probe>(ImVec2(420, 200), "consumer", false, std::vector<int32_t>{}, ResourceType::Value);
    consumer->input->links = {source->output->id};
    ui_node_editor_load_positions();
    frame();
    ImVec2 middle;
    ASSERT_TRUE(nodecanvas::LinkScreenMidpoint(ui_node_editor_link_id(consumer->input->id, source->output->id), &middle));

    // Without Ctrl a click on the link changes nothing.
    harness_->clickAt(middle, draw_);
    EXPECT_EQ(consumer->input->links.size(), 1u);

    harness_->setKey(GLFW_KEY_LEFT_CONTROL, true);
    harness_->clickAt(middle, draw_);
    harness_->setKey(GLFW_KEY_LEFT_CONTROL, false);
    frame(2);
    EXPECT_TRUE(consumer->input->links.empty());
    EXPECT_EQ(consumer->disconnected, 1);
    EXPECT_EQ(consumer->connected, 0);
}

// Pins past 65535: two inputs whose ids agree in their low 16 bits, fed by one output. Packed into 32 bits both links
// would carry one id; detaching one must leave the other.
TEST_F(NodeEditorTest, DetachingALinkOfWidePinIdsRemovesThatLinkOnly)
{
    const int32_t savedCounter = nextObjectId;
    Probe* source = add<Probe>(ImVec2(20, 40), "source", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* first = add<Probe>(ImVec2(420, 20), "first", false, std::vector<int32_t>{}, ResourceType::Value);
    nextObjectId = first->input->id + 65536 - 1; // the next component's input gets first's id + 65536
    Probe* second = add<Probe>(ImVec2(420, 400), "second", false, std::vector<int32_t>{}, ResourceType::Value);
    ASSERT_EQ(second->input->id & 0xFFFF, first->input->id & 0xFFFF);
    first->input->links = {source->output->id};
    second->input->links = {source->output->id};
    ui_node_editor_load_positions();
    frame();

    const nodecanvas::LinkId secondLink = ui_node_editor_link_id(second->input->id, source->output->id);
    EXPECT_NE(secondLink, ui_node_editor_link_id(first->input->id, source->output->id));
    ImVec2 middle;
    ASSERT_TRUE(nodecanvas::LinkScreenMidpoint(secondLink, &middle));
    harness_->setKey(GLFW_KEY_LEFT_CONTROL, true);
    harness_->clickAt(middle, draw_);
    harness_->setKey(GLFW_KEY_LEFT_CONTROL, false);
    frame();

    EXPECT_TRUE(second->input->links.empty());
    EXPECT_EQ(second->disconnected, 1);
    EXPECT_EQ(first->input->links, std::vector<int32_t>{source->output->id});
    EXPECT_EQ(first->disconnected, 0);
    nextObjectId = std::max(nextObjectId, savedCounter);
}

TEST_F(NodeEditorTest, DraggingASourceAboveAnotherReordersTheLinksAndResolvesOnce)
{
    Probe* upper = add<Probe>(ImVec2(20, 20), "upper", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* lower = add<Probe>(ImVec2(20, 300), "lower", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* consumer = add<Probe>(ImVec2(450, 150), "consumer", true, std::vector<int32_t>{}, ResourceType::Value);
    consumer->input->links = {upper->output->id, lower->output->id};
    ui_node_editor_load_positions();
    frame();

    // A drag that changes no order stores the places but resolves nothing.
    const ImVec2 lowerGrip = nodeGrip(lower->id);
    harness_->drag(lowerGrip, ImVec2(lowerGrip.x + 30, lowerGrip.y + 20), draw_);
    EXPECT_EQ(consumer->resolves, 0);
    EXPECT_FLOAT_EQ(lower->x, 50.0f);
    EXPECT_FLOAT_EQ(lower->y, 320.0f);
    EXPECT_EQ(consumer->input->links, (std::vector<int32_t>{upper->output->id, lower->output->id}));

    const ImVec2 grip = nodeGrip(lower->id);
    harness_->drag(grip, ImVec2(grip.x, grip.y - 330), draw_);
    EXPECT_EQ(consumer->input->links, (std::vector<int32_t>{lower->output->id, upper->output->id}));
    EXPECT_EQ(consumer->resolves, 1);
    EXPECT_LT(lower->y, upper->y);
}

TEST_F(NodeEditorTest, DoubleClickCollapsesAParentHidingItsChildrenAndLinks)
{
    Probe* source = add<Probe>(ImVec2(20, 20), "source", false, std::vector<int32_t>{}, ResourceType::Value);
    Parent* parent = add<Parent>(ImVec2(300, 20), "parent");
    Parent* child = add<Parent>(ImVec2(300, 300), "child");
    Probe* feedsChild = add<Probe>(ImVec2(20, 300), "feeds child", false, std::vector<int32_t>{},
                                   ResourceType::Entity);
    child->parent_id = parent->id;
    parent->childPin->links = {child->entityPin->id};
    Probe* consumer = add<Probe>(ImVec2(600, 20), "consumer", false, std::vector<int32_t>{}, ResourceType::Value);
    consumer->input->links = {source->output->id};
    // A link into the parent and one into the child.
    InputPin* parentIn = new InputPin("in", {}, false);
    parent->declaredInputs.push_back(parentIn);
    parent->RebuildPinLists();
    parentIn->links = {source->output->id};
    child->childPin->links = {feedsChild->output->id};
    ui_node_editor_load_positions();
    frame();
    ImVec2 unused;
    const nodecanvas::LinkId intoParent = ui_node_editor_link_id(parentIn->id, source->output->id);
    const nodecanvas::LinkId intoChild = ui_node_editor_link_id(child->childPin->id, feedsChild->output->id);
    ASSERT_TRUE(nodecanvas::LinkScreenMidpoint(intoParent, &unused));
    ASSERT_TRUE(nodecanvas::LinkScreenMidpoint(intoChild, &unused));

    const ImVec2 grip = nodeGrip(parent->id);
    harness_->clickAt(grip, draw_);
    harness_->clickAt(grip, draw_);
    frame();
    EXPECT_TRUE(parent->collapsed);
    EXPECT_TRUE(nodeShown(parent->id));
    EXPECT_FALSE(nodeShown(child->id));
    EXPECT_FALSE(nodecanvas::LinkScreenMidpoint(intoParent, &unused));
    EXPECT_FALSE(nodecanvas::LinkScreenMidpoint(intoChild, &unused));
    EXPECT_TRUE(nodecanvas::LinkScreenMidpoint(ui_node_editor_link_id(consumer->input->id, source->output->id), &unused))
        << "links elsewhere stay";

    // Ctrl+F over the node toggles it back.
    harness_->moveMouse(grip);
    harness_->setKey(GLFW_KEY_LEFT_CONTROL, true);
    harness_->pressKey(GLFW_KEY_F, draw_);
    harness_->setKey(GLFW_KEY_LEFT_CONTROL, false);
    frame();
    EXPECT_FALSE(parent->collapsed);
    EXPECT_TRUE(nodeShown(child->id));
    EXPECT_TRUE(nodecanvas::LinkScreenMidpoint(intoChild, &unused));
}

TEST_F(NodeEditorTest, BoxSelectionFeedsTheSelectedIdsAndAddInputsGoesOneLevel)
{
    Probe* a = add<Probe>(ImVec2(20, 20), "a", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* b = add<Probe>(ImVec2(250, 20), "b", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* c = add<Probe>(ImVec2(500, 20), "c", false, std::vector<int32_t>{}, ResourceType::Value);
    b->input->links = {a->output->id};
    c->input->links = {b->output->id};
    ui_node_editor_load_positions();
    frame();

    ImVec2 min, max;
    ASSERT_TRUE(nodecanvas::NodeScreenRect(c->id, &min, &max));
    harness_->drag(ImVec2(min.x - 10, max.y + 40), ImVec2(max.x + 10, min.y + 5), draw_);
    EXPECT_EQ(uiNodeEditorState->selectedIds, std::vector<int>{c->id});

    ASSERT_TRUE(harness_->click("Add Inputs To Selection", draw_, "Simple node editor"));
    EXPECT_EQ(uiNodeEditorState->selectedIds, (std::vector<int>{c->id, b->id}));

    // Ctrl+R lines the nodes up on the diagonal; the components follow at the next store.
    harness_->setKey(GLFW_KEY_LEFT_CONTROL, true);
    harness_->setKey(GLFW_KEY_R, true);
    frame();
    harness_->setKey(GLFW_KEY_R, false);
    harness_->setKey(GLFW_KEY_LEFT_CONTROL, false);
    ui_node_editor_store_positions();
    EXPECT_FLOAT_EQ(a->x, 10.0f);
    EXPECT_FLOAT_EQ(b->y, 20.0f);
    EXPECT_FLOAT_EQ(c->x, 30.0f);
}

// ---- Graph operations ----

TEST_F(NodeEditorTest, DeleteWithInputsTakesTheChainAndLeavesASharedConsumerItsOtherLinks)
{
    Probe* a = add<Probe>(ImVec2(20, 20), "A", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* b = add<Probe>(ImVec2(250, 20), "B", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* c = add<Probe>(ImVec2(500, 20), "C", false, std::vector<int32_t>{}, ResourceType::Value);
    Probe* d = add<Probe>(ImVec2(500, 300), "D", true, std::vector<int32_t>{}, ResourceType::Value);
    Probe* e = add<Probe>(ImVec2(250, 300), "E", false, std::vector<int32_t>{}, ResourceType::Value);
    b->input->links = {a->output->id};
    c->input->links = {b->output->id};
    d->input->links = {b->output->id, e->output->id};
    ui_node_editor_load_positions();
    frame();
    harness_->clickAt(nodeGrip(c->id), draw_);
    ASSERT_EQ(uiNodeEditorState->selectedIds, std::vector<int>{c->id});

    ASSERT_TRUE(harness_->click("Delete With Inputs", draw_, "Graph Node Toolbox"));
    ASSERT_EQ(currentComponents->size(), 2u);
    EXPECT_EQ((*currentComponents)[0], d);
    EXPECT_EQ(d->input->links, std::vector<int32_t>{e->output->id});
    EXPECT_EQ(d->disconnected, 1);
    EXPECT_TRUE(uiNodeEditorState->selectedIds.empty());
    frame(2); // nothing drawn refers to the deleted ones
}

TEST_F(NodeEditorTest, CollectInputsEndsOnACycle)
{
    Probe* a = add<Probe>(ImVec2(0, 0), "A", true, std::vector<int32_t>{}, ResourceType::Value);
    Probe* b = add<Probe>(ImVec2(0, 0), "B", true, std::vector<int32_t>{}, ResourceType::Value);
    Probe* c = add<Probe>(ImVec2(0, 0), "C", true, std::vector<int32_t>{}, ResourceType::Value);
    a->input->links = {b->output->id};
    b->input->links = {a->output->id, c->output->id};
    c->input->links = {c->output->id};
    std::set<int> ids;
    ui_graph_collect_inputs(a, ids);
    EXPECT_EQ(ids, (std::set<int>{a->id, b->id, c->id}));

    ui_graph_remove_component(b->id);
    EXPECT_TRUE(a->input->links.empty());
    EXPECT_EQ(a->disconnected, 1);
    EXPECT_EQ(currentComponents->size(), 2u);
    delete b;
}

TEST_F(NodeEditorTest, CloneKeepsValuesDropsLinksAndInitialises)
{
    projtest::ScopedTestFactories factories;
    auto* producer = add<projtest::TestProducer>(ImVec2(0, 0), "P");
    auto* consumer = add<projtest::TestConsumer>(ImVec2(300, 0), "X");
    consumer->input->links = {producer->output->id};
    consumer->amount.value[0] = 4.0f;
    consumer->amount.value[2] = -2.5f;
    consumer->deep.value[0] = 0.25f;
    consumer->tags = {"kept out"};
    ui_node_editor_load_positions();
    frame();
    harness_->clickAt(nodeGrip(consumer->id), draw_);
    ASSERT_TRUE(harness_->click("Clone", draw_, "Graph Node Toolbox"));

    ASSERT_EQ(currentComponents->size(), 3u);
    auto* copy = dynamic_cast<projtest::TestConsumer*>(currentComponents->back());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->name, "X Clone");
    EXPECT_EQ(copy->GetCvarTree()->name, "X Clone");
    EXPECT_EQ(consumer->GetCvarTree()->name, "X");
    EXPECT_FLOAT_EQ(copy->amount.value[0], 4.0f);
    EXPECT_FLOAT_EQ(copy->amount.value[2], -2.5f);
    EXPECT_FLOAT_EQ(copy->deep.value[0], 0.25f);
    EXPECT_TRUE(copy->input->links.empty());
    EXPECT_TRUE(copy->tags.empty());
    EXPECT_EQ(copy->state, ComponentState::Resolved);
    EXPECT_EQ(projtest::initLog().back(), "X Clone");
    // Shown 400 right of and 200 below the visible corner.
    const ImVec2 panning = nodecanvas::GetPanning();
    EXPECT_FLOAT_EQ(copy->x, 400.0f - panning.x);
    EXPECT_FLOAT_EQ(copy->y, 200.0f - panning.y);

    // Two selected: nothing.
    uiNodeEditorState->selectedIds = {consumer->id, producer->id};
    nodecanvas::SelectNode(producer->id);
    ASSERT_TRUE(harness_->click("Clone", draw_, "Graph Node Toolbox"));
    EXPECT_EQ(currentComponents->size(), 3u);
}

TEST(CvarTreeText, EmptyTextMergesNothingQuietly)
{
    projtest::LogCapture log;
    CvarTreeNode branch("quiet", nullptr);
    EXPECT_EQ(CvarTreeLoadFromJson("", CvarScope::Node, &branch), nullptr);
    EXPECT_EQ(log.text().find("\033[31m"), std::string::npos) << log.text();
}

TEST_F(NodeEditorTest, TagsEditorRemovesAndAdds)
{
    projtest::ScopedTestFactories factories;
    auto* component = add<projtest::TestProducer>(ImVec2(0, 0), "T");
    component->tags = {"one", "two", "three"};
    auto tags = [component] {
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(ImVec2(400, 300));
        ImGui::Begin("Tags test");
        ImGui::PushID(component->id);
        ui_component_tags(component);
        ImGui::PopID();
        ImGui::End();
    };
    harness_->frames(2, tags);
    // The second "Remove" belongs to the second tag.
    std::vector<UiItem> removes;
    for (const UiItem& item : harness_->items())
        if (item.label == "Remove")
            removes.push_back(item);
    ASSERT_EQ(removes.size(), 3u);
    harness_->clickAt(removes[1].rect.GetCenter(), tags);
    EXPECT_EQ(component->tags, (std::vector<std::string>{"one", "three"}));
    harness_->frame(tags); // the rows settle after the removal
    ASSERT_TRUE(harness_->click("Add Tag", tags));
    EXPECT_EQ(component->tags, (std::vector<std::string>{"one", "three", "New Tag 2"}));
}

} // namespace
