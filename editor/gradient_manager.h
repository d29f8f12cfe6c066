// The "Gradient Manager" window: the current project's colour gradients, added, renamed, deleted, cloned and edited,
// with "ColorGradientTexture" re-baked after each change.
#pragma once

#include <string>

struct GradientManagerState;

// Draws the window and applies the edits.
void ui_gradient_manager_window(GradientManagerState* state);
// The names Add and Clone give: the first "Unnamed Gradient {n}" / "{name} Clone #{n}", n = 1, 2, ..., that no
// resource of the current project uses.
std::string ui_gradient_free_name(const std::string& prefix);
