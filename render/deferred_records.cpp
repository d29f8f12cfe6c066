#include "render/deferred_records.h"

#include "app/log.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "render/deferred_targets.h"
#include "render/entities.h"
#include "render/render_graph.h"
#include "render/scene.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>

using namespace gl;

std::vector<Light*> frameLights;

MaterialProperties materialTable[kMaterialTableSize];
int materialCount = -1;
std::set<MaterialTextureKey> materialTextureKeys;
std::map<MaterialTextureKey, int> materialTextureIndex;

namespace {

GLuint materialTextureSampler = 0;
// For textures of one level (generated ones): no mip filtering, and no anisotropic filtering, which without a mip
// chain gains little and on llvmpipe makes a textured surface several times slower to draw.
GLuint materialSingleLevelSampler = 0;
// 1 x 1 depth 1.0: stands in for a shadow map nobody drew, so the lookup finds nothing in front.
GLuint noShadowTexture = 0;
bool tableFullReported = false;

LightProperties* lightRecords()
{
    if (!deferredRenderer.lightPropertiesBuffer)
        deferredRenderInit();
    BufferObject* buffer = deferredRenderer.lightPropertiesBuffer;
    return buffer ? reinterpret_cast<LightProperties*>(buffer->hostCopy) : nullptr;
}

void copyMatrix(Matrix& out, const Matrix& in)
{
    std::memcpy(out.m, in.m, sizeof out.m);
}

// Everything of the record but the shadow-map indices.
void packLight(const Light* light, LightProperties& r)
{
    std::memset(static_cast<void*>(&r), 0, sizeof r); // every byte zero, matrices included
    const float* w = light->world.m;
    switch (light->lightType) {
    case LIGHT_TYPE_DIRECTIONAL: r.flags |= LIGHT_FLAG_DIRECTIONAL; break;
    case LIGHT_TYPE_SPOT:
        r.flags |= LIGHT_FLAG_SPOT;
        if (light->volumetric)
            r.flags |= LIGHT_FLAG_VOLUMETRIC;
        break;
    case LIGHT_TYPE_POINT: r.flags |= LIGHT_FLAG_POINT; break;
    default: break;
    }
    if (light->castsShadows)
        r.flags |= LIGHT_FLAG_CASTS_SHADOWS;
    if (light->area)
        r.flags |= LIGHT_FLAG_AREA;

    copyMatrix(r.view, light->view);
    const int matrices = light->cascadeCount > 1 ? LIGHT_MAX_CASCADES : 1;
    for (int i = 0; i < matrices; ++i) {
        copyMatrix(r.shadowProjection[i], light->shadowMatrices[i]);
        light->view.MultiplyTo(light->shadowMatrices[i], r.shadowViewProjection[i]);
    }

    std::memcpy(r.color, light->color, sizeof r.color);
    const Vector3 direction = Vector3{w[2], w[6], w[10]}.Normalized();
    r.direction[0] = direction.x;
    r.direction[1] = direction.y;
    r.direction[2] = direction.z;
    r.position[0] = w[3];
    r.position[1] = w[7];
    r.position[2] = w[11];
    r.axisY[0] = w[1];
    r.axisY[1] = w[5];
    r.axisY[2] = w[9];
    r.axisX[0] = w[0];
    r.axisX[1] = w[4];
    r.axisX[2] = w[8];
    r.dimensions[0] = light->dimensions[0];
    r.dimensions[1] = light->dimensions[1];
    r.intensity = light->intensity;
    r.range = light->farPlane;
    const float fov = light->lightType == LIGHT_TYPE_POINT ? 90.0f : light->fov;
    r.cosHalfFov = std::cos(fov / 180.0f * float(M_PI) * 0.5f);
    r.roughnessModifier = light->roughnessModifier;
    r.area = light->area ? 1 : 0;
}

bool hasShadowFaces(const Light* light)
{
    if (light->lightType != LIGHT_TYPE_POINT)
        return false;
    return std::all_of(std::begin(light->faceLights), std::end(light->faceLights),
                       [](const Light* face) { return face != nullptr; });
}

// The unit array of a sampler-array uniform the program uses; null when it has none.
ShaderUniform* samplerArray(ShaderProgram* program, const char* name)
{
    const auto found = program->uniforms.find(name);
    if (found == program->uniforms.end())
        return nullptr;
    ShaderUniform* uniform = found->second;
    if (!uniform || uniform->location == -1 || !uniform->value)
        return nullptr;
    return uniform;
}

int arrayLength(const ShaderUniform* uniform)
{
    return std::min(uniform->arraySize, uniform->byteSize / 4);
}

// Writes element `index` of the unit array and binds the texture there; an index past the array is skipped,
// since its unit would belong to the next sampler uniform.
bool bindArrayElement(ShaderProgram* program, ShaderUniform* uniform, int index, GLuint texture, GLuint sampler)
{
    if (index < 0 || index >= arrayLength(uniform))
        return false;
    auto* units = static_cast<int*>(uniform->value);
    const int unit = units[0] + index;
    units[index] = unit;
    if (program == shaderCurrentProgram)
        shaderUpdateGLUniformValueArray(program, uniform, index, 1);
    glBindSampler(GLuint(unit), sampler);
    glBindTextureUnit(GLuint(unit), texture);
    return true;
}

GLuint noShadowMap()
{
    if (noShadowTexture)
        return noShadowTexture;
    glCreateTextures(GL_TEXTURE_2D, 1, &noShadowTexture);
    glTextureStorage2D(noShadowTexture, 1, GL_DEPTH_COMPONENT32F, 1, 1);
    const float one = 1.0f;
    glClearTexImage(noShadowTexture, 0, GL_DEPTH_COMPONENT, GL_FLOAT, &one);
    glObjectLabel(GL_TEXTURE, noShadowTexture, -1, "NoShadowMap");
    return noShadowTexture;
}

GLuint shadowMapTexture(const Light* light, int cascade)
{
    const Framebuffer* framebuffer = light->shadowFramebuffers[cascade];
    const Texture* depth = framebuffer ? framebuffer->slots[FB_ATTACHMENT_DEPTH].texture : nullptr;
    return depth && depth->glId ? depth->glId : noShadowMap();
}

void bindShadowMaps(ShaderProgram* program, ShaderUniform* uniform, GLuint sampler, const char* what)
{
    const int length = arrayLength(uniform);
    // Every element holds a depth texture, so no lookup meets an empty unit.
    for (int k = 0; k < length; ++k)
        bindArrayElement(program, uniform, k, noShadowMap(), sampler);
    for (size_t i = 0; i < frameLights.size(); ++i) {
        const Light* light = frameLights[i];
        const LightProperties* record = deferredLightRecord(int(i));
        if (!light || !record || !light->castsShadows)
            continue;
        const unsigned int cascades = std::min<unsigned int>(light->cascadeCount, LIGHT_MAX_CASCADES);
        for (unsigned int c = 0; c < cascades; ++c) {
            const int k = record->shadowmapIndex[c];
            if (!bindArrayElement(program, uniform, k, shadowMapTexture(light, int(c)), sampler))
                LOG_WARNING("Shadow map %d of light %s is past the %d of %s; not bound", k, light->name.c_str(),
                            length, what);
        }
    }
}

} // namespace

