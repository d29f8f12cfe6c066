// CPU cost of an empty frame of the engine loop and of one GPU timing scope. Needs a display (xvfb-run).
#include "app/engine_display.h"
#include "app/frame_loop.h"
#include "app/timing.h"
#include "components/component_table.h"
#include "project/project.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>
#include <cstdio>

namespace {

bool startEngine()
{
    static const bool started = [] {
        componentTypesInstallFactories();
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

// The same without presenting: what the engine itself spends on a frame with no project loaded (the layer stack
// has nothing to render), so this is the loop's own overhead, not the cost of drawing a frame.
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
        // Hand the queued GL work over as the swap would; llvmpipe does not cope with an endless unflushed stream.
        gl::glFlush();
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
    int64_t n = 0;
    for (auto _ : state) {
        {
            ScopedGpuTimer scope("Pass", true);
        }
        // Drop the two records just taken (a few ns), so every iteration opens the same scope in the same frame.
        gpuTimerFrameRecords.resize(earlier);
        // A real frame's swap hands the queries over; without one llvmpipe's queue grows until it falls over.
        if (++n % 256 == 0)
            gl::glFlush();
    }
    timerGpuAdvanceFrame();
}
BENCHMARK(BM_GpuScope)->Arg(0)->Arg(64)->Unit(benchmark::kNanosecond);

// The player's scope: timings are off, so opening and closing one must cost next to nothing.
void BM_GpuScopeSwitchedOff(benchmark::State& state)
{
    timerSetGpuScopesEnabled(false);
    for (auto _ : state) {
        ScopedGpuTimer scope("Pass", true);
        benchmark::ClobberMemory();
    }
    timerSetGpuScopesEnabled(true);
}
BENCHMARK(BM_GpuScopeSwitchedOff)->Unit(benchmark::kNanosecond);

// Baseline: the driver's share of a scope is two of these.
void BM_GlQueryCounter(benchmark::State& state)
{
    if (!startEngine()) {
        state.SkipWithError("no window: run under xvfb-run");
        return;
    }
    gl::GLuint query = 0;
    gl::glGenQueries(1, &query);
    int64_t n = 0;
    for (auto _ : state) {
        gl::glQueryCounter(query, gl::GL_TIMESTAMP);
        if (++n % 256 == 0)
            gl::glFlush();
    }
    gl::glDeleteQueries(1, &query);
}
BENCHMARK(BM_GlQueryCounter)->Unit(benchmark::kNanosecond);

} // namespace
