#version 430
// Exports already transformed vertices from a plain position buffer into the tracing copy of the scene geometry,
// for sources that have no draw of their own (the materials' geometry stage exports everything the renderers
// draw). One invocation per vertex; vertices past either buffer are skipped.

layout(local_size_x = 64) in;

#define RT_BUFFERS_EXPORT 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/raytrace_buffers.glsl>

layout(std430) readonly buffer TransformSourcePositions
{
    float source_positions[]; // xyz per vertex
};

uniform int out_raytrace_faces_base = 0;
uniform int source_vertex_count = 0;
uniform int material_index = 0;

void main()
{
    int vertex = int(gl_GlobalInvocationID.x);
    if (vertex >= source_vertex_count || vertex * 3 + 2 >= source_positions.length())
        return;
    RTExportedVertex v;
    v.position = vec3(source_positions[vertex * 3], source_positions[vertex * 3 + 1], source_positions[vertex * 3 + 2]);
    v.normal = vec3(0.0, 0.0, 1.0);
    v.uv0 = vec2(0.0);
    v.material = material_index;
    rtExportVertexRaytrace(out_raytrace_faces_base * 3 + vertex, v);
}
