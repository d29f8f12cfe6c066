// The later deferred passes, compute programs over screen-sized images: voxel global illumination with its
// blur, the volumetric fog, the final composite with its temporal resolve and debug views, and the stencil mark of
// raytraced pixels. deferredRenderCompute2 is their one dispatcher. Main thread only.
#pragma once

#include "app/math_types.h"
#include "jni/engine/grd_shader_bindings.h"

#include <cstdint>

class Camera;
struct Framebuffer;
struct RaytraceSceneBuffers;
struct Scene;
struct ShaderProgram;
struct Texture;

// "DeferredParams", 384 bytes: the frame's camera and the previous frame's and the written image's size.
struct DispatchCompute2Params {
    Matrix projection;      // current camera
    Matrix world;
    Matrix previousWorld;
    Matrix viewInverse;     // Matrix::InverseAffine of the current view
    Matrix previousView;
    float position[3];
    float reserved;
    float extent[4];        // (v, u, v / 2, u / 2): u = 2 tan(fov / 2), v = u w / h
    float nearFar[4];       // (near, far, 2 near far, far - near)
    float size[4];          // (w, h, 1 / w, 1 / h)
};
static_assert(sizeof(DispatchCompute2Params) == 384);

// Fills the record from deferredCamera and deferredPreviousCamera for a w x h image.
void deferredFillDispatchParams(DispatchCompute2Params* out, int width, int height);

// One compute dispatch (gx, gy, 1) of the program with the shared record, the textures, the buffers and the
// shared shader inputs; the record's size is the target's colour-0 image. An unusable program (null, no compute
// stage, failed build) is logged and nothing is bound or dispatched.
void deferredRenderCompute2(ShaderProgram* program, int groupsX, int groupsY, Framebuffer* target,
                            const TextureBindings* textures, const BufferBindings* buffers);
// Called with every dispatch deferredRenderCompute2 issues (tests and profiling); null by default.
using DeferredDispatchObserver = void (*)(const ShaderProgram* program, int groupsX, int groupsY);
extern DeferredDispatchObserver deferredDispatchObserver;

// The voxelizer's lighting settings as the scene player hands them on (12 words).
struct VoxelLightingSettings {
    float lightSmoothingPositionFactor = 0.0f;
    float lightSmoothingNormalFactor = 0.0f;
    float lightSmoothingColorFactor = 0.0f;
    float lightFalloff = 0.0f;
    float occlusionFalloff = 0.0f;
    float lightTraceDistanceScale = 0.0f;
    float reprojectionTolerance = 0.0f;
    float traceMaxRange = 0.0f;
    float scattering = 0.0f;
    float traceStep = 0.0f;
    float samplingMip = 0.0f;
    uint32_t voxelized = 0; // low byte 1: the voxel grid was rendered this frame
};
static_assert(sizeof(VoxelLightingSettings) == 48);

// "VoxelLightingParams", 36 bytes: settings words 0-3, then 4, 5, 7, 6, then the pass index.
struct VoxelLightingParams {
    float values[8];
    int32_t passIndex;
};
static_assert(sizeof(VoxelLightingParams) == 36);
void deferredFillVoxelLightingParams(VoxelLightingParams* out, const VoxelLightingSettings& settings, int passIndex);

// "VoxelFogParams", 48 bytes: settings words 0-5, 7, 6, 8, 10, 9, then 0.
struct VoxelFogParams {
    float values[11];
    float zero;
};
static_assert(sizeof(VoxelFogParams) == 48);
void deferredFillVoxelFogParams(VoxelFogParams* out, const VoxelLightingSettings& settings);

// What the voxel and fog passes read of the raytracer's scene buffers. The raytracer installs
// deferredVoxelSceneSource once its record exists; while it is null, or for a null scene, those passes have no
// grid to read: they clear their targets to zero and dispatch nothing.
struct DeferredVoxelScene {
    uint32_t voxelizeFaceCount = 0;
    Texture* voxelColorTexture = nullptr;     // filtered voxel colours, 3D with mip levels
    Texture* voxelOccupancyTexture = nullptr; // filtered occupancy
};
using DeferredVoxelSceneSource = bool (*)(const RaytraceSceneBuffers* scene, DeferredVoxelScene* out);
extern DeferredVoxelSceneSource deferredVoxelSceneSource;

// Voxel lighting and its blur into "VXLighting0/1" at historyIndex; cleared to zero instead when the settings'
// voxelized flag is off, nothing was voxelized or there is no grid.
void RenderVoxelizationLighting(RaytraceSceneBuffers* scene, const VoxelLightingSettings& settings);
// The scene player's form; the scene and framebuffer are not needed.
void RenderVoxelizationLighting(Scene* scene, Framebuffer* framebuffer, RaytraceSceneBuffers* sceneBuffers,
                                const VoxelLightingSettings& settings);
// The volumetric fog into "VolumetricFog0/1" at historyIndex; cleared to zero when there is no grid.
void RenderVolumetricFog(RaytraceSceneBuffers* scene, const VoxelLightingSettings& settings);

