// Load and resolution of a 1,000-component graph.json, and one frame's execution of it.
// Loading logs several lines per component; run with stdout sent elsewhere and --benchmark_out for the figures.
#include "app/data_files.h"
#include "project/component_table.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/graph.h"
#include "project/project.h"
#include "render/render_graph.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

class BenchComponent : public EngineComponent {
public:
    BenchComponent(int32_t row, const std::string& name, bool root) : EngineComponent(row, name), root_(root)
    {
        branch_ = new CvarTreeNode(name, nullptr);
        branch_->owner = this;
        cvarTreeCurrentBranch = branch_;
        CvarTreeRegisterVec3(&amount, "amount", 0, 0, 0);
        CvarTreeRegisterFloat(&speed, "speed", 1, 0, 10);
        CvarTreeRegisterText(&label, "label", "bench");
        CvarTreePopBranch();
        auto* in = new InputPin("in", {ResourceType::Value}, true);
        declaredInputs.push_back(in);
        RebuildPinLists();
        AddOutput("value", ResourceType::Value)->payload = &payload;
    }
    ~BenchComponent() override { delete branch_; }
    CvarTreeNode* GetCvarTree() override { return branch_; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
    void Execute(RenderItemBuilder&, Timestep time) override
    {
        payload.values = {time.time * speed.value[0], amount.value[1], amount.value[2]};
    }
    bool IsDependencyOnly() override { return !root_; }

    Cvar amount, speed, label;
    ValueResource payload{"bench"};

private:
    bool root_;
    CvarTreeNode* branch_;
};

constexpr int kComponents = 1000;

// Producers ("ValueWave") first, then layers of consumers each reading two components of the layer before and
// exposing "amount" to one of them; the last layer's consumers ("Sceneplayer") are frame roots.
std::string makeGraph()
{
    using nlohmann::json;
    json components = json::array();
    const int producers = 200;
    int32_t nextId = 1;
    std::vector<int32_t> previous; // output ids of the layer before
    std::vector<int32_t> layer;
    for (int i = 0; i < kComponents; ++i) {
        const bool producer = i < producers;
        const bool root = i >= kComponents - 100;
        const int32_t id = nextId++;
        const int32_t out = nextId++;
        json c = {{"type", producer ? "ValueWave" : (root ? "Sceneplayer" : "ValueLinear")},
                  {"id", id},
                  {"uuid", 1000000 + i},
                  {"name", "c" + std::to_string(i)},
                  {"parent_id", 0},
                  {"visual", {{"position", {{"x", 0.0}, {"y", double(i % 37)}}}, {"collapsed", {{"v", false}}}}},
                  {"outputs", json::array({{{"id", out}}})},
                  {"variables",
                   {{"branch_name", "c" + std::to_string(i)},
                    {"open", true},
                    {"color", "#00000000"},
                    {"variables",
                     json::array({{{"name", "amount"}, {"type", 5}, {"graph_exposed", true}, {"uuid", 5000000 + i},
                                   {"value", {{"x", 1.0}, {"y", 2.0}, {"z", 3.0}}}},
                                  {{"name", "speed"}, {"type", 0}, {"value", {{"v", 0.5}}}},
                                  {{"name", "label"}, {"type", 12}, {"value", {{"text", "bench"}}}}})}}}};
        if (!producer && !previous.empty()) {
            const size_t a = i % previous.size(), b = (i * 7 + 3) % previous.size();
            c["inputs"] = json::array({{{"name", "in"}, {"outputs", {previous[a], previous[b]}}},
                                       {{"name", "amount"}, {"cvar_uuid", 5000000 + i}, {"outputs", {previous[b]}}}});
        }
        components.push_back(std::move(c));
        // Layers of 200: each layer reads the one before it.
        layer.push_back(out);
        if (layer.size() == 200) {
            previous = layer;
            layer.clear();
        }
    }
    return json{{"components", components}}.dump(2);
}

struct BenchWorld {
    std::filesystem::path dir;
    std::vector<EngineComponent*> components;
    ResourceManagerStorage store;
    std::vector<ComponentFactory> saved;

    BenchWorld()
    {
        dir = std::filesystem::temp_directory_path() / ("graph_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "graph.json") << makeGraph();
        dataSetBasePath(dir.string() + "/");
        for (int row : {22, 23, 0})
            saved.push_back(componentTypeTable[row].factory);
        componentTypeTable[22].factory = [](const std::string& n) -> EngineComponent* {
            return new BenchComponent(22, n, false);
        };
        componentTypeTable[23].factory = [](const std::string& n) -> EngineComponent* {
            return new BenchComponent(23, n, false);
        };
        componentTypeTable[0].factory = [](const std::string& n) -> EngineComponent* {
            return new BenchComponent(0, n, true);
        };
        currentComponents = &components;
        currentResources = &store;
    }
    ~BenchWorld()
    {
        clear();
        int i = 0;
        for (int row : {22, 23, 0})
            componentTypeTable[row].factory = saved[i++];
        currentComponents = nullptr;
        currentResources = nullptr;
        std::filesystem::remove_all(dir);
    }
    void clear()
    {
        for (EngineComponent* c : components)
            delete c;
        components.clear();
        store.listeners.clear();
    }
};

RenderItemBuilder& builder()
{
    alignas(std::max_align_t) static unsigned char storage[4096];
    return *reinterpret_cast<RenderItemBuilder*>(storage);
}

void BM_GraphLoadAndResolve(benchmark::State& state)
{
    BenchWorld world;
    for (auto _ : state) {
        if (!GraphManager::Load("graph.json"))
            state.SkipWithError("load failed");
        state.PauseTiming();
        if (world.components.size() != kComponents)
            state.SkipWithError("wrong component count");
        world.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kComponents);
}
BENCHMARK(BM_GraphLoadAndResolve)->Unit(benchmark::kMillisecond);

void BM_GraphExecuteFrame(benchmark::State& state)
{
    BenchWorld world;
    if (!GraphManager::Load("graph.json"))
        state.SkipWithError("load failed");
    int run = 0;
    Timestep time{0.0f, 1.0f / 60.0f, false};
    for (auto _ : state) {
        time.time += time.delta;
        GraphManager::ExecuteRoots(builder(), time, ++run);
    }
    state.SetItemsProcessed(state.iterations() * kComponents);
}
BENCHMARK(BM_GraphExecuteFrame)->Unit(benchmark::kMicrosecond);

void BM_GraphSave(benchmark::State& state)
{
    BenchWorld world;
    if (!GraphManager::Load("graph.json"))
        state.SkipWithError("load failed");
    const std::string out = (world.dir / "saved.json").string();
    for (auto _ : state)
        GraphManager::Save(out);
    state.SetItemsProcessed(state.iterations() * kComponents);
}
BENCHMARK(BM_GraphSave)->Unit(benchmark::kMillisecond);

} // namespace
