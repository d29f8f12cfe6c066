#version 430
// Line particles: a thin camera-facing streak at every live particle, its length the particle's size along the
// camera's up axis and a tenth of that across, fading towards the end of the particle's life.

#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_buffers.glsl>
#include <shaders/materials/vertex_data.glsl>
#include <shaders/materials/particle_buffers.glsl>
#include <shaders/materials/particle_vertex.glsl>

out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_output;

const float kLineWidth = 0.1;

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
    vec4 state = particle_states[slot];
    float size = instancing_scale * prt_size(position);
    vec3 offset = (cameraSide() * local.pos.x * kLineWidth + cameraUp() * local.pos.y) * size;
    VertexRecord world = particleToWorld(local, position, state, offset, -cameraForward());
    world.color.a *= 1.0 - prt_life_fraction(state);
    VERTEX_DATA_WRITE(vtx_output, local, world, slot)
    gl_Position = vtxWorldToClip(world.pos);
}
