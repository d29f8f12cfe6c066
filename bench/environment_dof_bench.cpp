// The environment-cube conversion (1024 x 1024 faces, CPU sampling on the worker pool, mip generation and the 60
// filter passes) and one depth-of-field pass at 1920 x 1080 (COC with its smoothing, then the round gather or the
// two hexagonal passes), each timed next to a bare full-screen compute pass over the same size in the same
// iterations: the "ratio" counter is the time as a multiple of that floor. Runs on an EGL surfaceless context
// (Mesa), no display needed.
#include "app/data_files.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "project/cvars.h"
#include "render/depth_of_field.h"
#include "render/entities.h"
#include "render/environment_map.h"
#include "render/shader_inputs.h"
#include "tests/egl_context.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <chrono>
#include <cstdlib>
#include <vector>

using namespace gl;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

const char* const kFloorCompute = R"(#version 430
layout(local_size_x = 16, local_size_y = 16) in;
layout(rgba16f, binding = 0) uniform writeonly image2D target;
void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    if (any(greaterThanEqual(pixel, imageSize(target))))
        return;
    imageStore(target, pixel, vec4(fract(vec2(pixel) * 0.01), 0.5, 1.0));
}
)";

bool setUp()
{
    static const bool ready = [] {
        if (!eglSurfacelessContextCurrent())
            return false;
        glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
        screenWidth = kWidth;
        screenHeight = kHeight;
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        if (!constBufferRingInit(size_t(1) << 22))
            return false;
        rendererInitGlobalInputs();
        return true;
    }();
    return ready;
}

struct Floor {
    ShaderProgram* program = nullptr;
    Texture* target = nullptr;
    Floor()
    {
        program = shaderBuildProgramCompute(shaderBuildGenericFromString("floor compute", kFloorCompute,
                                                                         GL_COMPUTE_SHADER, {}));
        target = txtCreateTarget("floor target", kWidth, kHeight, IMAGE_TYPE_RGBA16F);
        if (ok())
            run(); // the driver compiles the program on its first dispatch
    }
    ~Floor()
    {
        shaderUseProgram(nullptr);
        shaderDeleteProgram(program);
        txtDestroy(target);
    }
    bool ok() const { return program && !program->errors && target; }
    double run() const
    {
        glFinish();
        const auto start = std::chrono::steady_clock::now();
        shaderUseProgram(program);
        glBindImageTexture(0, target->glId, 0, GL_FALSE, 0, GL_WRITE_ONLY, GL_RGBA16F);
        glDispatchCompute(GLuint(dofGroupCount(kWidth)), GLuint(dofGroupCount(kHeight)), 1);
        glFinish();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

template <typename Work>
double timed(const Work& work)
{
    glFinish();
    const auto start = std::chrono::steady_clock::now();
    work();
    glFinish();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(benchmark::State& state, double work, double floor)
{
    state.counters["floor_ms"] = benchmark::Counter(floor * 1e3 / double(state.iterations()));
    state.counters["ratio"] = benchmark::Counter(floor > 0.0 ? work / floor : 0.0);
}

void BM_EnvmapConversion(benchmark::State& state)
{
    if (!setUp()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    Floor floor;
    Image* sky = imgLoadTypeHDR("textures/envmaps/sky.hdr");
    if (!floor.ok() || !sky) {
        state.SkipWithError("floor program or the generated sky missing");
        imgDestroy(sky);
        return;
    }
    Texture source;
    source.imageCount = 1;
    source.images[0] = sky;
    double work = 0.0, floorTime = 0.0;
    for (auto _ : state) {
        floorTime += floor.run();
        Texture* cube = nullptr;
        const double seconds = timed([&] { cube = txtConvertEquirectangularToCubemap(&source); });
        work += seconds;
        state.SetIterationTime(seconds);
        txtDestroy(cube);
    }
    source.images[0] = nullptr;
    imgDestroy(sky);
    report(state, work, floorTime);
}
BENCHMARK(BM_EnvmapConversion)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_DepthOfFieldPass(benchmark::State& state)
{
    if (!setUp()) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context");
        return;
    }
    Floor floor;
    DepthOfField* dof = DepthOfField::Create("dof_bench");
    Texture* source = txtCreateTarget("dof source", kWidth, kHeight, IMAGE_TYPE_RGBA16F);
    Texture* destination = txtCreateTarget("dof destination", kWidth, kHeight, IMAGE_TYPE_RGBA16F);
    Texture* depth = txtCreate(TEXTURE_TYPE_2D, kWidth, kHeight, IMAGE_TYPE_DEPTH32F);
    txtSetupForGL(depth);
    // Depth falling away from left to right, so most of the frame is blurred by up to the largest radius.
    std::vector<float> ramp(size_t(kWidth) * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            ramp[size_t(y) * kWidth + x] = 0.9f + 0.1f * float(x) / kWidth;
    glTextureSubImage2D(depth->glId, 0, 0, 0, kWidth, kHeight, GL_DEPTH_COMPONENT, GL_FLOAT, ramp.data());
    const float grey[4] = {0.5f, 0.4f, 0.3f, 1.0f};
    glClearTexImage(source->glId, 0, GL_RGBA, GL_FLOAT, grey);
    Camera camera;
    camera.nearPlane = 0.1f;
    camera.farPlane = 1000.0f;
    dof->max_radius.value[0] = 20.0f;
    dof->far_plane.value[0] = 100.0f;
    dof->far_factor.value[0] = 0.05f;
    dof->coc_blur.value[0] = 4.0f;
    const bool hexagonal = state.range(0) != 0;
    auto pass = [&] {
        dof->CalculateCOC(&camera, depth, source);
        if (hexagonal)
            dof->RenderHexagonal(&camera, depth, source, destination);
        else
            dof->Render(&camera, depth, source, destination);
    };
    timed(pass); // first dispatches compile the programs
    double work = 0.0, floorTime = 0.0;
    for (auto _ : state) {
        floorTime += floor.run();
        const double seconds = timed(pass);
        work += seconds;
        state.SetIterationTime(seconds);
    }
    report(state, work, floorTime);
    txtDestroy(source);
    txtDestroy(destination);
    txtDestroy(depth);
    dofDestroy(dof);
}
BENCHMARK(BM_DepthOfFieldPass)->Arg(0)->Arg(1)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
