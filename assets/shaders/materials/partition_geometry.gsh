#version 430
// Geometry stage of the grid build: projects each exported face onto the grid face its normal points at most, so
// that the 256 x 256 rasterisation gives one fragment per column of cells the face may touch. The fragment stage
// (partition_raytrace.fsh or partition_voxelize.fsh) finds the cells of the column.

layout(triangles) in;
layout(triangle_strip, max_vertices = 3) out;

#define RT_BUFFERS_BOUNDS 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_data.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/materials/raytrace_commons.glsl>

in VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_in[];

out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_output;

flat out int partitionFace;
flat out int partitionAxis;
flat out int partitionMaterial;
flat out vec3 partitionNormal;
flat out vec3 partitionGrid0;
flat out vec3 partitionGrid1;
flat out vec3 partitionGrid2;

void main()
{
#ifdef PARTITION_VOXELIZE
    int grid = RT_GRID_VOXEL;
#else
    int grid = RT_GRID_TRACE;
#endif
    vec3 g[3];
    for (int k = 0; k < 3; ++k)
        g[k] = rtWorldToGrid(grid, vtx_in[k].vWorldPos);
    vec3 worldNormal = cross(vtx_in[1].vWorldPos - vtx_in[0].vWorldPos, vtx_in[2].vWorldPos - vtx_in[0].vWorldPos);
    int axis = rtDominantAxis(cross(g[1] - g[0], g[2] - g[0]));

    for (int k = 0; k < 3; ++k) {
        vtx_output.vColor = vtx_in[k].vColor;
        vtx_output.vWorldPos = vtx_in[k].vWorldPos;
        vtx_output.vLocalPos = g[k];
        vtx_output.vWorldNormal = vtx_in[k].vWorldNormal;
        vtx_output.vLocalNormal = vtx_in[k].vLocalNormal;
        vtx_output.vUV0 = vtx_in[k].vUV0;
        vtx_output.vUV1 = vtx_in[k].vUV1;
        vtx_output.vInstance = vtx_in[k].vInstance;
        partitionFace = gl_PrimitiveIDIn;
        partitionAxis = axis;
        partitionMaterial = vtx_in[0].vInstance; // the exported material row
        partitionNormal = commonsSafeNormalize(worldNormal, vec3(0.0, 0.0, 1.0));
        partitionGrid0 = g[0];
        partitionGrid1 = g[1];
        partitionGrid2 = g[2];
        gl_Position = vec4(rtAxisPlane(g[k], axis) / float(RT_GRID_RESOLUTION) * 2.0 - 1.0, 0.5, 1.0);
        EmitVertex();
    }
    EndPrimitive();
}
