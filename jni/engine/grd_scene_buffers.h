// The raytracer's scene buffers: the frame's exported world-space geometry, the partition grid over it and the
// voxel grid. One record per process, allocated once at fixed sizes (about 1.5 GB) and never resized; the
// layouts the shaders read are in assets/shaders/materials/raytrace_buffers.glsl. Main thread only.
#pragma once

#include "jni/engine/grd_texture.h"

#include <cstdint>

struct BufferObject;
struct Texture;

// Exported vertices per geometry buffer (structure of arrays: 3 position, 2 normal, 2 uv, 1 material floats).
constexpr uint32_t RAYTRACE_VERTEX_CAPACITY = 7000000;
// Exports (16-byte records) per frame in "TransformedDataLocationBuffer".
constexpr uint32_t RAYTRACE_EXPORT_CAPACITY = 8192;
// Cells per side of the partition and voxel grids.
constexpr int RAYTRACE_GRID_RESOLUTION = 256;
// Levels of the voxel colour, occupancy and bounce textures the voxelizer fills (256 down to 16 per side).
constexpr int VOXEL_TEXTURE_LEVELS = 5;

// Float offsets of the exported-vertex attributes and their strides, handed to every writer and reader.
struct RaytraceVertexLayout {
    int coordStride = 3, normalStride = 2, uv0Stride = 2, materialStride = 1;
    int coordOffset = 0, normalOffset = 21000000, uv0Offset = 35000000, materialOffset = 49000000;
};
constexpr RaytraceVertexLayout kRaytraceVertexLayout{};

struct RaytraceSceneBuffers {
    uint32_t raytraceFaceCount = 0;   // faces exported for tracing this frame
    uint32_t voxelizeFaceCount = 0;   // faces exported for voxelization this frame
    uint32_t exportedObjectCount = 0; // exports this frame, one per drawn surface
    // The two counters as the last partition found them (the status line reads them before the exports).
    uint32_t partitionedObjectCount = 0;
    uint32_t partitionedFaceCount = 0;

    BufferObject* bboxBuffer = nullptr;              // "BBoxBuffer"
    BufferObject* geometryRaytrace = nullptr;        // "GeometryRaytrace"
    BufferObject* geometryVoxel = nullptr;           // "GeometryVoxel"
    BufferObject* partitioning = nullptr;            // "RTPartitioning", bound as "BucketData"
    BufferObject* voxelColors = nullptr;             // "VoxelColorsBuffer"
    BufferObject* voxelOcclusion = nullptr;          // "VoxelOcclusionBuffer"
    BufferObject* indicesList = nullptr;             // "GeometryIndicesList"
    BufferObject* indicesListTails = nullptr;        // "GeometryIndicesListTails"
    BufferObject* transformedDataLocation = nullptr; // "TransformedDataLocationBuffer"
    BufferObject* drawIndirectParams = nullptr;      // "RaytracerDrawIndirectParams"

    Texture* partitionGridTexture = nullptr;    // R32UI cell markers, levels 0 and 2 used
    Texture* voxelColorTexture = nullptr;       // RGBA8
    Texture* voxelOccupancyTexture = nullptr;   // R8
    Texture* voxelBounceColorTexture = nullptr; // RGBA8

    float raytraceGridMin[3] = {-0.5f, -0.5f, -0.5f};
    float raytraceGridMax[3] = {-0.5f, -0.5f, -0.5f};
    float voxelGridMin[3] = {-0.5f, -0.5f, -0.5f};
    float voxelGridMax[3] = {-0.5f, -0.5f, -0.5f};
    bool raytraceGridAutoBounds = true;
    bool voxelGridAutoBounds = true;

    // Allocates every buffer and texture; null after a log line when one of them cannot be made (the ones made
    // are freed again).
    static RaytraceSceneBuffers* Create();
    // A cube volume of `side` texels with its whole level chain, as the record's textures are made (tests make
    // smaller ones); null after a log line when it cannot be made.
    static Texture* CreateVolume(const char* name, ImageType type, SamplerType sampler, int side);
    // Between uses (after the start-up warm-up): buffers with mapped stores (boReleaseMemory) give back what the
    // frames wrote and read zero again, as when made, and so do the export records and the draw command; other
    // buffers keep their contents, as between two frames. The counters go back to zero. On drivers that keep
    // textures in host memory (boHostMemoryDriver) the volumes' GL textures are deleted too: their Texture records
    // stay, with glId 0, until MakeVolumes. The next frame rebuilds what it reads.
    static void ReleaseMemory(RaytraceSceneBuffers* scene);
    // Before a frame uses the record: gives released volumes a new GL texture of the same size, format, levels,
    // sampling parameters and label (contents undefined, as when made; the passes write them). True when every
    // volume has its texture; false for null or after a log line (once per process) when one cannot be made.
    static bool MakeVolumes(RaytraceSceneBuffers* scene);
    // Frees the GL objects (process shutdown).
    static void Destroy(RaytraceSceneBuffers* scene);

    // Bytes of GPU memory the record holds.
    static uint64_t TotalBytes();
};
