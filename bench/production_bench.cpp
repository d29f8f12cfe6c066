// One processed frame of the shipped "room" project as the frame loop runs it (timeline, graph, passes, post
// chain), at 512 x 288 and at 1920 x 1080, and one primitive renderer's Execute on its own. Runs on an EGL
// surfaceless context (Mesa), no display needed.
//
// BM_ProjectFrame/<project> is each shipped project's whole frame as the player draws it: the project loaded as
// start-up loads it, drawn through the production's layer stack (the "room" segments and depth-of-field values)
// with timing scopes off. Per frame it takes the frame's time from an idle GPU to an idle GPU, the host side (until
// the layer stack returns; its thread CPU time as well, since on a software rasteriser the GL calls run vertex
// shading and binning on this thread) and, in the same frames, the two floors: a bare full-screen fragment pass and
// a bare compute pass of the same size. After the timed frames, a few more run with the timing scopes on, each scope
// closed after a glFinish, which gives the heaviest scopes their own time (without the nested scopes'). At exit the
// figures of every repetition are printed as tables, min and median.
#include "bench/bench_gl.h"

#include "app/data_files.h"
#include "app/frame_loop.h"
#include "app/projects.h"
#include "app/timing.h"
#include "components/component_table.h"
#include "components/primitive_renderer.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project/keyframes.h"
#include "project/layer_segments.h"
#include "project/project.h"
#include "project/sequencer.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/graph_processing.h"
#include "render/layer_compositor.h"
#include "render/materials.h"
#include "render/shader_inputs.h"
#include "tests/egl_context.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

using namespace gl;

