// Which G-buffer pixels the raytracer traces: surfaces whose material asks for ray tracing or for traced
// reflections. The stencil copy marks them and the composite's "RTMask" view shows them, so both read it here.
// Needs commons.glsl (MaterialFlag_*) first.

#ifndef DEFERRED_RAYTRACE_MASK_GLSL
#define DEFERRED_RAYTRACE_MASK_GLSL

bool deferredWantsRaytrace(uvec4 metalnessRoughnessTags)
{
    return (metalnessRoughnessTags.a & GBUFFER_TAG_SURFACE) != 0u &&
           (gbufferDecodeMaterialFlags(metalnessRoughnessTags) & (MaterialFlag_Raytrace | MaterialFlag_Reflect)) != 0u;
}

#endif // DEFERRED_RAYTRACE_MASK_GLSL
