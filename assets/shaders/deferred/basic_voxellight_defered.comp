#version 430
// Voxel global illumination, first step: every surface pixel gathers light from the voxel grid along five cones
// (one along the normal, four tilted 45 degrees), stepping through ever coarser levels of the filtered voxel
// colours and occupancy. Output: rgb the gathered light, a the occlusion (0 open, 1 closed). The blur pass then
// smooths it and blends it over time.

layout(local_size_x = 16, local_size_y = 16) in;

#define RT_BUFFERS_BOUNDS 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/deferred/compute_params.glsl>
#include <shaders/deferred/voxel_lighting_params.glsl>

layout(rgba16f) readonly uniform image2D imAlbedo;
layout(r32ui) readonly uniform uimage2D imNormalMaterial;
layout(rgba16f) readonly uniform image2D imShadows;
layout(rgba16ui) readonly uniform uimage2D imMetalnessRoughnessMaterialTags;
uniform sampler3D s_voxel_colors_filtered;
uniform sampler3D s_voxel_occupancy_filtered;
uniform sampler2D sTextureDepth;
uniform sampler2D sTextureDepthPrevious;
uniform sampler2D sTargetPrevious;
layout(rgba16f) writeonly uniform image2D imTarget;

const int kConeSteps = 12;
const float kConeAperture = 0.577; // tan(30 degrees)

vec4 traceCone(vec3 origin, vec3 direction, vec3 boxMin, vec3 boxSize, float cell)
{
    vec3 light = vec3(0.0);
    float occlusion = 0.0;
    float along = cell * 1.5;
    float maxDistance = max(voxelLighting.traceMaxRange, cell * 2.0);
    float levels = float(textureQueryLevels(s_voxel_colors_filtered));
    for (int i = 0; i < kConeSteps && along < maxDistance && occlusion < 0.98; ++i) {
        vec3 uvw = (origin + direction * along - boxMin) / boxSize;
        if (any(lessThan(uvw, vec3(0.0))) || any(greaterThan(uvw, vec3(1.0))))
            break;
        float diameter = max(2.0 * kConeAperture * along, cell);
        float lod = clamp(log2(diameter / cell), 0.0, max(levels - 1.0, 0.0));
        vec4 colour = textureLod(s_voxel_colors_filtered, uvw, lod);
        float density = clamp(textureLod(s_voxel_occupancy_filtered, uvw, lod).r, 0.0, 1.0);
        float visible = 1.0 - occlusion;
        light += visible * density * colour.rgb / (1.0 + max(voxelLighting.lightFalloff, 0.0) * along);
        occlusion += visible * density / (1.0 + max(voxelLighting.occlusionFalloff, 0.0) * along);
        along += diameter * max(voxelLighting.traceDistanceScale, 0.25);
    }
    return vec4(light, clamp(occlusion, 0.0, 1.0));
}

void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    if (any(greaterThanEqual(pixel, ivec2(deferred.vTargetSize.xy))))
        return;
    vec2 uv = deferredPixelUV(pixel);
    ivec2 gbufferTexel = deferredTexelAt(uv, imageSize(imNormalMaterial));
    uint normalMaterial = imageLoad(imNormalMaterial, gbufferTexel).r;
    float depth = texelFetch(sTextureDepth, deferredTexelAt(uv, textureSize(sTextureDepth, 0)), 0).r;
    vec3 boxMin;
    vec3 boxSize;
    if (!gbufferHasSurface(normalMaterial) || depth >= 1.0 || !voxelGridBox(boxMin, boxSize)) {
        imageStore(imTarget, pixel, vec4(0.0));
        return;
    }

    vec3 normal = gbufferDecodeNormal(normalMaterial);
    float cell = max(max(boxSize.x, boxSize.y), boxSize.z) / float(RT_GRID_RESOLUTION);
    vec3 origin = deferredWorldPosition(uv, depth) + normal * cell;
    vec3 tangent = commonsSafeNormalize(cross(normal, abs(normal.y) < 0.9 ? vec3(0.0, 1.0, 0.0) : vec3(1.0, 0.0, 0.0)),
                                        vec3(1.0, 0.0, 0.0));
    vec3 bitangent = cross(normal, tangent);

    vec4 sum = traceCone(origin, normal, boxMin, boxSize, cell);
    float weight = 1.0;
    for (int i = 0; i < 4; ++i) {
        float angle = float(i) * 1.5707963;
        vec3 side = tangent * cos(angle) + bitangent * sin(angle);
        vec4 cone = traceCone(origin, normalize(normal + side), boxMin, boxSize, cell);
        sum += cone * 0.707;
        weight += 0.707;
    }
    imageStore(imTarget, pixel, deferredFinite(sum / weight));
}
