// "Graph Node Toolbox" (save the layout, create, clone and delete components), "Graph Render Passes", the graph
// edits behind them and the per-component tags editor.
#pragma once

#include <cstdint>
#include <set>
#include <string>

class EngineComponent;

// Draws "Graph Node Toolbox" and "Graph Render Passes" and runs their commands on the node editor's selection;
// place, when given, runs with each window's title just before it begins.
void ui_graph_node_toolbox(void (*place)(const char* title) = nullptr);

// Takes the component with this id out of currentComponents: every link into its outputs is removed, each
// consumer told once per removed link. The object itself is left alone.
void ui_graph_remove_component(int id);
// The component's id and, recursively, the ids of every component feeding it (each visited once).
void ui_graph_collect_inputs(EngineComponent* component, std::set<int>& ids);
// The "Tags" editor of one component.
void ui_component_tags(EngineComponent* component);

// A component made by the editor: its child and entity pins, appended to currentComponents, resolved and
// initialised as a loaded one is, its node placed in view. Null (after a log line) when the row cannot make one.
EngineComponent* ui_graph_create_component(int typeRow, const std::string& name);
// A copy of the component's type and parameter values (no links, no tags), added as above.
EngineComponent* ui_graph_clone_component(EngineComponent* source);
// Takes the component out of the graph, unhooks everything that still names it or its parameters (timeline
// tracks and rows, selected keys, selection bounds, the viewport camera, the shader editor's binding, published
// resources and change listeners, its node) and destroys it.
void ui_graph_destroy_component(EngineComponent* component);
