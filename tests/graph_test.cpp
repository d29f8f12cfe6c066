#include "app/data_files.h"
#include "project/graph.h"
#include "project/json_file.h"

#include "project_test_util.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

using nlohmann::json;
using projtest::addComponent;
using projtest::dummyBuilder;
using projtest::executionLog;
using projtest::initLog;
using projtest::LogCapture;
using projtest::ScopedProject;
using projtest::ScopedTestFactories;
using projtest::TestConsumer;
using projtest::TestProducer;
using projtest::TestTransform;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

namespace {

template <typename T>
T* find(const std::string& name)
{
    for (EngineComponent* c : *currentComponents)
        if (c->name == name)
            return dynamic_cast<T*>(c);
    return nullptr;
}

// Graph files under a scratch asset folder, with the test classes behind their rows.
class GraphFiles : public ::testing::Test {
protected:
    TempDir dir{"graph"};
    std::string oldBase = dataBasePath();
    ScopedTestFactories factories;
    // The fixture's "Meshrenderer" stands for a row of the table whose class this build lacks.
    ComponentFactory meshFactory = componentTypeTable[1].factory;
    void SetUp() override
    {
        dataSetBasePath(dir.str());
        componentTypeTable[1].factory = nullptr;
    }
    void TearDown() override
    {
        componentTypeTable[1].factory = meshFactory;
        dataSetBasePath(oldBase);
    }

    std::string write(const std::string& name, const std::string& text)
    {
        writeFile(dir.path() / name, text);
        return name;
    }
    std::string full(const std::string& name) { return (dir.path() / name).string(); }
};

int run = 1000;
Timestep frame() { return Timestep{1.0f, 0.016f, false}; }

} // namespace

// ---- graph.json ----

TEST_F(GraphFiles, FixtureLoadsAndSavesByteForByte)
{
    const std::string fixture = readFile(std::string(TEST_DATA_DIR) + "projects/roundtrip/graph.json");
    ASSERT_FALSE(fixture.empty());
    const std::string path = write("projects/p/graph.json", fixture);
    {
        ScopedProject project;
        ASSERT_TRUE(GraphManager::Load(path));
        ASSERT_EQ(project.components.size(), 6u);
        auto* wave = find<TestProducer>("wave");
        auto* player = find<TestConsumer>("player");
        auto* parent = find<TestTransform>("parent");
        auto* kid = find<TestTransform>("kid");
        EngineComponent* mesh = project.components[4];
        EngineComponent* future = project.components[5];
        ASSERT_TRUE(wave && player && parent && kid);
        EXPECT_TRUE(GraphManager::IsKeptComponent(mesh));
        EXPECT_TRUE(GraphManager::IsKeptComponent(future));
        EXPECT_EQ(mesh->GetTypeName(), "Meshrenderer");
        EXPECT_EQ(future->GetTypeName(), "FutureThing");

        // Identity, layout and parameters.
        EXPECT_EQ(player->uuid, 1745000000000002u);
        EXPECT_EQ(player->x, 400.0f);
        EXPECT_TRUE(player->collapsed);
        EXPECT_EQ(player->GetTags(), (std::vector<std::string>{"main", "hero"}));
        EXPECT_EQ(wave->value.value[1], 0.25f);
        EXPECT_EQ(wave->mask.value[0], 5.0f);
        EXPECT_EQ(wave->valueAtInit, 0.5f); // stored values arrive before Init
        EXPECT_EQ(player->deep.value[0], 0.75f);
        EXPECT_EQ(player->texture.text, "sky");
        for (EngineComponent* c : project.components)
            EXPECT_EQ(c->state, ComponentState::Resolved) << c->name;
        // Sources are set up before the components that read them.
        auto at = [](const std::string& n) {
            auto& log = initLog();
            return std::find(log.begin(), log.end(), n) - log.begin();
        };
        EXPECT_LT(at("wave"), at("player"));
        EXPECT_LT(at("kid"), at("parent"));

        // Links under this run's ids, to real and to kept components alike.
        EXPECT_EQ(player->input->links, (std::vector<int32_t>{wave->output->id, mesh->outputs[0]->id}));
        InputPin* amount = player->FindInput("amount");
        ASSERT_NE(amount, nullptr);
        EXPECT_EQ(amount->cvar, &player->amount);
        EXPECT_TRUE(player->amount.graph_exposed);
        EXPECT_EQ(amount->links, std::vector<int32_t>{wave->output->id});
        InputPin* ghost = player->FindInput("ghost");
        ASSERT_NE(ghost, nullptr);
        EXPECT_EQ(ghost->cvar, nullptr);
        EXPECT_EQ(parent->childPin->links, std::vector<int32_t>{kid->entityPin->id});
        EXPECT_EQ(kid->GetParent(), parent);
        EXPECT_EQ(kid->parent_id, parent->id);
        EXPECT_EQ(mesh->parent_id, parent->id);
        EXPECT_EQ(mesh->inputs[0]->links, std::vector<int32_t>{wave->output->id});
        EXPECT_EQ(future->inputs[0]->links, (std::vector<int32_t>{mesh->outputs[1]->id, player->output->id}));
        EXPECT_EQ(project.store.listeners, std::vector<ResourceModifiedListener*>{&graphManager});

        ASSERT_TRUE(GraphManager::Save(full(path)));
        EXPECT_EQ(readFile(full(path)), fixture);
    }
    // Again in a fresh list, where every id of this run differs from the first load.
    ScopedProject project;
    std::unique_ptr<EngineComponent> unrelated(addComponent<TestProducer>("unrelated, created first"));
    ASSERT_TRUE(GraphManager::Load(path));
    project.components.erase(project.components.begin());
    ASSERT_TRUE(GraphManager::Save(full(path)));
    EXPECT_EQ(readFile(full(path)), fixture);
}

