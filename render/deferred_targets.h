// The deferred renderer's process-wide objects, shared by every scene player: the G-buffer and the lighting,
// occlusion, reflection, voxel-lighting, fog, raytrace and composite targets at the output size, the programs of
// the full-screen and compute passes, the per-frame light and material buffers, and the frame's two cameras.
// Nothing exists until first use: deferredRenderInit builds programs and buffers, deferredCreateTargets the
// targets; both return at once afterwards, so every pass calls them first. Main thread only.
#pragma once

#include "app/math_types.h"
#include "render/entities.h"

#include <cstdint>
#include <string>

struct BufferObject;
struct Framebuffer;
struct Geometry;
struct ShaderProgram;
struct Texture;

// "LightProperties", 16 records of 736 bytes; "MaterialProperties", 512 records of 80 bytes. Bound to every
// program by shaderBindingsCreate as "LightPropertiesBuffer" and "MaterialPropertiesDataBuffer".
constexpr int kMaxFrameLights = 16;
constexpr int kLightRecordSize = 736;
constexpr int kMaxMaterials = 512;
constexpr int kMaterialRecordSize = 80;

// The cameras' start-up state: {fov 90, near 0.1, far 10000, aspect 0, split weight 0.75}.
Camera deferredStartCamera();

// Name of the projection-plane attribute: the camera-space direction of each screen corner.
extern const char* const kProjectionPlaneAttribute; // "VTXDeferredProjectionPlane"

// Everything the renderer owns, in one record with one instance. The programs, framebuffers and textures are
// described once, in the tables of deferred_targets.cpp (files, names, formats, sampling, attachments); creation,
// lookup by name and release walk those tables.
struct DeferredRenderer {
    bool deferredRendererReady = false; // set at the end of deferredRenderInit

    // Programs, built by deferredRenderInit with shaderGlobalDefines. A missing or broken GLSL file leaves a
    // program with `errors` set, which the pass must check.
    ShaderProgram* lightingProgram = nullptr;
    ShaderProgram* voxelLightingProgram = nullptr;
    ShaderProgram* voxelLightingBlurProgram = nullptr;
    ShaderProgram* linearizeDepthProgram = nullptr;
    ShaderProgram* compositeProgram = nullptr;
    ShaderProgram* taaResolveProgram = nullptr;
    ShaderProgram* hbaoProgram = nullptr;
    ShaderProgram* hbaoBlurProgram = nullptr;
    ShaderProgram* ssrProgram = nullptr;
    ShaderProgram* ssrBlurProgram = nullptr;
    ShaderProgram* copyToStencilProgram = nullptr;
    ShaderProgram* volumetricFogProgram = nullptr;

    // The quad the lighting pass draws; its corner directions are rewritten by every deferredRenderBegin.
    Geometry* projectionPlaneQuad = nullptr;
    // Linear, compare-to-reference (GEQUAL), clamped: the shadow maps' soft (PCF) lookups.
    unsigned int shadowCompareSampler = 0;
    // Nearest, clamped: plain shadow-map reads and the reflection pass. Made on first use.
    unsigned int shadowPointSampler = 0;
    // 4 x 4 RGBA32F: per texel (cos a, sin a, s, 0) of the ambient-occlusion sample rotation.
    Texture* hbaoRotationTexture = nullptr;
    BufferObject* lightPropertiesBuffer = nullptr;
    BufferObject* materialPropertiesBuffer = nullptr;

    // 0 or 1, flipped by every deferredRenderBegin. Target pairs: [historyIndex] is this frame's, the other the
    // previous frame's.
    int historyIndex = 0;
    bool hbaoEnabled = false; // set by deferredSetHBAOParams
    bool ssrEnabled = false;  // set by the scene player
    // How far a reflected ray may pass behind a surface and still hit it; set by the scene player every frame.
    float ssrDepthThickness = 0.1f;

    // The frame's camera and the previous frame's (for reprojection).
    Camera deferredCamera = deferredStartCamera();
    Camera deferredPreviousCamera = deferredStartCamera();

    // Targets, all screenWidth x screenHeight, made by deferredCreateTargets.
    Framebuffer* fbDeferredDeep = nullptr;              // "deferred_deep": the G-buffer, attached each frame
    Framebuffer* fbDeferredDeepShadow = nullptr;        // "deferred_deep_shadow": depth + txtDeferredGlobalShadows
    Framebuffer* fbDeferredHBAO = nullptr;              // "deferred_hbao"
    Framebuffer* fbSSRSource = nullptr;                 // "fxr_ssr_source"
    Framebuffer* fbSSRDest = nullptr;                   // "fxr_ssr_dest"
    Framebuffer* fbDeferredLinearDepth = nullptr;       // "deferred_linear_depth"
    Framebuffer* fbDeferredVoxelLighting[2] = {};       // "deferred_voxel_lighting0/1"
    Framebuffer* fbDeferredVoxelLightingTemp = nullptr; // "deferred_voxel_lighting_temp"
    Framebuffer* fbDeferredVolumetricFog[2] = {};       // "deferred_volumetric_fog_0/1"
    Framebuffer* fbDeferredFinalComposite = nullptr;    // "deferred_final_composite"
    Framebuffer* fbDeferredRaytrace[2] = {};            // "deferred_raytrace0/1"
    Framebuffer* fbDeferredParticles = nullptr;         // "deferred_particles": depth attached each frame
    Framebuffer* fbWireframe = nullptr;                 // "fbWireframe"

