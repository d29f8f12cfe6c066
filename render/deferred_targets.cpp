#include "render/deferred_targets.h"

#include "app/log.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_texture.h"
#include "render/deferred_composite.h"
#include "render/deferred_lighting.h"
#include "render/deferred_records.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <cmath>
#include <cstring>

using namespace gl;

DeferredRenderer deferredRenderer;

const char* const kProjectionPlaneAttribute = "VTXDeferredProjectionPlane";

Camera deferredStartCamera()
{
    Camera camera;
    camera.kind = ENTITY_KIND_CAMERA;
    camera.fov = 90.0f;
    camera.nearPlane = 0.1f;
    camera.farPlane = 10000.0f;
    camera.aspect = 0.0f;
    camera.splitWeight = 0.75f;
    return camera;
}

namespace {

using R = DeferredRenderer;

// A field of the record holding one framebuffer or texture: a plain member, or one side of a history pair.
template <typename T>
struct Field {
    T* R::*single = nullptr;
    T* (R::*pair)[2] = nullptr;
    int side = 0;

    constexpr Field() = default;
    constexpr Field(T* R::*member) : single(member) {}
    constexpr Field(T* (R::*member)[2], int historySide) : pair(member), side(historySide) {}

    explicit operator bool() const { return single || pair; }
    bool operator==(const Field&) const = default;
    // With `history` = historyIndex, side 0 of a pair is this frame's target and side 1 the previous frame's.
    T*& in(R& r, int history = 0) const { return single ? r.*single : (r.*pair)[(side + history) & 1]; }
};

// In creation order. "fbWireframe" is made with its first texture; the rest up front.
struct FramebufferRow {
    const char* name;
    Field<Framebuffer> field;
    bool madeWithItsTargets = false;
};

const FramebufferRow kFramebuffers[] = {
    {"deferred_deep", &R::fbDeferredDeep},
    {"deferred_deep_shadow", &R::fbDeferredDeepShadow},
    {"deferred_hbao", &R::fbDeferredHBAO},
    {"fxr_ssr_source", &R::fbSSRSource},
    {"fxr_ssr_dest", &R::fbSSRDest},
    {"deferred_linear_depth", &R::fbDeferredLinearDepth},
    {"deferred_voxel_lighting0", {&R::fbDeferredVoxelLighting, 0}},
    {"deferred_voxel_lighting1", {&R::fbDeferredVoxelLighting, 1}},
    {"deferred_voxel_lighting_temp", &R::fbDeferredVoxelLightingTemp},
    {"deferred_volumetric_fog_0", {&R::fbDeferredVolumetricFog, 0}},
    {"deferred_volumetric_fog_1", {&R::fbDeferredVolumetricFog, 1}},
    {"deferred_final_composite", &R::fbDeferredFinalComposite},
    {"deferred_raytrace0", {&R::fbDeferredRaytrace, 0}},
    {"deferred_raytrace1", {&R::fbDeferredRaytrace, 1}},
    {"deferred_particles", &R::fbDeferredParticles},
    {"fbWireframe", &R::fbWireframe, true},
};

// Texture settings beyond the format; GL_NONE leaves the filter as created.
struct Sampling {
    SamplerType samplerType = SAMPLER_NONE;
    bool clampToEdge = false;
    GLenum filter = GL_NONE;
};
constexpr Sampling kOwnSampling{};
constexpr Sampling kClamped{SAMPLER_NONE, true, GL_NONE};
constexpr Sampling kClampedNearest{SAMPLER_NONE, true, GL_NEAREST};
constexpr Sampling kClampedNearestBorderSampler{SAMPLER_NEAREST_MIPMAP_BORDER, true, GL_NEAREST};
constexpr Sampling kLinear{SAMPLER_NONE, false, GL_LINEAR};

// In creation order. A texture may be attached to a framebuffer when it is made (`slot` of `attachTo`); `setUp`
// lists the framebuffers set up once it is attached.
struct TextureRow {
    const char* name;
    ImageType format;
    Sampling sampling;
    Field<Texture> field;
    Field<Framebuffer> attachTo = {};
    int slot = FB_ATTACHMENT_COLOR0;
    Field<Framebuffer> setUp[2] = {};
};

const TextureRow kTextures[] = {
    {"txtDeferredDepth0", IMAGE_TYPE_DEPTH32F_STENCIL8, kClamped, {&R::txtDeferredDepth, 0}},
    {"txtDeferredDepth1", IMAGE_TYPE_DEPTH32F_STENCIL8, kClamped, {&R::txtDeferredDepth, 1}},
    {"txtWireframeColor", IMAGE_TYPE_RGBA8, kOwnSampling, &R::txtWireframeColor, &R::fbWireframe},
    {"txtWireframeDepth", IMAGE_TYPE_DEPTH32F, kOwnSampling, &R::txtWireframeDepth, &R::fbWireframe,
     FB_ATTACHMENT_DEPTH, {&R::fbWireframe}},
    {"txtDeferredLinearDepth", IMAGE_TYPE_R32F, kOwnSampling, &R::txtDeferredLinearDepth},
    {"txtDeferredColor0", IMAGE_TYPE_RGBA16F, kOwnSampling, {&R::txtDeferredColor, 0}},
    {"txtDeferredColor1", IMAGE_TYPE_RGBA16F, kOwnSampling, {&R::txtDeferredColor, 1}},
    {"txtDeferredEmissive", IMAGE_TYPE_RGBA16F, kOwnSampling, &R::txtDeferredEmissive},
    {"txtTempRGBA16F", IMAGE_TYPE_RGBA16F, kOwnSampling, &R::txtTempRGBA16F},
    {"txtDeferredNormalAttribute", IMAGE_TYPE_R32UI, kClampedNearest, &R::txtDeferredNormalAttribute},
    {"txtDeferredMetalnessRoughnessMaterialTags", IMAGE_TYPE_RGBA16UI, kClampedNearestBorderSampler,
     &R::txtDeferredMetalnessRoughnessMaterialTags},
    {"txtDeferredGlobalShadows", IMAGE_TYPE_RGBA16F, kOwnSampling, &R::txtDeferredGlobalShadows},
    {"txtDeferredHBAO", IMAGE_TYPE_R16F, kOwnSampling, &R::txtDeferredHBAO},
    {"txtDeferredHBAOBlurredH", IMAGE_TYPE_R16F, kOwnSampling, &R::txtDeferredHBAOBlurredH},
    {"txtDeferredHBAOBlurredV", IMAGE_TYPE_R16F, kOwnSampling, &R::txtDeferredHBAOBlurredV},
    {"SSRSource", IMAGE_TYPE_RGBA16F, kOwnSampling, &R::txtSSRSource, &R::fbSSRSource},
    {"SSRDest", IMAGE_TYPE_RGBA16F, kLinear, &R::txtSSRDest, &R::fbSSRDest, FB_ATTACHMENT_COLOR0,
     {&R::fbSSRDest, &R::fbSSRSource}},
    {"FinalComposite", IMAGE_TYPE_RGBA8, kOwnSampling, &R::txtFinalComposite, &R::fbDeferredFinalComposite},
    {"VXLighting0", IMAGE_TYPE_RGBA16F, kOwnSampling, {&R::txtVXLighting, 0}, {&R::fbDeferredVoxelLighting, 0}},
    {"VXLighting1", IMAGE_TYPE_RGBA16F, kOwnSampling, {&R::txtVXLighting, 1}, {&R::fbDeferredVoxelLighting, 1}},
    {"VXLightingTemp", IMAGE_TYPE_RGBA16F, kOwnSampling, &R::txtVXLightingTemp, &R::fbDeferredVoxelLightingTemp},
    {"VolumetricFog0", IMAGE_TYPE_RGBA16F, kOwnSampling, {&R::txtVolumetricFog, 0}, {&R::fbDeferredVolumetricFog, 0}},
    {"VolumetricFog1", IMAGE_TYPE_RGBA16F, kOwnSampling, {&R::txtVolumetricFog, 1}, {&R::fbDeferredVolumetricFog, 1},
     FB_ATTACHMENT_COLOR0, {{&R::fbDeferredVolumetricFog, 0}, {&R::fbDeferredVolumetricFog, 1}}},
    {"Raytrace0", IMAGE_TYPE_RGBA16F, kOwnSampling, {&R::txtRaytrace, 0}, {&R::fbDeferredRaytrace, 0}},
    {"Raytrace1", IMAGE_TYPE_RGBA16F, kOwnSampling, {&R::txtRaytrace, 1}, {&R::fbDeferredRaytrace, 1},
     FB_ATTACHMENT_COLOR0, {{&R::fbDeferredRaytrace, 0}, {&R::fbDeferredRaytrace, 1}}},
    {"BlendedParticles", IMAGE_TYPE_RGBA16F, kOwnSampling, &R::txtBlendedParticles, &R::fbDeferredParticles,
     FB_ATTACHMENT_COLOR0, {&R::fbDeferredParticles}},
};

// What deferredRenderBegin attaches every frame, in this order; side 0 of a pair is this frame's.
struct FrameAttachment {
    Field<Framebuffer> framebuffer;
    int slot;
    Field<Texture> texture;
};

const FrameAttachment kFrameAttachments[] = {
    {&R::fbDeferredParticles, FB_ATTACHMENT_DEPTH, {&R::txtDeferredDepth, 0}},
    {&R::fbDeferredDeep, FB_ATTACHMENT_DEPTH, {&R::txtDeferredDepth, 0}},
    {&R::fbDeferredDeep, FB_ATTACHMENT_COLOR0, {&R::txtDeferredColor, 0}},
    {&R::fbDeferredDeep, FB_ATTACHMENT_COLOR1, &R::txtDeferredNormalAttribute},
    {&R::fbDeferredDeep, FB_ATTACHMENT_COLOR2, &R::txtDeferredMetalnessRoughnessMaterialTags},
    {&R::fbDeferredDeep, FB_ATTACHMENT_COLOR3, &R::txtDeferredEmissive},
    {&R::fbDeferredDeepShadow, FB_ATTACHMENT_DEPTH, {&R::txtDeferredDepth, 0}},
    {&R::fbDeferredDeepShadow, FB_ATTACHMENT_COLOR0, &R::txtDeferredGlobalShadows},
    {&R::fbDeferredHBAO, FB_ATTACHMENT_COLOR0, &R::txtDeferredHBAO},
    {&R::fbDeferredLinearDepth, FB_ATTACHMENT_COLOR0, &R::txtDeferredLinearDepth},
};

// In build order; every program gets shaderGlobalDefines plus its own defines.
struct ProgramRow {
    ShaderProgram* R::*field;
    const char* vertex; // null: compute
    const char* file;
    const char* defines[2][2] = {};
};

const ProgramRow kPrograms[] = {
    {&R::lightingProgram, "shaders/basic_defered.vsh", "shaders/deferred/basic_multilight_defered.fsh"},
    {&R::voxelLightingProgram, nullptr, "shaders/deferred/basic_voxellight_defered.comp"},
    {&R::voxelLightingBlurProgram, nullptr, "shaders/deferred/basic_voxellight_defered_blur.comp",
     {{"SEARCH_RANGE", "2"}, {"SEARCH_STEP", "1"}}},
    {&R::linearizeDepthProgram, "shaders/basic_defered.vsh", "shaders/deferred/linearize_depth.fsh"},
    {&R::compositeProgram, nullptr, "shaders/deferred/composite.fsh"},
    {&R::taaResolveProgram, nullptr, "shaders/deferred/taa_resolve.comp"},
    {&R::hbaoProgram, "shaders/basic.vsh", "shaders/post/hbao.fsh"},
    {&R::hbaoBlurProgram, "shaders/basic.vsh", "shaders/post/hbao_blur.fsh"},
    {&R::ssrProgram, nullptr, "kq_demo/shaders/destroy/render_ssr.comp"},
    {&R::ssrBlurProgram, nullptr, "kq_demo/shaders/destroy/blur_ssr.comp"},
    {&R::copyToStencilProgram, "shaders/basic_defered.vsh", "shaders/deferred/copy_rt_to_stencil.fsh"},
    {&R::volumetricFogProgram, nullptr, "shaders/deferred/basic_volumetric_fog_defered.comp"},
};

void buildPrograms(R& r)
{
    for (const ProgramRow& row : kPrograms) {
        ShaderProgram*& program = r.*row.field;
        if (program)
            continue;
        ShaderDefines defines = shaderGlobalDefines;
        for (const auto& define : row.defines)
            if (define[0])
                defines[define[0]] = define[1];
        program = row.vertex ? shaderLoadProgram(row.vertex, row.file, defines)
                             : shaderLoadProgramCompute(row.file, defines);
    }
}

Geometry* createProjectionPlaneQuad()
{
    Geometry* quad = geomCreateQuad(1.0f, 1.0f);
    if (!quad)
        return nullptr;
    VertexAttribute attribute;
    attribute.code = VERTEX_ATTRIBUTE_CUSTOM;
    attribute.componentType = 0;
    attribute.componentCount = 3;
    attribute.name = kProjectionPlaneAttribute;
    if (quad->AddAttribute(attribute))
        geomUpdate(quad);
    return quad;
}

Texture* createRotationTexture()
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_RGBA32F);
    if (!texture)
        return nullptr;
    texture->name = "hbaoRotationTexture";
    auto* texels = reinterpret_cast<float*>(texture->images[0]->levels[0]);
    rendererXorshift.seed(0, 0, 0x159a55e5u);
    for (int i = 0; i < 16; ++i) {
        const uint32_t r1 = rendererXorshift.next();
        const uint32_t r2 = rendererXorshift.next();
        const float unit = float(r1 & 0x7fff) / 32767.0f;
        const float angle = float(double(unit) * 2.0 * M_PI * 0.125);
        texels[i * 4 + 0] = std::cos(angle);
        texels[i * 4 + 1] = std::sin(angle);
        texels[i * 4 + 2] = float(r2 & 0x7fff) / 32767.0f;
        texels[i * 4 + 3] = 0.0f;
    }
    txtSetupForGL(texture);
    txtSetLabel(texture, texture->name.c_str());
    glTextureParameteri(texture->glId, GL_TEXTURE_MIN_FILTER, GLint(GL_NEAREST));
    glTextureParameteri(texture->glId, GL_TEXTURE_MAG_FILTER, GLint(GL_NEAREST));
    return texture;
}

