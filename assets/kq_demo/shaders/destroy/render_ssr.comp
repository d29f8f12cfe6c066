#version 430
// Screen-space reflections. Every pixel whose material asks for them (MaterialFlag_SSR) reflects the view ray
// about its normal and marches the reflected ray across the screen, interpolating 1 / z so the march stays
// perspective-correct; where it passes behind the linear depth a short bisection finds the crossing, which is a hit
// when it lies less than the depth thickness behind the surface. The hit's colour comes from the reflection source (this frame's lit image),
// weighted by Fresnel and by a confidence that fades out at the screen border, for rough surfaces and for rays
// that run back toward the camera. Output: rgb the weighted reflection, a the confidence; 0 where nothing hit.

layout(local_size_x = 16, local_size_y = 16) in;

#include <shaders/materials/commons.glsl>

layout(std140, row_major) uniform SSRSetupBuffer
{
    mat4 mProjection;
    mat4 mWorld;          // camera to world
    vec3 vCameraPosition;
    float reserved;
    vec4 vExtent;         // (2 tan(fov / 2) w / h, 2 tan(fov / 2), 0, 0)
    vec4 vNearFar;        // (n, f, 2 n f, f - n)
    int reserved2;
    float depthThickness;
} ssr;

uniform sampler2D sTextureDepth;
uniform sampler2D sTextureLinearDepth;
layout(rgba16f) readonly uniform image2D imAlbedo;
layout(r32ui) readonly uniform uimage2D imNormalMaterial;
layout(rgba16f) readonly uniform image2D imReflectionSource;
layout(rgba16f) writeonly uniform image2D imReflectionDest;
layout(rgba16ui) readonly uniform uimage2D imMetalnessRoughnessMaterialTags;
uniform sampler2D sTexturesBase; // the reflection source, filtered
uniform vec2 vResolution;
uniform vec2 vResolutionInv;
uniform float scalingFactor = 1.0;

const int kMaxSteps = 48;
const int kRefineSteps = 5;
const float kMaxRoughness = 0.7;

vec2 project(vec3 view)
{
    return view.xy / (view.z * max(ssr.vExtent.xy, vec2(1e-6))) + 0.5;
}

float sceneDepth(vec2 uv)
{
    ivec2 size = textureSize(sTextureLinearDepth, 0);
    return texelFetch(sTextureLinearDepth, clamp(ivec2(uv * vec2(size)), ivec2(0), size - 1), 0).r;
}

bool hasSurface(vec2 uv)
{
    ivec2 size = textureSize(sTextureDepth, 0);
    return texelFetch(sTextureDepth, clamp(ivec2(uv * vec2(size)), ivec2(0), size - 1), 0).r < 1.0;
}

