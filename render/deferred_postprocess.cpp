#include "render/deferred_postprocess.h"

#include "app/log.h"
#include "app/timing.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_texture.h"
#include "render/composite.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/render_graph.h"

#include <glbinding/gl/gl.h>

#include <cmath>
#include <cstring>

using namespace gl;

namespace {

// The fixed extents the passes were tuned with: 2 tan(29 degrees), and 16:9.
constexpr float kFixedExtent = 1.108618f;
constexpr float kFixedAspect = 1.7777778f;

bool usable(const ShaderProgram* program)
{
    return program && !program->errors && program->linked;
}

void nearFarTerms(const Camera& camera, float out[4])
{
    const float n = camera.nearPlane;
    const float f = camera.farPlane;
    out[0] = n;
    out[1] = f;
    out[2] = 2.0f * n * f;
    out[3] = f - n;
}

// The G-buffer depth: what the frame attached to "deferred_deep", else this frame's depth texture.
Texture* gbufferDepth()
{
    const DeferredRenderer& r = deferredRenderer;
    if (r.fbDeferredDeep && r.fbDeferredDeep->slots[FB_ATTACHMENT_DEPTH].texture)
        return r.fbDeferredDeep->slots[FB_ATTACHMENT_DEPTH].texture;
    return r.txtDeferredDepth[r.historyIndex & 1];
}

// A target the frame attaches in deferredRenderBegin; passes that run without it attach it themselves.
void ensureAttached(Framebuffer* framebuffer, Texture* texture)
{
    if (framebuffer && !framebuffer->slots[FB_ATTACHMENT_COLOR0].texture)
        fbAttach(framebuffer, FB_ATTACHMENT_COLOR0, texture);
}

void uploadBuffer(BufferObject* buffer, const void* data, size_t size)
{
    if (!buffer)
        return;
    std::memcpy(buffer->hostCopy, data, size);
    glNamedBufferSubData(buffer->glId, 0, static_cast<GLsizeiptr>(size), data);
    buffer->dirty = false;
}

// The terms the linear-depth and occlusion programs reconstruct view positions with.
void setReconstructionUniforms(ShaderProgram* program, const Camera& camera, const Texture* target)
{
    int width = 0;
    int height = 0;
    deferredTextureSize(target, &width, &height);
    float projectionParams[4];
    deferredCameraProjectionParams(&camera, width, height, projectionParams);
    shaderSetUniform(program, "vCameraProjectionParams", UNIFORM_TYPE_VEC4, projectionParams, sizeof projectionParams);
    shaderSetUniform(program, "vNearPlane", UNIFORM_TYPE_FLOAT, &camera.nearPlane, sizeof(float));
    shaderSetUniform(program, "vFarPlane", UNIFORM_TYPE_FLOAT, &camera.farPlane, sizeof(float));
}

} // namespace

bool deferredTextureSize(const Texture* texture, int* width, int* height)
{
    const Image* image = texture && texture->imageCount > 0 ? texture->images[0] : nullptr;
    *width = image ? image->width : 0;
    *height = image ? image->height : 0;
    return image != nullptr;
}

HBAOUniforms deferredComputeHBAOUniforms(float powExponent, float bias, float radius)
{
    HBAOUniforms u;
    u.powExponent = std::isfinite(powExponent) ? powExponent : 1.0f;
    u.nDotVBias = std::isfinite(bias) ? std::min(bias, kHBAOMaxBias) : 0.0f;
    const float r = std::isfinite(radius) ? std::max(radius, kHBAOMinRadius) : 1.0f;
    u.radius = r;
    u.r2 = r * r;
    u.negInvR2 = -1.0f / u.r2;
    u.radiusToScreen = r * 0.5f * 20.0f;
    u.aoMultiplier = 1.0f / (1.0f - u.nDotVBias);
    return u;
}