namespace {

bool setUp(int width, int height)
{
    static const bool context = [] {
        if (!benchgl::makeContextCurrent())
            return false;
        componentTypesInstallFactories();
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        constBufferRingInit(1 << 24);
        rendererInitGlobalInputs();
        return true;
    }();
    if (!context)
        return false;
    screenWidth = width;
    screenHeight = height;
    deferredReleaseTargets();
    deferredRenderInit();
    deferredCreateTargets();
    return true;
}

void BM_RoomFrame(benchmark::State& state)
{
    if (!setUp(int(state.range(0)), int(state.range(1)))) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    exportVariables = true;
    if (!sequencer)
        sequencer = new Sequence();
    Project* room = projCreate("room");
    projectList = {room};
    projSetCurrent(room);
    room->resources->load_json(room->path + "/resources.json");
    if (!GraphManager::Load(room->path + "/graph.json") || !SequencerManager::Load(room->path + "/sequencer.json")) {
        state.SkipWithError("the shipped room project did not load");
        return;
    }
    // With range(2) set the timing scopes are on (the editor) and each pass's GPU time is reported; off, the frame
    // runs as the player runs it.
    const bool scopes = state.range(2) != 0;
    timerSetGpuScopesEnabled(scopes);
    timerResetGpu();
    auto endFrame = [] {
        timerGpuAdvanceFrame();
        constBufferRingAdvance();
    };
    float t = 5.0f;
    for (int warm = 0; warm < 3; ++warm) {
        GraphProcessing(t += 0.02f);
        endFrame();
    }
    glFinish();
    std::vector<std::pair<std::string, double>> passMs; // in the order the passes run
    double cpuSeconds = 0.0;
    int64_t frames = 0;
    for (auto _ : state) {
        // The CPU side: until GraphProcessing returns (llvmpipe runs some GPU work inside the calls as well).
        const auto start = std::chrono::steady_clock::now();
        GraphProcessing(t += 0.02f);
        cpuSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        glFinish();
        if (scopes) {
            // Rows of the frame two back: their timestamps are complete after the finish.
            int count = 0;
            const GpuTimerResult* rows = timerCollectGpuResults(&count);
            for (int i = 0; i < count; ++i)
                if (rows[i].name && rows[i].depth <= 2) {
                    const std::string name = std::string(size_t(rows[i].depth) * 2, ' ') + rows[i].name;
                    auto it = std::find_if(passMs.begin(), passMs.end(), [&](const auto& p) { return p.first == name; });
                    if (it == passMs.end())
                        it = passMs.insert(passMs.end(), {name, 0.0});
                    it->second += double(rows[i].duration) / 1e6;
                }
        }
        endFrame();
        ++frames;
    }
    state.counters["cpu ms"] = frames ? cpuSeconds * 1e3 / double(frames) : 0.0;
    // The first two frames read back nothing yet; per frame over the rest.
    const double measured = double(std::max<int64_t>(frames - 2, 1));
    if (scopes && state.range(0) == 1920) {
        std::printf("GPU time per pass, room at %lld x %lld (ms):\n", static_cast<long long>(state.range(0)),
                    static_cast<long long>(state.range(1)));
        for (const auto& [name, ms] : passMs)
            std::printf("  %-48s %8.3f\n", name.c_str(), ms / measured);
    }
    timerSetGpuScopesEnabled(true);
    projDestroy(room);
    projectList.clear();
}
BENCHMARK(BM_RoomFrame)
    ->Args({512, 288, 0})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

// The host side of a primitive's frame: material rows and its render item (nothing is drawn).
void BM_PrimitiveExecute(benchmark::State& state)
{
    if (!setUp(512, 288)) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    std::vector<EngineComponent*> components;
    currentComponents = &components;
    auto* holder = componentTypeTable[9].factory("holder");
    auto* primitive = static_cast<primitivefx*>(primitivefx::Create("cube"));
    holder->CreateChildPin();
    primitive->CreateEntityPin();
    components = {holder, primitive};
    holder->childPin->links = {primitive->entityPin->id};
    primitive->Init();
    for (auto _ : state) {
        resetMaterialTable();
        RenderItemBuilder builder;
        primitive->Execute(builder, Timestep{});
        benchmark::DoNotOptimize(builder.items.data());
    }
    for (EngineComponent* c : components)
        delete c;
    currentComponents = nullptr;
}
BENCHMARK(BM_PrimitiveExecute)->Unit(benchmark::kMicrosecond);

// ---- Each shipped project's frame ----

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

double steadyMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Scope times from finished work: every timestamp first waits for the GPU. A scope's own time leaves out the scopes
// nested in it, so a parent around the whole frame does not rank first.
struct ScopeClock {
    struct Open {
        std::string name;
        double start = 0.0;
        double nested = 0.0;
    };
    std::vector<Open> open;
    std::vector<std::string> openedThisFrame;
    std::map<std::string, double> ownMs;

    // A repeated scope of one frame ("Pass", "Pass_1", ...) counts under its first name.
    std::string merged(const std::string& name) const
    {
        const size_t cut = name.find_last_of('_');
        if (cut == std::string::npos || cut + 1 == name.size() ||
            name.find_first_not_of("0123456789", cut + 1) != std::string::npos)
            return name;
        const std::string base = name.substr(0, cut);
        return std::find(openedThisFrame.begin(), openedThisFrame.end(), base) != openedThisFrame.end() ? base : name;
    }
    void timestamp(const GpuTimerRecord& record)
    {
        glFinish();
        const double now = steadyMs();
        if (record.parent == -1) {
            // Scopes open with "<name>_opening"; a lone timestamp of another name opens nothing.
            const std::string opening = "_opening";
            std::string name = record.name;
            if (name.size() <= opening.size() || name.compare(name.size() - opening.size(), opening.size(), opening) != 0)
                return;
            name.resize(name.size() - opening.size());
            openedThisFrame.push_back(name);
            open.push_back({merged(name), now, 0.0});
            return;
        }
        if (open.empty())
            return;
        const Open scope = open.back();
        open.pop_back();
        const double ms = now - scope.start;
        ownMs[scope.name] += ms - scope.nested;
        if (!open.empty())
            open.back().nested += ms;
    }
    void endFrame()
    {
        open.clear();
        openedThisFrame.clear();
    }
};
ScopeClock* scopeClock = nullptr;

struct ProjectRun {
    // Medians over the run's frames.
    double frameMs = 0.0;    // idle GPU to idle GPU
    double hostMs = 0.0;     // until the layer stack returns
    double hostCpuMs = 0.0;  // this thread's CPU time meanwhile
    double fragmentMs = 0.0; // the fragment floor
    double computeMs = 0.0;  // the compute floor
    std::vector<std::pair<std::string, double>> heaviest; // own ms per frame, heaviest first
};

double minOf(std::vector<double> v)
{
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}
double medianOf(std::vector<double> v)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Every repetition of every project and size, printed as two markdown tables when the process ends.
struct ProjectReport {
    std::vector<std::pair<std::string, std::vector<ProjectRun>>> rows; // "room 512 x 288" in the order they ran