void drainGlErrors()
{
    while (glGetError() != GL_NO_ERROR) {
    }
}

// Entered into every shaderBindingsCreate map.
void enterSharedRecords(const R& r)
{
    shaderBindingsLightProperties = r.lightPropertiesBuffer;
    shaderBindingsMaterialProperties = r.materialPropertiesBuffer;
}

Framebuffer* makeFramebuffer(const char* name)
{
    Framebuffer* framebuffer = fbCreate(name);
    // Framebuffers without attachments give GL this size.
    framebuffer->width = screenWidth;
    framebuffer->height = screenHeight;
    return framebuffer;
}

const FramebufferRow* framebufferRow(const Field<Framebuffer>& field)
{
    for (const FramebufferRow& row : kFramebuffers)
        if (row.field == field)
            return &row;
    return nullptr;
}

Texture* makeTarget(const TextureRow& row)
{
    // GPU-only: no CPU copy of the target is kept (some 300 MB at 1920 x 1080).
    Texture* texture = txtCreateTarget(row.name, screenWidth, screenHeight, row.format);
    if (!texture)
        return nullptr;
    if (row.sampling.samplerType != SAMPLER_NONE)
        texture->samplerType = row.sampling.samplerType;
    if (row.sampling.clampToEdge) {
        glTextureParameteri(texture->glId, GL_TEXTURE_WRAP_S, GLint(GL_CLAMP_TO_EDGE));
        glTextureParameteri(texture->glId, GL_TEXTURE_WRAP_T, GLint(GL_CLAMP_TO_EDGE));
    }
    if (row.sampling.filter != GL_NONE) {
        glTextureParameteri(texture->glId, GL_TEXTURE_MIN_FILTER, GLint(row.sampling.filter));
        glTextureParameteri(texture->glId, GL_TEXTURE_MAG_FILTER, GLint(row.sampling.filter));
    }
    return texture;
}

