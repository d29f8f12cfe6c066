// Instance sets (per-instance transforms and colours on the GPU), the shared one-instance default set, the
// instance-modifier chain that joins the GLSL fragments of the connected modifiers into one compute program, and
// the operation bodies that modifier and generator components share. Main thread only.
#pragma once

#include "jni/engine/grd_shader_bindings.h"
#include "project/resources.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class EngineComponent;
struct BufferObject;
struct InstanceModifierChain;
struct ShaderProgram;
struct Timestep;

// Bytes per instance in the two GPU buffers: three vec4 rows of a row-major 3 x 4 affine matrix (translation in
// each row's fourth element), and four half floats (red, green, blue, alpha).
constexpr uint32_t kInstanceTransformBytes = 48;
constexpr uint32_t kInstanceColorBytes = 8;
// Invocations per work group of the modifier pass.
constexpr uint32_t kInstanceModifierGroupSize = 32;

struct InstanceBuffers {
    // Host copy of "InstanceParamsBuffer": count, 3 for a component's set (0 for the default set), 0, reserved.
    int32_t header[4] = {0, 0, 0, 0};
    uint32_t count = 0;
    uint32_t capacity = 0; // never below count
    BufferObject* transforms = nullptr;
    BufferObject* colours = nullptr;

    InstanceBuffers() = default;
    ~InstanceBuffers();
    InstanceBuffers(const InstanceBuffers&) = delete;
    InstanceBuffers& operator=(const InstanceBuffers&) = delete;

    // n instances, capacity exactly n, zeroed buffers "InstancingTransforms" and "InstancingColors". Null (after
    // a log line) when the buffers cannot be made.
    static InstanceBuffers* Create(uint32_t n);
    // count = n. When the capacity is smaller, both buffers are replaced by zeroed ones of n x 110 / 100 instances
    // (contents lost). False, with the set unchanged, when the larger buffers cannot be made. Never shrinks.
    bool Resize(uint32_t n);
    // Enters the shared default set (one identity transform, one opaque white colour, header {1, 0, 0}), made on
    // the first call.
    static void BindDefault(BufferBindings& bindings);
    // The default set itself (made on first use), for tests and for code that reads its buffers.
    static InstanceBuffers* Default();
    // Runs the chain's program over the instances in use; nothing when its build failed, no instance is in use,
    // or a block the program declares has nothing to bind (it would read and write whatever the binding point
    // held).
    void ApplyModifiers(InstanceModifierChain& chain, const Timestep& timestep);
};

// "InstanceParamsBuffer" (the set's header, written as {count, 3, 0}), "InstanceTransformBuffer" and
// "InstanceColorBuffer"; null enters the shared one-instance default set (InstanceBuffers::BindDefault).
void shaderBindingsAddInstances(BufferBindings& bindings, InstanceBuffers* instances);

// Payload of every "inst" output (type 12), named "{component}/internal".
struct InstancesResource : Resource {
    InstanceBuffers* set = nullptr;

    explicit InstancesResource(std::string name = {}, InstanceBuffers* set = nullptr)
        : Resource(ResourceType::Instances, std::move(name)), set(set)
    {
    }
};

// Payload of every "im" output (type 20): two GLSL templates written against "{Name}" and the modifier's own
// parameter buffer (may be null).
struct InstanceModifierResource : Resource {
    std::string transformBlock; // statements that change `instance` for index `id`
    std::string paramsBlock;    // the parameter block named "{Name}" and the modifier's functions, global scope
    BufferObject* paramsBuffer = nullptr;

    explicit InstanceModifierResource(std::string name = {}) : Resource(ResourceType::InstanceModifier, std::move(name))
    {
    }
};

// The connected modifiers of one consumer joined into two texts, rebuilt every frame from its links.
struct InstanceModifierChain {
    std::vector<BufferObject*> buffers; // one per joined modifier, in join order; entries may be null
    std::string paramsText;
    std::string transformText;

    // Joins the payloads in link order. Entry i is named "VM{i}"; null entries and payloads that are not
    // instance modifiers (a hand-edited link) are skipped but keep their position in the numbering.
    void Build(const std::vector<Resource*>& modifiers);
    // The compute program for the two texts, built on first use and shared by every chain with the same texts;
    // a failed build is kept (and never retried) under its texts.
    ShaderProgram* GetProgram() const;
};

// Programs by their texts (params text, a NUL, transform text: the separator keeps two chains that split the same
// characters differently apart). The engine never frees them.
extern std::unordered_map<std::string, ShaderProgram*> instanceModifierPrograms;
// Deletes every cached program and empties the map (tests, so that their sanitizer runs end clean).
void instanceModifierProgramsRelease();

// The capacity a set grows to for n instances: n x 110 / 100, worked out in 64 bits and capped at 2^32 - 1, so
// large counts never wrap below n.
uint32_t instanceBuffersGrownCapacity(uint32_t n);
// Compute work groups for `count` instances: ceil(count / 32), so the tail of a partial group is processed.
uint32_t instanceModifierGroups(uint32_t count);

// A copy of the template with every "{Name}" replaced by the name; the search resumes after each inserted name.
std::string ReplaceNamePlaceholder(const std::string& text, const std::string& name);

// Shared bodies of EngineComponent operations.
// OnInputConnected: the component's own OnInputChanged with the same pin.
void RelayToOnInputChanged(EngineComponent* component, int32_t pinId);
// OnInputChanged: ResolveInputs, then the consumers of the component's first output are told.
void RebindAndNotify(EngineComponent* component, int32_t pinId);
// The same, only when the pin is the component's first input.
void RebindAndNotifyOnFirstInput(EngineComponent* component, int32_t pinId);
