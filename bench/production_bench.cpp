// One processed frame of the shipped "room" project as the frame loop runs it (timeline, graph, passes, post
// chain), at 512 x 288 and at 1920 x 1080, and one primitive renderer's Execute on its own. Runs on an EGL
// surfaceless context (Mesa), no display needed.
#include "app/data_files.h"
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

#include <memory>

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
    float t = 5.0f;
    for (int warm = 0; warm < 3; ++warm)
        GraphProcessing(t += 0.02f);
    glFinish();
    for (auto _ : state) {
        GraphProcessing(t += 0.02f);
        glFinish();
    }
    projDestroy(room);
    projectList.clear();
}
BENCHMARK(BM_RoomFrame)->Args({512, 288})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->MinTime(2.0);

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