// The engine saves from an exit function registered before anything is loaded. The loader's bookkeeping (stored
// ids, the files that must not be overwritten) must still be there when it runs, after the function-local statics
// made during loading are gone. The child process checks the saved files itself: it has a scratch folder of its own.
class GraphFilesDeathTest : public GraphFiles {};

TEST_F(GraphFilesDeathTest, ExitSaveStillKnowsWhatLoadingLearnt)
{
    static std::string fixture, savedGood, savedBad;
    static const std::string badText = "{ \"components\": [ {\"type\": ";
    fixture = readFile(std::string(TEST_DATA_DIR) + "projects/roundtrip/graph.json");
    const std::string good = write("projects/good/graph.json", fixture);
    const std::string bad = write("projects/bad/graph.json", badText);
    savedGood = full(good);
    savedBad = full(bad);

    EXPECT_EXIT(
        {
            testutil::checkAtExit([] {
                std::string complaint;
                if (readFile(savedGood) != fixture)
                    complaint += "stored ids reused at exit\n";
                if (readFile(savedBad) != badText)
                    complaint += "a file that failed to load was overwritten\n";
                return complaint;
            });
            std::atexit([] {
                GraphManager::Save(savedGood);
                GraphManager::Save(savedBad);
            });
            auto* project = new ScopedProject(); // kept alive through the exit, like the engine's projects
            (void)project;
            GraphManager::Load(bad);
            if (!GraphManager::Load(good))
                std::_Exit(3);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(GraphFiles, ComponentsAddedAfterLoadGetIdsOfTheirOwn)
{
    const std::string path =
        write("g.json", readFile(std::string(TEST_DATA_DIR) + "projects/roundtrip/graph.json"));
    const int32_t savedCounter = nextObjectId;
    {
        ScopedProject project;
        // Ids of one run never repeat, so the loaded components must not take 2 and 3 themselves, as they would
        // when this test runs first in the process.
        nextObjectId = savedCounter + 10000;
        ASSERT_TRUE(GraphManager::Load(path));
        const int32_t afterLoad = nextObjectId;
        // A component whose ids of this run equal ids stored in the file: the file must still name each pin once.
        nextObjectId = 2;
        auto* extra = addComponent<TestProducer>("extra");
        extra->y = 1000.0f;
        nextObjectId = afterLoad;
        ASSERT_EQ(extra->id, 2);
        ASSERT_EQ(extra->output->id, 3);
        find<TestConsumer>("player")->ConnectInput("in", extra->output->id);
        ASSERT_TRUE(GraphManager::Save(full(path)));
    }
    const json saved = json::parse(readFile(full(path)));
    std::set<uint32_t> ids;
    size_t count = 0;
    for (const json& c : saved["components"]) {
        ids.insert(c["id"].get<uint32_t>());
        ++count;
        for (const json& o : c.value("outputs", json::array())) {
            ids.insert(o["id"].get<uint32_t>());
            ++count;
        }
    }
    EXPECT_EQ(ids.size(), count);
    // The loaded components keep their stored ids; the newcomer is the one renumbered.
    EXPECT_EQ(saved["components"][0]["outputs"][0]["id"], 2);
    EXPECT_EQ(saved["components"][1]["id"], 3);

    ScopedProject project;
    ASSERT_TRUE(GraphManager::Load(path));
    auto* player = find<TestConsumer>("player");
    auto* wave = find<TestProducer>("wave");
    auto* extra = find<TestProducer>("extra");
    ASSERT_TRUE(player && wave && extra);
    ASSERT_EQ(player->input->links.size(), 3u);
    EXPECT_EQ(player->input->links[0], wave->output->id);
    EXPECT_EQ(player->input->links[2], extra->output->id);
}

TEST_F(GraphFiles, EmptyGraphIsNull)
{
    ScopedProject project;
    ASSERT_TRUE(GraphManager::Save(full("empty.json")));
    EXPECT_EQ(readFile(full("empty.json")), "{\n  \"components\": null\n}");
    EXPECT_TRUE(GraphManager::Load("empty.json"));
    EXPECT_TRUE(GraphManager::Load(write("bare.json", "{}")));
    EXPECT_TRUE(project.components.empty());
    EXPECT_FALSE(GraphManager::Load("missing.json"));
}

TEST_F(GraphFiles, MalformedFilesAreReportedAndKept)
{
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"{\n  \"components\": [\n    {\"type\": \"ValueWave\",, }\n  ]\n}", "line 3"},
        {"[]", "the root is not an object"},
        {R"({"components": {"type": "ValueWave"}})", "\"components\" is not an array"},
        {R"({"components": [{"type": 5, "id": 1, "name": "a"}]})", "/components/0: \"type\""},
        {R"({"components": [{"type": "ValueWave", "name": "a"}]})", "\"id\""},
        {R"({"components": [{"type": "ValueWave", "id": 1.5, "name": "a"}]})", "\"id\""},
        {R"({"components": [{"type": "ValueWave", "id": 1, "name": "a"}, {"type": "ValueWave", "id": 2}]})",
         "/components/1: \"name\""},
        {R"({"components": [{"type": "ValueWave", "id": 1, "name": "a", "inputs": [{"name": "in", "outputs": ["2"]}]}]})",
         "\"outputs\""},
        {R"({"components": [{"type": "ValueWave", "id": 1, "name": "a", "variables": {"branch_name": 3}}]})",
         "\"variables\""},
        {R"({"components": [{"type": "ValueWave", "id": 1, "name": "a", "tags": ["hero"]}]})", "tag"},
        {R"({"components": [{"type": "ValueWave", "id": 1, "name": "a", "visual": {"position": {"x": "1", "y": 2}}}]})",
         "position"},
        {R"({"components": [{"type": "ValueWave", "id": 1, "name": "a", "uuid": -1}]})", "\"uuid\""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        const std::string path = write("broken/graph.json", k.text);
        ScopedProject project;
        LogCapture log;
        EXPECT_FALSE(GraphManager::Load(path));
        EXPECT_TRUE(project.components.empty());
        EXPECT_TRUE(project.store.listeners.empty());
        EXPECT_TRUE(log.contains(k.message)) << log.text();
        EXPECT_TRUE(log.contains("broken/graph.json")) << log.text();
        // The start-up default graph that follows must not replace the file at exit.
        addComponent<TestProducer>("default");
        EXPECT_FALSE(GraphManager::Save(full(path)));
        EXPECT_EQ(readFile(full(path)), k.text);
    }
}

TEST_F(GraphFiles, BadLinksAndUnknownTypes)
{
    const std::string path = write("links.json", R"({"components": [
        {"type": "ValueWave", "id": 1, "name": "low", "outputs": [{"id": 2}, {"id": 99}], "visual": {"position": {"x": 0, "y": 500}}},
        {"type": "ValueWave", "id": 3, "name": "high", "outputs": [{"id": 4}], "visual": {"position": {"x": 0, "y": -500}}},
        {"type": "Sceneplayer", "id": 5, "name": "player", "outputs": [{"id": 6}],
         "inputs": [{"name": "in", "outputs": [2, 0, 4, 2, 4242]}, {"name": "nope", "outputs": [2]}]},
        {"type": "Null", "id": 7, "name": "node", "inputs": [{"name": "child", "outputs": [2, 6]}]},
        {"type": "Null", "id": 8, "name": "old form", "inputs": [{"name": "child", "output": 0}]},
        {"type": "Invalid", "id": 9, "name": "invalid", "outputs": [{"id": 10}]},
        {"type": "Object", "id": 11, "name": "object", "inputs": [{"name": "x", "output": 4}]}
    ]})");
    ScopedProject project;
    LogCapture log;
    ASSERT_TRUE(GraphManager::Load(path));
    ASSERT_EQ(project.components.size(), 7u);
    auto* low = find<TestProducer>("low");
    auto* high = find<TestProducer>("high");
    auto* player = find<TestConsumer>("player");
    auto* node = find<TestTransform>("node");
    auto* oldForm = find<TestTransform>("old form");
    ASSERT_TRUE(low && high && player && node && oldForm);

    // Sorted by node height only after the ids were translated; a stored id nobody had becomes 0 and sorts last.
    EXPECT_EQ(player->input->links, (std::vector<int32_t>{high->output->id, low->output->id, 0}));
    EXPECT_TRUE(log.contains("No pin nope found in component player"));
    EXPECT_TRUE(log.contains("Input <in> required. ID:0"));
    EXPECT_TRUE(log.contains("    Missing dependency component"));
    EXPECT_TRUE(log.contains("Input <in> links to output 4242, which no component has, in <" + full(path) + ">"))
        << log.text();
    // Value and Image outputs cannot feed an Entity input: dropped with a warning, not left for a bad cast.
    EXPECT_TRUE(node->childPin->links.empty());
    EXPECT_TRUE(log.contains("to <child> of <node> dropped")) << log.text();
    EXPECT_TRUE(oldForm->childPin->links.empty());
    // "Invalid" and "Object" have no class; both are kept, with their pins.
    EXPECT_TRUE(GraphManager::IsKeptComponent(project.components[5]));
    EXPECT_TRUE(GraphManager::IsKeptComponent(project.components[6]));
    EXPECT_TRUE(GraphManager::FindComponentsByType(52).size() == 2);

    ASSERT_TRUE(GraphManager::Save(full("links_saved.json")));
    const json saved = json::parse(readFile(full("links_saved.json")));
    EXPECT_EQ(saved["components"][5]["type"], "Invalid");
    EXPECT_EQ(saved["components"][6]["inputs"][0]["output"], 4); // the kept entry still names "high"
    EXPECT_EQ(saved["components"][1]["outputs"][0]["id"], 4);
    EXPECT_EQ(saved["components"][2]["inputs"][0]["outputs"], json::parse("[4, 2, 0]"));
    EXPECT_EQ(saved["components"][0]["outputs"].size(), 1u); // only the pins the class has
}

