#version 430
// The final composite, a compute pass over the destination image. For a surface pixel:
//     lit image (lights and environment) + albedo x (ambient + fill from above + voxel illumination)
//     darkened by ambient occlusion and voxel occlusion, plus emission and screen-space reflections,
//     then exponential height fog by distance.
// (Traced reflections are already in the lit image; the lighting pass adds them.)
// Every pixel then takes the volumetric fog (a is its opacity, rgb the light it scatters), the additively blended
// particles and the editor's wireframe overlay. The editor's "Main" setting replaces the result by one input.
// Inputs at another size than the destination are read at the same screen position.
//
// Variants: COMPOSITE_VIEW fixes the view at compile time, and each COMPOSITE_WITH_* define keeps one optional
// input; an input left out reads as the value its pass clears to (no light, no occlusion, no overlay), so a
// variant gives the same pixels as the full program for a frame whose left-out inputs hold their cleared values.
// Without COMPOSITE_VIEW this is the full program: every input, the view taken from the parameters.

layout(local_size_x = 8, local_size_y = 8) in;

#include <shaders/materials/commons.glsl>
#include <shaders/deferred/compute_params.glsl>
#include <shaders/deferred/composite_params.glsl>
#include <shaders/deferred/raytrace_mask.glsl>

#ifndef COMPOSITE_VIEW
#define COMPOSITE_VIEW composite.view
#define COMPOSITE_WITH_VOXEL 1
#define COMPOSITE_WITH_FOG 1
#define COMPOSITE_WITH_PARTICLES 1
#define COMPOSITE_WITH_RAYTRACE 1
#define COMPOSITE_WITH_WIREFRAME 1
#define COMPOSITE_WITH_OCCLUSION 1
#define COMPOSITE_WITH_REFLECTIONS 1
#endif

uniform sampler2D sCompositePrevious;    // previous frame's albedo (not read: the resolve keeps the history)
uniform sampler2D sAlbedo;
uniform sampler2D sTextureDepth;
uniform sampler2D sTextureDepthPrevious; // (not read)
uniform usampler2D sNormalMaterial;
uniform usampler2D sMetalnessRoughnessMaterialTags;
uniform sampler2D sShadow;               // the lighting pass's image
uniform sampler2D sEmissive;             // the G-buffer's emitted radiance
uniform sampler2D sTargetPrevious;       // (not read here: the temporal resolve reads it)
#ifdef COMPOSITE_WITH_OCCLUSION
uniform sampler2D sHBAO;                 // 1 open, 0 occluded
#endif
#ifdef COMPOSITE_WITH_REFLECTIONS
uniform sampler2D sSSR;                  // rgb weighted reflection
#endif
#ifdef COMPOSITE_WITH_VOXEL
uniform sampler2D sVoxelLighting;        // rgb illumination, a occlusion
#endif
#ifdef COMPOSITE_WITH_WIREFRAME
uniform sampler2D sWireframeColor;
uniform sampler2D sWireframeDepth;
#endif
#ifdef COMPOSITE_WITH_RAYTRACE
uniform sampler2D sRaytrace;             // traced reflections
#endif
#ifdef COMPOSITE_WITH_FOG
uniform sampler2D sVolumetricFog;        // rgb scattered light, a opacity
#endif
#ifdef COMPOSITE_WITH_PARTICLES
uniform sampler2D sParticles;            // additive
#endif
writeonly uniform image2D imTarget;

vec4 fetchAt(sampler2D s, vec2 uv)
{
    return texelFetch(s, deferredTexelAt(uv, textureSize(s, 0)), 0);
}

uvec4 fetchAt(usampler2D s, vec2 uv)
{
    return texelFetch(s, deferredTexelAt(uv, textureSize(s, 0)), 0);
}

// A steady colour per material row, for telling materials apart.
vec3 materialColour(int index)
{
    vec3 h = commonsHash33(vec3(float(index) * 0.618034, float(index) * 1.3247, 7.0));
    return 0.25 + 0.75 * h;
}

// Share of the light that crosses `distance` of height fog from the camera at height `fromHeight` to a point at
// `toHeight`: the density 1 / range at height 0 falls off as exp(-k y), k = height density / height.
float fogTransmittance(float distance, float fromHeight, float toHeight)
{
    float range = max(composite.fogRange, 1e-3);
    float k = max(composite.fogHeightDensity, 0.0) / max(composite.fogHeight, 1e-3);
    float dy = toHeight - fromHeight;
    // Mean of exp(-k y) along the segment; its limit exp(-k y0) for level rays.
    float meanDensity = abs(k * dy) > 1e-4 ? (exp(-k * fromHeight) - exp(-k * toHeight)) / (k * dy)
                                            : exp(-k * fromHeight);
    return exp(-distance / range * clamp(meanDensity, 0.0, 1e4));
}

// The optional inputs, or the values their passes clear to when they are compiled out.
vec4 voxelAt(vec2 uv)
{
#ifdef COMPOSITE_WITH_VOXEL
    return fetchAt(sVoxelLighting, uv);
#else
    return vec4(0.0);
#endif
}

vec4 fogAt(vec2 uv)
{
#ifdef COMPOSITE_WITH_FOG
    return fetchAt(sVolumetricFog, uv);
#else
    return vec4(0.0);
#endif
}

vec3 particlesAt(vec2 uv)
{
#ifdef COMPOSITE_WITH_PARTICLES
    return fetchAt(sParticles, uv).rgb;
#else
    return vec3(0.0);
#endif
}

