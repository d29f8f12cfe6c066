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

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

using namespace gl;

namespace {

// Stack depth the last successful deferredRenderBegin left; -1 when no frame holds a saved framebuffer.
int framePushedTop = -1;
bool lightingProgramReported = false;

// The frame's shadow maps copied into the layers of one array texture, so the lighting shader samples every map
// through one sampler: a CPU rasteriser pays for every sampling site of a shader, taken or not.
struct ShadowMapArray {
    GLuint texture = 0;
    int width = 0;
    int height = 0;
    int layers = 0;
};
ShadowMapArray shadowMapArray;
bool unusableMapReported = false;

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

// Kinds of lit records, as the lighting shader groups them.
enum LightKind { KIND_DIRECTIONAL, KIND_SPOT, KIND_POINT, KIND_AREA, KIND_COUNT };

// The shader's branches, decided once per light: directional first, then the rectangle, then the cone.
LightKind lightKind(int32_t flags)
{
    if (flags & LIGHT_FLAG_DIRECTIONAL)
        return KIND_DIRECTIONAL;
    if (flags & LIGHT_FLAG_AREA)
        return KIND_AREA;
    constexpr int32_t cone = LIGHT_FLAG_SPOT & ~LIGHT_FLAG_POINT; // the bit spot lights have and point lights lack
    return (flags & cone) == cone ? KIND_SPOT : KIND_POINT;
}

// Whether the shader can find a shadow map for the record: its own (directional, spot) or its six faces'.
bool hasShadowLookup(const LightProperties& record, int count)
{
    if ((record.flags & LIGHT_FLAG_CASTS_SHADOWS) == 0)
        return false;
    constexpr int32_t local = LIGHT_FLAG_SPOT & LIGHT_FLAG_POINT;
    constexpr int32_t cone = LIGHT_FLAG_SPOT & ~LIGHT_FLAG_POINT;
    if ((record.flags & LIGHT_FLAG_DIRECTIONAL) == 0 && (record.flags & local) != 0 && (record.flags & cone) == 0)
        return record.firstFaceRecord > 0 && record.firstFaceRecord + 6 <= count;
    return true;
}

// Whether the shader multiplies the light by a projector image: a spot cone (spot or area spot light) with a
// projector in one of the slots.
bool hasProjectorLookup(const LightProperties& record)
{
    constexpr int32_t cone = LIGHT_FLAG_SPOT & ~LIGHT_FLAG_POINT;
    if ((record.flags & LIGHT_FLAG_DIRECTIONAL) || (record.flags & cone) != cone)
        return false;
    return (record.flags & LIGHT_FLAG_PROJECTOR) && record.projectorIndex >= 0 &&
           record.projectorIndex < kLightProjectorSlots;
}

// The depth texture at each shadow slot, as deferredBindLightSamplers binds the slots: 0 where nobody drew one.
void shadowSlotTextures(int count, GLuint (&slots)[kLightShadowmapSlots], bool (&used)[kLightShadowmapSlots])
{
    for (int k = 0; k < kLightShadowmapSlots; ++k) {
        slots[k] = 0;
        used[k] = false;
    }
    for (int i = 0; i < count; ++i) {
        const Light* light = frameLights[size_t(i)];
        const LightProperties* record = deferredLightRecord(i);
        if (!light || !record || !light->castsShadows)
            continue;
        const unsigned int cascades = std::min<unsigned int>(light->cascadeCount, LIGHT_MAX_CASCADES);
        for (unsigned int c = 0; c < cascades; ++c) {
            const int k = record->shadowmapIndex[c];
            if (k < 0 || k >= kLightShadowmapSlots)
                continue;
            const Framebuffer* framebuffer = light->shadowFramebuffers[c];
            const Texture* depth = framebuffer ? framebuffer->slots[FB_ATTACHMENT_DEPTH].texture : nullptr;
            slots[k] = depth ? depth->glId : 0;
            used[k] = true;
        }
    }
}

// Size of a 32-bit float depth texture, or 0 x 0 for anything else (it cannot be copied into the array).
std::array<int, 2> depthMapSize(GLuint texture)
{
    if (!texture)
        return {0, 0};
    GLint format = 0;
    GLint width = 0;
    GLint height = 0;
    glGetTextureLevelParameteriv(texture, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
    glGetTextureLevelParameteriv(texture, 0, GL_TEXTURE_WIDTH, &width);
    glGetTextureLevelParameteriv(texture, 0, GL_TEXTURE_HEIGHT, &height);
    if (GLenum(format) != GL_DEPTH_COMPONENT32F || width <= 0 || height <= 0)
        return {0, 0};
    return {width, height};
}

// Copies the slots' maps into layers of the array (made or remade at the largest map's size) and gives each
// slot its map's size and the part of the layer it fills. A smaller map sits in the layer's corner with its last
// column and row repeated once beyond it, which is what clamping to its own edge would have read. An empty slot
// gets a 1 x 1 map of depth 1 (nothing in front), as deferredBindLightSamplers binds there.
void fillShadowMapArray(const GLuint (&slots)[kLightShadowmapSlots], const bool (&used)[kLightShadowmapSlots],
                        float (&sizes)[kLightShadowmapSlots][2], float (&scales)[kLightShadowmapSlots][2])
{
    std::array<int, 2> dims[kLightShadowmapSlots];
    // At least 2 x 2, so an empty slot's 1 x 1 map has room for its repeated edge; a map smaller than the largest
    // one always has that room.
    int width = 2;
    int height = 2;
    int layers = 1;
    for (int k = 0; k < kLightShadowmapSlots; ++k) {
        dims[k] = depthMapSize(slots[k]);
        if (slots[k] && dims[k][0] == 0 && !unusableMapReported) {
            LOG_WARNING("Shadow map %d is not a 32-bit float depth texture; the lighting pass treats it as empty", k);
            unusableMapReported = true;
        }
        if (used[k])
            layers = k + 1;
        width = std::max(width, dims[k][0]);
        height = std::max(height, dims[k][1]);
    }
    ShadowMapArray& a = shadowMapArray;
    if (!a.texture || a.width != width || a.height != height || a.layers != layers) {
        if (a.texture)
            glDeleteTextures(1, &a.texture);
        glCreateTextures(GL_TEXTURE_2D_ARRAY, 1, &a.texture);
        glTextureStorage3D(a.texture, 1, GL_DEPTH_COMPONENT32F, width, height, layers);
        glObjectLabel(GL_TEXTURE, a.texture, -1, "LightShadowmapArray");
        a.width = width;
        a.height = height;
        a.layers = layers;
    }
    const float one = 1.0f;
    for (int k = 0; k < kLightShadowmapSlots; ++k) {
        int w = dims[k][0];
        int h = dims[k][1];
        if (k < layers && w > 0) {
            glCopyImageSubData(slots[k], GL_TEXTURE_2D, 0, 0, 0, 0, a.texture, GL_TEXTURE_2D_ARRAY, 0, 0, 0, k, w, h, 1);
        } else {
            w = h = 1;
            if (k < layers)
                glClearTexSubImage(a.texture, 0, 0, 0, k, 1, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &one);
        }
        if (k < layers && w < width)
            glCopyImageSubData(a.texture, GL_TEXTURE_2D_ARRAY, 0, w - 1, 0, k, a.texture, GL_TEXTURE_2D_ARRAY, 0, w, 0,
                               k, 1, h, 1);
        if (k < layers && h < height)
            glCopyImageSubData(a.texture, GL_TEXTURE_2D_ARRAY, 0, 0, h - 1, k, a.texture, GL_TEXTURE_2D_ARRAY, 0, 0, h,
                               k, std::min(w + 1, width), 1, 1);
        sizes[k][0] = float(w);
        sizes[k][1] = float(h);
        scales[k][0] = float(w) / float(width);
        scales[k][1] = float(h) / float(height);
    }
}

// The per-kind light lists, the shadow and projector lists, and the shadow maps in one array with their sizes.
void setLightInputs(ShaderProgram* program, int count)
{
    int order[kMaxFrameLights] = {};
    int kindEnd[KIND_COUNT] = {};
    int shadowOrder[kMaxFrameLights] = {};
    int shadowCount = 0;
    int n = 0;
    for (int kind = 0; kind < KIND_COUNT; ++kind) {
        for (int i = 0; i < count; ++i) {
            const LightProperties* record = deferredLightRecord(i);
            if (record && !(record->flags & LIGHT_FLAG_SHADOW_FACE) && lightKind(record->flags) == kind)
                order[n++] = i;
        }
        kindEnd[kind] = n;
    }
    int projectorOrder[kMaxFrameLights] = {};
    int projectorCount = 0;
    for (int i = 0; i < count; ++i) {
        const LightProperties* record = deferredLightRecord(i);
        if (!record || (record->flags & LIGHT_FLAG_SHADOW_FACE))
            continue;
        if (hasShadowLookup(*record, count))
            shadowOrder[shadowCount++] = i;
        if (hasProjectorLookup(*record))
            projectorOrder[projectorCount++] = i;
    }
    GLuint slots[kLightShadowmapSlots];
    bool used[kLightShadowmapSlots];
    shadowSlotTextures(count, slots, used);
    float sizes[kLightShadowmapSlots][2];
    float scales[kLightShadowmapSlots][2];
    fillShadowMapArray(slots, used, sizes, scales);

    shaderSetUniform(program, "g_light_order", UNIFORM_TYPE_INT, order, sizeof order);
    shaderSetUniform(program, "g_light_kind_end", UNIFORM_TYPE_INT, kindEnd, sizeof kindEnd);
    shaderSetUniform(program, "g_shadow_order", UNIFORM_TYPE_INT, shadowOrder, sizeof shadowOrder);
    shaderSetUniform(program, "g_shadow_count", UNIFORM_TYPE_INT, &shadowCount, sizeof shadowCount);
    shaderSetUniform(program, "g_shadow_map_size", UNIFORM_TYPE_VEC2, sizes, sizeof sizes);
    shaderSetUniform(program, "g_shadow_map_scale", UNIFORM_TYPE_VEC2, scales, sizeof scales);
    shaderSetUniform(program, "g_projector_order", UNIFORM_TYPE_INT, projectorOrder, sizeof projectorOrder);
    shaderSetUniform(program, "g_projector_count", UNIFORM_TYPE_INT, &projectorCount, sizeof projectorCount);
    const auto found = program->uniforms.find("LightShadowmapArray");
    if (found != program->uniforms.end() && found->second && found->second->value && found->second->location != -1) {
        const auto unit = GLuint(static_cast<const int*>(found->second->value)[0]);
        glBindSampler(unit, deferredRenderer.shadowCompareSampler);
        glBindTextureUnit(unit, shadowMapArray.texture);
    }
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
        setLightInputs(program, std::min(lightCount, kMaxFrameLights));

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
    if (shadowMapArray.texture)
        glDeleteTextures(1, &shadowMapArray.texture);
    shadowMapArray = ShadowMapArray{};
    unusableMapReported = false;
    framePushedTop = -1;
    lightingProgramReported = false;
}