TEST_F(GraphFiles, LinkCycleResolvesOnce)
{
    const std::string path = write("cycle.json", R"({"components": [
        {"type": "Sceneplayer", "id": 1, "name": "a", "outputs": [{"id": 2}], "inputs": [{"name": "in", "outputs": [4]}]},
        {"type": "Sceneplayer", "id": 3, "name": "b", "outputs": [{"id": 4}], "inputs": [{"name": "in", "outputs": [2]}]}
    ]})");
    ScopedProject project;
    ASSERT_TRUE(GraphManager::Load(path));
    EXPECT_EQ(project.components[0]->state, ComponentState::Resolved);
    EXPECT_EQ(project.components[1]->state, ComponentState::Resolved);
    EXPECT_EQ(initLog(), (std::vector<std::string>{"b", "a"}));
}

// ---- Per-frame execution ----

namespace {

class GraphExecution : public ::testing::Test {
protected:
    ScopedProject project;
    ScopedTestFactories factories;
};

} // namespace

TEST_F(GraphExecution, ProducersRunBeforeConsumers)
{
    // List order is the reverse of the link order.
    auto* root = addComponent<TestConsumer>("root");
    auto* middle = addComponent<TestConsumer>("middle");
    auto* producer = addComponent<TestProducer>("producer");
    auto* unreached = addComponent<TestProducer>("unreached");
    middle->root = false;
    root->input->links = {middle->output->id};
    middle->input->links = {producer->output->id};

    GraphManager::ExecuteRoots(dummyBuilder(), frame(), ++run);
    EXPECT_EQ(executionLog(), (std::vector<std::string>{"producer", "middle", "root"}));
    EXPECT_EQ(unreached->executions, 0);
    // The same run again executes nothing.
    GraphManager::ExecuteComponent(dummyBuilder(), root, frame(), run);
    EXPECT_EQ(executionLog().size(), 3u);
    GraphManager::ExecuteRoots(dummyBuilder(), frame(), ++run);
    EXPECT_EQ(producer->executions, 2);
    EXPECT_EQ(producer->lastRun, run);
}