vec3 tracedAt(vec2 uv)
{
#ifdef COMPOSITE_WITH_RAYTRACE
    return fetchAt(sRaytrace, uv).rgb;
#else
    return vec3(0.0);
#endif
}

float occlusionAt(vec2 uv)
{
#ifdef COMPOSITE_WITH_OCCLUSION
    return clamp(fetchAt(sHBAO, uv).r, 0.0, 1.0);
#else
    return 1.0;
#endif
}

vec3 reflectionAt(vec2 uv)
{
#ifdef COMPOSITE_WITH_REFLECTIONS
    return fetchAt(sSSR, uv).rgb;
#else
    return vec3(0.0);
#endif
}

// The scene as lit, before the overlays.
vec3 surfaceColour(vec2 uv, float depth, vec3 albedo, vec3 normal, bool surface)
{
    vec3 colour = fetchAt(sShadow, uv).rgb;
    if (surface) {
        vec4 voxel = voxelAt(uv);
        float ao = occlusionAt(uv);
        float voxelOcclusion = clamp(voxel.a * composite.vxOcclusionStrength, 0.0, 1.0);
        float skyFacing = normal.y * 0.5 + 0.5;
        vec3 ambient = composite.ambient.rgb * composite.ambient.a + composite.fill.rgb * composite.fill.a * skyFacing;
        vec3 indirect = albedo * (ambient + voxel.rgb * composite.vxIlluminationStrength);
        colour = (colour + indirect) * ao * (1.0 - voxelOcclusion);
        colour += fetchAt(sEmissive, uv).rgb;
        colour += reflectionAt(uv) * composite.ssrStrength;

        vec3 world = deferredWorldPosition(uv, depth);
        float distance = length(world - deferred.vCameraPosition);
        float transmittance = fogTransmittance(distance, deferred.vCameraPosition.y, world.y);
        float fogShare = (1.0 - transmittance) * clamp(composite.fogColor.a, 0.0, 1.0);
        colour = mix(colour, composite.fogColor.rgb, fogShare);
    }
    return colour;
}

// Volumetric fog, particles and the wireframe over the scene.
vec3 overlays(vec3 colour, vec2 uv, float depth)
{
#ifdef COMPOSITE_WITH_FOG
    vec4 fog = fogAt(uv);
    float fogStrength = max(composite.volumetricFogStrength, 0.0);
    colour = colour * (1.0 - clamp(fog.a * fogStrength, 0.0, 1.0)) +
             fog.rgb * composite.volumetricFogIntensity * fogStrength;
#endif
#ifdef COMPOSITE_WITH_PARTICLES
    colour += particlesAt(uv);
#endif
#ifdef COMPOSITE_WITH_WIREFRAME
    // Full where it is in front of the scene, faint where the scene hides it.
    vec4 wire = fetchAt(sWireframeColor, uv);
    if (wire.a > 0.0) {
        float wireDepth = fetchAt(sWireframeDepth, uv).r;
        float visibility = wireDepth <= depth + 1e-6 ? 1.0 : 0.3;
        colour = mix(colour, wire.rgb, clamp(wire.a * visibility, 0.0, 1.0));
    }
#endif
    return colour;
}

void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    if (any(greaterThanEqual(pixel, ivec2(deferred.vTargetSize.xy))))
        return;
    vec2 uv = deferredPixelUV(pixel);

    float depth = fetchAt(sTextureDepth, uv).r;
    uint normalMaterial = fetchAt(sNormalMaterial, uv).r;
    bool surface = depth < 1.0 && gbufferHasSurface(normalMaterial);
    vec3 normal = surface ? gbufferDecodeNormal(normalMaterial) : vec3(0.0, 1.0, 0.0);

    vec3 colour;
    int view = COMPOSITE_VIEW;
    if (view == kViewAlbedo) {
        colour = fetchAt(sAlbedo, uv).rgb;
    } else if (view == kViewNormals) {
        colour = surface ? normal * 0.5 + 0.5 : vec3(0.0);
    } else if (view == kViewRoughness) {
        colour = vec3(surface ? gbufferDecodeRoughness(fetchAt(sMetalnessRoughnessMaterialTags, uv)) : 0.0);
    } else if (view == kViewLighting) {
        colour = fetchAt(sShadow, uv).rgb;
    } else if (view == kViewVXLighting) {
        colour = voxelAt(uv).rgb;
    } else if (view == kViewLightingVXLighting) {
        colour = fetchAt(sShadow, uv).rgb + voxelAt(uv).rgb;
    } else if (view == kViewVXOcclusion) {
        colour = vec3(1.0 - clamp(voxelAt(uv).a, 0.0, 1.0));
    } else if (view == kViewMaterial) {
        colour = surface ? materialColour(gbufferDecodeMaterialIndex(normalMaterial)) : vec3(0.0);
    } else if (view == kViewRTMask) {
        colour = vec3(deferredWantsRaytrace(fetchAt(sMetalnessRoughnessMaterialTags, uv)) ? 1.0 : 0.0);
    } else if (view == kViewRaytrace) {
        colour = tracedAt(uv);
    } else if (view == kViewVolumetricFog) {
        colour = fogAt(uv).rgb;
    } else if (view == kViewParticles) {
        colour = particlesAt(uv);
    } else {
        vec3 albedo = fetchAt(sAlbedo, uv).rgb;
        colour = overlays(surfaceColour(uv, depth, albedo, normal, surface), uv, depth);
    }
    imageStore(imTarget, pixel, deferredFinite(vec4(max(colour, vec3(0.0)), 1.0)));
}
