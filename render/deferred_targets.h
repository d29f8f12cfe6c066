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

// ---- Set-up state ----

extern bool deferredRendererReady; // set at the end of deferredRenderInit

// Programs, built by deferredRenderInit in this order with shaderGlobalDefines. Each pass's GLSL file lives with
// its pass; a missing or broken file leaves a program with `errors` set, which the pass must check.
extern ShaderProgram* lightingProgram;          // "shaders/basic_defered.vsh" + "shaders/deferred/basic_multilight_defered.fsh"
extern ShaderProgram* voxelLightingProgram;     // compute "shaders/deferred/basic_voxellight_defered.comp"
extern ShaderProgram* voxelLightingBlurProgram; // compute "shaders/deferred/basic_voxellight_defered_blur.comp", SEARCH_RANGE 2, SEARCH_STEP 1
extern ShaderProgram* linearizeDepthProgram;    // "shaders/basic_defered.vsh" + "shaders/deferred/linearize_depth.fsh"
extern ShaderProgram* compositeProgram;         // compute "shaders/deferred/composite.fsh"
extern ShaderProgram* taaResolveProgram;        // compute "shaders/deferred/taa_resolve.comp"
extern ShaderProgram* hbaoProgram;              // "shaders/basic.vsh" + "shaders/post/hbao.fsh"
extern ShaderProgram* hbaoBlurProgram;          // "shaders/basic.vsh" + "shaders/post/hbao_blur.fsh"
extern ShaderProgram* ssrProgram;               // compute "kq_demo/shaders/destroy/render_ssr.comp"
extern ShaderProgram* ssrBlurProgram;           // compute "kq_demo/shaders/destroy/blur_ssr.comp"
extern ShaderProgram* copyToStencilProgram;     // "shaders/basic_defered.vsh" + "shaders/deferred/copy_rt_to_stencil.fsh"
extern ShaderProgram* volumetricFogProgram;     // compute "shaders/deferred/basic_volumetric_fog_defered.comp"
constexpr int kDeferredProgramCount = 12;

// Name of the projection-plane attribute: the camera-space direction of each screen corner.
extern const char* const kProjectionPlaneAttribute; // "VTXDeferredProjectionPlane"
// The quad the lighting pass draws; its corner directions are rewritten by every deferredRenderBegin.
extern Geometry* projectionPlaneQuad;
// Linear, compare-to-reference (GEQUAL), clamped: the shadow maps' soft (PCF) lookups.
extern unsigned int shadowCompareSampler;
// Nearest, clamped: plain shadow-map reads and the reflection pass. Made on first use.
extern unsigned int shadowPointSampler;
unsigned int deferredShadowPointSampler();
// 4 x 4 RGBA32F: per texel (cos a, sin a, s, 0) of the ambient-occlusion sample rotation.
extern Texture* hbaoRotationTexture;

// "LightProperties", 16 records of 736 bytes; "MaterialProperties", 512 records of 80 bytes. Bound to every
// program by shaderBindingsCreate as "LightPropertiesBuffer" and "MaterialPropertiesDataBuffer".
constexpr int kMaxFrameLights = 16;
constexpr int kLightRecordSize = 736;
constexpr int kMaxMaterials = 512;
constexpr int kMaterialRecordSize = 80;
extern BufferObject* lightPropertiesBuffer;
extern BufferObject* materialPropertiesBuffer;

// 0 or 1, flipped by every deferredRenderBegin. Target pairs: [historyIndex] is this frame's, the other the
// previous frame's.
extern int historyIndex;
extern bool hbaoEnabled; // set by deferredSetHBAOParams
extern bool ssrEnabled;  // set by the scene player

// The frame's camera and the previous frame's (for reprojection); both start as {fov 90, near 0.1, far 10000}.
extern Camera deferredCamera;
extern Camera deferredPreviousCamera;

// ---- Targets (all screenWidth x screenHeight, made by deferredCreateTargets) ----

