#version 430
// Voxel global illumination, second step: a joint bilateral blur of the gathered light over
// (2 SEARCH_RANGE + 1)^2 taps SEARCH_STEP pixels apart, weighted by the distance between the surfaces, the
// agreement of their normals and the difference of the gathered colours (the smoothing factors), then blended
// with the previous frame's result where the surface was there before (within the reprojection tolerance).

layout(local_size_x = 8, local_size_y = 4) in;

#ifndef SEARCH_RANGE
#define SEARCH_RANGE 2
#endif
#ifndef SEARCH_STEP
#define SEARCH_STEP 1
#endif

#define RT_BUFFERS_BOUNDS 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/deferred/compute_params.glsl>
#include <shaders/deferred/voxel_lighting_params.glsl>

layout(rgba16f) readonly uniform image2D imAlbedo;
layout(r32ui) readonly uniform uimage2D imNormalMaterial;
layout(rgba16f) readonly uniform image2D imShadows;
layout(rgba16ui) readonly uniform uimage2D imMetalnessRoughnessMaterialTags;
layout(rgba16f) readonly uniform image2D imOcclusion; // the first step's result
uniform sampler3D s_voxel_colors_filtered;
uniform sampler3D s_voxel_occupancy_filtered;
uniform sampler2D sTextureDepth;
uniform sampler2D sTextureDepthPrevious;
uniform sampler2D sTargetPrevious;
layout(rgba16f) writeonly uniform image2D imTarget;

const float kHistoryWeight = 0.85;

void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    if (any(greaterThanEqual(pixel, ivec2(deferred.vTargetSize.xy))))
        return;
    vec2 uv = deferredPixelUV(pixel);
    ivec2 normalSize = imageSize(imNormalMaterial);
    ivec2 depthSize = textureSize(sTextureDepth, 0);
    uint normalMaterial = imageLoad(imNormalMaterial, deferredTexelAt(uv, normalSize)).r;
    float depth = texelFetch(sTextureDepth, deferredTexelAt(uv, depthSize), 0).r;
    if (!gbufferHasSurface(normalMaterial) || depth >= 1.0) {
        imageStore(imTarget, pixel, vec4(0.0));
        return;
    }
    vec3 normal = gbufferDecodeNormal(normalMaterial);
    vec3 position = deferredWorldPosition(uv, depth);
    ivec2 size = imageSize(imOcclusion);
    vec4 centre = imageLoad(imOcclusion, clamp(pixel, ivec2(0), size - 1));

    vec4 sum = vec4(0.0);
    float weights = 0.0;
    for (int y = -SEARCH_RANGE; y <= SEARCH_RANGE; ++y)
        for (int x = -SEARCH_RANGE; x <= SEARCH_RANGE; ++x) {
            ivec2 tap = clamp(pixel + ivec2(x, y) * SEARCH_STEP, ivec2(0), size - 1);
            vec2 tapUV = deferredPixelUV(tap);
            uint tapNormalMaterial = imageLoad(imNormalMaterial, deferredTexelAt(tapUV, normalSize)).r;
            float tapDepth = texelFetch(sTextureDepth, deferredTexelAt(tapUV, depthSize), 0).r;
            if (!gbufferHasSurface(tapNormalMaterial) || tapDepth >= 1.0)
                continue;
            vec4 value = imageLoad(imOcclusion, tap);
            float separation = length(deferredWorldPosition(tapUV, tapDepth) - position);
            float agreement = max(dot(gbufferDecodeNormal(tapNormalMaterial), normal), 0.0);
            float w = exp(-separation * max(voxelLighting.smoothingPosition, 0.0)) *
                      pow(agreement, max(voxelLighting.smoothingNormal, 0.0)) *
                      exp(-length(value.rgb - centre.rgb) * max(voxelLighting.smoothingColor, 0.0));
            sum += value * w;
            weights += w;
        }
    vec4 result = weights > 1e-6 ? sum / weights : centre;

    vec2 previousUV;
    float previousDepth;
    if (deferredPreviousUV(position, previousUV, previousDepth)) {
        float storedDepth = deferredLinearDepth(textureLod(sTextureDepthPrevious, previousUV, 0.0).r);
        float tolerance = max(voxelLighting.reprojectionTolerance, 0.0);
        if (abs(storedDepth - previousDepth) <= tolerance * max(previousDepth, 1e-4)) {
            vec4 history = deferredFinite(textureLod(sTargetPrevious, previousUV, 0.0));
            result = mix(result, history, kHistoryWeight);
        }
    }
    imageStore(imTarget, pixel, deferredFinite(result));
}
