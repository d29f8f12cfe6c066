// The editor's node canvas: nodes with a title bar and pinned attributes, links between pins, selection,
// dragging and panning, drawn with Dear ImGui. Immediate mode like Dear ImGui itself: the caller submits the nodes
// and links every frame between BeginEditor and EndEditor; a context keeps what lasts between frames (grid
// positions, panning, selection, the interaction in progress). EndEditor reads the mouse against the geometry of
// the frame just submitted; the queries after it report what the user did in that frame.
#pragma once

#include <imgui.h>

#include <cstdint>
#include <vector>

namespace nodecanvas {

struct Context;

enum class PinShape { Circle, CircleFilled, Triangle, TriangleFilled, Quad, QuadFilled };

enum class Color { NodeBackground, TitleBar, TitleBarSelected, Pin, Link, LinkSelected, BoxSelector, Grid, Count };

// Link ids are the caller's; 64 bits so a caller may pack two 32-bit pin ids or use a table of its own.
using LinkId = int64_t;

Context* CreateContext();
void DestroyContext(Context* context);
void SetCurrentContext(Context* context);
Context* GetCurrentContext();

// Modifier flags read at a click: while *linkDetachModifier is true, a click on a link detaches it.
void SetLinkDetachModifier(const bool* modifier);

ImVec2 GetPanning();
void SetPanning(ImVec2 panning);
// Grid space: the canvas's top-left corner is -panning; y grows downwards. A node gets a position when first used
// or set.
ImVec2 GetNodeGridPos(int nodeId);
void SetNodeGridPos(int nodeId, ImVec2 position);
// Whether the node has a place in the current context.
bool HasNode(int nodeId);
// Drops a node's place and its selection from a context (its owner is gone).
void ForgetNode(Context* context, int nodeId);

void BeginEditor();
void EndEditor();

void BeginNode(int nodeId);
void EndNode();
void BeginNodeTitleBar();
void EndNodeTitleBar();
void BeginInputAttribute(int pinId, PinShape shape = PinShape::CircleFilled);
void EndInputAttribute();
void BeginOutputAttribute(int pinId, PinShape shape = PinShape::CircleFilled);
void EndOutputAttribute();
void Link(LinkId linkId, int startPinId, int endPinId);

// Colours are 0xAABBGGRR, pushed and popped as a stack.
void PushColor(Color item, ImU32 color);
void PopColor(int count = 1);

// ---- Queries, valid after EndEditor ----
bool IsNodeHovered(int* nodeId);
bool IsLinkHovered(LinkId* linkId);
// A drag from one pin was dropped on another pin of the other kind: start is where the drag began.
bool IsLinkCreated(int* startPinId, int* endPinId);
// A link was detached (modifier + click) in this frame.
bool IsLinkDestroyed(LinkId* linkId);
// True between BeginEditor and EndEditor while a click on a node (and its drag) is in progress.
bool IsNodeInteractionActive();

int NumSelectedNodes();
// The selected node ids in the order they were selected.
const std::vector<int>& SelectedNodes();
void SelectNode(int nodeId);
void ClearNodeSelection();
bool IsNodeSelected(int nodeId);

// ---- Test accessors: screen geometry of the last submitted frame ----
bool PinScreenPos(int pinId, ImVec2* position);
bool NodeScreenRect(int nodeId, ImVec2* min, ImVec2* max);
// A point on the link's curve (its middle), for clicking it.
bool LinkScreenMidpoint(LinkId linkId, ImVec2* position);

} // namespace nodecanvas