// The scene player's composite settings, in its order.
struct DeferredCompositeParams {
    float ambient[4] = {0.3f, 0.3f, 0.3f, 1.0f};
    float fill[4] = {0.1f, 0.1f, 0.1f, 1.0f};
    float fogColor[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    float fogRange = 1000.0f;
    float fogHeight = 1000.0f;
    float fogHeightDensity = 0.2f;
    float vxOcclusionStrength = 0.1f;
    float vxIlluminationStrength = 0.1f;
    float ssrStrength = 0.1f;
    float volumetricFogStrength = 1.0f;
    float volumetricFogIntensity = 1.0f;
    float newFrameBlendFactor = 0.25f; // below 1: temporal resolve on
    float neighborhoodClampGamma = 0.75f;
};

// "CompositeParamsBuffer", 96 bytes.
struct CompositeParams {
    float ambient[4];
    float fill[4];
    float fogColor[4];
    float fogRange;
    float fogHeight;
    float fogHeightDensity;
    float one;
    float ssrStrength;
    float vxOcclusionStrength;
    float vxIlluminationStrength;
    float volumetricFogStrength;
    float volumetricFogIntensity;
    float newFrameBlendFactor;
    float neighborhoodClampGamma;
    int32_t view;
};
static_assert(sizeof(CompositeParams) == 96);

// The editor's "Main" views of the composite.
enum CompositeView : int32_t {
    COMPOSITE_VIEW_COMPOSITE = 0,
    COMPOSITE_VIEW_ALBEDO = 1,
    COMPOSITE_VIEW_NORMALS = 2,
    COMPOSITE_VIEW_ROUGHNESS = 3,
    COMPOSITE_VIEW_LIGHTING = 4,
    COMPOSITE_VIEW_VXLIGHTING = 5,
    COMPOSITE_VIEW_LIGHTING_VXLIGHTING = 6,
    COMPOSITE_VIEW_VXOCCLUSION = 7,
    COMPOSITE_VIEW_MATERIAL = 8,
    COMPOSITE_VIEW_RTMASK = 9,
    COMPOSITE_VIEW_RAYTRACE = 10,
    COMPOSITE_VIEW_VOLUMETRIC_FOG = 11,
    COMPOSITE_VIEW_PARTICLES = 12,
    COMPOSITE_VIEW_COUNT = 13,
};

// A view outside 0..12 shows the composite.
void deferredFillCompositeParams(CompositeParams* out, const DeferredCompositeParams& settings, int view);

// The "Main" view the composite shows (a CompositeView; 0 at start): the editor's combo sets it and stores it in
// "ui_state.json".
extern int renderingMain;

// The composite's optional inputs. Each is bound every frame, but only a program variant whose key holds the input
// reads it; one left out reads as its pass's clear value (no light, no fog, no occlusion, no overlay).
enum CompositeInput : uint32_t {
    COMPOSITE_INPUT_VOXEL = 1u << 0,       // "VXLighting0/1"
    COMPOSITE_INPUT_FOG = 1u << 1,         // "VolumetricFog0/1"
    COMPOSITE_INPUT_PARTICLES = 1u << 2,   // "BlendedParticles"
    COMPOSITE_INPUT_RAYTRACE = 1u << 3,    // "Raytrace0/1"
    COMPOSITE_INPUT_WIREFRAME = 1u << 4,   // "fbWireframe"
    COMPOSITE_INPUT_OCCLUSION = 1u << 5,   // "deferred_hbao": follows hbaoEnabled
    COMPOSITE_INPUT_REFLECTIONS = 1u << 6, // "SSRDest": follows ssrEnabled
    COMPOSITE_INPUTS_ALL = (1u << 7) - 1,
};

// The first five inputs that may hold more than their clear value. All of them at start: anything not cleared by
// the renderer itself counts as written. deferredClearTargets clears particles and the raytrace target and marks
// them, and the voxel and fog targets until their passes run; the voxel and fog passes mark what they did; the
// render graph's particle target and a lookup of an input's framebuffer by name mark it written.
uint32_t deferredCompositeWrittenInputs();
void deferredMarkCompositeInputs(uint32_t inputs, bool written);
// What the composite reads this frame: the written inputs, occlusion with hbaoEnabled, reflections with ssrEnabled.
uint32_t deferredCompositeInputsInUse();

// The key of the composite variant for a view (a CompositeView; others show the composite) and a CompositeInput
// mask: the view in the low four bits, above them only the inputs that view reads.
uint32_t deferredCompositeVariantKey(int view, uint32_t inputs);
// The variant of the key, built on first use and kept; the full program when the variant did not build.
ShaderProgram* deferredCompositeVariant(uint32_t key);
size_t deferredCompositeVariantCount();
// Releases the variants and forgets the written inputs (deferredRenderRelease).
void deferredCompositeVariantsRelease();
// False: every composite runs the full program (reads every input, view chosen at run time). True at start.
extern bool deferredCompositeUseVariants;

// The final composite into the destination's colour 0, with the view chosen by renderingMain. Runs linear depth,
// occlusion and reflections first when they are switched on. With a new-frame blend factor below 1 the composite
// goes to txtTempRGBA16F and the temporal resolve blends it with the destination's colour 1 (the previous
// result) into colour 0; a destination without colour 1, or of another size than txtTempRGBA16F, gets the
// composite directly.
void DeferredComposite(Framebuffer* destination, const DeferredCompositeParams& settings);
// The scene player's form; the scene is not needed.
void DeferredComposite(Scene* scene, Framebuffer* destination, const DeferredCompositeParams& settings);

// Writes stencil 1 into this frame's G-buffer depth-stencil wherever the material asks for ray tracing.
void CopyRTMaterialPropertyToStencil();
