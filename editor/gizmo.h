// The editor's transform gizmo: translate arrows, rotation rings (three axes and the screen) and scale handles
// drawn over a viewport rectangle, dragged with the left mouse button.
//
// Matrices at this interface are column-major (element c * 4 + r is row r, column c: the engine's matrices
// transposed), points are column vectors, and clip depth runs from 0 at the near plane to 1 at the far one.
// Call BeginFrame once per editor frame, then for every gizmo SetID, SetDrawlist, SetRect and Manipulate.
#pragma once

struct ImDrawList;

namespace gizmo {

// Operation bits; a set of them picks the handles Manipulate shows.
enum Operation : int {
    TranslateX = 1 << 0,
    TranslateY = 1 << 1,
    TranslateZ = 1 << 2,
    RotateX = 1 << 3,
    RotateY = 1 << 4,
    RotateZ = 1 << 5,
    RotateScreen = 1 << 6,
    ScaleX = 1 << 7,
    ScaleY = 1 << 8,
    ScaleZ = 1 << 9,
    Translate = TranslateX | TranslateY | TranslateZ,           // 7
    Rotate = RotateX | RotateY | RotateZ | RotateScreen,        // 120
    Scale = ScaleX | ScaleY | ScaleZ,                           // 896
};

// Axes of the translate and rotate handles: the model's own (Local) or the world's. Scale is always local.
enum Mode : int { Local = 0, World = 1 };

void BeginFrame();
void SetID(int id);
void SetDrawlist(ImDrawList* drawList);
// The viewport in screen pixels: clip space maps onto it, +y up.
void SetRect(float x, float y, float width, float height);

// Draws the handles of the operation for the model matrix, starts a drag when the left button goes down on one and,
// while this gizmo's drag lasts, rewrites model. True when model changed. delta, when given, receives the change
// as a matrix (new = delta x start for rotate, new = start x delta for scale, a translation for translate). snap
// and localBounds are accepted for the callers' convenience and not used.
bool Manipulate(const float* view, const float* projection, int operation, int mode, float* model,
                float* delta = nullptr, const float* snap = nullptr, const float* localBounds = nullptr);

// True while the gizmo of the current id is being dragged (from the frame the button went down on a handle until
// it is released).
bool IsUsing();
// True while any gizmo is being dragged.
bool IsUsingAny();
// True when the mouse is over a handle of the gizmo last manipulated.
bool IsOver();

} // namespace gizmo
