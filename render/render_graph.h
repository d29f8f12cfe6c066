// One processed frame: the components execute, record what they want drawn in a RenderItemBuilder, and the
// renderer turns that into a dependency-ordered list of passes and runs it.
#pragma once

#include "app/math_types.h"
#include "project/timestep.h"

#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class Camera;
class EngineComponent;
struct Framebuffer;

namespace Renderer {

// Pass kinds; the numbers are handed to callbacks and stored nowhere else.
enum Pass : int {
    PASS_DEFERRED = 0,
    PASS_SHADOWMAP = 1,
    PASS_ALPHA = 2,
    PASS_GEOMETRY = 3,
    PASS_GEOMETRY_PARTITION = 4,
    PASS_RAYTRACE = 5,
    PASS_VOXELIZATION = 6,
    PASS_VOXEL_LIGHTING = 7,
    PASS_VOLUMETRIC_FOG = 8,
    PASS_LIGHTING = 9,
    PASS_COMPOSITE = 10,
    PASS_VOXELIZATION_DEBUG = 11,
    PASS_RENDER_BEGIN = 12,
    PASS_RENDER_END = 13,
    PASS_SCENE_HIERARCHY = 14,
    PASS_RENDER_WIREFRAME = 15,
    PASS_FUNCTION = 16,
};
constexpr int kPassCount = 17;

// "Deferred" ... "Function"; an error line and "" for a value outside the 17 kinds.
const std::string& GetPassName(Pass pass);

} // namespace Renderer

// Draws the item in one pass: the pass camera (a Light in shadow passes), the item's model matrix after the
// scene hierarchy.
using RenderItemCallback = std::function<void(Camera*, const Matrix*, Renderer::Pass, Timestep)>;
// Runs a function pass with the camera of its pass-list entry (null for plain function items).
using RenderFunctionCallback = std::function<void(Camera*, Timestep)>;

// The entries of this pass kind whose item belongs to owner run first.
struct RenderDependency {
    EngineComponent* owner = nullptr;
    Renderer::Pass pass = Renderer::PASS_DEFERRED;
};

struct RenderItem {
    RenderItem() = default;
    RenderItem(RenderItemCallback callback, EngineComponent* owner, const Matrix& model);

    RenderItemCallback callback;
    EngineComponent* owner = nullptr;
    Matrix model;
    std::vector<RenderDependency> dependencies;
    int target = 0; // 0 the G-buffer, 1 the particles target
};

struct RenderFunctionItem {
    RenderFunctionItem() = default;
    RenderFunctionItem(RenderFunctionCallback callback, EngineComponent* owner);

    RenderFunctionCallback callback;
    EngineComponent* owner = nullptr;
    std::vector<RenderDependency> dependencies;
    // A job that makes a texture out of nothing the scene draws (generators, processors, captured audio): it runs
    // before the scene's passes, so this frame's materials sample this frame's texture. Every other job (post
    // chains, what reads a shadow map) runs after them.
    bool beforeScene = false;
};

// What the components of one processed frame want drawn; a local of Renderer::RenderGraph.
struct RenderItemBuilder {
    std::vector<RenderItem> items;
    std::vector<RenderFunctionItem> functionItems; // components append to this directly
    std::vector<RenderItem> lateItems;             // join items when the pass list is built

    void AddItem(const RenderItem& item);
    // Applies each parent component's matrix to its children's items ("child" and "entity" pins).
    void ApplySceneHierarchy();
};

// One entry of the pass list: exactly one of item and function is set. Entries point into the builder's lists,
// so a pass list lives no longer than its builder.
struct RenderPassItem {
    Matrix view;
    Matrix projection;
    Camera* camera = nullptr;
    RenderItem* item = nullptr;
    RenderFunctionItem* function = nullptr;
    Renderer::Pass pass = Renderer::PASS_DEFERRED;
    bool visited = false;
    bool inProgress = false; // on the walk's current path; meeting it again is a dependency cycle

    // Depth-first: appends a copy of e to ordered after every not yet visited work entry it depends on.
    static void Visit(RenderPassItem& e, std::vector<RenderPassItem>& work, std::vector<RenderPassItem>& ordered);
};

// One line per pass entry of the last processed frame, in execution order (the editor lists them).
extern std::vector<std::string> graphPassLog;
// Incremented by every Renderer::RenderGraph; a component executes at most once per run number.
extern int graphRunNumber;

struct RaytraceSceneBuffers;
// The raytracer's scene buffers for the frame being rendered: cleared at the start of every frame and set by the
// useRaytracer hook, so a deleted raytracer is never reached. Null without a raytracer.
extern RaytraceSceneBuffers* currentRaytraceScene;

// Seams to the parts of the renderer that set a frame up; null hooks are skipped.
struct RenderGraphHooks {
    // The first raytracer component of the project: its scene buffers become the frame's, counters reset.
    void (*useRaytracer)(EngineComponent* raytracer);
    void (*deferredRenderInit)();
    // The material table's fill count back to 1 (slot 0, the default material, stays).
    void (*resetMaterialTable)();
    // Creates the deferred targets when needed and returns "deferred_deep" (target 0) or "deferred_particles"
    // (target 1). Without it, or with a null answer, Deferred entries draw nothing.
    Framebuffer* (*deferredTarget)(int target);
};
extern RenderGraphHooks renderGraphHooks;

namespace Renderer {

// Executes the current project's components and runs the frame's passes.
void RenderGraph(Timestep timestep);
// Entries from every component's AddRenderPasses, then one "Function" entry per function item, ordered so that
// every entry follows the entries it depends on.
void BuildPassList(std::vector<RenderPassItem>& passList, const std::vector<EngineComponent*>& components,
                   RenderItemBuilder& builder);
// Replaces graphPassLog with one line per entry.
void WritePassLog(const std::vector<RenderPassItem>& passList);
// Runs the entries in order: binds targets and render state per pass kind and calls the callbacks.
void ExecutePassList(std::vector<RenderPassItem>& passList, Timestep timestep);

} // namespace Renderer

// Applies the parent's matrix (itself resolved first) to c's matrix; marks c processed. inProgress cuts a
// cycle of parents.
void process_engine_component_for_scene_hierarchy(EngineComponent* c,
                                                  std::unordered_map<EngineComponent*, Matrix*>& matrices,
                                                  std::unordered_set<EngineComponent*>& processed,
                                                  std::unordered_set<EngineComponent*>& inProgress);
