#include "editor/curve_editor.h"

#include <algorithm>
#include <numeric>
#include <vector>

namespace {

const CurvePoint kFixedPoints[2] = {{0.0f, 0.0f}, {1.0f, 1.0f}};

float clamp01(float v)
{
    // NaN goes to 0 rather than through.
    return v >= 0.0f ? (v <= 1.0f ? v : 1.0f) : 0.0f;
}

// Sorts the points by x, keeping points of equal x in their order; returns where the point at index went.
size_t sortKeepingTrack(std::vector<CurvePoint>& points, size_t index)
{
    std::vector<size_t> order(points.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return points[a].x < points[b].x; });
    std::vector<CurvePoint> sorted;
    sorted.reserve(points.size());
    size_t moved = index;
    for (size_t k = 0; k < order.size(); ++k) {
        sorted.push_back(points[order[k]]);
        if (order[k] == index)
            moved = k;
    }
    points.swap(sorted);
    return moved;
}

} // namespace

bool CurveEdit::predefined() const
{
    return curve_->interpolation >= CurveInterpolation::PredefinedLinear &&
           curve_->interpolation <= CurveInterpolation::PredefinedSmoothstep;
}

int CurveEdit::GetCurveType(size_t) const { return curve_ ? curve_->interpolation : 0; }

size_t CurveEdit::GetPointCount(size_t curve)
{
    if (!curve_ || curve != 0)
        return 0;
    return predefined() ? 2 : curve_->points.size();
}

uint32_t CurveEdit::GetCurveColor(size_t curve)
{
    static const uint32_t colors[3] = {0xFF0000FFu, 0xFF00FF00u, 0xFFFF0000u};
    return curve < 3 ? colors[curve] : 0u;
}

ImVec2 CurveEdit::GetPoint(size_t curve, size_t index)
{
    if (curve != 0 || index >= GetPointCount(curve))
        return ImVec2(0.0f, 0.0f);
    const CurvePoint& p = predefined() ? kFixedPoints[index] : curve_->points[index];
    return ImVec2(p.x, p.y);
}

int CurveEdit::EditPoint(size_t curve, int index, ImVec2 value)
{
    if (!curve_ || curve != 0 || predefined() || index < 0 || static_cast<size_t>(index) >= curve_->points.size())
        return index;
    curve_->points[static_cast<size_t>(index)] = {clamp01(value.x), clamp01(value.y)};
    return static_cast<int>(sortKeepingTrack(curve_->points, static_cast<size_t>(index)));
}

void CurveEdit::AddPoint(size_t curve, ImVec2 value)
{
    if (!curve_ || curve != 0 || predefined())
        return;
    // Kept as given: a point added near the top may stay a little above 1 until it is dragged.
    curve_->points.push_back({value.x, value.y});
    sortKeepingTrack(curve_->points, curve_->points.size() - 1);
}

float CurveEdit::Evaluate(size_t curve, float x) { return curve_ && curve == 0 ? curve_->Evaluate(x) : 0.0f; }

void ui_curve_editor(Curve* curve)
{
    if (!curve) {
        ImGui::TextDisabled("<no curve>");
        return;
    }
    ImGui::Combo("Interpolation Type", &curve->interpolation, curveInterpolationNames, 6);
    CurveEdit edit(curve);
    curvewidget::Edit(edit, ImVec2(ImGui::GetContentRegionAvail().x, kCurveWidgetHeight), kCurveWidgetId);
}
