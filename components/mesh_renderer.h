// The graph component that draws an existing mesh: the Object published on its "obj" input, or else the object
// resource named by "object" (a .lobj, assimp or glTF mesh). One material slot per surface; an animated glTF mesh
// is skinned at "animation time" in the Geometry pass before it is drawn. Main thread only.
#pragma once

#include "app/math_types.h"
#include "components/component_kit.h"
#include "components/primitive_renderer.h"
#include "project/resources.h"
#include "render/material_block.h"
#include "render/render_graph.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

class Camera;
class Object;
struct BufferObject;
struct InstanceBuffers;
struct MaterialProperties;

// Per-surface tables are this long; surfaces past it are neither given slots nor drawn.
constexpr int kMeshMaxSurfaces = 256;
// Slots made at creation.
constexpr int kMeshInitialSlots = 4;

class meshrendererfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<meshrendererfx>(name); }
    ~meshrendererfx() override;

    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputConnected(int32_t pinId) override;
    void OnInputDisconnected(int32_t pinId) override;
    // Slots registered again, the object resolved and the surface colours copied into the slots.
    void ResolveInputs() override;
    void Init() override;
    // One material row per drawn surface and one render item with the local transform (also without object).
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    void OnCvarChanged(Cvar* cvar) override;
    void OnInputChanged(int32_t pinId) override;
    std::vector<GeometryExportRecord*> GetGeometries() override;

    // Geometry: skinning, selection bounds and export; Deferred and Shadowmap: the surfaces.
    void Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    // The producer's object on "obj", else the object resource "object"; null when neither exists.
    Object* ResolveObject() const;
    void BuildMaterialSlots();
    void SyncSlotsFromSurfaces();
    void SyncSlotNames();
    void InjectVertexModifiers();
    Matrix GetLocalMatrix() const;

    Object* object = nullptr; // not owned

    Cvar scale;
    Cvar position;
    Cvar rotation;
    Cvar raytrace;
    Cvar reflect;
    Cvar voxelize;
    Cvar shadowCast;
    Cvar shadowReceive;
    Cvar hidden;
    Cvar objectName; // "object"
    Cvar animationTime;

    int rebuildCountdown = 0;
    std::vector<BufferObject*> vertexModifierBuffers;
    std::vector<std::unique_ptr<MaterialCvarBlock>> slots;
    CvarTreeNode* materialsBranch = nullptr;
    int materialIndex[kMeshMaxSurfaces] = {};
    uint32_t textureMask[kMeshMaxSurfaces] = {};
    bool doubleSided[kMeshMaxSurfaces] = {};
    GeometryExportRecord exportRecords[kMeshMaxSurfaces];

    InputPin* objPin = nullptr;
    InputPin* targetObjPin = nullptr;
    InputPin* instPin = nullptr;
    InputPin* vmPin = nullptr;

protected:
    explicit meshrendererfx(const std::string& name);

private:
    void RegisterSlot(size_t i);
    // The Geometry pass's export of the (skinned) surfaces into the frame's raytracing scene.
    void ExportSurfaces(Camera* camera, const Matrix& model, Timestep time);
    void DrawSurfaces(Camera* camera, const Matrix& model, Renderer::Pass pass, Timestep time);
    InstanceBuffers* LinkedInstances();
    bool ReportOnce(const std::string& key) { return reported_.insert(key).second; }
    std::unordered_set<std::string> reported_;
};

// The glTF file's default scene as components of the current graph: one scene group named after the scene and
// one mesh renderer per mesh node (depth first), each a child of the group. False when the file is refused.
bool graph_load_scene(const std::string& path);
