#version 430
// The destroy modifier's transform: moves each vertex of the published copy with the piece it belongs to, from
// the bind-pose copy of the positions. Built by the component but not dispatched yet: the pieces are never formed,
// so the component publishes the copy unchanged. One invocation per vertex; the last group checks the count.

layout(local_size_x = 64) in;

// 64 bytes per piece: pivot in floats 4-6, speed factor in float 8, spin in floats 10-12, direction in 13-15.
layout(std430) readonly buffer DestroyPieces
{
    float destroy_pieces[]; // 16 floats per piece
};

// 16 bytes per vertex: x the piece index, the rest reserved.
layout(std430) readonly buffer DestroyVertices
{
    uvec4 destroy_vertices[];
};

layout(std430) readonly buffer VTXCoordsCopy
{
    float bind_positions[];
};

layout(std430) buffer VTXCoords
{
    float positions[];
};

uniform int vertex_count = 0;
uniform int piece_count = 0;
uniform float destroy_time = 0.0;

void main()
{
    int v = int(gl_GlobalInvocationID.x);
    if (v >= vertex_count || 3 * v + 2 >= positions.length() || 3 * v + 2 >= bind_positions.length())
        return;
    vec3 p = vec3(bind_positions[3 * v], bind_positions[3 * v + 1], bind_positions[3 * v + 2]);
    uint piece = v < destroy_vertices.length() ? destroy_vertices[v].x : 0u;
    if (piece_count > 0 && int(piece) < piece_count && 16 * int(piece) + 15 < destroy_pieces.length()) {
        int base = 16 * int(piece);
        float speed = destroy_pieces[base + 8];
        vec3 direction = vec3(destroy_pieces[base + 13], destroy_pieces[base + 14], destroy_pieces[base + 15]);
        p += direction * speed * destroy_time;
    }
    positions[3 * v] = p.x;
    positions[3 * v + 1] = p.y;
    positions[3 * v + 2] = p.z;
}
