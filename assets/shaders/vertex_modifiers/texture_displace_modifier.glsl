// The texture-displace vertex modifier: moves object-space vertices inside a box-shaped volume by the red channel
// of a texture. Each modifier instance declares its own uniform block of VertexModifierTextureDisplaceParams
// (464 bytes, std140, row-major matrices, filled by the engine's texture-displace component); this file holds the
// shared struct and code, guarded against a second inclusion. Needs commons.glsl; the texture is read through the
// material records, so without them (MATERIAL_PROPERTIES_BINDING undefined) nothing moves.
#ifndef VERTEX_MODIFIER_TEXTURE_DISPLACE_GLSL
#define VERTEX_MODIFIER_TEXTURE_DISPLACE_GLSL

struct VertexModifierTextureDisplaceParams {
    mat4 world_inverse;
    mat4 world;
    mat4 local;          // the volume's placement (rotation and position) in the renderer's object space
    mat4 local_inverse;
    mat4 frame;
    mat4 frame_inverse;
    vec3 strength;
    float noise_base;    // subtracted from the texel (0 .. 2)
    vec3 scale;          // xy: texture coordinate scale
    int inverse_falloff;
    vec3 position;
    int displacement_mode; // 0 along the normal, 1 away from the volume's centre
    vec3 radius;
    int absolute_value;
    int curve_row;       // row of the falloff curve in the curve texture; -1: linear falloff
    int material_index;  // material record whose albedo texture is sampled; 0: none this frame
    int radial_mapping;  // 1: coordinates from the direction out of the volume's centre, 0: the vertex's uv0
};

// Strength over the normalised distance t (0 at the centre, 1 at the volume's edge).
float vmTextureDisplaceFalloff(VertexModifierTextureDisplaceParams p, float t)
{
    float w = p.curve_row >= 0 ? commonsSampleCurve(p.curve_row, t) : t;
    return p.inverse_falloff != 0 ? 1.0 - w : w;
}

void vertex_modifier_texture_displace_apply(VertexModifierTextureDisplaceParams p, inout VertexRecord v)
{
#ifdef MATERIAL_PROPERTIES_BINDING
    if (p.material_index <= 0)
        return;
    MaterialPropertiesGPU material = materialLoad(p.material_index);
    if (!materialHasTexture(material.albedo_sampler))
        return;

    vec3 inVolume = (p.local_inverse * vec4(v.pos, 1.0)).xyz;
    vec3 safeRadius = max(abs(p.radius), vec3(1e-6));
    float t = length(inVolume / safeRadius);
    if (t > 1.0)
        return;

    vec2 uv = v.uv0;
    if (p.radial_mapping != 0) {
        // Longitude and latitude of the direction out of the volume's centre, both in 0 .. 1.
        vec3 d = dot(inVolume, inVolume) > 1e-12 ? normalize(inVolume) : vec3(0.0, 0.0, 1.0);
        uv = vec2(atan(d.x, d.z) * 0.15915494 + 0.5, asin(clamp(d.y, -1.0, 1.0)) * 0.31830989 + 0.5);
    }
    // Level 0: the vertex stage has no derivatives to choose one.
    float value = materialSampleLod(material.albedo_sampler, uv * p.scale.xy, 0.0).r - p.noise_base;
    if (p.absolute_value != 0)
        value = abs(value);

    vec3 direction = v.norm;
    if (p.displacement_mode == 1) {
        vec3 away = v.pos - p.position;
        direction = dot(away, away) > 1e-12 ? normalize(away) : v.norm;
    }
    v.pos += direction * p.strength * (value * vmTextureDisplaceFalloff(p, t));
#endif
}

#endif
