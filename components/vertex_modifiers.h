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

// ---- Modifiers placed as a volume ----

// The six matrices that open the block of every volume modifier (std140; they go up row-major, as stored).
struct VertexModifierFrames {
    Matrix worldInverse; // inverse of W, the model matrix the pass hands the modifier's render item
    Matrix world;        // W
    Matrix local;        // L: "Rotation" with "Position" as translation
    Matrix localInverse; // inverse of L
    Matrix frame;        // W x inverse of L: the frame the modifier is placed in
    Matrix frameInverse; // inverse of the frame
};
static_assert(sizeof(VertexModifierFrames) == 384);

// What every modifier component shares: the record on its "vm" output (created by the constructor, named
// "{className}/{name}") and the parameter buffer, sized for the block's std140 size.
class VertexModifierComponent : public KitComponent {
public:
    ~VertexModifierComponent() override;

    void OnInputConnected(int32_t pinId) override;

    BufferObject* paramsBuffer = nullptr;
    VertexModifierResource* record = nullptr; // payload of "vm"

protected:
    VertexModifierComponent(int32_t typeIndex, const std::string& name, const char* className,
                            const char* paramsTemplate, const char* transformTemplate, uint32_t blockBytes);
    bool CreateGpuObjects() override;
    // Writes the block to the buffer (its host copy and the GL buffer); ignored without a buffer.
    void Upload(const std::vector<uint8_t>& block);
    // The record carries the buffer, both templates and `space`.
    void CompleteRecord(int space);

private:
    const char* paramsTemplate_;
    const char* transformTemplate_;
    uint32_t blockBytes_;
};

// A modifier placed as a box volume by "Position", "Rotation" and "Radius" (registered first, in that order), with
// a falloff curve. It draws nothing: once per frame it bakes the curve and adds a render item whose callback, in
// every pass, uploads the block for that pass's model matrix and registers the volume as selection bounds.
class VolumeVertexModifier : public VertexModifierComponent {
public:
    // The record says space 0 and carries the buffer and both templates.
    void Init() override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    void Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    Matrix GetLocalMatrix() const;
    VertexModifierFrames FramesFor(const Matrix& world) const;

    Cvar position, rotation, radius;
    Cvar scale; // "Scale" (Vec2) between "Rotation" and "Radius", registered only by modifiers that map a texture
    Curve falloff;
    int32_t curveRow = -1; // this frame's row, baked once per Execute so the passes share it

protected:
    // Registers "Position", "Rotation", "Scale" when `withScale`, and "Radius"; the subclass registers the rest and
    // closes the branch.
    VolumeVertexModifier(int32_t typeIndex, const std::string& name, const char* className,
                         const char* paramsTemplate, const char* transformTemplate, uint32_t blockBytes,
                         bool withScale = false);
    // The block for model matrix W (blockBytes long).
    virtual std::vector<uint8_t> BlockFor(const Matrix& world) const = 0;
};

// ---- Noise modifier ----

// The noise modifier's uniform block "{Name}".
struct VertexModifierNoiseParams {
    VertexModifierFrames frames;
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

// Displaces the vertices of the renderers it is linked to by 3D noise inside its volume, in object space.
class vertexmodifiernoisefx : public VolumeVertexModifier {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<vertexmodifiernoisefx>(name); }

    // "Position" and "Rotation" move and turn the volume; there is no scale.
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    // The block for model matrix W with this frame's curve row.
    VertexModifierNoiseParams ParamsFor(const Matrix& world) const;

    Cvar displacementMode, falloffCurve, inverseFalloff, relativeToModifier, strength, noiseScale, noiseBase,
        noisePhase3D, noisePhaseTime, absoluteNoise;

protected:
    explicit vertexmodifiernoisefx(const std::string& name);
    std::vector<uint8_t> BlockFor(const Matrix& world) const override;
};

// ---- Twist modifier ----

// The twist modifier's uniform block "{Name}".
struct VertexModifierTwistParams {
    VertexModifierFrames frames;
    float axis[3] = {};        // "Twist Axis"
    float angle = 0.0f;        // "Angle" in radians per unit along the axis
    float position[3] = {};
    int32_t blendMode = 0;     // 0 the falloff scales the angle, 1 it blends plain and twisted positions
    float radius[3] = {};
    int32_t curveRow = -1;
    int32_t inverseFalloff = 0;
};
static_assert(sizeof(VertexModifierTwistParams) == 436);

extern const char* const vertexModifierTwistBlendModes[];

// Turns the vertices inside its volume about "Twist Axis" by "Angle" per unit along it, in object space.
class vertexmodifiertwistfx : public VolumeVertexModifier {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<vertexmodifiertwistfx>(name); }

    // "Position" moves the volume and "Radius" sizes it; no rotation.
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    VertexModifierTwistParams ParamsFor(const Matrix& world) const;

    Cvar blendMode, falloffCurve, inverseFalloff, twistAxis, angle;

protected:
    explicit vertexmodifiertwistfx(const std::string& name);
    std::vector<uint8_t> BlockFor(const Matrix& world) const override;
};

// ---- Displace modifier ----

