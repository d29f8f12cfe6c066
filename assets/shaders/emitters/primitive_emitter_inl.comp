// The primitive emitter's block and its emit function, for the particle lifecycle program (which defines
// Particle, random and the time uniforms before the joined blocks). One copy serves every primitive emitter of a
// program, so the file may be included more than once.

#ifndef EMITTERS_PRIMITIVE_EMITTER_INL
#define EMITTERS_PRIMITIVE_EMITTER_INL

// std140, 128 bytes; the emitter fills it every frame.
struct ParticleEmitterPrimitive_Params
{
    mat4 emitter;              // scale, rotation and position of the shape
    vec4 color;
    vec3 half_size;            // half the particle size
    int perimeter_only;        // 1: on the surface of the shape, else inside it
    int primitive;             // 0 sphere of radius 1, 1 cube from -0.5 to 0.5
    float lifetime;            // seconds
    float lifetime_randomness; // 0 .. 1: share of the lifetime that may be cut off at random
    float emitted;             // the frame's share of the rate, fraction included
    float seed;
    int pending;               // particles still to emit this update
};

// A point of the unit shape for three random numbers in 0 .. 1.
vec3 particle_emitter_primitive_point(int primitive, bool perimeter, vec3 r)
{
    if (primitive == 1) {
        vec3 q = r - 0.5;
        if (perimeter) {
            // Onto the face of the axis that is already farthest out.
            vec3 a = abs(q);
            int axis = a.x >= a.y && a.x >= a.z ? 0 : (a.y >= a.z ? 1 : 2);
            q[axis] = q[axis] < 0.0 ? -0.5 : 0.5;
        }
        return q;
    }
    // Uniform on the sphere by height and angle; the cube root spreads points evenly through the volume.
    float z = r.x * 2.0 - 1.0;
    float phi = r.y * 2.0 * kPI;
    float ring = sqrt(max(1.0 - z * z, 0.0));
    vec3 direction = vec3(ring * cos(phi), ring * sin(phi), z);
    return direction * (perimeter ? 1.0 : pow(r.z, 1.0 / 3.0));
}

void particle_emitter_primitive_emit(ParticleEmitterPrimitive_Params params, inout Particle p, uint id)
{
    // Slot, seed and time keep successive emissions into one slot apart.
    float base = float(id) * 1.61803398875 + params.seed * 7.31 + g_time * 13.17 + float(g_monotonic) * 0.37;
    vec3 r = vec3(random(base), random(base + 0.5), random(base + 0.25));
    vec3 local = particle_emitter_primitive_point(params.primitive, params.perimeter_only != 0, r);
    p.pos = (params.emitter * vec4(local, 1.0)).xyz;
    p.size = 2.0 * params.half_size.x;
    float life = params.lifetime * (1.0 - clamp(params.lifetime_randomness, 0.0, 1.0) * random(base + 0.75));
    p.state = vec4(0.0, life, uintBitsToFloat(packUnorm4x8(params.color)), 0.0);
}

#endif // EMITTERS_PRIMITIVE_EMITTER_INL
