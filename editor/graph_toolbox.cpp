#include "editor/graph_toolbox.h"

#include "app/data_files.h"
#include "app/log.h"
#include "editor/node_editor.h"
#include "editor/shader_editor.h"
#include "editor/ui.h"
#include "project/component_table.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/graph.h"
#include "project/keyframes.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/render_graph.h"
#include "render/selection_bounds.h"

#include <imgui.h>
#include <imgui_stdlib.h>

#include <algorithm>
#include <cstdio>
#include <unordered_set>

namespace {

constexpr int kListedRows = 52; // the last row, "Invalid", is never offered

EngineComponent* findComponent(int32_t id)
{
    if (currentComponents)
        for (EngineComponent* component : *currentComponents)
            if (component->id == id)
                return component;
    return nullptr;
}

// What a loaded component goes through, so the first Execute of an editor-made one meets it initialised.
EngineComponent* addToGraph(EngineComponent* component)
{
    component->CreateChildPin();
    component->CreateEntityPin();
    currentComponents->push_back(component);
    resolve_for_component(component, {});
    ui_node_editor_place_new_node(component);
    LOG_INFO("Created component %d : <%s>", component->id, component->name.c_str());
    return component;
}

// Records that are the component's own results, in every project's store.
void unpublish(EngineComponent* component)
{
    std::unordered_set<const Resource*> payloads;
    for (OutputPin* pin : component->outputs)
        if (pin && pin->payload)
            payloads.insert(pin->payload);
    std::vector<Project*> projects = projectList;
    if (globalProject)
        projects.push_back(globalProject);
    auto* listener = dynamic_cast<ResourceModifiedListener*>(component);
    for (Project* project : projects) {
        ResourceManagerStorage* store = project->resources;
        if (!store)
            continue;
        for (auto it = store->resources.begin(); it != store->resources.end();)
            it = payloads.count(it->second) ? store->resources.erase(it) : std::next(it);
        if (listener)
            store->listeners.erase(std::remove(store->listeners.begin(), store->listeners.end(), listener),
                                   store->listeners.end());
    }
}

void forgetTimeline(EngineComponent* component)
{
    if (CvarTreeNode* branch = component->GetCvarTree())
        for (Cvar* cvar : CvarTreeCollect(branch, -1)) {
            keyframeTracks.erase(cvar);
            if (sequencer) {
                auto& keys = sequencer->selectedKeys;
                keys.erase(std::remove_if(keys.begin(), keys.end(),
                                          [cvar](const SelectedKey& key) { return key.cvar == cvar; }),
                           keys.end());
            }
        }
    if (!sequencer)
        return;
    auto row = sequencer->componentItems.find(component);
    if (row == sequencer->componentItems.end())
        return;
    SequenceItem* item = &row->second;
    auto& items = sequencer->items;
    items.erase(std::remove(items.begin(), items.end(), item), items.end());
    sequencer->componentItems.erase(row);
    if (sequencer->selectedEntry >= static_cast<int>(items.size()))
        sequencer->selectedEntry = -1;
}

void createButtons()
{
    for (int category = ComponentCategory::Value; category <= ComponentCategory::Instancing; ++category)
        for (int row = 0; row < kListedRows; ++row) {
            const ComponentTypeInfo& info = componentTypeTable[row];
            if (info.category != category)
                continue;
            float r = 0.0f, g = 0.0f, b = 0.0f;
            ImGui::ColorConvertHSVtoRGB(static_cast<float>(category) / 6.0f, 0.3f, 0.3f, r, g, b);
            ImGui::PushStyleColor(ImGuiCol_Button, ImVec4(r, g, b, 1.0f));
            const bool pressed = ImGui::Button(info.displayName);
            ImGui::PopStyleColor();
            if (pressed)
                ui_graph_create_component(row, std::string("New ") + info.displayName);
        }
}

void saveGraphLayout()
{
    if (!currentProject)
        return;
    ui_node_editor_store_positions();
    char path[1024];
    std::snprintf(path, sizeof(path), "%s%s", dataBasePath().c_str(), (currentProject->path + "/graph.json").c_str());
    GraphManager::Save(path);
    std::snprintf(path, sizeof(path), "%s%s", dataBasePath().c_str(),
                  (currentProject->path + "/sequencer.json").c_str());
    SequencerManager::Save(path);
}

void toolboxWindow()
{
    ImGui::Begin("Graph Node Toolbox");
    ImGui::BeginChild("GraphNodeToolbox");
    if (ImGui::Button("SaveGraphLayout"))
        saveGraphLayout();
    createButtons();

    const std::vector<int> selected = uiNodeEditorState ? uiNodeEditorState->selectedIds : std::vector<int>();
    if (ImGui::Button("Clone") && selected.size() == 1)
        if (EngineComponent* source = findComponent(selected[0]))
            ui_graph_clone_component(source);
    if (ImGui::Button("Delete"))
        for (int id : selected)
            if (EngineComponent* component = findComponent(id))
                ui_graph_destroy_component(component);
    if (ImGui::Button("Delete With Inputs") && !selected.empty()) {
        std::set<int> ids;
        for (int id : selected)
            if (EngineComponent* component = findComponent(id))
                ui_graph_collect_inputs(component, ids);
        for (int id : ids)
            if (EngineComponent* component = findComponent(id))
                ui_graph_destroy_component(component);
    }
    ImGui::EndChild();
    ImGui::End();
}

void renderPassesWindow()
{
    ImGui::Begin("Graph Render Passes");
    ImGui::BeginChild("GraphRenderPasses");
    for (const std::string& line : graphPassLog)
        ImGui::Text("%s", line.c_str());
    ImGui::EndChild();
    ImGui::End();
}

} // namespace

