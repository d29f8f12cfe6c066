// The parameter inspector: a branch of the parameter tree as a collapsible tree, one row per parameter.
#pragma once

#include <imgui.h>

#include <cstdint>

class CvarTreeNode;
struct Cvar;

// Draws the branch and, when open, its child branches and then its rows; a changed row is reported to the owner.
void ui_handle_cvar_tree_node(CvarTreeNode* branch);
// One parameter row; true when the user changed the value this frame.
bool ui_handle_cvar_tree_node_cvar(CvarTreeNode* branch, Cvar* cvar);

// The header colour a branch is drawn with for the style colour Header or HeaderActive: the style's colour (with
// the style's alpha, rounded to 8 bits per channel), its hue replaced by the branch colour's when that is not black.
ImVec4 ui_cvar_branch_header_color(const CvarTreeNode& branch, ImGuiCol styleColor);

// The value of an Int parameter as the inspector shows and edits it: a 32-bit unsigned integer (negative values
// wrap as they would in a 32-bit integer; values outside that range are clamped first, NaN is 0).
uint32_t ui_cvar_int_as_unsigned(float value);

// Text colours of the "CV" and "K" buttons.
inline const ImVec4 kCvarExposedColor{0.3f, 1.0f, 0.3f, 1.0f};
inline const ImVec4 kCvarPlainColor{1.0f, 1.0f, 1.0f, 1.0f};
inline const ImVec4 kKeyNoTrackColor{1.0f, 1.0f, 1.0f, 1.0f};
inline const ImVec4 kKeyAtFrameColor{0.7f, 0.3f, 0.1f, 1.0f};
inline const ImVec4 kKeyElsewhereColor{0.3f, 1.0f, 0.1f, 1.0f};
// A Resource parameter naming no resource of its type.
inline const ImVec4 kMissingResourceColor{0.8f, 0.2f, 0.2f, 1.0f};

// The text colour "K" shows for the parameter at the timeline's current frame.
ImVec4 ui_cvar_key_color(Cvar* cvar);
