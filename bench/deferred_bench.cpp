// One deferred frame of a small scene (a floor with 25 boxes; a shadowed sun, spot and point light and an area
// light): G-buffer, shadow maps and the lighting pass, at 512 x 288 and at 1920 x 1080. Wall time per frame is
// the benchmark's time; the GPU time of each pass, from the timing scopes, is reported as a counter in
// milliseconds. The lighting pass alone, of that scene and of the shipped "room" project, is timed against a
// bare full-screen fragment pass into the same target in the same run (the floor): its time is reported with
// the floor's and as a multiple of it. Runs on an EGL surfaceless context (Mesa), no display needed.
//
// BM_PassesAgainstFloor times (wall time between glFinish calls) the G-buffer and the composite with its temporal
// resolve next to two floors run in the same frames: a bare full-screen compute pass (8 x 8 groups, one image
// store per pixel) and a bare full-screen fragment pass (one constant colour per pixel), and reports each pass as
// a multiple of its floor. Full programs against variants; repeated three times, the "min" and "median" rows are
// the ones to read.
#include "bench/bench_gl.h"
#include "tests/deferred_scene_util.h"

#include "app/data_files.h"
#include "components/component_table.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/deferred_composite.h"
#include "render/graph_processing.h"
#include "render/shader_inputs.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace gl;
using namespace deferredscene;