    std::vector<ProjectRun>& runs(const std::string& key)
    {
        for (auto& [name, runs] : rows)
            if (name == key)
                return runs;
        return rows.emplace_back(key, std::vector<ProjectRun>{}).second;
    }
    ~ProjectReport()
    {
        if (rows.empty())
            return;
        const auto figure = [](const std::vector<ProjectRun>& runs, auto&& value) {
            std::vector<double> v;
            for (const ProjectRun& run : runs)
                v.push_back(value(run));
            char text[64];
            std::snprintf(text, sizeof text, "%.3g / %.3g", minOf(v), medianOf(v));
            return std::string(text);
        };
        std::printf("\n| project, size | frame ms | fragment floors | compute floors | host ms | host CPU ms | "
                    "fragment floor ms | compute floor ms |\n|---|---|---|---|---|---|---|---|\n");
        for (const auto& [key, runs] : rows) {
            std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", key.c_str(),
                        figure(runs, [](const ProjectRun& r) { return r.frameMs; }).c_str(),
                        figure(runs, [](const ProjectRun& r) { return r.frameMs / r.fragmentMs; }).c_str(),
                        figure(runs, [](const ProjectRun& r) { return r.frameMs / r.computeMs; }).c_str(),
                        figure(runs, [](const ProjectRun& r) { return r.hostMs; }).c_str(),
                        figure(runs, [](const ProjectRun& r) { return r.hostCpuMs; }).c_str(),
                        figure(runs, [](const ProjectRun& r) { return r.fragmentMs; }).c_str(),
                        figure(runs, [](const ProjectRun& r) { return r.computeMs; }).c_str());
        }
        // The three heaviest scopes over all repetitions; ratios against the median floors of the same runs.
        std::printf("\n| project, size | heaviest scopes: own ms (fragment floors / compute floors), median of the "
                    "repetitions |\n|---|---|\n");
        for (const auto& [key, runs] : rows) {
            std::map<std::string, std::vector<double>> byScope;
            for (const ProjectRun& run : runs)
                for (const auto& [name, ms] : run.heaviest)
                    byScope[name].push_back(ms);
            std::vector<std::pair<double, std::string>> ranked;
            for (auto& [name, times] : byScope) {
                times.resize(runs.size(), 0.0); // a run where the scope was not among the heaviest: about 0
                ranked.emplace_back(medianOf(times), name);
            }
            std::sort(ranked.rbegin(), ranked.rend());
            std::vector<double> fragments;
            std::vector<double> computes;
            for (const ProjectRun& run : runs) {
                fragments.push_back(run.fragmentMs);
                computes.push_back(run.computeMs);
            }
            const double fragment = medianOf(fragments);
            const double compute = medianOf(computes);
            std::string cell;
            for (size_t i = 0; i < ranked.size() && i < 3; ++i) {
                char text[256];
                std::snprintf(text, sizeof text, "%s\"%s\" %.3g (%.3g / %.3g)", i ? "; " : "", ranked[i].second.c_str(),
                              ranked[i].first, fragment > 0.0 ? ranked[i].first / fragment : 0.0,
                              compute > 0.0 ? ranked[i].first / compute : 0.0);
                cell += text;
            }
            std::printf("| %s | %s |\n", key.c_str(), cell.c_str());
        }
        std::fflush(stdout);
    }
};
ProjectReport projectReport;

