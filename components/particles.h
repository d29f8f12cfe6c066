// GPU particles: the container that owns the particle buffers and runs their lifecycle program, the GLSL blocks
// that emitters and modifiers publish and the container joins into that program, the emitters, the modifiers and
// the renderers that draw the buffers. Main thread only.
#pragma once

#include "app/math_types.h"
#include "components/component_kit.h"
#include "components/instance_buffers.h"
#include "jni/engine/grd_shader_bindings.h"
#include "project/resources.h"
#include "render/material_block.h"
#include "render/render_graph.h"

#include <cstdint>
#include <string>
#include <vector>

class Camera;
struct BufferObject;
struct Geometry;
struct ShaderProgram;
class particlecontainerfx;

// Slots per work group of the particle compute passes, and slots per instance of the particle draws (the mesh
// holds this many copies of its shape).
constexpr uint32_t kParticleGroupSize = 64;
constexpr uint32_t kParticleDrawClones = 128;
// Bytes per slot of the three particle buffers.
constexpr uint32_t kParticlePositionBytes = 16;
constexpr uint32_t kParticleStateBytes = 16;
constexpr uint32_t kParticlePrefixSumBytes = 4;
// "max particles" never exceeds this (nor what one storage block of the GL may hold, 16 bytes a slot): one
// dispatch of 64-slot groups along x covers it within the 65,535 groups every GL allows.
constexpr int32_t kParticleMaxCapacity = 65535 * 64;
// Updates between a change of the "modifier" links and the rebuild of the lifecycle program.
constexpr int kParticleRebuildDelay = 50;

// Work groups that cover every slot: ceil(capacity / 64); the shaders drop the tail of the last group.
uint32_t particleGroups(uint32_t capacity);
// Instances a draw needs so every slot has a copy of the shape: ceil(capacity / 128).
uint32_t particleDrawInstances(uint32_t capacity);
// The slot count "max particles" asks for, clamped to 0 .. the largest the buffers may hold.
int32_t particleClampCapacity(float requested);

// ---- Modifier blocks ----

// Payload of the "modifier" output of emitters and of the velocity and curl modifiers (type 11): two GLSL
// templates written against "{Name}", the producer's parameter buffer and further buffers the blocks read.
struct ParticleModifierResource : Resource {
    std::string transformBlock; // statements run per slot and update; see the lifecycle program for what is in scope
    std::string paramsBlock;    // global scope: includes, structures, the block "{Name}" with member "{Name}_params"
    BufferObject* paramsBuffer = nullptr;
    BufferBindings bindings; // keys contain "{Name}"

    ParticleModifierResource(std::string name, std::string transform, std::string params, BufferObject* buffer)
        : Resource(ResourceType::ParticleModifier, std::move(name)), transformBlock(std::move(transform)),
          paramsBlock(std::move(params)), paramsBuffer(buffer)
    {
    }
};

// The primitive constraint's "modifier" output: the same type, but no blocks; it names the component so the
// containers downstream can be found.
struct ParticleConstraintResource : Resource {
    EngineComponent* constraint = nullptr;

    ParticleConstraintResource(std::string name, EngineComponent* component)
        : Resource(ResourceType::ParticleModifier, std::move(name)), constraint(component)
    {
    }
};

// The blocks of a container's "modifier" links joined in link order: link i is named "VM{i}". A link whose
// producer is gone or publishes no blocks joins nothing but keeps its position (a null buffer).
struct ParticleModifierJoin {
    std::vector<int32_t> links;
    std::string paramsText;
    std::string transformText;
    std::vector<BufferObject*> buffers;
};
ParticleModifierJoin particleJoinModifiers(const std::vector<int32_t>& links);
// Each joined producer's further buffers under their names with "{Name}" = "VM{i}", entered into the bindings.
void particleAddModifierTables(BufferBindings& bindings, const std::vector<int32_t>& links);

// ---- Container ----

// Payload of the container's "particles" output (type 9).
struct ParticleContainerResource : Resource {
    particlecontainerfx* container = nullptr;

    ParticleContainerResource(std::string name, particlecontainerfx* owner)
        : Resource(ResourceType::ParticleContainer, std::move(name)), container(owner)
    {
    }
};

// The container linked by a "particles" (or any) link, or null when the pin is gone or names no container.
particlecontainerfx* particleFindContainer(int32_t outputId);

// "ParticleLifecycleParamsBuffer".
struct ParticleLifecycleParams {
    float delta = 0.0f;
    float maxLifetime = 0.0f;
};
static_assert(sizeof(ParticleLifecycleParams) == 8);

class particlecontainerfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<particlecontainerfx>(name); }
    ~particlecontainerfx() override;

    void OnInputConnected(int32_t pinId) override { OnInputChanged(pinId); }
    void OnInputDisconnected(int32_t pinId) override { OnInputChanged(pinId); }
    // Buffers for the stored "max particles"; the first update joins the linked blocks.
    void Init() override;
    // Records the frame's Timestep; the dispatch waits for the first renderer that draws.
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    void OnCvarChanged(Cvar* cvar) override;
    // "emitter" and "modifier" tell the consumers; "modifier" also arms the rebuild.
    void OnInputChanged(int32_t pinId) override;

    // Replaces the three buffers by zeroed ones of n slots (64 when n is 0); all particle state is lost. n is
    // clamped to 0 .. kParticleMaxCapacity. False when a buffer cannot be made (capacity 0 then).
    bool AllocateBuffers(int32_t n);
    // One lifecycle step, at most once per frame (the first renderer's call).
    void UpdateForRendering();
    // Joins the blocks of the "modifier" links and rebuilds the lifecycle program with them.
    void Inject();
    // The three buffers into a draw's or dispatch's bindings.
    void AddBuffers(BufferBindings& bindings) const;

    int32_t rebuildCountdown = 0;
    bool updatedThisFrame = false;
    Timestep lastTimestep{};
    ShaderProgram* lifecycleProgram = nullptr;
    int32_t capacity = 0;
    BufferObject* positions = nullptr;
    BufferObject* states = nullptr;
    BufferObject* prefixSum = nullptr;
    Cvar maxParticles;
    Cvar maxLifetime;
    InputPin* emitterPin = nullptr;
    InputPin* modifierPin = nullptr;
    OutputPin* particlesPin = nullptr;
    ParticleContainerResource* payload = nullptr;
    // The joining the program was built with; the per-frame bindings follow it, not the current links, so block
    // names and buffers always agree.
    ParticleModifierJoin joined;
    std::vector<int32_t> injectedLinks; // the links the last joining was tried with, built or not
    uint32_t lifecycleDispatches = 0; // lifecycle dispatches since creation
    bool reportedUnbound = false;     // the warning about a block without a buffer was given

protected:
    explicit particlecontainerfx(const std::string& name);
    bool CreateGpuObjects() override;
};

// ---- Emitters ----

// Particles a frame emits: the frame's share of the rate plus the fraction the previous frames left, whole
// particles in `pending`, the rest carried to the next frame. `emitted` is the frame's own share (delta x rate).
struct ParticleEmission {
    float emitted = 0.0f;
    int32_t pending = 0;
};
ParticleEmission particleEmission(float delta, float rate, float& carry);

// ParticleEmitterPrimitive_Params, std140.
struct ParticleEmitterPrimitiveParams {
    float matrix[16];      // row-major emitter matrix
    float color[4];
    float halfSize[3];
    int32_t perimeterOnly;
    int32_t primitive;     // 0 sphere, 1 cube
    float lifetime;
    float lifetimeRandomness;
    float emitted;
    float seed;
    int32_t pending;
    float reserved[2];
};
static_assert(sizeof(ParticleEmitterPrimitiveParams) == 128);

// Shared by the emitters and the velocity and curl modifiers: a parameter buffer, the payload that publishes it
// with the class's templates, and the branch.
class ParticleBlockProducer : public KitComponent {
public:
    ~ParticleBlockProducer() override;
    void OnInputConnected(int32_t pinId) override { RelayToOnInputChanged(this, pinId); }
    void Init() override { RefreshPayload(); }
    void OnInputChanged(int32_t pinId) override { RebindAndNotify(this, pinId); }

    BufferObject* paramsBuffer = nullptr;
    ParticleModifierResource* payload = nullptr;

protected:
    ParticleBlockProducer(int32_t typeIndex, const std::string& name, const char* className, uint32_t bufferBytes,
                          const char* transformTemplate, const char* paramsTemplate);
    bool CreateGpuObjects() override;
    // Buffer pointer and both templates into the payload.
    void RefreshPayload();
    // The record into the host copy and up to the GPU.
    void Upload(const void* record, uint32_t bytes);

private:
    std::string bufferName_;
    uint32_t bufferBytes_;
    const char* transformTemplate_;
    const char* paramsTemplate_;
};

class particleemitterprimitivefx : public ParticleBlockProducer {
public:
    static EngineComponent* Create(const std::string& name)
    {
        return CreateComponent<particleemitterprimitivefx>(name);
    }
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // Rotation x scale of "rotation" and "radius", translated to "position".
    Matrix EmitterMatrix() const;
    // The block for a frame of this delta (advances the emission carry).
    ParticleEmitterPrimitiveParams BuildParams(float delta);

    Cvar radius, rotation, position, emissionRate, size, primitive, lifetime, lifetimeRandomness, color, seed,
        perimeterOnly;
    float emissionCarry = 0.0f;

protected:
    explicit particleemitterprimitivefx(const std::string& name);
};