TEST_F(GraphExecution, ValueLinksCopyTheMaskedChannels)
{
    auto* first = addComponent<TestConsumer>("first");
    auto* second = addComponent<TestConsumer>("second");
    auto* producer = addComponent<TestProducer>("producer");
    for (TestConsumer* c : {first, second}) {
        c->amount.graph_exposed = true;
        c->ToggleCvarInput(&c->amount);
        c->FindInput("amount")->links = {producer->output->id};
        c->amount.value[0] = c->amount.value[1] = c->amount.value[2] = -1;
    }
    producer->value.value[0] = 10;
    producer->value.value[1] = 20;
    producer->value.value[2] = 30;
    producer->mask.value[0] = 5; // X and Z

    GraphManager::ExecuteRoots(dummyBuilder(), frame(), ++run);
    EXPECT_EQ(producer->executions, 1); // once, though two roots pull it
    for (TestConsumer* c : {first, second}) {
        EXPECT_EQ(c->amount.value[0], 10.0f);
        EXPECT_EQ(c->amount.value[1], -1.0f);
        EXPECT_EQ(c->amount.value[2], 30.0f);
    }

    // Counts other than 1 to 3 transfer nothing; a short list fills only its own channels.
    struct Case {
        std::vector<float> values;
        float expect[3];
    };
    const Case cases[] = {
        {{1, 2, 3, 4}, {-1, -1, -1}},
        {{}, {-1, -1, -1}},
        {{7}, {7, -1, -1}},
        {{7, 8}, {7, 8, -1}},
    };
    producer->mask.value[0] = 7;
    for (const Case& k : cases) {
        first->amount.value[0] = first->amount.value[1] = first->amount.value[2] = -1;
        // Publish the values directly: the producer has already run in this run.
        GraphManager::ExecuteComponent(dummyBuilder(), producer, frame(), ++run);
        producer->payload.values = k.values;
        GraphManager::ExecuteComponent(dummyBuilder(), first, frame(), run);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(first->amount.value[i], k.expect[i]) << k.values.size() << " values, channel " << i;
    }

    // A payload that is not a Value record is never read as one.
    InputPin* pin = second->FindInput("amount");
    pin->links = {first->output->id};
    {
        Resource image(ResourceType::Image, "img");
        first->output->payload = &image;
        second->amount.value[0] = -1;
        GraphManager::ExecuteComponent(dummyBuilder(), second, frame(), ++run);
        EXPECT_EQ(second->amount.value[0], -1.0f);
        first->output->payload = nullptr;
    }
}

