#version 430
// A 3 x 3 box blur of the reflection image ("imReflectionSource" into "imReflectionDest") that keeps the
// confidence-weighted colour, for softening reflections of rough surfaces. Built with the reflection pass;
// the pass makes it current afterwards but does not dispatch it.

layout(local_size_x = 16, local_size_y = 16) in;

layout(rgba16f) readonly uniform image2D imReflectionSource;
layout(rgba16f) writeonly uniform image2D imReflectionDest;

void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    ivec2 size = imageSize(imReflectionDest);
    if (any(greaterThanEqual(pixel, size)))
        return;
    vec4 sum = vec4(0.0);
    for (int y = -1; y <= 1; ++y)
        for (int x = -1; x <= 1; ++x)
            sum += imageLoad(imReflectionSource, clamp(pixel + ivec2(x, y), ivec2(0), size - 1));
    imageStore(imReflectionDest, pixel, sum / 9.0);
}
