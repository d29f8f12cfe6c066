#version 430
// Grid build by rasterisation: enters the face of this fragment into every cell of its column that the face
// passes through (the lists of raytrace_buffers.glsl) and marks those cells in the level-0 marker image.

#define RT_BUFFERS_GRID 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_data.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/materials/raytrace_commons.glsl>

#ifdef GEOMETRY_PASS

void main()
{
}

#else

in VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_input;

flat in int partitionFace;
flat in int partitionAxis;
flat in int partitionMaterial;
flat in vec3 partitionNormal;
flat in vec3 partitionGrid0;
flat in vec3 partitionGrid1;
flat in vec3 partitionGrid2;

// The partition grid texture, level 0, bound at image unit 0.
layout(r32ui) uniform uimage3D partition_grid_markers;
uniform float gridSize = 0.25;
uniform int numFaces = 0;

const int kMaxCellsPerFragment = 16;

void main()
{
    if (partitionFace >= numFaces)
        return;
    ivec2 range = rtColumnRange(gl_FragCoord.xy, partitionGrid0, partitionGrid1, partitionGrid2, partitionAxis,
                                gridSize);
    for (int d = range.x; d <= range.y && d < range.x + kMaxCellsPerFragment; ++d) {
        ivec3 cell = rtColumnCell(gl_FragCoord.xy, d, partitionAxis);
        if (rtInsertFace(cell, uint(partitionFace)))
            imageStore(partition_grid_markers, cell, uvec4(1u));
    }
}

#endif
