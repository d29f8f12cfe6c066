// The geometry emitter's block and its emit function, for the particle lifecycle program (which defines
// Particle, random and the time uniforms before the joined blocks; the scene's exported vertices come first).
// One copy serves every geometry emitter of a program, so the file may be included more than once.

#ifndef EMITTERS_GEOMETRY_EMITTER_INL
#define EMITTERS_GEOMETRY_EMITTER_INL

// std140, 44 bytes; the emitter fills it every frame.
struct ParticleEmitterGeometry_Params
{
    vec4 color;
    float lifetime;            // seconds
    float lifetime_randomness; // 0 .. 1: share of the lifetime that may be cut off at random
    float emitted;             // the frame's share of the rate, fraction included
    float seed;
    int pending;               // particles still to emit this update
    int faces_base;            // first face of the source in the scene's exported vertices, or -1
    int faces_per_instance;    // faces of the source surface
};

// A particle at a uniformly spread point of a random face of the source.
void particle_emitter_geometry_emit(ParticleEmitterGeometry_Params params, inout Particle p, uint id)
{
    if (params.faces_base < 0 || params.faces_per_instance <= 0)
        return;
    float base = float(id) * 1.61803398875 + params.seed * 7.31 + g_time * 13.17 + float(g_monotonic) * 0.37;
    int face = params.faces_base + min(int(random(base) * float(params.faces_per_instance)),
                                       params.faces_per_instance - 1);
    vec3 p0, p1, p2;
    rtFetchFace(face, p0, p1, p2);
    vec2 r = vec2(random(base + 0.5), random(base + 0.25));
    if (r.x + r.y > 1.0)
        r = 1.0 - r;
    p.pos = p0 + (p1 - p0) * r.x + (p2 - p0) * r.y;
    p.size = 1.0;
    float life = params.lifetime * (1.0 - clamp(params.lifetime_randomness, 0.0, 1.0) * random(base + 0.75));
    p.state = vec4(0.0, life, uintBitsToFloat(packUnorm4x8(params.color)), 0.0);
}

#endif // EMITTERS_GEOMETRY_EMITTER_INL
