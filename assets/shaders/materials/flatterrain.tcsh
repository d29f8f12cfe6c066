#version 430
// Tessellation control of "flatterrain": one uniform subdivision level per patch.

layout(vertices = 3) out;

#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_data.glsl>

in VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_in[];

out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_patch[];

uniform float terrain_tessellation = 8.0;

void main()
{
    VERTEX_DATA_COPY(vtx_patch[gl_InvocationID], vtx_in[gl_InvocationID])
    if (gl_InvocationID == 0) {
        float level = clamp(terrain_tessellation, 1.0, 64.0);
        gl_TessLevelOuter[0] = level;
        gl_TessLevelOuter[1] = level;
        gl_TessLevelOuter[2] = level;
        gl_TessLevelInner[0] = level;
    }
}
