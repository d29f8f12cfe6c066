// The curve parameter editor: a delegate binding one Curve to the curve widget for one widget call, and the
// inspector row that shows it (interpolation combo and widget).
#pragma once

#include "editor/curve_widget.h"
#include "project/curves.h"

class CurveEdit : public curvewidget::Delegate {
public:
    explicit CurveEdit(Curve* curve) : curve_(curve) {}

    size_t GetCurveCount() override { return 1; }
    bool IsVisible(size_t) override { return true; }
    int GetCurveType(size_t) const override;
    ImVec2 GetMin() override { return kRangeMin; }
    ImVec2 GetMax() override { return kRangeMax; }
    size_t GetPointCount(size_t curve) override;
    uint32_t GetCurveColor(size_t curve) override;
    ImVec2 GetPoint(size_t curve, size_t index) override;
    int EditPoint(size_t curve, int index, ImVec2 value) override;
    void AddPoint(size_t curve, ImVec2 value) override;
    uint32_t GetBackgroundColor() override { return 0; }
    float Evaluate(size_t curve, float x) override;

    // The shown range, whatever the points are: a little room above 1 and below 0.
    static inline const ImVec2 kRangeMin{0.0f, -0.075f};
    static inline const ImVec2 kRangeMax{1.0f, 1.075f};

private:
    // The predefined curves show two fixed points and cannot be edited.
    bool predefined() const;

    Curve* curve_;
};

// The widget's id and height in the inspector row.
constexpr unsigned int kCurveWidgetId = 1435353;
constexpr float kCurveWidgetHeight = 100.0f;

// "Interpolation Type" and the widget for one curve. Edits are not reported (nothing is told of them).
void ui_curve_editor(Curve* curve);