void createTexture(R& r, const TextureRow& row)
{
    if (row.attachTo && !row.attachTo.in(r))
        if (const FramebufferRow* owner = framebufferRow(row.attachTo))
            row.attachTo.in(r) = makeFramebuffer(owner->name);
    Texture* texture = row.field.in(r) = makeTarget(row);
    if (row.attachTo)
        fbAttach(row.attachTo.in(r), row.slot, texture);
    for (const Field<Framebuffer>& framebuffer : row.setUp)
        if (framebuffer)
            deferredSetUpFramebuffer(framebuffer.in(r));
}

} // namespace

bool deferredSetUpFramebuffer(Framebuffer* framebuffer)
{
    return fbSetUp(framebuffer) != 0;
}

unsigned int deferredCreateSampler(unsigned int minFilter, unsigned int magFilter, unsigned int wrap)
{
    GLuint sampler = 0;
    glGenSamplers(1, &sampler);
    glSamplerParameteri(sampler, GL_TEXTURE_MIN_FILTER, GLint(minFilter));
    glSamplerParameteri(sampler, GL_TEXTURE_MAG_FILTER, GLint(magFilter));
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_S, GLint(wrap));
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_T, GLint(wrap));
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_R, GLint(wrap));
    return sampler;
}

unsigned int deferredShadowPointSampler()
{
    unsigned int& sampler = deferredRenderer.shadowPointSampler;
    if (!sampler)
        sampler = deferredCreateSampler(GLuint(GL_NEAREST), GLuint(GL_NEAREST), GLuint(GL_CLAMP_TO_EDGE));
    return sampler;
}

