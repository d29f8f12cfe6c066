// The floor under every pass: one bare full-screen fragment pass and one bare compute pass over the same target, at
// 512 x 288 and 1920 x 1080 in the same run. A renderer pass cannot cost less than these on the driver at hand.
// Runs on an EGL surfaceless context (Mesa), no display needed.
#include "jni/engine/grd_shader.h"
#include "tests/egl_context.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

using namespace gl;

namespace {

constexpr int kGroupSize = 8;

const char* const kVertex = R"(#version 430
void main()
{
    vec2 corner = vec2((gl_VertexID << 1) & 2, gl_VertexID & 2);
    gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";

// A little arithmetic per pixel, so the pass is not a plain clear.
const char* const kFragment = R"(#version 430
out vec4 color;
void main()
{
    color = vec4(fract(gl_FragCoord.xy * 0.01), 0.5, 1.0);
}
)";

const char* const kCompute = R"(#version 430
layout(local_size_x = 8, local_size_y = 8) in;
layout(rgba16f, binding = 0) uniform writeonly image2D target;
void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    // The last groups reach past the edge when the size is not a multiple of the group size.
    if (any(greaterThanEqual(pixel, imageSize(target))))
        return;
    imageStore(target, pixel, vec4(fract(vec2(pixel) * 0.01), 0.5, 1.0));
}
)";

struct Floor {
    GLuint texture = 0;
    GLuint framebuffer = 0;
    GLuint vao = 0;
    ShaderProgram* fragment = nullptr;
    ShaderProgram* compute = nullptr;
    int width = 0;
    int height = 0;

    bool make(int w, int h)
    {
        static const bool context = [] {
            if (!eglSurfacelessContextCurrent())
                return false;
            glClipControl(GL_LOWER_LEFT, GL_ZERO_TO_ONE);
            return true;
        }();
        if (!context)
            return false;
        width = w;
        height = h;
        glCreateTextures(GL_TEXTURE_2D, 1, &texture);
        glTextureStorage2D(texture, 1, GL_RGBA16F, w, h);
        glCreateFramebuffers(1, &framebuffer);
        glNamedFramebufferTexture(framebuffer, GL_COLOR_ATTACHMENT0, texture, 0);
        glCreateVertexArrays(1, &vao);
        fragment = shaderBuildProgramFromStrings("floor fragment", kVertex, kFragment, {});
        compute = shaderBuildProgramCompute(shaderBuildGenericFromString("floor compute", kCompute,
                                                                         GL_COMPUTE_SHADER, {}));
        return fragment && !fragment->errors && compute && !compute->errors;
    }
    ~Floor()
    {
        shaderUseProgram(nullptr);
        shaderDeleteProgram(fragment);
        shaderDeleteProgram(compute);
        glDeleteVertexArrays(1, &vao);
        glDeleteFramebuffers(1, &framebuffer);
        glDeleteTextures(1, &texture);
    }
};

void BM_FullScreenFragmentPass(benchmark::State& state)
{
    Floor floor;
    if (!floor.make(int(state.range(0)), int(state.range(1)))) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context or the programs did not build");
        return;
    }
    glBindFramebuffer(GL_FRAMEBUFFER, floor.framebuffer);
    glViewport(0, 0, floor.width, floor.height);
    glBindVertexArray(floor.vao);
    shaderUseProgram(floor.fragment);
    for (auto _ : state) {
        glDrawArrays(GL_TRIANGLES, 0, 3);
        glFinish();
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    state.counters["Mpixel/s"] =
        benchmark::Counter(double(floor.width) * floor.height * double(state.iterations()) / 1e6,
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FullScreenFragmentPass)->Args({512, 288})->Args({1920, 1080})->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_FullScreenComputePass(benchmark::State& state)
{
    Floor floor;
    if (!floor.make(int(state.range(0)), int(state.range(1)))) {
        state.SkipWithError("no EGL surfaceless OpenGL 4.5 core context or the programs did not build");
        return;
    }
    shaderUseProgram(floor.compute);
    glBindImageTexture(0, floor.texture, 0, GL_FALSE, 0, GL_WRITE_ONLY, GL_RGBA16F);
    const GLuint groupsX = GLuint((floor.width + kGroupSize - 1) / kGroupSize);
    const GLuint groupsY = GLuint((floor.height + kGroupSize - 1) / kGroupSize);
    for (auto _ : state) {
        glDispatchCompute(groupsX, groupsY, 1);
        glFinish();
    }
    state.counters["Mpixel/s"] =
        benchmark::Counter(double(floor.width) * floor.height * double(state.iterations()) / 1e6,
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FullScreenComputePass)->Args({512, 288})->Args({1920, 1080})->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
