#version 430
// Cube-map filter: draws one face of level k + 1 as a blurred copy of level k. The sampler only sees level k while
// this runs, so each level blurs the already blurred one above it and the cone widens from level to level.

uniform samplerCube s_texture0;
uniform int cubeFace;     // face 0-5 being drawn, GL order +X -X +Y -Y +Z -Z
uniform float cone_angle; // smallest cone half-angle, radians
uniform float miplevel;   // the level sampled
uniform vec4 params;      // x: face, y: blur radius in texels of the sampled level, z: 1
uniform vec2 vResolution; // size of the level drawn

in vec2 texcoord;
out vec4 outColor;

const int kSamples = 24;
const float kGoldenAngle = 2.39996323;

// The direction GL's cube lookup maps to coordinates (s, t) of the face, s and t in -1..1.
vec3 faceDirection(int face, vec2 st)
{
    if (face == 0) return vec3(1.0, -st.y, -st.x);
    if (face == 1) return vec3(-1.0, -st.y, st.x);
    if (face == 2) return vec3(st.x, 1.0, st.y);
    if (face == 3) return vec3(st.x, -1.0, -st.y);
    if (face == 4) return vec3(st.x, -st.y, 1.0);
    return vec3(-st.x, -st.y, -1.0);
}

void main()
{
    vec3 n = normalize(faceDirection(cubeFace, texcoord * 2.0 - 1.0));
    // A face spans a quarter turn; the sampled level has twice the texels of the drawn one.
    float texelAngle = 1.5707963 / max(2.0 * vResolution.x, 1.0);
    float cone = clamp(params.y * texelAngle, cone_angle, 1.2);
    float spread = tan(cone);

    vec3 up = abs(n.y) < 0.999 ? vec3(0.0, 1.0, 0.0) : vec3(1.0, 0.0, 0.0);
    vec3 tangent = normalize(cross(up, n));
    vec3 bitangent = cross(n, tangent);

    // A Gaussian-weighted spiral of taps over the cone's disc, plus its centre.
    vec3 sum = textureLod(s_texture0, n, miplevel).rgb;
    float weightSum = 1.0;
    for (int i = 0; i < kSamples; ++i) {
        float r = sqrt((float(i) + 0.5) / float(kSamples));
        float phi = float(i) * kGoldenAngle;
        vec3 dir = normalize(n + spread * r * (cos(phi) * tangent + sin(phi) * bitangent));
        float w = exp(-2.0 * r * r);
        sum += textureLod(s_texture0, dir, miplevel).rgb * w;
        weightSum += w;
    }
    outColor = vec4(sum / weightSum, 1.0);
}
