// The raytracer: a frame root that owns the scene buffers the renderers export their triangles into, builds the
// partition grid over them each frame and traces reflections against it into the deferred raytrace target.
#pragma once

#include "components/component_kit.h"
#include "jni/engine/grd_scene_buffers.h"
#include "jni/engine/grd_shader_bindings.h"
#include "project/components.h"
#include "render/render_graph.h"

#include <string>
#include <vector>

class Camera;
class Object;
struct BufferObject;
struct Framebuffer;
struct GeometrySurface;
struct Material;
struct MaterialProperties;
struct ShaderProgram;
struct Texture;

// The compute programs shared by every raytracer, built by raytracerfx::InitPrograms.
struct RaytracerPrograms {
    ShaderProgram* boundingBox = nullptr;
    ShaderProgram* transform = nullptr;
    ShaderProgram* partitionFirst = nullptr;  // PASS_1: empties the grid
    ShaderProgram* partitionSecond = nullptr; // PASS_2: inserts the faces by compute
};
extern RaytracerPrograms raytracerPrograms;
extern bool raytracerProgramsReady;

// Process-wide, made by the first raytracer and kept until the process ends.
extern RaytraceSceneBuffers* sharedRaytraceSceneBuffers;
extern Texture* raytraceFresnelTexture;     // "raytrace_fresnel", output size, RGBA16F
extern Texture* primitiveIdTagMaskTexture;  // "{first raytracer}:PrimitiveIDTagMask", output size, RG32UI

// "RTSetupBuffer" of the trace programs, 180 bytes.
struct RTSetupBuffer {
    Matrix projection;
    Matrix world;           // camera to world
    float position[3] = {};
    float reserved = 0.0f;
    float fov[4] = {};      // 2 tan(fov / 2) x 16/9, 2 tan(fov / 2), 0, 0
    float nearFar[4] = {};  // near, far, 2 near far, far - near
    float traceRange = 0.0f;
};
static_assert(sizeof(RTSetupBuffer) == 180);
RTSetupBuffer raytracerSetupFor(const Camera& camera, float traceRange);

class raytracerfx : public KitComponent {
public:
    // Null when the shared compute programs cannot be built or the scene buffers cannot be allocated.
    static EngineComponent* Create(const std::string& name);
    // Builds the four compute programs once; false (retried by the next call) while any is missing.
    static bool InitPrograms();

    void Init() override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    bool IsDependencyOnly() override { return false; }

    // The render item's callback: the proxy step, the grid view and the traced reflections.
    void Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);
    // Points sceneBuffers at the process's shared record, allocating it on the first call; false (after one log
    // line) when it cannot be allocated.
    bool AcquireSceneBuffers();
    // The status line the scene player writes each frame; shown read-only as "info".
    void SetInfo(const std::string& text);

    Material* proxyMaterial = nullptr;
    Material* reflectionMaterial = nullptr;      // drawn as "RTReflections"
    Material* glassReflectionMaterial = nullptr; // drawn as "RT"
    Material* gridVisualizeMaterial = nullptr;
    Material* partitionMaterial = nullptr;
    Framebuffer* partitionFramebuffer = nullptr; // "raytracer_partitioning", 256 x 256, no attachments
    Framebuffer* raytraceFramebuffer = nullptr;  // "raytracer_raytrace", slots set by each pass
    Framebuffer* fresnelFramebuffer = nullptr;   // "raytracer_fresnel"
    RaytraceSceneBuffers* sceneBuffers = nullptr; // the shared record, not owned; null until first needed

    Cvar scale, rotation, materialRaytrace, materialProxy, gridSize, traceRange, reflections, transparencies, envmap,
        halfRate;
    std::string envmapName;
    Cvar info, renderDebug, renderDebugBounce, voxelizationMethod, enabled;

    ~raytracerfx() override;

    bool warnedConservative = false; // the driver's lack of conservative rasterisation was reported

protected:
    explicit raytracerfx(const std::string& name);
    bool CreateGpuObjects() override;

private:
    Texture* EnvironmentTexture();
    void ProxyStep(Camera* camera, Renderer::Pass pass, Timestep time, bool& stop);
    void GridVisualisation(Camera* camera, Renderer::Pass pass, Timestep time, bool& stop);
    void Reflections(Camera* camera, Timestep time);

    std::vector<Material*> retired_; // materials Init replaced
};

// Exports one drawn surface into the frame's scene buffers with the material's geometry-pass program (whose
// geometry stage writes the world-space triangles). `bindings` are the caller's for the draw; `instanceCount`
// is the caller's instance count (1 without instances). Surfaces past the buffers' room are skipped with a
// warning: the record then has both bases -1 and the counters stay.
GeometryExportRecord raytracerfxTransformGeometryBufferCustomShader(ShaderProgram* program, BufferBindings& bindings,
                                                                    Object* object, GeometrySurface* surface,
                                                                    RaytraceSceneBuffers* scene, int materialIndex,
                                                                    const MaterialProperties* material,
                                                                    uint32_t instanceCount);

// Bounding boxes and the partition grid of the frame's exports (the scene player's partition step).
void raytracerfxPartitionGeometryBuffer(raytracerfx* raytracer, RaytraceSceneBuffers* scene, const Timestep& time);

// True when the driver rasterises conservatively (GL_NV_conservative_raster).
bool raytracerHasConservativeRaster();

// Draw helpers the voxelizer shares: the exported-vertex layout as the "{prefix}_vtx_data_*" uniforms the program
// has; a vertex array without attributes for draws that pull vertices from storage buffers; the release of the
// program's storage-block binding points after a draw.
void raytracerSetVertexLayout(ShaderProgram* program, const char* prefix);
unsigned int raytracerEmptyVertexArray();
void raytracerUnbindStorageBlocks(ShaderProgram* program);

// Points the renderer's and the scene player's raytracer seams at this class; Create calls it.
void raytracerInstallHooks();
