#pragma once
// What the GL benchmarks share: one surfaceless context with the engine's clip convention, and the bare compute
// pass each compute pass is reported against.

#include "tests/egl_context.h"

#include <glbinding/gl/gl.h>

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

} // namespace benchgl
