// 100,000 instances per frame: a 100 x 100 x 10 replicator grid randomised by an instance randomizer (CPU
// generation, upload and the modifier pass) and the same count placed from a 1024 x 1024 shadow-map capture, each
// against a bare 1920 x 1080 compute pass measured in the same run. Runs on an EGL surfaceless context (Mesa), no
// display needed.
#include "app/data_files.h"
#include "bench/bench_gl.h"
#include "components/instance_randomizer.h"
#include "components/instancing_generators.h"
#include "components/shadowmap_capture.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "project/curve_texture.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/entities.h"
#include "render/render_graph.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <chrono>
#include <vector>

using namespace gl;

namespace {

using benchgl::kFloorCompute;

constexpr int kFloorWidth = 1920;
constexpr int kFloorHeight = 1080;

using benchgl::finishedMs;

void BM_HundredThousandInstancesAgainstComputeFloor(benchmark::State& state)
{
    if (!eglSurfacelessContextCurrent()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    constBufferRingInit(1 << 22);
    ResourceManagerStorage store;
    std::vector<EngineComponent*> components;
    currentResources = &store;
    currentComponents = &components;

    auto* randomizer = static_cast<instancemodifierrandomizerfx*>(instancemodifierrandomizerfx::Create("Randomizer"));
    auto* replicator = static_cast<replicatorfx*>(replicatorfx::Create("Replicator"));
    auto* capture = static_cast<shadowmapcapturefx*>(shadowmapcapturefx::Create("Capture"));
    auto* fromLight = static_cast<instancinglightfx*>(instancinglightfx::Create("FromLight"));
    components = {randomizer, replicator, capture, fromLight};
    randomizer->Init();
    capture->Init();
    for (int i = 0; i < 3; ++i) {
        randomizer->falloffRadius.value[i] = 200.0f;
        replicator->instancePosition.value[i] = 1.0f;
        replicator->instanceScale.value[i] = 1.0f;
    }
    replicator->replicas.value[0] = 100.0f;
    replicator->replicas.value[1] = 100.0f;
    replicator->replicas.value[2] = 10.0f;
    replicator->imPin->links = {randomizer->outputs[0]->id};
    fromLight->replicas.value[0] = 100000.0f;
    fromLight->imPin->links = {randomizer->outputs[0]->id};
    fromLight->entityPin->links = {capture->outputs[0]->id};

    // The capture's light sees a slanted surface over its whole map.
    Light* light = capture->light;
    const int side = int(light->shadowMapWidth);
    Texture* depth = txtCreateTarget("InstancingBenchDepth", side, side, IMAGE_TYPE_DEPTH32F);
    std::vector<float> texels(size_t(side) * side);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            texels[size_t(y) * side + x] = 0.9f + 0.09f * float(x) / float(side);
    glTextureSubImage2D(depth->glId, 0, 0, 0, side, side, GL_DEPTH_COMPONENT, GL_FLOAT, texels.data());
    fbAttach(light->shadowFramebuffers[0], FB_ATTACHMENT_DEPTH, depth);
    light->projection.m[14] = 1.0f;
    light->projection.m[15] = 0.0f;
    const Matrix model = capture->BoundsMatrix();
    capture->RegisterBounds(nullptr, &model, Renderer::PASS_GEOMETRY, Timestep{});
    capture->ConvertToMask(Timestep{});

    GLuint floorTexture = 0;
    glCreateTextures(GL_TEXTURE_2D, 1, &floorTexture);
    glTextureStorage2D(floorTexture, 1, GL_RGBA16F, kFloorWidth, kFloorHeight);
    ShaderProgram* floor =
        shaderBuildProgramCompute(shaderBuildGenericFromString("InstancingBenchFloor", kFloorCompute, GL_COMPUTE_SHADER, {}));

    // Milliseconds: replicator frame (generate, upload, randomise), the randomise pass alone, the placement from
    // the light (with the randomise pass), the floor.
    double totals[4] = {};
    const Timestep time{1.0f, 0.016f, false};
    for (auto _ : state) {
        curveTextureNextRow = 0; // as every graph render starts
        RenderItemBuilder builder;
        totals[0] += finishedMs([&] {
            randomizer->Execute(builder, time);
            replicator->Execute(builder, time);
        });
        totals[1] += finishedMs([&] { replicator->set->ApplyModifiers(replicator->chain, time); });
        totals[2] += finishedMs([&] { fromLight->PlaceInstances(time); });
        totals[3] += finishedMs([&] {
            shaderUseProgram(floor);
            glBindImageTexture(0, floorTexture, 0, GL_FALSE, 0, GL_WRITE_ONLY, GL_RGBA16F);
            glDispatchCompute((kFloorWidth + 7) / 8, (kFloorHeight + 7) / 8, 1);
        });
    }
    const double n = double(state.iterations());
    state.counters["Instances"] = double(replicator->set->count);
    state.counters["Replicator frame ms"] = totals[0] / n;
    state.counters["Randomise pass ms"] = totals[1] / n;
    state.counters["Light placement ms"] = totals[2] / n;
    state.counters["Floor ms"] = totals[3] / n;
    state.counters["Replicator frame / floor"] = totals[0] / totals[3];
    state.counters["Randomise / floor"] = totals[1] / totals[3];
    state.counters["Light placement / floor"] = totals[2] / totals[3];

    shaderUseProgram(nullptr);
    shaderDeleteProgram(floor);
    glDeleteTextures(1, &floorTexture);
    for (EngineComponent* component : components)
        delete component;
    txtDestroy(depth);
    currentComponents = nullptr;
    currentResources = nullptr;
    constBufferRingShutdown();
}
BENCHMARK(BM_HundredThousandInstancesAgainstComputeFloor)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace
