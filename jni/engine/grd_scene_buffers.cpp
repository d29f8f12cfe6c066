#include "jni/engine/grd_scene_buffers.h"

#include "app/log.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_texture.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <chrono>
#include <malloc.h>

using namespace gl;

namespace {

constexpr int kGridLevels = 8; // log2(256)
constexpr uint64_t kCells = uint64_t(RAYTRACE_GRID_RESOLUTION) * RAYTRACE_GRID_RESOLUTION * RAYTRACE_GRID_RESOLUTION;

struct BufferEntry {
    BufferObject* RaytraceSceneBuffers::*field;
    const char* name;
    uint64_t size;
    bool storage; // else GPU-only (cleared to zero at creation)
};

// In creation order. The partition holds 64 header words, a count per cell and a count per 4^3 coarse cell; the
// face lists one counter word and 64 M nodes of two words.
constexpr BufferEntry kBuffers[] = {
    {&RaytraceSceneBuffers::geometryRaytrace, "GeometryRaytrace", 224000000, true},
    {&RaytraceSceneBuffers::geometryVoxel, "GeometryVoxel", 224000000, true},
    {&RaytraceSceneBuffers::voxelColors, "VoxelColorsBuffer", 67108864, true},
    {&RaytraceSceneBuffers::voxelOcclusion, "VoxelOcclusionBuffer", 67108864, true},
    {&RaytraceSceneBuffers::transformedDataLocation, "TransformedDataLocationBuffer",
     uint64_t(RAYTRACE_EXPORT_CAPACITY) * 16, true},
    {&RaytraceSceneBuffers::drawIndirectParams, "RaytracerDrawIndirectParams", 16, true},
    {&RaytraceSceneBuffers::partitioning, "RTPartitioning", 64 * 4 + kCells * 4 + kCells / 64 * 4, true},
    {&RaytraceSceneBuffers::bboxBuffer, "BBoxBuffer", 192, false},
    {&RaytraceSceneBuffers::indicesList, "GeometryIndicesList", 512000004, false},
    {&RaytraceSceneBuffers::indicesListTails, "GeometryIndicesListTails", kCells * 4, false},
};
static_assert(64 * 4 + kCells * 4 + kCells / 64 * 4 == 68157696);

struct TextureEntry {
    Texture* RaytraceSceneBuffers::*field;
    const char* name;
    ImageType type;
    SamplerType sampler;
};

constexpr TextureEntry kTextures[] = {
    {&RaytraceSceneBuffers::voxelColorTexture, "VoxelColorTexture", IMAGE_TYPE_RGBA8, SAMPLER_TRILINEAR_BORDER},
    {&RaytraceSceneBuffers::voxelOccupancyTexture, "VoxelOccupancyTexture", IMAGE_TYPE_R8, SAMPLER_TRILINEAR_BORDER},
    {&RaytraceSceneBuffers::voxelBounceColorTexture, "VoxelBounceColorTexture", IMAGE_TYPE_RGBA8,
     SAMPLER_TRILINEAR_BORDER},
    {&RaytraceSceneBuffers::partitionGridTexture, "PartitionGridTexture", IMAGE_TYPE_R32UI, SAMPLER_NONE},
};

uint64_t levelChainBytes(ImageType type)
{
    const ImageTypeInfo* info = imgTypeInfo(type);
    uint64_t bytes = 0;
    for (int level = 0; level < kGridLevels; ++level) {
        const uint64_t side = uint64_t(RAYTRACE_GRID_RESOLUTION) >> level;
        bytes += side * side * side * (info ? info->bytesPerPixel : 0);
    }
    return bytes;
}

// The GL texture of a volume from what its record keeps (side, format, levels, sampling, name); the record made by
// createVolume, or one whose GL texture ReleaseMemory deleted.
void makeVolumeStorage(Texture* texture)
{
    const Image* image = texture->images[0];
    const ImageTypeInfo* info = imgTypeInfo(image->type);
    const int side = image->width;
    const int levels = image->levelCount;
    glCreateTextures(GL_TEXTURE_3D, 1, &texture->glId);
    glTextureStorage3D(texture->glId, levels, info->internalFormat, side, side, side);
    const bool integer = image->type == IMAGE_TYPE_R32UI;
    glTextureParameteri(texture->glId, GL_TEXTURE_MIN_FILTER,
                        integer ? GLint(GL_NEAREST_MIPMAP_NEAREST) : GLint(GL_LINEAR_MIPMAP_LINEAR));
    glTextureParameteri(texture->glId, GL_TEXTURE_MAG_FILTER, integer ? GLint(GL_NEAREST) : GLint(GL_LINEAR));
    // The voxel passes fill levels 0 to 4 only; sampling stops there instead of reading levels nobody wrote.
    if (!integer)
        glTextureParameteri(texture->glId, GL_TEXTURE_MAX_LEVEL, std::min(levels, VOXEL_TEXTURE_LEVELS) - 1);
    for (GLenum wrap : {GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R})
        glTextureParameteri(texture->glId, wrap, GLint(GL_CLAMP_TO_EDGE));
    glObjectLabel(GL_TEXTURE, texture->glId, -1, texture->name.c_str());
}

// A cube volume with its whole level chain in GPU storage only; its image carries size and format but no pixels
// (the passes write it, nothing uploads it).
Texture* createVolume(const char* name, ImageType type, SamplerType sampler, int side)
{
    const ImageTypeInfo* info = imgTypeInfo(type);
    if (!info || info->internalFormat == GL_NONE || side < 1) {
        LOG_ERROR("Volume %s: no usable format or size", name ? name : "");
        return nullptr;
    }
    int levels = 1;
    while ((side >> levels) > 0)
        ++levels;
    auto* texture = new Texture;
    texture->type = TEXTURE_TYPE_3D;
    texture->imageCount = 1;
    texture->name = name ? name : "";
    texture->samplerType = sampler;
    texture->images[0] = imgCreateWithoutPixels(side, side, type, side);
    if (!texture->images[0]) {
        txtDestroy(texture);
        return nullptr;
    }
    texture->images[0]->levelCount = levels;
    texture->images[0]->glFormat = info->uploadFormat;
    makeVolumeStorage(texture);
    return texture;
}

bool warnedVolumes = false;

} // namespace

