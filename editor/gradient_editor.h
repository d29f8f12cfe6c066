// The gradient editor widget: the editor's working copy of a gradient (ImGradient) with its colour cache, the bar,
// the marks below it (click adds, drag moves, drag well below deletes) and a colour picker for the selected mark.
#pragma once

#include "project/gradients.h"

#include <imgui.h>

#include <unordered_map>
#include <vector>

struct ImGradientMark {
    float color[4] = {0.0f, 0.0f, 0.0f, 1.0f}; // red, green, blue, alpha (kept for the gradient; not drawn)
    float position = 0.0f;
};

class ImGradient {
public:
    class ImGradientEvaluator {
    public:
        virtual ~ImGradientEvaluator() = default;
        virtual GradientColor Evaluate(float t, const ImGradient& gradient) const = 0;
    };

    ImGradient();
    ~ImGradient();
    ImGradient(const ImGradient&) = delete;
    ImGradient& operator=(const ImGradient&) = delete;

    // Sorts the marks by position and refills the cache.
    void UpdateCache();
    // Takes ownership of a new mark.
    ImGradientMark* AddMark(const ImGradientMark& mark);
    // Destroys the mark; false when it is not one of ours.
    bool RemoveMark(ImGradientMark* mark);
    bool Owns(const ImGradientMark* mark) const;

    std::vector<ImGradientMark*> marks; // owned
    float cache[256 * 3] = {};
    const ImGradientEvaluator* evaluator = nullptr; // one of the shared instances below; not owned
};

// Linear blend of the two marks around t (alpha 0).
class ImGradientDefaultEvaluator : public ImGradient::ImGradientEvaluator {
public:
    GradientColor Evaluate(float t, const ImGradient& gradient) const override;
};
// The L*a*b* spline the texture is baked with (alpha 0 when there are marks).
class ImGradientCieLABCurveEvaluator : public ImGradient::ImGradientEvaluator {
public:
    GradientColor Evaluate(float t, const ImGradient& gradient) const override;
};
extern const ImGradientDefaultEvaluator& imGradientDefaultEvaluator;
extern const ImGradientCieLABCurveEvaluator& imGradientCieLABCurveEvaluator;

// The mark the colour picker edits and the mark being dragged, shared by every gradient widget; each refers to a
// mark of the gradient drawn last, and is dropped when that gradient no longer holds it.
extern ImGradientMark* gradientWidgetSelectedMark;
extern ImGradientMark* gradientWidgetDraggedMark;

// The working copy of every gradient the manager has shown.
extern std::unordered_map<Gradient*, ImGradient*>& gradientEditorCache;
// Destroys a gradient's working copy (and drops the widget's marks in it).
void gradientEditorCacheErase(Gradient* gradient);

void ui_gradient_draw_bar(ImGradient* gradient, ImVec2 topLeft, float width, float height);
void ui_gradient_draw_marks(ImGradient* gradient, ImVec2 topLeft, float width, float height);
// The whole widget; true when the gradient changed this frame. Null draws nothing.
bool ui_gradient_editor(ImGradient* gradient);