void deferredCameraProjectionParams(const Camera* camera, int width, int height, float out[4])
{
    out[0] = kFixedExtent * kFixedAspect;
    out[1] = kFixedExtent;
    out[2] = 0.0f;
    out[3] = 0.0f;
    if (!camera)
        return;
    const float* p = camera->projection.m;
    if (p[14] != 0.0f && std::isfinite(p[0]) && std::isfinite(p[5]) && p[0] != 0.0f && p[5] != 0.0f) {
        // The projection scales view x and y by these before the divide by distance.
        out[2] = 2.0f / std::fabs(p[0]);
        out[3] = 2.0f / std::fabs(p[5]);
        return;
    }
    if (camera->fov > 0.0f && camera->fov < 180.0f) {
        const float extent = 2.0f * std::tan(camera->fov / 180.0f * static_cast<float>(M_PI) * 0.5f);
        float aspect = camera->aspect;
        if (!(aspect > 0.0f) || !std::isfinite(aspect))
            aspect = height > 0 ? static_cast<float>(width) / static_cast<float>(height) : kFixedAspect;
        out[2] = extent * aspect;
        out[3] = extent;
    }
}

void deferredFillSSRParams(SSRParams* out, const Camera& camera, int width, int height)
{
    *out = SSRParams{};
    out->projection = camera.projection;
    out->world = camera.world;
    out->position[0] = camera.position.x;
    out->position[1] = camera.position.y;
    out->position[2] = camera.position.z;
    const float extent = 2.0f * std::tan(camera.fov / 180.0f * static_cast<float>(M_PI) * 0.5f);
    out->extent[0] = height > 0 ? extent * static_cast<float>(width) / static_cast<float>(height) : 0.0f;
    out->extent[1] = extent;
    nearFarTerms(camera, out->nearFar);
    out->zero = 0;
    out->depthThickness = deferredRenderer.ssrDepthThickness;
}

void deferredRenderLinearDepth(const Camera* camera)
{
    DeferredRenderer& r = deferredRenderer;
    deferredRenderInit();
    deferredCreateTargets();
    if (!camera) {
        LOG_ERROR("deferredRenderLinearDepth without a camera");
        return;
    }
    if (!usable(r.linearizeDepthProgram)) {
        LOG_ERROR("Linear depth program not usable; the linear depth keeps its contents");
        return;
    }
    if (!r.linearDepthParamsBuffer)
        r.linearDepthParamsBuffer = boCreate("BasicDeferredParams", sizeof(BasicDeferredParams));
    BasicDeferredParams record;
    deferredFillBasicParams(&record, nullptr);
    uploadBuffer(r.linearDepthParamsBuffer, &record, sizeof record);

    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    if (r.linearDepthParamsBuffer)
        shaderBindingsAddBuffer(buffers, "BasicDeferredParamsBuffer", r.linearDepthParamsBuffer);

    ShaderProgram* program = r.linearizeDepthProgram;
    setReconstructionUniforms(program, *camera, r.txtDeferredLinearDepth);
    float nearFar[4];
    nearFarTerms(*camera, nearFar);
    shaderSetUniform(program, "vNearFarPlane", UNIFORM_TYPE_VEC4, nearFar, sizeof nearFar);
    shaderBindBuffers(program, buffers);

    ensureAttached(r.fbDeferredLinearDepth, r.txtDeferredLinearDepth);
    const Timestep zero{};
    composite(r.fbDeferredLinearDepth, program, &zero, gbufferDepth(), nullptr);
}

void deferredSetHBAOParams(bool enabled, float powExponent, float bias, float radius)
{
    DeferredRenderer& r = deferredRenderer;
    deferredRenderInit();
    r.hbaoEnabled = enabled;
    const HBAOUniforms u = deferredComputeHBAOUniforms(powExponent, bias, radius);
    static bool biasReported = false;
    if (u.nDotVBias != bias && std::isfinite(bias) && !biasReported) {
        LOG_WARNING("SSAO bias %g held at %g: the occlusion multiplier 1 / (1 - bias) must stay finite", bias,
                    u.nDotVBias);
        biasReported = true;
    }
    ShaderProgram* program = r.hbaoProgram;
    if (!program)
        return;
    shaderSetUniform(program, "PowExponent", UNIFORM_TYPE_FLOAT, &u.powExponent, sizeof(float));
    shaderSetUniform(program, "NDotVBias", UNIFORM_TYPE_FLOAT, &u.nDotVBias, sizeof(float));
    shaderSetUniform(program, "radius", UNIFORM_TYPE_FLOAT, &u.radius, sizeof(float));
    shaderSetUniform(program, "R", UNIFORM_TYPE_FLOAT, &u.radius, sizeof(float));
    shaderSetUniform(program, "R2", UNIFORM_TYPE_FLOAT, &u.r2, sizeof(float));
    shaderSetUniform(program, "NegInvR2", UNIFORM_TYPE_FLOAT, &u.negInvR2, sizeof(float));
    shaderSetUniform(program, "RadiusToScreen", UNIFORM_TYPE_FLOAT, &u.radiusToScreen, sizeof(float));
    shaderSetUniform(program, "AOMultiplier", UNIFORM_TYPE_FLOAT, &u.aoMultiplier, sizeof(float));
}

