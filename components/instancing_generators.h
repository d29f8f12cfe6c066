// The components that fill an instance set every frame and publish it on "inst": the replicator (a grid or a fan
// built on the CPU), instancing from geometry (instances scattered over another component's exported faces) and
// instancing from a light (instances placed where a shadow-map capture sees lit surfaces). The connected instance
// modifiers run over the set after it is written. Main thread only.
#pragma once

#include "app/math_types.h"
#include "components/component_kit.h"
#include "components/instance_buffers.h"
#include "render/render_graph.h"

#include <cstdint>
#include <string>
#include <vector>

struct BufferObject;
struct RaytraceSceneBuffers;
struct ShaderProgram;
struct Texture;

// Invocations per work group of the two placement shaders.
constexpr uint32_t kInstancingGroupSize = 32;
// Instances one generator may hold (about 60 MB of instance buffers); larger counts are clamped to it.
constexpr uint32_t kInstancingMaxInstances = 1u << 20;

// The payloads of the outputs linked to a several-link input, in link order; a vanished pin gives nothing.
std::vector<Resource*> linkedPayloads(const InputPin* pin);
// The raytracer's scene buffers the current scene player works with; null without a scene player or raytracer.
RaytraceSceneBuffers* instancingSceneBuffers();
// Replicas as a count: negative, NaN and fractions below 1 give 0, larger values than kInstancingMaxInstances give
// that.
uint32_t instancingReplicaCount(float replicas);
// Work groups for n instances: ceil(n / 32), so the tail of a partial group is placed too.
uint32_t instancingGroups(uint32_t n);

// Three rows of a 3 x 4 affine matrix, as "InstanceTransformBuffer" holds them.
struct InstanceRows {
    float rows[12];
};

class replicatorfx : public KitComponent {
public:
    static constexpr int32_t kTypeIndex = 26;
    static EngineComponent* Create(const std::string& name) { return CreateComponent<replicatorfx>(name); }
    ~replicatorfx() override;

    void OnInputConnected(int32_t pinId) override { RelayToOnInputChanged(this, pinId); }
    void OnInputChanged(int32_t pinId) override { RebindAndNotifyOnFirstInput(this, pinId); }
    // Writes the grid or fan, uploads it and runs the modifiers.
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // Fills the set's host copies for the current parameters (count = instances written); false when the set
    // could not grow.
    bool GenerateInstances();
    // Grid size per axis: each at least 1, the product at most kInstancingMaxInstances (x keeps what it asks
    // for first, then y, then z gets what is left).
    void GridSize(uint32_t& nx, uint32_t& ny, uint32_t& nz) const;

    Cvar type, instancePosition, instanceScale, instanceRotation, replicas, exteriorOnly, radius;

    InstanceBuffers* set = nullptr;
    InstancesResource payload;
    InputPin* imPin = nullptr;
    InstanceModifierChain chain;

protected:
    explicit replicatorfx(const std::string& name);
    bool CreateGpuObjects() override;

private:
    bool warnedClamp_ = false;
};

// The 20-byte "InstancingGeneratorParamsBuffer" of instancing from geometry.
struct GeometryInstancingParams {
    int32_t seed;
    int32_t replicas;
    int32_t firstFace;
    int32_t faceCount;
    float surfaceDistance;
};
static_assert(sizeof(GeometryInstancingParams) == 20);

class instancinggeometryfx : public KitComponent {
public:
    static constexpr int32_t kTypeIndex = 27;
    static EngineComponent* Create(const std::string& name) { return CreateComponent<instancinggeometryfx>(name); }
    ~instancinggeometryfx() override;

    void OnInputConnected(int32_t pinId) override { RelayToOnInputChanged(this, pinId); }
    void OnInputChanged(int32_t pinId) override { RebindAndNotify(this, pinId); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // The block for this frame from the parameters and the source's first export record; faceCount 0 when there
    // is nothing to scatter over. `voxelCopy` tells which exported copy the faces are in.
    GeometryInstancingParams BuildParams(bool& voxelCopy);
    // Places the instances over the given scene's faces; false (nothing dispatched) without faces or scene.
    bool PlaceInstances(RaytraceSceneBuffers* scene, Timestep time);

    Cvar replicas, seed, surfaceDistance;

    InstanceBuffers* set = nullptr;
    InstancesResource payload;
    InputPin* entityPin = nullptr;
    BufferObject* params = nullptr;
    uint32_t lastGroups = 0; // work groups of the last dispatch

protected:
    explicit instancinggeometryfx(const std::string& name);
    bool CreateGpuObjects() override;

private:
    bool warnedNoScene_ = false;
};

// The 240-byte "InstancingGeneratorParamsBuffer" of instancing from a light.
struct LightInstancingParams {
    float projection[16];      // the capture light's projection
    float shadowToLight[16];   // directional: shadow-map coordinates and depth 0..1 to light units
    float captureMatrix[16];   // the capture's world matrix
    float captureTranslation[3];
    int32_t seed;
    int32_t replicas;
    float surfaceDistance;
    int32_t modulateSizeByMask;
    int32_t onlyOnMaskEdge;
    float nearPlaneScale;
    float farPlaneScale;
    int32_t reserved[2];
};
static_assert(sizeof(LightInstancingParams) == 240);

class shadowmapcapturefx;

class instancinglightfx : public KitComponent {
public:
    static constexpr int32_t kTypeIndex = 28;
    static EngineComponent* Create(const std::string& name) { return CreateComponent<instancinglightfx>(name); }
    ~instancinglightfx() override;

    void OnInputConnected(int32_t pinId) override { RelayToOnInputChanged(this, pinId); }
    void OnInputChanged(int32_t pinId) override { RebindAndNotify(this, pinId); }
    // Adds the placement job as a function item.
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // The per-frame job: writes the block, places the instances from the capture's depth and mask and runs the
    // modifiers. False when nothing was dispatched.
    bool PlaceInstances(Timestep time);
    // The capture behind "fx_ent", whichever of its outputs is linked; null otherwise.
    shadowmapcapturefx* Source() const;
    // The texture on "txt mask" when that is a texture resource holding one; null otherwise.
    Texture* LinkedMask();
    // The host copy of the block.
    LightInstancingParams& Params();

    // In member order.
    Cvar replicas, surfaceDistance, seed, modulateSizeByMask, nearPlaneScale, farPlaneScale, onlyOnMaskEdge;

    BufferObject* params = nullptr;
    InstanceBuffers* set = nullptr;
    InputPin* entityPin = nullptr;
    InputPin* maskPin = nullptr;
    InstanceModifierChain chain;
    InputPin* imPin = nullptr;
    InstancesResource payload;
    uint32_t lastGroups = 0; // work groups of the last dispatch

protected:
    explicit instancinglightfx(const std::string& name);
    bool CreateGpuObjects() override;

private:
    int32_t reportedMaskLink_ = 0;
};

// Shared placement programs, built by the first component of each class.
ShaderProgram* geometryInstancingProgram();
ShaderProgram* lightInstancingProgram();
