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
#include <optional>

using namespace gl;

int renderingMain = 0;
DeferredDispatchObserver deferredDispatchObserver = nullptr;
DeferredVoxelSceneSource deferredVoxelSceneSource = nullptr;

namespace {

BufferObject* dispatchParamsBuffer = nullptr;
BufferObject* stencilParamsBuffer = nullptr;
Framebuffer* stencilFramebuffer = nullptr;

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

} // namespace

void deferredFillDispatchParams(DispatchCompute2Params* out, int width, int height)
{
    *out = DispatchCompute2Params{};
    const Camera& cur = deferredCamera;
    const Camera& prev = deferredPreviousCamera;
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
    if (!dispatchParamsBuffer)
        dispatchParamsBuffer = boCreate("DispatchCompute2Params", sizeof(DispatchCompute2Params));
    int width = 0;
    int height = 0;
    deferredTextureSize(colorTexture(target), &width, &height);
    if (!shaderUseProgram(program))
        return;
    DispatchCompute2Params params;
    deferredFillDispatchParams(&params, width, height);
    if (dispatchParamsBuffer) {
        std::memcpy(dispatchParamsBuffer->hostCopy, &params, sizeof params);
        glNamedBufferSubData(dispatchParamsBuffer->glId, 0, sizeof params, &params);
        dispatchParamsBuffer->dirty = false;
    }

    if (textures)
        shaderBindTextures(program, *textures);
    BufferBindings all = buffers ? *buffers : BufferBindings{};
    if (dispatchParamsBuffer)
        shaderBindingsAddBuffer(all, "DeferredParams", dispatchParamsBuffer);
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
    const int h = historyIndex & 1;
    Texture* const target = txtVXLighting[h];
    DeferredVoxelScene voxels;
    if ((settings.voxelized & 0xFFu) == 0 || !voxelSceneOf(scene, &voxels) || voxels.voxelizeFaceCount == 0) {
        clearToZero(target);
        return;
    }
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "RenderVoxelizationLighting");
    VoxelLightingParams params;
    deferredFillVoxelLightingParams(&params, settings, 0);

    TextureBindings first;
    shaderBindingsAddTexture(first, "imAlbedo", txtDeferredColor[h]);
    shaderBindingsAddTexture(first, "imNormalMaterial", txtDeferredNormalAttribute);
    shaderBindingsAddTexture(first, "imShadows", txtDeferredGlobalShadows);
    shaderBindingsAddTexture(first, "imMetalnessRoughnessMaterialTags", txtDeferredMetalnessRoughnessMaterialTags);
    shaderBindingsAddTexture(first, "s_voxel_colors_filtered", voxels.voxelColorTexture);
    shaderBindingsAddTexture(first, "s_voxel_occupancy_filtered", voxels.voxelOccupancyTexture);
    shaderBindingsAddTexture(first, "sTextureDepth", txtDeferredDepth[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(first, "sTextureDepthPrevious", txtDeferredDepth[1 - h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(first, "sTargetPrevious", txtVXLighting[1 - h], SAMPLER_LINEAR_CLAMP);
    TextureBindings second = first;
    shaderBindingsAddTexture(first, "imTarget", txtVXLightingTemp);
    shaderBindingsAddTexture(second, "imOcclusion", txtVXLightingTemp);
    shaderBindingsAddTexture(second, "imTarget", target);

    int groupsX = 0;
    int groupsY = 0;
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    shaderBindingsAddVoxels(buffers, scene);
    shaderBindingsAddData(buffers, "VoxelLightingParams", &params, sizeof params);

    fbPush();
    fbBind(fbDeferredVoxelLightingTemp);
    {
        ScopedGpuTimer timer("VX Render Lighting", false);
        deferredBindLightSamplers(voxelLightingProgram);
        groupsFor(txtVXLightingTemp, 16, 16, &groupsX, &groupsY);
        deferredRenderCompute2(voxelLightingProgram, groupsX, groupsY, fbDeferredVoxelLightingTemp, &first, &buffers);
    }
    fbBind(fbDeferredVoxelLighting[h]);
    {
        ScopedGpuTimer timer("VX Blur Lighting", false);
        params.passIndex = 1;
        groupsFor(txtVXLightingTemp, 8, 4, &groupsX, &groupsY);
        deferredRenderCompute2(voxelLightingBlurProgram, groupsX, groupsY, fbDeferredVoxelLighting[h], &second,
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
    const int h = historyIndex & 1;
    Framebuffer* const target = fbDeferredVolumetricFog[h];
    Framebuffer* const previous = fbDeferredVolumetricFog[1 - h];
    DeferredVoxelScene voxels;
    if (!voxelSceneOf(scene, &voxels)) {
        clearToZero(colorTexture(target));
        return;
    }
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "RenderVolumetricFog");
    Texture* normals = colorTexture(fbDeferredDeep, FB_ATTACHMENT_COLOR1);
    Texture* tags = colorTexture(fbDeferredDeep, FB_ATTACHMENT_COLOR2);
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "imNormalMaterial", normals ? normals : txtDeferredNormalAttribute);
    shaderBindingsAddTexture(textures, "imMetalnessRoughnessMaterialTags",
                             tags ? tags : txtDeferredMetalnessRoughnessMaterialTags);
    shaderBindingsAddTexture(textures, "s_voxel_colors_filtered", voxels.voxelColorTexture, SAMPLER_TRILINEAR_BORDER);
    shaderBindingsAddTexture(textures, "s_voxel_occupancy_filtered", voxels.voxelOccupancyTexture,
                             SAMPLER_TRILINEAR_BORDER);
    shaderBindingsAddTexture(textures, "sTextureDepth", txtDeferredDepth[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sTextureDepthPrevious", txtDeferredDepth[1 - h], SAMPLER_NEAREST_CLAMP);
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
        deferredRenderCompute2(volumetricFogProgram, groupsX, groupsY, target, &textures, &buffers);
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

void DeferredComposite(Framebuffer* destination, const DeferredCompositeParams& settings)
{
    deferredRenderInit();
    deferredCreateTargets();
    Texture* const output = colorTexture(destination);
    if (!output) {
        LOG_ERROR("DeferredComposite: destination <%s> has no colour target; nothing is composited",
                  destination ? destination->name.c_str() : "null");
        return;
    }
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "DeferredComposite");
    if (ssrEnabled || hbaoEnabled)
        deferredRenderLinearDepth(&deferredCamera);

    // No culling, no depth, no blending, no stencil; the rest at the defaults.
    RenderState state;
    state.cullMode = 2;
    state.depthWrite = false;
    state.depthTest = false;
    renderStatePush(state);

    if (!colorTexture(fbDeferredHBAO))
        fbAttach(fbDeferredHBAO, FB_ATTACHMENT_COLOR0, txtDeferredHBAO);
    deferredSetUpFramebuffer(fbDeferredHBAO);
    deferredSetUpFramebuffer(fbSSRDest);
    shaderUseProgram(nullptr);

    if (hbaoEnabled) {
        RenderHBAO(&deferredCamera);
    } else {
        const float open[4] = {1.0f, 1.0f, 1.0f, 1.0f};
        if (Texture* occlusion = colorTexture(fbDeferredHBAO); occlusion && occlusion->glId)
            glClearTexImage(occlusion->glId, 0, GL_RGBA, GL_FLOAT, open);
    }
    clearToZero(txtSSRDest);
    if (ssrEnabled)
        RenderSSR(&deferredCamera, fbDeferredDeep);

    CompositeParams params;
    deferredFillCompositeParams(&params, settings, renderingMain);
    BasicDeferredParams basic;
    deferredFillBasicParams(&basic, &deferredCamera);
    std::optional<ScopedGpuTimer> timer(std::in_place, "Deferred Composite", false);

    const int h = historyIndex & 1;
    Texture* const previous = colorTexture(destination, FB_ATTACHMENT_COLOR1);
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "sCompositePrevious", txtDeferredColor[1 - h], SAMPLER_LINEAR_CLAMP);
    shaderBindingsAddTexture(textures, "sAlbedo", txtDeferredColor[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sTextureDepth", txtDeferredDepth[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sTextureDepthPrevious", txtDeferredDepth[1 - h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sNormalMaterial", txtDeferredNormalAttribute, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sMetalnessRoughnessMaterialTags", txtDeferredMetalnessRoughnessMaterialTags,
                             SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sShadow", txtDeferredGlobalShadows, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sHBAO", colorTexture(fbDeferredHBAO), SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sSSR", txtSSRDest, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sVoxelLighting", txtVXLighting[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sWireframeColor", txtWireframeColor, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sWireframeDepth", txtWireframeDepth, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sRaytrace", txtRaytrace[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sVolumetricFog", txtVolumetricFog[h], SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sParticles", txtBlendedParticles, SAMPLER_NEAREST_CLAMP);
    // Emission has no other way into the image: the lighting pass does not read it.
    shaderBindingsAddTexture(textures, "sEmissive", txtDeferredEmissive, SAMPLER_NEAREST_CLAMP);
    if (previous)
        shaderBindingsAddTexture(textures, "sTargetPrevious", previous, SAMPLER_LINEAR_CLAMP);

    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    shaderBindingsAddData(buffers, "CompositeParamsBuffer", &params, sizeof params);
    shaderBindingsAddData(buffers, "BasicDeferredParamsBuffer", &basic, sizeof basic);

    int width = 0;
    int height = 0;
    deferredTextureSize(output, &width, &height);
    int tempWidth = 0;
    int tempHeight = 0;
    deferredTextureSize(txtTempRGBA16F, &tempWidth, &tempHeight);
    // The resolve needs the previous result and an intermediate image of the destination's size.
    const bool resolve = settings.newFrameBlendFactor < 1.0f && previous && tempWidth == width &&
                         tempHeight == height;
    shaderBindingsAddTexture(textures, "imTarget", resolve ? txtTempRGBA16F : output);
    const int groupsX = (width + 7) / 8;
    const int groupsY = (height + 7) / 8;
    deferredRenderCompute2(compositeProgram, groupsX, groupsY, destination, &textures, &buffers);
    if (resolve) {
        shaderBindingsAddTexture(textures, "sTargetCurrent", txtTempRGBA16F, SAMPLER_LINEAR_CLAMP);
        shaderBindingsAddTexture(textures, "imTarget", output);
        deferredRenderCompute2(taaResolveProgram, groupsX, groupsY, destination, &textures, &buffers);
    }
    timer.reset();
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
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "CopyRTMaterialPropertyToStencil");
    if (!stencilParamsBuffer)
        stencilParamsBuffer = boCreate("BasicDeferredParams", sizeof(BasicDeferredParams));
    if (!stencilFramebuffer)
        stencilFramebuffer = fbCreate("temp_fb");
    ShaderProgram* const program = copyToStencilProgram;
    if (!program || program->errors || !program->linked || !stencilFramebuffer) {
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

    Texture* const depth = txtDeferredDepth[historyIndex & 1];
    fbAttach(stencilFramebuffer, FB_ATTACHMENT_DEPTH, depth);
    fbAttach(stencilFramebuffer, FB_ATTACHMENT_STENCIL, depth);

    BasicDeferredParams basic;
    deferredFillBasicParams(&basic, nullptr);
    if (stencilParamsBuffer) {
        std::memcpy(stencilParamsBuffer->hostCopy, &basic, sizeof basic);
        glNamedBufferSubData(stencilParamsBuffer->glId, 0, sizeof basic, &basic);
        stencilParamsBuffer->dirty = false;
    }
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    if (stencilParamsBuffer)
        shaderBindingsAddBuffer(buffers, "BasicDeferredParamsBuffer", stencilParamsBuffer);
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "imMetalnessRoughnessMaterialTags", txtDeferredMetalnessRoughnessMaterialTags);

    shaderUseProgram(program);
    shaderBindBuffers(program, buffers);
    shaderBindTextures(program, textures);
    const Timestep zero{};
    composite(stencilFramebuffer, program, &zero, nullptr);

    renderStatePop();
    glPopDebugGroup();
}