void RenderHBAO(const Camera* camera)
{
    DeferredRenderer& r = deferredRenderer;
    deferredRenderInit();
    deferredCreateTargets();
    if (!camera) {
        LOG_ERROR("RenderHBAO without a camera");
        return;
    }
    if (!usable(r.hbaoProgram) || !usable(r.hbaoBlurProgram)) {
        LOG_ERROR("Ambient-occlusion programs not usable; the occlusion is left open");
        return;
    }
    setReconstructionUniforms(r.hbaoProgram, *camera, r.txtDeferredHBAOBlurredH);
    float nearFar[4];
    nearFarTerms(*camera, nearFar);
    shaderSetUniform(r.hbaoBlurProgram, "vNearFarPlane", UNIFORM_TYPE_VEC4, nearFar, sizeof nearFar);
    int width = 0;
    int height = 0;
    deferredTextureSize(r.txtDeferredHBAOBlurredH, &width, &height);
    const float sx = width > 0 ? 1.0f / static_cast<float>(width) : 0.0f;
    const float sy = height > 0 ? 1.0f / static_cast<float>(height) : 0.0f;

    ScopedGpuTimer timer("RenderHBAO", false);
    const Timestep zero{};
    Texture* depth = gbufferDepth();

    TextureBindings textures;
    shaderBindingsAddTexture(textures, "s_texture0", depth);
    shaderBindingsAddTexture(textures, "s_texture1", r.hbaoRotationTexture);
    shaderBindingsAddTexture(textures, "s_texture2", r.txtDeferredLinearDepth);
    shaderBindTextures(r.hbaoProgram, textures);
    fbAttach(r.fbDeferredHBAO, FB_ATTACHMENT_COLOR0, r.txtDeferredHBAO);
    composite(r.fbDeferredHBAO, r.hbaoProgram, &zero, nullptr);

    // Separable blur: occlusion -> BlurredH -> BlurredV.
    Texture* const passes[2][2] = {{r.txtDeferredHBAO, r.txtDeferredHBAOBlurredH},
                                   {r.txtDeferredHBAOBlurredH, r.txtDeferredHBAOBlurredV}};
    const float directions[2][2] = {{sx, 0.0f}, {0.0f, sy}};
    for (int pass = 0; pass < 2; ++pass) {
        TextureBindings blur;
        shaderBindingsAddTexture(blur, "s_texture0", depth);
        shaderBindingsAddTexture(blur, "s_texture1", passes[pass][0]);
        shaderBindTextures(r.hbaoBlurProgram, blur);
        shaderSetUniform(r.hbaoBlurProgram, "vBlurDirection", UNIFORM_TYPE_VEC2, directions[pass],
                         sizeof directions[pass]);
        fbAttach(r.fbDeferredHBAO, FB_ATTACHMENT_COLOR0, passes[pass][1]);
        composite(r.fbDeferredHBAO, r.hbaoBlurProgram, &zero, nullptr);
    }
}

