// The twist vertex modifier: turns object-space vertices inside a box-shaped volume about an axis through the
// volume's centre, by an angle that grows with the distance along that axis. Each modifier instance declares its
// own uniform block of VertexModifierTwistParams (436 bytes, std140, row-major matrices, filled by the engine's
// twist modifier component); this file only holds the shared struct and code, guarded against a second inclusion.
// Needs commons.glsl.
#ifndef VERTEX_MODIFIER_TWIST_GLSL
#define VERTEX_MODIFIER_TWIST_GLSL

struct VertexModifierTwistParams {
    mat4 world_inverse;
    mat4 world;
    mat4 local;          // the volume's placement in the renderer's object space
    mat4 local_inverse;
    mat4 frame;
    mat4 frame_inverse;
    vec3 axis;           // in the volume's frame; need not be normalised
    float angle;         // radians per unit along the axis
    vec3 position;
    int blend_mode;      // 0: the falloff scales the angle; 1: it blends the plain and the fully twisted position
    vec3 radius;
    int curve_row;       // row of the falloff curve in the curve texture; -1: linear falloff
    int inverse_falloff;
};

// Rotation of v about the unit axis by theta (Rodrigues).
vec3 vmTwistRotate(vec3 v, vec3 axis, float theta)
{
    float c = cos(theta);
    float s = sin(theta);
    return v * c + cross(axis, v) * s + axis * dot(axis, v) * (1.0 - c);
}

void vertex_modifier_twist_apply(VertexModifierTwistParams p, inout VertexRecord v)
{
    vec3 inVolume = (p.local_inverse * vec4(v.pos, 1.0)).xyz;
    vec3 safeRadius = max(abs(p.radius), vec3(1e-6));
    float t = length(inVolume / safeRadius);
    if (t > 1.0 || dot(p.axis, p.axis) < 1e-12)
        return;
    vec3 axis = normalize(p.axis);
    float w = p.curve_row >= 0 ? commonsSampleCurve(p.curve_row, t) : t;
    if (p.inverse_falloff != 0)
        w = 1.0 - w;

    float theta = p.angle * dot(inVolume, axis);
    vec3 twisted;
    vec3 normal = (p.local_inverse * vec4(v.norm, 0.0)).xyz;
    if (p.blend_mode == 0) {
        twisted = vmTwistRotate(inVolume, axis, theta * w);
        normal = vmTwistRotate(normal, axis, theta * w);
    } else {
        twisted = mix(inVolume, vmTwistRotate(inVolume, axis, theta), w);
        normal = mix(normal, vmTwistRotate(normal, axis, theta), w);
    }
    v.pos = (p.local * vec4(twisted, 1.0)).xyz;
    v.norm = (p.local * vec4(normal, 0.0)).xyz;
}

#endif
