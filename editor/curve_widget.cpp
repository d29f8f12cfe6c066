#include "editor/curve_widget.h"

#include <imgui_internal.h>

#include <cmath>
#include <initializer_list>

namespace curvewidget {

namespace {

// The point being dragged; one drag at a time in the whole editor.
struct Drag {
    ImGuiID id = 0;
    size_t curve = 0;
    int point = -1;
};
Drag drag;

float safeSpan(float a, float b)
{
    const float span = b - a;
    return span != 0.0f && std::isfinite(span) ? span : 1.0f;
}

// The nearest point of a visible, coloured curve within the pick radius; false when none.
bool pickPoint(Delegate& delegate, ImVec2 mouse, ImVec2 rangeMin, ImVec2 rangeMax, ImVec2 topLeft, ImVec2 size,
               size_t* curveOut, int* pointOut)
{
    float best = kPickRadius * kPickRadius;
    bool found = false;
    const size_t curves = delegate.GetCurveCount();
    for (size_t c = 0; c < curves; ++c) {
        if (!delegate.IsVisible(c) || delegate.GetCurveColor(c) == 0)
            continue;
        const size_t count = delegate.GetPointCount(c);
        for (size_t p = 0; p < count; ++p) {
            const ImVec2 at = ToScreen(delegate.GetPoint(c, p), rangeMin, rangeMax, topLeft, size);
            const float dx = at.x - mouse.x;
            const float dy = at.y - mouse.y;
            const float d2 = dx * dx + dy * dy;
            if (d2 <= best) {
                best = d2;
                *curveOut = c;
                *pointOut = static_cast<int>(p);
                found = true;
            }
        }
    }
    return found;
}

void drawCurve(Delegate& delegate, size_t c, ImDrawList* list, ImVec2 rangeMin, ImVec2 rangeMax, ImVec2 topLeft,
               ImVec2 size, bool dragging, int draggedPoint, int hoveredPoint)
{
    const uint32_t color = delegate.GetCurveColor(c);
    if (color == 0)
        return;
    const size_t count = delegate.GetPointCount(c);
    // Between each pair of points the line follows the delegate's evaluation, so it shows exactly what is used.
    for (size_t p = 0; p + 1 < count; ++p) {
        const float xa = delegate.GetPoint(c, p).x;
        const float xb = delegate.GetPoint(c, p + 1).x;
        ImVec2 previous;
        for (int k = 0; k < kSamplesPerSegment; ++k) {
            const float x = xa + (xb - xa) * static_cast<float>(k) / static_cast<float>(kSamplesPerSegment - 1);
            const ImVec2 at = ToScreen(ImVec2(x, delegate.Evaluate(c, x)), rangeMin, rangeMax, topLeft, size);
            if (k > 0)
                list->AddLine(previous, at, color, 1.5f);
            previous = at;
        }
    }
    for (size_t p = 0; p < count; ++p) {
        const ImVec2 at = ToScreen(delegate.GetPoint(c, p), rangeMin, rangeMax, topLeft, size);
        const bool marked = static_cast<int>(p) == (dragging ? draggedPoint : hoveredPoint);
        if (marked)
            list->AddCircleFilled(at, 4.5f, IM_COL32_WHITE);
        list->AddCircle(at, 4.5f, color, 12, 1.5f);
    }
}

} // namespace

ImVec2 ToScreen(ImVec2 value, ImVec2 rangeMin, ImVec2 rangeMax, ImVec2 topLeft, ImVec2 size)
{
    const float u = (value.x - rangeMin.x) / safeSpan(rangeMin.x, rangeMax.x);
    const float v = (value.y - rangeMin.y) / safeSpan(rangeMin.y, rangeMax.y);
    return ImVec2(topLeft.x + u * size.x, topLeft.y + (1.0f - v) * size.y);
}

ImVec2 FromScreen(ImVec2 position, ImVec2 rangeMin, ImVec2 rangeMax, ImVec2 topLeft, ImVec2 size)
{
    const float u = size.x > 0.0f ? (position.x - topLeft.x) / size.x : 0.0f;
    const float v = size.y > 0.0f ? 1.0f - (position.y - topLeft.y) / size.y : 0.0f;
    return ImVec2(rangeMin.x + u * (rangeMax.x - rangeMin.x), rangeMin.y + v * (rangeMax.y - rangeMin.y));
}

bool Edit(Delegate& delegate, ImVec2 size, unsigned int id)
{
    ImGuiWindow* window = ImGui::GetCurrentWindow();
    if (window->SkipItems)
        return false;
    if (size.x <= 0.0f)
        size.x = ImGui::GetContentRegionAvail().x;
    size.x = ImMax(size.x, 8.0f);
    size.y = ImMax(size.y, 8.0f);
    ImGui::PushID(static_cast<int>(id));
    const ImGuiID itemId = window->GetID("##curve");
    ImGui::PopID();
    const ImVec2 topLeft = window->DC.CursorPos;
    const ImRect box(topLeft, ImVec2(topLeft.x + size.x, topLeft.y + size.y));
    ImGui::ItemSize(box);
    if (!ImGui::ItemAdd(box, itemId))
        return false;

    const ImVec2 rangeMin = delegate.GetMin();
    const ImVec2 rangeMax = delegate.GetMax();
    const ImGuiIO& io = ImGui::GetIO();
    const bool hovered = ImGui::ItemHoverable(box, itemId);
    delegate.focused = hovered || drag.id == itemId;
    bool changed = false;

    size_t pickedCurve = 0;
    int pickedPoint = -1;
    const bool onPoint =
        hovered && drag.id == 0 &&
        pickPoint(delegate, io.MousePos, rangeMin, rangeMax, topLeft, size, &pickedCurve, &pickedPoint);

    if (hovered && drag.id == 0 && ImGui::IsMouseClicked(ImGuiMouseButton_Left)) {
        if (onPoint) {
            drag = {itemId, pickedCurve, pickedPoint};
            ImGui::SetActiveID(itemId, window);
            ImGui::FocusWindow(window);
            delegate.BeginEdit(static_cast<int>(pickedCurve));
        } else if (ImGui::IsMouseDoubleClicked(ImGuiMouseButton_Left)) {
            // A new point goes on the first curve that shows points.
            for (size_t c = 0; c < delegate.GetCurveCount(); ++c) {
                if (!delegate.IsVisible(c) || delegate.GetCurveColor(c) == 0)
                    continue;
                delegate.AddPoint(c, FromScreen(io.MousePos, rangeMin, rangeMax, topLeft, size));
                changed = true;
                break;
            }
        }
    }

    if (drag.id == itemId) {
        if (!ImGui::IsMouseDown(ImGuiMouseButton_Left)) {
            delegate.EndEdit();
            drag = Drag();
            if (ImGui::GetActiveID() == itemId)
                ImGui::ClearActiveID();
        } else if (drag.curve < delegate.GetCurveCount() && drag.point >= 0 &&
                   static_cast<size_t>(drag.point) < delegate.GetPointCount(drag.curve)) {
            if (io.MouseDelta.x != 0.0f || io.MouseDelta.y != 0.0f) {
                const ImVec2 value = FromScreen(io.MousePos, rangeMin, rangeMax, topLeft, size);
                drag.point = delegate.EditPoint(drag.curve, drag.point, value);
                changed = true;
            }
        } else {
            // The point went away under the drag (the curve was changed elsewhere).
            delegate.EndEdit();
            drag = Drag();
            ImGui::ClearActiveID();
        }
    }

    ImDrawList* list = window->DrawList;
    const uint32_t background = delegate.GetBackgroundColor();
    list->AddRectFilled(box.Min, box.Max, background ? background : ImGui::GetColorU32(ImGuiCol_FrameBg));
    list->PushClipRect(box.Min, box.Max, true);
    // The 0 and 1 levels as guides.
    for (float level : {0.0f, 1.0f}) {
        const float y = ToScreen(ImVec2(0.0f, level), rangeMin, rangeMax, topLeft, size).y;
        list->AddLine(ImVec2(box.Min.x, y), ImVec2(box.Max.x, y), IM_COL32(255, 255, 255, 40));
    }
    for (size_t c = 0; c < delegate.GetCurveCount(); ++c)
        if (delegate.IsVisible(c))
            drawCurve(delegate, c, list, rangeMin, rangeMax, topLeft, size, drag.id == itemId && drag.curve == c,
                      drag.point, onPoint && pickedCurve == c ? pickedPoint : -1);
    list->PopClipRect();
    list->AddRect(box.Min, box.Max, ImGui::GetColorU32(ImGuiCol_Border));
    return changed;
}

} // namespace curvewidget