// ParticleEmitterGeometry_Params, std140.
struct ParticleEmitterGeometryParams {
    float color[4];
    float lifetime;
    float lifetimeRandomness;
    float emitted;
    float seed;
    int32_t pending;
    int32_t facesBase;        // first face of the source in the scene buffers, or -1
    int32_t facesPerInstance; // the source surface's triangles
};
static_assert(sizeof(ParticleEmitterGeometryParams) == 44);

// Emits on the faces the renderer linked to "fx_ent" exported into the raytracer's scene buffers.
class particleemittergeometryfx : public ParticleBlockProducer {
public:
    static EngineComponent* Create(const std::string& name)
    {
        return CreateComponent<particleemittergeometryfx>(name);
    }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // The block for a frame of this delta; faces base and count keep the last source's values when none is found.
    ParticleEmitterGeometryParams BuildParams(float delta);

    Cvar emissionRate, lifetime, lifetimeRandomness, color, seed;
    InputPin* fxEntPin = nullptr;
    float emissionCarry = 0.0f;
    int32_t facesBase = 0;
    int32_t facesPerInstance = 0;

protected:
    explicit particleemittergeometryfx(const std::string& name);
};

// ParticleEmitterInstances_Params, std140.
struct ParticleEmitterInstancesParams {
    float color[4];
    float halfSize[3];
    float lifetime;
    float positionRandomness[3];
    float lifetimeRandomness;
    float emitted;
    float frameSeed; // the emission counter plus "seed"
    int32_t pending;
    uint32_t instanceCount;
};
static_assert(sizeof(ParticleEmitterInstancesParams) == 64);

// Frames any instances emitter has executed, for the frame seed; never reset.
extern uint32_t particleInstancesEmissions;

// Emits at the transforms of the instance set linked to "inst" (instances whose first row is zero are skipped).
class particleemitterinstancesfx : public ParticleBlockProducer {
public:
    static EngineComponent* Create(const std::string& name)
    {
        return CreateComponent<particleemitterinstancesfx>(name);
    }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // The block for a frame of this delta and the set's buffers into the payload's table; the set of the "inst"
    // link, or none.
    ParticleEmitterInstancesParams BuildParams(float delta);

    Cvar emissionRate, size, lifetime, lifetimeRandomness, positionRandomness, color, seed;
    InputPin* instPin = nullptr;
    float emissionCarry = 0.0f;

protected:
    explicit particleemitterinstancesfx(const std::string& name);
};

// ---- Modifiers ----

// The velocity modifier's uniform block "{Name}Params", std140.
struct ParticleModifierVelocityParams {
    float position[3];
    int32_t falloffMode;
    float radius[3];
    int32_t falloffInverse;
    float velocity[3];
};
static_assert(sizeof(ParticleModifierVelocityParams) == 44);

class particlemodifiervelocityfx : public ParticleBlockProducer {
public:
    static EngineComponent* Create(const std::string& name)
    {
        return CreateComponent<particlemodifiervelocityfx>(name);
    }
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputChanged(int32_t pinId) override { RebindAndNotifyOnFirstInput(this, pinId); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    ParticleModifierVelocityParams BuildParams() const;
    // Diagonal of "Radius" translated to "Position".
    Matrix VolumeMatrix() const;

    Cvar position, radius, falloff, inverseFalloff, velocity;

protected:
    explicit particlemodifiervelocityfx(const std::string& name);
};

// ParticleModifierCurl_Params, std140.
struct ParticleModifierCurlParams {
    float position[3];
    int32_t falloffMode;
    float radius[3];
    int32_t falloffInverse;
    float strength[3];
    float noiseSpeed;
    float noiseScale[3];
    float reserved;
};
static_assert(sizeof(ParticleModifierCurlParams) == 64);

class particlemodifiercurlfx : public ParticleBlockProducer {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<particlemodifiercurlfx>(name); }
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputChanged(int32_t pinId) override { RebindAndNotifyOnFirstInput(this, pinId); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    ParticleModifierCurlParams BuildParams() const;

    Cvar position, radius, falloff, inverseFalloff, noiseScale, noiseSpeed, strength;

protected:
    explicit particlemodifiercurlfx(const std::string& name);
};

// Keeps the particles of every container downstream of its output (directly, or through further constraints)
// inside an ellipsoid of "size" about the origin, in a compute pass of its own each frame.
class particlemodifierprimitiveconstraintfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name)
    {
        return CreateComponent<particlemodifierprimitiveconstraintfx>(name);
    }
    ~particlemodifierprimitiveconstraintfx() override;

    void OnInputConnected(int32_t pinId) override { RelayToOnInputChanged(this, pinId); }
    void OnInputChanged(int32_t pinId) override { RebindAndNotifyOnFirstInput(this, pinId); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // Appends the containers whose inputs link the output, walking on through the outputs of any other
    // component linked to it; `visited` holds the components already walked, so a cycle ends. True when the list
    // is not empty.
    static bool CollectContainers(int32_t outputId, std::vector<particlecontainerfx*>& list,
                                  std::vector<const EngineComponent*>& visited);
    void ApplyToContainer(particlecontainerfx* container, const Timestep& time);

    Cvar size, strength, primitive;
    InputPin* modifierPin = nullptr;
    OutputPin* modifierOutput = nullptr;
    ParticleConstraintResource* payload = nullptr;
    uint32_t dispatches = 0; // constraint passes since creation

protected:
    explicit particlemodifierprimitiveconstraintfx(const std::string& name);
    bool CreateGpuObjects() override;
};