uint64_t RaytraceSceneBuffers::TotalBytes()
{
    uint64_t bytes = 0;
    for (const BufferEntry& entry : kBuffers)
        bytes += entry.size;
    for (const TextureEntry& entry : kTextures)
        bytes += levelChainBytes(entry.type);
    return bytes;
}

RaytraceSceneBuffers* RaytraceSceneBuffers::Create()
{
    auto* scene = new RaytraceSceneBuffers;
    for (const BufferEntry& entry : kBuffers) {
        BufferObject* buffer =
            entry.storage ? boCreateStorage(entry.name, entry.size) : boCreateGpuOnly(entry.name, entry.size);
        if (!buffer || buffer->glId == 0 || glGetError() == GL_OUT_OF_MEMORY) {
            LOG_ERROR("Raytracer: cannot allocate the scene buffer %s (%llu bytes)", entry.name,
                      static_cast<unsigned long long>(entry.size));
            if (buffer)
                boDelete(buffer);
            Destroy(scene);
            return nullptr;
        }
        scene->*entry.field = buffer;
    }
    // Storage buffers start undefined; the export records and the draw command are read before the first frame
    // writes them, so they start at zero.
    const GLint zero[4] = {0, 0, 0, 0};
    glClearNamedBufferData(scene->transformedDataLocation->glId, GL_RGBA32I, GL_RGBA_INTEGER, GL_INT, zero);
    glClearNamedBufferData(scene->drawIndirectParams->glId, GL_RGBA32I, GL_RGBA_INTEGER, GL_INT, zero);
    for (const TextureEntry& entry : kTextures) {
        Texture* texture = createVolume(entry.name, entry.type, entry.sampler, RAYTRACE_GRID_RESOLUTION);
        if (!texture || glGetError() == GL_OUT_OF_MEMORY) {
            LOG_ERROR("Raytracer: cannot allocate the 3D texture %s", entry.name);
            txtDestroy(texture);
            Destroy(scene);
            return nullptr;
        }
        scene->*entry.field = texture;
    }
    return scene;
}

Texture* RaytraceSceneBuffers::CreateVolume(const char* name, ImageType type, SamplerType sampler, int side)
{
    return createVolume(name, type, sampler, side);
}

void RaytraceSceneBuffers::ReleaseMemory(RaytraceSceneBuffers* scene)
{
    if (!scene)
        return;
    for (const BufferEntry& entry : kBuffers)
        boReleaseMemory(scene->*entry.field);
    // Too small to be mapped; zero again as when made.
    const GLint zero[4] = {0, 0, 0, 0};
    glClearNamedBufferData(scene->transformedDataLocation->glId, GL_RGBA32I, GL_RGBA_INTEGER, GL_INT, zero);
    glClearNamedBufferData(scene->drawIndirectParams->glId, GL_RGBA32I, GL_RGBA_INTEGER, GL_INT, zero);
    scene->raytraceFaceCount = scene->voxelizeFaceCount = scene->exportedObjectCount = 0;
    scene->partitionedObjectCount = scene->partitionedFaceCount = 0;
    // A texture cannot give its pages back, so the volumes go (0.25 GB); each record keeps what MakeVolumes needs.
    if (!boHostMemoryDriver())
        return;
    glFinish();
    for (const TextureEntry& entry : kTextures) {
        Texture* volume = scene->*entry.field;
        if (volume && volume->glId != 0) {
            glDeleteTextures(1, &volume->glId);
            volume->glId = 0;
        }
    }
    // The smaller volumes come from the heap, whose free pages the C library keeps unless asked.
    malloc_trim(0);
}

bool RaytraceSceneBuffers::MakeVolumes(RaytraceSceneBuffers* scene)
{
    if (!scene)
        return false;
    bool made = true;
    int remade = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const TextureEntry& entry : kTextures) {
        Texture* volume = scene->*entry.field;
        if (!volume || volume->glId != 0)
            continue;
        // Errors of earlier calls are logged here, not taken for this volume's.
        BO_CHECK_GL_ERRORS("volume made again");
        makeVolumeStorage(volume);
        if (glGetError() == GL_OUT_OF_MEMORY) {
            glDeleteTextures(1, &volume->glId);
            volume->glId = 0;
        }
        if (volume->glId == 0) {
            if (!warnedVolumes)
                LOG_ERROR("Raytracer: cannot make the 3D texture %s again", entry.name);
            warnedVolumes = true;
            made = false;
            continue;
        }
        ++remade;
    }
    // The driver fills them as it makes them: the cost lands on the first frame after a release.
    if (remade > 0)
        LOG_INFO("Raytracer: %d volumes made again in %.0f ms", remade,
                 std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    return made;
}

void RaytraceSceneBuffers::Destroy(RaytraceSceneBuffers* scene)
{
    if (!scene)
        return;
    for (const BufferEntry& entry : kBuffers)
        boDelete(scene->*entry.field);
    for (const TextureEntry& entry : kTextures)
        txtDestroy(scene->*entry.field);
    delete scene;
}
