#include "editor/node_editor.h"

#include "app/log.h"
#include "editor/event_log.h"
#include "editor/ui.h"
#include "project/component_table.h"
#include "project/components.h"
#include "project/graph.h"
#include "project/project.h"

#include <GLFW/glfw3.h>
#include <imgui.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr int kMaxSelection = 4095;
constexpr ImU32 kLinkedPinColor = 0xFF33CC33;
const ImVec4 kCvarPinText(1.0f, 1.0f, 0.7f, 1.0f);

// Link id -> {input pin, output pin} of every link drawn in the last frame.
std::unordered_map<nodecanvas::LinkId, std::pair<int32_t, int32_t>> drawnLinks;

bool selectionActs(int count) { return count >= 1 && count <= kMaxSelection; }

ImU32 titleColor(int32_t typeIndex)
{
    const int row = typeIndex >= 0 && typeIndex < kComponentTypeCount ? typeIndex : kComponentTypeInvalid;
    float r = 0.0f, g = 0.0f, b = 0.0f;
    ImGui::ColorConvertHSVtoRGB(static_cast<float>(componentTypeTable[row].category) / 6.0f, 0.3f, 0.65f, r, g, b);
    const auto red = static_cast<ImU32>(r * 255.0f), green = static_cast<ImU32>(g * 255.0f),
               blue = static_cast<ImU32>(b * 255.0f);
    return red | green << 8 | blue << 16 | blue << 24;
}

EngineComponent* findComponent(int32_t id)
{
    if (currentComponents)
        for (EngineComponent* component : *currentComponents)
            if (component->id == id)
                return component;
    return nullptr;
}

// A node that the canvas has not placed yet starts where its component was stored.
void ensureNode(EngineComponent* component)
{
    if (!nodecanvas::HasNode(component->id))
        nodecanvas::SetNodeGridPos(component->id, ImVec2(component->x, component->y));
}

void makeCurrent(NodeEditorState& state)
{
    if (currentProject != state.shownProject) {
        nodecanvas::SetCurrentContext(ui_node_editor_context(state, currentProject));
        ui_node_editor_load_positions();
        state.shownProject = currentProject;
    }
    nodecanvas::SetCurrentContext(ui_node_editor_context(state, currentProject));
}

void buttonRow()
{
    ImGui::PushID("NodeButtons");
    if (ImGui::Button("First") && currentComponents && !currentComponents->empty()) {
        const ImVec2 origin = nodecanvas::GetNodeGridPos(currentComponents->front()->id);
        nodecanvas::SetPanning(ImVec2(-origin.x, -origin.y));
    }
    ImGui::SameLine();
    ImGui::Button("Next");
    ImGui::SameLine();
    ImGui::Button("Prev");
    ImGui::SameLine();
    const int selectedCount = nodecanvas::NumSelectedNodes();
    if (ImGui::Button("Add Inputs To Selection") && selectionActs(selectedCount)) {
        // One level: what this click adds is not expanded further.
        const std::vector<int> selected = nodecanvas::SelectedNodes();
        for (int id : selected) {
            EngineComponent* component = findComponent(id);
            if (!component)
                continue;
            for (InputPin* pin : component->inputs)
                for (int32_t link : pin->links)
                    if (EngineComponent* source = GraphManager::FindComponentByPinId(link))
                        nodecanvas::SelectNode(source->id);
        }
    }
    if (selectionActs(selectedCount)) {
        ImGui::SameLine();
        if (ImGui::Button("Organize Child")) {
            const std::vector<int> selected = nodecanvas::SelectedNodes();
            for (int id : selected) {
                EngineComponent* component = findComponent(id);
                if (!component)
                    continue;
                const ImVec2 origin = nodecanvas::GetNodeGridPos(id);
                float y = origin.y;
                for (InputPin* pin : component->inputs)
                    for (int32_t link : pin->links) {
                        EngineComponent* source = GraphManager::FindComponentByPinId(link);
                        if (!source)
                            continue;
                        nodecanvas::SetNodeGridPos(source->id, ImVec2(origin.x - 150.0f, y));
                        source->x = origin.x - 150.0f;
                        source->y = y;
                        y += 75.0f;
                    }
            }
        }
    }
    ImGui::PopID();
}

