// The voxelizer: a frame root that places the voxel grid (a box from "Position" and "Scale", or the exported
// scene's own bounds), renders the exported triangles into the scene buffers' voxel grid, turns that into the
// filtered voxel textures the voxel lighting and fog read, and draws the grid as cubes for debugging. The scene
// player calls its routines from its Voxelization and VoxelizationDebug passes.
#pragma once

#include "components/component_kit.h"
#include "jni/engine/grd_scene_buffers.h"
#include "render/render_graph.h"

#include <string>

class Camera;
struct BufferObject;
struct Framebuffer;
struct Material;
struct ShaderProgram;
struct Texture;

// The compute programs shared by every voxelizer.
struct VoxelizerPrograms {
    ShaderProgram* copy = nullptr;   // voxel buffers into texture levels 0-2, emptying the buffers
    ShaderProgram* mips = nullptr;   // levels 3 and 4 from level 2
    ShaderProgram* bounce = nullptr; // one light bounce into the bounce texture (debug view)
};
extern VoxelizerPrograms voxelizerPrograms;

// What the copy, mip and bounce passes work on: the scene buffers' 256^3 grid, or a smaller one. The buffers hold
// resolution^3 words, the textures are cubes of that side with at least VOXEL_TEXTURE_LEVELS levels.
struct VoxelVolumes {
    BufferObject* colors = nullptr;
    BufferObject* occlusion = nullptr;
    Texture* colorTexture = nullptr;
    Texture* occupancyTexture = nullptr;
    int resolution = 0; // a multiple of 16
};
VoxelVolumes voxelVolumesOf(const RaytraceSceneBuffers* scene);

// Each is one dispatch; false (after a log line for bad volumes) when nothing was dispatched.
bool voxelizerCopyToTextures(const VoxelVolumes& volumes);
bool voxelizerBuildMips(const VoxelVolumes& volumes);
bool voxelizerBounce(const VoxelVolumes& volumes, Texture* bounceTexture, float strength);

class voxelizationfx : public KitComponent {
public:
    // Null while the shared copy or bounce program cannot be built (the next call tries again).
    static EngineComponent* Create(const std::string& name);
    // Builds the three programs; false while the copy or bounce program is missing.
    static bool InitPrograms();

    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    bool IsDependencyOnly() override { return false; }

    // The box as the scene buffers take it: minimum and maximum corner.
    void Box(float (&min)[3], float (&max)[3]) const;
    // Scale on the diagonal, Position as translation.
    Matrix BoxMatrix() const;
    void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    // The exported triangles into the voxel grid, then the voxel textures and their levels.
    void RenderPartitioning(RaytraceSceneBuffers* scene, Timestep time);
    // The grid as one cube per voxel into the current framebuffer; nothing below "render_debug" 1.
    void RenderDebug(Camera* camera, RaytraceSceneBuffers* scene);

    Material* partitioningMaterial = nullptr;
    Material* visualizeMaterial = nullptr;
    Framebuffer* framebuffer = nullptr; // "voxelization", 256 x 256, no attachments

    Cvar position, scale, automaticBoundingBox, materialRaytrace, lightSmoothingPositionFactor,
        lightSmoothingNormalFactor, lightSmoothingColorFactor, lightFalloff, occlusionFalloff,
        lightTraceDistanceScale, traceMaxRange, reprojectionTolerance, renderDebug, renderDebugBounce, enabled;
    // The row of the frame's material table the scene player reserves for the debug view.
    int materialIndex = 0;

    ~voxelizationfx() override;

protected:
    explicit voxelizationfx(const std::string& name);
    bool CreateGpuObjects() override;

private:
    bool warnedConservative_ = false;
    bool warnedNoScene_ = false;
};

// Points the scene player's voxelizer hooks at this class; CreateGpuObjects calls it.
void voxelizerInstallHooks();
