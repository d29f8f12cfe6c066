// Declarations every engine shader may use: the shared lookup textures and time uniforms, the per-frame material
// and light records, the per-draw transform block type, the vertex record that vertex modifiers edit, and the
// G-buffer encoding. Included by the material shaders and by the components' GLSL templates, which declare their
// own vertex blocks, so nothing here declares a vertex or instance block or "materialIndex".
//
// Optional parts, switched by program defines:
//   MATERIAL_PROPERTIES_BINDING  the frame's material records ("MaterialPropertiesDataBuffer", as `materials`)
//                                and their textures ("material_textures")
//   LIGHT_PROPERTIES_BINDING     the frame's light records ("LightPropertiesBuffer", as `lights`), "g_lights_num"
//                                and the light sampler arrays

#ifndef MATERIALS_COMMONS_GLSL
#define MATERIALS_COMMONS_GLSL

#include <shaders/materials/gbuffer.glsl>

const float kPI = 3.14159265358979;

// ---- Shared inputs: bound by the renderer to every program that uses them ----

uniform sampler2D s_NoiseR;        // 256 x 256 noise
uniform sampler2D s_NoiseRGBA;     // 256 x 256 noise; green is red shifted by (37, 17) texels
uniform sampler2D s_LTC1;          // area-light fit: inverse matrix coefficients
uniform sampler2D s_LTC2;          // area-light fit: norm, Fresnel, 0, horizon clipping
uniform sampler2D s_BRDF;          // split-sum GGX: (scale, bias) at (n.v, roughness)
uniform sampler2DArray s_BlueNoise; // 16 layers of 128 x 128
uniform sampler2D s_Gradients;     // one colour gradient per row, 128 samples
uniform sampler2D s_Curves;        // one curve per row, 128 samples
uniform float g_global_time = 0.0; // engine clock, seconds
uniform float g_time = 0.0;        // play time, seconds
uniform int g_monotonic = 0;       // frame counter
uniform float g_time_step = 0.0;   // seconds since the previous frame

const int kCurveRows = 256;
const int kGradientRows = 256;

// Curve `row` (as handed out by the curve texture) at x in 0 .. 1.
float commonsSampleCurve(int row, float x)
{
    return textureLod(s_Curves, vec2(clamp(x, 0.0, 1.0), (float(row) + 0.5) / float(kCurveRows)), 0.0).r;
}

vec4 commonsSampleGradient(int row, float x)
{
    return textureLod(s_Gradients, vec2(clamp(x, 0.0, 1.0), (float(row) + 0.5) / float(kGradientRows)), 0.0);
}

float commonsHash11(float p)
{
    p = fract(p * 0.1031);
    p *= p + 33.33;
    p *= p + p;
    return fract(p);
}

vec3 commonsHash33(vec3 p)
{
    p = fract(p * vec3(0.1031, 0.1030, 0.0973));
    p += dot(p, p.yxz + 33.33);
    return fract((p.xxy + p.yxx) * p.zyx);
}

vec3 commonsSafeNormalize(vec3 v, vec3 fallback)
{
    float len2 = dot(v, v);
    return len2 > 0.0000000001 ? v * inversesqrt(len2) : fallback;
}

// ---- Per-draw transform block ("TransformParamsBuffer", 464 bytes, declared std140 row_major by its users) ----

struct EntityTransformParams {
    mat4 mModel;                 // model matrix M
    mat4 mView;                  // the pass camera's view matrix V
    mat4 mModelInvTranspose;     // normal matrix of M (its 3 x 3 part)
    mat4 mModelView;             // V x M
    mat4 mModelViewInvTranspose; // normal matrix of V x M (rigid)
    mat4 mProjection;            // the pass camera's projection
    mat4 mModelInv;              // inverse of M
    vec3 vCameraPosition;        // the pass camera's position
    float transformReserved;
};

// ---- The vertex record vertex modifiers read and write (`vtx_input` of the material vertex shaders) ----

struct VertexRecord {
    vec3 pos;   // object space in local modifier blocks, world space in world modifier blocks
    vec3 norm;  // same space as pos
    vec2 uv0;
    vec2 uv1;
    vec4 color; // vertex colour times instance colour
};

// ---- Material records (80 bytes each; row 0 holds the defaults) ----

struct MaterialPropertiesGPU {
    vec3 diffuse;
    float transparency;
    vec3 emissive;
    float roughness;
    float reserved;
    float normal_factor;
    float emissive_factor;
    float temporal_accumulation_factor;
    float triplanar_mapping_scale;
    float shadowmap_bias;
    float metalness;
    int albedo_sampler;             // index into material_textures, -1 none
    int emissive_sampler;
    int normal_sampler;
    int metallic_roughness_sampler; // glTF convention: roughness in green, metalness in blue
    uint flags;                     // MaterialFlag_*
};