void deferredRenderInit()
{
    R& r = deferredRenderer;
    if (r.deferredRendererReady)
        return;
    if (!r.projectionPlaneQuad)
        r.projectionPlaneQuad = createProjectionPlaneQuad();
    buildPrograms(r);

    r.shadowCompareSampler = deferredCreateSampler(GLuint(GL_LINEAR), GLuint(GL_LINEAR), GLuint(GL_CLAMP_TO_EDGE));
    glSamplerParameteri(r.shadowCompareSampler, GL_TEXTURE_COMPARE_MODE, GLint(GL_COMPARE_REF_TO_TEXTURE));
    glSamplerParameteri(r.shadowCompareSampler, GL_TEXTURE_COMPARE_FUNC, GLint(GL_GEQUAL));

    r.hbaoRotationTexture = createRotationTexture();
    drainGlErrors();

    r.lightPropertiesBuffer = boCreate("LightProperties", uint64_t(kMaxFrameLights) * kLightRecordSize);
    frameLights.clear();
    r.materialPropertiesBuffer = boCreate("MaterialProperties", uint64_t(kMaxMaterials) * kMaterialRecordSize);
    enterSharedRecords(r);
    r.deferredRendererReady = true;
}

namespace {

// The size the targets were made at: that of the first one in the table.
bool targetsAtOutputSize(R& r)
{
    const Texture* first = kTextures[0].field.in(r);
    const Image* image = first ? first->images[0] : nullptr;
    return !image || (image->width == screenWidth && image->height == screenHeight) || screenWidth < 1 ||
           screenHeight < 1;
}

// The output size changed (the start-up warm-up draws small): every target is made again in place, zero, so the
// history pairs start over rather than be read at the other size.
void resizeTargets(R& r)
{
    LOG_INFO("Deferred targets follow the output size: %d x %d", screenWidth, screenHeight);
    for (const FramebufferRow& row : kFramebuffers) {
        if (Framebuffer* framebuffer = row.field.in(r)) {
            framebuffer->width = screenWidth;
            framebuffer->height = screenHeight;
            framebuffer->dirty = true;
        }
    }
    for (const TextureRow& row : kTextures)
        fbResizeTarget(row.field.in(r), screenWidth, screenHeight);
}

} // namespace

