// The instance randomizer's functions, included once into a modifier pass however many randomizers it joins.
// Each randomizer instance brings its own parameter block; instance_modifier_randomizer applies one of them.
//
// Strength: 1 at the centre of the falloff ellipsoid ("Position", half radii per axis), going to 0 at its
// surface through the falloff curve (evaluated at 1 - normalised distance), 0 outside; "Inverse Falloff" uses
// 1 - strength instead. Every random value is drawn from the instance index, so an instance keeps its offsets
// from frame to frame; "Randomness" scales the random part of every offset.

#ifndef INSTANCE_MODIFIERS_RANDOMIZER_INL
#define INSTANCE_MODIFIERS_RANDOMIZER_INL

#include <shaders/materials/commons.glsl>

struct InstanceModifierRandomizer_Params
{
    vec3 position;
    int curveRow;       // falloff curve row in s_Curves
    vec3 halfRadius;
    int inverseFalloff;
    vec3 positionBase;
    int reserved0;
    vec3 positionRange;
    int replaceRotationScale;
    vec3 rotationBase;  // radians
    float reserved1;
    vec3 rotationRange; // radians
    float reserved2;
    vec3 scaleBase;
    int gradientRow;    // row in s_Gradients, -1: colours stay
    vec3 scaleRange;
    float randomness;
};

// Three random values in -0.5 .. 0.5 for an instance and a stream.
vec3 randomizerSigned(int id, float stream)
{
    return commonsHash33(vec3(float(id) * 1.618034 + 0.5, stream * 7.31 + 1.7, float(id) * 0.0137 + stream)) - 0.5;
}

// Ry * Rx * Rz, the engine's Euler order.
mat3 randomizerRotation(vec3 a)
{
    vec3 c = cos(a);
    vec3 s = sin(a);
    mat3 rx = mat3(1.0, 0.0, 0.0, 0.0, c.x, s.x, 0.0, -s.x, c.x);
    mat3 ry = mat3(c.y, 0.0, -s.y, 0.0, 1.0, 0.0, s.y, 0.0, c.y);
    mat3 rz = mat3(c.z, s.z, 0.0, -s.z, c.z, 0.0, 0.0, 0.0, 1.0);
    return ry * rx * rz;
}

float randomizerStrength(InstanceModifierRandomizer_Params p, vec3 at)
{
    // A zero radius on an axis makes the volume flat: only points on its plane are inside.
    vec3 d = (at - p.position) / max(abs(p.halfRadius), vec3(1e-6));
    float distance = length(d);
    float t = 1.0 - clamp(distance, 0.0, 1.0);
    float strength = distance >= 1.0 ? 0.0 : (p.curveRow >= 0 ? commonsSampleCurve(p.curveRow, t) : t);
    return p.inverseFalloff != 0 ? 1.0 - strength : strength;
}

void instance_modifier_randomizer(InstanceModifierRandomizer_Params p, inout InstanceData instance, int id)
{
    vec3 origin = instance.transform[3].xyz;
    float strength = randomizerStrength(p, origin);
    if (strength <= 0.0)
        return;

    vec3 offset = p.positionBase + p.positionRange * randomizerSigned(id, 1.0) * p.randomness;
    vec3 angles = p.rotationBase + p.rotationRange * randomizerSigned(id, 2.0) * p.randomness;
    vec3 scale = p.scaleBase + p.scaleRange * randomizerSigned(id, 3.0) * p.randomness;

    mat3 basis = mat3(instance.transform);
    vec3 s = mix(vec3(1.0), scale, strength);
    mat3 change = randomizerRotation(angles * strength) * mat3(s.x, 0.0, 0.0, 0.0, s.y, 0.0, 0.0, 0.0, s.z);
    // Replace: the instance's own rotation and scale give way to the random ones as the strength grows.
    basis = p.replaceRotationScale != 0 ? mat3(mix(basis[0], change[0], strength), mix(basis[1], change[1], strength),
                                               mix(basis[2], change[2], strength))
                                        : change * basis;
    instance.transform[0].xyz = basis[0];
    instance.transform[1].xyz = basis[1];
    instance.transform[2].xyz = basis[2];
    instance.transform[3].xyz = origin + offset * strength;

    if (p.gradientRow >= 0) {
        float pick = randomizerSigned(id, 4.0).x + 0.5;
        instance.color = mix(instance.color, commonsSampleGradient(p.gradientRow, pick), strength);
    }
}

#endif // INSTANCE_MODIFIERS_RANDOMIZER_INL
