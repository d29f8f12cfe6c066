// The frame's lights and materials as the shaders see them: fixed-size records in the "LightProperties" and
// "MaterialProperties" buffers, plus the shadow maps, projectors and material textures bound to the sampler
// arrays the records index. The byte layouts are read by the GLSL (shaders/materials/commons.glsl) as they stand.
// Main thread only.
#pragma once

#include "app/math_types.h"

#include <cstdint>
#include <map>
#include <set>
#include <vector>

class Light;
struct Scene;
struct ShaderProgram;
struct Texture;

// ---- Lights ----

// Flag word of a light record.
constexpr int32_t LIGHT_FLAG_DIRECTIONAL = 0x01;
constexpr int32_t LIGHT_FLAG_SPOT = 0x82;
constexpr int32_t LIGHT_FLAG_POINT = 0x88; // carries the shadow bit whether or not the light casts
constexpr int32_t LIGHT_FLAG_CASTS_SHADOWS = 0x08;
constexpr int32_t LIGHT_FLAG_PROJECTOR = 0x10;
constexpr int32_t LIGHT_FLAG_AREA = 0x20;
constexpr int32_t LIGHT_FLAG_VOLUMETRIC = 0x40;
// A cube face of a shadow-casting point light: it only carries a shadow map for the point light's record and
// lights nothing itself. Passes that light the scene skip records with this bit.
constexpr int32_t LIGHT_FLAG_SHADOW_FACE = 0x100;

// One 736-byte record of the "LightProperties" buffer. Matrices are `Matrix` element order (row-major).
struct LightProperties {
    float color[4];
    float direction[4];   // normalised z axis of the world matrix, 0
    float position[4];    // translation of the world matrix, 0
    float axisY[4];       // (w1, w5, w9, 0)
    float axisX[4];       // (w0, w4, w8, 0)
    float dimensions[2];
    float reserved0[2];
    float intensity;
    float range;          // far plane
    float cosHalfFov;
    float roughnessModifier;
    int32_t area;
    int32_t flags;
    int32_t projectorIndex;
    // Shadow-casting point light: index of its first face record (the six follow in cube-face order); else 0.
    int32_t firstFaceRecord;
    int32_t shadowmapIndex[4];
    float splitDistances[4];
    Matrix view;
    Matrix shadowProjection[4];     // mat_shadow_p
    Matrix shadowViewProjection[4]; // shadow projection x view, per cascade
};
static_assert(sizeof(LightProperties) == 736);

// Length of the shadow-map sampler arrays ("LightShadowmapCmpSamplers", "LightShadowmapSamplers") and of
// "LightProjectorSampler" in the GLSL. Indices past them are not bound; the shaders treat them as unshadowed.
constexpr int kLightShadowmapSlots = 8;
constexpr int kLightProjectorSlots = 4;

// The lights packed by the last deferredUpdateLights; record i belongs to frameLights[i] (a shadow face's record
// belongs to the face light).
extern std::vector<Light*> frameLights;

// Packs the enabled or shadow-casting lights, in order, into the light buffer and frameLights (at most 16
// records; the rest are dropped with a warning) and uploads the whole buffer.
void deferredUpdateLights(const std::vector<Light*>& lights);
// The scene player's form; the scene itself adds nothing to the records.
void deferredUpdateLights(Scene* scene, const std::vector<Light*>& lights);
// World, view, projection and shadow matrix of a shadow-casting point light's six face lights, from the point
// light's world matrix and range (the faces are not in any scene's light list).
void deferredUpdatePointLightFaces(Light* point);
// Binds the frame lights' projectors and shadow maps to the program's sampler arrays.
void deferredBindLightSamplers(ShaderProgram* program);
// The record that deferredUpdateLights wrote at that index (host copy); null outside the buffer.
const LightProperties* deferredLightRecord(int index);

// ---- Materials ----

