#version 430
// The final composite, a compute pass over the destination image. For a surface pixel:
//     lit image (lights and environment) + albedo x (ambient + fill from above + voxel illumination)
//     darkened by ambient occlusion and voxel occlusion, plus emission and screen-space reflections,
//     then exponential height fog by distance.
// (Traced reflections are already in the lit image; the lighting pass adds them.)
// Every pixel then takes the volumetric fog (a is its opacity, rgb the light it scatters), the additively blended
// particles and the editor's wireframe overlay. The editor's "Main" setting replaces the result by one input.
// Inputs at another size than the destination are read at the same screen position.

layout(local_size_x = 8, local_size_y = 8) in;

#include <shaders/materials/commons.glsl>
#include <shaders/deferred/compute_params.glsl>
#include <shaders/deferred/composite_params.glsl>
#include <shaders/deferred/raytrace_mask.glsl>

uniform sampler2D sCompositePrevious;    // previous frame's albedo (not read: the resolve keeps the history)
uniform sampler2D sAlbedo;
uniform sampler2D sTextureDepth;
uniform sampler2D sTextureDepthPrevious; // (not read)
uniform usampler2D sNormalMaterial;
uniform usampler2D sMetalnessRoughnessMaterialTags;
uniform sampler2D sShadow;               // the lighting pass's image
uniform sampler2D sHBAO;                 // 1 open, 0 occluded
uniform sampler2D sSSR;                  // rgb weighted reflection
uniform sampler2D sVoxelLighting;        // rgb illumination, a occlusion
uniform sampler2D sWireframeColor;
uniform sampler2D sWireframeDepth;
uniform sampler2D sRaytrace;             // traced reflections
uniform sampler2D sVolumetricFog;        // rgb scattered light, a opacity
uniform sampler2D sParticles;            // additive
uniform sampler2D sEmissive;             // the G-buffer's emitted radiance
uniform sampler2D sTargetPrevious;       // (not read here: the temporal resolve reads it)
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

void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    if (any(greaterThanEqual(pixel, ivec2(deferred.vTargetSize.xy))))
        return;
    vec2 uv = deferredPixelUV(pixel);

    float depth = fetchAt(sTextureDepth, uv).r;
    uint normalMaterial = fetchAt(sNormalMaterial, uv).r;
    uvec4 tags = fetchAt(sMetalnessRoughnessMaterialTags, uv);
    bool surface = depth < 1.0 && gbufferHasSurface(normalMaterial);
    vec3 albedo = fetchAt(sAlbedo, uv).rgb;
    vec3 normal = surface ? gbufferDecodeNormal(normalMaterial) : vec3(0.0, 1.0, 0.0);
    vec3 lit = fetchAt(sShadow, uv).rgb;
    vec4 voxel = fetchAt(sVoxelLighting, uv);
    vec4 fog = fetchAt(sVolumetricFog, uv);
    vec3 particles = fetchAt(sParticles, uv).rgb;
    vec3 traced = fetchAt(sRaytrace, uv).rgb;

    vec3 colour;
    int view = composite.view;
    if (view == kViewAlbedo) {
        colour = albedo;
    } else if (view == kViewNormals) {
        colour = surface ? normal * 0.5 + 0.5 : vec3(0.0);
    } else if (view == kViewRoughness) {
        colour = vec3(surface ? gbufferDecodeRoughness(tags) : 0.0);
    } else if (view == kViewLighting) {
        colour = lit;
    } else if (view == kViewVXLighting) {
        colour = voxel.rgb;
    } else if (view == kViewLightingVXLighting) {
        colour = lit + voxel.rgb;
    } else if (view == kViewVXOcclusion) {
        colour = vec3(1.0 - clamp(voxel.a, 0.0, 1.0));
    } else if (view == kViewMaterial) {
        colour = surface ? materialColour(gbufferDecodeMaterialIndex(normalMaterial)) : vec3(0.0);
    } else if (view == kViewRTMask) {
        colour = vec3(deferredWantsRaytrace(tags) ? 1.0 : 0.0);
    } else if (view == kViewRaytrace) {
        colour = traced;
    } else if (view == kViewVolumetricFog) {
        colour = fog.rgb;
    } else if (view == kViewParticles) {
        colour = particles;
    } else {
        colour = lit;
        if (surface) {
            float ao = clamp(fetchAt(sHBAO, uv).r, 0.0, 1.0);
            float voxelOcclusion = clamp(voxel.a * composite.vxOcclusionStrength, 0.0, 1.0);
            float skyFacing = normal.y * 0.5 + 0.5;
            vec3 ambient = composite.ambient.rgb * composite.ambient.a + composite.fill.rgb * composite.fill.a * skyFacing;
            vec3 indirect = albedo * (ambient + voxel.rgb * composite.vxIlluminationStrength);
            colour = (lit + indirect) * ao * (1.0 - voxelOcclusion);
            colour += fetchAt(sEmissive, uv).rgb;
            colour += fetchAt(sSSR, uv).rgb * composite.ssrStrength;

            vec3 world = deferredWorldPosition(uv, depth);
            float distance = length(world - deferred.vCameraPosition);
            float transmittance = fogTransmittance(distance, deferred.vCameraPosition.y, world.y);
            float fogShare = (1.0 - transmittance) * clamp(composite.fogColor.a, 0.0, 1.0);
            colour = mix(colour, composite.fogColor.rgb, fogShare);
        }
        float fogStrength = max(composite.volumetricFogStrength, 0.0);
        colour = colour * (1.0 - clamp(fog.a * fogStrength, 0.0, 1.0)) +
                 fog.rgb * composite.volumetricFogIntensity * fogStrength;
        colour += particles;

        // Wireframe overlay: full where it is in front of the scene, faint where the scene hides it.
        vec4 wire = fetchAt(sWireframeColor, uv);
        if (wire.a > 0.0) {
            float wireDepth = fetchAt(sWireframeDepth, uv).r;
            float visibility = wireDepth <= depth + 1e-6 ? 1.0 : 0.3;
            colour = mix(colour, wire.rgb, clamp(wire.a * visibility, 0.0, 1.0));
        }
    }
    imageStore(imTarget, pixel, deferredFinite(vec4(max(colour, vec3(0.0)), 1.0)));
}
