// The graph component that generates a procedural shape (torus, cube, bevelled cube, plane), keeps it as a scene
// Object published on "obj", and draws it through the deferred renderer with one material slot per surface.
// Instances arrive on "inst", vertex modifiers on "vm". It draws only while a Null or Scene Group holds it (its
// "entity" output linked to their "child" input). Main thread only.
#pragma once

#include "app/math_types.h"
#include "components/component_kit.h"
#include "jni/engine/grd_shader_bindings.h"
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
struct Geometry;
struct GeometrySurface;
struct InstanceBuffers;
struct MaterialProperties;
struct ShaderProgram;

// The per-draw block "TransformParamsBuffer" (std140, read row-major, so each Matrix goes up as it is stored).
struct TransformParams {
    Matrix model;                 // M, as the pass hands it to the draw
    Matrix view;                  // V of the pass camera
    Matrix modelInvTranspose;     // transpose of M's affine inverse
    Matrix modelView;             // V x M
    Matrix modelViewInvTranspose; // transpose of the rigid inverse of V x M
    Matrix projection;            // of the pass camera
    Matrix modelInv;              // M's affine inverse
    float cameraPosition[3] = {0.0f, 0.0f, 0.0f};
    float reserved = 0.0f;        // the shaders do not read it; kept 0 so uploads are deterministic
};
static_assert(sizeof(TransformParams) == 464);

// The block for a draw of model matrix M seen by the camera.
TransformParams transformParamsFor(const Camera& camera, const Matrix& model);
// Inverse of a rotation plus translation: the 3 x 3 part transposed, translation -R^T t, last row (0, 0, 0, 1).
Matrix rigidInverse(const Matrix& m);

// What one surface draw of the primitive or mesh renderer binds besides its program.
struct SurfaceDraw {
    Geometry* geometry = nullptr;
    InstanceBuffers* instances = nullptr;                  // null: one instance
    const std::vector<BufferObject*>* modifiers = nullptr; // bound as "VM{i}"
    const TransformParams* transform = nullptr;
    int materialRow = 0;
};

// The indices a surface draws: 3 x its triangles when it is drawn at all and its index buffer holds them, else 0.
uint64_t surfaceIndexCount(const GeometrySurface* surface);
// Uses the program, binds the frame's global inputs and "materialIndex", and fills `bindings` with the geometry,
// instances, modifiers and transform block. False when the program cannot be used.
bool surfaceDrawBind(ShaderProgram* program, const SurfaceDraw& draw, Timestep time, BufferBindings& bindings);
// Draws surface `index` of the geometry with the bound program: through the geometry's indirect command of that
// surface when its buffer holds one, else `instanceCount` instances of all its indices.
void surfaceDrawElements(ShaderProgram* program, const SurfaceDraw& draw, BufferBindings& bindings, size_t index,
                         uint64_t instanceCount);
// The Geometry pass's export of a renderer's surfaces into the frame's raytracing scene. Every one of the
// `recordCount` records is reset first; a drawable surface whose material row asks for tracing, reflection or
// voxelization is then exported with its slot's geometry-pass program.
void surfacesExport(Object* object, const std::vector<std::unique_ptr<MaterialCvarBlock>>& slots,
                    const int* materialIndex, GeometryExportRecord* records, size_t recordCount,
                    const SurfaceDraw& draw, Timestep time);

// The parameter block that a material resource (type 17, published by a material node) carries; a slot whose
// "Material Override" names such a record draws with that block. Installed by the material node component; while
// it is null every slot draws with its own parameters.
extern const MaterialCvarBlock* (*materialResourceBlock)(Resource* material);

// Per-surface arrays are this long; surfaces past it are not drawn.
constexpr int kPrimitiveMaxSurfaces = 32;
// Slots made at creation (the shapes have at most two surfaces).
constexpr int kPrimitiveSlotCount = 16;
// Executes between a "vm" or shader change and the program rebuild.
constexpr int kPrimitiveRebuildDelay = 50;