    Texture* txtDeferredDepth[2] = {};                  // DEPTH32F_STENCIL8
    Texture* txtDeferredColor[2] = {};                  // RGBA16F albedo
    Texture* txtDeferredNormalAttribute = nullptr;      // R32UI normal + material index
    Texture* txtDeferredMetalnessRoughnessMaterialTags = nullptr; // RGBA16UI
    Texture* txtDeferredEmissive = nullptr;
    Texture* txtDeferredGlobalShadows = nullptr;        // the lighting pass's target
    Texture* txtDeferredHBAO = nullptr;
    Texture* txtDeferredHBAOBlurredH = nullptr;
    Texture* txtDeferredHBAOBlurredV = nullptr;
    Texture* txtSSRSource = nullptr;                    // "SSRSource"
    Texture* txtSSRDest = nullptr;                      // "SSRDest"
    Texture* txtDeferredLinearDepth = nullptr;
    Texture* txtVXLighting[2] = {};                     // "VXLighting0/1"
    Texture* txtVXLightingTemp = nullptr;               // "VXLightingTemp"
    Texture* txtVolumetricFog[2] = {};                  // "VolumetricFog0/1"
    Texture* txtFinalComposite = nullptr;               // "FinalComposite"
    Texture* txtRaytrace[2] = {};                       // "Raytrace0/1"
    Texture* txtBlendedParticles = nullptr;             // "BlendedParticles"
    Texture* txtWireframeColor = nullptr;
    Texture* txtWireframeDepth = nullptr;
    Texture* txtTempRGBA16F = nullptr;                  // the composite's intermediate target

    // Made by the passes on first use.
    BufferObject* dispatchParamsBuffer = nullptr;   // "DispatchCompute2Params"
    BufferObject* linearDepthParamsBuffer = nullptr; // "BasicDeferredParams" of the linear-depth pass
    BufferObject* ssrParamsBuffer = nullptr;        // "SSRParams"
    BufferObject* stencilParamsBuffer = nullptr;    // "BasicDeferredParams" of the stencil copy
    Framebuffer* stencilFramebuffer = nullptr;      // "temp_fb"
    Texture* envMapFallback = nullptr;              // "EnvMapFallback", see deferredEnvMapFallback
};

extern DeferredRenderer deferredRenderer;

// ---- Interfaces ----

// Programs, the projection-plane quad, samplers, the rotation texture and the two record buffers, once.
void deferredRenderInit();
// The framebuffers and textures of the record, once (when "deferred_deep" does not exist yet); afterwards, when
// the output size differs from the targets' size, every target is made again at it in place (zero: the history
// pairs start over).
void deferredCreateTargets();
// Framebuffer of the target table by its name ("deferred_deep", "fbWireframe", ...); null when unknown or not
// created yet.
Framebuffer* deferredFindFramebuffer(const std::string& name);
// The render graph's Deferred targets: 0 "deferred_deep", 1 "deferred_particles" (created when needed); null
// for any other index.
Framebuffer* deferredTarget(int target);
// Attaches this frame's side of the history pairs, and the targets that passes swap out, to their framebuffers
// (deferredRenderBegin, after flipping historyIndex).
void deferredAttachFrameTargets();

// Sets up a framebuffer's attachments now (on the main thread directly, restoring the current binding); false when
// it is incomplete or null.
bool deferredSetUpFramebuffer(Framebuffer* framebuffer);
// A new GL sampler object with these filters and the wrap mode on S, T and R (GL enum values).
unsigned int deferredCreateSampler(unsigned int minFilter, unsigned int magFilter, unsigned int wrap);
// The record's shadowPointSampler, made on first use.
unsigned int deferredShadowPointSampler();

// 224 bytes, the uniform block "BasicDeferredParamsBuffer".
struct BasicDeferredParams {
    Matrix fixedDepth;      // rows (1,0,0,0) (0,1,0,0) (0,0,1,-1) (0,0,0,1)
    Matrix cameraWorld;     // identity without camera
    Matrix fixedScreen;     // rows (2,0,0,0) (0,-2,0,0) (0,0,-0.005,0.5) (0,0,0,1)
    float nearFar[4];       // (near, far, 2 near far, far - near); (0, 1, 0, 1) without camera
    float cameraPosition[4]; // (x, y, z, 1); zero without camera
};
static_assert(sizeof(BasicDeferredParams) == 224);

void deferredFillBasicParams(BasicDeferredParams* out, const Camera* camera);

// Host copy of the attribute with exactly that name, or null.
uint8_t* geomFindAttributeData(Geometry* geometry, const std::string& name);

// Tests and benchmarks only (the renderer itself never tears down): releases the targets, so the next
// deferredCreateTargets makes them at the then current output size.
void deferredReleaseTargets();
// Tests and benchmarks only: releases everything the record owns and puts it back to its start-up state.
void deferredRenderRelease();
