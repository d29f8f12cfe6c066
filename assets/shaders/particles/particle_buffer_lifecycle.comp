#version 430
// One lifecycle step of a particle container, one invocation per slot: live particles age by the frame's delta
// and die at the end of their lifetime (never later than "max lifetime"), then the joined emitter and modifier
// blocks run on the slot. Dead slots become particles when an emitter block emits into them.
//
// The joined blocks arrive as two inline texts (both empty when nothing is linked):
//   INLINE_PARTICLE_MODIFIERS_PARAMS_BLOCK     global scope: each producer's includes and parameter block (VM0,
//                                              VM1, ...)
//   INLINE_PARTICLE_MODIFIERS_TRANSFORM_BLOCK  statements on the particle `p` of slot `id`; they may call
//                                              prt_is_alive and random
//
// The dispatch covers ceil(capacity / 64) groups, so invocations past the capacity change nothing.

layout(local_size_x = 64, local_size_y = 1, local_size_z = 1) in;

#include <shaders/materials/commons.glsl>
#include <shaders/materials/particle_buffers.glsl>

layout(std430) readonly buffer ParticleLifecycleParamsBuffer
{
    float lifecycle_delta;        // seconds since the previous processed frame
    float lifecycle_max_lifetime; // no particle lives longer
};

uniform int particle_buffer_capacity = 0;

// The slot as the blocks see it: pos and size make up "ParticlePositionsData", state is "ParticleStatesData".
struct Particle
{
    vec3 pos;
    float size;
    vec4 state;
};

// A hash of the float's bits to 0 .. 1: neighbouring inputs give unrelated outputs, whatever their magnitude.
float random(float x)
{
    uint h = floatBitsToUint(x);
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return float(h >> 8) * (1.0 / 16777216.0);
}

#inline <INLINE_PARTICLE_MODIFIERS_PARAMS_BLOCK>

void main()
{
    uint id = gl_GlobalInvocationID.x;
    if (id >= uint(max(particle_buffer_capacity, 0)) || id >= uint(particle_positions.length()) ||
        id >= uint(particle_states.length()) || id >= uint(particle_prefix_sum.length()))
        return;

    Particle p;
    vec4 position = particle_positions[id];
    p.pos = position.xyz;
    p.size = position.w;
    p.state = particle_states[id];

    if (prt_is_alive(p.state)) {
        p.state.x += lifecycle_delta;
        if (p.state.x >= min(p.state.y, lifecycle_max_lifetime))
            p.state = vec4(0.0);
    }

    {
#inline <INLINE_PARTICLE_MODIFIERS_TRANSFORM_BLOCK>
    }

    particle_positions[id] = vec4(p.pos, p.size);
    particle_states[id] = p.state;
    particle_prefix_sum[id] = prt_is_alive(p.state) ? 1u : 0u;
}
