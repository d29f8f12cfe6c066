// The raytracer's scene buffers as shaders see them, and their layouts. Every program that exports, partitions,
// voxelizes, traces or samples the scene geometry goes through these declarations (the functions are in
// raytrace_commons.glsl). All words are 32 bits.
//
// Exported vertices ("InVertexBuffer" for readers; "OutVertexBufferRaytrace" and "OutVertexBufferVoxelize" for
// the geometry pass): structure of arrays at the offsets and strides of the
// "in_vtx_data_*" / "out_vtx_data_*" uniforms: position 3 floats, normal 2 floats (octahedral, gbufferOctEncode),
// uv0 2 floats, material 1 float (the row of the frame's material table). Face f is vertices 3f, 3f + 1, 3f + 2.
//
// "TransformedDataLocationBuffer": one ivec4 per export of the frame, in export order:
//     (tracing faces base, tracing faces end, voxelization faces base, voxelization faces end)
// "end" is the running total after the export, so y of the last record is the number of faces to trace.
//
// "BBoxBuffer": RTGridBounds of the tracing grid (0) and the voxel grid (1), 96 bytes each. The bounding-box pass
// reduces the exported positions into atomic_min / atomic_max (rtFloatToOrdered) and then writes the box and the
// cell size of a 256^3 grid over it.
//
// The partition grid: 256^3 cells, cell (x, y, z) at index x + 256 y + 65536 z (rtCellIndex), grouped into 64^3
// coarse cells of 4^3 cells.
//   "BucketData"                  64 header words (word 0: faces inserted this frame), then a face count per
//                                 cell, then a face count per coarse cell
//   "FacesLinkedListBuffer"       word 0: nodes allocated this frame; then nodes of two words
//                                 (face, next node + 1; 0 ends the list)
//   "FacesLinkedListTailsBuffer"  per cell: the last inserted node + 1 (0: empty cell)
// The grid build starts the frame by zeroing the counters, every cell count and every tail.
//
// Voxels (same 256^3 indexing over the voxel grid): "VoxelLightBuffer" packed RGBA8 colour (rtPackColor),
// "VoxelOcclusionBuffer" the number of fragments that covered the voxel.

//
// Every declared storage block counts against the 16 a stage may have, used or not, and wants a binding when
// drawing, so a shader picks the groups it needs by defining any of these before the include:
//   RT_BUFFERS_VERTICES  "InVertexBuffer"
//   RT_BUFFERS_EXPORT    "OutVertexBufferRaytrace", "OutVertexBufferVoxelize" and the locations below
//   RT_BUFFERS_LOCATIONS "TransformedDataLocationBuffer"
//   RT_BUFFERS_BOUNDS    "BBoxBuffer"
//   RT_BUFFERS_GRID      "BBoxBuffer", "BucketData", "FacesLinkedListBuffer", "FacesLinkedListTailsBuffer"
//   RT_BUFFERS_VOXELS    "VoxelLightBuffer", "VoxelOcclusionBuffer"
// With none of them defined it declares every reader group (all but the export blocks).

#ifndef MATERIALS_RAYTRACE_BUFFERS_GLSL
#define MATERIALS_RAYTRACE_BUFFERS_GLSL

#include <shaders/materials/gbuffer.glsl>

#if !defined(RT_BUFFERS_VERTICES) && !defined(RT_BUFFERS_EXPORT) && !defined(RT_BUFFERS_BOUNDS) &&                  \
    !defined(RT_BUFFERS_GRID) && !defined(RT_BUFFERS_VOXELS)
#define RT_BUFFERS_VERTICES 1
#define RT_BUFFERS_GRID 1
#define RT_BUFFERS_VOXELS 1
#endif
#if defined(RT_BUFFERS_EXPORT) && !defined(RT_BUFFERS_LOCATIONS)
#define RT_BUFFERS_LOCATIONS 1
#endif
#if defined(RT_BUFFERS_GRID) && !defined(RT_BUFFERS_BOUNDS)
#define RT_BUFFERS_BOUNDS 1
#endif

const int RT_GRID_RESOLUTION = 256;
const int RT_GRID_COARSE_RESOLUTION = 64;
const int RT_GRID_COARSE_FACTOR = 4;
const int RT_GRID_CELLS = 16777216;
const int RT_GRID_TRACE = 0;
const int RT_GRID_VOXEL = 1;

struct RTExportedVertex {
    vec3 position;
    vec3 normal;
    vec2 uv0;
    int material;
};