void drawNode(EngineComponent* component)
{
    const bool colored = component->GetCvarTree() != nullptr;
    if (colored)
        nodecanvas::PushColor(nodecanvas::Color::TitleBar, titleColor(component->typeIndex));
    nodecanvas::BeginNode(component->id);
    nodecanvas::BeginNodeTitleBar();
    ImGui::TextUnformatted(component->name.c_str());
    ImGui::Text("%s[%d][%s]", component->collapsed ? "[C]" : "", component->id, component->GetTypeName().c_str());
    nodecanvas::EndNodeTitleBar();
    for (InputPin* pin : component->inputs) {
        const bool linked = !pin->links.empty();
        if (linked)
            nodecanvas::PushColor(nodecanvas::Color::Pin, kLinkedPinColor);
        nodecanvas::BeginInputAttribute(pin->id, component->collapsed ? nodecanvas::PinShape::Triangle
                                                                      : nodecanvas::PinShape::Circle);
        if (pin->cvar)
            ImGui::TextColored(kCvarPinText, "[%d]%s", pin->id, pin->name.c_str());
        else
            ImGui::Text("[%d]%s", pin->id, pin->name.c_str());
        nodecanvas::EndInputAttribute();
        if (linked)
            nodecanvas::PopColor();
    }
    for (OutputPin* pin : component->outputs) {
        ImGui::Indent(80.0f); // cumulative: each output sits further right
        nodecanvas::BeginOutputAttribute(pin->id, nodecanvas::PinShape::CircleFilled);
        ImGui::Text("[%d]%s", pin->id, pin->name.c_str());
        nodecanvas::EndOutputAttribute();
    }
    nodecanvas::EndNode();
    if (colored)
        nodecanvas::PopColor();
}

// Components not drawn: those whose parent is collapsed.
bool hiddenByParent(EngineComponent* component, const std::unordered_map<int32_t, EngineComponent*>& byId)
{
    if (component->parent_id == 0)
        return false;
    auto parent = byId.find(component->parent_id);
    return parent != byId.end() && parent->second->collapsed;
}

void toggleCollapse(int nodeId)
{
    if (EngineComponent* component = findComponent(nodeId)) {
        component->collapsed = !component->collapsed;
        LOG_INFO("Node %d : <%s> %s", component->id, component->name.c_str(),
                 component->collapsed ? "collapsed" : "expanded");
    }
}

// The consumers of the moved nodes re-sort their several-links inputs by the new heights of their sources.
void finishDrag(const std::vector<int>& selected)
{
    if (!currentComponents)
        return;
    std::unordered_set<int32_t> movedOutputs;
    for (int id : selected)
        if (EngineComponent* component = findComponent(id))
            for (OutputPin* pin : component->outputs)
                movedOutputs.insert(pin->id);
    std::vector<EngineComponent*> consumers;
    for (EngineComponent* component : *currentComponents) {
        bool uses = false;
        for (InputPin* pin : component->inputs)
            for (int32_t link : pin->links)
                uses = uses || movedOutputs.count(link) != 0;
        if (uses)
            consumers.push_back(component);
    }
    if (consumers.empty())
        return;
    ui_node_editor_store_positions();
    for (EngineComponent* consumer : consumers)
        if (consumer->SortInputs())
            consumer->ResolveInputs();
}

void refuse(const char* format, const std::string& a, const std::string& b)
{
    char line[512];
    std::snprintf(line, sizeof(line), format, a.c_str(), b.c_str());
    LOG_WARNING("%s", line);
    ui_event_log_add_line(uiEventLog, "%s", line);
}

} // namespace

nodecanvas::LinkId ui_node_editor_link_id(int32_t inputPinId, int32_t outputPinId)
{
    const auto in = static_cast<uint32_t>(inputPinId), out = static_cast<uint32_t>(outputPinId);
    if (in <= 0xFFFF && out <= 0xFFFF)
        return static_cast<nodecanvas::LinkId>(in | out << 16);
    // Past 16 bits the packed form would name other pins; with the output above bit 32 these ids lie above every
    // packed one.
    return static_cast<nodecanvas::LinkId>(static_cast<uint64_t>(out) << 32 | in);
}

bool ui_node_editor_link_pins(nodecanvas::LinkId linkId, int32_t* inputPinId, int32_t* outputPinId)
{
    auto it = drawnLinks.find(linkId);
    if (it == drawnLinks.end())
        return false;
    *inputPinId = it->second.first;
    *outputPinId = it->second.second;
    return true;
}

