#include "render/deferred_lighting.h"

#include "app/log.h"
#include "app/timing.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/deferred_composite.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/render_graph.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <cmath>
#include <cstring>

using namespace gl;

namespace {

// Stack depth the last successful deferredRenderBegin left; -1 when no frame holds a saved framebuffer.
int framePushedTop = -1;
bool lightingProgramReported = false;

// No culling, no blending, less-equal depth; the depth switches are the pass's.
RenderState deferredState(bool depth)
{
    RenderState state;
    state.cullMode = 2;
    state.depthFunc = 5;
    state.srcBlend = 1;
    state.dstBlend = 1;
    state.blendOp = 0;
    state.depthWrite = depth;
    state.depthTest = depth;
    state.stencilTest = false;
    state.stencilWrite = false;
    state.conservativeRaster = false;
    return state;
}

// Writes the camera-space directions of the four screen corners into the projection-plane quad, in the quad's
// vertex order (bottom-left, bottom-right, top-right, top-left on screen).
void writeProjectionPlane(const Camera* camera, const Framebuffer* destination)
{
    DeferredRenderer& r = deferredRenderer;
    uint8_t* data = geomFindAttributeData(r.projectionPlaneQuad, kProjectionPlaneAttribute);
    BufferObject* buffer = r.projectionPlaneQuad ? r.projectionPlaneQuad->FindAttributeBuffer(kProjectionPlaneAttribute)
                                               : nullptr;
    if (!data || !buffer)
        return;
    const float c = 2.0f * std::tan(camera->fov / 180.0f * float(M_PI) / 2.0f);
    const float a = destination->height > 0 ? float(destination->width) / float(destination->height) : 1.0f;
    const float corners[4][3] = {
        {-c * a / 2.0f, -c / 2.0f, -1.0f},
        {c * a / 2.0f, -c / 2.0f, -1.0f},
        {c * a / 2.0f, c / 2.0f, -1.0f},
        {-c * a / 2.0f, c / 2.0f, -1.0f},
    };
    std::memcpy(data, corners, sizeof corners);
    glNamedBufferSubData(buffer->glId, 0, GLsizeiptr(buffer->size), buffer->hostCopy);
    buffer->dirty = false;
}

Texture* environmentMap(const std::string& name)
{
    Resource* resource = currentResources ? currentResources->get_by_name_type(name, ResourceType::Envmap) : nullptr;
    const auto* file = resourceCast<FileResource>(resource, ResourceType::Envmap);
    Texture* texture = file ? file->GetTexture() : nullptr;
    if (texture && texture->glId && texture->type == TEXTURE_TYPE_CUBE)
        return texture;
    return deferredEnvMapFallback();
}

bool lightingProgramUsable(const ShaderProgram* program)
{
    if (program && program->linked && !program->errors)
        return true;
    if (!lightingProgramReported)
        LOG_ERROR("deferredRenderLights: the lighting program is missing or failed to build; no lighting is drawn");
    lightingProgramReported = true;
    return false;
}

} // namespace

Texture* deferredEnvMapFallback()
{
    DeferredRenderer& r = deferredRenderer;
    if (r.envMapFallback)
        return r.envMapFallback;
    r.envMapFallback = txtCreate(TEXTURE_TYPE_CUBE, 1, 1, IMAGE_TYPE_RGBA8);
    if (!r.envMapFallback)
        return nullptr;
    r.envMapFallback->name = "EnvMapFallback";
    txtSetupForGL(r.envMapFallback);
    txtSetLabel(r.envMapFallback, r.envMapFallback->name.c_str());
    return r.envMapFallback;
}

