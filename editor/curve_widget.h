// A small curve-editing widget: a framed area in which the curves of a delegate are drawn by sampling the
// delegate's own evaluation, points are dragged and a double-click adds one. The delegate owns the data.
#pragma once

#include <imgui.h>

#include <cstddef>
#include <cstdint>

namespace curvewidget {

class Delegate {
public:
    virtual ~Delegate() = default;

    virtual size_t GetCurveCount() = 0;
    virtual bool IsVisible(size_t) { return true; }
    // The widget does not read it: drawing goes through Evaluate.
    virtual int GetCurveType(size_t) const { return 0; }
    // The shown range in curve units.
    virtual ImVec2 GetMin() = 0;
    virtual ImVec2 GetMax() = 0;
    virtual size_t GetPointCount(size_t curve) = 0;
    // 0xAABBGGRR; 0 hides the curve's line and points.
    virtual uint32_t GetCurveColor(size_t curve) = 0;
    virtual ImVec2 GetPoint(size_t curve, size_t index) = 0;
    // Moves a point; returns the index the point has afterwards (its list may be re-sorted).
    virtual int EditPoint(size_t curve, int index, ImVec2 value) = 0;
    virtual void AddPoint(size_t curve, ImVec2 value) = 0;
    // 0: no fill.
    virtual uint32_t GetBackgroundColor() { return 0; }
    // Around a drag: begin with the curve index, end when the button is released.
    virtual void BeginEdit(int) {}
    virtual void EndEdit() {}
    virtual float Evaluate(size_t curve, float x) = 0;

    bool focused = false;
};

// Pieces drawn between two consecutive points: samples - 1 straight lines.
constexpr int kSamplesPerSegment = 20;
// How near (pixels) the mouse must be to pick a point up.
constexpr float kPickRadius = 6.0f;

// Draws the widget at the cursor with that size (a non-positive width takes the available width). id is
// combined with the current ID stack (the item is labelled "##curve"). True when a point moved or was added.
bool Edit(Delegate& delegate, ImVec2 size, unsigned int id);

// Curve units <-> screen positions of an area (y grows upward in curve units).
ImVec2 ToScreen(ImVec2 value, ImVec2 rangeMin, ImVec2 rangeMax, ImVec2 topLeft, ImVec2 size);
ImVec2 FromScreen(ImVec2 position, ImVec2 rangeMin, ImVec2 rangeMax, ImVec2 topLeft, ImVec2 size);

} // namespace curvewidget
