#include "render/deferred_targets.h"

#include "app/log.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_texture.h"
#include "render/deferred_lighting.h"
#include "render/deferred_records.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <cmath>
#include <cstring>

using namespace gl;

bool deferredRendererReady = false;

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

const char* const kProjectionPlaneAttribute = "VTXDeferredProjectionPlane";
Geometry* projectionPlaneQuad = nullptr;
unsigned int shadowCompareSampler = 0;
unsigned int shadowPointSampler = 0;
Texture* hbaoRotationTexture = nullptr;
BufferObject* lightPropertiesBuffer = nullptr;
BufferObject* materialPropertiesBuffer = nullptr;

int historyIndex = 0;
bool hbaoEnabled = false;
bool ssrEnabled = false;

namespace {

Camera startCamera()
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

} // namespace

Camera deferredCamera = startCamera();
Camera deferredPreviousCamera = startCamera();

Framebuffer* fbDeferredDeep = nullptr;
Framebuffer* fbDeferredDeepShadow = nullptr;
Framebuffer* fbDeferredHBAO = nullptr;
Framebuffer* fbSSRSource = nullptr;
Framebuffer* fbSSRDest = nullptr;
Framebuffer* fbDeferredLinearDepth = nullptr;
Framebuffer* fbDeferredVoxelLighting[2] = {};
Framebuffer* fbDeferredVoxelLightingTemp = nullptr;
Framebuffer* fbDeferredVolumetricFog[2] = {};
Framebuffer* fbDeferredFinalComposite = nullptr;
Framebuffer* fbDeferredRaytrace[2] = {};
Framebuffer* fbDeferredParticles = nullptr;
Framebuffer* fbWireframe = nullptr;

Texture* txtDeferredDepth[2] = {};
Texture* txtDeferredColor[2] = {};
Texture* txtDeferredNormalAttribute = nullptr;
Texture* txtDeferredMetalnessRoughnessMaterialTags = nullptr;
Texture* txtDeferredEmissive = nullptr;
Texture* txtDeferredGlobalShadows = nullptr;
Texture* txtDeferredHBAO = nullptr;
Texture* txtDeferredHBAOBlurredH = nullptr;
Texture* txtDeferredHBAOBlurredV = nullptr;
Texture* txtSSRSource = nullptr;
Texture* txtSSRDest = nullptr;
Texture* txtDeferredLinearDepth = nullptr;
Texture* txtVXLighting[2] = {};
Texture* txtVXLightingTemp = nullptr;
Texture* txtVolumetricFog[2] = {};
Texture* txtFinalComposite = nullptr;
Texture* txtRaytrace[2] = {};
Texture* txtBlendedParticles = nullptr;
Texture* txtWireframeColor = nullptr;
Texture* txtWireframeDepth = nullptr;
Texture* txtTempRGBA16F = nullptr;