TEST_F(GraphExecution, ChildLinksPullTheirSources)
{
    auto* parent = addComponent<TestTransform>("parent");
    auto* child = addComponent<TestTransform>("child");
    parent->root = true;
    parent->childPin->links = {child->entityPin->id};
    GraphManager::ExecuteRoots(dummyBuilder(), frame(), ++run);
    EXPECT_EQ(executionLog(), (std::vector<std::string>{"child", "parent"}));
}

TEST_F(GraphExecution, CyclesRunEachComponentOnce)
{
    auto* a = addComponent<TestConsumer>("a");
    auto* b = addComponent<TestConsumer>("b");
    auto* source = addComponent<TestProducer>("source");
    a->input->links = {b->output->id, source->output->id};
    b->input->links = {a->output->id};
    LogCapture log;
    for (int i = 0; i < 3; ++i)
        GraphManager::ExecuteRoots(dummyBuilder(), frame(), ++run);
    EXPECT_EQ(a->executions, 3);
    EXPECT_EQ(b->executions, 3);
    EXPECT_EQ(source->executions, 3);
    // The source outside the cycle still runs before the component that reads it.
    const std::vector<std::string> firstRun(executionLog().begin(), executionLog().begin() + 3);
    EXPECT_LT(std::find(firstRun.begin(), firstRun.end(), "source"), std::find(firstRun.begin(), firstRun.end(), "a"));
    EXPECT_EQ(log.count("Link cycle through component"), 1);
}