void ui_graph_node_toolbox(void (*place)(const char* title))
{
    if (!uiToolboxOpen)
        uiToolboxOpen = true;
    if (place)
        place("Graph Node Toolbox");
    toolboxWindow();
    if (place)
        place("Graph Render Passes");
    renderPassesWindow();
}

void ui_graph_remove_component(int id)
{
    EngineComponent* removed = findComponent(id);
    if (!removed)
        return;
    std::unordered_set<int32_t> outputs;
    for (OutputPin* pin : removed->outputs)
        if (pin)
            outputs.insert(pin->id);
    for (EngineComponent* component : *currentComponents) {
        if (component == removed)
            continue;
        for (InputPin* pin : component->inputs) {
            // Copied: the consumer's callback may change its own pins.
            const std::vector<int32_t> links = pin->links;
            for (int32_t link : links) {
                if (!outputs.count(link))
                    continue;
                pin->links.erase(std::remove(pin->links.begin(), pin->links.end(), link), pin->links.end());
                component->OnInputDisconnected(pin->id);
            }
        }
    }
    currentComponents->erase(std::remove(currentComponents->begin(), currentComponents->end(), removed),
                             currentComponents->end());
    LOG_INFO("Removed component %d : <%s> from the graph", removed->id, removed->name.c_str());
}

void ui_graph_collect_inputs(EngineComponent* component, std::set<int>& ids)
{
    // An explicit stack: a long chain of sources must not run out of call stack.
    std::vector<EngineComponent*> pending;
    if (component && ids.insert(component->id).second)
        pending.push_back(component);
    while (!pending.empty()) {
        EngineComponent* next = pending.back();
        pending.pop_back();
        for (InputPin* pin : next->inputs)
            for (int32_t link : pin->links) {
                EngineComponent* source = GraphManager::FindComponentByPinId(link);
                if (source && ids.insert(source->id).second)
                    pending.push_back(source);
            }
    }
}