namespace {

// Every framebuffer and texture of the target table, for lookups by name and for release.
Framebuffer** const kFramebuffers[] = {
    &fbDeferredDeep,          &fbDeferredDeepShadow,       &fbDeferredHBAO,
    &fbSSRSource,             &fbSSRDest,                  &fbDeferredLinearDepth,
    &fbDeferredVoxelLighting[0], &fbDeferredVoxelLighting[1], &fbDeferredVoxelLightingTemp,
    &fbDeferredVolumetricFog[0], &fbDeferredVolumetricFog[1], &fbDeferredFinalComposite,
    &fbDeferredRaytrace[0],   &fbDeferredRaytrace[1],      &fbDeferredParticles,
    &fbWireframe,
};

Texture** const kTextures[] = {
    &txtDeferredDepth[0],      &txtDeferredDepth[1],    &txtDeferredColor[0],
    &txtDeferredColor[1],      &txtDeferredNormalAttribute, &txtDeferredMetalnessRoughnessMaterialTags,
    &txtDeferredEmissive,      &txtDeferredGlobalShadows, &txtDeferredHBAO,
    &txtDeferredHBAOBlurredH,  &txtDeferredHBAOBlurredV, &txtSSRSource,
    &txtSSRDest,               &txtDeferredLinearDepth, &txtVXLighting[0],
    &txtVXLighting[1],         &txtVXLightingTemp,      &txtVolumetricFog[0],
    &txtVolumetricFog[1],      &txtFinalComposite,      &txtRaytrace[0],
    &txtRaytrace[1],           &txtBlendedParticles,    &txtWireframeColor,
    &txtWireframeDepth,        &txtTempRGBA16F,
};

struct ProgramEntry {
    ShaderProgram** program;
    const char* vertex; // null: compute
    const char* file;
};

// The build order of the renderer's programs.
const ProgramEntry kPrograms[kDeferredProgramCount] = {
    {&lightingProgram, "shaders/basic_defered.vsh", "shaders/deferred/basic_multilight_defered.fsh"},
    {&voxelLightingProgram, nullptr, "shaders/deferred/basic_voxellight_defered.comp"},
    {&voxelLightingBlurProgram, nullptr, "shaders/deferred/basic_voxellight_defered_blur.comp"},
    {&linearizeDepthProgram, "shaders/basic_defered.vsh", "shaders/deferred/linearize_depth.fsh"},
    {&compositeProgram, nullptr, "shaders/deferred/composite.fsh"},
    {&taaResolveProgram, nullptr, "shaders/deferred/taa_resolve.comp"},
    {&hbaoProgram, "shaders/basic.vsh", "shaders/post/hbao.fsh"},
    {&hbaoBlurProgram, "shaders/basic.vsh", "shaders/post/hbao_blur.fsh"},
    {&ssrProgram, nullptr, "kq_demo/shaders/destroy/render_ssr.comp"},
    {&ssrBlurProgram, nullptr, "kq_demo/shaders/destroy/blur_ssr.comp"},
    {&copyToStencilProgram, "shaders/basic_defered.vsh", "shaders/deferred/copy_rt_to_stencil.fsh"},
    {&volumetricFogProgram, nullptr, "shaders/deferred/basic_volumetric_fog_defered.comp"},
};

void buildPrograms()
{
    for (const ProgramEntry& entry : kPrograms) {
        if (*entry.program)
            continue;
        ShaderDefines defines = shaderGlobalDefines;
        if (entry.program == &voxelLightingBlurProgram) {
            defines["SEARCH_RANGE"] = "2";
            defines["SEARCH_STEP"] = "1";
        }
        *entry.program = entry.vertex ? shaderLoadProgram(entry.vertex, entry.file, defines)
                                    : shaderLoadProgramCompute(entry.file, defines);
    }
}

void createProjectionPlaneQuad()
{
    projectionPlaneQuad = geomCreateQuad(1.0f, 1.0f);
    if (!projectionPlaneQuad)
        return;
    VertexAttribute attribute;
    attribute.code = VERTEX_ATTRIBUTE_CUSTOM;
    attribute.componentType = 0;
    attribute.componentCount = 3;
    attribute.name = kProjectionPlaneAttribute;
    if (projectionPlaneQuad->AddAttribute(attribute))
        geomUpdate(projectionPlaneQuad);
}

void createRotationTexture()
{
    hbaoRotationTexture = txtCreate(TEXTURE_TYPE_2D, 4, 4, IMAGE_TYPE_RGBA32F);
    if (!hbaoRotationTexture)
        return;
    hbaoRotationTexture->name = "hbaoRotationTexture";
    auto* texels = reinterpret_cast<float*>(hbaoRotationTexture->images[0]->levels[0]);
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
    txtSetupForGL(hbaoRotationTexture);
    txtSetLabel(hbaoRotationTexture, hbaoRotationTexture->name.c_str());
    glTextureParameteri(hbaoRotationTexture->glId, GL_TEXTURE_MIN_FILTER, GLint(GL_NEAREST));
    glTextureParameteri(hbaoRotationTexture->glId, GL_TEXTURE_MAG_FILTER, GLint(GL_NEAREST));
}

void drainGlErrors()
{
    while (glGetError() != GL_NO_ERROR) {
    }
}

// Entered into every shaderBindingsCreate map.
void enterSharedRecords()
{
    shaderBindingsLightProperties = lightPropertiesBuffer;
    shaderBindingsMaterialProperties = materialPropertiesBuffer;
}

Framebuffer* makeFramebuffer(const char* name)
{
    Framebuffer* framebuffer = fbCreate(name);
    // Framebuffers without attachments give GL this size.
    framebuffer->width = screenWidth;
    framebuffer->height = screenHeight;
    return framebuffer;
}

Texture* makeTarget(const char* name, ImageType type)
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, screenWidth, screenHeight, type);
    if (!texture)
        return nullptr;
    texture->name = name;
    txtSetupForGL(texture);
    txtSetLabel(texture, name);
    return texture;
}

