#include "jni/engine/grd_shader_bindings.h"

#include "app/log.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_scene_buffers.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

using namespace gl;

namespace {

// Binds one block from its entry; false when the entry is missing or cannot be bound.
bool bindBlock(const ShaderBlock& block, const BufferBindings& bindings, GLenum target)
{
    const auto found = bindings.find(block.name);
    if (found == bindings.end())
        return false;
    const BufferBinding& entry = found->second;
    if (entry.isBufferObject) {
        const auto* buffer = static_cast<const BufferObject*>(entry.data);
        if (!buffer)
            return false;
        glBindBufferBase(target, block.binding, buffer->glId);
        return true;
    }
    // Host data goes into the frame's constant ring at a 256-byte step; the ring refuses (and logs) empty data
    // and data that would pass its end, and the block then keeps what it had.
    BufferObject* ring = nullptr;
    uint32_t offset = 0;
    if (!constBufferRingWrite(entry.data, entry.size, &ring, &offset))
        return false;
    glBindBufferRange(target, block.binding, ring->glId, static_cast<GLintptr>(offset),
                      static_cast<GLsizeiptr>(entry.size));
    return true;
}

struct SamplerSetting {
    GLenum minFilter;
    GLenum magFilter;
    GLenum wrap;
    bool anisotropic;
};

// Indexed by SamplerType 1-8.
constexpr SamplerSetting kSamplerSettings[] = {
    {GL_LINEAR, GL_LINEAR, GL_REPEAT, false},
    {GL_NEAREST, GL_NEAREST, GL_REPEAT, false},
    {GL_LINEAR, GL_LINEAR, GL_CLAMP_TO_EDGE, false},
    {GL_NEAREST, GL_NEAREST, GL_CLAMP_TO_EDGE, false},
    {GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_CLAMP_TO_EDGE, true},
    {GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_REPEAT, true},
    {GL_LINEAR_MIPMAP_LINEAR, GL_LINEAR, GL_CLAMP_TO_BORDER, true},
    {GL_NEAREST_MIPMAP_NEAREST, GL_NEAREST, GL_CLAMP_TO_BORDER, false},
};
constexpr int kSamplerTypes = static_cast<int>(std::size(kSamplerSettings));

GLuint samplerCache[kSamplerTypes + 1] = {};

void addBuffer(BufferBindings& bindings, const std::string& name, BufferObject* buffer)
{
    if (buffer)
        shaderBindingsAddBuffer(bindings, name, buffer);
}

} // namespace

void shaderBindingsAddBuffer(BufferBindings& bindings, const std::string& name, BufferObject* buffer)
{
    bindings[name] = BufferBinding{true, buffer, 0};
}

void shaderBindingsAddData(BufferBindings& bindings, const std::string& name, const void* data, uint32_t size)
{
    bindings[name] = BufferBinding{false, const_cast<void*>(data), size};
}

void shaderBindingsAddTexture(TextureBindings& bindings, const std::string& name, const Texture* texture,
                              int samplerType, int mipLevel)
{
    if (!texture) {
        LOG_WARNING("No texture for <%s>", name.c_str());
        return;
    }
    TextureBinding binding;
    binding.imageType = texture->imageCount > 0 && texture->images[0] ? texture->images[0]->type : 0;
    binding.mipLevel = mipLevel;
    binding.glTextureId = texture->glId;
    binding.samplerType = samplerType < 0 ? texture->samplerType : samplerType;
    bindings[name] = binding;
}

bool shaderBindBuffers(ShaderProgram* program, const BufferBindings& bindings)
{
    if (!program)
        return false;
    bool complete = true;
    for (const auto& entry : program->storageBlocks) {
        const ShaderBlock& block = *entry.second;
        if (block.inProgram && block.referenced && !bindBlock(block, bindings, GL_SHADER_STORAGE_BUFFER))
            complete = false;
    }
    for (const auto& entry : program->uniformBlocks) {
        const ShaderBlock& block = *entry.second;
        if (block.inProgram && !bindBlock(block, bindings, GL_UNIFORM_BUFFER))
            complete = false;
    }
    return complete;
}