namespace {

using benchgl::finishedMs;
using benchgl::FloorPasses;
using benchgl::makeContextCurrent;

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

// A full-screen triangle writing one constant colour: what any full-screen pass costs at least.
class FloorPass {
public:
    FloorPass()
    {
        const char* vs = "#version 430\n"
                         "void main() { vec2 p = vec2((gl_VertexID << 1) & 2, gl_VertexID & 2);"
                         " gl_Position = vec4(p * 2.0 - 1.0, 0.0, 1.0); }\n";
        const char* fs = "#version 430\nout vec4 outColor;\nvoid main() { outColor = vec4(0.25); }\n";
        const GLuint stages[2] = {glCreateShader(GL_VERTEX_SHADER), glCreateShader(GL_FRAGMENT_SHADER)};
        const char* sources[2] = {vs, fs};
        program_ = glCreateProgram();
        for (int i = 0; i < 2; ++i) {
            glShaderSource(stages[i], 1, &sources[i], nullptr);
            glCompileShader(stages[i]);
            glAttachShader(program_, stages[i]);
        }
        glLinkProgram(program_);
        for (GLuint stage : stages)
            glDeleteShader(stage);
        glCreateVertexArrays(1, &vao_);
    }
    ~FloorPass()
    {
        glDeleteProgram(program_);
        glDeleteVertexArrays(1, &vao_);
    }
    void draw() const
    {
        glDisable(GL_DEPTH_TEST);
        glDisable(GL_BLEND);
        glUseProgram(program_);
        glBindVertexArray(vao_);
        glDrawArrays(GL_TRIANGLES, 0, 3);
        glBindVertexArray(0);
        glUseProgram(0);
        shaderCurrentProgram = nullptr;
    }

private:
    GLuint program_ = 0;
    GLuint vao_ = 0;
};

// Milliseconds of one call of `work`, finished on the GPU.
double timedMs(const std::function<void()>& work)
{
    glFinish();
    const auto start = std::chrono::steady_clock::now();
    work();
    glFinish();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Times the lighting pass over the G-buffer and shadow maps the last frame left, each run followed by a floor
// pass into the same target. The benchmark's time is the lighting pass's.
void timeLightingAgainstFloor(benchmark::State& state, const std::string& envmap)
{
    FloorPass floor;
    DeferredRenderer& r = deferredRenderer;
    fbPush();
    fbBind(r.fbDeferredDeepShadow);
    glViewport(0, 0, r.fbDeferredDeepShadow->width, r.fbDeferredDeepShadow->height);
    std::vector<double> lighting;
    std::vector<double> floors;
    for (auto _ : state) {
        const double ms = timedMs([&] { deferredRenderLights(envmap, 1.0f, r.fbDeferredDeep); });
        state.SetIterationTime(ms / 1000.0);
        lighting.push_back(ms);
        floors.push_back(timedMs([&] { floor.draw(); }));
        timerGpuAdvanceFrame();
        constBufferRingAdvance();
    }
    fbPop();
    if (lighting.empty())
        return;
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double lightMedian = median(lighting);
    const double floorMedian = median(floors);
    state.counters["light median ms"] = lightMedian;
    state.counters["light min ms"] = *std::min_element(lighting.begin(), lighting.end());
    state.counters["floor median ms"] = floorMedian;
    state.counters["floor min ms"] = *std::min_element(floors.begin(), floors.end());
    state.counters["floors"] = floorMedian > 0.0 ? lightMedian / floorMedian : 0.0;
}

void BM_LightingPass(benchmark::State& state)
{
    if (!makeContextCurrent()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    BenchScene scene(int(state.range(0)), int(state.range(1)));
    for (int warm = 0; warm < 2; ++warm)
        if (!scene.frame()) {
            state.SkipWithError("frame failed");
            return;
        }
    timeLightingAgainstFloor(state, "env_texture::default");
}
BENCHMARK(BM_LightingPass)
    ->Args({512, 288})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->MinTime(2.0);

void BM_RoomLightingPass(benchmark::State& state)
{
    if (!makeContextCurrent()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    static const bool installed = (componentTypesInstallFactories(), true);
    (void)installed;
    screenWidth = int(state.range(0));
    screenHeight = int(state.range(1));
    dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    constBufferRingInit(1 << 24);
    rendererInitGlobalInputs();
    deferredReleaseTargets();
    deferredRenderInit();
    deferredCreateTargets();
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
    for (int warm = 0; warm < 2; ++warm)
        GraphProcessing(5.0f);
    glFinish();
    timeLightingAgainstFloor(state, "env_texture::default");
    projDestroy(room);
    projectList.clear();
    deferredReleaseTargets();
}
BENCHMARK(BM_RoomLightingPass)
    ->Args({512, 288})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->MinTime(2.0);

// Starts of the composite's dispatches (the composite, then the temporal resolve when it runs).
std::chrono::steady_clock::time_point compositeStart;
std::chrono::steady_clock::time_point resolveStart;

// The G-buffer pass of BenchScene again, on a cleared depth buffer, with the program each row's textures select.
void gbufferPass(BenchScene& scene)
{
    DeferredRenderer& r = deferredRenderer;
    fbPush();
    fbBind(r.fbDeferredDeep);
    glViewport(0, 0, r.fbDeferredDeep->width, r.fbDeferredDeep->height);
    const float far = 1.0f;
    glClearNamedFramebufferfv(r.fbDeferredDeep->glId, GL_DEPTH, 0, &far);
    RenderState opaque;
    opaque.cullMode = 2;
    renderStatePush(opaque);
    for (const Draw& d : scene.draws) {
        ShaderProgram* program =
            textureVariants ? scene.material->getProgram(Renderer::PASS_DEFERRED, materialTextureMask(materialTable[d.materialRow]))
                            : scene.material->getProgram(Renderer::PASS_DEFERRED);
        drawWith(program, d, transformFor(Matrix{}, scene.camera.view, scene.camera.projection));
    }
    renderStatePop();
    fbPop();
}

// The G-buffer and the composite with its temporal resolve (the scene player's defaults: blend 0.25), each
// against its floor. Arguments: width, height, and 1 for the program variants (0: the full programs, as before).
void BM_PassesAgainstFloor(benchmark::State& state)
{
    if (!makeContextCurrent()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    deferredCompositeUseVariants = state.range(2) != 0;
    textureVariants = state.range(2) != 0;
    BenchScene scene(width, height);
    FloorPasses floors(width, height);
    if (!floors.usable()) {
        state.SkipWithError("floor programs did not build");
        return;
    }
    Texture* results[2] = {txtCreateNamed("BenchComposite0", TEXTURE_TYPE_2D, width, height, IMAGE_TYPE_RGBA16F),
                           txtCreateNamed("BenchComposite1", TEXTURE_TYPE_2D, width, height, IMAGE_TYPE_RGBA16F)};
    Framebuffer* destination = fbCreate("BenchComposite");
    const DeferredCompositeParams settings;
    renderingMain = COMPOSITE_VIEW_COMPOSITE;

    // Milliseconds of the G-buffer, the composite with its resolve, the compute floor, the fragment floor and the
    // resolve alone.
    double times[5] = {};
    const auto frame = [&]() {
        if (!scene.frame())
            return false;
        times[0] = finishedMs([&] { gbufferPass(scene); });
        fbAttach(destination, FB_ATTACHMENT_COLOR0, results[0]);
        fbAttach(destination, FB_ATTACHMENT_COLOR1, results[1]);
        // The scene player's wireframe pass: nothing drawn, the overlay cleared.
        const float none[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        glClearTexImage(deferredRenderer.txtWireframeColor->glId, 0, GL_RGBA, GL_FLOAT, none);
        deferredMarkCompositeInputs(COMPOSITE_INPUT_WIREFRAME, false);
        // From the first of the two dispatches to the end of the second: the clears and reflection or occlusion
        // passes before them are not the composite's own.
        compositeStart = resolveStart = {};
        glFinish();
        deferredDispatchObserver = [](const ShaderProgram*, int, int) {
            glFinish();
            (compositeStart == std::chrono::steady_clock::time_point{} ? compositeStart : resolveStart) =
                std::chrono::steady_clock::now();
        };
        DeferredComposite(destination, settings);
        glFinish();
        deferredDispatchObserver = nullptr;
        const auto end = std::chrono::steady_clock::now();
        times[1] = std::chrono::duration<double, std::milli>(end - compositeStart).count();
        times[4] = resolveStart == std::chrono::steady_clock::time_point{}
                       ? 0.0
                       : std::chrono::duration<double, std::milli>(end - resolveStart).count();
        std::swap(results[0], results[1]);
        times[2] = finishedMs([&] { floors.runCompute(); });
        times[3] = finishedMs([&] { floors.runFragment(); });
        // One frame's constants per ring slot, as the frame loop does: the ring is kept between runs, so a run
        // that never advanced it filled it for the next size.
        timerGpuAdvanceFrame();
        constBufferRingAdvance();
        return true;
    };
    for (int warm = 0; warm < 2; ++warm)
        frame();

    double totals[5] = {};
    int64_t frames = 0;
    for (auto _ : state) {
        if (!frame()) {
            state.SkipWithError("frame failed");
            break;
        }
        for (int p = 0; p < 5; ++p)
            totals[p] += times[p];
        ++frames;
    }
    fbDestroy(destination);
    txtDestroy(results[0]);
    txtDestroy(results[1]);
    deferredCompositeUseVariants = true;
    textureVariants = true;
    if (!frames)
        return;
    const char* const names[] = {"GBuffer ms", "Composite ms", "Compute floor ms", "Fragment floor ms",
                                 "Resolve ms"};
    for (int p = 0; p < 5; ++p)
        state.counters[names[p]] = totals[p] / double(frames);
    if (totals[2] > 0.0) {
        state.counters["Composite / compute floor"] = totals[1] / totals[2];
        state.counters["Resolve / compute floor"] = totals[4] / totals[2];
    }
    if (totals[3] > 0.0)
        state.counters["GBuffer / fragment floor"] = totals[0] / totals[3];
}
BENCHMARK(BM_PassesAgainstFloor)
    ->Args({512, 288, 0})
    ->Args({512, 288, 1})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
    ->DisplayAggregatesOnly(true);

} // namespace