namespace {

// Passes every change of its input on to its own output, as modifier components do.
class Relay : public TestConsumer {
public:
    using TestConsumer::TestConsumer;
    void OnInputChanged(int32_t pinId) override
    {
        TestConsumer::OnInputChanged(pinId);
        GraphManager::NotifyOutputChanged(output->id);
    }
};

} // namespace

TEST_F(GraphExecution, ChangeNotificationFollowsLinksAndStopsAtCycles)
{
    auto* producer = addComponent<TestProducer>("producer");
    auto* reader = addComponent<TestConsumer>("reader");
    reader->input->links = {producer->output->id, producer->output->id};
    reader->amount.graph_exposed = true;
    reader->ToggleCvarInput(&reader->amount);
    InputPin* amount = reader->FindInput("amount");
    amount->links = {producer->output->id};
    GraphManager::NotifyOutputChanged(producer->output->id);
    EXPECT_EQ(reader->inputChanges, (std::vector<int32_t>{reader->input->id, amount->id}));

    auto* x = addComponent<Relay>("x");
    auto* y = addComponent<Relay>("y");
    x->input->links = {y->output->id, producer->output->id};
    y->input->links = {x->output->id};
    LogCapture log;
    GraphManager::NotifyOutputChanged(producer->output->id);
    EXPECT_EQ(x->inputChanges.size(), 2u);
    EXPECT_EQ(y->inputChanges.size(), 1u);
    EXPECT_TRUE(log.contains("came back to itself"));
}

