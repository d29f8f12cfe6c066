#include "project/component_table.h"
#include "project/components.h"
#include "project/graph.h"

#include "project_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

using projtest::addComponent;
using projtest::LogCapture;
using projtest::ScopedProject;
using projtest::TestConsumer;
using projtest::TestProducer;
using projtest::TestTransform;

namespace {

// A component with two declared inputs and one declared output, created by its constructor.
class TwoInOneOut : public projtest::TestComponentBase {
public:
    explicit TwoInOneOut(const std::string& name) : TestComponentBase(30, name)
    {
        declaredInputs.push_back(new InputPin("a", {ResourceType::Object}, false));
        declaredInputs.push_back(new InputPin("b", {ResourceType::Object}, true));
        RebuildPinLists();
        AddOutput("obj", ResourceType::Object);
    }
    bool transform = false;
    Cvar p, r, s;
    bool GetTransformCvars(Cvar** pp, Cvar** rr, Cvar** ss) override
    {
        *pp = &p;
        *rr = &r;
        *ss = &s;
        return transform;
    }
};

class Bare : public EngineComponent {
public:
    Bare() : EngineComponent(52, "bare") {}
    CvarTreeNode* GetCvarTree() override { return nullptr; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
};

} // namespace

TEST(ComponentTypeTable, RowsAsGraphFilesNameThem)
{
    static_assert(kComponentTypeCount == 53);
    struct Row {
        int index;
        const char* type;
        int32_t category;
        const char* display;
    };
    const Row rows[] = {
        {0, "Sceneplayer", ComponentCategory::Scene, "Sceneplayer"},
        {1, "Meshrenderer", ComponentCategory::Geometry, "Renderer: Mesh"},
        {10, "GlobalParticles", ComponentCategory::Particles, "Global Particles"},
        {21, "ParticleModifierPrimitiveConstraint", ComponentCategory::Particles,
         "Particle Modifier: Primitive Constraint"},
        {29, "TextObject", ComponentCategory::Geometry, "Object: Test"},
        {36, "OutputBuffer", ComponentCategory::Image, "Image Output Buffer"},
        {46, "TextureGeneratorLoopback", ComponentCategory::Image, "Texture Generator: Audio Loopback"},
        {48, "InstanceModifierRandomizer", ComponentCategory::Instancing, "Instance Randomizer"},
        {51, "GeometryMirrot", ComponentCategory::Geometry, "Geometry: Mirror"},
        {52, "Invalid", ComponentCategory::Scene, "Invalid"},
    };
    for (const Row& row : rows) {
        const ComponentTypeInfo& info = componentTypeTable[row.index];
        EXPECT_STREQ(info.typeName, row.type);
        EXPECT_EQ(info.category, row.category) << row.type;
        EXPECT_STREQ(info.displayName, row.display);
        EXPECT_EQ(componentTypeFind(row.type), row.index);
    }
    // Exact matching only.
    EXPECT_EQ(componentTypeFind("GeometryMirror"), -1);
    EXPECT_EQ(componentTypeFind("sceneplayer"), -1);
    EXPECT_EQ(componentTypeFind("Sceneplayer "), -1);
    EXPECT_EQ(componentTypeFind(""), -1);
    // Rows that can never be created, and the only Value rows.
    for (int row : {2, 10, 18, 52})
        EXPECT_EQ(componentTypeTable[row].factory, nullptr) << row;
    std::set<std::string> names;
    for (int i = 0; i < kComponentTypeCount; ++i) {
        names.insert(componentTypeTable[i].typeName);
        EXPECT_EQ(componentTypeTable[i].category == ComponentCategory::Value, i >= 22 && i <= 25) << i;
        EXPECT_GE(componentTypeTable[i].category, 0);
        EXPECT_LE(componentTypeTable[i].category, 5);
    }
    EXPECT_EQ(names.size(), 53u);
}

TEST(Components, IdsAndPinsShareOneSequence)
{
    ScopedProject project;
    const int32_t first = nextObjectId;
    const uint64_t uuid = nextUuid.load();
    auto* c = new TwoInOneOut("c");
    project.components.push_back(c);
    EXPECT_EQ(c->id, first);
    EXPECT_EQ(c->uuid, uuid);
    EXPECT_EQ(c->declaredInputs[0]->id, first + 1);
    EXPECT_EQ(c->declaredInputs[1]->id, first + 2);
    EXPECT_EQ(c->outputs[0]->id, first + 3);
    EXPECT_EQ(c->lastRun, 0);
    EXPECT_EQ(c->state, ComponentState::Created);
    EXPECT_EQ(c->GetTypeName(), "Primitive");

    // Without a transform the special pins are refused; with one they take the next ids.
    EXPECT_EQ(c->CreateChildPin(), nullptr);
    EXPECT_EQ(c->CreateEntityPin(), nullptr);
    EXPECT_EQ(c->inputs.size(), 2u);
    c->transform = true;
    InputPin* child = c->CreateChildPin();
    OutputPin* entity = c->CreateEntityPin();
    ASSERT_NE(child, nullptr);
    ASSERT_NE(entity, nullptr);
    EXPECT_EQ(child->id, first + 4);
    EXPECT_EQ(entity->id, first + 5);
    EXPECT_EQ(child->name, "child");
    EXPECT_TRUE(child->severalLinks);
    EXPECT_EQ(child->acceptedTypes, std::vector<int32_t>{ResourceType::Entity});
    EXPECT_EQ(c->inputs.back(), child);
    EXPECT_EQ(c->outputs.back(), entity);
    ASSERT_NE(entity->payload, nullptr);
    EXPECT_EQ(entity->payload->type, ResourceType::Entity);
    EXPECT_EQ(entity->payload->name, "<ECResource>");
    EXPECT_EQ(static_cast<ECResource*>(entity->payload)->component, c);
    auto* next = new TwoInOneOut("next");
    project.components.push_back(next);
    EXPECT_EQ(next->id, first + 6);

    Bare bare;
    EXPECT_EQ(bare.GetTypeName(), "Invalid");
    EXPECT_TRUE(bare.IsDependencyOnly());
    EXPECT_TRUE(bare.GetGeometries().empty());
}

TEST(Components, ConnectInputAndFindInput)
{
    ScopedProject project;
    auto* c = addComponent<TwoInOneOut>("c");
    EXPECT_EQ(c->FindInput("b"), c->declaredInputs[1]);
    EXPECT_EQ(c->FindInput("zz"), nullptr);
    EXPECT_TRUE(c->ConnectInput("a", 77));
    EXPECT_TRUE(c->ConnectInput("a", 77));
    EXPECT_EQ(c->declaredInputs[0]->links, std::vector<int32_t>{77});
    LogCapture log;
    EXPECT_FALSE(c->ConnectInput("nope", 77));
    EXPECT_TRUE(log.contains("No pin nope found in component c"));
}

TEST(Components, CvarInputsComeAndGo)
{
    ScopedProject project;
    auto* c = addComponent<TestConsumer>("consumer");
    InputPin* dummy = c->AddCvarInput(nullptr);
    EXPECT_EQ(dummy->name, "<dummy>");
    EXPECT_EQ(dummy->acceptedTypes, std::vector<int32_t>{ResourceType::Value});
    EXPECT_FALSE(dummy->severalLinks);

    const uint64_t before = nextUuid.load();
    c->amount.graph_exposed = true;
    c->ToggleCvarInput(&c->amount);
    EXPECT_EQ(c->amount.uuid, before);
    InputPin* pin = c->FindInput("amount");
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->cvar, &c->amount);
    EXPECT_EQ(c->inputs, (std::vector<InputPin*>{c->input, dummy, pin}));
    pin->links = {5, 6};