bool deferredRenderBegin(Camera* camera, Framebuffer* destination)
{
    if (!camera) {
        LOG_ERROR("deferredRenderBegin: no camera");
        return false;
    }
    deferredRenderInit();
    deferredCreateTargets();
    DeferredRenderer& r = deferredRenderer;
    r.historyIndex = 1 - r.historyIndex;
    r.deferredPreviousCamera = r.deferredCamera;
    r.deferredCamera = *camera;

    renderStateApply(deferredState(true));
    deferredAttachFrameTargets();

    // A frame that was never ended keeps its saved framebuffer; this one saves its own on top.
    const int before = fbStackTop;
    fbPush();
    const bool pushed = fbStackTop == before + 1;
    aglAssertMainThread();
    bool bound = false;
    if (destination) {
        fbCurrent = destination;
        bound = setcurrent(destination);
    }
    if (!bound) {
        LOG_INFO("deferredRenderBegin: Destination framebuffer %s not valid",
                 destination ? destination->name.c_str() : "(null)");
        if (pushed)
            fbPop();
        return false;
    }
    framePushedTop = pushed ? fbStackTop : -1;
    glViewport(0, 0, destination->width, destination->height);
    writeProjectionPlane(camera, destination);
    return true;
}

void deferredRenderEnd()
{
    // Only the entry this frame's begin saved, and only while it is still the top one.
    if (framePushedTop < 0 || fbStackTop != framePushedTop) {
        if (framePushedTop >= 0)
            LOG_WARNING("deferredRenderEnd: the framebuffer stack changed during the frame; nothing is restored");
        framePushedTop = -1;
        return;
    }
    framePushedTop = -1;
    fbPop();
}

