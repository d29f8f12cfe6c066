// One particle container full of live particles (a primitive emitter and a velocity modifier joined into its
// lifecycle program) at 30,000 and 1,000,000 slots: the lifecycle dispatch and the instanced (tetrahedra into the
// G-buffer) and blended (additive quads) draws per frame, each against a bare full-screen pass of its kind at
// 1920 x 1080 timed in the same run. Runs on an EGL surfaceless context (Mesa), no display needed.
#include "app/data_files.h"
#include "bench/bench_gl.h"
#include "components/component_table.h"
#include "components/particles.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "project/component_table.h"
#include "project/project.h"
#include "render/composite.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/scene.h"
#include "render/shader_inputs.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <chrono>
#include <vector>

using namespace gl;

namespace {

using benchgl::makeContextCurrent;
using benchgl::kFloorCompute;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

using benchgl::finishedMs;

template <typename T>
T* make(std::vector<EngineComponent*>& list, int row, const std::string& name)
{
    EngineComponent* component = componentTypeTable[row].factory(name);
    list.push_back(component);
    return static_cast<T*>(component);
}

void BM_ParticlesAgainstFloor(benchmark::State& state)
{
    if (!makeContextCurrent()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    static const bool installed = (componentTypesInstallFactories(), true);
    (void)installed;
    screenWidth = kWidth;
    screenHeight = kHeight;
    dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
    constBufferRingInit(1 << 24);
    rendererInitGlobalInputs();
    deferredReleaseTargets();
    deferredRenderInit();
    deferredCreateTargets();
    deferredAttachFrameTargets();

    std::vector<EngineComponent*> components;
    std::vector<EngineComponent*>* savedComponents = currentComponents;
    currentComponents = &components;
    auto* container = make<particlecontainerfx>(components, 11, "Particles");
    auto* emitter = make<particleemitterprimitivefx>(components, 12, "Emitter");
    auto* velocity = make<particlemodifiervelocityfx>(components, 19, "Velocity");
    auto* instanced = make<ParticleRenderer>(components, 15, "Tetrahedra");
    auto* blended = make<ParticleRenderer>(components, 16, "Quads");
    container->maxParticles.value[0] = float(state.range(0));
    container->maxLifetime.value[0] = 1000.0f;
    emitter->lifetime.value[0] = 1000.0f;
    emitter->emissionRate.value[0] = 10000.0f;
    for (int axis = 0; axis < 3; ++axis)
        emitter->radius.value[axis] = 10.0f;
    velocity->velocity.value[1] = 0.001f;
    for (EngineComponent* producer : {static_cast<EngineComponent*>(emitter), static_cast<EngineComponent*>(velocity)})
        container->modifierPin->links.push_back(producer->declaredOutputs[0]->id);
    for (ParticleRenderer* renderer : {instanced, blended})
        renderer->particlesPin->links = {container->particlesPin->id};
    for (EngineComponent* component : components)
        component->Init();

    Camera camera;
    camera.fov = 60.0f;
    camera.aspect = float(kWidth) / kHeight;
    camera.nearPlane = 0.1f;
    camera.farPlane = 100.0f;
    camera.position = {0.0f, 0.0f, -30.0f};
    entSetupTransformation(&camera);
    camera.view = camera.world.InverseAffine();

    // One frame: the producers write their blocks, the container records the step, the lifecycle runs, both
    // renderers draw. The first frame's step fills every slot.
    const Matrix identity;
    double times[4] = {};
    auto frame = [&](float delta) {
        RenderItemBuilder builder;
        Timestep step;
        step.delta = delta;
        resetMaterialTable();
        emitter->Execute(builder, step);
        velocity->Execute(builder, step);
        container->Execute(builder, step);
        instanced->Execute(builder, step);
        blended->Execute(builder, step);
        times[0] = finishedMs([&] { container->UpdateForRendering(); });
        fbPush();
        setcurrent(deferredFindFramebuffer("deferred_deep"));
        times[1] = finishedMs([&] { instanced->Render(&camera, &identity, Renderer::PASS_DEFERRED, step); });
        fbPop();
        fbPush();
        setcurrent(deferredFindFramebuffer("deferred_particles"));
        times[2] = finishedMs([&] { blended->Render(&camera, &identity, Renderer::PASS_DEFERRED, step); });
        fbPop();
    };
    frame(1000.0f);
    frame(1.0f / 60.0f);

    ShaderProgram* floorCompute = shaderBuildProgramCompute(
        shaderBuildGenericFromString("particles floor compute", kFloorCompute, GL_COMPUTE_SHADER, {}));
    Framebuffer* floorTarget = fbCreate("ParticlesBenchFloor");
    Texture* floorTexture = txtCreateTarget("ParticlesBenchFloor", kWidth, kHeight, IMAGE_TYPE_RGBA16F);
    fbAttach(floorTarget, FB_ATTACHMENT_COLOR0, floorTexture);
    Texture* source = deferredRenderer.txtBlendedParticles;

    // Lifecycle, instanced draw, blended draw, compute floor, fragment floor.
    double totals[5] = {};
    int64_t frames = 0;
    for (auto _ : state) {
        frame(1.0f / 60.0f);
        times[3] = finishedMs([&] {
            shaderUseProgram(floorCompute);
            glBindImageTexture(0, floorTexture->glId, 0, GL_FALSE, 0, GL_WRITE_ONLY, GL_RGBA16F);
            glDispatchCompute((kWidth + 7) / 8, (kHeight + 7) / 8, 1);
            glMemoryBarrier(GL_SHADER_IMAGE_ACCESS_BARRIER_BIT);
        });
        double fragmentFloor = finishedMs([&] { compositeBuiltin(floorTarget, 0, source, nullptr); });
        for (int p = 0; p < 4; ++p)
            totals[p] += times[p];
        totals[4] += fragmentFloor;
        ++frames;
    }
    // Live particles at the end, read back once (outside the timing).
    std::vector<float> states(size_t(container->capacity) * 4);
    glGetNamedBufferSubData(container->states->glId, 0, GLsizeiptr(states.size() * sizeof(float)), states.data());
    int64_t live = 0;
    for (size_t i = 0; i < states.size(); i += 4)
        live += states[i + 1] > 0.0f && states[i] >= 0.0f && states[i] < states[i + 1];

    shaderUseProgram(nullptr);
    shaderDeleteProgram(floorCompute);
    fbDestroy(floorTarget);
    txtDestroy(floorTexture);
    for (EngineComponent* component : components)
        delete component;
    currentComponents = savedComponents;
    deferredReleaseTargets();
    if (!frames)
        return;
    const char* const names[] = {"Lifecycle ms", "Instanced draw ms", "Blended draw ms", "Compute floor ms",
                                 "Fragment floor ms"};
    for (int p = 0; p < 5; ++p)
        state.counters[names[p]] = totals[p] / double(frames);
    state.counters["Lifecycle / compute floor"] = totals[0] / totals[3];
    state.counters["Instanced / fragment floor"] = totals[1] / totals[4];
    state.counters["Blended / fragment floor"] = totals[2] / totals[4];
    state.counters["Live particles"] = double(live);
}
BENCHMARK(BM_ParticlesAgainstFloor)->Arg(30000)->Arg(1000000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace
