#version 430
// The deferred lighting pass: shades every G-buffer pixel with all lights of the frame and the environment map in
// one full-screen draw.
//
// Output (the scene player's lighting target, "txtDeferredGlobalShadows"):
//   rgb  reflected light: direct light of every frame light (shadowed) plus image-based environment light;
//        emitted light and the ambient terms are left to the composite
//   a    1 where a surface was drawn, 0 where the view ray met nothing (rgb is then the environment seen)
//
// Shading: Lambert diffuse and GGX specular (height-correlated Smith visibility, Schlick Fresnel) for punctual
// lights; linearly transformed cosines for area lights; split-sum GGX with the BRDF table for the environment.
// A white light of intensity 1 facing a white matte surface lights it to 1.
//
// Cost: a CPU rasteriser (llvmpipe) runs both sides of a branch for a block of pixels, masked, and pays for a
// texture lookup even in a branch no pixel takes; only loops stop once no pixel is left in them. So the host
// hands over the frame's lights sorted by kind ("g_light_order", each kind's run ending at "g_light_kind_end")
// and the lights whose shadow maps and projector images must be looked at ("g_shadow_order",
// "g_projector_order"): each kind has its own loop and shading function, and each light's shadow is looked up
// once, from one place, in one array of all the frame's maps; projectors likewise, before the kinds' loops.
// Contributions are kept per record and summed in record order, so the grouping does not change the result.
//
// Texture units (llvmpipe gives a stage 32): 6 G-buffer and environment samplers, the BRDF and two LTC tables,
// the shadow-map array and 4 projectors make 14; the shadow-map sampler arrays and the material textures that
// commons.glsl declares are not read here, so they take no unit.

#define LIGHT_PROPERTIES_BINDING 1
#define MATERIAL_PROPERTIES_BINDING 1
#include <shaders/materials/commons.glsl>
#include <shaders/deferred/deferred_common.glsl>

in vec2 texcoord;
in vec3 vProjectionPlane;

out vec4 outColor;

uniform sampler2D sDepth;
uniform usampler2D sNormalMaterial;
uniform sampler2D sAlbedo;
uniform usampler2D sMetalnessRoughnessMaterialTags;
uniform samplerCube sEnviromentMap;
uniform sampler2D sRaytrace;

layout(std430) readonly buffer DeferredRenderLightsParamsBuffer
{
    float envmap_intensity;
};

// Shadow-map slots (the length of the sampler arrays in commons.glsl) and projector slots.
const int kShadowSlots = 8;
const int kProjectorSlots = 4;
const int LightFlag_ShadowFace = 256; // a point light's cube face: shadow only, lights nothing itself

// ---- Shadows ----
//
// Records are read in place (lights.light_properties[i]) rather than copied: a record is 736 bytes.

#define LIGHT(i) lights.light_properties[i]

// Kinds of lit records, in the order the host groups them.
const int kKindDirectional = 0;
const int kKindSpot = 1;
const int kKindPoint = 2; // and any other local light without a cone
const int kKindArea = 3;
const int kLightKinds = 4;
const int kMaxLights = 16; // records in the light buffer

// Array lengths are written out: the engine's uniform scanner reads literal lengths only.
uniform int g_light_order[16];      // lit records (no shadow faces), kind after kind
uniform int g_light_kind_end[4];    // end of each kind's run in g_light_order
uniform int g_shadow_order[16];     // records whose shadow maps are looked up
uniform int g_shadow_count;
uniform int g_projector_order[16];  // records whose projector image is looked up
uniform int g_projector_count;
uniform vec2 g_shadow_map_size[8];  // texels of the map at each shadow slot
uniform vec2 g_shadow_map_scale[8]; // part of its array layer the map fills

// The frame's shadow maps, one per layer (the layer is the map's slot); a map smaller than the layer fills its
// lower left part, g_shadow_map_scale of it. Sampled with the compare sampler: 1 where the reference is at or
// behind the stored depth (GEQUAL), i.e. in shadow.
uniform sampler2DArrayShadow LightShadowmapArray;

// Four bilinear compares half a texel apart: a soft edge three texels wide.
float shadowedFraction(int slot, vec2 uv, float reference)
{
    vec2 texel = 0.5 / g_shadow_map_size[slot];
    vec2 scale = g_shadow_map_scale[slot];
    float layer = float(slot);
    float shadowed = texture(LightShadowmapArray, vec4((uv + vec2(-texel.x, -texel.y)) * scale, layer, reference));
    shadowed += texture(LightShadowmapArray, vec4((uv + vec2(texel.x, -texel.y)) * scale, layer, reference));
    shadowed += texture(LightShadowmapArray, vec4((uv + vec2(-texel.x, texel.y)) * scale, layer, reference));
    shadowed += texture(LightShadowmapArray, vec4((uv + vec2(texel.x, texel.y)) * scale, layer, reference));
    return shadowed * 0.25;
}