// The loading record's two parameters live in "globals" when a layer stack made it; out they go with the record.
void releaseLoading(ProjectLoadingState* loading)
{
    if (!loading)
        return;
    if (CvarTreeNode* globals = CvarTreeFindBranch("globals", CvarScope::Root)) {
        auto& cvars = globals->cvars;
        cvars.erase(std::remove_if(cvars.begin(), cvars.end(),
                                   [&](Cvar* c) { return c == &loading->fxCamIdx || c == &loading->fxCamTime; }),
                    cvars.end());
    }
    delete loading;
}

// A shipped project loaded as start-up loads it, with the production's layer stack at one size. Kept across the
// repetitions of one benchmark; the next project or size replaces it.
struct ShownProject {
    std::string name;
    int width = 0;
    int height = 0;
    Project* project = nullptr;
    ProjectLoadingState* loading = nullptr;
    FxLayerContext* layers = nullptr;

    ~ShownProject()
    {
        releaseLoading(loading);
        fx_layers_destroy(layers);
        projectList.clear();
        projDestroy(project);
    }
};
// Never destroyed at exit: the engine's own globals may be gone by then.
ShownProject* shown = nullptr;

ShownProject* show(const std::string& name, int width, int height)
{
    if (shown && shown->name == name && shown->width == width && shown->height == height)
        return shown;
    delete shown;
    shown = nullptr;
    if (!setUp(width, height))
        return nullptr;
    static const bool once = [] {
        if (!globalProject)
            globalProject = projCreate("global");
        // The production's layer stack is the "room" segments file's; read without the exit save.
        fx_segments_register_types();
        fx_segments_set_default_chain();
        fx_segments_load("projects/room/layers.segments");
        fxSegmentsDirty = false;
        return true;
    }();
    (void)once;
    if (!sequencer)
        sequencer = new Sequence();
    exportVariables = true;

    auto next = std::make_unique<ShownProject>();
    next->name = name;
    next->width = width;
    next->height = height;
    // The layer stack reads its values from the project current at start-up: "room".
    Project room;
    room.name = "room";
    room.path = "projects/room";
    Project* const savedCvarProject = cvarTreeProject;
    currentProject = &room;
    next->layers = fx_layers_create(width, height);
    currentProject = nullptr;
    cvarTreeProject = savedCvarProject;

    next->project = projCreate(name);
    projectList = {next->project};
    next->loading = ProjectLoading(width, height);
    projSetCurrent(next->project);
    if (!next->layers || next->project->components->empty())
        return nullptr;
    shown = next.release();
    return shown;
}

float projectFrameTime = 5.0f;

void drawProjectFrame(ShownProject& p)
{
    fx_layers_render_context(p.layers, projectFrameTime += 1.0f / 60.0f);
}

