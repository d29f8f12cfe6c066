// "VoxelLightingParams" (36 bytes, std140): the voxelizer's lighting settings for the voxel lighting pass and its
// blur, and the voxel grid's sampling helpers shared with the volumetric fog.
// Needs raytrace_buffers.glsl with RT_BUFFERS_BOUNDS (the grid's box) first.

#ifndef DEFERRED_VOXEL_LIGHTING_PARAMS_GLSL
#define DEFERRED_VOXEL_LIGHTING_PARAMS_GLSL

layout(std140) uniform VoxelLightingParams
{
    float smoothingPosition;   // blur: how fast weight drops with distance between surfaces (per view unit)
    float smoothingNormal;     // blur: exponent on the normals' agreement
    float smoothingColor;      // blur: how fast weight drops with colour difference
    float lightFalloff;        // gathered light fades as 1 / (1 + falloff x distance)
    float occlusionFalloff;    // occluders count less as 1 / (1 + falloff x distance)
    float traceDistanceScale;  // cone step, in voxel cells
    float traceMaxRange;       // cone length, in world units
    float reprojectionTolerance; // relative depth change under which the history is kept
    int passIndex;             // 0 lighting, 1 blur
} voxelLighting;

// The voxel grid's box; false when no grid has been built (empty or inverted box).
bool voxelGridBox(out vec3 boxMin, out vec3 boxSize)
{
    boxMin = grid_bounds[RT_GRID_VOXEL].bbox_min.xyz;
    boxSize = grid_bounds[RT_GRID_VOXEL].bbox_max.xyz - boxMin;
    return all(greaterThan(boxSize, vec3(1e-6))) && !any(isnan(boxSize)) && !any(isinf(boxSize));
}

#endif // DEFERRED_VOXEL_LIGHTING_PARAMS_GLSL
