#include "render/render_graph.h"

#include "app/log.h"
#include "app/timing.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/components.h"
#include "project/curve_texture.h"
#include "project/graph.h"
#include "project/project.h"
#include "render/entities.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <utility>

std::vector<std::string> graphPassLog;
int graphRunNumber = 0;
RenderGraphHooks renderGraphHooks = {nullptr, nullptr, nullptr, nullptr};
RaytraceSceneBuffers* currentRaytraceScene = nullptr;

namespace {

constexpr size_t kPassListReserve = 1024;
constexpr int kRaytracerTypeIndex = 4;

// Faults that would repeat every frame are reported once per key.
bool firstReport(const std::string& key)
{
    static std::unordered_set<std::string> reported;
    return reported.insert(key).second;
}

const char* ownerName(const EngineComponent* owner)
{
    return owner ? owner->name.c_str() : "<no owner>";
}

const EngineComponent* entryOwner(const RenderPassItem& entry)
{
    return entry.item ? entry.item->owner : entry.function ? entry.function->owner : nullptr;
}

const std::vector<RenderDependency>* dependenciesOf(const RenderPassItem& entry)
{
    return entry.item ? &entry.item->dependencies : entry.function ? &entry.function->dependencies : nullptr;
}

std::string entryDescription(const RenderPassItem& entry)
{
    return fmt::format("{} / {}", ownerName(entryOwner(entry)), Renderer::GetPassName(entry.pass));
}

// The owner's persistent identity and the pass kind: a fault of that entry is reported once per run.
std::string entryKey(const char* fault, const RenderPassItem& entry)
{
    const EngineComponent* owner = entryOwner(entry);
    return fmt::format("{} {} {}", fault, owner ? owner->uuid : 0, static_cast<int>(entry.pass));
}

// An entry whose callback is empty is skipped, with one warning per owner and pass kind.
bool hasCallback(const RenderPassItem& entry, bool present)
{
    if (present)
        return true;
    if (firstReport(entryKey("empty callback", entry)))
        LOG_WARNING("Pass %s has no callback; it is skipped", entryDescription(entry).c_str());
    return false;
}

// Saves and restores the current framebuffer; a push the full stack refused is not popped.
class FramebufferScope {
public:
    FramebufferScope() : depth_(fbStackTop) { fbPush(); }
    ~FramebufferScope()
    {
        if (fbStackTop > depth_)
            fbPop();
        else
            setcurrent(fbCurrent);
    }
    FramebufferScope(const FramebufferScope&) = delete;
    FramebufferScope& operator=(const FramebufferScope&) = delete;

private:
    int depth_;
};

class RenderStateScope {
public:
    explicit RenderStateScope(const RenderState& state) { renderStatePush(state); }
    ~RenderStateScope() { renderStatePop(); }
    RenderStateScope(const RenderStateScope&) = delete;
    RenderStateScope& operator=(const RenderStateScope&) = delete;
};

// Shadow and G-buffer passes draw opaque: depth test and write with less-equal, no blending, no stencil (the
// default state), with their own culling.
RenderState passState(int cullMode)
{
    RenderState state;
    state.cullMode = cullMode;
    return state;
}

void executeShadowmap(const RenderPassItem& entry, Timestep timestep)
{
    Light* light = dynamic_cast<Light*>(entry.camera);
    if (!light) {
        if (firstReport(entryKey("shadow camera", entry)))
            LOG_ERROR("Shadowmap entry %s has no light; nothing is drawn", entryDescription(entry).c_str());
        return;
    }
    FramebufferScope framebuffer;
    RenderStateScope state(passState(light->shadowCullMode));
    const unsigned int cascades = std::min<unsigned int>(light->cascadeCount, LIGHT_MAX_CASCADES);
    for (unsigned int i = 0; i < cascades; ++i) {
        // A light without a shadow map has nowhere to draw; binding null would draw into the window.
        Framebuffer* target = light->shadowFramebuffers[i];
        if (!target)
            continue;
        aglAssertMainThread();
        if (!setcurrent(target))
            continue;
        light->view = entry.view;
        light->projection = i == 0 ? entry.projection : light->shadowMatrices[i];
        entry.item->callback(light, &entry.item->model, Renderer::PASS_SHADOWMAP, timestep);
    }
}

void executeDeferred(const RenderPassItem& entry, Timestep timestep)
{
    const int targetIndex = entry.item->target;
    if (targetIndex != 0 && targetIndex != 1) {
        if (firstReport(entryKey("deferred target", entry)))
            LOG_ERROR("Deferred entry %s names target %d; only 0 and 1 exist", entryDescription(entry).c_str(),
                      targetIndex);
        return;
    }
    FramebufferScope framebuffer;
    Framebuffer* target = renderGraphHooks.deferredTarget ? renderGraphHooks.deferredTarget(targetIndex) : nullptr;
    if (!target) {
        if (firstReport(entryKey("no deferred target", entry)))
            LOG_WARNING("No deferred target %d for %s; nothing is drawn", targetIndex, entryDescription(entry).c_str());
        return;
    }
    aglAssertMainThread();
    if (!setcurrent(target))
        return;
    RenderStateScope state(passState(0));
    if (entry.camera) {
        entry.camera->view = entry.view;
        entry.camera->projection = entry.projection;
    }
    entry.item->callback(entry.camera, &entry.item->model, Renderer::PASS_DEFERRED, timestep);
}

// Component executions inside RenderGraph open GPU timing scopes through the graph's hooks.
std::vector<std::unique_ptr<ScopedGpuTimer>> componentScopes;

void componentScopeBegin(const std::string& name)
{
    componentScopes.push_back(std::make_unique<ScopedGpuTimer>(name, true));
}

void componentScopeEnd()
{
    if (!componentScopes.empty())
        componentScopes.pop_back();
}

void executeRootsTimed(RenderItemBuilder& builder, Timestep timestep, int run)
{
    const auto savedBegin = graphHooks.executeScopeBegin;
    const auto savedEnd = graphHooks.executeScopeEnd;
    // Without timings nobody reads, the graph does not even build the scope names.
    if (!savedBegin && !savedEnd && timerGpuScopesEnabled()) {
        graphHooks.executeScopeBegin = componentScopeBegin;
        graphHooks.executeScopeEnd = componentScopeEnd;
    }
    GraphManager::ExecuteRoots(builder, timestep, run);
    graphHooks.executeScopeBegin = savedBegin;
    graphHooks.executeScopeEnd = savedEnd;
}

} // namespace

