#version 430
// Marks the pixels the raytracer traces: every fragment that survives writes the stencil reference (1); the
// others are discarded. Reads only gl_FragCoord, so it works with any full-screen vertex stage.

#include <shaders/materials/commons.glsl>
#include <shaders/deferred/raytrace_mask.glsl>

layout(rgba16ui) readonly uniform uimage2D imMetalnessRoughnessMaterialTags;

void main()
{
    ivec2 pixel = ivec2(gl_FragCoord.xy);
    if (any(greaterThanEqual(pixel, imageSize(imMetalnessRoughnessMaterialTags))))
        discard;
    if (!deferredWantsRaytrace(imageLoad(imMetalnessRoughnessMaterialTags, pixel)))
        discard;
}