vec4 projectorSample(int slot, vec2 uv)
{
    switch (slot) {
    case 0: return texture(LightProjectorSampler[0], uv);
    case 1: return texture(LightProjectorSampler[1], uv);
    case 2: return texture(LightProjectorSampler[2], uv);
    case 3: return texture(LightProjectorSampler[3], uv);
    }
    return vec4(1.0);
}

// What a spot light's projector lets through toward worldPos (1 outside its image's frustum side).
vec3 projectorImage(int i, vec3 worldPos)
{
    vec3 image = vec3(1.0);
    vec4 clip = LIGHT(i).mat_shadow_mv[0] * vec4(worldPos, 1.0);
    if (clip.w > 0.0)
        image = projectorSample(LIGHT(i).projector_index, clip.xy / clip.w * 0.5 + 0.5).rgb;
    return image;
}

bool insideClip(vec4 clip)
{
    return clip.w > 0.0 && all(lessThanEqual(abs(clip.xy), vec2(clip.w))) && clip.z >= 0.0 && clip.z <= clip.w;
}

// Fraction of light reaching worldPos through shadow map `slot` seen through `shadowMatrix` (projection x view).
float shadowVisibility(int slot, mat4 shadowMatrix, float projectionScale, vec3 worldPos, vec3 n, float bias)
{
    if (slot < 0 || slot >= kShadowSlots)
        return 1.0; // no map of ours: unshadowed
    vec2 size = g_shadow_map_size[slot];
    vec4 clip = shadowMatrix * vec4(worldPos, 1.0);
    // Push the receiver off its surface by about one shadow texel (world size of a texel at this depth).
    float texelWorld = 2.0 * max(clip.w, 0.0) / max(abs(projectionScale) * size.x, 1e-6);
    clip = shadowMatrix * vec4(worldPos + n * texelWorld * 1.5, 1.0);
    if (!insideClip(clip))
        return 1.0;
    vec3 ndc = clip.xyz / clip.w;
    vec2 uv = ndc.xy * 0.5 + 0.5;
    float reference = ndc.z - 0.00005 - bias;
    return 1.0 - shadowedFraction(slot, uv, reference);
}

// The record whose shadow map covers the pixel and the cascade of it, or -1: the light itself, one of its
// cascades, or the face of a point light whose frustum holds the pixel. One lookup per light follows, so each
// light samples one map whichever it is.
int shadowRecord(int i, vec3 worldPos, float viewDepth, out int cascade)
{
    cascade = 0;
    int flags = LIGHT(i).flags;
    if ((flags & LightFlag_CastsShadows) == 0)
        return -1;
    if ((flags & LightFlag_Directional) != 0) {
        // The first cascade whose slice reaches the pixel's view depth; a single map has no splits.
        int last = 0;
        for (int c = 1; c < 4; ++c)
            if (LIGHT(i).split_distances[c] > 0.0)
                last = c;
        cascade = last;
        for (int c = last; c >= 0; --c)
            if (viewDepth <= LIGHT(i).split_distances[c])
                cascade = c;
        return i;
    }
    if ((flags & LightFlag_Local) != 0 && (flags & LightFlag_Spot) == 0) {
        int first = LIGHT(i).light_reserved1;
        if (first <= 0 || first + 6 > lightCount())
            return -1; // lit without shadow: no face records this frame
        int face = -1;
        for (int f = first + 5; f >= first; --f)
            if (insideClip(LIGHT(f).mat_shadow_mv[0] * vec4(worldPos, 1.0)))
                face = f;
        return face;
    }
    return i;
}

float lightShadow(int i, vec3 worldPos, vec3 n, float viewDepth, float bias)
{
    int cascade;
    int r = shadowRecord(i, worldPos, viewDepth, cascade);
    if (r < 0)
        return 1.0;
    return shadowVisibility(LIGHT(r).shadowmap_index[cascade], LIGHT(r).mat_shadow_mv[cascade],
                            LIGHT(r).mat_shadow_p[cascade][0][0], worldPos, n, bias);
}

// ---- BRDF ----

float ggxDistribution(float nDotH, float alpha)
{
    float a2 = alpha * alpha;
    float d = nDotH * nDotH * (a2 - 1.0) + 1.0;
    return a2 / (kPI * d * d);
}