namespace Renderer {

const std::string& GetPassName(Pass pass)
{
    static const std::array<std::string, kPassCount> names = {
        "Deferred",     "Shadowmap",     "Alpha",          "Geometry",        "GeometryPartition", "Raytrace",
        "Voxelization", "VoxelLighting", "VolumetricFog",  "Lighting",        "Composite",         "VoxelizationDebug",
        "RenderBegin",  "RenderEnd",     "SceneHierarchy", "RenderWireframe", "Function",
    };
    static const std::string invalid;
    const int index = static_cast<int>(pass);
    if (index < 0 || index >= kPassCount) {
        LOG_ERROR("Unknown render pass %d", index);
        return invalid;
    }
    return names[static_cast<size_t>(index)];
}

} // namespace Renderer

RenderItem::RenderItem(RenderItemCallback callback, EngineComponent* owner, const Matrix& model)
    : callback(std::move(callback)), owner(owner), model(model)
{
}

RenderFunctionItem::RenderFunctionItem(RenderFunctionCallback callback, EngineComponent* owner)
    : callback(std::move(callback)), owner(owner)
{
}

void RenderItemBuilder::AddItem(const RenderItem& item)
{
    items.push_back(item);
}

// ---- Scene hierarchy ----

// Walks up the parent chain with an explicit path instead of recursing: a chain of tens of thousands of parents
// would overflow the call stack. Parents are combined first, so each matrix meets its parent's final one.
void process_engine_component_for_scene_hierarchy(EngineComponent* c,
                                                  std::unordered_map<EngineComponent*, Matrix*>& matrices,
                                                  std::unordered_set<EngineComponent*>& processed,
                                                  std::unordered_set<EngineComponent*>& inProgress)
{
    std::vector<std::pair<EngineComponent*, EngineComponent*>> path; // child, parent; innermost last
    for (EngineComponent* node = c; node && !processed.count(node);) {
        if (inProgress.count(node)) {
            if (firstReport("hierarchy cycle " + std::to_string(node->uuid)))
                LOG_ERROR("Scene hierarchy cycle through component %d (%s); the cycle is cut there", node->id,
                          node->name.c_str());
            break;
        }
        EngineComponent* parent = node->GetParent();
        if (!parent)
            break;
        inProgress.insert(node);
        path.emplace_back(node, parent);
        node = parent;
    }
    for (auto step = path.rbegin(); step != path.rend(); ++step) {
        auto [child, parent] = *step;
        inProgress.erase(child);
        const auto own = matrices.find(child);
        const auto parents = matrices.find(parent);
        if (own == matrices.end()) {
            LOG_ERROR("This should not happen! Problematic ID : %d UUID:%lld (%s)", child->id,
                      static_cast<long long>(child->uuid), child->name.c_str());
        } else if (parents == matrices.end()) {
            LOG_ERROR("This should not happen! Problematic Parent ID : %d UUID:%lld (%s)", parent->id,
                      static_cast<long long>(parent->uuid), parent->name.c_str());
        } else {
            *own->second = own->second->Multiply(*parents->second);
        }
        processed.insert(child);
    }
}

