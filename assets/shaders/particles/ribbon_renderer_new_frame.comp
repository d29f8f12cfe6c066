#version 430
// Records the particles of one container into the ribbon renderer's ring, one invocation per slot: the current
// row keeps following the particles until the next row starts, so a row holds the positions at its last frame.
// A new row also takes the particles' states, which tell the drawing which recorded rows belong to the particle
// living in the slot now.

layout(local_size_x = 64, local_size_y = 1, local_size_z = 1) in;

#define PARTICLE_RIBBON_BUFFERS
#include <shaders/materials/commons.glsl>
#include <shaders/materials/particle_buffers.glsl>

layout(std430) readonly buffer ParticleSnapshotParamsBuffer
{
    int snapshot_base;     // first entry of this container in the ring (row start + containers before it)
    int snapshot_capacity; // this container's slots
    int snapshot_new_row;  // 1 when this frame started a row
};

uniform int ribbon_total_particles = 0; // entries of a row: the slots of all linked containers

void main()
{
    uint id = gl_GlobalInvocationID.x;
    if (snapshot_base < 0 || id >= uint(max(snapshot_capacity, 0)) || id >= uint(particle_positions.length()) ||
        id >= uint(particle_states.length()))
        return;
    uint entry = uint(snapshot_base) + id;
    if (entry >= uint(ribbon_positions.length()))
        return;
    vec4 state = particle_states[id];
    bool alive = prt_is_alive(state);
    ribbon_positions[entry] = vec4(particle_positions[id].xyz, alive ? 1.0 : 0.0);

    // The states hold one entry per particle of all containers: the entry's place within its row.
    if (snapshot_new_row != 0 && ribbon_total_particles > 0) {
        uint index = entry % uint(ribbon_total_particles);
        if (index < uint(ribbon_states.length()))
            ribbon_states[index] = state;
    }
}