// ---- Lights ----

void deferredUpdatePointLightFaces(Light* point)
{
    if (!point || !hasShadowFaces(point))
        return;
    for (Light* face : point->faceLights) {
        face->nearPlane = point->nearPlane;
        face->farPlane = point->farPlane;
        entSetupTransformation(face);
        face->local.MultiplyTo(point->world, face->world);
        face->view = face->world.InverseAffine();
        face->shadowMatrices[0] = face->projection;
    }
}

void deferredUpdateLights(const std::vector<Light*>& lights)
{
    frameLights.clear();
    frameLights.reserve(std::min<size_t>(lights.size(), kMaxFrameLights));
    LightProperties* records = lightRecords();
    if (!records)
        return;
    int counter = 0;
    size_t dropped = 0;
    for (Light* light : lights) {
        if (!light)
            continue;
        const bool shadowFaces = hasShadowFaces(light);
        if (!light->enabled && !light->castsShadows && !shadowFaces)
            continue;
        if (frameLights.size() >= size_t(kMaxFrameLights)) {
            ++dropped;
            continue;
        }
        const int index = int(frameLights.size());
        frameLights.push_back(light);
        LightProperties& r = records[index];
        packLight(light, r);
        if (light->projector) {
            r.flags |= LIGHT_FLAG_PROJECTOR;
            r.projectorIndex = counter;
        }
        if (light->castsShadows) {
            const unsigned int cascades = std::min<unsigned int>(light->cascadeCount, LIGHT_MAX_CASCADES);
            for (unsigned int c = 0; c < cascades; ++c)
                r.shadowmapIndex[c] = counter++;
            if (light->lightType == LIGHT_TYPE_DIRECTIONAL)
                std::memcpy(r.splitDistances, light->splitDistances, sizeof r.splitDistances);
        }
        if (!shadowFaces)
            continue;
        // A shadow-casting point light lights like any point light; its six face lights carry its shadow.
        if (frameLights.size() + 6 > size_t(kMaxFrameLights)) {
            LOG_WARNING("Point light %s lights without shadow: no room for its six shadow faces in the light buffer",
                        light->name.c_str());
            continue;
        }
        deferredUpdatePointLightFaces(light);
        r.firstFaceRecord = index + 1;
        for (Light* face : light->faceLights) {
            LightProperties& f = records[frameLights.size()];
            frameLights.push_back(face);
            packLight(face, f);
            f.flags |= LIGHT_FLAG_SHADOW_FACE | LIGHT_FLAG_CASTS_SHADOWS;
            f.shadowmapIndex[0] = counter++;
        }
    }
    if (dropped)
        LOG_WARNING("Light buffer holds %d lights: %zu more lights are left out this frame", kMaxFrameLights,
                    dropped);
    BufferObject* buffer = deferredRenderer.lightPropertiesBuffer;
    glNamedBufferSubData(buffer->glId, 0, GLsizeiptr(buffer->size), buffer->hostCopy);
    buffer->dirty = false;
}

