#version 430
// Geometry stage of "flatterrain": gives every tessellated triangle its own face normal, for the faceted look.

layout(triangles) in;
layout(triangle_strip, max_vertices = 3) out;

#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_data.glsl>

in VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_in[];

out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_output;

void main()
{
    vec3 interpolated = vtx_in[0].vWorldNormal + vtx_in[1].vWorldNormal + vtx_in[2].vWorldNormal;
    vec3 n = cross(vtx_in[1].vWorldPos - vtx_in[0].vWorldPos, vtx_in[2].vWorldPos - vtx_in[0].vWorldPos);
    n = commonsSafeNormalize(n, commonsSafeNormalize(interpolated, vec3(0.0, 1.0, 0.0)));
    if (dot(n, interpolated) < 0.0)
        n = -n;
    for (int k = 0; k < 3; ++k) {
        VERTEX_DATA_COPY(vtx_output, vtx_in[k])
        vtx_output.vWorldNormal = n;
        gl_Position = gl_in[k].gl_Position;
        EmitVertex();
    }
    EndPrimitive();
}