TEST_F(GraphExecution, QueriesAndResourceListener)
{
    auto* p1 = addComponent<TestProducer>("p1");
    auto* c = addComponent<TestConsumer>("c");
    auto* p2 = addComponent<TestProducer>("p2");
    EXPECT_EQ(GraphManager::FindComponentsByType(22), (std::vector<EngineComponent*>{p1, p2}));
    EXPECT_TRUE(GraphManager::FindComponentsByType(52).empty());
    EXPECT_EQ(GraphManager::FindComponentByPinId(c->input->id), c);
    EXPECT_EQ(GraphManager::FindComponentByPinId(p2->output->id), p2);
    EXPECT_EQ(GraphManager::FindComponentByPinId(c->id), nullptr);
    EXPECT_TRUE(GraphManager::IsOutputIdUsed(p1->output->id));
    EXPECT_FALSE(GraphManager::IsOutputIdUsed(c->input->id));

    GraphManager::RegisterResourceListener();
    ASSERT_EQ(project.store.listeners.size(), 1u);
    Resource material(ResourceType::Material, "m");
    project.store.listeners[0]->OnResourceModified(&material);
    EXPECT_EQ(c->changedCvars, std::vector<Cvar*>{&c->texture});
    EXPECT_TRUE(p1->changedCvars.empty());
}

// ---- hostile values ----