void RenderItemBuilder::ApplySceneHierarchy()
{
    std::unordered_map<EngineComponent*, Matrix*> matrices;
    std::vector<EngineComponent*> owners; // map order is not item order
    for (RenderItem& item : items) {
        if (!item.owner)
            continue;
        if (matrices.insert_or_assign(item.owner, &item.model).second)
            owners.push_back(item.owner);
    }
    std::unordered_set<EngineComponent*> processed;
    std::unordered_set<EngineComponent*> inProgress;
    for (EngineComponent* owner : owners)
        process_engine_component_for_scene_hierarchy(owner, matrices, processed, inProgress);
}

// ---- Pass list ----

// Depth-first with an explicit stack (a long chain of dependencies would overflow the call stack): an entry goes
// to the list after every entry it depends on.
void RenderPassItem::Visit(RenderPassItem& root, std::vector<RenderPassItem>& work, std::vector<RenderPassItem>& ordered)
{
    struct Step {
        RenderPassItem* entry;
        const std::vector<RenderDependency>* dependencies;
        size_t dependency = 0;
        size_t candidate = 0; // position in work for the current dependency
    };
    if (root.visited || !dependenciesOf(root))
        return;
    // Marked before the walk, so a cycle comes back to an entry in progress instead of looping forever.
    root.inProgress = true;
    std::vector<Step> stack{{&root, dependenciesOf(root)}};
    while (!stack.empty()) {
        Step& step = stack.back();
        RenderPassItem& e = *step.entry;
        if (step.dependency == step.dependencies->size()) {
            stack.pop_back();
            e.inProgress = false;
            if (!e.visited) {
                e.visited = true;
                ordered.push_back(e);
            }
            continue;
        }
        const RenderDependency& d = (*step.dependencies)[step.dependency];
        if (step.candidate == work.size()) {
            ++step.dependency;
            step.candidate = 0;
            continue;
        }
        RenderPassItem& x = work[step.candidate++];
        if (x.visited || !x.item || x.item->owner != d.owner || x.pass != d.pass)
            continue;
        if (x.inProgress) {
            if (firstReport(entryKey("pass cycle", e) + " " + entryKey("with", x)))
                LOG_ERROR("Dependency cycle between the passes %s and %s; that dependency is ignored",
                          entryDescription(e).c_str(), entryDescription(x).c_str());
            continue;
        }
        if (!dependenciesOf(x))
            continue;
        x.inProgress = true;
        stack.push_back({&x, dependenciesOf(x)}); // `step` and `e` are not used past this point
    }
}

