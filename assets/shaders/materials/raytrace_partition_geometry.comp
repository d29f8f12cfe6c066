#version 430
// Builds the tracing grid's face lists (layout in raytrace_buffers.glsl). Dispatched as 32^3 groups of 8^3, one
// invocation per cell, in two builds:
//   PASS_1  empties the grid: every cell count and list tail, the coarse counts, the header and the node counter
//   PASS_2  inserts every exported face into the cells it passes through: the invocations share the faces
//           (64 per face, each taking every 64th row of the face's footprint on its dominant grid plane) and
//           find the cells of each column of the footprint as the rasterised insertion does
// With the rasterised insertion (partition_raytrace.fsh) only PASS_1 runs.

layout(local_size_x = 8, local_size_y = 8, local_size_z = 8) in;

#define RT_BUFFERS_VERTICES 1
#define RT_BUFFERS_GRID 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/materials/raytrace_commons.glsl>

uniform int numFaces = 0;
uniform float gridSize = 0.25;

#ifdef PASS_1

void main()
{
    ivec3 cell = ivec3(gl_GlobalInvocationID);
    if (!rtCellInGrid(cell))
        return;
    int index = rtCellIndex(cell);
    if (index < bucket_cells.length())
        bucket_cells[index] = 0u;
    if (index < faces_list_tails.length())
        faces_list_tails[index] = 0u;
    if (all(equal(cell % RT_GRID_COARSE_FACTOR, ivec3(0)))) {
        int coarse = rtCoarseCellIndex(cell);
        if (coarse < bucket_cells.length())
            bucket_cells[coarse] = 0u;
    }
    if (index == 0) {
        faces_list_counter = 0u;
        for (int i = 0; i < 64; ++i)
            bucket_header[i] = 0u;
    }
}

#else

// Level 0 of the partition grid texture, bound at image unit 0: cells holding faces are marked 1.
layout(r32ui) uniform uimage3D partition_grid_markers;

const uint kSlicesPerFace = 64u;
const int kMaxCellsPerColumn = 16;

// True when the square column at `pixel` (its centre) may overlap the projected triangle: each edge moved
// outward by half the column's extent along the edge normal.
bool columnOverlaps(vec2 pixel, vec2 a, vec2 b, vec2 c, float orientation)
{
    vec2 v[3] = vec2[3](a, b, c);
    for (int k = 0; k < 3; ++k) {
        vec2 p0 = v[k];
        vec2 p1 = v[(k + 1) % 3];
        vec2 edge = p1 - p0;
        vec2 n = vec2(edge.y, -edge.x) * orientation; // points out of the triangle
        if (dot(pixel - p0, n) > 0.5 * (abs(n.x) + abs(n.y)))
            return false;
    }
    return true;
}

void insertFace(int face, uint slice)
{
    vec3 p0, p1, p2;
    rtFetchFace(face, p0, p1, p2);
    vec3 g0 = rtWorldToGrid(RT_GRID_TRACE, p0);
    vec3 g1 = rtWorldToGrid(RT_GRID_TRACE, p1);
    vec3 g2 = rtWorldToGrid(RT_GRID_TRACE, p2);
    int axis = rtDominantAxis(cross(g1 - g0, g2 - g0));
    vec2 a = rtAxisPlane(g0, axis);
    vec2 b = rtAxisPlane(g1, axis);
    vec2 c = rtAxisPlane(g2, axis);
    float area = (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
    if (abs(area) < 1e-12)
        return;
    float orientation = area > 0.0 ? 1.0 : -1.0;
    ivec2 lo = clamp(ivec2(floor(min(a, min(b, c)))), ivec2(0), ivec2(RT_GRID_RESOLUTION - 1));
    ivec2 hi = clamp(ivec2(floor(max(a, max(b, c)))), ivec2(0), ivec2(RT_GRID_RESOLUTION - 1));
    for (int y = lo.y + int(slice); y <= hi.y; y += int(kSlicesPerFace)) {
        for (int x = lo.x; x <= hi.x; ++x) {
            vec2 pixel = vec2(x, y) + 0.5;
            if (!columnOverlaps(pixel, a, b, c, orientation))
                continue;
            ivec2 range = rtColumnRange(pixel, g0, g1, g2, axis, gridSize);
            for (int d = range.x; d <= range.y && d < range.x + kMaxCellsPerColumn; ++d) {
                ivec3 cell = rtColumnCell(pixel, d, axis);
                if (rtInsertFace(cell, uint(face)))
                    imageStore(partition_grid_markers, cell, uvec4(1u));
            }
        }
    }
}

void main()
{
    uvec3 id = gl_GlobalInvocationID;
    uint invocation = id.x + uint(RT_GRID_RESOLUTION) * (id.y + uint(RT_GRID_RESOLUTION) * id.z);
    uint invocations = uint(RT_GRID_CELLS);
    uint slice = invocation % kSlicesPerFace;
    for (uint face = invocation / kSlicesPerFace; face < uint(numFaces); face += invocations / kSlicesPerFace)
        insertFace(int(face), slice);
}

#endif
