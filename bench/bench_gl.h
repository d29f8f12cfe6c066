#pragma once
// What the GL benchmarks share: one surfaceless context with the engine's clip convention, and the bare compute and
// fragment passes each pass is reported against.

#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "tests/egl_context.h"

#include <glbinding/gl/gl.h>

#include <chrono>

namespace benchgl {

// Made current once per process; false without a GL context.
inline bool makeContextCurrent()
{
    static const bool ok = [] {
        if (!eglSurfacelessContextCurrent())
            return false;
        gl::glClipControl(gl::GL_LOWER_LEFT, gl::GL_ZERO_TO_ONE);
        return true;
    }();
    return ok;
}

// The floor of compute work: one image store per pixel, 8 x 8 groups, bounds-checked.
inline const char* const kFloorCompute = R"(#version 430
layout(local_size_x = 8, local_size_y = 8) in;
layout(rgba16f, binding = 0) uniform writeonly image2D target;
void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    if (any(greaterThanEqual(pixel, imageSize(target))))
        return;
    imageStore(target, pixel, vec4(fract(vec2(pixel) * 0.01), 0.5, 1.0));
}
)";

// Wall time of the GL work `pass` issues, from an idle GPU to an idle GPU. On a software rasteriser this is the
// pass's own cost; timer queries there are taken when commands are queued, not run.
template <typename Pass>
double finishedMs(Pass&& pass)
{
    gl::glFinish();
    const auto start = std::chrono::steady_clock::now();
    pass();
    gl::glFinish();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The two floors: the least a full-screen compute or fragment pass over an RGBA16F image can cost.
struct FloorPasses {
    ShaderProgram* compute = nullptr;
    ShaderProgram* fragment = nullptr;
    Texture* image = nullptr;
    Framebuffer* framebuffer = nullptr;
    gl::GLuint vertexArray = 0;
    int width = 0;
    int height = 0;

    FloorPasses(int w, int h) : width(w), height(h)
    {
        compute = shaderBuildProgramCompute(
            shaderBuildGenericFromString("FloorCompute", kFloorCompute, gl::GL_COMPUTE_SHADER, {}));
        fragment = shaderBuildProgramFromStrings("FloorFragment", R"(#version 430
void main()
{
    // One triangle over the whole screen.
    vec2 corner = vec2(float((gl_VertexID & 1) * 4 - 1), float((gl_VertexID & 2) * 2 - 1));
    gl_Position = vec4(corner, 0.0, 1.0);
}
)",
                                                 R"(#version 430
layout(location = 0) out vec4 outColor;
void main()
{
    outColor = vec4(0.25, 0.5, 0.75, 1.0);
}
)",
                                                 {});
        image = txtCreateNamed("FloorImage", TEXTURE_TYPE_2D, w, h, IMAGE_TYPE_RGBA16F);
        framebuffer = fbCreate("FloorFramebuffer");
        fbAttach(framebuffer, FB_ATTACHMENT_COLOR0, image);
        gl::glCreateVertexArrays(1, &vertexArray);
    }
    ~FloorPasses()
    {
        gl::glDeleteVertexArrays(1, &vertexArray);
        fbDestroy(framebuffer);
        txtDestroy(image);
        shaderDeleteProgram(compute);
        shaderDeleteProgram(fragment);
    }
    FloorPasses(const FloorPasses&) = delete;
    FloorPasses& operator=(const FloorPasses&) = delete;

    bool usable() const
    {
        return compute && !compute->errors && fragment && !fragment->errors && image && framebuffer;
    }

    void runCompute()
    {
        shaderUseProgram(compute);
        gl::glBindImageTexture(0, image->glId, 0, gl::GL_FALSE, 0, gl::GL_WRITE_ONLY, gl::GL_RGBA16F);
        gl::glDispatchCompute(gl::GLuint((width + 7) / 8), gl::GLuint((height + 7) / 8), 1);
        gl::glMemoryBarrier(gl::GL_ALL_BARRIER_BITS);
    }
    void runFragment()
    {
        fbPush();
        fbBind(framebuffer);
        gl::glViewport(0, 0, width, height);
        RenderState state;
        state.cullMode = 2;
        state.depthTest = false;
        state.depthWrite = false;
        renderStatePush(state);
        shaderUseProgram(fragment);
        gl::glBindVertexArray(vertexArray);
        gl::glDrawArrays(gl::GL_TRIANGLES, 0, 3);
        gl::glBindVertexArray(0);
        renderStatePop();
        fbPop();
    }
};

} // namespace benchgl