void deferredUpdateLights(Scene*, const std::vector<Light*>& lights)
{
    deferredUpdateLights(lights);
}

const LightProperties* deferredLightRecord(int index)
{
    const BufferObject* buffer = deferredRenderer.lightPropertiesBuffer;
    if (!buffer || index < 0 || index >= kMaxFrameLights)
        return nullptr;
    return reinterpret_cast<const LightProperties*>(buffer->hostCopy) + index;
}

void deferredBindLightSamplers(ShaderProgram* program)
{
    if (!program)
        return;
    ShaderUniform* projectors = samplerArray(program, "LightProjectorSampler");
    ShaderUniform* compare = samplerArray(program, "LightShadowmapCmpSamplers");
    ShaderUniform* plain = samplerArray(program, "LightShadowmapSamplers");
    if (!projectors && !compare && !plain)
        return;
    if (projectors) {
        for (size_t i = 0; i < frameLights.size(); ++i) {
            const Light* light = frameLights[i];
            const LightProperties* record = deferredLightRecord(int(i));
            if (!light || !record || !light->projector || !light->projector->glId)
                continue;
            if (!bindArrayElement(program, projectors, record->projectorIndex, light->projector->glId, 0))
                LOG_WARNING("Projector %d of light %s is past the %d projector slots; not bound",
                            record->projectorIndex, light->name.c_str(), arrayLength(projectors));
        }
    }
    if (compare)
        bindShadowMaps(program, compare, deferredRenderer.shadowCompareSampler, "LightShadowmapCmpSamplers");
    if (plain)
        bindShadowMaps(program, plain, deferredShadowPointSampler(), "LightShadowmapSamplers");
}

// ---- Materials ----

MaterialPropertiesGPU materialToGPU(const MaterialProperties& m, const int32_t textureIndices[4])
{
    MaterialPropertiesGPU g{};
    std::memcpy(g.diffuse, m.diffuse, sizeof g.diffuse);
    g.transparency = m.transparency;
    std::memcpy(g.emissive, m.emissive, sizeof g.emissive);
    g.roughness = m.roughness;
    g.reserved = m.reserved;
    g.normalFactor = m.normalFactor;
    g.emissiveFactor = m.emissiveFactor;
    g.temporalAccumulationFactor = m.temporalAccumulationFactor;
    g.triplanarMappingScale = m.triplanarMappingScale;
    g.shadowmapBias = m.shadowmapBias;
    g.metalness = m.metalness;
    g.albedoSampler = textureIndices[0];
    g.emissiveSampler = textureIndices[1];
    g.normalSampler = textureIndices[2];
    g.metallicRoughnessSampler = textureIndices[3];
    uint32_t flags = 0;
    if (m.reflective)
        flags |= MATERIAL_FLAG_REFLECTIVE;
    if (m.flagBit2)
        flags |= MATERIAL_FLAG_BIT2;
    if (m.flagBit4)
        flags |= MATERIAL_FLAG_BIT4;
    if (m.ssr)
        flags |= MATERIAL_FLAG_SSR;
    if (m.flagBit16)
        flags |= MATERIAL_FLAG_BIT16;
    if (m.transparency > 0.0f)
        flags |= MATERIAL_FLAG_TRANSPARENT;
    if (m.doublesided)
        flags |= MATERIAL_FLAG_DOUBLESIDED;
    if (m.flat)
        flags |= MATERIAL_FLAG_FLAT;
    if (m.flagBit256)
        flags |= MATERIAL_FLAG_BIT256;
    if (m.flagBit512)
        flags |= MATERIAL_FLAG_BIT512;
    if (m.textureMappingMode == 1)
        flags |= MATERIAL_FLAG_TRIPLANAR;
    g.flags = flags;
    return g;
}

int materialTableAppend(const MaterialProperties& material)
{
    const int slot = std::max(materialCount, 0);
    if (slot >= kMaterialTableSize) {
        if (!tableFullReported)
            LOG_WARNING("Material table full (%d rows): further materials this frame are drawn with the defaults",
                        kMaterialTableSize);
        tableFullReported = true;
        return -1;
    }
    materialTable[slot] = material;
    materialCount = slot + 1;
    return slot;
}