nodecanvas::Context* ui_node_editor_context(NodeEditorState& state, Project* project)
{
    nodecanvas::Context*& context = state.contexts[project];
    if (!context)
        context = nodecanvas::CreateContext();
    return context;
}

void ui_node_editor_forget_contexts(NodeEditorState& state)
{
    for (auto& [project, context] : state.contexts)
        nodecanvas::DestroyContext(context);
    state.contexts.clear();
    state.shownProject = nullptr;
    state.selectedIds.clear();
    drawnLinks.clear();
}

void ui_node_editor_load_positions()
{
    if (!uiNodeEditorState || !currentComponents)
        return;
    nodecanvas::SetCurrentContext(ui_node_editor_context(*uiNodeEditorState, currentProject));
    for (EngineComponent* component : *currentComponents)
        nodecanvas::SetNodeGridPos(component->id, ImVec2(component->x, component->y));
}

void ui_node_editor_store_positions()
{
    if (!uiNodeEditorState || !currentComponents)
        return;
    nodecanvas::SetCurrentContext(ui_node_editor_context(*uiNodeEditorState, currentProject));
    for (EngineComponent* component : *currentComponents) {
        // A node the canvas never placed keeps the component's own position.
        if (!nodecanvas::HasNode(component->id))
            continue;
        const ImVec2 origin = nodecanvas::GetNodeGridPos(component->id);
        component->x = origin.x;
        component->y = origin.y;
    }
}

void ui_node_editor_place_new_node(EngineComponent* component)
{
    if (!component)
        return;
    if (uiNodeEditorState)
        nodecanvas::SetCurrentContext(ui_node_editor_context(*uiNodeEditorState, currentProject));
    const ImVec2 panning = nodecanvas::GetPanning();
    const ImVec2 origin(400.0f - panning.x, 200.0f - panning.y);
    nodecanvas::SetNodeGridPos(component->id, origin);
    component->x = origin.x;
    component->y = origin.y;
}

bool ui_node_editor_connect(int32_t pinA, int32_t pinB)
{
    EngineComponent* ownerA = GraphManager::FindComponentByPinId(pinA);
    EngineComponent* ownerB = GraphManager::FindComponentByPinId(pinB);
    if (!ownerA || !ownerB)
        return false;
    if (ownerA == ownerB) {
        refuse("Link refused: <%s> cannot feed itself%s", ownerA->name, "");
        return false;
    }
    // The pin that is an output is the start of the link.
    int32_t outputId = pinA, inputId = pinB;
    if (!GraphManager::FindOutputPin(pinA))
        std::swap(outputId, inputId);
    OutputPin* output = GraphManager::FindOutputPin(outputId);
    EngineComponent* consumer = GraphManager::FindComponentByPinId(inputId);
    InputPin* input = nullptr;
    if (consumer)
        for (InputPin* pin : consumer->inputs)
            if (pin->id == inputId)
                input = pin;
    if (!output || !input) {
        refuse("Link refused: <%s> and <%s> are not an output and an input", ownerA->name, ownerB->name);
        return false;
    }
    EngineComponent* producer = GraphManager::FindComponentByPinId(outputId);
    // A consumer reads the payload as the type its input names; anything else would be misread.
    if (!input->acceptedTypes.empty() && !input->Accepts(output->resourceType)) {
        refuse("Link refused: output <%s> does not give what input <%s> accepts",
               producer->name + "/" + output->name, consumer->name + "/" + input->name);
        return false;
    }
    if (input->severalLinks) {
        if (std::find(input->links.begin(), input->links.end(), outputId) == input->links.end()) {
            input->links.push_back(outputId);
            consumer->SortInputs();
        }
    } else {
        const bool replaces = !input->links.empty() && input->links != std::vector<int32_t>{outputId};
        input->links = {outputId};
        // The consumer let go of what it held from the old link before it takes the new one.
        if (replaces)
            consumer->OnInputDisconnected(inputId);
    }
    LOG_INFO("Linked <%s>/<%s> to <%s>/<%s>", producer->name.c_str(), output->name.c_str(), consumer->name.c_str(),
             input->name.c_str());
    consumer->OnInputConnected(inputId);
    return true;
}

