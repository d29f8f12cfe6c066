// The current project's component graph: "graph.json", dependency resolution and the per-frame pull execution.
#pragma once

#include "project/components.h"
#include "project/resources.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

struct RenderItemBuilder;
struct Timestep;

// Stored "variables" of the components created by one load.
using GraphStoredVariables = std::unordered_map<const EngineComponent*, nlohmann::json>;
// Stored cvar uuids of the cvar inputs created by one load, by pin id.
using GraphStoredCvarUuids = std::map<int32_t, uint64_t>;

class GraphManager : public ResourceModifiedListener {
public:
    // Every Resource-type cvar of every component of the current project is told through OnCvarChanged.
    void OnResourceModified(Resource* resource) override;

    // Appends the stored components of a graph.json (data path) to currentComponents and resolves them. False
    // when the file cannot be read or is not a well-formed graph; then nothing was changed.
    static bool Load(const std::string& path);
    // Writes currentComponents to the path as given. False when nothing could be written, or when the file failed
    // to load earlier (it is then kept as the user left it).
    static bool Save(const std::string& path);

    static void BindCvarInputs(EngineComponent* component, const GraphStoredCvarUuids& uuids);
    static void RegisterResourceListener();

    // Executes a component once per run, after the components linked to its inputs; value links are copied into
    // the exposed cvars first.
    static void ExecuteComponent(RenderItemBuilder& builder, EngineComponent* component, Timestep time, int run);
    // The frame's roots (IsDependencyOnly false) of currentComponents, in list order, each through
    // ExecuteComponent. Renderer::RenderGraph calls this with its builder and run number.
    static void ExecuteRoots(RenderItemBuilder& builder, Timestep time, int run);

    static void NotifyOutputChanged(int32_t outputId);
    static EngineComponent* FindComponentByPinId(int32_t id);
    // The output pin of that id among the current project's components (the first match), or null.
    static OutputPin* FindOutputPin(int32_t id);
    static bool IsOutputIdUsed(int32_t id);
    static std::vector<EngineComponent*> FindComponentsByType(int32_t typeIndex);

    // True for a component kept as its stored JSON because its type has no class in this build.
    static bool IsKeptComponent(const EngineComponent* component);
};

extern GraphManager graphManager;

void resolve_for_component(EngineComponent* component, const GraphStoredVariables& variables);

// Seams to subsystems that come later; null hooks are skipped.
struct GraphHooks {
    void (*loadNodePositions)();                   // ui_node_editor_load_positions, when the node editor exists
    void (*executeScopeBegin)(const std::string& name); // GPU timing scope "Component {id}:{name}"
    void (*executeScopeEnd)();
};
extern GraphHooks graphHooks;