namespace {

std::string replaced(std::string text, const std::string& what, const std::string& with)
{
    const size_t at = text.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    return at == std::string::npos ? text : text.replace(at, what.size(), with);
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

} // namespace

// A float field beyond float range would be saved as null, which the next load rejects: it is clamped on load with
// a line naming the file, and what is saved then loads and saves to the same bytes.
TEST_F(GraphFiles, ValuesBeyondFloatRangeAreClampedAndSaveToWhatLoadsAgain)
{
    const std::string fixture = readFile(std::string(TEST_DATA_DIR) + "projects/roundtrip/graph.json");
    struct Spot {
        const char* key;
        const char* number;
    };
    const Spot spots[] = {{"\"x\": ", "0.5"}, {"\"x\": ", "10.0"}, {"\"v\": ", "0.75"}};
    for (const Spot& spot : spots)
        for (const std::string value : {"1e308", "-1e308", "1e39"}) {
            SCOPED_TRACE(spot.key + std::string(spot.number) + " = " + value);
            const std::string text = replaced(fixture, spot.key + std::string(spot.number), spot.key + value);
            const std::string path = write("projects/p/graph.json", text);
            std::string saved;
            {
                ScopedProject project;
                LogCapture log;
                ASSERT_TRUE(GraphManager::Load(path));
                EXPECT_TRUE(log.contains("projects/p/graph.json>: " + json::parse(value).dump() +
                                         " is beyond the range of a float"))
                    << log.text();
                ASSERT_TRUE(GraphManager::Save(full(path)));
                saved = readFile(full(path));
            }
            const std::string clamped = spot.key + std::string(value[0] == '-' ? "-" : "") + "3.4028234663852886e+38";
            EXPECT_NE(saved.find(clamped), std::string::npos) << saved;
            ScopedProject project;
            ASSERT_TRUE(GraphManager::Load(path));
            ASSERT_TRUE(GraphManager::Save(full(path)));
            EXPECT_EQ(readFile(full(path)), saved);
        }
}

// An unknown key of a component is kept and written back. Nested deeper than the bound, the file is refused like
// one that fails to parse and kept as it is; within it, it is written back compact below the indented levels, so
// the file stays about its size.
TEST_F(GraphFiles, DeeplyNestedKeptValuesNeitherCrashNorGrowTheFile)
{
    const std::string fixture = readFile(std::string(TEST_DATA_DIR) + "projects/roundtrip/graph.json");
    for (int depth : {900, 10000, 100000}) {
        SCOPED_TRACE(depth);
        const std::string text = replaced(fixture, "\"id\": 1,", "\"future\": " + nested(depth) + ", \"id\": 1,");
        const std::string path = write("projects/p/graph.json", text);
        ScopedProject project;
        LogCapture log;
        const bool accepted = depth < jsonfile::kMaxDepth;
        EXPECT_EQ(GraphManager::Load(path), accepted);
        if (!accepted) {
            EXPECT_TRUE(log.contains("projects/p/graph.json>: line 4: nested deeper than")) << log.text();
            addComponent<TestProducer>("default");
            EXPECT_FALSE(GraphManager::Save(full(path)));
            EXPECT_EQ(readFile(full(path)), text);
            continue;
        }
        ASSERT_TRUE(GraphManager::Save(full(path)));
        const std::string saved = readFile(full(path));
        EXPECT_LT(saved.size(), text.size() + 32 * 1024);
        EXPECT_EQ(json::parse(saved)["components"][0]["future"], json::parse(nested(depth)));
    }
}

// ---- Long chains ----

// Each component links to the next one's output, so resolving or running the first walks the whole chain.
TEST_F(GraphFiles, FiftyThousandLongChainLoadsResolvesAndRuns)
{
    constexpr int kLength = 50000;
    json components = json::array();
    for (int i = 0; i < kLength; ++i) {
        json c = {{"type", "Sceneplayer"}, {"id", 2 * i + 1}, {"name", "c" + std::to_string(i)},
                  {"outputs", {{{"id", 2 * i + 2}}}}};
        if (i + 1 < kLength)
            c["inputs"] = {{{"name", "in"}, {"outputs", {2 * i + 4}}}};
        components.push_back(std::move(c));
    }
    const std::string path = write("chain.json", json{{"components", components}}.dump());
    ScopedProject project;
    ASSERT_TRUE(GraphManager::Load(path));
    ASSERT_EQ(project.components.size(), static_cast<size_t>(kLength));
    for (EngineComponent* c : project.components)
        ASSERT_EQ(c->state, ComponentState::Resolved) << c->name;
    // Sources are initialised and run before their consumers: the far end first.
    ASSERT_EQ(initLog().size(), static_cast<size_t>(kLength));
    EXPECT_EQ(initLog().front(), "c" + std::to_string(kLength - 1));
    EXPECT_EQ(initLog().back(), "c0");

    GraphManager::ExecuteRoots(dummyBuilder(), frame(), ++run);
    ASSERT_EQ(executionLog().size(), static_cast<size_t>(kLength));
    EXPECT_EQ(executionLog(), initLog());
    for (EngineComponent* c : project.components)
        EXPECT_FALSE(c->executing);
}

// A change passes on through the consumers' own callbacks; far down a long chain it stops with one line.
TEST_F(GraphExecution, ChangeNotificationDownALongChainIsBounded)
{
    constexpr int kLength = 3000;
    auto* producer = addComponent<TestProducer>("producer");
    std::vector<Relay*> chain;
    int32_t source = producer->output->id;
    for (int i = 0; i < kLength; ++i) {
        chain.push_back(addComponent<Relay>("r" + std::to_string(i)));
        chain.back()->input->links = {source};
        source = chain.back()->output->id;
    }
    LogCapture log;
    GraphManager::NotifyOutputChanged(producer->output->id);
    EXPECT_EQ(chain[0]->inputChanges.size(), 1u);
    EXPECT_EQ(chain[998]->inputChanges.size(), 1u);
    EXPECT_TRUE(chain[kLength - 1]->inputChanges.empty());
    EXPECT_EQ(log.count("links away from where it started; not passed on further"), 1);
}