    c->amount.graph_exposed = false;
    c->ToggleCvarInput(&c->amount);
    EXPECT_EQ(c->FindInput("amount"), nullptr);
    EXPECT_EQ(c->cvarInputs, std::vector<InputPin*>{dummy});
    EXPECT_EQ(c->amount.uuid, before); // a uuid, once given, stays
    c->ToggleCvarInput(&c->deep);       // never exposed: nothing happens
    EXPECT_EQ(c->inputs.size(), 2u);
}

TEST(Components, SortInputsByNodeHeight)
{
    ScopedProject project;
    auto* consumer = addComponent<TestConsumer>("consumer");
    auto* a = addComponent<TestProducer>("a");
    auto* b = addComponent<TestProducer>("b");
    auto* c = addComponent<TestProducer>("c");
    a->y = 300;
    b->y = 100;
    c->y = 200;
    consumer->input->links = {a->output->id, b->output->id, c->output->id};
    EXPECT_TRUE(consumer->SortInputs());
    EXPECT_EQ(consumer->input->links, (std::vector<int32_t>{b->output->id, c->output->id, a->output->id}));
    EXPECT_FALSE(consumer->SortInputs());

    // Links without an owner go last and keep their order; equal heights keep theirs (a strict weak order, so
    // any number of missing owners is safe to sort).
    std::vector<int32_t> links = {9001, a->output->id, 9002, b->output->id, 9003};
    for (int i = 0; i < 200; ++i)
        links.push_back(100000 + i);
    consumer->input->links = links;
    c->y = 100;
    links.push_back(c->output->id);
    consumer->input->links = links;
    EXPECT_TRUE(consumer->SortInputs());
    const auto& sorted = consumer->input->links;
    EXPECT_EQ(sorted[0], b->output->id);
    EXPECT_EQ(sorted[1], c->output->id);
    EXPECT_EQ(sorted[2], a->output->id);
    EXPECT_EQ(sorted[3], 9001);
    EXPECT_EQ(sorted[4], 9002);
    EXPECT_EQ(sorted[5], 9003);
    EXPECT_EQ(sorted.back(), 100199);
}

TEST(Components, ParentAndTags)
{
    ScopedProject project;
    auto* parent = addComponent<TestTransform>("parent");
    auto* child = addComponent<TestTransform>("child");
    auto* plain = addComponent<TestConsumer>("plain");
    EXPECT_EQ(child->GetParent(), nullptr);
    parent->childPin->links.push_back(child->entityPin->id);
    EXPECT_EQ(child->GetParent(), parent);
    EXPECT_EQ(parent->GetParent(), nullptr);
    EXPECT_EQ(plain->entityPin, nullptr);
    EXPECT_EQ(plain->GetParent(), nullptr); // no "entity" pin, whatever others hold

    plain->tags = {"hero", "Hero"};
    EXPECT_TRUE(plain->HasTag("hero"));
    EXPECT_FALSE(plain->HasTag("HERO"));
    EXPECT_EQ(plain->GetTags(), (std::vector<std::string>{"hero", "Hero"}));
}

TEST(Components, SeedUuidFromTheClock)
{
    const uint64_t saved = nextUuid.load();
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    componentsSeedUuid();
    const uint64_t seeded = nextUuid.load();
    EXPECT_GE(seeded >> 10, now);
    EXPECT_LE(seeded >> 10, now + 5);
    EXPECT_EQ(seeded & 1023u, 0u);
    EXPECT_EQ(componentsNextUuid(), seeded);
    EXPECT_EQ(componentsNextUuid(), seeded + 1);
    nextUuid.store(std::max(saved, nextUuid.load()));
}