const uint MaterialFlag_Reflective = 1u;
const uint MaterialFlag_Raytrace = 2u;
const uint MaterialFlag_Reflect = 4u;
const uint MaterialFlag_SSR = 8u;
const uint MaterialFlag_Voxelize = 16u;
const uint MaterialFlag_Transparent = 32u;
const uint MaterialFlag_Doublesided = 64u;
const uint MaterialFlag_Flat = 128u;
const uint MaterialFlag_ShadowCast = 256u;
const uint MaterialFlag_ShadowReceive = 512u;
const uint MaterialFlag_TriPlanar = 1024u;

// Length of the "material_textures" sampler array.
const int kMaterialTextureSlots = 16;

MaterialPropertiesGPU materialDefaults()
{
    MaterialPropertiesGPU m;
    m.diffuse = vec3(1.0);
    m.transparency = 0.0;
    m.emissive = vec3(0.0);
    m.roughness = 0.5;
    m.reserved = 0.0;
    m.normal_factor = 1.0;
    m.emissive_factor = 1.0;
    m.temporal_accumulation_factor = 1.0;
    m.triplanar_mapping_scale = 1.0;
    m.shadowmap_bias = 0.0;
    m.metalness = 0.0;
    m.albedo_sampler = -1;
    m.emissive_sampler = -1;
    m.normal_sampler = -1;
    m.metallic_roughness_sampler = -1;
    m.flags = MaterialFlag_ShadowCast | MaterialFlag_ShadowReceive;
    return m;
}

#ifdef MATERIAL_PROPERTIES_BINDING
layout(std430) readonly buffer MaterialPropertiesDataBuffer
{
    MaterialPropertiesGPU material_properties[];
} materials;

uniform sampler2D material_textures[16];

// The record of a material-table row; the defaults for a row the buffer does not hold.
MaterialPropertiesGPU materialLoad(int index)
{
    if (index < 0 || index >= materials.material_properties.length())
        return materialDefaults();
    return materials.material_properties[index];
}

bool materialHasTexture(int slot)
{
    return slot >= 0 && slot < kMaterialTextureSlots;
}

// Level `lod` of material texture `slot` at uv, for stages without derivatives. The array is indexed by constants
// only: a computed index in the vertex stage is not something every driver compiles. Black for a slot outside it.
vec4 materialSampleLod(int slot, vec2 uv, float lod)
{
    vec4 texel = vec4(0.0);
    for (int i = 0; i < kMaterialTextureSlots; ++i)
        if (i == slot)
            texel = textureLod(material_textures[i], uv, lod);
    return texel;
}
#endif

// ---- Light records (736 bytes each; "g_lights_num" of them are valid this frame) ----

struct LightProperties {
    vec4 color;
    vec4 direction;         // normalised z axis of the light's world matrix
    vec4 position;
    vec4 axis_y;
    vec4 axis_x;
    vec2 dimensions;        // area size
    vec2 light_reserved0;
    float intensity;
    float range;            // far plane
    float cos_half_fov;
    float roughness_modifier;
    int area;
    int flags;              // LightFlag_*
    int projector_index;
    int light_reserved1;
    ivec4 shadowmap_index;  // per cascade, into the shadow sampler arrays
    vec4 split_distances;
    mat4 view;
    mat4 mat_shadow_p[4];
    mat4 mat_shadow_mv[4];  // view x shadow projection, per cascade
};

const int LightFlag_Directional = 1;
const int LightFlag_Spot = 2;
const int LightFlag_CastsShadows = 8;   // point lights always carry it
const int LightFlag_Projector = 16;
const int LightFlag_Area = 32;
const int LightFlag_Volumetric = 64;
const int LightFlag_Local = 128;        // spot and point lights

#ifdef LIGHT_PROPERTIES_BINDING
layout(std430, row_major) readonly buffer LightPropertiesBuffer
{
    LightProperties light_properties[];
} lights;

uniform int g_lights_num = 0;
uniform sampler2DShadow LightShadowmapCmpSamplers[8];
uniform sampler2D LightShadowmapSamplers[8];
uniform sampler2D LightProjectorSampler[4];

int lightCount()
{
    return clamp(g_lights_num, 0, lights.light_properties.length());
}

// Unshadowed diffuse light arriving at a surface point with normal n.
vec3 lightDiffuse(LightProperties light, vec3 worldPos, vec3 n)
{
    vec3 toLight;
    float attenuation = 1.0;
    if ((light.flags & LightFlag_Directional) != 0) {
        toLight = -light.direction.xyz;
    } else {
        vec3 d = light.position.xyz - worldPos;
        float dist = length(d);
        toLight = d / max(dist, 0.0001);
        float range = max(light.range, 0.0001);
        attenuation = clamp(1.0 - dist / range, 0.0, 1.0);
        attenuation *= attenuation;
        if ((light.flags & LightFlag_Spot) != 0) {
            float cosAngle = dot(-toLight, light.direction.xyz);
            attenuation *= smoothstep(light.cos_half_fov, mix(light.cos_half_fov, 1.0, 0.1), cosAngle);
        }
    }
    return light.color.rgb * light.intensity * attenuation * max(dot(n, toLight), 0.0);
}
#endif

#endif // MATERIALS_COMMONS_GLSL