void resetMaterialTable()
{
    materialCount = 1;
    tableFullReported = false;
}

bool MaterialTextureKey::operator<(const MaterialTextureKey& other) const
{
    return std::tie(texture, srgb) < std::tie(other.texture, other.srgb);
}

void deferredUpdateMaterials()
{
    materialTextureKeys.clear();
    materialTextureIndex.clear();
    if (!deferredRenderer.materialPropertiesBuffer)
        deferredRenderInit();
    if (materialCount > kMaterialTableSize) {
        // Renderers that wrote past the table without materialTableAppend.
        LOG_WARNING("Material count %d exceeds the %d-row table; only the first %d rows are uploaded", materialCount,
                    kMaterialTableSize, kMaterialTableSize);
        materialCount = kMaterialTableSize;
    }
    const int count = std::max(materialCount, 0);
    for (int i = 0; i < count; ++i) {
        const MaterialProperties& m = materialTable[i];
        if (m.albedoTexture)
            materialTextureKeys.insert({m.albedoTexture, m.albedoTexture->srgbViewId != 0});
        for (Texture* texture : {m.emissiveTexture, m.normalTexture, m.metallicRoughnessTexture})
            if (texture)
                materialTextureKeys.insert({texture, false});
    }
    materialTextureIndex[{nullptr, false}] = -1;
    materialTextureIndex[{nullptr, true}] = -1;
    int next = 0;
    for (const MaterialTextureKey& key : materialTextureKeys)
        materialTextureIndex[key] = next++;
    BufferObject* buffer = deferredRenderer.materialPropertiesBuffer;
    if (!buffer || count == 0)
        return;

    auto* records = reinterpret_cast<MaterialPropertiesGPU*>(buffer->hostCopy);
    for (int i = 0; i < count; ++i) {
        const MaterialProperties& m = materialTable[i];
        const bool srgb = m.albedoTexture && m.albedoTexture->srgbViewId != 0;
        const int32_t indices[4] = {
            materialTextureIndex[{m.albedoTexture, srgb}],
            materialTextureIndex[{m.emissiveTexture, false}],
            materialTextureIndex[{m.normalTexture, false}],
            materialTextureIndex[{m.metallicRoughnessTexture, false}],
        };
        records[i] = materialToGPU(m, indices);
    }
    glNamedBufferSubData(buffer->glId, 0, GLsizeiptr(count) * kMaterialRecordSize, buffer->hostCopy);
}

void deferredBindMaterialTextures(ShaderProgram* program)
{
    if (!program)
        return;
    ShaderUniform* uniform = samplerArray(program, "material_textures");
    if (!uniform || !uniform->active)
        return;
    if (!materialTextureSampler) {
        materialTextureSampler =
            deferredCreateSampler(GLuint(GL_LINEAR_MIPMAP_LINEAR), GLuint(GL_LINEAR), GLuint(GL_REPEAT));
        glSamplerParameterf(materialTextureSampler, GL_TEXTURE_MAX_ANISOTROPY_EXT, 4.0f);
        materialSingleLevelSampler = deferredCreateSampler(GLuint(GL_LINEAR), GLuint(GL_LINEAR), GLuint(GL_REPEAT));
    }
    int j = 0;
    for (const MaterialTextureKey& key : materialTextureKeys) {
        const GLuint texture = key.srgb ? key.texture->srgbViewId : key.texture->glId;
        const Image* first = key.texture->images[0];
        const GLuint sampler = first && first->levelCount > 1 ? materialTextureSampler : materialSingleLevelSampler;
        if (!bindArrayElement(program, uniform, j, texture, sampler)) {
            LOG_WARNING("Material texture %d (%s) is past the %d slots of material_textures; not bound", j,
                        key.texture->name.c_str(), arrayLength(uniform));
            break;
        }
        ++j;
    }
}

void deferredInstallRenderGraphHooks()
{
    renderGraphHooks.deferredRenderInit = deferredRenderInit;
    renderGraphHooks.resetMaterialTable = resetMaterialTable;
    renderGraphHooks.deferredTarget = deferredTarget;
}

namespace {
// The render graph reaches the renderer through its hooks from the first frame on.
[[maybe_unused]] const bool hooksInstalled = (deferredInstallRenderGraphHooks(), true);
} // namespace

void deferredRecordsRelease()
{
    frameLights.clear();
    materialTextureKeys.clear();
    materialTextureIndex.clear();
    for (GLuint* sampler : {&materialTextureSampler, &materialSingleLevelSampler}) {
        if (*sampler)
            glDeleteSamplers(1, sampler);
        *sampler = 0;
    }
    if (noShadowTexture)
        glDeleteTextures(1, &noShadowTexture);
    noShadowTexture = 0;
}