// ---- Renderers ----

// What the instanced (tetrahedra into the G-buffer and shadow maps) and blended (additive quads into the
// particles target) renderers share: the 128-copy mesh, "size", one material slot, the "obj" and "particles" pins.
class ParticleRenderer : public KitComponent {
public:
    ~ParticleRenderer() override;

    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputConnected(int32_t pinId) override { RelayToOnInputChanged(this, pinId); }
    void OnInputChanged(int32_t pinId) override;
    // The slot's record into the frame's material table, then one render item with the identity matrix.
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    // Advances and draws every linked container (see the subclasses for the passes).
    void Render(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    Geometry* mesh = nullptr; // 128 copies of the shape, owned
    Cvar size;
    CvarTreeNode* materialsBranch = nullptr;
    MaterialCvarBlock slot;
    InputPin* objPin = nullptr;
    InputPin* particlesPin = nullptr;
    int32_t materialIndex = 0;

protected:
    ParticleRenderer(int32_t typeIndex, const std::string& name, const char* rootMaterial, const char* className,
                     bool blended);
    bool CreateGpuObjects() override;
    // One copy of the shape (owned by the caller), or null after a log line.
    virtual Geometry* LoadShape() const = 0;

private:
    void DrawContainer(particlecontainerfx* container, ShaderProgram* program, Camera* camera, const Matrix& model,
                       Renderer::Pass pass);

    const char* className_;
    bool blended_;
};

class particlerendererinstancedfx : public ParticleRenderer {
public:
    static EngineComponent* Create(const std::string& name)
    {
        return CreateComponent<particlerendererinstancedfx>(name);
    }

protected:
    explicit particlerendererinstancedfx(const std::string& name);
    // "lwobj/tetrohedra.lwo" scaled by 0.15, with colour and normal attributes.
    Geometry* LoadShape() const override;
};

class particlerendererblendedfx : public ParticleRenderer {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<particlerendererblendedfx>(name); }

protected:
    explicit particlerendererblendedfx(const std::string& name);
    // A unit quad.
    Geometry* LoadShape() const override;
};

// "ParticleSnapshotParamsBuffer".
struct ParticleSnapshotParams {
    int32_t base = 0;     // first entry of the container in the ring
    int32_t capacity = 0; // the container's slots
    int32_t newRow = 0;   // 1 when this frame started a row
};
static_assert(sizeof(ParticleSnapshotParams) == 12);

struct EffectEntityResource;
class EffectEntity;

// Records a ring of "segments" rows of the particle positions of the linked containers, a row every "sampling
// time" seconds, and publishes an effect entity for drawing them (its draw adds nothing yet).
class particlerendererribbonfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<particlerendererribbonfx>(name); }
    ~particlerendererribbonfx() override;

    void OnInputConnected(int32_t pinId) override { RelayToOnInputChanged(this, pinId); }
    // Sizes the ring for the linked containers (only with a link); the ring restarts at row 0.
    void ResolveInputs() override;
    void Init() override;
    // Advances the clock and records the current row for each linked container.
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    void OnCvarChanged(Cvar* cvar) override;
    void OnInputChanged(int32_t pinId) override;

    float sampleClock = 0.0f;
    int32_t segments = 0;
    int32_t rowCounter = 0;
    int32_t totalParticles = 0;
    BufferObject* snapshotPositions = nullptr;
    BufferObject* snapshotStates = nullptr;
    Cvar segmentsCvar, samplingTime, thickness;
    CvarTreeNode* materialsBranch = nullptr;
    MaterialCvarBlock slot;
    EffectEntity* entity = nullptr;
    EffectEntityResource* payload = nullptr;
    InputPin* particlesPin = nullptr;
    OutputPin* fxPin = nullptr;
    int32_t materialIndex = 0;
    uint32_t dispatches = 0; // snapshot passes since creation

protected:
    explicit particlerendererribbonfx(const std::string& name);
    bool CreateGpuObjects() override;
};

// Appends copies of the one-shape geometry to itself until it holds `copies` of it; false when it has none.
bool particleReplicateShape(Geometry* shape, uint32_t copies);