void ui_node_editor_disconnect(int32_t inputPinId, int32_t outputPinId)
{
    EngineComponent* consumer = GraphManager::FindComponentByPinId(inputPinId);
    if (!consumer)
        return;
    for (InputPin* pin : consumer->inputs) {
        if (pin->id != inputPinId)
            continue;
        pin->links.erase(std::remove(pin->links.begin(), pin->links.end(), outputPinId), pin->links.end());
        consumer->OnInputDisconnected(inputPinId);
        return;
    }
}

void ui_node_editor_window(NodeEditorState& state)
{
    ImGuiIO& io = ImGui::GetIO();
    if (!state.initialized) {
        nodecanvas::SetLinkDetachModifier(&io.KeyCtrl);
        state.initialized = true;
    }
    makeCurrent(state);

    ImGui::Begin("Simple node editor");
    ImGui::PushID(currentProject ? currentProject->name.c_str() : "");

    // Ctrl+R, every frame while held: panning back to the corner, the nodes down the diagonal.
    if (io.KeyCtrl && ImGui::IsKeyDown(GLFW_KEY_R) && currentComponents) {
        nodecanvas::SetPanning(ImVec2(0.0f, 0.0f));
        float step = 10.0f;
        for (EngineComponent* component : *currentComponents) {
            nodecanvas::SetNodeGridPos(component->id, ImVec2(step, step));
            step += 10.0f;
        }
    }
    const bool collapseRequest = io.KeyCtrl && ImGui::IsKeyPressed(GLFW_KEY_F, true);

    buttonRow();

    ImGui::BeginChild("NodeGraph", ImVec2(0, 0), false);
    if (uiSmallFont)
        ImGui::PushFont(uiSmallFont);
    nodecanvas::BeginEditor();

    std::unordered_map<int32_t, EngineComponent*> byId;
    std::unordered_map<int32_t, EngineComponent*> outputOwners;
    if (currentComponents)
        for (EngineComponent* component : *currentComponents) {
            byId.emplace(component->id, component);
            for (OutputPin* pin : component->outputs)
                outputOwners.emplace(pin->id, component);
        }

    if (currentComponents)
        for (EngineComponent* component : *currentComponents) {
            if (hiddenByParent(component, byId))
                continue;
            ensureNode(component);
            drawNode(component);
        }

    drawnLinks.clear();
    if (currentComponents)
        for (EngineComponent* component : *currentComponents) {
            if (component->collapsed || hiddenByParent(component, byId))
                continue;
            for (InputPin* pin : component->inputs)
                for (int32_t link : pin->links) {
                    if (link == 0 || pin->id == 0 || !outputOwners.count(link))
                        continue;
                    const nodecanvas::LinkId id = ui_node_editor_link_id(pin->id, link);
                    drawnLinks[id] = {pin->id, link};
                    nodecanvas::Link(id, link, pin->id);
                }
        }

    const bool dragEnds = nodecanvas::IsNodeInteractionActive() && ImGui::IsMouseReleased(ImGuiMouseButton_Left);
    nodecanvas::EndEditor();

    int hovered = 0;
    if (nodecanvas::IsNodeHovered(&hovered) && (ImGui::IsMouseDoubleClicked(ImGuiMouseButton_Left) || collapseRequest))
        toggleCollapse(hovered);

    int start = 0, end = 0;
    if (nodecanvas::IsLinkCreated(&start, &end))
        ui_node_editor_connect(start, end);

    nodecanvas::LinkId destroyed = 0;
    int32_t inputId = 0, outputId = 0;
    if (nodecanvas::IsLinkDestroyed(&destroyed) && ui_node_editor_link_pins(destroyed, &inputId, &outputId))
        ui_node_editor_disconnect(inputId, outputId);

    if (uiSmallFont)
        ImGui::PopFont();
    ImGui::EndChild();

    if (currentComponents)
        for (EngineComponent* component : *currentComponents) {
            component->selected = false;
            component->OnSelectionChanged(false);
        }
    state.selectedIds.clear();
    if (selectionActs(nodecanvas::NumSelectedNodes()))
        state.selectedIds = nodecanvas::SelectedNodes();

    if (dragEnds)
        finishDrag(state.selectedIds);

    ImGui::PopID();
    ImGui::End();
}