void BM_ProjectFrame(benchmark::State& state, const char* name)
{
    ShownProject* p = show(name, int(state.range(0)), int(state.range(1)));
    if (!p) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context, or the project did not load");
        return;
    }
    benchgl::FloorPasses floors(p->width, p->height);
    if (!floors.usable()) {
        state.SkipWithError("floor programs did not build");
        return;
    }
    // As the player: no timing scopes. Warm up past the first frames' program builds and allocations.
    timerSetGpuScopesEnabled(false);
    for (int warm = 0; warm < 3; ++warm) {
        drawProjectFrame(*p);
        glFinish();
        engine_advance_frame_rings();
    }

    // Per frame: frame, host, host CPU, fragment floor, compute floor. Medians, so that one frame delayed by the
    // machine's other work does not move a run's figures.
    std::vector<double> samples[5];
    for (auto _ : state) {
        const double start = steadyMs();
        const double cpuStart = threadCpuMs();
        drawProjectFrame(*p);
        const double cpuEnd = threadCpuMs();
        const double returned = steadyMs();
        glFinish();
        const double ms = steadyMs() - start;
        state.SetIterationTime(ms / 1e3);
        samples[0].push_back(ms);
        samples[1].push_back(returned - start);
        samples[2].push_back(cpuEnd - cpuStart);
        samples[3].push_back(benchgl::finishedMs([&] { floors.runFragment(); }));
        samples[4].push_back(benchgl::finishedMs([&] { floors.runCompute(); }));
        engine_advance_frame_rings();
    }
    if (samples[0].empty())
        return;
    ProjectRun run;
    double* const figures[5] = {&run.frameMs, &run.hostMs, &run.hostCpuMs, &run.fragmentMs, &run.computeMs};
    for (int i = 0; i < 5; ++i)
        *figures[i] = medianOf(samples[i]);

    // The scopes, in frames of their own: the finishes they add would distort the frames above.
    ScopeClock clock;
    scopeClock = &clock;
    timerSetGpuScopesEnabled(true);
    timerSetGpuTimestampObserver([](const GpuTimerRecord& record) { scopeClock->timestamp(record); });
    constexpr int kScopeFrames = 2;
    for (int i = 0; i < kScopeFrames; ++i) {
        drawProjectFrame(*p);
        glFinish();
        clock.endFrame();
        engine_advance_frame_rings();
    }
    timerSetGpuTimestampObserver(nullptr);
    timerSetGpuScopesEnabled(false);
    scopeClock = nullptr;
    std::vector<std::pair<double, std::string>> ranked;
    for (const auto& [scope, ms] : clock.ownMs)
        ranked.emplace_back(ms / kScopeFrames, scope);
    std::sort(ranked.rbegin(), ranked.rend());
    for (size_t i = 0; i < ranked.size() && i < 5; ++i)
        run.heaviest.emplace_back(ranked[i].second, ranked[i].first);

    state.counters["host ms"] = run.hostMs;
    state.counters["host CPU ms"] = run.hostCpuMs;
    state.counters["fragment floors"] = run.frameMs / run.fragmentMs;
    state.counters["compute floors"] = run.frameMs / run.computeMs;
    projectReport.runs(std::string(name) + " " + std::to_string(p->width) + " x " + std::to_string(p->height))
        .push_back(std::move(run));
}

const bool projectFramesRegistered = [] {
    for (const char* name : {"room", "room_rt", "abstract_1", "instancing", "walk_particles"})
        for (auto [width, height, frames] : {std::tuple{512, 288, 9}, std::tuple{1920, 1080, 5}})
            benchmark::RegisterBenchmark((std::string("BM_ProjectFrame/") + name).c_str(), BM_ProjectFrame, name)
                ->Args({width, height})
                ->Iterations(frames)
                ->Repetitions(3)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->ComputeStatistics("min",
                                    [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
                ->DisplayAggregatesOnly(true);
    return true;
}();

// The timeline's share of the host side: SequencerManager::Apply as playback runs it every frame, over all five
// shipped projects loaded as start-up loads them (it walks every project's parameters, not only the shown one's).
void BM_TimelineApplyAllProjects(benchmark::State& state)
{
    if (!setUp(512, 288)) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    delete shown;
    shown = nullptr;
    if (!sequencer)
        sequencer = new Sequence();
    exportVariables = true;
    if (!globalProject)
        globalProject = projCreate("global");
    std::vector<Project*> projects;
    for (const char* name : {"instancing", "abstract_1", "room", "walk_particles", "room_rt"})
        projects.push_back(projCreate(name));
    projectList = projects;
    projSetCurrent(projects[2]);
    ProjectLoadingState* loading = ProjectLoading(512, 288);
    size_t parameters = 0;
    for (Project* project : projects)
        for (EngineComponent* component : *project->components)
            if (component && component->GetCvarTree())
                parameters += CvarTreeCollect(component->GetCvarTree(), -1).size();
    int frame = 0;
    for (auto _ : state)
        SequencerManager::Apply(frame++ % 3000);
    state.counters["parameters"] = double(parameters);
    state.counters["tracks"] = double(keyframeTracks.size());
    projectList.clear();
    for (Project* project : projects)
        projDestroy(project);
    releaseLoading(loading);
}
BENCHMARK(BM_TimelineApplyAllProjects)->Unit(benchmark::kMicrosecond);

} // namespace