void setFilter(Texture* texture, GLenum filter)
{
    if (!texture || !texture->glId)
        return;
    glTextureParameteri(texture->glId, GL_TEXTURE_MIN_FILTER, GLint(filter));
    glTextureParameteri(texture->glId, GL_TEXTURE_MAG_FILTER, GLint(filter));
}

void setClampToEdge(Texture* texture)
{
    if (!texture || !texture->glId)
        return;
    glTextureParameteri(texture->glId, GL_TEXTURE_WRAP_S, GLint(GL_CLAMP_TO_EDGE));
    glTextureParameteri(texture->glId, GL_TEXTURE_WRAP_T, GLint(GL_CLAMP_TO_EDGE));
}

} // namespace

bool deferredSetUpFramebuffer(Framebuffer* framebuffer)
{
    if (!framebuffer)
        return false;
    int result = 0;
    AGLSetupFramebuffer command;
    command.framebuffer = framebuffer;
    command.result = &result;
    if (!aglExecute(&command))
        command.Execute();
    return result != 0;
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
    if (!shadowPointSampler)
        shadowPointSampler = deferredCreateSampler(GLuint(GL_NEAREST), GLuint(GL_NEAREST), GLuint(GL_CLAMP_TO_EDGE));
    return shadowPointSampler;
}

void deferredRenderInit()
{
    if (deferredRendererReady)
        return;
    if (!projectionPlaneQuad)
        createProjectionPlaneQuad();
    buildPrograms();

    shadowCompareSampler = deferredCreateSampler(GLuint(GL_LINEAR), GLuint(GL_LINEAR), GLuint(GL_CLAMP_TO_EDGE));
    glSamplerParameteri(shadowCompareSampler, GL_TEXTURE_COMPARE_MODE, GLint(GL_COMPARE_REF_TO_TEXTURE));
    glSamplerParameteri(shadowCompareSampler, GL_TEXTURE_COMPARE_FUNC, GLint(GL_GEQUAL));

    createRotationTexture();
    drainGlErrors();

    lightPropertiesBuffer = boCreate("LightProperties", uint64_t(kMaxFrameLights) * kLightRecordSize);
    frameLights.clear();
    materialPropertiesBuffer = boCreate("MaterialProperties", uint64_t(kMaxMaterials) * kMaterialRecordSize);
    enterSharedRecords();
    deferredRendererReady = true;
}