namespace Renderer {

void BuildPassList(std::vector<RenderPassItem>& passList, const std::vector<EngineComponent*>& components,
                   RenderItemBuilder& builder)
{
    passList.clear();
    passList.reserve(kPassListReserve);
    std::vector<RenderPassItem> work;
    work.reserve(kPassListReserve);

    for (const RenderItem& late : builder.lateItems)
        builder.AddItem(late);
    const auto addFunctions = [&](bool beforeScene) {
        for (RenderFunctionItem& function : builder.functionItems) {
            if (function.beforeScene != beforeScene)
                continue;
            RenderPassItem entry;
            entry.function = &function;
            entry.pass = PASS_FUNCTION;
            work.push_back(entry);
        }
    };
    // Texture jobs come before the scene's passes (after them, a material would show the previous frame's
    // texture, and the first frame an empty one); the other jobs work on what the scene drew.
    addFunctions(true);
    for (EngineComponent* component : components)
        if (component)
            component->AddRenderPasses(builder, work);
    addFunctions(false);

    std::vector<RenderPassItem> ordered;
    ordered.reserve(std::max(work.size(), kPassListReserve));
    for (RenderPassItem& entry : work)
        RenderPassItem::Visit(entry, work, ordered);
    passList = std::move(ordered);
}

void WritePassLog(const std::vector<RenderPassItem>& passList)
{
    graphPassLog.clear();
    graphPassLog.reserve(passList.size());
    for (const RenderPassItem& entry : passList) {
        if (entry.item) {
            const float* m = entry.item->model.m;
            graphPassLog.push_back(fmt::format("RPI:{0} / {1}   {2}", ownerName(entry.item->owner),
                                               GetPassName(entry.pass), fmt::format("{0} {1} {2}", m[3], m[7], m[11])));
        } else if (entry.function) {
            graphPassLog.push_back(
                fmt::format("RFI:{0} / {1}", ownerName(entry.function->owner), GetPassName(entry.pass)));
        }
    }
}

void ExecutePassList(std::vector<RenderPassItem>& passList, Timestep timestep)
{
    for (const RenderPassItem& entry : passList) {
        if (entry.function) {
            if (!hasCallback(entry, static_cast<bool>(entry.function->callback)))
                continue;
            // The scope name is only built when someone reads the timings (the editor).
            std::optional<ScopedGpuTimer> timer;
            if (timerGpuScopesEnabled())
                timer.emplace(fmt::format("FUN:{0}:Function", ownerName(entry.function->owner)), true);
            entry.function->callback(entry.camera, timestep);
            continue;
        }
        if (!entry.item)
            continue;
        // Only these three kinds draw an item; any other kind on an item entry runs nothing.
        if (entry.pass != PASS_SHADOWMAP && entry.pass != PASS_DEFERRED && entry.pass != PASS_GEOMETRY)
            continue;
        if (!hasCallback(entry, static_cast<bool>(entry.item->callback)))
            continue;
        if (entry.pass == PASS_SHADOWMAP)
            executeShadowmap(entry, timestep);
        else if (entry.pass == PASS_DEFERRED)
            executeDeferred(entry, timestep);
        else
            entry.item->callback(entry.camera, &entry.item->model, PASS_GEOMETRY, timestep);
    }
}

void RenderGraph(Timestep timestep)
{
    currentRaytraceScene = nullptr;
    if (renderGraphHooks.useRaytracer) {
        const std::vector<EngineComponent*> raytracers = GraphManager::FindComponentsByType(kRaytracerTypeIndex);
        if (!raytracers.empty())
            renderGraphHooks.useRaytracer(raytracers.front());
    }
    curveTextureNextRow = 0;
    if (renderGraphHooks.deferredRenderInit)
        renderGraphHooks.deferredRenderInit();
    if (renderGraphHooks.resetMaterialTable)
        renderGraphHooks.resetMaterialTable();
    txtReleaseCachedTextures();

    RenderItemBuilder builder;
    ++graphRunNumber;
    executeRootsTimed(builder, timestep, graphRunNumber);
    builder.ApplySceneHierarchy();

    static const std::vector<EngineComponent*> none;
    std::vector<RenderPassItem> passList;
    BuildPassList(passList, currentComponents ? *currentComponents : none, builder);
    // The pass log is an editor view; playback does not format a line per entry each frame.
    if (timerGpuScopesEnabled())
        WritePassLog(passList);
    ExecutePassList(passList, timestep);
}

} // namespace Renderer
