// The "Renderer" window: the engine's picture, the bounds and view settings, a transform gizmo on every selected
// component, and the mouse handed to the camera controller.
#pragma once

#include "app/math_types.h"

struct RendererWindowState;

// The image's rectangle in screen pixels for a content region of W x H (relative to the window) and the cursor
// at (cursorX, cursorY); reserveWidth receives the width of the layout item kept for it. An image without a size
// gives an empty rectangle at the cursor.
struct ViewportImagePlacement {
    float x = 0.0f, y = 0.0f, width = 0.0f, height = 0.0f;
    float reserveWidth = 0.0f, reserveHeight = 0.0f;
};
ViewportImagePlacement ui_renderer_image_placement(float regionWidth, float regionHeight, float cursorX,
                                                   float cursorY, int imageWidth, int imageHeight);

// Scale, rotation (degrees, in the order Matrix::FromEulerDegrees takes) and translation of a transform built as
// translation x rotation x scale.
void ui_renderer_decompose(const Matrix& transform, float scale[3], float rotation[3], float translation[3]);

// The engine's camera input, installed by the program's top (the editor does not reach the window layer).
extern void (*uiEngineMouseButton)(int button, int event, int x, int y);
extern void (*uiEngineCursorMove)(int x, int y);

void ui_renderer_window(RendererWindowState* state, const char* title);
