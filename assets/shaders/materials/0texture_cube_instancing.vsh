#version 430
// Instanced particle renderer: a small mesh (128 copies in one draw per instance) at every live particle, scaled
// by "instancing_scale" and the particle's size, drawn into the G-buffer and the shadow maps.

#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_buffers.glsl>
#include <shaders/materials/vertex_data.glsl>
#include <shaders/materials/particle_buffers.glsl>
#include <shaders/materials/particle_vertex.glsl>

out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_output;

void main()
{
    int slot = particleSlot();
    VertexRecord local = vtxLoad(gl_VertexID);
    if (!particleVisible(slot)) {
        VERTEX_DATA_WRITE(vtx_output, local, local, slot)
        gl_Position = kCulledPosition;
        return;
    }
    vec4 position = particle_positions[slot];
    VertexRecord world = particleToWorld(local, position, particle_states[slot],
                                         local.pos * instancing_scale * prt_size(position), local.norm);
    VERTEX_DATA_WRITE(vtx_output, local, world, slot)
    gl_Position = vtxWorldToClip(world.pos);
}