extern Framebuffer* fbDeferredDeep;              // "deferred_deep": the G-buffer, attached each frame
extern Framebuffer* fbDeferredDeepShadow;        // "deferred_deep_shadow": depth + txtDeferredGlobalShadows
extern Framebuffer* fbDeferredHBAO;              // "deferred_hbao"
extern Framebuffer* fbSSRSource;                 // "fxr_ssr_source": SSRSource
extern Framebuffer* fbSSRDest;                   // "fxr_ssr_dest": SSRDest
extern Framebuffer* fbDeferredLinearDepth;       // "deferred_linear_depth"
extern Framebuffer* fbDeferredVoxelLighting[2];  // "deferred_voxel_lighting0/1": VXLighting0/1
extern Framebuffer* fbDeferredVoxelLightingTemp; // "deferred_voxel_lighting_temp": VXLightingTemp
extern Framebuffer* fbDeferredVolumetricFog[2];  // "deferred_volumetric_fog_0/1": VolumetricFog0/1
extern Framebuffer* fbDeferredFinalComposite;    // "deferred_final_composite": FinalComposite
extern Framebuffer* fbDeferredRaytrace[2];       // "deferred_raytrace0/1": Raytrace0/1
extern Framebuffer* fbDeferredParticles;         // "deferred_particles": BlendedParticles, depth attached each frame
extern Framebuffer* fbWireframe;                 // "fbWireframe": txtWireframeColor + txtWireframeDepth

extern Texture* txtDeferredDepth[2];                        // DEPTH32F_STENCIL8
extern Texture* txtDeferredColor[2];                        // RGBA16F albedo
extern Texture* txtDeferredNormalAttribute;                 // R32UI normal + material index
extern Texture* txtDeferredMetalnessRoughnessMaterialTags;  // RGBA16UI
extern Texture* txtDeferredEmissive;                        // RGBA16F
extern Texture* txtDeferredGlobalShadows;                   // RGBA16F, the lighting pass's target
extern Texture* txtDeferredHBAO;                            // R16F
extern Texture* txtDeferredHBAOBlurredH;                    // R16F
extern Texture* txtDeferredHBAOBlurredV;                    // R16F
extern Texture* txtSSRSource;                               // "SSRSource", RGBA16F
extern Texture* txtSSRDest;                                 // "SSRDest", RGBA16F
extern Texture* txtDeferredLinearDepth;                     // R32F
extern Texture* txtVXLighting[2];                           // "VXLighting0/1", RGBA16F
extern Texture* txtVXLightingTemp;                          // "VXLightingTemp", RGBA16F
extern Texture* txtVolumetricFog[2];                        // "VolumetricFog0/1", RGBA16F
extern Texture* txtFinalComposite;                          // "FinalComposite", RGBA8
extern Texture* txtRaytrace[2];                             // "Raytrace0/1", RGBA16F
extern Texture* txtBlendedParticles;                        // "BlendedParticles", RGBA16F
extern Texture* txtWireframeColor;                          // RGBA8
extern Texture* txtWireframeDepth;                          // DEPTH32F
extern Texture* txtTempRGBA16F;                             // the composite's intermediate target

// ---- Interfaces ----

// Programs, the projection-plane quad, samplers, the rotation texture and the two record buffers, once.
void deferredRenderInit();
// The framebuffers and textures above, once (when "deferred_deep" does not exist yet).
void deferredCreateTargets();
// Framebuffer of the target table by its name ("deferred_deep", "fbWireframe", ...); null when unknown or not
// created yet.
Framebuffer* deferredFindFramebuffer(const std::string& name);
// The render graph's Deferred targets: 0 "deferred_deep", 1 "deferred_particles" (created when needed); null
// for any other index.
Framebuffer* deferredTarget(int target);

// Sets up a framebuffer's attachments now (on the main thread directly, restoring the current binding); false when
// it is incomplete or null.
bool deferredSetUpFramebuffer(Framebuffer* framebuffer);
// A new GL sampler object with these filters and the wrap mode on S, T and R (GL enum values).
unsigned int deferredCreateSampler(unsigned int minFilter, unsigned int magFilter, unsigned int wrap);

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
// Tests and benchmarks only: releases the targets, programs, samplers, quad and buffers.
void deferredRenderRelease();