void deferredClearTargets()
{
    glViewport(0, 0, screenWidth, screenHeight);
    glUseProgram(0);
    shaderCurrentProgram = nullptr;
    glDepthMask(GL_TRUE);

    deferredCreateTargets();
    const DeferredRenderer& r = deferredRenderer;
    deferredSetUpFramebuffer(r.fbDeferredDeep);
    const float black[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    const float none[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const float farDepth = 1.0f;
    glClearNamedFramebufferfv(r.fbDeferredDeep->glId, GL_COLOR, 0, black);
    // Emitted light too: pixels no surface covers this frame must not keep an earlier frame's glow.
    if (r.fbDeferredDeep->slots[FB_ATTACHMENT_COLOR3].texture)
        glClearNamedFramebufferfv(r.fbDeferredDeep->glId, GL_COLOR, 3, none);
    glClearNamedFramebufferfv(r.fbDeferredDeep->glId, GL_DEPTH, 0, &farDepth);
    deferredSetUpFramebuffer(r.fbDeferredParticles);
    glClearNamedFramebufferfv(r.fbDeferredParticles->glId, GL_COLOR, 0, black);

    Texture* depth = r.fbDeferredDeep->slots[FB_ATTACHMENT_DEPTH].texture;
    if (depth && depth->glId) {
        struct {
            float depth;
            uint32_t stencil;
        } depthStencil = {1.0f, 0};
        glClearTexImage(depth->glId, 0, GL_DEPTH_STENCIL, GL_FLOAT_32_UNSIGNED_INT_24_8_REV, &depthStencil);
    }
    const uint32_t noSurface = 0xC0000000u;
    const uint32_t zero = 0;
    if (r.txtDeferredNormalAttribute && r.txtDeferredNormalAttribute->glId)
        glClearTexImage(r.txtDeferredNormalAttribute->glId, 0, GL_RED_INTEGER, GL_UNSIGNED_INT, &noSurface);
    if (r.txtDeferredMetalnessRoughnessMaterialTags && r.txtDeferredMetalnessRoughnessMaterialTags->glId)
        glClearTexImage(r.txtDeferredMetalnessRoughnessMaterialTags->glId, 0, GL_RED_INTEGER, GL_UNSIGNED_INT, &zero);

    deferredSetUpFramebuffer(r.fbDeferredDeepShadow);
    glClearNamedFramebufferfv(r.fbDeferredDeepShadow->glId, GL_COLOR, 0, black);
    glClearNamedFramebufferfv(r.fbDeferredRaytrace[r.historyIndex]->glId, GL_COLOR, 0, black);
    // Particles and raytrace are cleared; the voxel and fog targets count again once their passes run.
    deferredMarkCompositeInputs(COMPOSITE_INPUT_PARTICLES | COMPOSITE_INPUT_RAYTRACE | COMPOSITE_INPUT_VOXEL |
                                    COMPOSITE_INPUT_FOG,
                                false);
}

void deferredRenderLights(const std::string& envmapName, float envmapIntensity, Framebuffer* gbuffer)
{
    deferredRenderInit();
    Texture* environment = environmentMap(envmapName);
    if (!gbuffer) {
        LOG_ERROR("deferredRenderLights: no G-buffer");
        return;
    }
    Texture* depth = gbuffer->slots[FB_ATTACHMENT_DEPTH].texture;
    Texture* albedo = gbuffer->slots[FB_ATTACHMENT_COLOR0].texture;
    Texture* normals = gbuffer->slots[FB_ATTACHMENT_COLOR1].texture;
    Texture* tags = gbuffer->slots[FB_ATTACHMENT_COLOR2].texture;
    if (!depth || !albedo || !normals || !tags) {
        LOG_ERROR("deferredRenderLights: G-buffer %s has no attachments (deferredRenderBegin first)",
                  gbuffer->name.c_str());
        return;
    }
    DeferredRenderer& r = deferredRenderer;
    ShaderProgram* const program = r.lightingProgram;
    if (!lightingProgramUsable(program))
        return;

    glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 0, -1, "deferredRenderLights");
    {
        ScopedGpuTimer timer("Deferrer:RenderLightBuffer", false);
        rendererInitGlobalInputs();
        rendererBindGlobalInputs(program, Timestep{});
        shaderUseProgram(program);

        BasicDeferredParams basic;
        deferredFillBasicParams(&basic, &r.deferredCamera);
        DeferredRenderLightsParams params;
        params.envmapIntensity = envmapIntensity;

        shaderSetAttributesFromGeometry(program, r.projectionPlaneQuad);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, r.projectionPlaneQuad->surfaces[0]->indexBuffer->glId);
        glBlendFunc(GL_ONE, GL_ONE);

        TextureBindings textures;
        shaderBindingsAddTexture(textures, "sDepth", depth, SAMPLER_NEAREST_CLAMP, 0);
        shaderBindingsAddTexture(textures, "sNormalMaterial", normals, SAMPLER_NEAREST_CLAMP, 0);
        shaderBindingsAddTexture(textures, "sAlbedo", albedo, SAMPLER_LINEAR_CLAMP, 0);
        shaderBindingsAddTexture(textures, "sMetalnessRoughnessMaterialTags", tags, SAMPLER_NEAREST_CLAMP, 0);
        shaderBindingsAddTexture(textures, "sEnviromentMap", environment, SAMPLER_TRILINEAR_CLAMP, 0);
        if (Texture* raytrace = r.txtRaytrace[r.historyIndex])
            shaderBindingsAddTexture(textures, "sRaytrace", raytrace, -1, 4);

        BufferBindings buffers;
        shaderBindingsCreate(buffers);
        shaderBindingsAddGeometry(buffers, r.projectionPlaneQuad);
        shaderBindingsAddData(buffers, "DeferredRenderLightsParamsBuffer", &params, sizeof params);
        shaderBindingsAddData(buffers, "BasicDeferredParamsBuffer", &basic, sizeof basic);
        shaderBindBuffers(program, buffers);
        shaderBindTextures(program, textures);
        deferredBindLightSamplers(program);

        const int lightCount = int(frameLights.size());
        shaderSetUniform(program, "g_lights_num", UNIFORM_TYPE_INT, &lightCount, sizeof lightCount);

        renderStatePush(deferredState(false));
        glDrawElements(GL_TRIANGLES, GLsizei(3 * r.projectionPlaneQuad->surfaces[0]->triangleCount), GL_UNSIGNED_INT,
                       nullptr);
        renderStatePop();

        glBindBuffer(GL_ARRAY_BUFFER, 0);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    }
    glPopDebugGroup();
}

void deferredLightingRelease()
{
    framePushedTop = -1;
    lightingProgramReported = false;
}