// The displace modifier's uniform block "{Name}" (std140).
struct VertexModifierDisplaceParams {
    int32_t materialIndex = 0; // material-table row whose albedo texture is "Texture", this frame only
    float normalScale = 1.0f;
    float pad[2] = {};
    float strength[3] = {};
};
static_assert(sizeof(VertexModifierDisplaceParams) == 28);

// Moves world-space vertices along their normals by the red channel of "Texture" at their first coordinates.
class vertexmodifierdisplacefx : public VertexModifierComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<vertexmodifierdisplacefx>(name); }

    void Init() override;
    // Finds the texture, gives it a material-table row and uploads the block.
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    Cvar strength, normalScale, texture;
    VertexModifierDisplaceParams params; // as last uploaded

protected:
    explicit vertexmodifierdisplacefx(const std::string& name);
};

// ---- UV modifier ----

// The UV modifier's uniform block "{Name}" (std140).
struct VertexModifierUVParams {
    Matrix transform;         // applied to (u, v, 0, 1)
    uint8_t override[4] = {}; // a GLSL bool: byte 0 is 0 or 1
    int32_t overridePlane = 0; // 0 X-Y, 1 Y-Z, 2 X-Z
};
static_assert(sizeof(VertexModifierUVParams) == 72);

extern const char* const vertexModifierUVStages[];
extern const char* const vertexModifierUVPlanes[];

// Transforms the first texture coordinates, optionally taken from the vertex position first, in the space
// "Stage" names.
class vertexmodifieruvfx : public VertexModifierComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<vertexmodifieruvfx>(name); }

    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void Init() override;
    // Every change sets the record's space; a new "Stage" makes the renderers rebuild.
    void OnCvarChanged(Cvar* cvar) override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    void Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    VertexModifierUVParams Params() const;
    Matrix GetLocalMatrix() const;

    Cvar position, stage, shift, scale, rotation, overrideOriginal, overridePlane;

protected:
    explicit vertexmodifieruvfx(const std::string& name);
};

// ---- Texture-displace modifier ----

// The texture-displace modifier's uniform block "{Name}".
struct VertexModifierTextureDisplaceParams {
    VertexModifierFrames frames;
    float strength[3] = {};
    float noiseBase = 0.0f;
    float scale[3] = {};         // "Scale" x, y, 0
    int32_t inverseFalloff = 0;
    float position[3] = {};
    int32_t displacementMode = 0;
    float radius[3] = {};
    int32_t absoluteValue = 0;
    int32_t curveRow = -1;
    int32_t materialIndex = 0;   // material-table row whose albedo texture is "Texture", this frame only
    int32_t radialMapping = 0;
    int32_t unused = 0;
};
static_assert(sizeof(VertexModifierTextureDisplaceParams) == 464);

extern const char* const vertexModifierTextureClampModes[];

// Displaces the vertices inside its volume by the red channel of "Texture", in object space.
class vertexmodifiertexturedisplacefx : public VolumeVertexModifier {
public:
    static EngineComponent* Create(const std::string& name)
    {
        return CreateComponent<vertexmodifiertexturedisplacefx>(name);
    }

    // "Position" and "Rotation" place the volume; no scale.
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    // Gives the texture a material-table row for this frame, then adds the render item.
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    VertexModifierTextureDisplaceParams ParamsFor(const Matrix& world) const;

    Cvar displacementMode, textureClampMode, falloffCurve, inverseFalloff, strength, noiseBase, absoluteValue,
        radialMapping, texture;
    int32_t materialIndex = 0; // this frame's row of "Texture"; 0 without one

protected:
    explicit vertexmodifiertexturedisplacefx(const std::string& name);
    std::vector<uint8_t> BlockFor(const Matrix& world) const override;
};

// ---- Custom modifier ----

// The custom modifier's uniform block "{Name}" (std140).
struct VertexModifierCustomParams {
    float noisePhase[4] = {}; // "Noise Phase 3D", "Noise Phase Time"
    float noiseScale[3] = {};
    float unused0 = 0.0f;
    float strength[3] = {};
    float unused1 = 0.0f;
};
static_assert(sizeof(VertexModifierCustomParams) == 48);

// Frames a "program" edit waits before it is published, so typing does not rebuild every renderer per key.
constexpr int kCustomModifierPublishDelay = 50;

// World-space vertex statements the user writes in "program" against "{Name}_params" and `vtx_input`. A text
// that does not compile inside the material vertex stage is never published: the record keeps the last program
// that did, and the event log says why.
class vertexmodifiercustomfx : public VertexModifierComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<vertexmodifiercustomfx>(name); }

    void Init() override;
    // A "program" edit starts the countdown anew.
    void OnCvarChanged(Cvar* cvar) override;
    // Uploads the block and, when the countdown runs out, publishes "program" if it compiles.
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // True when `program` compiles as the transform of this modifier in the material vertex stage.
    bool ProgramCompiles(const std::string& program) const;

    Cvar strength, noiseScale, noisePhase3D, noisePhaseTime, program;
    int rebuildCountdown = 0;

protected:
    explicit vertexmodifiercustomfx(const std::string& name);

private:
    // Publishes `program` when it compiles and tells the linked renderers; otherwise reports it.
    void Publish(bool notify);
};
