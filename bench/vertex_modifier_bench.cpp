// A primitive (a 64 x 64 torus) with four noise vertex modifiers linked, next to the same primitive without them:
// BM_ModifiedPrimitiveCpu is the CPU cost of one frame's Executes (the primitive, and the modifiers with their block
// uploads for one pass); BM_ModifiedPrimitiveDraw times (wall time between glFinish calls) the primitive's Deferred
// draw into a 1920 x 1080 target and, in the same iterations, a bare full-screen fragment pass into the same target
// (the floor), reporting the draw as a multiple of it. Runs on an EGL surfaceless context (Mesa).
#include "tests/deferred_scene_util.h"

#include "app/data_files.h"
#include "components/component_table.h"
#include "components/primitive_renderer.h"
#include "components/primitive_shapes.h"
#include "components/vertex_modifiers.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_shader.h"
#include "project/component_table.h"
#include "project/curve_texture.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/shader_inputs.h"
#include "tests/egl_context.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using namespace gl;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kModifiers = 4;

const char* const kFloorVertex = R"(#version 430
void main()
{
    vec2 corner = vec2((gl_VertexID << 1) & 2, gl_VertexID & 2);
    gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";
const char* const kFloorFragment = R"(#version 430
out vec4 color;
void main()
{
    color = vec4(fract(gl_FragCoord.xy * 0.01), 0.5, 1.0);
}
)";

// The graph of the benchmark, made once: two torus primitives under one holder, four noise modifiers linked to
// the first, a 1920 x 1080 colour and depth target, and the floor's program.
struct ModifierScene {
    ResourceManagerStorage store;
    std::vector<EngineComponent*> components;
    primitivefx* primitives[2] = {}; // [0] without modifiers, [1] with them
    std::vector<vertexmodifiernoisefx*> noises;
    Camera camera;
    GLuint textures[2] = {};
    GLuint framebuffer = 0;
    GLuint vao = 0;
    ShaderProgram* floor = nullptr;
    bool ready = false;

    ModifierScene()
    {
        if (!eglSurfacelessContextCurrent())
            return;
        glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
        screenWidth = kWidth;
        screenHeight = kHeight;
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        constBufferRingInit(1 << 24);
        rendererInitGlobalInputs();
        deferredRenderInit();
        componentTypesInstallFactories();
        currentResources = &store;
        currentComponents = &components;

        EngineComponent* holder = make(9, "holder");
        for (int k = 0; k < 2; ++k) {
            auto* torus = static_cast<primitivefx*>(make(30, "torus " + std::to_string(k)));
            torus->type.value[0] = float(PRIMITIVE_TORUS);
            torus->subdivisions1.value[0] = torus->subdivisions2.value[0] = 64.0f;
            torus->radius2.value[0] = 3.0f;
            torus->Init();
            holder->childPin->links.push_back(torus->entityPin->id);
            primitives[k] = torus;
        }
        for (int i = 0; i < kModifiers; ++i) {
            auto* noise = static_cast<vertexmodifiernoisefx*>(make(38, "noise " + std::to_string(i)));
            noise->Init();
            for (int a = 0; a < 3; ++a)
                noise->radius.value[a] = 14.0f;
            noise->position.value[0] = float(i) - 1.5f;
            primitives[1]->vmPin->links.push_back(noise->outputs[0]->id);
            noises.push_back(noise);
        }
        primitives[1]->OnInputChanged(primitives[1]->vmPin->id);
        deferredscene::placeCamera(camera, {0, 0, -30}, {0, 0, 0}, float(kWidth) / float(kHeight));

        glCreateTextures(GL_TEXTURE_2D, 2, textures);
        glTextureStorage2D(textures[0], 1, GL_RGBA16F, kWidth, kHeight);
        glTextureStorage2D(textures[1], 1, GL_DEPTH_COMPONENT32F, kWidth, kHeight);
        glCreateFramebuffers(1, &framebuffer);
        glNamedFramebufferTexture(framebuffer, GL_COLOR_ATTACHMENT0, textures[0], 0);
        glNamedFramebufferTexture(framebuffer, GL_DEPTH_ATTACHMENT, textures[1], 0);
        glCreateVertexArrays(1, &vao);
        floor = shaderBuildProgramFromStrings("floor fragment", kFloorVertex, kFloorFragment, {});

        // Past the injection countdown, and every program built by one draw of each.
        for (int i = 0; i < kPrimitiveRebuildDelay; ++i)
            executeFrame(1);
        for (int k = 0; k < 2; ++k) {
            executeFrame(k);
            draw(k);
        }
        glFinish();
        ready = floor && !floor->errors && primitives[1]->vertexModifierBuffers.size() == size_t(kModifiers);
    }

