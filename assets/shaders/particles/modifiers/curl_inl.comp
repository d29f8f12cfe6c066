// The curl modifier's block and its function, for the particle lifecycle program (which defines Particle, the
// time uniforms and "lifecycle_delta" before the joined blocks). One copy serves every curl modifier of a
// program, so the file may be included more than once.

#ifndef PARTICLES_MODIFIERS_CURL_INL
#define PARTICLES_MODIFIERS_CURL_INL

// std140, 64 bytes; the modifier fills it every frame.
struct ParticleModifierCurl_Params
{
    vec3 position;       // centre of the falloff volume
    int falloff_mode;    // 0 linear, 1 quadratic, 2 smoothstep
    vec3 radius;         // half extents of the falloff volume
    int falloff_inverse; // 1: full effect outside the volume, none at its centre
    vec3 strength;       // per axis, world units per second
    float noise_speed;   // how fast the field drifts with play time
    vec3 noise_scale;    // field frequency per axis
};

// 1 at the centre of the ellipsoid, 0 at and beyond its surface, shaped by the mode; reversed when inverted.
float particle_modifier_falloff(vec3 pos, vec3 centre, vec3 radius, int mode, int inverse)
{
    vec3 r = max(abs(radius), vec3(0.000001));
    float d = length((pos - centre) / r);
    float w = clamp(1.0 - d, 0.0, 1.0);
    if (mode == 1)
        w *= w;
    else if (mode == 2)
        w = smoothstep(0.0, 1.0, w);
    return inverse != 0 ? 1.0 - w : w;
}

// Smooth value noise of three inputs in -1 .. 1 (trilinear with a quintic fade between lattice hashes).
float particle_curl_noise(vec3 x)
{
    vec3 i = floor(x);
    vec3 f = x - i;
    vec3 u = f * f * f * (f * (f * 6.0 - 15.0) + 10.0);
    float n[8];
    for (int k = 0; k < 8; ++k) {
        vec3 corner = i + vec3(k & 1, (k >> 1) & 1, (k >> 2) & 1);
        n[k] = random(dot(corner, vec3(1.0, 57.0, 113.0))) * 2.0 - 1.0;
    }
    float x00 = mix(n[0], n[1], u.x), x10 = mix(n[2], n[3], u.x);
    float x01 = mix(n[4], n[5], u.x), x11 = mix(n[6], n[7], u.x);
    return mix(mix(x00, x10, u.y), mix(x01, x11, u.y), u.z);
}

// A divergence-free field: the curl of three decorrelated noise potentials, by central differences.
vec3 particle_curl_field(vec3 p)
{
    const float e = 0.1;
    const vec3 o1 = vec3(31.4, 0.0, 0.0), o2 = vec3(0.0, 47.2, 0.0);
    vec3 dx = vec3(e, 0.0, 0.0), dy = vec3(0.0, e, 0.0), dz = vec3(0.0, 0.0, e);
    float a_dy = particle_curl_noise(p + dy) - particle_curl_noise(p - dy);
    float a_dz = particle_curl_noise(p + dz) - particle_curl_noise(p - dz);
    float b_dx = particle_curl_noise(p + o1 + dx) - particle_curl_noise(p + o1 - dx);
    float b_dz = particle_curl_noise(p + o1 + dz) - particle_curl_noise(p + o1 - dz);
    float c_dx = particle_curl_noise(p + o2 + dx) - particle_curl_noise(p + o2 - dx);
    float c_dy = particle_curl_noise(p + o2 + dy) - particle_curl_noise(p + o2 - dy);
    return vec3(c_dy - b_dz, a_dz - c_dx, b_dx - a_dy) / (2.0 * e);
}

void particle_modifier_curl(ParticleModifierCurl_Params params, inout Particle p, uint id)
{
    float weight = particle_modifier_falloff(p.pos, params.position, params.radius, params.falloff_mode,
                                             params.falloff_inverse);
    if (weight <= 0.0)
        return;
    vec3 sample_at = p.pos * params.noise_scale + vec3(g_time * params.noise_speed);
    p.pos += particle_curl_field(sample_at) * params.strength * weight * lifecycle_delta;
}

#endif // PARTICLES_MODIFIERS_CURL_INL