float smithVisibility(float nDotV, float nDotL, float alpha)
{
    float a2 = alpha * alpha;
    float v = nDotL * sqrt(nDotV * nDotV * (1.0 - a2) + a2);
    float l = nDotV * sqrt(nDotL * nDotL * (1.0 - a2) + a2);
    return 0.5 / max(v + l, 1e-6);
}

vec3 fresnelSchlick(vec3 f0, float cosTheta)
{
    return f0 + (1.0 - f0) * pow(1.0 - clamp(cosTheta, 0.0, 1.0), 5.0);
}

struct Surface {
    vec3 position;
    vec3 normal;
    vec3 view; // toward the camera
    vec3 diffuseColor;
    vec3 f0;
    float roughness;
    float viewDepth;
    float shadowBias;
    bool receivesShadows;
};

// Reflected radiance for light arriving from direction l with irradiance-scale `radiance`.
vec3 shadePunctual(Surface s, vec3 l, vec3 radiance, float roughnessModifier)
{
    float nDotL = dot(s.normal, l);
    if (nDotL <= 0.0)
        return vec3(0.0);
    float nDotV = max(dot(s.normal, s.view), 1e-4);
    vec3 h = normalize(l + s.view);
    float alpha = max(s.roughness * s.roughness * max(roughnessModifier, 0.0), 0.002);
    alpha = min(alpha, 1.0);
    vec3 f = fresnelSchlick(s.f0, dot(l, h));
    vec3 specular = f * ggxDistribution(max(dot(s.normal, h), 0.0), alpha) * smithVisibility(nDotV, nDotL, alpha);
    vec3 diffuse = s.diffuseColor * (1.0 - f);
    return (diffuse + specular * kPI) * radiance * nDotL;
}

// ---- Area lights: linearly transformed cosines over the light's rectangle ----

const float kLtcSize = 64.0;
const float kLtcScale = (kLtcSize - 1.0) / kLtcSize;
const float kLtcBias = 0.5 / kLtcSize;

vec3 ltcEdge(vec3 a, vec3 b)
{
    float x = dot(a, b);
    float y = abs(x);
    float t = 0.8543985 + (0.4965155 + 0.0145206 * y) * y;
    float u = 3.4175940 + (4.1616724 + y) * y;
    float v = t / u;
    float thetaSinTheta = x > 0.0 ? v : 0.5 * inversesqrt(max(1.0 - x * x, 1e-7)) - v;
    return cross(a, b) * thetaSinTheta;
}

// Cosine-weighted integral of the rectangle seen through minv, in the frame (t1, t2, n).
float ltcEvaluate(Surface s, mat3 minv, vec3 corners[4])
{
    vec3 t1 = normalize(s.view - s.normal * dot(s.view, s.normal));
    if (any(isnan(t1)) || dot(t1, t1) < 0.5)
        t1 = commonsSafeNormalize(cross(s.normal, vec3(0.0, 1.0, 0.1)), vec3(1.0, 0.0, 0.0));
    vec3 t2 = cross(s.normal, t1);
    minv = minv * transpose(mat3(t1, t2, s.normal));
    vec3 l[4];
    for (int i = 0; i < 4; ++i)
        l[i] = commonsSafeNormalize(minv * (corners[i] - s.position), s.normal);
    vec3 f = ltcEdge(l[0], l[1]) + ltcEdge(l[1], l[2]) + ltcEdge(l[2], l[3]) + ltcEdge(l[3], l[0]);
    float len = length(f);
    if (len <= 0.0)
        return 0.0;
    float z = f.z / len;
    // Lit from either side: seen from behind the rectangle's winding, the integral's sign flips.
    vec3 lightNormal = cross(corners[1] - corners[0], corners[3] - corners[0]);
    if (dot(corners[0] - s.position, lightNormal) < 0.0)
        z = -z;
    // Horizon clipping of the polygon, approximated by a sphere of the same form factor.
    vec2 uv = vec2(z * 0.5 + 0.5, len) * kLtcScale + kLtcBias;
    return len * texture(s_LTC2, uv).w;
}

