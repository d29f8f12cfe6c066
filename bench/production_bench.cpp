// One processed frame of the shipped "room" project as the frame loop runs it (timeline, graph, passes, post
// chain), at 512 x 288 and at 1920 x 1080, and one primitive renderer's Execute on its own. Runs on an EGL
// surfaceless context (Mesa), no display needed.
#include "app/data_files.h"
#include "app/timing.h"
#include "components/component_table.h"
#include "components/primitive_renderer.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "project/component_table.h"
#include "project/graph.h"
#include "project/keyframes.h"
#include "project/project.h"
#include "project/sequencer.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/graph_processing.h"
#include "render/materials.h"
#include "render/shader_inputs.h"
#include "tests/egl_context.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>
#include <memory>
#include <string>

using namespace gl;

namespace {

bool setUp(int width, int height)
{
    static const bool context = [] {
        if (!eglSurfacelessContextCurrent())
            return false;
        glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
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

} // namespace