bool shaderBindTextures(ShaderProgram* program, const TextureBindings& bindings)
{
    if (!program)
        return false;
    bool complete = true;
    for (const auto& entry : program->uniforms) {
        ShaderUniform* uniform = entry.second;
        const bool image = uniform->type == UNIFORM_TYPE_IMAGE2D || uniform->type == UNIFORM_TYPE_IMAGE3D;
        const bool sampler = uniform->type == UNIFORM_TYPE_SAMPLER2D || uniform->type == UNIFORM_TYPE_SAMPLERCUBE ||
                             uniform->type == UNIFORM_TYPE_SAMPLER3D || uniform->type == UNIFORM_TYPE_SAMPLER2DARRAY;
        if (uniform->location == -1 || !uniform->value || (!image && !sampler))
            continue;
        const auto found = bindings.find(uniform->name);
        if (found == bindings.end()) {
            complete = false;
            continue;
        }
        const TextureBinding& binding = found->second;
        const int unit = static_cast<int*>(uniform->value)[0];
        if (image) {
            // Volumes, cubes and arrays (UNIFORM_TYPE_IMAGE3D) are bound with all their layers; bound as one
            // layer, the shader's writes would land in a single slice.
            const GLboolean layered = uniform->type == UNIFORM_TYPE_IMAGE3D ? GL_TRUE : GL_FALSE;
            glBindImageTexture(static_cast<GLuint>(unit), binding.glTextureId, binding.mipLevel, layered, 0,
                               GL_READ_WRITE, txtGetInternalFormat(binding.imageType));
            continue;
        }
        if (program == shaderCurrentProgram)
            shaderUpdateGLUniformValueArray(program, uniform, 0, 1);
        glBindTextureUnit(static_cast<GLuint>(unit), binding.glTextureId);
        glBindSampler(static_cast<GLuint>(unit), binding.samplerType ? shaderGetSampler(binding.samplerType) : 0);
    }
    return complete;
}

GLuint shaderGetSampler(int samplerType)
{
    if (samplerType < 1 || samplerType > kSamplerTypes)
        return 0;
    GLuint& sampler = samplerCache[samplerType];
    if (sampler)
        return sampler;
    const SamplerSetting& setting = kSamplerSettings[samplerType - 1];
    glGenSamplers(1, &sampler);
    glSamplerParameteri(sampler, GL_TEXTURE_MIN_FILTER, static_cast<GLint>(setting.minFilter));
    glSamplerParameteri(sampler, GL_TEXTURE_MAG_FILTER, static_cast<GLint>(setting.magFilter));
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_S, static_cast<GLint>(setting.wrap));
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_T, static_cast<GLint>(setting.wrap));
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_R, static_cast<GLint>(setting.wrap));
    if (setting.anisotropic)
        glSamplerParameteri(sampler, GL_TEXTURE_MAX_ANISOTROPY_EXT, 4);
    return sampler;
}

// ---- Standard names ----

BufferObject* shaderBindingsLightProperties = nullptr;
BufferObject* shaderBindingsMaterialProperties = nullptr;

void shaderBindingsCreate(BufferBindings& bindings)
{
    bindings.clear();
    addBuffer(bindings, "MaterialPropertiesDataBuffer", shaderBindingsMaterialProperties);
    addBuffer(bindings, "LightPropertiesBuffer", shaderBindingsLightProperties);
}

void shaderBindingsAddGeometry(BufferBindings& bindings, const Geometry* geometry)
{
    shaderBindingsAddGeometryPrefixed(bindings, geometry, "");
}

void shaderBindingsAddGeometryPrefixed(BufferBindings& bindings, const Geometry* geometry, const std::string& prefix)
{
    if (!geometry)
        return;
    const size_t count = std::min(geometry->attributes.size(), geometry->buffers.size());
    for (size_t i = 0; i < count; ++i)
        addBuffer(bindings, prefix + geometry->attributes[i].name, geometry->buffers[i]);
}

void shaderBindingsAddModifiers(BufferBindings& bindings, const std::vector<BufferObject*>& modifiers)
{
    for (size_t i = 0; i < modifiers.size(); ++i)
        addBuffer(bindings, fmt::format("VM{0}", i), modifiers[i]);
}

void shaderBindingsAddParticles(BufferBindings& bindings, BufferObject* positions, BufferObject* states,
                                BufferObject* prefixSum)
{
    addBuffer(bindings, "ParticlePositionsData", positions);
    addBuffer(bindings, "ParticleStatesData", states);
    addBuffer(bindings, "ParticlePrefixSumData", prefixSum);
}

void shaderBindingsAddPartition(BufferBindings& bindings, const RaytraceSceneBuffers* scene)
{
    if (!scene)
        return;
    addBuffer(bindings, "VoxelOcclusionBuffer", scene->voxelOcclusion);
    addBuffer(bindings, "BBoxBuffer", scene->bboxBuffer);
    addBuffer(bindings, "InVertexBuffer", scene->geometryRaytrace);
    addBuffer(bindings, "BucketData", scene->partitioning);
    addBuffer(bindings, "FacesLinkedListBuffer", scene->indicesList);
    addBuffer(bindings, "FacesLinkedListTailsBuffer", scene->indicesListTails);
    addBuffer(bindings, "TransformedDataLocationBuffer", scene->transformedDataLocation);
}

void shaderBindingsAddVoxels(BufferBindings& bindings, const RaytraceSceneBuffers* scene)
{
    if (!scene)
        return;
    shaderBindingsAddPartition(bindings, scene);
    // The voxel grid reads the voxelization copy of the geometry.
    addBuffer(bindings, "InVertexBuffer", scene->geometryVoxel);
    addBuffer(bindings, "VoxelLightBuffer", scene->voxelColors);
}
