#version 430
// Bounding box of one grid (the tracing grid or the voxel grid, per "CalculateBoundingBoxParamsBuffer"): one work
// group reduces the exported positions of the frame, or takes the fixed box when the grid's box is not automatic
// or nothing was exported, and writes the grid's RTGridBounds (raytrace_buffers.glsl): the box, slightly padded
// so that no face lies on its boundary, and the size of one of its 256^3 cells.

layout(local_size_x = 256) in;

#define RT_BUFFERS_VERTICES 1
#define RT_BUFFERS_BOUNDS 1
#define RT_BUFFERS_LOCATIONS 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/materials/raytrace_commons.glsl>

layout(std430) readonly buffer CalculateBoundingBoxParamsBuffer
{
    vec4 bbox_fixed_min;     // xyz: the box when it is not computed
    vec4 bbox_fixed_max;
    ivec4 bbox_params_flags; // x: exports of the frame (0: fixed box), y: 1 tracing grid, z: 1 voxel grid
};

shared int sharedMin[3];
shared int sharedMax[3];

void main()
{
    int grid = bbox_params_flags.z != 0 ? RT_GRID_VOXEL : RT_GRID_TRACE;
    uint lane = gl_LocalInvocationIndex;
    if (lane == 0u) {
        for (int k = 0; k < 3; ++k) {
            sharedMin[k] = rtFloatToOrdered(3.0e38);
            sharedMax[k] = rtFloatToOrdered(-3.0e38);
        }
    }
    barrier();

    // Vertices past the buffer's room were never written.
    int vertices = min(rtExportedFaces(grid, bbox_params_flags.x) * 3, in_vtx_data_normal_offset / max(in_vtx_data_coord_stride, 1));
    for (int v = int(lane); v < vertices; v += int(gl_WorkGroupSize.x)) {
        vec3 p = rtFetchPosition(v);
        if (any(isnan(p)) || any(isinf(p)))
            continue;
        for (int k = 0; k < 3; ++k) {
            atomicMin(sharedMin[k], rtFloatToOrdered(p[k]));
            atomicMax(sharedMax[k], rtFloatToOrdered(p[k]));
        }
    }
    barrier();
    if (lane != 0u)
        return;

    vec3 lo = bbox_fixed_min.xyz;
    vec3 hi = bbox_fixed_max.xyz;
    if (vertices > 0 && sharedMin[0] <= sharedMax[0]) {
        lo = vec3(rtOrderedToFloat(sharedMin[0]), rtOrderedToFloat(sharedMin[1]), rtOrderedToFloat(sharedMin[2]));
        hi = vec3(rtOrderedToFloat(sharedMax[0]), rtOrderedToFloat(sharedMax[1]), rtOrderedToFloat(sharedMax[2]));
    }
    vec3 extent = max(hi - lo, vec3(0.0));
    // A flat scene still gets cells of some thickness, and faces on the box's faces stay inside.
    vec3 pad = max(extent * 0.002, vec3(max(max(extent.x, max(extent.y, extent.z)) * 0.001, 0.0001)));
    lo -= pad;
    hi += pad;
    vec3 cell = (hi - lo) / float(RT_GRID_RESOLUTION);

    grid_bounds[grid].atomic_min = ivec4(rtFloatToOrdered(lo.x), rtFloatToOrdered(lo.y), rtFloatToOrdered(lo.z), 0);
    grid_bounds[grid].atomic_max = ivec4(rtFloatToOrdered(hi.x), rtFloatToOrdered(hi.y), rtFloatToOrdered(hi.z), 0);
    grid_bounds[grid].bbox_min = vec4(lo, 0.0);
    grid_bounds[grid].bbox_max = vec4(hi, 0.0);
    grid_bounds[grid].cell_size = vec4(cell, 0.0);
    grid_bounds[grid].inv_cell_size = vec4(1.0 / cell, 0.0);
}
