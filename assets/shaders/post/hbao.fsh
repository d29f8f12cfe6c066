#version 430
// Horizon-based ambient occlusion. For every pixel the view-space position comes from the linear depth, the
// normal from the neighbouring positions; eight directions (turned per pixel by the 4 x 4 rotation texture) are
// marched over a radius of R view units, and each sample S above the tangent plane occludes by
//     clamp(dot(N, S - P) / |S - P| - NDotVBias, 0, 1) * clamp(1 - |S - P|^2 / R^2, 0, 1).
// The mean times AOMultiplier (1 / (1 - bias)) gives the occlusion; the output is its complement raised to
// PowExponent: 1 is fully open. Pixels without a surface are open.

uniform sampler2D s_texture0; // G-buffer depth (1: no surface)
uniform sampler2D s_texture1; // 4 x 4 rotations: (cos a, sin a, step jitter, 0)
uniform sampler2D s_texture2; // linear depth

// xy: a fixed 58 degree 16:9 extent; zw: the camera's own view extents at distance 1 (used whenever set).
uniform vec4 vCameraProjectionParams;
uniform float vNearPlane;
uniform float vFarPlane;
uniform float PowExponent = 1.0;
uniform float NDotVBias = 0.1;
uniform float radius = 1.0;
uniform float R = 1.0;
uniform float R2 = 1.0;
uniform float NegInvR2 = -1.0;
uniform float RadiusToScreen = 10.0;
uniform float AOMultiplier = 1.0;
uniform vec2 vResolution;

layout(location = 0) out vec4 outColor;

const int kDirections = 8;
const int kSteps = 4;
const float kTwoPi = 6.28318530718;

vec2 viewExtent()
{
    return all(greaterThan(vCameraProjectionParams.zw, vec2(0.0))) ? vCameraProjectionParams.zw
                                                                  : vCameraProjectionParams.xy;
}

ivec2 linearSize()
{
    return textureSize(s_texture2, 0);
}

vec3 viewPosition(ivec2 texel)
{
    ivec2 size = linearSize();
    texel = clamp(texel, ivec2(0), size - 1);
    float z = texelFetch(s_texture2, texel, 0).r;
    vec2 uv = (vec2(texel) + 0.5) / vec2(size);
    return vec3((uv - 0.5) * viewExtent() * z, z);
}

// Of the two one-sided differences the shorter, so edges between surfaces do not bend the normal.
vec3 shorterDifference(vec3 p, vec3 minus, vec3 plus)
{
    vec3 a = p - minus;
    vec3 b = plus - p;
    return dot(a, a) < dot(b, b) ? a : b;
}

float sampleOcclusion(vec3 p, vec3 n, vec3 s)
{
    vec3 v = s - p;
    float vv = dot(v, v);
    float nv = dot(n, v) * inversesqrt(max(vv, 1e-12));
    return clamp(nv - NDotVBias, 0.0, 1.0) * clamp(vv * NegInvR2 + 1.0, 0.0, 1.0);
}

void main()
{
    ivec2 size = linearSize();
    ivec2 texel = clamp(ivec2(gl_FragCoord.xy / max(vResolution, vec2(1.0)) * vec2(size)), ivec2(0), size - 1);
    ivec2 depthSize = textureSize(s_texture0, 0);
    float depth = texelFetch(s_texture0, clamp(texel * depthSize / size, ivec2(0), depthSize - 1), 0).r;
    if (depth >= 1.0) {
        outColor = vec4(1.0);
        return;
    }

    vec3 p = viewPosition(texel);
    vec3 dx = shorterDifference(p, viewPosition(texel - ivec2(1, 0)), viewPosition(texel + ivec2(1, 0)));
    vec3 dy = shorterDifference(p, viewPosition(texel - ivec2(0, 1)), viewPosition(texel + ivec2(0, 1)));
    vec3 n = cross(dx, dy);
    float nn = dot(n, n);
    if (nn < 1e-20 || p.z <= 0.0) {
        outColor = vec4(1.0);
        return;
    }
    n *= inversesqrt(nn);
    if (dot(n, p) > 0.0)
        n = -n; // face the camera

    // Pixels per view unit at this distance, from the camera's vertical extent.
    float pixelsPerUnit = float(size.y) / (viewExtent().y * p.z);
    float radiusPixels = min(R * pixelsPerUnit, 0.25 * float(size.y));
    if (radiusPixels < 1.0) {
        outColor = vec4(1.0);
        return;
    }
    float stepPixels = radiusPixels / float(kSteps + 1);

    vec4 rotation = texelFetch(s_texture1, texel & 3, 0);
    float occlusion = 0.0;
    for (int d = 0; d < kDirections; ++d) {
        float angle = kTwoPi / float(kDirections) * float(d);
        vec2 dir = vec2(cos(angle), sin(angle));
        dir = vec2(dir.x * rotation.x - dir.y * rotation.y, dir.x * rotation.y + dir.y * rotation.x);
        float ray = rotation.z * stepPixels + 1.0;
        for (int s = 0; s < kSteps; ++s) {
            ivec2 sampleTexel = texel + ivec2(round(dir * ray));
            if (any(lessThan(sampleTexel, ivec2(0))) || any(greaterThanEqual(sampleTexel, size)))
                break;
            occlusion += sampleOcclusion(p, n, viewPosition(sampleTexel));
            ray += stepPixels;
        }
    }
    occlusion *= AOMultiplier / float(kDirections * kSteps);
    float ao = clamp(1.0 - occlusion * 2.0, 0.0, 1.0);
    ao = pow(ao, max(PowExponent, 0.0));
    outColor = vec4(ao, ao, ao, 1.0);
}
