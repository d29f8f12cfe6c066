// "Simple node editor": the current project's component graph as nodes and links on a node canvas, with the
// node places moved between the canvas and the components.
#pragma once

#include "editor/node_canvas.h"

#include <cstdint>

struct NodeEditorState;
class EngineComponent;
struct Project;

void ui_node_editor_window(NodeEditorState& state);

// Component positions -> the current project's canvas (made when missing).
void ui_node_editor_load_positions();
// The current canvas's node places -> the components.
void ui_node_editor_store_positions();
// A new component's node 400 right of and 200 below the visible corner of the graph; stored in it too.
void ui_node_editor_place_new_node(EngineComponent* component);

// The link id drawn for a link from output to input: both pins packed into 32 bits while both ids fit 16 bits,
// otherwise a wider id; the frame's table maps every drawn id back to its pins.
nodecanvas::LinkId ui_node_editor_link_id(int32_t inputPinId, int32_t outputPinId);
// The pins of a link drawn in the last frame. False for an id that frame did not draw.
bool ui_node_editor_link_pins(nodecanvas::LinkId linkId, int32_t* inputPinId, int32_t* outputPinId);

// The canvas of a project (made when missing), for tests and the project switch.
nodecanvas::Context* ui_node_editor_context(NodeEditorState& state, Project* project);
// Drops every canvas (tests; projects that are destroyed).
void ui_node_editor_forget_contexts(NodeEditorState& state);

// Makes the link as a drag in the editor does: replaces the link of a single-link input (telling the consumer of
// the one it loses), appends to a several-links input and re-sorts it, and tells the consumer. Refused with an
// event-log line when both pins belong to one component, when a pin is unknown, or when the input names the types
// it accepts and the output's is not among them. Either pin may be given first.
bool ui_node_editor_connect(int32_t pinA, int32_t pinB);
// Removes every link of the output from the input and tells the consumer.
void ui_node_editor_disconnect(int32_t inputPinId, int32_t outputPinId);
