#version 430
// Volumetric fog lit by the voxel grid: the view ray of every pixel is marched from the camera to the surface
// (at most the trace range), in steps of "trace step" voxel cells with a per-pixel jitter. Where the grid is
// occupied the medium scatters the filtered voxel light back toward the camera ("scattering") and absorbs what
// lies behind ("occlusion falloff"). Output: rgb the scattered light, a the fog's opacity (0 clear), blended with
// the previous frame's fog where the ray's end was on screen at a matching depth.

layout(local_size_x = 16, local_size_y = 16) in;

#define RT_BUFFERS_BOUNDS 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/deferred/compute_params.glsl>

layout(std140) uniform VoxelFogParams
{
    float smoothingPosition;
    float smoothingNormal;
    float smoothingColor;
    float lightFalloff;          // scattered light fades as 1 / (1 + falloff x distance)
    float occlusionFalloff;      // extinction per unit of occupancy and distance
    float traceDistanceScale;
    float traceMaxRange;         // longest march, in world units
    float reprojectionTolerance; // relative depth change under which the history is kept
    float scattering;
    float samplingMip;           // voxel level the march reads
    float traceStep;             // step length in voxel cells
    float reserved;
} fogParams;

layout(r32ui) readonly uniform uimage2D imNormalMaterial;
layout(rgba16ui) readonly uniform uimage2D imMetalnessRoughnessMaterialTags;
uniform sampler3D s_voxel_colors_filtered;
uniform sampler3D s_voxel_occupancy_filtered;
uniform sampler2D sTextureDepth;
uniform sampler2D sTextureDepthPrevious;
uniform sampler2D sTargetPrevious;
layout(rgba16f) writeonly uniform image2D imTarget;

const int kMaxSteps = 64;
const float kHistoryWeight = 0.9;

void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    if (any(greaterThanEqual(pixel, ivec2(deferred.vTargetSize.xy))))
        return;
    vec2 uv = deferredPixelUV(pixel);

    vec3 boxMin = grid_bounds[RT_GRID_VOXEL].bbox_min.xyz;
    vec3 boxSize = grid_bounds[RT_GRID_VOXEL].bbox_max.xyz - boxMin;
    if (!all(greaterThan(boxSize, vec3(1e-6))) || any(isnan(boxSize)) || any(isinf(boxSize))) {
        imageStore(imTarget, pixel, vec4(0.0));
        return;
    }

    float depth = texelFetch(sTextureDepth, deferredTexelAt(uv, textureSize(sTextureDepth, 0)), 0).r;
    vec3 end = deferredWorldPosition(uv, depth);
    vec3 start = deferred.vCameraPosition;
    float range = max(fogParams.traceMaxRange, 0.0);
    float rayLength = min(distance(start, end), range);
    vec3 direction = commonsSafeNormalize(end - start, vec3(0.0, 0.0, 1.0));
    float cell = max(max(boxSize.x, boxSize.y), boxSize.z) / float(RT_GRID_RESOLUTION);
    float stepLength = max(cell * max(fogParams.traceStep, 0.5), rayLength / float(kMaxSteps));
    int steps = stepLength > 0.0 ? min(int(ceil(rayLength / stepLength)), kMaxSteps) : 0;
    float lod = clamp(fogParams.samplingMip, 0.0, float(textureQueryLevels(s_voxel_colors_filtered) - 1));
    float jitter = deferredPixelNoise(pixel, 0.0);

    vec3 scattered = vec3(0.0);
    float transmittance = 1.0;
    for (int i = 0; i < steps && transmittance > 0.01; ++i) {
        float t = (float(i) + jitter) * stepLength;
        vec3 uvw = (start + direction * t - boxMin) / boxSize;
        if (any(lessThan(uvw, vec3(0.0))) || any(greaterThan(uvw, vec3(1.0))))
            continue;
        float density = clamp(textureLod(s_voxel_occupancy_filtered, uvw, lod).r, 0.0, 1.0);
        if (density <= 0.0)
            continue;
        vec3 light = textureLod(s_voxel_colors_filtered, uvw, lod).rgb;
        float extinction = density * max(fogParams.occlusionFalloff, 0.0) * stepLength;
        scattered += transmittance * light * density * max(fogParams.scattering, 0.0) * stepLength /
                     (1.0 + max(fogParams.lightFalloff, 0.0) * t);
        transmittance *= exp(-extinction);
    }
    vec4 result = vec4(scattered, 1.0 - transmittance);

    vec2 previousUV;
    float previousDepth;
    if (deferredPreviousUV(end, previousUV, previousDepth)) {
        float storedDepth = deferredLinearDepth(textureLod(sTextureDepthPrevious, previousUV, 0.0).r);
        float tolerance = max(fogParams.reprojectionTolerance, 0.0);
        if (abs(storedDepth - previousDepth) <= tolerance * max(previousDepth, 1e-4))
            result = mix(result, deferredFinite(textureLod(sTargetPrevious, previousUV, 0.0)), kHistoryWeight);
    }
    imageStore(imTarget, pixel, deferredFinite(result));
}
