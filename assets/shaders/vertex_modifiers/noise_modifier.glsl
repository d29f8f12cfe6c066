// The noise vertex modifier: displaces object-space vertices by 3D value noise inside a box-shaped volume. Each
// modifier instance declares its own uniform block of VertexModifierNoiseParams (472 bytes, std140, row-major
// matrices, filled by the engine's noise modifier component); this file only holds the shared struct and code,
// so it is guarded against a second inclusion when several noise modifiers are linked. Needs commons.glsl.
#ifndef VERTEX_MODIFIER_NOISE_GLSL
#define VERTEX_MODIFIER_NOISE_GLSL

struct VertexModifierNoiseParams {
    mat4 world_inverse;
    mat4 world;
    mat4 local;          // the volume's placement (rotation and position) in the renderer's object space
    mat4 local_inverse;
    mat4 frame;
    mat4 frame_inverse;
    vec4 phase;          // xyz offset of the noise, w its time offset
    vec3 noise_scale;
    int curve_row;       // row of the falloff curve in the curve texture; -1: linear falloff
    vec3 strength;
    int inverse_falloff;
    vec3 position;
    int relative_to_modifier; // 1: the noise moves with the volume, 0: it stays fixed to the object
    vec3 radius;
    int displacement_mode;    // 0 along the normal, 1 away from the volume's centre
    float noise_base;         // subtracted from the noise (0 .. 1): 0.5 displaces both ways
    int absolute_noise;
};

float vmNoiseHash(vec3 p)
{
    p = fract(p * 0.3183099 + vec3(0.71, 0.113, 0.419));
    p *= 17.0;
    return fract(p.x * p.y * p.z * (p.x + p.y + p.z));
}

// Smooth value noise in 0 .. 1.
float vmValueNoise(vec3 x)
{
    vec3 i = floor(x);
    vec3 f = fract(x);
    f = f * f * (3.0 - 2.0 * f);
    float n000 = vmNoiseHash(i);
    float n100 = vmNoiseHash(i + vec3(1, 0, 0));
    float n010 = vmNoiseHash(i + vec3(0, 1, 0));
    float n110 = vmNoiseHash(i + vec3(1, 1, 0));
    float n001 = vmNoiseHash(i + vec3(0, 0, 1));
    float n101 = vmNoiseHash(i + vec3(1, 0, 1));
    float n011 = vmNoiseHash(i + vec3(0, 1, 1));
    float n111 = vmNoiseHash(i + vec3(1, 1, 1));
    return mix(mix(mix(n000, n100, f.x), mix(n010, n110, f.x), f.y),
               mix(mix(n001, n101, f.x), mix(n011, n111, f.x), f.y), f.z);
}

// Strength over the normalised distance t (0 at the centre, 1 at the volume's edge).
float vmNoiseFalloff(VertexModifierNoiseParams p, float t)
{
    float w = p.curve_row >= 0 ? commonsSampleCurve(p.curve_row, t) : t;
    return p.inverse_falloff != 0 ? 1.0 - w : w;
}

void vertex_modifier_noise_apply(VertexModifierNoiseParams p, inout VertexRecord v)
{
    // The vertex in the volume's own frame, scaled so the volume's edge is at distance 1.
    vec3 inVolume = (p.local_inverse * vec4(v.pos, 1.0)).xyz;
    vec3 safeRadius = max(abs(p.radius), vec3(1e-6));
    float t = length(inVolume / safeRadius);
    if (t > 1.0)
        return;

    vec3 at = p.relative_to_modifier != 0 ? inVolume : v.pos;
    float value = vmValueNoise(at * p.noise_scale + p.phase.xyz + vec3(p.phase.w)) - p.noise_base;
    if (p.absolute_noise != 0)
        value = abs(value);

    vec3 direction = v.norm;
    if (p.displacement_mode == 1) {
        vec3 away = v.pos - p.position;
        direction = dot(away, away) > 1e-12 ? normalize(away) : v.norm;
    }
    v.pos += direction * p.strength * (value * vmNoiseFalloff(p, t));
}

#endif