class primitivefx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<primitivefx>(name); }
    ~primitivefx() override;

    // "position", "rotation", "scale".
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputConnected(int32_t pinId) override;
    void OnInputDisconnected(int32_t pinId) override;
    // Rebuilds the shape from the stored values, hands every slot's "shader" to its material and arms the
    // vertex-modifier injection for the first Execute.
    void Init() override;
    // Nothing without a parent. Otherwise one material row per drawn surface, then one render item with the local
    // transform.
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    // Shape parameters rebuild the geometry and tell the consumers of "obj"; a slot's "shader" or "Material
    // Override" is handed to the slot's material and arms the countdown.
    void OnCvarChanged(Cvar* cvar) override;
    // "vm": logs the rebuild and arms the countdown; "inst" is read at every draw.
    void OnInputChanged(int32_t pinId) override;
    // The export records whose raytracing or voxelization base is set, in surface order.
    std::vector<GeometryExportRecord*> GetGeometries() override;

    // The render item's callback: Deferred and Shadowmap draw the surfaces, Geometry registers the selection
    // bounds and exports for the raytracer.
    void Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);
    // The shape the parameters ask for (owned by the caller); null after a log line when it would be too large.
    Geometry* CreateGeometry() const;
    // Counts the countdown down once per Execute; at 0 the slot materials take their override sources again and
    // the blocks of the modifiers linked to "vm" (their buffers are bound at every draw from then on).
    void InjectVertexModifiers();

    // Makes the slots (16 on first use) with their own materials and branches "Material {i}".
    void BuildMaterialSlots();
    // Colours, transparency and roughness of the surfaces into their slots (creation only), then SyncSlotNames.
    void SyncSlotsFromSurfaces();
    // Slots of existing surfaces are shown and saved under the surface's name; the others are hidden.
    void SyncSlotNames();
    // The geometry for the current parameters replaces the Object's (the old one is freed).
    void RebuildGeometry();
    // Takes ownership of the geometry (null allowed), frees the previous one, recomputes the bounds and slot names.
    void ReplaceGeometry(Geometry* geometry);

    // Translation("position") x rotation("rotation", Ry x Rx x Rz) x scale("scale").
    Matrix GetLocalMatrix() const;
    // "raytrace", "voxelize", "reflect", "shadow cast" and "shadow receive" into a surface's material row.
    void WriteSurfaceFlags(MaterialProperties& record) const;
    // The block slot i draws with: the one its "Material Override" names when that is a material record, else the
    // slot itself; null past the slots. `report`: a name of another resource type is logged by the store.
    const MaterialCvarBlock* SourceBlock(size_t slot, bool report) const;
    // The instance set of the first "inst" link; null without a link or when the linked payload is not an
    // instance set (logged once per link).
    InstanceBuffers* LinkedInstances();

    FileResource* output = nullptr; // payload of "obj"
    Object* object = nullptr;       // owns its geometry through this component

    // In memory order; registered in the parameter table's order.
    Cvar subdivisions1;
    Cvar subdivisions2;
    Cvar radius1;
    Cvar radius2;
    Cvar bevelSize;
    Cvar scale;
    Cvar position;
    Cvar rotation;
    Cvar raytrace;
    Cvar reflect;
    Cvar voxelize;
    Cvar shadowCast;
    Cvar shadowReceive;
    Cvar hidden; // stored and shown; nothing in this component reads it
    Cvar type;

    int rebuildCountdown = 0;                        // 0 idle; counts Executes down to the injection
    std::vector<BufferObject*> vertexModifierBuffers; // entry i bound as "VM{i}", from the last injection
    std::vector<std::unique_ptr<MaterialCvarBlock>> slots; // pointers stay put: the tree holds their cvars
    CvarTreeNode* materialsBranch = nullptr;
    int materialIndex[kPrimitiveMaxSurfaces] = {};   // this frame's material row of each surface
    uint32_t textureMask[kPrimitiveMaxSurfaces] = {}; // the textures of that row (materialTextureMask)
    GeometryExportRecord exportRecords[kPrimitiveMaxSurfaces];

    InputPin* targetObjPin = nullptr; // declared and saved; nothing reads it
    InputPin* instPin = nullptr;
    InputPin* vmPin = nullptr;

protected:
    // The parameters, pins and material slots; the shape's geometry is made by CreateGpuObjects.
    explicit primitivefx(const std::string& name);
    // The shape the stored parameters ask for, and the slot colours of its surfaces.
    bool CreateGpuObjects() override;

private:
    // Creates slot i's material and registers it under "Material {i}".
    void RegisterSlot(size_t i);
    // The Geometry pass's export of the surfaces into the frame's raytracing scene (only while there is one).
    void ExportSurfaces(Camera* camera, const Matrix& model, Timestep time);
    // Draws every drawable surface with the program of the pass.
    void DrawSurfaces(Camera* camera, const Matrix& model, Renderer::Pass pass, Timestep time);

    // Puts the geometry into the Object (freeing the old one) and recomputes the bounds.
    void InstallGeometry(Geometry* geometry);
    // True the first time a fault of this kind is met since the geometry last changed.
    bool ReportOnce(const std::string& key);

    int32_t reportedInstLink_ = 0; // the "inst" link last reported as not an instance set
    std::unordered_set<std::string> reported_;
};
