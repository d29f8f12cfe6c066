#include "render/deferred_composite.h"

#include "app/log.h"
#include "app/timing.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "render/composite.h"
#include "render/deferred_postprocess.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/render_graph.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>

using namespace gl;

int renderingMain = 0;
DeferredDispatchObserver deferredDispatchObserver = nullptr;
DeferredVoxelSceneSource deferredVoxelSceneSource = nullptr;
bool deferredCompositeUseVariants = true;

namespace {

Texture* colorTexture(const Framebuffer* framebuffer, int slot = FB_ATTACHMENT_COLOR0)
{
    return framebuffer ? framebuffer->slots[slot].texture : nullptr;
}

// The clear of targets whose pass has nothing to compute: readers then see no light and no occlusion.
void clearToZero(Texture* texture)
{
    if (!texture || !texture->glId)
        return;
    const float zero[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    glClearTexImage(texture->glId, 0, GL_RGBA, GL_FLOAT, zero);
}

void groupsFor(const Texture* texture, int groupWidth, int groupHeight, int* groupsX, int* groupsY)
{
    int width = 0;
    int height = 0;
    deferredTextureSize(texture, &width, &height);
    *groupsX = (width + groupWidth - 1) / groupWidth;
    *groupsY = (height + groupHeight - 1) / groupHeight;
}

// The voxel grid of the frame, when the raytracer provides one.
bool voxelSceneOf(const RaytraceSceneBuffers* scene, DeferredVoxelScene* out)
{
    if (!scene || !deferredVoxelSceneSource || !deferredVoxelSceneSource(scene, out))
        return false;
    return out->voxelColorTexture && out->voxelOccupancyTexture;
}

float perspectiveExtent(const Camera& camera)
{
    return 2.0f * std::tan(camera.fov / 180.0f * static_cast<float>(M_PI) * 0.5f);
}

// ---- Composite variants ----

constexpr uint32_t kWrittenTracked = COMPOSITE_INPUT_VOXEL | COMPOSITE_INPUT_FOG | COMPOSITE_INPUT_PARTICLES |
                                     COMPOSITE_INPUT_RAYTRACE | COMPOSITE_INPUT_WIREFRAME;
uint32_t writtenInputs = kWrittenTracked;

// The inputs each view reads, by CompositeView.
constexpr uint32_t kViewInputs[COMPOSITE_VIEW_COUNT] = {
    COMPOSITE_INPUTS_ALL & ~COMPOSITE_INPUT_RAYTRACE, // composite: traced light is already in the lit image
    0, 0, 0, 0,                                       // albedo, normals, roughness, lighting
    COMPOSITE_INPUT_VOXEL, COMPOSITE_INPUT_VOXEL, COMPOSITE_INPUT_VOXEL,
    0, 0,                                             // material, RT mask
    COMPOSITE_INPUT_RAYTRACE, COMPOSITE_INPUT_FOG, COMPOSITE_INPUT_PARTICLES,
};

// The defines that keep each input, in CompositeInput bit order.
const char* const kInputDefines[] = {"COMPOSITE_WITH_VOXEL",     "COMPOSITE_WITH_FOG",
                                     "COMPOSITE_WITH_PARTICLES", "COMPOSITE_WITH_RAYTRACE",
                                     "COMPOSITE_WITH_WIREFRAME", "COMPOSITE_WITH_OCCLUSION",
                                     "COMPOSITE_WITH_REFLECTIONS"};
static_assert(std::size(kInputDefines) == 7);

std::unordered_map<uint32_t, ShaderProgram*>& compositeVariants()
{
    static auto* variants = new std::unordered_map<uint32_t, ShaderProgram*>();
    return *variants;
}

ShaderProgram* buildCompositeVariant(uint32_t key)
{
    const ShaderProgram* full = deferredRenderer.compositeProgram;
    const std::string path = full && full->compute ? full->compute->path : "shaders/deferred/composite.fsh";
    ShaderDefines defines = shaderGlobalDefines;
    const char* const views[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15"};
    defines["COMPOSITE_VIEW"] = views[key & 15u];
    for (uint32_t bit = 0; bit < std::size(kInputDefines); ++bit)
        if (key & (1u << (bit + 4)))
            defines[kInputDefines[bit]] = "1";
    return shaderLoadProgramCompute(path, defines);
}

} // namespace

uint32_t deferredCompositeWrittenInputs()
{
    return writtenInputs;
}

void deferredMarkCompositeInputs(uint32_t inputs, bool written)
{
    inputs &= kWrittenTracked;
    writtenInputs = written ? writtenInputs | inputs : writtenInputs & ~inputs;
}

uint32_t deferredCompositeInputsInUse()
{
    const DeferredRenderer& r = deferredRenderer;
    return writtenInputs | (r.hbaoEnabled ? COMPOSITE_INPUT_OCCLUSION : 0u) |
           (r.ssrEnabled ? COMPOSITE_INPUT_REFLECTIONS : 0u);
}

uint32_t deferredCompositeVariantKey(int view, uint32_t inputs)
{
    if (view < 0 || view >= COMPOSITE_VIEW_COUNT)
        view = COMPOSITE_VIEW_COMPOSITE;
    return uint32_t(view) | ((inputs & kViewInputs[view]) << 4);
}

ShaderProgram* deferredCompositeVariant(uint32_t key)
{
    ShaderProgram* full = deferredRenderer.compositeProgram;
    if (!deferredCompositeUseVariants || (key & 15u) >= COMPOSITE_VIEW_COUNT)
        return full;
    ShaderProgram*& variant = compositeVariants()[key];
    if (!variant)
        variant = buildCompositeVariant(key);
    // A variant that does not build leaves the frame to the full program (which reports its own failure).
    return variant && !variant->errors && variant->linked ? variant : full;
}

size_t deferredCompositeVariantCount()
{
    return compositeVariants().size();
}

void deferredCompositeVariantsRelease()
{
    for (auto& [key, program] : compositeVariants())
        shaderDeleteProgram(program);
    compositeVariants().clear();
    writtenInputs = kWrittenTracked;
}

void deferredFillDispatchParams(DispatchCompute2Params* out, int width, int height)
{
    const DeferredRenderer& r = deferredRenderer;
    *out = DispatchCompute2Params{};
    const Camera& cur = r.deferredCamera;
    const Camera& prev = r.deferredPreviousCamera;
    out->projection = cur.projection;
    out->world = cur.world;
    out->previousWorld = prev.world;
    cur.view.InverseAffine(out->viewInverse);
    out->previousView = prev.view;
    out->position[0] = cur.position.x;
    out->position[1] = cur.position.y;
    out->position[2] = cur.position.z;
    const float u = perspectiveExtent(cur);
    const float v = height > 0 ? u * static_cast<float>(width) / static_cast<float>(height) : 0.0f;
    out->extent[0] = v;
    out->extent[1] = u;
    out->extent[2] = v / 2.0f;
    out->extent[3] = u / 2.0f;
    out->nearFar[0] = cur.nearPlane;
    out->nearFar[1] = cur.farPlane;
    out->nearFar[2] = 2.0f * cur.nearPlane * cur.farPlane;
    out->nearFar[3] = cur.farPlane - cur.nearPlane;
    out->size[0] = static_cast<float>(width);
    out->size[1] = static_cast<float>(height);
    out->size[2] = width > 0 ? 1.0f / static_cast<float>(width) : 0.0f;
    out->size[3] = height > 0 ? 1.0f / static_cast<float>(height) : 0.0f;
}

void deferredRenderCompute2(ShaderProgram* program, int groupsX, int groupsY, Framebuffer* target,
                            const TextureBindings* textures, const BufferBindings* buffers)
{
    if (!program || !program->compute) {
        LOG_ERROR("Invalid shader program. No compute shader bound");
        return;
    }
    if (program->errors || !program->linked) {
        LOG_ERROR("Compute program <%s> did not build; nothing is dispatched", program->compute->path.c_str());
        return;
    }
    DeferredRenderer& r = deferredRenderer;
    if (!r.dispatchParamsBuffer)
        r.dispatchParamsBuffer = boCreate("DispatchCompute2Params", sizeof(DispatchCompute2Params));
    int width = 0;
    int height = 0;
    deferredTextureSize(colorTexture(target), &width, &height);
    if (!shaderUseProgram(program))
        return;
    DispatchCompute2Params params;
    deferredFillDispatchParams(&params, width, height);
    if (r.dispatchParamsBuffer) {
        std::memcpy(r.dispatchParamsBuffer->hostCopy, &params, sizeof params);
        glNamedBufferSubData(r.dispatchParamsBuffer->glId, 0, sizeof params, &params);
        r.dispatchParamsBuffer->dirty = false;
    }

    if (textures)
        shaderBindTextures(program, *textures);
    BufferBindings all = buffers ? *buffers : BufferBindings{};
    if (r.dispatchParamsBuffer)
        shaderBindingsAddBuffer(all, "DeferredParams", r.dispatchParamsBuffer);
    shaderBindBuffers(program, all);
    rendererBindGlobalInputs(program, Timestep{});

    if (deferredDispatchObserver)
        deferredDispatchObserver(program, groupsX, groupsY);
    if (groupsX > 0 && groupsY > 0)
        glDispatchCompute(static_cast<GLuint>(groupsX), static_cast<GLuint>(groupsY), 1);
    glMemoryBarrier(GL_ALL_BARRIER_BITS);
}

void deferredFillVoxelLightingParams(VoxelLightingParams* out, const VoxelLightingSettings& s, int passIndex)
{
    const float values[8] = {s.lightSmoothingPositionFactor,
                             s.lightSmoothingNormalFactor,
                             s.lightSmoothingColorFactor,
                             s.lightFalloff,
                             s.occlusionFalloff,
                             s.lightTraceDistanceScale,
                             s.traceMaxRange,
                             s.reprojectionTolerance};
    std::memcpy(out->values, values, sizeof values);
    out->passIndex = passIndex;
}

void deferredFillVoxelFogParams(VoxelFogParams* out, const VoxelLightingSettings& s)
{
    // The lighting record's eight words, then scattering, sampling mip and trace step.
    VoxelLightingParams lighting;
    deferredFillVoxelLightingParams(&lighting, s, 0);
    std::memcpy(out->values, lighting.values, sizeof lighting.values);
    out->values[8] = s.scattering;
    out->values[9] = s.samplingMip;
    out->values[10] = s.traceStep;
    out->zero = 0.0f;
}

void RenderVoxelizationLighting(RaytraceSceneBuffers* scene, const VoxelLightingSettings& settings)
{
    deferredRenderInit();
    deferredCreateTargets();
    const DeferredRenderer& r = deferredRenderer;
    const int h = r.historyIndex & 1;
    Texture* const target = r.txtVXLighting[h];
    DeferredVoxelScene voxels;
    if ((settings.voxelized & 0xFFu) == 0 || !voxelSceneOf(scene, &voxels) || voxels.voxelizeFaceCount == 0) {
        clearToZero(target);
        deferredMarkCompositeInputs(COMPOSITE_INPUT_VOXEL, false);
        return;
    }
    deferredMarkCompositeInputs(COMPOSITE_INPUT_VOXEL, true);
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "RenderVoxelizationLighting");
    VoxelLightingParams params;
    deferredFillVoxelLightingParams(&params, settings, 0);

    TextureBindings first;
    shaderBindingsAddTexture(first, "imAlbedo", r.txtDeferredColor[h]);
    shaderBindingsAddTexture(first, "imNormalMaterial", r.txtDeferredNormalAttribute);
    shaderBindingsAddTexture(first, "imShadows", r.txtDeferredGlobalShadows);
    shaderBindingsAddTexture(first, "imMetalnessRoughnessMaterialTags", r.txtDeferredMetalnessRoughnessMaterialTags);
    shaderBindingsAddTexture(first, "s_voxel_colors_filtered", voxels.voxelColorTexture);
    shaderBindingsAddTexture(first, "s_voxel_occupancy_filtered", voxels.voxelOccupancyTexture);
    shaderBindingsAddTexture(first, "sTextureDepth", r.txtDeferredDepth[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(first, "sTextureDepthPrevious", r.txtDeferredDepth[1 - h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(first, "sTargetPrevious", r.txtVXLighting[1 - h], SAMPLER_LINEAR_CLAMP);
    TextureBindings second = first;
    shaderBindingsAddTexture(first, "imTarget", r.txtVXLightingTemp);
    shaderBindingsAddTexture(second, "imOcclusion", r.txtVXLightingTemp);
    shaderBindingsAddTexture(second, "imTarget", target);

    int groupsX = 0;
    int groupsY = 0;
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    shaderBindingsAddVoxels(buffers, scene);
    shaderBindingsAddData(buffers, "VoxelLightingParams", &params, sizeof params);

    fbPush();
    fbBind(r.fbDeferredVoxelLightingTemp);
    {
        ScopedGpuTimer timer("VX Render Lighting", false);
        deferredBindLightSamplers(r.voxelLightingProgram);
        groupsFor(r.txtVXLightingTemp, 16, 16, &groupsX, &groupsY);
        deferredRenderCompute2(r.voxelLightingProgram, groupsX, groupsY, r.fbDeferredVoxelLightingTemp, &first,
                               &buffers);
    }
    fbBind(r.fbDeferredVoxelLighting[h]);
    {
        ScopedGpuTimer timer("VX Blur Lighting", false);
        params.passIndex = 1;
        groupsFor(r.txtVXLightingTemp, 8, 4, &groupsX, &groupsY);
        deferredRenderCompute2(r.voxelLightingBlurProgram, groupsX, groupsY, r.fbDeferredVoxelLighting[h], &second,
                               &buffers);
    }
    fbPop();
    glPopDebugGroup();
}

void RenderVoxelizationLighting(Scene*, Framebuffer*, RaytraceSceneBuffers* sceneBuffers,
                                const VoxelLightingSettings& settings)
{
    RenderVoxelizationLighting(sceneBuffers, settings);
}

void RenderVolumetricFog(RaytraceSceneBuffers* scene, const VoxelLightingSettings& settings)
{
    deferredRenderInit();
    deferredCreateTargets();
    const DeferredRenderer& r = deferredRenderer;
    const int h = r.historyIndex & 1;
    Framebuffer* const target = r.fbDeferredVolumetricFog[h];
    Framebuffer* const previous = r.fbDeferredVolumetricFog[1 - h];
    DeferredVoxelScene voxels;
    if (!voxelSceneOf(scene, &voxels)) {
        clearToZero(colorTexture(target));
        deferredMarkCompositeInputs(COMPOSITE_INPUT_FOG, false);
        return;
    }
    deferredMarkCompositeInputs(COMPOSITE_INPUT_FOG, true);
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "RenderVolumetricFog");
    Texture* normals = colorTexture(r.fbDeferredDeep, FB_ATTACHMENT_COLOR1);
    Texture* tags = colorTexture(r.fbDeferredDeep, FB_ATTACHMENT_COLOR2);
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "imNormalMaterial", normals ? normals : r.txtDeferredNormalAttribute);
    shaderBindingsAddTexture(textures, "imMetalnessRoughnessMaterialTags",
                             tags ? tags : r.txtDeferredMetalnessRoughnessMaterialTags);
    shaderBindingsAddTexture(textures, "s_voxel_colors_filtered", voxels.voxelColorTexture, SAMPLER_TRILINEAR_BORDER);
    shaderBindingsAddTexture(textures, "s_voxel_occupancy_filtered", voxels.voxelOccupancyTexture,
                             SAMPLER_TRILINEAR_BORDER);
    shaderBindingsAddTexture(textures, "sTextureDepth", r.txtDeferredDepth[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sTextureDepthPrevious", r.txtDeferredDepth[1 - h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "imTarget", colorTexture(target));
    shaderBindingsAddTexture(textures, "sTargetPrevious", colorTexture(previous), SAMPLER_LINEAR_CLAMP);
    int groupsX = 0;
    int groupsY = 0;
    groupsFor(colorTexture(target), 16, 16, &groupsX, &groupsY);

    VoxelFogParams params;
    deferredFillVoxelFogParams(&params, settings);
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    shaderBindingsAddVoxels(buffers, scene);
    shaderBindingsAddData(buffers, "VoxelFogParams", &params, sizeof params);
    {
        ScopedGpuTimer timer("Render Volumetric Fog", false);
        deferredRenderCompute2(r.volumetricFogProgram, groupsX, groupsY, target, &textures, &buffers);
    }
    glPopDebugGroup();
}

void deferredFillCompositeParams(CompositeParams* out, const DeferredCompositeParams& s, int view)
{
    std::memset(out, 0, sizeof *out);
    std::memcpy(out->ambient, s.ambient, sizeof out->ambient);
    std::memcpy(out->fill, s.fill, sizeof out->fill);
    std::memcpy(out->fogColor, s.fogColor, sizeof out->fogColor);
    out->fogRange = s.fogRange;
    out->fogHeight = s.fogHeight;
    out->fogHeightDensity = s.fogHeightDensity;
    out->one = 1.0f;
    out->ssrStrength = s.ssrStrength;
    out->vxOcclusionStrength = s.vxOcclusionStrength;
    out->vxIlluminationStrength = s.vxIlluminationStrength;
    out->volumetricFogStrength = s.volumetricFogStrength;
    out->volumetricFogIntensity = s.volumetricFogIntensity;
    out->newFrameBlendFactor = s.newFrameBlendFactor;
    out->neighborhoodClampGamma = s.neighborhoodClampGamma;
    out->view = view >= 0 && view < COMPOSITE_VIEW_COUNT ? view : COMPOSITE_VIEW_COMPOSITE;
}

namespace {

// The composite's passes, in the order DeferredComposite runs them.

// No culling, no depth, no blending, no stencil; the rest at the defaults.
RenderState compositeState()
{
    RenderState state;
    state.cullMode = 2;
    state.depthWrite = false;
    state.depthTest = false;
    return state;
}

// The occlusion and the reflections reconstruct positions from the linear depth; nothing else reads it.
void linearDepthPass(const DeferredRenderer& r)
{
    if (r.ssrEnabled || r.hbaoEnabled)
        deferredRenderLinearDepth(&r.deferredCamera);
}

// Both targets are read by the composite whether or not their pass runs; no program of an earlier pass stays bound.
void setUpScreenSpaceTargets(const DeferredRenderer& r)
{
    if (!colorTexture(r.fbDeferredHBAO))
        fbAttach(r.fbDeferredHBAO, FB_ATTACHMENT_COLOR0, r.txtDeferredHBAO);
    deferredSetUpFramebuffer(r.fbDeferredHBAO);
    deferredSetUpFramebuffer(r.fbSSRDest);
    shaderUseProgram(nullptr);
}

// Ambient occlusion; fully open (white) when it is off.
void occlusionPass(const DeferredRenderer& r)
{
    if (r.hbaoEnabled) {
        RenderHBAO(&r.deferredCamera);
        return;
    }
    const float open[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    if (Texture* occlusion = colorTexture(r.fbDeferredHBAO); occlusion && occlusion->glId)
        glClearTexImage(occlusion->glId, 0, GL_RGBA, GL_FLOAT, open);
}

// Reflections into SSRDest; black when they are off.
void reflectionPass(const DeferredRenderer& r)
{
    clearToZero(r.txtSSRDest);
    if (r.ssrEnabled)
        RenderSSR(&r.deferredCamera, r.fbDeferredDeep);
}

// What the composite and the temporal resolve bind. The buffer bindings point at the two records, so the
// inputs stay where they were filled until the dispatches are issued.
struct CompositeInputs {
    CompositeParams params;
    BasicDeferredParams basic;
    TextureBindings textures;
    BufferBindings buffers;
    int groupsX = 0; // 8 x 8 groups over the destination's colour 0
    int groupsY = 0;
};

void bindCompositeInputs(const DeferredRenderer& r, const Framebuffer* destination, CompositeInputs* in)
{
    const int h = r.historyIndex & 1;
    TextureBindings& t = in->textures;
    shaderBindingsAddTexture(t, "sCompositePrevious", r.txtDeferredColor[1 - h], SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(t, "sAlbedo", r.txtDeferredColor[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sTextureDepth", r.txtDeferredDepth[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sTextureDepthPrevious", r.txtDeferredDepth[1 - h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sNormalMaterial", r.txtDeferredNormalAttribute, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sMetalnessRoughnessMaterialTags", r.txtDeferredMetalnessRoughnessMaterialTags,
                             SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sShadow", r.txtDeferredGlobalShadows, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sHBAO", colorTexture(r.fbDeferredHBAO), SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sSSR", r.txtSSRDest, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sVoxelLighting", r.txtVXLighting[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sWireframeColor", r.txtWireframeColor, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sWireframeDepth", r.txtWireframeDepth, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sRaytrace", r.txtRaytrace[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sVolumetricFog", r.txtVolumetricFog[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(t, "sParticles", r.txtBlendedParticles, SAMPLER_NEAREST_CLAMP);
    // Emission has no other way into the image: the lighting pass does not read it.
    shaderBindingsAddTexture(t, "sEmissive", r.txtDeferredEmissive, SAMPLER_NEAREST_CLAMP);
    if (Texture* previous = colorTexture(destination, FB_ATTACHMENT_COLOR1))
        shaderBindingsAddTexture(t, "sTargetPrevious", previous, SAMPLER_LINEAR_CLAMP);

    shaderBindingsCreate(in->buffers);
    shaderBindingsAddData(in->buffers, "CompositeParamsBuffer", &in->params, sizeof in->params);
    shaderBindingsAddData(in->buffers, "BasicDeferredParamsBuffer", &in->basic, sizeof in->basic);
    groupsFor(colorTexture(destination), 8, 8, &in->groupsX, &in->groupsY);
}

// The resolve blends with the previous result (the destination's colour 1) and needs an intermediate image of the
// destination's size.
bool temporalResolveOn(const DeferredRenderer& r, const Framebuffer* destination,
                       const DeferredCompositeParams& settings)
{
    int width = 0;
    int height = 0;
    deferredTextureSize(colorTexture(destination), &width, &height);
    int tempWidth = 0;
    int tempHeight = 0;
    deferredTextureSize(r.txtTempRGBA16F, &tempWidth, &tempHeight);
    return settings.newFrameBlendFactor < 1.0f && colorTexture(destination, FB_ATTACHMENT_COLOR1) &&
           tempWidth == width && tempHeight == height;
}

// Into txtTempRGBA16F when the resolve follows, else straight into the destination's colour 0; with the variant
// for the view and the inputs in use.
void compositeDispatch(const DeferredRenderer& r, Framebuffer* destination, CompositeInputs* in, bool resolve)
{
    Texture* const output = colorTexture(destination);
    shaderBindingsAddTexture(in->textures, "imTarget", resolve ? r.txtTempRGBA16F : output);
    ShaderProgram* const program =
        deferredCompositeVariant(deferredCompositeVariantKey(in->params.view, deferredCompositeInputsInUse()));
    deferredRenderCompute2(program, in->groupsX, in->groupsY, destination, &in->textures, &in->buffers);
}

void temporalResolve(const DeferredRenderer& r, Framebuffer* destination, CompositeInputs* in)
{
    shaderBindingsAddTexture(in->textures, "sTargetCurrent", r.txtTempRGBA16F, SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(in->textures, "imTarget", colorTexture(destination));
    deferredRenderCompute2(r.taaResolveProgram, in->groupsX, in->groupsY, destination, &in->textures, &in->buffers);
}

} // namespace

void DeferredComposite(Framebuffer* destination, const DeferredCompositeParams& settings)
{
    deferredRenderInit();
    deferredCreateTargets();
    if (!colorTexture(destination)) {
        LOG_ERROR("DeferredComposite: destination <%s> has no colour target; nothing is composited",
                  destination ? destination->name.c_str() : "null");
        return;
    }
    const DeferredRenderer& r = deferredRenderer;
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "DeferredComposite");
    linearDepthPass(r);
    renderStatePush(compositeState());
    setUpScreenSpaceTargets(r);
    occlusionPass(r);
    reflectionPass(r);

    CompositeInputs inputs;
    deferredFillCompositeParams(&inputs.params, settings, renderingMain);
    deferredFillBasicParams(&inputs.basic, &r.deferredCamera);
    {
        ScopedGpuTimer timer("Deferred Composite", false);
        bindCompositeInputs(r, destination, &inputs);
        const bool resolve = temporalResolveOn(r, destination, settings);
        compositeDispatch(r, destination, &inputs, resolve);
        if (resolve)
            temporalResolve(r, destination, &inputs);
    }
    renderStatePop();
    glPopDebugGroup();
}

void DeferredComposite(Scene*, Framebuffer* destination, const DeferredCompositeParams& settings)
{
    DeferredComposite(destination, settings);
}

void CopyRTMaterialPropertyToStencil()
{
    deferredRenderInit();
    deferredCreateTargets();
    DeferredRenderer& r = deferredRenderer;
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "CopyRTMaterialPropertyToStencil");
    if (!r.stencilParamsBuffer)
        r.stencilParamsBuffer = boCreate("BasicDeferredParams", sizeof(BasicDeferredParams));
    if (!r.stencilFramebuffer)
        r.stencilFramebuffer = fbCreate("temp_fb");
    ShaderProgram* const program = r.copyToStencilProgram;
    if (!program || program->errors || !program->linked || !r.stencilFramebuffer) {
        LOG_ERROR("Stencil copy program not usable; no pixel is marked for ray tracing");
        glPopDebugGroup();
        return;
    }

    RenderState state = renderStateTop();
    state.cullMode = 2;
    state.depthWrite = false;
    state.depthTest = false;
    state.stencilTest = true;
    state.stencilWrite = true;
    renderStatePush(state);
    glStencilOp(GL_REPLACE, GL_REPLACE, GL_REPLACE);
    glStencilFunc(GL_ALWAYS, 1, 1);

    Texture* const depth = r.txtDeferredDepth[r.historyIndex & 1];
    fbAttach(r.stencilFramebuffer, FB_ATTACHMENT_DEPTH, depth);
    fbAttach(r.stencilFramebuffer, FB_ATTACHMENT_STENCIL, depth);

    BasicDeferredParams basic;
    deferredFillBasicParams(&basic, nullptr);
    if (r.stencilParamsBuffer) {
        std::memcpy(r.stencilParamsBuffer->hostCopy, &basic, sizeof basic);
        glNamedBufferSubData(r.stencilParamsBuffer->glId, 0, sizeof basic, &basic);
        r.stencilParamsBuffer->dirty = false;
    }
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    if (r.stencilParamsBuffer)
        shaderBindingsAddBuffer(buffers, "BasicDeferredParamsBuffer", r.stencilParamsBuffer);
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "imMetalnessRoughnessMaterialTags", r.txtDeferredMetalnessRoughnessMaterialTags);

    shaderUseProgram(program);
    shaderBindBuffers(program, buffers);
    shaderBindTextures(program, textures);
    const Timestep zero{};
    composite(r.stencilFramebuffer, program, &zero, nullptr);

    renderStatePop();
    glPopDebugGroup();
}
