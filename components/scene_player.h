// The graph component that renders a project's scene: objects and lights arrive on "fx", cameras on "cmr", and the
// final composite of each frame is published on "img". It is a frame root and the only component that adds the
// renderer's frame passes.
#pragma once

#include "components/component_kit.h"
#include "project/resources.h"
#include "render/deferred_composite.h"
#include "render/render_graph.h"

#include <string>

class Camera;
class CameraController;
struct Framebuffer;
struct Material;
struct Scene;
struct Texture;

// What the scene player asks of the raytracer and voxelizer components; they install these. A null hook skips
// its step, so a project without those components renders without voxel work.
struct ScenePlayerVoxelHooks {
    void (*partitionGeometry)(EngineComponent* raytracer, RaytraceSceneBuffers* scene, Timestep time) = nullptr;
    void (*renderPartitioning)(EngineComponent* voxelizer, RaytraceSceneBuffers* scene, Timestep time) = nullptr;
    void (*renderDebug)(EngineComponent* voxelizer, Camera* camera, RaytraceSceneBuffers* scene) = nullptr;
    // Tells the voxelizer the row of the frame's material table reserved for it.
    void (*setMaterialIndex)(EngineComponent* voxelizer, int row) = nullptr;
    // Shows the text as the raytracer's read-only "info".
    void (*setStatus)(EngineComponent* raytracer, const char* text) = nullptr;
};
extern ScenePlayerVoxelHooks scenePlayerVoxelHooks;

class sceneplayerfx : public KitComponent {
public:
    // The function entries of the frame, in the order AddRenderPasses appends them.
    enum FunctionPass : int {
        FP_RENDER_BEGIN = 0,
        FP_GEOMETRY_PARTITION,
        FP_VOXELIZATION,
        FP_VOXEL_LIGHTING,
        FP_VOLUMETRIC_FOG,
        FP_VOXELIZATION_DEBUG,
        FP_LIGHTING,
        FP_RENDER_END,
        FP_RENDER_WIREFRAME,
        FP_COMPOSITE,
        FP_COUNT,
    };

    static EngineComponent* Create(const std::string& name);
    // Takes ownership of the scene, which must hold at least one camera.
    static sceneplayerfx* CreateWithScene(const std::string& name, Scene* scene);
    ~sceneplayerfx() override;

    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputConnected(int32_t) override { Init(); }
    void OnInputDisconnected(int32_t) override { Init(); }
    void Init() override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    void AddRenderPasses(RenderItemBuilder& builder, std::vector<RenderPassItem>& passes) override;
    void OnInputChanged(int32_t) override { Init(); }
    bool IsDependencyOnly() override { return false; }
    // The selected components' outlines, seen by the camera, into the current framebuffer ("fbWireframe"); nothing
    // when "BBox" is "None". True when any outline was drawn (the composite then reads the target).
    bool RenderWireframes(Camera* camera);

    // The frame's shadow maps and the renderer's light and material tables; Execute calls it once the scene, the
    // controller and the shadow matrices are up to date.
    void PrepareFrame();

    // Voxelizer and raytracer of the current project, looked up on use: a deleted one is never reached.
    EngineComponent* FindVoxelizer() const;
    EngineComponent* FindRaytracer() const;

    // The voxelizer's lighting words as the last Voxelization pass latched them; the voxelized flag is cleared at
    // the start of every such pass. Until the first one they hold the voxelizer's starting words.
    VoxelLightingSettings voxelSettings{1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 20.0f, 4096.0f, 1.0f, 100.0f, 3.5f, 1u};
    // The settings handed to the voxel lighting and fog passes: the latched words with this player's fog values.
    VoxelLightingSettings HandedVoxelSettings() const;
    // What Composite hands the renderer.
    DeferredCompositeParams CompositeParams() const;

    int frameCounter = 0;
    Material* material = nullptr;
    Scene* scene = nullptr;
    Camera* ownCamera = nullptr;
    Texture* compositeTextures[2] = {};
    Framebuffer* compositeFramebuffer = nullptr;

    Cvar fov, cameraIdx, nearPlane, farPlane, time;
    Cvar ambient, fill, fogColor, fogRange, fogHeight, fogHeightDensity;
    Cvar envmap, envmapIntensity, shadowSplit;
    Cvar ssrEnabled, ssrDepthThickness, ssrStrength;
    Cvar ssaoEnabled, ssaoIntensity, ssaoBias, ssaoRadius;
    Cvar vxOcclusionStrength, vxIlluminationStrength;
    Cvar fogStrength, fogIntensity, fogScattering, fogSamplingMip, fogTraceStep;
    Cvar taaBlendFactor, taaClampGamma;

    bool ownsController = true;
    CameraController* controller = nullptr;
    InputPin* fxPin = nullptr;
    InputPin* cmrPin = nullptr;
    OutputPin* imgPin = nullptr;
    ImageResource* imageOutput = nullptr;

    // Each scene player's own, so a second player's callbacks never run for the first.
    RenderFunctionItem passItems[FP_COUNT];

protected:
    explicit sceneplayerfx(const std::string& name);
    // The built-in objects, the composite framebuffer and its two textures.
    bool CreateGpuObjects() override;

private:
    // Payloads of the linked outputs as the last Init saw them, "fx" links first, then "cmr".
    struct SeenLink {
        int32_t id;
        const Resource* payload;
        const void* entity; // the light, object or camera the payload carried
    };
    std::vector<SeenLink> seenLinks;

    void BindPassItems();
    // True when a linked output vanished or now carries another payload since the last Init (a deleted camera
    // or light component): the scene would otherwise keep pointers into freed components.
    bool LinksChanged() const;
    void RenderBegin(Camera* camera);
    void GeometryPartition(Timestep time);
    void Voxelization(Timestep time);
    void VoxelLighting();
    void VolumetricFog();
    void VoxelizationDebug(Camera* camera);
    void Lighting();
    void RenderEnd();
    void RenderWireframePass();
    void Composite();
};

// The scene player whose Init ran last; null before any, and again once it is deleted.
extern sceneplayerfx* currentScenePlayer;

class Object;
// The outline a bounds entry draws, by kind, and the matrix applied to it before the entry's world matrix.
void selectionOutlineShape(int kind, const float box[6], Object** object, Matrix* shape);
