// The instances emitter's block and its emit function, for the particle lifecycle program (which defines
// Particle, random and the time uniforms before the joined blocks). One copy serves every instances emitter of a
// program, so the file may be included more than once.

#ifndef EMITTERS_INSTANCES_EMITTER_INL
#define EMITTERS_INSTANCES_EMITTER_INL

// std140, 64 bytes; the emitter fills it every frame.
struct ParticleEmitterInstances_Params
{
    vec4 color;
    vec3 half_size;               // half the particle size
    float lifetime;               // seconds
    vec3 position_randomness;     // the particle lands up to this far from the instance, per axis
    float lifetime_randomness;    // 0 .. 1: share of the lifetime that may be cut off at random
    float emitted;                // the frame's share of the rate, fraction included
    float seed;                   // changes every frame
    int pending;                  // particles still to emit this update
    uint instance_buffer_capacity; // instances in use in the linked set; 0 without one
};

// A particle at the instance's translation (the rows' w), scattered by the position randomness.
void particle_emitter_instances_emit(ParticleEmitterInstances_Params params, vec4 t0, vec4 t1, vec4 t2,
                                     inout Particle p, uint id)
{
    float base = float(id) * 1.61803398875 + params.seed * 7.31;
    vec3 r = vec3(random(base), random(base + 0.5), random(base + 0.25)) * 2.0 - 1.0;
    p.pos = vec3(t0.w, t1.w, t2.w) + r * params.position_randomness;
    p.size = 2.0 * params.half_size.x;
    float life = params.lifetime * (1.0 - clamp(params.lifetime_randomness, 0.0, 1.0) * random(base + 0.75));
    p.state = vec4(0.0, life, uintBitsToFloat(packUnorm4x8(params.color)), 0.0);
}

#endif // EMITTERS_INSTANCES_EMITTER_INL
