#include "editor/node_canvas.h"

#include <imgui_internal.h>

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace nodecanvas {

namespace {

const ImVec2 kNodePadding(8.0f, 4.0f);
constexpr float kPinRadius = 4.0f;
constexpr float kPinHitRadius = 8.0f;
constexpr float kLinkHitDistance = 5.0f;
constexpr float kGridSpacing = 32.0f;
constexpr int kLinkSegments = 24;

// Draw-list channels: the canvas below the links, the links below the nodes, the node bodies below their
// contents, and what follows the mouse on top.
enum Channel { ChannelGrid = 0, ChannelLinks, ChannelNodeBackground, ChannelNodeContent, ChannelOverlay, ChannelCount };

enum class Interaction { None, BoxSelect, NodeDrag, LinkDrag, Panning };

struct NodeData {
    ImVec2 gridPos{0.0f, 0.0f};
};

struct PinData {
    int id = 0;
    int nodeId = 0;
    bool output = false;
    PinShape shape = PinShape::CircleFilled;
    ImU32 color = 0;
    float attributeMinY = 0.0f;
    float attributeMaxY = 0.0f;
    ImVec2 position{0.0f, 0.0f};
};

struct LinkData {
    LinkId id = 0;
    int startPin = 0;
    int endPin = 0;
    ImU32 color = 0;
};

struct FrameNode {
    int id = 0;
    ImRect rect;
};

ImU32 defaultColor(Color item)
{
    switch (item) {
    case Color::NodeBackground: return IM_COL32(50, 50, 50, 255);
    case Color::TitleBar: return IM_COL32(41, 74, 122, 255);
    case Color::TitleBarSelected: return IM_COL32(66, 150, 250, 255);
    case Color::Pin: return IM_COL32(53, 150, 250, 180);
    case Color::Link: return IM_COL32(61, 133, 224, 200);
    case Color::LinkSelected: return IM_COL32(66, 150, 250, 255);
    case Color::BoxSelector: return IM_COL32(61, 133, 224, 30);
    case Color::Grid: return IM_COL32(200, 200, 200, 40);
    case Color::Count: break;
    }
    return IM_COL32_WHITE;
}

} // namespace

struct Context {
    Context()
    {
        for (int i = 0; i < static_cast<int>(Color::Count); ++i)
            colors[i] = defaultColor(static_cast<Color>(i));
    }

    // ---- Kept between frames ----
    std::unordered_map<int, NodeData> nodes;
    ImVec2 panning{0.0f, 0.0f};
    std::vector<int> selected;
    Interaction interaction = Interaction::None;
    ImVec2 boxStartGrid{0.0f, 0.0f};
    std::vector<int> selectionBeforeBox;
    int dragStartPin = 0;

    // ---- This frame ----
    ImU32 colors[static_cast<int>(Color::Count)];
    std::vector<std::pair<Color, ImU32>> colorStack;
    ImRect canvas;
    ImVec2 origin{0.0f, 0.0f}; // screen position of grid (0, 0)
    bool canvasHovered = false;
    std::vector<FrameNode> frameNodes;
    std::unordered_map<int, size_t> nodeIndex;
    std::vector<PinData> pins;
    std::unordered_map<int, size_t> pinIndex;
    std::vector<LinkData> links;

    // The node being submitted.
    int currentNode = 0;
    ImVec2 nodeOrigin{0.0f, 0.0f};
    ImRect titleRect;
    bool hasTitle = false;
    size_t firstPin = 0;
    ImU32 nodeTitleColor = 0;
    ImU32 nodeBackgroundColor = 0;
    int currentPin = -1;

    // ---- Results of EndEditor ----
    int hoveredNode = 0;
    LinkId hoveredLink = 0;
    bool linkHovered = false;
    bool linkCreated = false;
    int createdStart = 0;
    int createdEnd = 0;
    bool linkDestroyed = false;
    LinkId destroyedLink = 0;
};

namespace {

Context* current = nullptr;
const bool* linkDetachModifier = nullptr;

NodeData& nodeData(int nodeId) { return current->nodes[nodeId]; }

const PinData* findPin(int pinId)
{
    auto it = current->pinIndex.find(pinId);
    return it == current->pinIndex.end() ? nullptr : &current->pins[it->second];
}

const LinkData* findLink(LinkId linkId)
{
    for (const LinkData& link : current->links)
        if (link.id == linkId)
            return &link;
    return nullptr;
}

// The curve of a link runs from an output's right edge to an input's left edge.
void linkCurve(ImVec2 from, ImVec2 to, ImVec2 points[4])
{
    const float reach = std::max(std::fabs(to.x - from.x) * 0.5f, 30.0f);
    points[0] = from;
    points[1] = ImVec2(from.x + reach, from.y);
    points[2] = ImVec2(to.x - reach, to.y);
    points[3] = to;
}

ImVec2 bezierPoint(const ImVec2 p[4], float t)
{
    const float u = 1.0f - t;
    const float a = u * u * u, b = 3 * u * u * t, c = 3 * u * t * t, d = t * t * t;
    return ImVec2(a * p[0].x + b * p[1].x + c * p[2].x + d * p[3].x, a * p[0].y + b * p[1].y + c * p[2].y + d * p[3].y);
}

float distanceToCurve(const ImVec2 p[4], ImVec2 point)
{
    float best = FLT_MAX;
    ImVec2 previous = p[0];
    for (int i = 1; i <= kLinkSegments; ++i) {
        const ImVec2 next = bezierPoint(p, static_cast<float>(i) / kLinkSegments);
        const ImVec2 closest = ImLineClosestPoint(previous, next, point);
        best = std::min(best, ImLengthSqr(ImVec2(point.x - closest.x, point.y - closest.y)));
        previous = next;
    }
    return std::sqrt(best);
}

// The output end first, whichever order the link was given in.
bool linkEnds(const LinkData& link, ImVec2* from, ImVec2* to)
{
    const PinData* a = findPin(link.startPin);
    const PinData* b = findPin(link.endPin);
    if (!a || !b)
        return false;
    if (!a->output && b->output)
        std::swap(a, b);
    *from = a->position;
    *to = b->position;
    return true;
}

void drawPin(ImDrawList* list, const PinData& pin, bool hovered)
{
    const ImVec2 c = pin.position;
    const float r = hovered ? kPinRadius + 1.5f : kPinRadius;
    switch (pin.shape) {
    case PinShape::Circle: list->AddCircle(c, r, pin.color, 0, 1.5f); break;
    case PinShape::CircleFilled: list->AddCircleFilled(c, r, pin.color); break;
    case PinShape::Triangle:
        list->AddTriangle(ImVec2(c.x - r, c.y - r), ImVec2(c.x + r, c.y), ImVec2(c.x - r, c.y + r), pin.color, 1.5f);
        break;
    case PinShape::TriangleFilled:
        list->AddTriangleFilled(ImVec2(c.x - r, c.y - r), ImVec2(c.x + r, c.y), ImVec2(c.x - r, c.y + r), pin.color);
        break;
    case PinShape::Quad:
        list->AddRect(ImVec2(c.x - r, c.y - r), ImVec2(c.x + r, c.y + r), pin.color, 0.0f, 0, 1.5f);
        break;
    case PinShape::QuadFilled: list->AddRectFilled(ImVec2(c.x - r, c.y - r), ImVec2(c.x + r, c.y + r), pin.color); break;
    }
}

void beginAttribute(int pinId, PinShape shape, bool output)
{
    IM_ASSERT(current && current->currentNode != 0 && current->currentPin < 0);
    PinData pin;
    pin.id = pinId;
    pin.nodeId = current->currentNode;
    pin.output = output;
    pin.shape = shape;
    pin.color = current->colors[static_cast<int>(Color::Pin)];
    current->currentPin = static_cast<int>(current->pins.size());
    // A pin id given twice keeps its first attribute for hit tests and links.
    current->pinIndex.emplace(pinId, current->pins.size());
    current->pins.push_back(pin);
    ImGui::BeginGroup();
    ImGui::PushID(pinId);
}

void endAttribute()
{
    IM_ASSERT(current && current->currentPin >= 0);
    ImGui::PopID();
    ImGui::EndGroup();
    PinData& pin = current->pins[static_cast<size_t>(current->currentPin)];
    pin.attributeMinY = ImGui::GetItemRectMin().y;
    pin.attributeMaxY = ImGui::GetItemRectMax().y;
    current->currentPin = -1;
}

bool modifierHeld(const bool* modifier) { return modifier && *modifier; }

void selectInBox()
{
    const ImVec2 start(current->origin.x + current->boxStartGrid.x, current->origin.y + current->boxStartGrid.y);
    const ImVec2 mouse = ImGui::GetIO().MousePos;
    const ImRect box(ImMin(start, mouse), ImMax(start, mouse));
    current->selected = current->selectionBeforeBox;
    for (const FrameNode& node : current->frameNodes)
        if (box.Overlaps(node.rect) &&
            std::find(current->selected.begin(), current->selected.end(), node.id) == current->selected.end())
            current->selected.push_back(node.id);
    ImDrawList* list = ImGui::GetWindowDrawList();
    list->AddRectFilled(box.Min, box.Max, current->colors[static_cast<int>(Color::BoxSelector)]);
    list->AddRect(box.Min, box.Max, current->colors[static_cast<int>(Color::BoxSelector)] | IM_COL32_A_MASK);
}

void processInput()
{
    Context& c = *current;
    const ImGuiIO& io = ImGui::GetIO();
    const ImVec2 mouse = io.MousePos;

    // What lies under the mouse: a pin before a node (pins sit on node edges), a node before a link.
    int hoveredPin = 0;
    if (c.canvasHovered) {
        float best = kPinHitRadius * kPinHitRadius;
        for (const PinData& pin : c.pins) {
            const float d = ImLengthSqr(ImVec2(mouse.x - pin.position.x, mouse.y - pin.position.y));
            if (d <= best) {
                best = d;
                hoveredPin = pin.id;
            }
        }
        for (auto it = c.frameNodes.rbegin(); it != c.frameNodes.rend(); ++it)
            if (it->rect.Contains(mouse)) {
                c.hoveredNode = it->id;
                break;
            }
        if (!hoveredPin && !c.hoveredNode) {
            float bestLink = kLinkHitDistance;
            for (const LinkData& link : c.links) {
                ImVec2 from, to, points[4];
                if (!linkEnds(link, &from, &to))
                    continue;
                linkCurve(from, to, points);
                const float d = distanceToCurve(points, mouse);
                if (d <= bestLink) {
                    bestLink = d;
                    c.hoveredLink = link.id;
                    c.linkHovered = true;
                }
            }
        }
    }

    switch (c.interaction) {
    case Interaction::None:
        if (!c.canvasHovered)
            break;
        if (io.MouseClicked[0]) {
            if (hoveredPin) {
                c.interaction = Interaction::LinkDrag;
                c.dragStartPin = hoveredPin;
            } else if (c.linkHovered && modifierHeld(linkDetachModifier)) {
                // The link goes at once; the drag continues from its output end and may make a new one.
                const LinkData* link = findLink(c.hoveredLink);
                c.linkDestroyed = true;
                c.destroyedLink = c.hoveredLink;
                const PinData* start = link ? findPin(link->startPin) : nullptr;
                c.dragStartPin = start && start->output ? link->startPin : (link ? link->endPin : 0);
                c.interaction = c.dragStartPin ? Interaction::LinkDrag : Interaction::None;
            } else if (c.hoveredNode) {
                if (!IsNodeSelected(c.hoveredNode)) {
                    if (!io.KeyShift)
                        c.selected.clear();
                    c.selected.push_back(c.hoveredNode);
                }
                c.interaction = Interaction::NodeDrag;
            } else {
                if (!io.KeyShift)
                    c.selected.clear();
                c.selectionBeforeBox = c.selected;
                c.boxStartGrid = ImVec2(mouse.x - c.origin.x, mouse.y - c.origin.y);
                c.interaction = Interaction::BoxSelect;
            }
        } else if (io.MouseClicked[2]) {
            c.interaction = Interaction::Panning;
        }
        break;
    case Interaction::NodeDrag:
        if (io.MouseDown[0]) {
            for (int id : c.selected) {
                NodeData& node = nodeData(id);
                node.gridPos = ImVec2(node.gridPos.x + io.MouseDelta.x, node.gridPos.y + io.MouseDelta.y);
            }
        } else {
            c.interaction = Interaction::None;
        }
        break;
    case Interaction::Panning:
        if (io.MouseDown[2])
            c.panning = ImVec2(c.panning.x + io.MouseDelta.x, c.panning.y + io.MouseDelta.y);
        else
            c.interaction = Interaction::None;
        break;
    case Interaction::BoxSelect:
        ImGui::GetWindowDrawList()->ChannelsSetCurrent(ChannelOverlay);
        selectInBox();
        if (!io.MouseDown[0])
            c.interaction = Interaction::None;
        break;
    case Interaction::LinkDrag: {
        const PinData* start = findPin(c.dragStartPin);
        if (start && io.MouseDown[0]) {
            ImVec2 points[4];
            if (start->output)
                linkCurve(start->position, mouse, points);
            else
                linkCurve(mouse, start->position, points);
            ImDrawList* list = ImGui::GetWindowDrawList();
            list->ChannelsSetCurrent(ChannelOverlay);
            list->AddBezierCubic(points[0], points[1], points[2], points[3],
                                 c.colors[static_cast<int>(Color::LinkSelected)], 2.0f);
            break;
        }
        const PinData* end = hoveredPin ? findPin(hoveredPin) : nullptr;
        if (start && end && end->id != start->id && end->output != start->output) {
            c.linkCreated = true;
            c.createdStart = start->id;
            c.createdEnd = end->id;
        }
        c.interaction = Interaction::None;
        break;
    }
    }
}

} // namespace

Context* CreateContext() { return new Context(); }

void DestroyContext(Context* context)
{
    if (current == context)
        current = nullptr;
    delete context;
}

void SetCurrentContext(Context* context) { current = context; }
Context* GetCurrentContext() { return current; }
void SetLinkDetachModifier(const bool* modifier) { linkDetachModifier = modifier; }

ImVec2 GetPanning() { return current ? current->panning : ImVec2(0.0f, 0.0f); }

void SetPanning(ImVec2 panning)
{
    if (current)
        current->panning = panning;
}

ImVec2 GetNodeGridPos(int nodeId) { return current ? nodeData(nodeId).gridPos : ImVec2(0.0f, 0.0f); }

void SetNodeGridPos(int nodeId, ImVec2 position)
{
    if (current)
        nodeData(nodeId).gridPos = position;
}

bool HasNode(int nodeId) { return current && current->nodes.count(nodeId) != 0; }

void ForgetNode(Context* context, int nodeId)
{
    if (!context)
        return;
    context->nodes.erase(nodeId);
    auto& selected = context->selected;
    selected.erase(std::remove(selected.begin(), selected.end(), nodeId), selected.end());
}

void BeginEditor()
{
    IM_ASSERT(current);
    Context& c = *current;
    c.frameNodes.clear();
    c.nodeIndex.clear();
    c.pins.clear();
    c.pinIndex.clear();
    c.links.clear();
    c.hoveredNode = 0;
    c.hoveredLink = 0;
    c.linkHovered = false;
    c.linkCreated = false;
    c.linkDestroyed = false;
    c.currentNode = 0;
    c.currentPin = -1;

    ImGui::BeginChild("nodecanvas", ImVec2(0, 0), false,
                      ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoScrollWithMouse);
    const ImVec2 min = ImGui::GetCursorScreenPos();
    ImVec2 size = ImGui::GetContentRegionAvail();
    size = ImVec2(std::max(size.x, 1.0f), std::max(size.y, 1.0f));
    c.canvas = ImRect(min, ImVec2(min.x + size.x, min.y + size.y));
    c.origin = ImVec2(min.x + c.panning.x, min.y + c.panning.y);
    // One item under everything: it owns the canvas's clicks, so they neither move the window nor reach below.
    ImGui::InvisibleButton("canvas", size,
                           ImGuiButtonFlags_MouseButtonLeft | ImGuiButtonFlags_MouseButtonMiddle |
                               ImGuiButtonFlags_MouseButtonRight);
    c.canvasHovered = ImGui::IsItemHovered();

    ImDrawList* list = ImGui::GetWindowDrawList();
    list->ChannelsSplit(ChannelCount);
    list->ChannelsSetCurrent(ChannelGrid);
    const ImU32 grid = c.colors[static_cast<int>(Color::Grid)];
    for (float x = std::fmod(c.panning.x, kGridSpacing); x < size.x; x += kGridSpacing)
        list->AddLine(ImVec2(min.x + x, min.y), ImVec2(min.x + x, c.canvas.Max.y), grid);
    for (float y = std::fmod(c.panning.y, kGridSpacing); y < size.y; y += kGridSpacing)
        list->AddLine(ImVec2(min.x, min.y + y), ImVec2(c.canvas.Max.x, min.y + y), grid);
    list->ChannelsSetCurrent(ChannelNodeContent);
}

void EndEditor()
{
    IM_ASSERT(current && current->currentNode == 0);
    Context& c = *current;
    ImDrawList* list = ImGui::GetWindowDrawList();
    processInput();

    // Links are drawn once the pins have their places; the hovered one and those of selected nodes stand out.
    list->ChannelsSetCurrent(ChannelLinks);
    for (const LinkData& link : c.links) {
        ImVec2 from, to, points[4];
        if (!linkEnds(link, &from, &to))
            continue;
        linkCurve(from, to, points);
        ImRect bounds(ImMin(ImMin(points[0], points[1]), ImMin(points[2], points[3])),
                      ImMax(ImMax(points[0], points[1]), ImMax(points[2], points[3])));
        if (!bounds.Overlaps(c.canvas))
            continue;
        const bool highlighted = (c.linkHovered && c.hoveredLink == link.id);
        list->AddBezierCubic(points[0], points[1], points[2], points[3],
                             highlighted ? c.colors[static_cast<int>(Color::LinkSelected)] : link.color,
                             highlighted ? 3.0f : 2.0f);
    }
    list->ChannelsMerge();
    ImGui::EndChild();
    c.colorStack.clear();
    for (int i = 0; i < static_cast<int>(Color::Count); ++i)
        c.colors[i] = defaultColor(static_cast<Color>(i));
}

void BeginNode(int nodeId)
{
    IM_ASSERT(current && current->currentNode == 0);
    Context& c = *current;
    c.currentNode = nodeId;
    const ImVec2 grid = nodeData(nodeId).gridPos;
    c.nodeOrigin = ImVec2(c.origin.x + grid.x, c.origin.y + grid.y);
    c.hasTitle = false;
    c.firstPin = c.pins.size();
    // A selected node keeps its own title colour and shows the selection by its outline.
    c.nodeTitleColor = c.colors[static_cast<int>(Color::TitleBar)];
    c.nodeBackgroundColor = c.colors[static_cast<int>(Color::NodeBackground)];
    ImGui::GetWindowDrawList()->ChannelsSetCurrent(ChannelNodeContent);
    ImGui::PushID(nodeId);
    ImGui::SetCursorScreenPos(ImVec2(c.nodeOrigin.x + kNodePadding.x, c.nodeOrigin.y + kNodePadding.y));
    ImGui::BeginGroup();
}

void EndNode()
{
    IM_ASSERT(current && current->currentNode != 0 && current->currentPin < 0);
    Context& c = *current;
    ImGui::EndGroup();
    ImGui::PopID();
    const ImVec2 contentMax = ImGui::GetItemRectMax();
    const ImRect rect(c.nodeOrigin, ImVec2(contentMax.x + kNodePadding.x, contentMax.y + kNodePadding.y));
    c.nodeIndex[c.currentNode] = c.frameNodes.size();
    c.frameNodes.push_back({c.currentNode, rect});

    ImDrawList* list = ImGui::GetWindowDrawList();
    // Pins get their places either way (hit tests, links); only what shows is drawn.
    const bool visible = rect.Overlaps(c.canvas);
    for (size_t i = c.firstPin; i < c.pins.size(); ++i) {
        PinData& pin = c.pins[i];
        pin.position = ImVec2(pin.output ? rect.Max.x : rect.Min.x, 0.5f * (pin.attributeMinY + pin.attributeMaxY));
    }
    if (!visible) {
        c.currentNode = 0;
        return;
    }
    list->ChannelsSetCurrent(ChannelNodeBackground);
    list->AddRectFilled(rect.Min, rect.Max, c.nodeBackgroundColor, 4.0f);
    if (c.hasTitle)
        list->AddRectFilled(rect.Min, ImVec2(rect.Max.x, c.titleRect.Max.y + kNodePadding.y), c.nodeTitleColor, 4.0f,
                            ImDrawFlags_RoundCornersTop);
    const bool selected = IsNodeSelected(c.currentNode);
    list->AddRect(rect.Min, rect.Max,
                  selected ? c.colors[static_cast<int>(Color::LinkSelected)] : IM_COL32(100, 100, 100, 255), 4.0f, 0,
                  selected ? 2.0f : 1.0f);

    list->ChannelsSetCurrent(ChannelNodeContent);
    for (size_t i = c.firstPin; i < c.pins.size(); ++i)
        drawPin(list, c.pins[i], false);
    c.currentNode = 0;
}

void BeginNodeTitleBar()
{
    IM_ASSERT(current && current->currentNode != 0);
    ImGui::BeginGroup();
}

void EndNodeTitleBar()
{
    IM_ASSERT(current && current->currentNode != 0);
    ImGui::EndGroup();
    current->titleRect = ImRect(ImGui::GetItemRectMin(), ImGui::GetItemRectMax());
    current->hasTitle = true;
    // Room between the title bar and the first attribute.
    ImGui::Dummy(ImVec2(0.0f, kNodePadding.y));
}

void BeginInputAttribute(int pinId, PinShape shape) { beginAttribute(pinId, shape, false); }
void EndInputAttribute() { endAttribute(); }
void BeginOutputAttribute(int pinId, PinShape shape) { beginAttribute(pinId, shape, true); }
void EndOutputAttribute() { endAttribute(); }

void Link(LinkId linkId, int startPinId, int endPinId)
{
    IM_ASSERT(current);
    current->links.push_back({linkId, startPinId, endPinId, current->colors[static_cast<int>(Color::Link)]});
}

void PushColor(Color item, ImU32 color)
{
    IM_ASSERT(current);
    current->colorStack.emplace_back(item, current->colors[static_cast<int>(item)]);
    current->colors[static_cast<int>(item)] = color;
}

void PopColor(int count)
{
    IM_ASSERT(current);
    for (int i = 0; i < count && !current->colorStack.empty(); ++i) {
        const auto [item, previous] = current->colorStack.back();
        current->colors[static_cast<int>(item)] = previous;
        current->colorStack.pop_back();
    }
}

bool IsNodeHovered(int* nodeId)
{
    if (!current || current->hoveredNode == 0)
        return false;
    *nodeId = current->hoveredNode;
    return true;
}

bool IsLinkHovered(LinkId* linkId)
{
    if (!current || !current->linkHovered)
        return false;
    *linkId = current->hoveredLink;
    return true;
}

bool IsLinkCreated(int* startPinId, int* endPinId)
{
    if (!current || !current->linkCreated)
        return false;
    *startPinId = current->createdStart;
    *endPinId = current->createdEnd;
    return true;
}

bool IsLinkDestroyed(LinkId* linkId)
{
    if (!current || !current->linkDestroyed)
        return false;
    *linkId = current->destroyedLink;
    return true;
}

bool IsNodeInteractionActive() { return current && current->interaction == Interaction::NodeDrag; }

int NumSelectedNodes() { return current ? static_cast<int>(current->selected.size()) : 0; }

const std::vector<int>& SelectedNodes()
{
    static const std::vector<int> none;
    return current ? current->selected : none;
}

void SelectNode(int nodeId)
{
    if (current && !IsNodeSelected(nodeId))
        current->selected.push_back(nodeId);
}

void ClearNodeSelection()
{
    if (current)
        current->selected.clear();
}

bool IsNodeSelected(int nodeId)
{
    return current && std::find(current->selected.begin(), current->selected.end(), nodeId) != current->selected.end();
}

bool PinScreenPos(int pinId, ImVec2* position)
{
    const PinData* pin = current ? findPin(pinId) : nullptr;
    if (!pin)
        return false;
    *position = pin->position;
    return true;
}

bool NodeScreenRect(int nodeId, ImVec2* min, ImVec2* max)
{
    if (!current)
        return false;
    auto it = current->nodeIndex.find(nodeId);
    if (it == current->nodeIndex.end())
        return false;
    *min = current->frameNodes[it->second].rect.Min;
    *max = current->frameNodes[it->second].rect.Max;
    return true;
}

bool LinkScreenMidpoint(LinkId linkId, ImVec2* position)
{
    const LinkData* link = current ? findLink(linkId) : nullptr;
    ImVec2 from, to, points[4];
    if (!link || !linkEnds(*link, &from, &to))
        return false;
    linkCurve(from, to, points);
    *position = bezierPoint(points, 0.5f);
    return true;
}

} // namespace nodecanvas