void deferredCreateTargets()
{
    if (fbDeferredDeep)
        return;
    fbDeferredDeep = makeFramebuffer("deferred_deep");
    fbDeferredDeepShadow = makeFramebuffer("deferred_deep_shadow");
    fbDeferredHBAO = makeFramebuffer("deferred_hbao");
    fbSSRSource = makeFramebuffer("fxr_ssr_source");
    fbSSRDest = makeFramebuffer("fxr_ssr_dest");
    fbDeferredLinearDepth = makeFramebuffer("deferred_linear_depth");
    fbDeferredVoxelLighting[0] = makeFramebuffer("deferred_voxel_lighting0");
    fbDeferredVoxelLighting[1] = makeFramebuffer("deferred_voxel_lighting1");
    fbDeferredVoxelLightingTemp = makeFramebuffer("deferred_voxel_lighting_temp");
    fbDeferredVolumetricFog[0] = makeFramebuffer("deferred_volumetric_fog_0");
    fbDeferredVolumetricFog[1] = makeFramebuffer("deferred_volumetric_fog_1");
    fbDeferredFinalComposite = makeFramebuffer("deferred_final_composite");
    fbDeferredRaytrace[0] = makeFramebuffer("deferred_raytrace0");
    fbDeferredRaytrace[1] = makeFramebuffer("deferred_raytrace1");
    fbDeferredParticles = makeFramebuffer("deferred_particles");

    txtDeferredDepth[0] = makeTarget("txtDeferredDepth0", IMAGE_TYPE_DEPTH32F_STENCIL8);
    txtDeferredDepth[1] = makeTarget("txtDeferredDepth1", IMAGE_TYPE_DEPTH32F_STENCIL8);
    fbWireframe = makeFramebuffer("fbWireframe");
    txtWireframeColor = makeTarget("txtWireframeColor", IMAGE_TYPE_RGBA8);
    txtWireframeDepth = makeTarget("txtWireframeDepth", IMAGE_TYPE_DEPTH32F);
    fbAttach(fbWireframe, FB_ATTACHMENT_COLOR0, txtWireframeColor);
    fbAttach(fbWireframe, FB_ATTACHMENT_DEPTH, txtWireframeDepth);
    deferredSetUpFramebuffer(fbWireframe);

    txtDeferredLinearDepth = makeTarget("txtDeferredLinearDepth", IMAGE_TYPE_R32F);
    txtDeferredColor[0] = makeTarget("txtDeferredColor0", IMAGE_TYPE_RGBA16F);
    txtDeferredColor[1] = makeTarget("txtDeferredColor1", IMAGE_TYPE_RGBA16F);
    txtDeferredEmissive = makeTarget("txtDeferredEmissive", IMAGE_TYPE_RGBA16F);
    txtTempRGBA16F = makeTarget("txtTempRGBA16F", IMAGE_TYPE_RGBA16F);
    txtDeferredNormalAttribute = makeTarget("txtDeferredNormalAttribute", IMAGE_TYPE_R32UI);
    txtDeferredMetalnessRoughnessMaterialTags =
        makeTarget("txtDeferredMetalnessRoughnessMaterialTags", IMAGE_TYPE_RGBA16UI);
    txtDeferredGlobalShadows = makeTarget("txtDeferredGlobalShadows", IMAGE_TYPE_RGBA16F);
    txtDeferredHBAO = makeTarget("txtDeferredHBAO", IMAGE_TYPE_R16F);
    txtDeferredHBAOBlurredH = makeTarget("txtDeferredHBAOBlurredH", IMAGE_TYPE_R16F);
    txtDeferredHBAOBlurredV = makeTarget("txtDeferredHBAOBlurredV", IMAGE_TYPE_R16F);

    if (txtDeferredMetalnessRoughnessMaterialTags)
        txtDeferredMetalnessRoughnessMaterialTags->samplerType = SAMPLER_NEAREST_MIPMAP_BORDER;
    setClampToEdge(txtDeferredMetalnessRoughnessMaterialTags);
    setFilter(txtDeferredMetalnessRoughnessMaterialTags, GL_NEAREST);
    setClampToEdge(txtDeferredNormalAttribute);
    setFilter(txtDeferredNormalAttribute, GL_NEAREST);
    setClampToEdge(txtDeferredDepth[0]);
    setClampToEdge(txtDeferredDepth[1]);

    txtSSRSource = makeTarget("SSRSource", IMAGE_TYPE_RGBA16F);
    fbAttach(fbSSRSource, FB_ATTACHMENT_COLOR0, txtSSRSource);
    txtSSRDest = makeTarget("SSRDest", IMAGE_TYPE_RGBA16F);
    fbAttach(fbSSRDest, FB_ATTACHMENT_COLOR0, txtSSRDest);
    deferredSetUpFramebuffer(fbSSRDest);
    deferredSetUpFramebuffer(fbSSRSource);
    setFilter(txtSSRDest, GL_LINEAR);

    txtFinalComposite = makeTarget("FinalComposite", IMAGE_TYPE_RGBA8);
    fbAttach(fbDeferredFinalComposite, FB_ATTACHMENT_COLOR0, txtFinalComposite);
    txtVXLighting[0] = makeTarget("VXLighting0", IMAGE_TYPE_RGBA16F);
    fbAttach(fbDeferredVoxelLighting[0], FB_ATTACHMENT_COLOR0, txtVXLighting[0]);
    txtVXLighting[1] = makeTarget("VXLighting1", IMAGE_TYPE_RGBA16F);
    fbAttach(fbDeferredVoxelLighting[1], FB_ATTACHMENT_COLOR0, txtVXLighting[1]);
    txtVXLightingTemp = makeTarget("VXLightingTemp", IMAGE_TYPE_RGBA16F);
    fbAttach(fbDeferredVoxelLightingTemp, FB_ATTACHMENT_COLOR0, txtVXLightingTemp);
    txtVolumetricFog[0] = makeTarget("VolumetricFog0", IMAGE_TYPE_RGBA16F);
    fbAttach(fbDeferredVolumetricFog[0], FB_ATTACHMENT_COLOR0, txtVolumetricFog[0]);
    txtVolumetricFog[1] = makeTarget("VolumetricFog1", IMAGE_TYPE_RGBA16F);
    fbAttach(fbDeferredVolumetricFog[1], FB_ATTACHMENT_COLOR0, txtVolumetricFog[1]);
    deferredSetUpFramebuffer(fbDeferredVolumetricFog[0]);
    deferredSetUpFramebuffer(fbDeferredVolumetricFog[1]);
    txtRaytrace[0] = makeTarget("Raytrace0", IMAGE_TYPE_RGBA16F);
    fbAttach(fbDeferredRaytrace[0], FB_ATTACHMENT_COLOR0, txtRaytrace[0]);
    txtRaytrace[1] = makeTarget("Raytrace1", IMAGE_TYPE_RGBA16F);
    fbAttach(fbDeferredRaytrace[1], FB_ATTACHMENT_COLOR0, txtRaytrace[1]);
    deferredSetUpFramebuffer(fbDeferredRaytrace[0]);
    deferredSetUpFramebuffer(fbDeferredRaytrace[1]);
    txtBlendedParticles = makeTarget("BlendedParticles", IMAGE_TYPE_RGBA16F);
    fbAttach(fbDeferredParticles, FB_ATTACHMENT_COLOR0, txtBlendedParticles);
    deferredSetUpFramebuffer(fbDeferredParticles);
}

