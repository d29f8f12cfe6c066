#version 430
// Vertex stage of the raytracer's and the voxelizer's materials, one file for three kinds of draw:
//   PARTITION_RAYTRACE, PARTITION_VOXELIZE          the exported faces ("InVertexBuffer"), vertex by gl_VertexID;
//                                                  partition_geometry.gsh projects them onto the grid
//   VISUALIZE_RAYTRACE_GRID, VISUALIZE_VOXELIZATION_GRID
//                                                  one 14-vertex cube strip per grid cell (gl_InstanceID);
//                                                  empty cells collapse to nothing
//   otherwise                                      the full-screen composite quad ("mModelview", "mProjection")

#if defined(PARTITION_RAYTRACE) || defined(PARTITION_VOXELIZE)
#define RT_BUFFERS_VERTICES 1
#else
#define RT_BUFFERS_BOUNDS 1
#endif
#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_buffers.glsl>
#include <shaders/materials/vertex_data.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/materials/raytrace_commons.glsl>

uniform mat4 mModelview;
uniform mat4 mProjection;
uniform vec4 vNearFarPlane = vec4(0.1, 1000.0, 200.0, 999.9);

#ifdef VISUALIZE_RAYTRACE_GRID
uniform usampler3D s_grid_marker;
#endif
#ifdef VISUALIZE_VOXELIZATION_GRID
uniform sampler3D s_voxel_colors;
uniform sampler3D s_voxel_colors_filtered;
#endif

out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_output;

void emitWorldVertex(vec3 worldPos, vec3 normal, vec2 uv, vec4 color, int instance)
{
    vtx_output.vColor = color;
    vtx_output.vWorldPos = worldPos;
    vtx_output.vLocalPos = worldPos;
    vtx_output.vWorldNormal = normal;
    vtx_output.vLocalNormal = normal;
    vtx_output.vUV0 = uv;
    vtx_output.vUV1 = uv;
    vtx_output.vInstance = instance;
}

#if defined(VISUALIZE_RAYTRACE_GRID) || defined(VISUALIZE_VOXELIZATION_GRID)
// Corner of the unit cube for vertex i of a 14-vertex triangle strip that covers all six faces.
vec3 cubeStripCorner(int i)
{
    int b = 1 << i;
    return vec3((0x287A & b) != 0 ? 1.0 : 0.0, (0x02AF & b) != 0 ? 1.0 : 0.0, (0x31E3 & b) != 0 ? 1.0 : 0.0);
}
#endif

void main()
{
#if defined(PARTITION_RAYTRACE) || defined(PARTITION_VOXELIZE)
    RTExportedVertex v = rtFetchVertex(gl_VertexID);
    emitWorldVertex(v.position, v.normal, v.uv0, vec4(1.0), v.material);
    gl_Position = vec4(v.position, 1.0);
#elif defined(VISUALIZE_RAYTRACE_GRID) || defined(VISUALIZE_VOXELIZATION_GRID)
    int cellIndex = gl_InstanceID;
    ivec3 cell = ivec3(cellIndex % RT_GRID_RESOLUTION, (cellIndex / RT_GRID_RESOLUTION) % RT_GRID_RESOLUTION,
                       cellIndex / (RT_GRID_RESOLUTION * RT_GRID_RESOLUTION));
#ifdef VISUALIZE_RAYTRACE_GRID
    int grid = RT_GRID_TRACE;
    bool occupied = texelFetch(s_grid_marker, cell, 0).r != 0u;
    vec4 color = vec4(commonsHash33(vec3(cell)), 1.0);
#else
    int grid = RT_GRID_VOXEL;
    vec4 color = texelFetch(s_voxel_colors, cell, 0);
    bool occupied = color.a > 0.0;
#endif
    vec3 corner = cubeStripCorner(gl_VertexID % 14);
    vec3 worldPos = rtGridToWorld(grid, vec3(cell) + corner);
    emitWorldVertex(worldPos, commonsSafeNormalize(corner - 0.5, vec3(0.0, 0.0, 1.0)), corner.xy, color, cellIndex);
    // Every vertex of an empty cell lands on one point: the strip has no area and draws nothing.
    gl_Position = occupied ? transform_params.mProjection * (transform_params.mView * vec4(worldPos, 1.0))
                           : vec4(2.0, 2.0, 2.0, 1.0);
#else
    // The composite's quad: positions and uvs straight from its buffers (the composite sets no builtin mask),
    // and the matrices row-major as composite_quad.glsl reads them, so the vector goes on the left.
    int id = gl_VertexID;
    vec3 pos = id * 3 + 2 < vtx_coords.length() ? vec3(vtx_coords[id * 3], vtx_coords[id * 3 + 1], vtx_coords[id * 3 + 2])
                                                  : vec3(0.0);
    vec2 uv = id * 2 + 1 < vtx_uv0.length() ? vec2(vtx_uv0[id * 2], vtx_uv0[id * 2 + 1]) : vec2(0.0);
    emitWorldVertex(pos, vec3(0.0, 0.0, 1.0), uv, vec4(1.0), 0);
    gl_Position = vec4(pos, 1.0) * mModelview * mProjection;
#endif
}