void deferredCreateTargets()
{
    R& r = deferredRenderer;
    if (r.fbDeferredDeep) {
        if (!targetsAtOutputSize(r))
            resizeTargets(r);
        return;
    }
    for (const FramebufferRow& row : kFramebuffers)
        if (!row.madeWithItsTargets)
            row.field.in(r) = makeFramebuffer(row.name);
    for (const TextureRow& row : kTextures)
        createTexture(r, row);
}

void deferredAttachFrameTargets()
{
    R& r = deferredRenderer;
    for (const FrameAttachment& attachment : kFrameAttachments)
        fbAttach(attachment.framebuffer.in(r), attachment.slot, attachment.texture.in(r, r.historyIndex));
}

// Whoever asks for the framebuffer of one of the composite's inputs may draw into it.
void markCompositeInputOf(const Framebuffer* framebuffer)
{
    const R& r = deferredRenderer;
    uint32_t input = 0;
    if (framebuffer == r.fbDeferredVoxelLighting[0] || framebuffer == r.fbDeferredVoxelLighting[1])
        input = COMPOSITE_INPUT_VOXEL;
    else if (framebuffer == r.fbDeferredVolumetricFog[0] || framebuffer == r.fbDeferredVolumetricFog[1])
        input = COMPOSITE_INPUT_FOG;
    else if (framebuffer == r.fbDeferredParticles)
        input = COMPOSITE_INPUT_PARTICLES;
    else if (framebuffer == r.fbDeferredRaytrace[0] || framebuffer == r.fbDeferredRaytrace[1])
        input = COMPOSITE_INPUT_RAYTRACE;
    else if (framebuffer == r.fbWireframe)
        input = COMPOSITE_INPUT_WIREFRAME;
    if (input)
        deferredMarkCompositeInputs(input, true);
}

