#version 430
// Blended particle renderer: a camera-facing quad at every live particle (the quad's x and y become the camera's
// side and up axes), sized by "instancing_scale" and the particle's size.

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
    float size = instancing_scale * prt_size(position);
    vec3 offset = (cameraSide() * local.pos.x + cameraUp() * local.pos.y) * size;
    VertexRecord world = particleToWorld(local, position, particle_states[slot], offset, -cameraForward());
    VERTEX_DATA_WRITE(vtx_output, local, world, slot)
    gl_Position = vtxWorldToClip(world.pos);
}