EngineComponent* ui_graph_create_component(int typeRow, const std::string& name)
{
    if (typeRow < 0 || typeRow >= kListedRows || !currentComponents) {
        LOG_WARNING("No component of type row %d can be created here", typeRow);
        return nullptr;
    }
    const ComponentTypeInfo& info = componentTypeTable[typeRow];
    EngineComponent* component = info.factory ? info.factory(name) : nullptr;
    if (!component) {
        LOG_WARNING("Component type <%s> cannot be created in this build", info.displayName);
        return nullptr;
    }
    return addToGraph(component);
}

EngineComponent* ui_graph_clone_component(EngineComponent* source)
{
    if (!source || !currentComponents)
        return nullptr;
    const int row = source->typeIndex;
    ComponentFactory factory = row >= 0 && row < kListedRows ? componentTypeTable[row].factory : nullptr;
    EngineComponent* copy = factory ? factory(source->name + " Clone") : nullptr;
    if (!copy) {
        LOG_WARNING("<%s> cannot be cloned: its type has no factory in this build", source->name.c_str());
        return nullptr;
    }
    CvarTreeNode* from = source->GetCvarTree();
    CvarTreeNode* to = copy->GetCvarTree();
    if (from && to) {
        // The values only: the copy keeps its own parameter identities (timeline keys and saved links find
        // parameters by uuid) and exposes none, as it has no links.
        struct Identity {
            Cvar* cvar;
            uint64_t uuid;
            bool exposed;
        };
        std::vector<Identity> own;
        for (Cvar* cvar : CvarTreeCollect(to, -1))
            own.push_back({cvar, cvar->uuid, cvar->graph_exposed});
        // The stored branch names the source; merged under that name, it lands on the copy's parameters.
        const std::string json = CvarTreeToJson(from);
        to->name = from->name;
        CvarTreeLoadFromJson(json, CvarScope::Node, to);
        for (const Identity& identity : own) {
            identity.cvar->uuid = identity.uuid;
            identity.cvar->graph_exposed = identity.exposed;
        }
    }
    if (to)
        to->name = copy->name;
    return addToGraph(copy);
}

void ui_graph_destroy_component(EngineComponent* component)
{
    if (!component)
        return;
    const int32_t id = component->id;
    if (findComponent(id) == component)
        ui_graph_remove_component(id);
    if (component->selected) {
        component->selected = false;
        component->OnSelectionChanged(false);
    }
    forgetTimeline(component);
    unpublish(component);
    // Bounds and their cameras are registered anew every frame; what is left of this one goes now.
    selectedBoundsMap.clear();
    viewportCamera = nullptr;
    if (uiShaderEditorState && uiShaderEditorState->componentId == id) {
        uiShaderEditorState->componentId = 0;
        uiShaderEditorState->cvarUuid = 0;
        uiShaderEditorState->editor.SetText(kShaderEditorUnassigned);
        uiShaderEditorState->syncedText = kShaderEditorUnassigned;
    }
    if (uiNodeEditorState) {
        for (auto& [project, context] : uiNodeEditorState->contexts)
            nodecanvas::ForgetNode(context, id);
        auto& ids = uiNodeEditorState->selectedIds;
        ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    }
    LOG_INFO("Destroying component %d : <%s>", id, component->name.c_str());
    delete component;
}

void ui_component_tags(EngineComponent* component)
{
    if (!component)
        return;
    const std::vector<std::string> tags = component->GetTags();
    std::vector<std::string> kept;
    bool changed = false;
    ImGui::PushID("Tags");
    for (size_t i = 0; i < tags.size(); ++i) {
        ImGui::PushID(("Tag" + std::to_string(i)).c_str());
        std::string text = tags[i];
        const bool edited = ImGui::InputText("Tag", &text);
        ImGui::SameLine();
        if (ImGui::Button("Remove")) {
            changed = true;
        } else {
            kept.push_back(text);
            changed = changed || edited;
        }
        ImGui::PopID();
    }
    const bool added = ImGui::Button("Add Tag");
    if (added)
        kept.push_back("New Tag " + std::to_string(kept.size()));
    if (added || changed)
        component->tags = kept;
    ImGui::PopID();
}