Framebuffer* deferredFindFramebuffer(const std::string& name)
{
    for (const FramebufferRow& row : kFramebuffers) {
        Framebuffer* framebuffer = row.field.in(deferredRenderer);
        if (framebuffer && framebuffer->name == name) {
            markCompositeInputOf(framebuffer);
            return framebuffer;
        }
    }
    return nullptr;
}

Framebuffer* deferredTarget(int target)
{
    if (target != 0 && target != 1)
        return nullptr;
    deferredCreateTargets();
    if (target == 1)
        deferredMarkCompositeInputs(COMPOSITE_INPUT_PARTICLES, true);
    return target == 0 ? deferredRenderer.fbDeferredDeep : deferredRenderer.fbDeferredParticles;
}

void deferredFillBasicParams(BasicDeferredParams* out, const Camera* camera)
{
    if (!out)
        return;
    out->fixedDepth = Matrix{};
    out->fixedDepth.m[11] = -1.0f;
    out->fixedScreen = Matrix{};
    out->fixedScreen.m[0] = 2.0f;
    out->fixedScreen.m[5] = -2.0f;
    out->fixedScreen.m[10] = -0.005f;
    out->fixedScreen.m[11] = 0.5f;
    if (!camera) {
        out->cameraWorld = Matrix{};
        const float nearFar[4] = {0.0f, 1.0f, 0.0f, 1.0f};
        std::memcpy(out->nearFar, nearFar, sizeof nearFar);
        std::memset(out->cameraPosition, 0, sizeof out->cameraPosition);
        return;
    }
    const float n = camera->nearPlane;
    const float f = camera->farPlane;
    out->cameraWorld = camera->world;
    out->nearFar[0] = n;
    out->nearFar[1] = f;
    out->nearFar[2] = 2.0f * n * f;
    out->nearFar[3] = f - n;
    out->cameraPosition[0] = camera->position.x;
    out->cameraPosition[1] = camera->position.y;
    out->cameraPosition[2] = camera->position.z;
    out->cameraPosition[3] = 1.0f;
}

uint8_t* geomFindAttributeData(Geometry* geometry, const std::string& name)
{
    if (!geometry)
        return nullptr;
    BufferObject* buffer = geometry->FindAttributeBuffer(name);
    return buffer ? buffer->hostCopy : nullptr;
}

void deferredReleaseTargets()
{
    R& r = deferredRenderer;
    for (const FramebufferRow& row : kFramebuffers) {
        fbDestroy(row.field.in(r));
        row.field.in(r) = nullptr;
    }
    for (const TextureRow& row : kTextures) {
        txtDestroy(row.field.in(r));
        row.field.in(r) = nullptr;
    }
}

void deferredRenderRelease()
{
    R& r = deferredRenderer;
    deferredReleaseTargets();
    deferredRecordsRelease();
    deferredLightingRelease();
    deferredCompositeVariantsRelease();
    for (const ProgramRow& row : kPrograms)
        shaderDeleteProgram(r.*row.field);
    geomDelete(r.projectionPlaneQuad);
    for (unsigned int* sampler : {&r.shadowCompareSampler, &r.shadowPointSampler})
        if (*sampler)
            glDeleteSamplers(1, sampler);
    for (Texture* texture : {r.hbaoRotationTexture, r.envMapFallback})
        txtDestroy(texture);
    for (BufferObject* buffer : {r.lightPropertiesBuffer, r.materialPropertiesBuffer, r.dispatchParamsBuffer,
                                 r.linearDepthParamsBuffer, r.ssrParamsBuffer, r.stencilParamsBuffer})
        boDelete(buffer);
    fbDestroy(r.stencilFramebuffer);
    r = DeferredRenderer{};
    enterSharedRecords(r);
}