// Per-draw material record (host side).
struct MaterialProperties {
    float diffuse[3] = {1.0f, 1.0f, 1.0f};
    float emissive[3] = {0.0f, 0.0f, 0.0f};
    float transparency = 0.0f;
    float roughness = 0.5f; // as the shaders' default material row
    float reserved = 0.0f;
    float metalness = 0.0f;
    float normalFactor = 1.0f;
    float shadowmapBias = 0.0f;
    float emissiveFactor = 1.0f;
    float temporalAccumulationFactor = 1.0f;
    float triplanarMappingScale = 1.0f;
    Texture* albedoTexture = nullptr;
    Texture* emissiveTexture = nullptr;
    Texture* normalTexture = nullptr;
    Texture* metallicRoughnessTexture = nullptr;
    int textureMappingMode = 0;
    bool flagBit2 = false;   // "raytrace"
    bool flagBit16 = false;  // "voxelize"
    bool visible = true;
    bool flagBit4 = false;   // "reflect"
    bool reflective = false;
    bool ssr = false;
    bool doublesided = false;
    bool flat = false;
    bool flagBit256 = true;  // "shadow cast"
    bool flagBit512 = true;  // "shadow receive"
};

// Material flag bits of the GPU record.
constexpr uint32_t MATERIAL_FLAG_REFLECTIVE = 1;
constexpr uint32_t MATERIAL_FLAG_BIT2 = 2;
constexpr uint32_t MATERIAL_FLAG_BIT4 = 4;
constexpr uint32_t MATERIAL_FLAG_SSR = 8;
constexpr uint32_t MATERIAL_FLAG_BIT16 = 16;
constexpr uint32_t MATERIAL_FLAG_TRANSPARENT = 32;
constexpr uint32_t MATERIAL_FLAG_DOUBLESIDED = 64;
constexpr uint32_t MATERIAL_FLAG_FLAT = 128;
constexpr uint32_t MATERIAL_FLAG_BIT256 = 256;
constexpr uint32_t MATERIAL_FLAG_BIT512 = 512;
constexpr uint32_t MATERIAL_FLAG_TRIPLANAR = 1024;

// One 80-byte record of the "MaterialProperties" buffer.
struct MaterialPropertiesGPU {
    float diffuse[3];
    float transparency;
    float emissive[3];
    float roughness;
    float reserved;
    float normalFactor;
    float emissiveFactor;
    float temporalAccumulationFactor;
    float triplanarMappingScale;
    float shadowmapBias;
    float metalness;
    int32_t albedoSampler; // index into "material_textures", -1 none
    int32_t emissiveSampler;
    int32_t normalSampler;
    int32_t metallicRoughnessSampler;
    uint32_t flags;
};
static_assert(sizeof(MaterialPropertiesGPU) == 80);

// The GPU form of one record, with these texture indices.
MaterialPropertiesGPU materialToGPU(const MaterialProperties& material, const int32_t textureIndices[4]);

constexpr int kMaterialTableSize = 512;
// Length of the "material_textures" sampler array in the GLSL (units are scarce: see commons.glsl).
constexpr int kMaterialTextureSlots = 16;

extern MaterialProperties materialTable[kMaterialTableSize];
// Rows in use this frame: -1 at start-up, set to 1 (the default row 0 stays) at the start of every frame.
extern int materialCount;

// Copies the record into the next free row and returns its number; -1 (with one warning per frame) when the
// 512 rows are full.
int materialTableAppend(const MaterialProperties& material);
// materialCount back to 1; row 0 keeps the defaults.
void resetMaterialTable();

// A texture as the material textures bind it: through its sRGB view or as it is.
struct MaterialTextureKey {
    Texture* texture = nullptr;
    bool srgb = false;
    bool operator<(const MaterialTextureKey& other) const;
};
// Rebuilt by every deferredUpdateMaterials; the set's order is the index order.
extern std::set<MaterialTextureKey> materialTextureKeys;
extern std::map<MaterialTextureKey, int> materialTextureIndex;

// Numbers the material textures and uploads the first materialCount GPU records.
void deferredUpdateMaterials();
// Binds the numbered textures to the program's "material_textures" array.
void deferredBindMaterialTextures(ShaderProgram* program);

// Installs deferredRenderInit, resetMaterialTable and deferredTarget as the render graph's hooks.
void deferredInstallRenderGraphHooks();
// Tests and benchmarks: forgets frameLights and the texture numbering, releases the material sampler.
void deferredRecordsRelease();
