// The raytracer's three steps on the shipped "room_rt" (floor, plinth and torus traced, 5,200 faces): the export
// of the traced surfaces, the partition grid (compute only, and compute plus rasterised insertion) and the two
// trace passes, each against a bare full-screen copy pass at the same size measured in the same run. Also the
// first allocation of the scene buffers. Runs on an EGL surfaceless context (Mesa), no display needed.
#include "app/data_files.h"
#include "bench/bench_gl.h"
#include "components/component_table.h"
#include "components/primitive_renderer.h"
#include "components/raytracer.h"
#include "components/scene_player.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/composite.h"
#include "render/deferred_targets.h"
#include "render/graph_processing.h"
#include "render/scene.h"
#include "render/shader_inputs.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <chrono>
#include <fstream>
#include <vector>

using namespace gl;

namespace {

using benchgl::makeContextCurrent;

// Resident and virtual size of the process in MB (Linux), or 0.
std::pair<double, double> processMemoryMb()
{
    std::ifstream statm("/proc/self/statm");
    double pages = 0.0, resident = 0.0;
    if (!(statm >> pages >> resident))
        return {0.0, 0.0};
    const double pageMb = 4096.0 / (1024.0 * 1024.0);
    return {resident * pageMb, pages * pageMb};
}

using benchgl::finishedMs;

void BM_RaytracerAgainstFloor(benchmark::State& state)
{
    if (!makeContextCurrent()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    static const bool installed = (componentTypesInstallFactories(), true);
    (void)installed;
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    screenWidth = width;
    screenHeight = height;
    dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    constBufferRingInit(1 << 24);
    rendererInitGlobalInputs();
    deferredReleaseTargets();
    deferredRenderInit();
    deferredCreateTargets();
    exportVariables = true;
    if (!sequencer)
        sequencer = new Sequence();
    Project* project = projCreate("room_rt");
    projectList = {project};
    projSetCurrent(project);
    project->resources->load_json(project->path + "/resources.json");
    const bool firstAllocation = sharedRaytraceSceneBuffers == nullptr;
    const auto loadStart = std::chrono::steady_clock::now();
    if (!GraphManager::Load(project->path + "/graph.json") ||
        !SequencerManager::Load(project->path + "/sequencer.json")) {
        state.SkipWithError("the shipped room_rt project did not load");
        return;
    }
    std::vector<EngineComponent*> found = GraphManager::FindComponentsByType(4);
    auto* raytracer = found.empty() ? nullptr : dynamic_cast<raytracerfx*>(found.front());
    if (!raytracer || !currentScenePlayer) {
        state.SkipWithError("room_rt has no raytracer or scene player");
        return;
    }
    std::vector<primitivefx*> traced;
    for (EngineComponent* component : *currentComponents)
        if (auto* primitive = dynamic_cast<primitivefx*>(component);
            primitive && (primitive->raytrace.value[0] > 0.5f || primitive->reflect.value[0] > 0.5f))
            traced.push_back(primitive);
    // The first frame with the raytracer on allocates the scene buffers.
    GraphProcessing(130.0f);
    const double loadMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - loadStart).count();
    GraphProcessing(130.0f);
    glFinish();

    RaytraceSceneBuffers* scene = raytracer->sceneBuffers;
    Camera* camera = currentScenePlayer->scene->activeCamera;
    Texture* source = deferredRenderer.txtRaytrace[0];
    Framebuffer* floorTarget = fbCreate("RaytracerBenchFloor");
    Texture* floorTexture = txtCreateTarget("RaytracerBenchFloor", width, height, IMAGE_TYPE_RGBA16F);
    fbAttach(floorTarget, FB_ATTACHMENT_COLOR0, floorTexture);

    // Milliseconds of the export, the compute partition, the rasterised partition, the trace and the floor.
    double totals[5] = {};
    int64_t frames = 0;
    const Matrix identity;
    for (auto _ : state) {
        double times[5];
        times[0] = finishedMs([&] {
            scene->raytraceFaceCount = scene->voxelizeFaceCount = scene->exportedObjectCount = 0;
            currentRaytraceScene = scene;
            fbPush();
            setcurrent(deferredFindFramebuffer("deferred_deep"));
            for (primitivefx* primitive : traced)
                primitive->Render(camera, &identity, Renderer::PASS_GEOMETRY, Timestep{});
            fbPop();
        });
        for (int method : {0, 1}) {
            raytracer->voxelizationMethod.value[0] = float(method);
            times[1 + method] =
                finishedMs([&] { raytracerfxPartitionGeometryBuffer(raytracer, scene, Timestep{}); });
        }
        times[3] = finishedMs([&] { raytracer->Render(camera, &identity, Renderer::PASS_DEFERRED, Timestep{}); });
        times[4] = finishedMs([&] { compositeBuiltin(floorTarget, 0, source, nullptr); });
        for (int p = 0; p < 5; ++p)
            totals[p] += times[p];
        ++frames;
    }
    fbDestroy(floorTarget);
    txtDestroy(floorTexture);
    projDestroy(project);
    projectList.clear();
    deferredReleaseTargets();
    if (!frames)
        return;
    const char* const names[] = {"Export ms", "Partition compute ms", "Partition raster ms", "Trace ms",
                                 "Floor ms"};
    for (int p = 0; p < 5; ++p)
        state.counters[names[p]] = totals[p] / double(frames);
    if (totals[4] > 0.0) {
        state.counters["Export / floor"] = totals[0] / totals[4];
        state.counters["Partition compute / floor"] = totals[1] / totals[4];
        state.counters["Partition raster / floor"] = totals[2] / totals[4];
        state.counters["Trace / floor"] = totals[3] / totals[4];
    }
    // Only the process's first frame allocates the scene buffers.
    if (firstAllocation)
        state.counters["Load and first frame with allocation ms"] = loadMs;
    state.counters["Scene buffers MB"] = double(RaytraceSceneBuffers::TotalBytes()) / (1024.0 * 1024.0);
    const auto [resident, mapped] = processMemoryMb();
    state.counters["Process resident MB"] = resident;
    state.counters["Process virtual MB"] = mapped;
}
BENCHMARK(BM_RaytracerAgainstFloor)->Args({512, 288})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace
