// Vertex modifiers: the record a modifier publishes on its "vm" output, and the injection that joins the records
// linked to a renderer into the three inline blocks of its slot materials' programs. Main thread only.
#pragma once

#include "app/math_types.h"
#include "components/component_kit.h"
#include "project/curves.h"
#include "project/resources.h"
#include "render/render_graph.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Camera;
struct BufferObject;
struct InputPin;
struct MaterialCvarBlock;

// The transform block works on object-space vertices (before the instance and model transforms) or world-space
// ones (after them).
enum VertexModifierSpace : int {
    VERTEX_MODIFIER_LOCAL = 0,
    VERTEX_MODIFIER_WORLD = 1,
};

// Payload of every "vm" output (type 16): two GLSL templates written against "{Name}" and the buffer that feeds
// the modifier's uniform block "{Name}".
struct VertexModifierResource : Resource {
    std::string transformBlock; // statements that edit `vtx_input`
    std::string paramsBlock;    // global-scope declarations: the include or struct and the block "{Name}"
    BufferObject* paramsBuffer = nullptr;
    int space = VERTEX_MODIFIER_WORLD;

    explicit VertexModifierResource(std::string name = {}) : Resource(ResourceType::VertexModifier, std::move(name)) {}
};

// The linked modifiers of one renderer, joined in link order.
struct VertexModifierBlocks {
    std::string params;
    std::string local; // transform blocks of the object-space modifiers
    std::string world; // transform blocks of the world-space modifiers
    // Entry i is bound as "VM{i}"; a link without a modifier leaves a null entry, so later names and buffers stay
    // in step.
    std::vector<BufferObject*> buffers;
};

// Link i of `pin` is named "VM{i}". Links whose producer is gone or publishes no vertex modifier add no text.
VertexModifierBlocks JoinVertexModifiers(const InputPin* pin);

// The injection step of the primitive and mesh renderers once their countdown expires: joins the links of "vm",
// hands the three blocks to the materials of the slots of the first `surfaces` surfaces (which rebuild at their
// next use) and keeps the buffers for the draws.
void InjectVertexModifiers(const InputPin* vmPin, size_t surfaces,
                           const std::vector<std::unique_ptr<MaterialCvarBlock>>& slots,
                           std::vector<BufferObject*>& buffers);

// Counts a renderer's rebuild countdown down by one Execute; true when it reaches 0 now.
bool VertexModifierCountdownExpired(int& countdown);

// ---- Noise modifier ----

// The noise modifier's uniform block "{Name}" (std140; matrices go up row-major, as they are stored).
struct VertexModifierNoiseParams {
    Matrix worldInverse;        // inverse of W, the model matrix the pass hands the modifier's render item
    Matrix world;               // W
    Matrix local;               // L: "Rotation" with "Position" as translation
    Matrix localInverse;        // inverse of L
    Matrix frame;               // W x inverse of L: the frame the modifier is placed in
    Matrix frameInverse;        // inverse of the frame
    float phase[4] = {};        // "Noise Phase 3D", "Noise Phase Time"
    float noiseScale[3] = {};
    int32_t curveRow = -1;      // of "Falloff Curve" in the curve texture; -1 when the texture had no row left
    float strength[3] = {};
    int32_t inverseFalloff = 0;
    float position[3] = {};
    int32_t relativeToModifier = 0;
    float radius[3] = {};
    int32_t displacementMode = 0; // 0 along the normal, 1 away from the volume's centre
    float noiseBase = 0.0f;
    int32_t absoluteNoise = 0;
};
static_assert(sizeof(VertexModifierNoiseParams) == 472);

extern const char* const vertexModifierDisplacementModes[];

// Displaces the vertices of the renderers it is linked to by 3D noise inside a box-shaped volume, in object space.
// It draws nothing: its render item only uploads the parameters for the pass's model matrix.
class vertexmodifiernoisefx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<vertexmodifiernoisefx>(name); }
    ~vertexmodifiernoisefx() override;

    // "Position" and "Rotation" move and turn the volume; there is no scale.
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputConnected(int32_t pinId) override;
    // The record says space 0 and carries the buffer and both templates.
    void Init() override;
    // Bakes the falloff curve once for the frame and adds the render item that uploads the parameters.
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    // Every pass: the block for the pass's model matrix goes up, and the volume is registered as selection bounds.
    void Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    Matrix GetLocalMatrix() const;
    // The block for model matrix W with this frame's curve row.
    VertexModifierNoiseParams ParamsFor(const Matrix& world) const;

    Cvar position, rotation, radius, displacementMode, falloffCurve, inverseFalloff, relativeToModifier, strength,
        noiseScale, noiseBase, noisePhase3D, noisePhaseTime, absoluteNoise;
    Curve falloff;
    int32_t curveRow = -1; // this frame's row, baked once per Execute so the passes share it
    BufferObject* paramsBuffer = nullptr;
    VertexModifierResource* record = nullptr; // payload of "vm"

protected:
    explicit vertexmodifiernoisefx(const std::string& name);
    bool CreateGpuObjects() override;

private:
    void CompleteRecord();
};
