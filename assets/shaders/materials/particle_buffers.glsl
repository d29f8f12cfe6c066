// The particle container's buffers as the particle shaders see them (the lifecycle, the emitters and modifiers,
// and the particle renderers all follow this layout), and the ribbon renderer's position history.
//
//   "ParticlePositionsData"  vec4 per slot: xyz world position, w size (1 = the renderer's own size)
//   "ParticleStatesData"     vec4 per slot: x age in seconds, y lifetime in seconds (a slot is alive while
//                            0 <= age < lifetime), z colour as packUnorm4x8 bits, w free for the lifecycle
//   "ParticlePrefixSumData"  uint per slot, scratch of the lifecycle
// Under PARTICLE_RIBBON_BUFFERS (every declared block counts against a stage's 16, used or not):
//   "RibbonPositionsData"    vec4 per entry, rows of "totalParticles" entries: xyz position, w 1 when the
//                            particle was alive when the row was recorded, else 0
//   "RibbonStatesData"       vec4 per particle: the state of the particle at the last recording

#ifndef MATERIALS_PARTICLE_BUFFERS_GLSL
#define MATERIALS_PARTICLE_BUFFERS_GLSL

layout(std430) buffer ParticlePositionsData
{
    vec4 particle_positions[];
};

layout(std430) buffer ParticleStatesData
{
    vec4 particle_states[];
};

layout(std430) buffer ParticlePrefixSumData
{
    uint particle_prefix_sum[];
};

#ifdef PARTICLE_RIBBON_BUFFERS
layout(std430) buffer RibbonPositionsData
{
    vec4 ribbon_positions[];
};

layout(std430) buffer RibbonStatesData
{
    vec4 ribbon_states[];
};
#endif

bool prt_is_alive(vec4 state)
{
    return state.y > 0.0 && state.x >= 0.0 && state.x < state.y;
}

// 0 at birth, 1 at the end of life.
float prt_life_fraction(vec4 state)
{
    return state.y > 0.0 ? clamp(state.x / state.y, 0.0, 1.0) : 1.0;
}

// White until the lifecycle writes a colour.
vec4 prt_color(vec4 state)
{
    uint bits = floatBitsToUint(state.z);
    return bits == 0u ? vec4(1.0) : unpackUnorm4x8(bits);
}

float prt_size(vec4 position)
{
    return position.w > 0.0 ? position.w : 1.0;
}

#endif // MATERIALS_PARTICLE_BUFFERS_GLSL
