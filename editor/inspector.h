// The parameter inspector: a branch of the parameter tree as a collapsible tree, one row per parameter.
#pragma once

class CvarTreeNode;
struct Cvar;

// Draws the branch and, when open, its child branches and then its rows; a changed row is reported to the owner.
void ui_handle_cvar_tree_node(CvarTreeNode* branch);
// One parameter row; true when the user changed the value this frame.
bool ui_handle_cvar_tree_node_cvar(CvarTreeNode* branch, Cvar* cvar);