vec3 shadeArea(Surface s, int i, vec3 radiance)
{
    vec3 halfX = LIGHT(i).axis_x.xyz * (0.5 * LIGHT(i).dimensions.x);
    vec3 halfY = LIGHT(i).axis_y.xyz * (0.5 * LIGHT(i).dimensions.y);
    vec3 c = LIGHT(i).position.xyz;
    vec3 corners[4] = vec3[4](c - halfX - halfY, c + halfX - halfY, c + halfX + halfY, c - halfX + halfY);

    float nDotV = clamp(dot(s.normal, s.view), 0.0, 1.0);
    float roughness = clamp(s.roughness * max(LIGHT(i).roughness_modifier, 0.0), 0.02, 1.0);
    vec2 uv = vec2(roughness, sqrt(1.0 - nDotV)) * kLtcScale + kLtcBias;
    vec4 t1 = texture(s_LTC1, uv);
    vec4 t2 = texture(s_LTC2, uv);
    mat3 minv = mat3(vec3(t1.x, 0.0, t1.y), vec3(0.0, 1.0, 0.0), vec3(t1.z, 0.0, t1.w));

    float diffuse = ltcEvaluate(s, mat3(1.0), corners);
    float specular = ltcEvaluate(s, minv, corners);
    vec3 fresnel = s.f0 * t2.x + (1.0 - s.f0) * t2.y;
    // The integrals are fractions of the hemisphere's cosine-weighted solid angle (1 = fully covered).
    return (s.diffuseColor * diffuse + fresnel * specular) * radiance;
}

// ---- Environment ----

vec3 shadeEnvironment(Surface s)
{
    float levels = float(textureQueryLevels(sEnviromentMap));
    float nDotV = clamp(dot(s.normal, s.view), 0.0, 1.0);
    vec2 brdf = texture(s_BRDF, vec2(nDotV, s.roughness)).rg;
    vec3 r = reflect(-s.view, s.normal);
    vec3 specularLight = textureLod(sEnviromentMap, r, s.roughness * max(levels - 1.0, 0.0)).rgb;
    // The coarsest level stands in for the irradiance of a prefiltered map.
    vec3 diffuseLight = textureLod(sEnviromentMap, s.normal, max(levels - 1.0, 0.0)).rgb;
    vec3 specular = specularLight * (s.f0 * brdf.x + brdf.y);
    return (s.diffuseColor * diffuseLight + specular) * envmap_intensity;
}

// ---- Lights, one function per kind; `shadow` is the light's looked-up shadow (1 without one) ----

vec3 shadeDirectional(Surface s, int i, float shadow)
{
    vec3 radiance = LIGHT(i).color.rgb * LIGHT(i).intensity;
    return shadePunctual(s, -LIGHT(i).direction.xyz, radiance * shadow, LIGHT(i).roughness_modifier);
}

// Distance falloff to zero at the light's range.
float rangeAttenuation(Surface s, int i, out vec3 l)
{
    vec3 toLight = LIGHT(i).position.xyz - s.position;
    float dist = length(toLight);
    l = toLight / max(dist, 1e-4);
    float range = max(LIGHT(i).range, 1e-4);
    float attenuation = clamp(1.0 - dist / range, 0.0, 1.0);
    return attenuation * attenuation;
}

// The cone's edge and the projector's image (1 without a projector) of a spot light.
void spotCone(int i, vec3 l, vec3 projection, inout float attenuation, inout vec3 radiance)
{
    float cosHalfFov = LIGHT(i).cos_half_fov;
    attenuation *= smoothstep(cosHalfFov, mix(cosHalfFov, 1.0, 0.1), dot(-l, LIGHT(i).direction.xyz));
    radiance *= projection;
}

vec3 shadeSpot(Surface s, int i, float shadow, vec3 projection)
{
    vec3 radiance = LIGHT(i).color.rgb * LIGHT(i).intensity;
    vec3 l;
    float attenuation = rangeAttenuation(s, i, l);
    spotCone(i, l, projection, attenuation, radiance);
    return shadePunctual(s, l, radiance * attenuation * shadow, LIGHT(i).roughness_modifier);
}

vec3 shadePoint(Surface s, int i, float shadow)
{
    vec3 radiance = LIGHT(i).color.rgb * LIGHT(i).intensity;
    vec3 l;
    float attenuation = rangeAttenuation(s, i, l);
    return shadePunctual(s, l, radiance * attenuation * shadow, LIGHT(i).roughness_modifier);
}

// A spot or point light that is a lit rectangle.
vec3 shadeAreaLight(Surface s, int i, float shadow, vec3 projection)
{
    vec3 radiance = LIGHT(i).color.rgb * LIGHT(i).intensity;
    vec3 l;
    float attenuation = rangeAttenuation(s, i, l);
    if ((LIGHT(i).flags & LightFlag_Spot) == LightFlag_Spot)
        spotCone(i, l, projection, attenuation, radiance);
    return shadeArea(s, i, radiance * attenuation * shadow);
}