Framebuffer* deferredFindFramebuffer(const std::string& name)
{
    for (Framebuffer** slot : kFramebuffers)
        if (*slot && (*slot)->name == name)
            return *slot;
    return nullptr;
}

Framebuffer* deferredTarget(int target)
{
    if (target != 0 && target != 1)
        return nullptr;
    deferredCreateTargets();
    return target == 0 ? fbDeferredDeep : fbDeferredParticles;
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
    for (Framebuffer** slot : kFramebuffers) {
        fbDestroy(*slot);
        *slot = nullptr;
    }
    for (Texture** slot : kTextures) {
        txtDestroy(*slot);
        *slot = nullptr;
    }
}

void deferredRenderRelease()
{
    deferredReleaseTargets();
    deferredRecordsRelease();
    deferredLightingRelease();
    for (const ProgramEntry& entry : kPrograms) {
        shaderDeleteProgram(*entry.program);
        *entry.program = nullptr;
    }
    geomDelete(projectionPlaneQuad);
    projectionPlaneQuad = nullptr;
    for (unsigned int* sampler : {&shadowCompareSampler, &shadowPointSampler}) {
        if (*sampler)
            glDeleteSamplers(1, sampler);
        *sampler = 0;
    }
    txtDestroy(hbaoRotationTexture);
    hbaoRotationTexture = nullptr;
    boDelete(lightPropertiesBuffer);
    boDelete(materialPropertiesBuffer);
    lightPropertiesBuffer = materialPropertiesBuffer = nullptr;
    enterSharedRecords();
    historyIndex = 0;
    hbaoEnabled = ssrEnabled = false;
    deferredCamera = startCamera();
    deferredPreviousCamera = startCamera();
    deferredRendererReady = false;
}
