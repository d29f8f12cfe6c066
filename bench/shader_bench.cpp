// Shader programs: a rebuild that hits the compile cache, and the per-draw path of binding a program's blocks
// and uploading its uniforms. Runs on an EGL surfaceless context (Mesa), no display needed.
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "tests/egl_context.h"

#include <benchmark/benchmark.h>
#include <glbinding/gl/gl.h>

#include <string>
#include <vector>

using namespace gl;

namespace {

bool makeContextCurrent()
{
    return eglSurfacelessContextCurrent();
}

const char* const kVertex = R"(#version 430
uniform mat4 mProjection;
uniform mat4 mModelview;
void main() { gl_Position = mProjection * mModelview * vec4(float(gl_VertexID), 0.0, 0.0, 1.0); }
)";

const char* const kFragment = R"(#version 430
uniform vec4 tint = vec4(1.0);
uniform float exposure = 1.0;
out vec4 color;
void main() { color = tint * exposure; }
)";

// 20 plain uniforms and 6 blocks: three storage blocks fed by buffers, one by host data, two uniform blocks.
std::string computeWithBlocks()
{
    std::string source = "#version 430\nlayout(local_size_x = 64) in;\n";
    std::string sum = "0.0";
    for (int i = 0; i < 20; ++i) {
        const char* type = i % 4 == 0 ? "mat4" : i % 4 == 1 ? "vec4" : i % 4 == 2 ? "vec3" : "float";
        source += std::string("uniform ") + type + " value" + std::to_string(i) + ";\n";
        const std::string use = i % 4 == 0 ? "[0].x" : i % 4 == 3 ? "" : ".x";
        sum += " + value" + std::to_string(i) + use;
    }
    source += R"(layout(std430) readonly buffer Positions { vec4 positions[]; };
layout(std430) readonly buffer Velocities { vec4 velocities[]; };
layout(std430) buffer Results { vec4 results[]; };
layout(std430) readonly buffer Params { vec4 params[4]; };
layout(std140) uniform Frame { mat4 frameMatrix; vec4 frameTime; };
layout(std140) uniform Lights { vec4 lights[16]; };
void main()
{
    uint i = gl_GlobalInvocationID.x;
    if (i >= uint(results.length()))
        return;
    results[i] = positions[i] + velocities[i] * params[0] + frameMatrix * lights[i % 16u] * frameTime.x + vec4()" +
              sum + ");\n}\n";
    return source;
}

void BM_ProgramBuildCacheHit(benchmark::State& state)
{
    if (!makeContextCurrent()) {
        state.SkipWithError("no EGL surfaceless OpenGL context");
        return;
    }
    shaderDeleteProgram(shaderBuildProgramFromStrings("bench", kVertex, kFragment, {})); // fills the cache
    for (auto _ : state) {
        ShaderProgram* program = shaderBuildProgramFromStrings("bench", kVertex, kFragment, {});
        benchmark::DoNotOptimize(program->glProgramId);
        shaderDeleteProgram(program);
    }
}
BENCHMARK(BM_ProgramBuildCacheHit)->Unit(benchmark::kMicrosecond);

// Only the stage: expansion, the cache key's hash and comparison, and the copy of the cached uniforms.
void BM_StageBuildCacheHit(benchmark::State& state)
{
    if (!makeContextCurrent()) {
        state.SkipWithError("no EGL surfaceless OpenGL context");
        return;
    }
    delete shaderBuildGenericFromString("bench", kFragment, GL_FRAGMENT_SHADER, {});
    for (auto _ : state)
        delete shaderBuildGenericFromString("bench", kFragment, GL_FRAGMENT_SHADER, {});
}
BENCHMARK(BM_StageBuildCacheHit)->Unit(benchmark::kMicrosecond);

void BM_BindBuffersAndUseProgram(benchmark::State& state)
{
    if (!makeContextCurrent() || !constBufferRingInit()) {
        state.SkipWithError("no EGL surfaceless OpenGL context");
        return;
    }
    ShaderProgram* program = shaderBuildProgramCompute(
        shaderBuildGenericFromString("blocks", computeWithBlocks(), GL_COMPUTE_SHADER, {}));
    if (!program || program->errors || program->uniforms.size() != 20 ||
        program->storageBlocks.size() + program->uniformBlocks.size() != 6) {
        state.SkipWithError("benchmark program did not build as intended");
        shaderDeleteProgram(program);
        return;
    }
    std::vector<BufferObject*> buffers = {boCreateGpuOnly("positions", 1 << 16), boCreateGpuOnly("velocities", 1 << 16),
                                          boCreateGpuOnly("results", 1 << 16)};
    const float params[16] = {1.0f};
    const float frame[20] = {1.0f};
    const float lights[64] = {1.0f};
    BufferBindings bindings;
    shaderBindingsAddBuffer(bindings, "Positions", buffers[0]);
    shaderBindingsAddBuffer(bindings, "Velocities", buffers[1]);
    shaderBindingsAddBuffer(bindings, "Results", buffers[2]);
    shaderBindingsAddData(bindings, "Params", params, sizeof(params));
    shaderBindingsAddData(bindings, "Frame", frame, sizeof(frame));
    shaderBindingsAddData(bindings, "Lights", lights, sizeof(lights));

    int64_t n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(shaderBindBuffers(program, bindings));
        shaderUseProgram(program);
        // A frame's worth of draws, then the frame loop's ring step; llvmpipe also wants its queue handed over.
        if (++n % 1024 == 0) {
            constBufferRingAdvance();
            glFlush();
        }
    }
    shaderUseProgram(nullptr);
    shaderDeleteProgram(program);
    for (BufferObject* buffer : buffers)
        boDelete(buffer);
}
BENCHMARK(BM_BindBuffersAndUseProgram)->Unit(benchmark::kMicrosecond);

} // namespace