    EngineComponent* make(int row, const std::string& name)
    {
        EngineComponent* component = componentTypeTable[row].factory(name);
        component->CreateChildPin();
        component->CreateEntityPin();
        components.push_back(component);
        return component;
    }

    // One frame's Executes of primitive k (with the modifiers when it has them) and one pass's block uploads.
    void executeFrame(int k)
    {
        curveTextureNextRow = 0; // as every graph render starts
        resetMaterialTable();
        RenderItemBuilder builder;
        if (k == 1) {
            const Matrix world;
            for (vertexmodifiernoisefx* noise : noises) {
                noise->Execute(builder, Timestep{});
                noise->Render(nullptr, &world, Renderer::PASS_DEFERRED, Timestep{});
            }
        }
        primitives[k]->Execute(builder, Timestep{});
        deferredUpdateMaterials();
    }

    void draw(int k)
    {
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glViewport(0, 0, kWidth, kHeight);
        const float clear[4] = {0, 0, 0, 0}, far = 1.0f;
        glClearBufferfv(GL_COLOR, 0, clear);
        glClearBufferfv(GL_DEPTH, 0, &far);
        renderStatePush(RenderState{});
        const Matrix world;
        primitives[k]->Render(&camera, &world, Renderer::PASS_DEFERRED, Timestep{});
        renderStatePop();
    }

    void drawFloor()
    {
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glViewport(0, 0, kWidth, kHeight);
        renderStatePush(RenderState{});
        glDisable(GL_DEPTH_TEST);
        shaderUseProgram(floor);
        glBindVertexArray(vao);
        glDrawArrays(GL_TRIANGLES, 0, 3);
        glBindVertexArray(0);
        renderStatePop();
    }
};

ModifierScene* scene()
{
    static ModifierScene* made = new ModifierScene(); // kept for the process: its GL objects outlive the runs
    return made->ready ? made : nullptr;
}

double secondsOf(const std::function<void()>& work)
{
    glFinish();
    const auto start = std::chrono::steady_clock::now();
    work();
    glFinish();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_ModifiedPrimitiveCpu(benchmark::State& state)
{
    ModifierScene* s = scene();
    if (!s) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context, or the scene did not build");
        return;
    }
    const int k = int(state.range(0));
    int64_t n = 0;
    for (auto _ : state) {
        s->executeFrame(k);
        if (++n % 256 == 0)
            glFlush();
    }
    glFinish();
    state.SetLabel(k ? "4 noise modifiers" : "no modifiers");
}
BENCHMARK(BM_ModifiedPrimitiveCpu)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_ModifiedPrimitiveDraw(benchmark::State& state)
{
    ModifierScene* s = scene();
    if (!s) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context, or the scene did not build");
        return;
    }
    const int k = int(state.range(0));
    s->executeFrame(k);
    double drawSeconds = 0.0, floorSeconds = 0.0;
    for (auto _ : state) {
        const double seconds = secondsOf([&] { s->draw(k); });
        floorSeconds += secondsOf([&] { s->drawFloor(); });
        drawSeconds += seconds;
        state.SetIterationTime(seconds);
    }
    const double n = double(state.iterations());
    state.counters["draw_ms"] = drawSeconds / n * 1e3;
    state.counters["floor_ms"] = floorSeconds / n * 1e3;
    state.counters["x_floor"] = floorSeconds > 0.0 ? drawSeconds / floorSeconds : 0.0;
    state.SetLabel(k ? "4 noise modifiers" : "no modifiers");
}
BENCHMARK(BM_ModifiedPrimitiveDraw)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Repetitions(3);

} // namespace