// First and end of kind k's run in g_light_order.
ivec2 kindRange(int k)
{
    int first = k == 0 ? 0 : g_light_kind_end[k - 1];
    return ivec2(clamp(first, 0, kMaxLights), clamp(g_light_kind_end[k], 0, kMaxLights));
}

void main()
{
    ivec2 pixel = ivec2(gl_FragCoord.xy);
    uint normalMaterial = texelFetch(sNormalMaterial, pixel, 0).r;
    if (!gbufferHasSurface(normalMaterial)) {
        vec3 ray = deferredWorldRay(vProjectionPlane);
        outColor = vec4(textureLod(sEnviromentMap, ray, 0.0).rgb * envmap_intensity, 0.0);
        return;
    }
    float depth = texelFetch(sDepth, pixel, 0).r;
    uvec4 tags = texelFetch(sMetalnessRoughnessMaterialTags, pixel, 0);
    vec3 albedo = texelFetch(sAlbedo, pixel, 0).rgb;
    MaterialPropertiesGPU material = materialLoad(gbufferDecodeMaterialIndex(normalMaterial));

    Surface s;
    s.position = deferredWorldPosition(vProjectionPlane, depth);
    s.viewDepth = deferredLinearDepth(depth);
    s.normal = gbufferDecodeNormal(normalMaterial);
    s.view = commonsSafeNormalize(deferredCameraWorldPosition() - s.position, s.normal);
    float metalness = gbufferDecodeMetalness(tags);
    s.roughness = clamp(gbufferDecodeRoughness(tags), 0.0, 1.0);
    s.diffuseColor = albedo * (1.0 - metalness);
    s.f0 = mix(vec3(0.04), albedo, metalness);
    s.shadowBias = material.shadowmap_bias * 0.001;
    s.receivesShadows = (gbufferDecodeMaterialFlags(tags) & MaterialFlag_ShadowReceive) != 0u;

    // The loops below test at their end: llvmpipe runs a loop's body once more than it has turns (the pass in
    // which every pixel leaves), and a loop with no turns once, masked.
    int count = lightCount();
    float shadows[kMaxLights];
    vec3 projections[kMaxLights];
    vec3 contributions[kMaxLights];
    for (int i = 0; i < kMaxLights; ++i) {
        shadows[i] = 1.0;
        projections[i] = vec3(1.0);
        contributions[i] = vec3(0.0);
    }
    int last = min(g_shadow_count, kMaxLights);
    if (s.receivesShadows && last > 0) {
        int k = 0;
        do {
            int i = g_shadow_order[k];
            if (i >= 0 && i < count)
                shadows[i] = lightShadow(i, s.position, s.normal, s.viewDepth, s.shadowBias);
        } while (++k < last);
    }
    last = min(g_projector_count, kMaxLights);
    if (last > 0) {
        int k = 0;
        do {
            int i = g_projector_order[k];
            if (i >= 0 && i < count)
                projections[i] = projectorImage(i, s.position);
        } while (++k < last);
    }
    ivec2 run = kindRange(kKindDirectional);
    if (run.x < run.y) {
        int k = run.x;
        do {
            int i = g_light_order[k];
            if (i >= 0 && i < count)
                contributions[i] = shadeDirectional(s, i, shadows[i]);
        } while (++k < run.y);
    }
    run = kindRange(kKindSpot);
    if (run.x < run.y) {
        int k = run.x;
        do {
            int i = g_light_order[k];
            if (i >= 0 && i < count)
                contributions[i] = shadeSpot(s, i, shadows[i], projections[i]);
        } while (++k < run.y);
    }
    run = kindRange(kKindPoint);
    if (run.x < run.y) {
        int k = run.x;
        do {
            int i = g_light_order[k];
            if (i >= 0 && i < count)
                contributions[i] = shadePoint(s, i, shadows[i]);
        } while (++k < run.y);
    }
    run = kindRange(kKindArea);
    if (run.x < run.y) {
        int k = run.x;
        do {
            int i = g_light_order[k];
            if (i >= 0 && i < count)
                contributions[i] = shadeAreaLight(s, i, shadows[i], projections[i]);
        } while (++k < run.y);
    }
    // Record order, as one loop over the records would add them up.
    vec3 color = vec3(0.0);
    for (int i = 0; i < count; ++i)
        color += contributions[i];
    color += shadeEnvironment(s);
    // Raytraced reflections of this frame, for surfaces that ask for them.
    if ((gbufferDecodeMaterialFlags(tags) & MaterialFlag_Reflect) != 0u) {
        vec4 traced = texelFetch(sRaytrace, pixel, 0);
        color += traced.rgb * s.f0;
    }
    outColor = vec4(max(color, vec3(0.0)), 1.0);
}