void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    ivec2 size = ivec2(vResolution);
    if (any(greaterThanEqual(pixel, size)))
        return;
    vec4 none = vec4(0.0);

    uint normalMaterial = imageLoad(imNormalMaterial, pixel).r;
    uvec4 tags = imageLoad(imMetalnessRoughnessMaterialTags, pixel);
    float roughness = gbufferDecodeRoughness(tags);
    if (!gbufferHasSurface(normalMaterial) || (gbufferDecodeMaterialFlags(tags) & MaterialFlag_SSR) == 0u ||
        roughness >= kMaxRoughness) {
        imageStore(imReflectionDest, pixel, none);
        return;
    }

    vec2 uv = (vec2(pixel) + 0.5) * vResolutionInv;
    float z = texelFetch(sTextureLinearDepth, clamp(pixel, ivec2(0), textureSize(sTextureLinearDepth, 0) - 1), 0).r;
    vec3 p = vec3((uv - 0.5) * ssr.vExtent.xy * z, z);

    // World normals into view space: the camera's world transform is a rotation and a translation.
    mat3 cameraRotation = mat3(normalize(ssr.mWorld[0].xyz), normalize(ssr.mWorld[1].xyz), normalize(ssr.mWorld[2].xyz));
    vec3 n = normalize(transpose(cameraRotation) * gbufferDecodeNormal(normalMaterial));
    vec3 v = normalize(p);
    if (dot(n, v) > 0.0)
        n = -n;
    vec3 r = reflect(v, n);
    if (r.z < -0.2 || z <= 0.0) {
        imageStore(imReflectionDest, pixel, none);
        return;
    }

    // The ray's end: a few view distances out, kept in front of the near plane.
    float rayLength = max(z, 1.0) * 4.0;
    float nearLimit = max(ssr.vNearFar.x, 1e-3) * 1.5;
    if (r.z < 0.0)
        rayLength = min(rayLength, (p.z - nearLimit) / -r.z);
    vec3 q = p + r * max(rayLength, 0.0);
    if (q.z <= nearLimit) {
        imageStore(imReflectionDest, pixel, none);
        return;
    }

    vec2 startUV = uv;
    vec2 endUV = project(q);
    float startInv = 1.0 / p.z;
    float endInv = 1.0 / q.z;
    float pixels = length((endUV - startUV) * vResolution);
    int steps = clamp(int(pixels / max(scalingFactor, 0.25) / 2.0), 1, kMaxSteps);
    float thickness = max(ssr.depthThickness, 1e-3);
    float jitter = fract(52.9829189 * fract(dot(vec2(pixel), vec2(0.06711056, 0.00583715))));

    // March until the ray passes behind the depth buffer, then bisect the crossing; it is a hit when the refined
    // point lies within the thickness behind the surface (else the ray went behind an object and marches on).
    float previousT = 0.0;
    float hi = -1.0;
    for (int i = 1; i <= steps; ++i) {
        float t = max((float(i) - 1.0 + jitter) / float(steps), 0.5 / float(steps));
        vec2 sampleUV = mix(startUV, endUV, t);
        if (any(lessThan(sampleUV, vec2(0.0))) || any(greaterThan(sampleUV, vec2(1.0))))
            break;
        float rayZ = 1.0 / mix(startInv, endInv, t);
        if (rayZ <= sceneDepth(sampleUV) || !hasSurface(sampleUV)) {
            previousT = t;
            continue;
        }
        float lo = previousT;
        float up = t;
        for (int r = 0; r < kRefineSteps; ++r) {
            float mid = 0.5 * (lo + up);
            vec2 midUV = mix(startUV, endUV, mid);
            if (1.0 / mix(startInv, endInv, mid) > sceneDepth(midUV))
                up = mid;
            else
                lo = mid;
        }
        vec2 refinedUV = mix(startUV, endUV, up);
        float behind = 1.0 / mix(startInv, endInv, up) - sceneDepth(refinedUV);
        if (behind < thickness && hasSurface(refinedUV)) {
            hi = up;
            break;
        }
        previousT = t;
    }
    if (hi < 0.0) {
        imageStore(imReflectionDest, pixel, none);
        return;
    }
    vec2 hitUV = mix(startUV, endUV, hi);

    vec3 reflected = textureLod(sTexturesBase, hitUV, 0.0).rgb;
    vec2 border = min(hitUV, 1.0 - hitUV);
    float confidence = clamp(min(border.x, border.y) * 10.0, 0.0, 1.0);
    confidence *= 1.0 - smoothstep(0.6, 1.0, hi);
    confidence *= 1.0 - smoothstep(kMaxRoughness * 0.5, kMaxRoughness, roughness);
    confidence *= clamp(r.z * 5.0 + 1.0, 0.0, 1.0);

    vec3 albedo = imageLoad(imAlbedo, pixel).rgb;
    float metalness = gbufferDecodeMetalness(tags);
    vec3 f0 = mix(vec3(0.04), albedo, metalness);
    float cosTheta = clamp(dot(-v, n), 0.0, 1.0);
    vec3 fresnel = f0 + (1.0 - f0) * pow(1.0 - cosTheta, 5.0);

    vec4 result = vec4(reflected * fresnel * confidence, confidence);
    for (int i = 0; i < 4; ++i)
        result[i] = (isnan(result[i]) || isinf(result[i])) ? 0.0 : clamp(result[i], 0.0, 65504.0);
    imageStore(imReflectionDest, pixel, result);
}
