// CPU cost of an empty frame of the engine loop and of one GPU timing scope. Needs a display (xvfb-run).
#include "app/engine_display.h"
#include "app/frame_loop.h"
#include "app/projects.h"
#include "app/timing.h"

#include <benchmark/benchmark.h>
#include <cstdio>

namespace {

bool startEngine()
{
    static const bool started = [] {
        std::FILE* silence = std::freopen("/dev/null", "w", stdout); // the start-up log is not the point here
        (void)silence;
        globalProject = projCreate("global");
        for (const char* name : {"instancing", "abstract_1", "room", "walk_particles", "room_rt"})
            projectList.push_back(projCreate(name));
        projSetCurrent(projFind("room"));
        return engine_init_display();
    }();
    return started;
}

// One pass of the loop with nothing to draw: frame time, layer stack, timer node, GPU scopes, swap, events, rings.
void BM_EmptyLoopIteration(benchmark::State& state)
{
    if (!startEngine()) {
        state.SkipWithError("no window: run under xvfb-run");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(engine_loop_iteration());
}
BENCHMARK(BM_EmptyLoopIteration)->Unit(benchmark::kMicrosecond);

// The same without presenting: what the engine itself spends on an empty frame.
void BM_EmptyFrameWithoutSwap(benchmark::State& state)
{
    if (!startEngine()) {
        state.SkipWithError("no window: run under xvfb-run");
        return;
    }
    for (auto _ : state) {
        engine_on_frame();
        {
            ScopedGpuTimer ui("UI Rendering", false);
        }
        engine_advance_frame_rings();
    }
}
BENCHMARK(BM_EmptyFrameWithoutSwap)->Unit(benchmark::kMicrosecond);

// One scope opened and closed in a frame that already holds range(0) records (the name check scans them).
void BM_GpuScope(benchmark::State& state)
{
    if (!startEngine()) {
        state.SkipWithError("no window: run under xvfb-run");
        return;
    }
    const int earlier = static_cast<int>(state.range(0));
    timerGpuAdvanceFrame();
    for (int i = 0; i < earlier; ++i)
        timerGpuTimestamp("Earlier " + std::to_string(i), -1);
    for (auto _ : state) {
        {
            ScopedGpuTimer scope("Pass", true);
        }
        // Drop the two records just taken (a few ns), so every iteration opens the same scope in the same frame.
        gpuTimerFrameRecords.resize(earlier);
    }
    timerGpuAdvanceFrame();
}
BENCHMARK(BM_GpuScope)->Arg(0)->Arg(64)->Unit(benchmark::kNanosecond);

} // namespace