void RenderSSR(const Camera* camera, Framebuffer* gbuffer)
{
    DeferredRenderer& r = deferredRenderer;
    deferredShadowPointSampler();
    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "RenderSSR");
    Texture* const depth = gbuffer ? gbuffer->slots[FB_ATTACHMENT_DEPTH].texture : nullptr;
    Texture* const albedo = gbuffer ? gbuffer->slots[FB_ATTACHMENT_COLOR0].texture : nullptr;
    Texture* const normals = gbuffer ? gbuffer->slots[FB_ATTACHMENT_COLOR1].texture : nullptr;
    int width = 0;
    int height = 0;
    deferredTextureSize(albedo, &width, &height);
    if (!usable(r.ssrProgram) || !camera || !depth || !albedo || !normals || !r.txtSSRSource || !r.txtSSRDest) {
        if (camera && gbuffer && usable(r.ssrProgram))
            LOG_ERROR("RenderSSR: the G-buffer <%s> lacks depth, albedo or normals", gbuffer->name.c_str());
        glPopDebugGroup();
        return;
    }
    const bool pushed = fbStackTop < FB_STACK_CAPACITY;
    if (pushed)
        fbPush();

    // The reflection source is this frame's lit image; it is complete once the lighting pass has run.
    int sourceWidth = 0;
    int sourceHeight = 0;
    int litWidth = 0;
    int litHeight = 0;
    deferredTextureSize(r.txtSSRSource, &sourceWidth, &sourceHeight);
    deferredTextureSize(r.txtDeferredGlobalShadows, &litWidth, &litHeight);
    if (r.txtDeferredGlobalShadows && r.txtDeferredGlobalShadows->glId && r.txtSSRSource->glId &&
        sourceWidth == litWidth && sourceHeight == litHeight) {
        glCopyImageSubData(r.txtDeferredGlobalShadows->glId, GL_TEXTURE_2D, 0, 0, 0, 0, r.txtSSRSource->glId,
                           GL_TEXTURE_2D, 0, 0, 0, 0, sourceWidth, sourceHeight, 1);
    }

    shaderUseProgram(r.ssrProgram);
    TextureBindings textures;
    shaderBindingsAddTexture(textures, "sTextureDepth", depth, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "sTextureLinearDepth", r.txtDeferredLinearDepth, SAMPLER_NEAREST_CLAMP);
    shaderBindingsAddTexture(textures, "imAlbedo", albedo);
    shaderBindingsAddTexture(textures, "imNormalMaterial", normals);
    shaderBindingsAddTexture(textures, "imReflectionSource", r.txtSSRSource);
    shaderBindingsAddTexture(textures, "imReflectionDest", r.txtSSRDest);
    shaderBindingsAddTexture(textures, "imMetalnessRoughnessMaterialTags", r.txtDeferredMetalnessRoughnessMaterialTags);
    shaderBindingsAddTexture(textures, "sTexturesBase", r.txtSSRSource, -1, 4);

    SSRParams params;
    deferredFillSSRParams(&params, *camera, width, height);
    const float resolution[2] = {static_cast<float>(width), static_cast<float>(height)};
    const float resolutionInv[2] = {width > 0 ? 1.0f / resolution[0] : 0.0f, height > 0 ? 1.0f / resolution[1] : 0.0f};
    const float scaling = 1.0f;
    shaderSetUniform(r.ssrProgram, "vResolution", UNIFORM_TYPE_VEC2, resolution, sizeof resolution);
    shaderSetUniform(r.ssrProgram, "vResolutionInv", UNIFORM_TYPE_VEC2, resolutionInv, sizeof resolutionInv);
    shaderSetUniform(r.ssrProgram, "scalingFactor", UNIFORM_TYPE_FLOAT, &scaling, sizeof scaling);
    if (!r.ssrParamsBuffer)
        r.ssrParamsBuffer = boCreate("SSRParams", sizeof(SSRParams));
    uploadBuffer(r.ssrParamsBuffer, &params, sizeof params);

    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    if (r.ssrParamsBuffer)
        shaderBindingsAddBuffer(buffers, "SSRSetupBuffer", r.ssrParamsBuffer);
    shaderBindBuffers(r.ssrProgram, buffers);
    shaderBindTextures(r.ssrProgram, textures);
    {
        ScopedGpuTimer timer("SSR Rendering", false);
        glDispatchCompute(static_cast<GLuint>((width + 15) / 16), static_cast<GLuint>((height + 15) / 16), 1);
    }
    glMemoryBarrier(GL_SHADER_IMAGE_ACCESS_BARRIER_BIT | GL_SHADER_STORAGE_BARRIER_BIT | GL_TEXTURE_FETCH_BARRIER_BIT);
    shaderUseProgram(r.ssrBlurProgram && r.ssrBlurProgram->linked ? r.ssrBlurProgram : nullptr);
    glPopDebugGroup();
    if (pushed)
        fbPop();
}