#ifdef RT_BUFFERS_VERTICES
uniform int in_vtx_data_coord_stride = 3;
uniform int in_vtx_data_normal_stride = 2;
uniform int in_vtx_data_uv0_stride = 2;
uniform int in_vtx_data_material_stride = 1;
uniform int in_vtx_data_coord_offset = 0;
uniform int in_vtx_data_normal_offset = 21000000;
uniform int in_vtx_data_uv0_offset = 35000000;
uniform int in_vtx_data_material_offset = 49000000;

layout(std430) readonly buffer InVertexBuffer
{
    float in_vtx_data[];
};
#endif

#ifdef RT_BUFFERS_EXPORT
uniform int out_vtx_data_coord_stride = 3;
uniform int out_vtx_data_normal_stride = 2;
uniform int out_vtx_data_uv0_stride = 2;
uniform int out_vtx_data_material_stride = 1;
uniform int out_vtx_data_coord_offset = 0;
uniform int out_vtx_data_normal_offset = 21000000;
uniform int out_vtx_data_uv0_offset = 35000000;
uniform int out_vtx_data_material_offset = 49000000;

layout(std430) buffer OutVertexBufferRaytrace
{
    float out_vtx_data_raytrace[];
};

layout(std430) buffer OutVertexBufferVoxelize
{
    float out_vtx_data_voxelize[];
};

// Vertices past the room of either buffer are dropped.
int rtExportCapacity()
{
    return out_vtx_data_normal_offset / max(out_vtx_data_coord_stride, 1);
}

#define RT_EXPORT_VERTEX(buffer, vertex, v)                                                                     \
    if ((vertex) >= 0 && (vertex) < rtExportCapacity() &&                                                       \
        out_vtx_data_material_offset + (vertex) * out_vtx_data_material_stride < buffer.length()) {             \
        int c = out_vtx_data_coord_offset + (vertex) * out_vtx_data_coord_stride;                               \
        buffer[c] = (v).position.x;                                                                             \
        buffer[c + 1] = (v).position.y;                                                                         \
        buffer[c + 2] = (v).position.z;                                                                         \
        vec2 octNormal = gbufferOctEncode((v).normal);                                                          \
        int n = out_vtx_data_normal_offset + (vertex) * out_vtx_data_normal_stride;                             \
        buffer[n] = octNormal.x;                                                                                \
        buffer[n + 1] = octNormal.y;                                                                            \
        int t = out_vtx_data_uv0_offset + (vertex) * out_vtx_data_uv0_stride;                                   \
        buffer[t] = (v).uv0.x;                                                                                  \
        buffer[t + 1] = (v).uv0.y;                                                                              \
        buffer[out_vtx_data_material_offset + (vertex) * out_vtx_data_material_stride] = float((v).material);  \
    }

void rtExportVertexRaytrace(int vertex, RTExportedVertex v)
{
    RT_EXPORT_VERTEX(out_vtx_data_raytrace, vertex, v)
}

void rtExportVertexVoxelize(int vertex, RTExportedVertex v)
{
    RT_EXPORT_VERTEX(out_vtx_data_voxelize, vertex, v)
}

#endif

#ifdef RT_BUFFERS_LOCATIONS
layout(std430) buffer TransformedDataLocationBuffer
{
    ivec4 transformed_data_location[];
};

// Faces exported this frame for the grid (the running totals of the last of `exports` records).
int rtExportedFaces(int grid, int exports)
{
    if (exports <= 0 || exports > transformed_data_location.length())
        return 0;
    ivec4 last = transformed_data_location[exports - 1];
    return max(grid == RT_GRID_TRACE ? last.y : last.w, 0);
}
#endif

struct RTGridBounds {
    ivec4 atomic_min; // xyz: rtFloatToOrdered of the smallest coordinate
    ivec4 atomic_max;
    vec4 bbox_min;    // xyz: lower corner of the grid
    vec4 bbox_max;
    vec4 cell_size;   // xyz: extent of one cell
    vec4 inv_cell_size;
};

#ifdef RT_BUFFERS_BOUNDS
layout(std430) buffer BBoxBuffer
{
    RTGridBounds grid_bounds[2];
};
#endif

#ifdef RT_BUFFERS_GRID
layout(std430) buffer BucketData
{
    uint bucket_header[64];
    uint bucket_cells[];
};

layout(std430) buffer FacesLinkedListBuffer
{
    uint faces_list_counter;
    uint faces_list_nodes[];
};

layout(std430) buffer FacesLinkedListTailsBuffer
{
    uint faces_list_tails[];
};
#endif

#ifdef RT_BUFFERS_VOXELS
layout(std430) buffer VoxelLightBuffer
{
    uint voxel_light[];
};

layout(std430) buffer VoxelOcclusionBuffer
{
    uint voxel_occlusion[];
};
#endif

#endif // MATERIALS_RAYTRACE_BUFFERS_GLSL
