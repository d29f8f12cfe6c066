// One deferred frame of a small scene (a floor with 25 boxes; a shadowed sun, spot and point light and an area
// light): G-buffer, shadow maps and the lighting pass, at 512 x 288 and at 1920 x 1080. Wall time per frame is
// the benchmark's time; the GPU time of each pass, from the timing scopes, is reported as a counter in
// milliseconds. Runs on an EGL surfaceless context (Mesa), no display needed.
#include "tests/deferred_scene_util.h"

#include "app/data_files.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "render/shader_inputs.h"
#include "tests/egl_context.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <memory>
#include <string>
#include <vector>

using namespace gl;
using namespace deferredscene;

namespace {

bool makeContextCurrent()
{
    static const bool ok = [] {
        if (!eglSurfacelessContextCurrent())
            return false;
        glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
        return true;
    }();
    return ok;
}

// The passes whose GPU times are reported, by timing-scope name.
const char* const kPasses[] = {"GBuffer", "Shadowmaps", "Deferrer:RenderLightBuffer"};

struct BenchScene {
    std::unique_ptr<Material> material;
    SceneObjects owned;
    std::vector<Light*> lights;
    std::vector<Draw> draws;
    Camera camera;

    BenchScene(int width, int height)
    {
        screenWidth = width;
        screenHeight = height;
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        constBufferRingInit(1 << 24);
        rendererInitGlobalInputs();
        deferredReleaseTargets();
        deferredRenderInit();
        deferredCreateTargets();
        material.reset(materialCreateFromRoot("flat"));

        resetMaterialTable();
        const int grey = materialTableAppend(coloured(0.8f, 0.8f, 0.8f));
        const int red = materialTableAppend(coloured(0.9f, 0.1f, 0.1f));
        Mesh floor;
        floor.floor(0.0f, 20.0f);
        Mesh boxes;
        for (int x = -2; x <= 2; ++x)
            for (int z = -2; z <= 2; ++z)
                boxes.box({float(x) * 2.0f, 0.5f, float(z) * 2.0f}, 0.5f);
        owned.geometries = {floor.build(), boxes.build()};
        draws = {{owned.geometries[0], grey}, {owned.geometries[1], red}};
        placeCamera(camera, {0, 7, -9}, {40, 0, 0}, float(width) / float(height));

        Light* sun = entCreateLightDirectional(24, 24, true, 1024, 1024);
        entSetLightRange(sun, 0.1f, 50.0f);
        placeLight(sun, {2, 15, -2}, {70, 20, 0});
        Light* spot = entCreateLightSpot(50.0f, true, 1024, 1024);
        entSetLightRange(spot, 0.2f, 30.0f);
        placeLight(spot, {-4, 6, -4}, {50, 40, 0});
        Light* point = entCreateLightPoint(12.0f, true, 512, 512);
        placeLight(point, {1, 3, 1}, {});
        Light* area = entCreateLightSpot(170.0f, false, 1, 1);
        area->area = true;
        area->dimensions[0] = area->dimensions[1] = 2.0f;
        placeLight(area, {3, 2, -3}, {30, -40, 0});
        lights = {sun, spot, point, area};
        owned.lights = lights;
        for (Light* light : lights)
            light->intensity = 1.5f;
    }
    ~BenchScene()
    {
        material.reset();
        owned.release();
        deferredReleaseTargets();
    }

    bool frame() { return renderFrame(material.get(), camera, lights, draws, owned.shadowMaps, 1024); }
};

void BM_DeferredFrame(benchmark::State& state)
{
    if (!makeContextCurrent()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    BenchScene scene(int(state.range(0)), int(state.range(1)));
    for (int warm = 0; warm < 3; ++warm) {
        scene.frame();
        timerGpuAdvanceFrame();
        constBufferRingAdvance();
    }
    glFinish();

    std::vector<double> passTotals(std::size(kPasses), 0.0);
    int64_t frames = 0;
    for (auto _ : state) {
        if (!scene.frame()) {
            state.SkipWithError("frame failed");
            break;
        }
        glFinish();
        // Timestamps of the frame two frames back are ready now.
        int count = 0;
        const GpuTimerResult* rows = timerCollectGpuResults(&count);
        for (int i = 0; i < count; ++i)
            for (size_t p = 0; p < std::size(kPasses); ++p)
                if (rows[i].name && std::string(rows[i].name) == kPasses[p])
                    passTotals[p] += double(rows[i].duration) / 1e6;
        // As the frame loop does: next query slot and next constant buffer. Without it every frame appended to one
        // buffer until it was full, and the benchmark measured frames that failed.
        timerGpuAdvanceFrame();
        constBufferRingAdvance();
        ++frames;
    }
    for (size_t p = 0; p < std::size(kPasses); ++p)
        state.counters[std::string(kPasses[p]) + " ms"] = frames ? passTotals[p] / double(frames) : 0.0;
}
BENCHMARK(BM_DeferredFrame)->Args({512, 288})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace
