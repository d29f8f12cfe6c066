// What a draw or dispatch hands its program by name: buffers and host data for storage and uniform blocks,
// textures for samplers and images, and the standard names of the engine's shared objects. Main thread only.
#pragma once

#include <glbinding/gl/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct BufferObject;
struct Geometry;
struct ShaderProgram;
struct Texture;
// Records of later subsystems; their helpers enter nothing until those types exist.
struct RaytraceSceneBuffers;

// A whole BufferObject, or `size` bytes of host memory copied into the constant ring when bound (the memory only
// has to stay valid until shaderBindBuffers returns).
struct BufferBinding {
    bool isBufferObject = false;
    void* data = nullptr;
    uint32_t size = 0;
};
using BufferBindings = std::unordered_map<std::string, BufferBinding>;

struct TextureBinding {
    int imageType = 0;   // gives the image format of image bindings
    int mipLevel = 0;    // level bound for images
    unsigned int glTextureId = 0;
    int samplerType = 0; // 0: the texture's own filtering and wrap
};
using TextureBindings = std::unordered_map<std::string, TextureBinding>;

void shaderBindingsAddBuffer(BufferBindings& bindings, const std::string& name, BufferObject* buffer);
void shaderBindingsAddData(BufferBindings& bindings, const std::string& name, const void* data, uint32_t size);
// The texture's GL object and the type of its first image; samplerType < 0 takes the texture's own.
void shaderBindingsAddTexture(TextureBindings& bindings, const std::string& name, const Texture* texture,
                              int samplerType = -1, int mipLevel = 0);

// Binds every referenced storage block and every uniform block of the program to its binding point. True when
// each found an entry that could be bound; blocks without one keep what their binding point held.
bool shaderBindBuffers(ShaderProgram* program, const BufferBindings& bindings);
// Binds every sampler and image uniform of the program to its unit. True when each found an entry.
bool shaderBindTextures(ShaderProgram* program, const TextureBindings& bindings);
// The shared sampler object of SamplerType 1-8 (made on first request); 0 for any other code.
gl::GLuint shaderGetSampler(int samplerType);

// ---- Standard names ----

// A fresh map. The renderer's shared records ("MaterialPropertiesDataBuffer", "LightPropertiesBuffer") are
// entered here once the renderer provides them.
void shaderBindingsCreate(BufferBindings& bindings);
// The deferred renderer's record buffers that shaderBindingsCreate enters; null until the renderer makes them.
extern BufferObject* shaderBindingsLightProperties;
extern BufferObject* shaderBindingsMaterialProperties;
// Each vertex attribute's name ("VTXCoords", ...) = its buffer.
void shaderBindingsAddGeometry(BufferBindings& bindings, const Geometry* geometry);
void shaderBindingsAddGeometryPrefixed(BufferBindings& bindings, const Geometry* geometry, const std::string& prefix);
// "VM{i}" = buffer i for each non-null entry (indices stay list positions).
void shaderBindingsAddModifiers(BufferBindings& bindings, const std::vector<BufferObject*>& modifiers);
// The particle container's buffer set.
void shaderBindingsAddParticles(BufferBindings& bindings, BufferObject* positions, BufferObject* states,
                                BufferObject* prefixSum);
// The raytracer's scene buffers under the partitioning and voxel names once that record exists.
void shaderBindingsAddPartition(BufferBindings& bindings, const RaytraceSceneBuffers* scene);
void shaderBindingsAddVoxels(BufferBindings& bindings, const RaytraceSceneBuffers* scene);
