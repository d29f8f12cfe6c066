// The base of every graph component, its input and output pins, and the counters that number them.
#pragma once

#include "project/resources.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct Cvar;
class CvarTreeNode;
struct Geometry;
struct RenderItemBuilder;
struct RenderPassItem;
struct Timestep;

// Component and pin ids share this sequence (main thread only); it starts at 1.
extern int32_t nextObjectId;
// Persistent identities of components and exposed cvars; seeded once at start-up.
extern std::atomic<uint64_t> nextUuid;
// Start-up: nextUuid = seconds since 1970 << 10, before any component exists.
void componentsSeedUuid();
// The next uuid (atomic fetch-and-add).
uint64_t componentsNextUuid();

namespace ComponentState {
enum : int32_t { Created = 0, Resolving = 2, Resolved = 4 };
}

struct InputPin {
    InputPin(const std::string& name, std::vector<int32_t> acceptedTypes, bool severalLinks);

    Cvar* cvar = nullptr; // the bound cvar of a cvar input
    int32_t id = 0;
    bool severalLinks = false;
    std::string name;
    std::vector<int32_t> acceptedTypes; // ResourceType codes
    std::vector<int32_t> links;         // linked output-pin ids

    bool Accepts(int32_t resourceType) const;
};

struct OutputPin {
    int32_t id = 0;
    std::string name;
    int32_t resourceType = 0;
    Resource* payload = nullptr; // what the owning component publishes; null until it sets one
};

class EngineComponent;

// Where a renderer's surface was last exported into the raytracing and voxelization geometry buffers; components
// that scatter over surfaces read these through GetGeometries.
struct GeometryExportRecord {
    int32_t exportIndex = 0;        // exports before this one in the frame
    int32_t raytraceFacesBase = -1; // -1: not exported for raytracing
    int32_t voxelizeFacesBase = -1; // -1: not exported for voxelization
    int32_t facesPerInstance = 0;   // the surface's triangle count
};
static_assert(sizeof(GeometryExportRecord) == 16);

// Payload of "entity" outputs: names the component behind the pin.
struct ECResource : Resource {
    EngineComponent* component = nullptr;
    explicit ECResource(EngineComponent* component)
        : Resource(ResourceType::Entity, "<ECResource>"), component(component)
    {
    }
};

class EngineComponent {
public:
    EngineComponent(int32_t typeIndex, const std::string& name);
    // Releases the pins the component created; payloads of declared outputs belong to the subclass.
    virtual ~EngineComponent();
    EngineComponent(const EngineComponent&) = delete;
    EngineComponent& operator=(const EngineComponent&) = delete;

    // ---- Virtual operations, in slot order ----
    virtual CvarTreeNode* GetCvarTree() = 0;
    // True for components with a transform; all three out-parameters must be valid pointers.
    virtual bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale);
    virtual void OnInputConnected(int32_t inputPinId) = 0;
    virtual void OnInputDisconnected(int32_t inputPinId) = 0;
    virtual std::string GetTypeName();
    virtual InputPin* FindInput(const std::string& name);
    virtual bool ConnectInput(const std::string& inputName, int32_t outputId);
    virtual void ResolveInputs();
    virtual void Init();
    virtual void Execute(RenderItemBuilder& builder, Timestep time);
    virtual void AddRenderPasses(RenderItemBuilder& builder, std::vector<RenderPassItem>& passes);
    virtual void OnCvarChanged(Cvar* cvar);
    virtual void ToggleCvarInput(Cvar* cvar);
    virtual void OnInputChanged(int32_t inputPinId);
    virtual void OnSelectionChanged(bool selected);
    virtual void OnRenamed();
    virtual bool IsDependencyOnly();
    // The export records of the surfaces exported this frame (renderers); empty for everything else.
    virtual std::vector<GeometryExportRecord*> GetGeometries();

    // ---- Pin management ----
    OutputPin* AddOutput(const std::string& name, int32_t resourceType);
    void RebuildPinLists();
    InputPin* AddCvarInput(Cvar* cvar);
    InputPin* CreateChildPin();
    OutputPin* CreateEntityPin();
    // Orders every input's links by the node height of the producing components (missing owners last); true when
    // any order changed.
    bool SortInputs();

    bool HasTag(const std::string& tag) const;
    std::vector<std::string> GetTags() const;
    // The component whose "child" input links this component's "entity" output, or null.
    EngineComponent* GetParent();

    int32_t lastRun = 0;
    int32_t typeIndex = 52;
    int32_t state = ComponentState::Created;
    int32_t id = 0;
    int32_t parent_id = 0;
    bool selected = false;
    uint64_t uuid = 0;
    std::string name;
    std::vector<InputPin*> declaredInputs;
    std::vector<OutputPin*> declaredOutputs;
    std::vector<InputPin*> cvarInputs;
    std::vector<OutputPin*> extraOutputs;
    std::vector<InputPin*> inputs;
    std::vector<OutputPin*> outputs;
    std::vector<std::string> tags;
    InputPin* childPin = nullptr;
    OutputPin* entityPin = nullptr;
    float x = 0.0f;
    float y = 0.0f;
    bool collapsed = false;

    // Set while the graph executes this component's sources, so a link cycle is cut instead of recursing.
    bool executing = false;
};
