#include "editor/gradient_editor.h"

#include <imgui_internal.h>

#include <algorithm>

const ImGradientDefaultEvaluator& imGradientDefaultEvaluator = *new ImGradientDefaultEvaluator();
const ImGradientCieLABCurveEvaluator& imGradientCieLABCurveEvaluator = *new ImGradientCieLABCurveEvaluator();

ImGradientMark* gradientWidgetSelectedMark = nullptr;
ImGradientMark* gradientWidgetDraggedMark = nullptr;

std::unordered_map<Gradient*, ImGradient*>& gradientEditorCache = *new std::unordered_map<Gradient*, ImGradient*>();

namespace {

constexpr float kBarHeight = 40.0f;
constexpr ImU32 kGrey = 0xff646464;

float clamp01(float v)
{
    return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; // NaN reads as 0
}

ImU32 packColor(float r, float g, float b, float a)
{
    return ImGui::ColorConvertFloat4ToU32(ImVec4(clamp01(r), clamp01(g), clamp01(b), clamp01(a)));
}

GradientMark asGradientMark(const ImGradientMark& mark)
{
    return GradientMark{mark.color[0], mark.color[1], mark.color[2], mark.color[3], mark.position};
}

} // namespace

// ---- ImGradient ----

ImGradient::ImGradient() : evaluator(&imGradientDefaultEvaluator) {}

ImGradient::~ImGradient()
{
    for (ImGradientMark* mark : marks) {
        if (gradientWidgetSelectedMark == mark)
            gradientWidgetSelectedMark = nullptr;
        if (gradientWidgetDraggedMark == mark)
            gradientWidgetDraggedMark = nullptr;
        delete mark;
    }
}

void ImGradient::UpdateCache()
{
    std::sort(marks.begin(), marks.end(),
              [](const ImGradientMark* a, const ImGradientMark* b) { return a->position < b->position; });
    const ImGradientEvaluator* eval = evaluator ? evaluator : &imGradientDefaultEvaluator;
    for (int i = 0; i < 256; ++i) {
        const GradientColor c = eval->Evaluate(static_cast<float>(i) / 255.0f, *this);
        cache[i * 3 + 0] = c.red;
        cache[i * 3 + 1] = c.green;
        cache[i * 3 + 2] = c.blue;
    }
}

ImGradientMark* ImGradient::AddMark(const ImGradientMark& mark)
{
    marks.push_back(new ImGradientMark(mark));
    return marks.back();
}

bool ImGradient::RemoveMark(ImGradientMark* mark)
{
    auto it = std::find(marks.begin(), marks.end(), mark);
    if (it == marks.end())
        return false;
    marks.erase(it);
    if (gradientWidgetSelectedMark == mark)
        gradientWidgetSelectedMark = nullptr;
    if (gradientWidgetDraggedMark == mark)
        gradientWidgetDraggedMark = nullptr;
    delete mark;
    return true;
}

bool ImGradient::Owns(const ImGradientMark* mark) const
{
    return mark && std::find(marks.begin(), marks.end(), mark) != marks.end();
}

// ---- Evaluators ----

GradientColor ImGradientDefaultEvaluator::Evaluate(float t, const ImGradient& gradient) const
{
    t = clamp01(t);
    const std::vector<ImGradientMark*>& marks = gradient.marks;
    if (marks.empty())
        return {0.0f, 0.0f, 0.0f, 1.0f};
    const ImGradientMark* below = nullptr;
    const ImGradientMark* above = nullptr;
    for (const ImGradientMark* mark : marks) {
        if (mark->position < t) {
            if (!below || mark->position > below->position)
                below = mark;
        } else if (!above || mark->position < above->position) {
            above = mark;
        }
    }
    if (below && above && below != above) {
        const float span = above->position - below->position;
        const float f = span > 0.0f ? (t - below->position) / span : 0.0f;
        return {(1 - f) * below->color[0] + f * above->color[0], (1 - f) * below->color[1] + f * above->color[1],
                (1 - f) * below->color[2] + f * above->color[2], 0.0f};
    }
    const ImGradientMark* only = below ? below : above;
    if (!only) // positions that compare with nothing (NaN)
        only = marks.front();
    return {only->color[0], only->color[1], only->color[2], 0.0f};
}

GradientColor ImGradientCieLABCurveEvaluator::Evaluate(float t, const ImGradient& gradient) const
{
    const std::vector<ImGradientMark*>& marks = gradient.marks;
    GradientColor c = gradientLabSpline(marks.size(), [&](size_t i) { return asGradientMark(*marks[i]); }, t);
    if (!marks.empty())
        c.alpha = 0.0f;
    return c;
}

void gradientEditorCacheErase(Gradient* gradient)
{
    auto it = gradientEditorCache.find(gradient);
    if (it == gradientEditorCache.end())
        return;
    delete it->second; // drops the widget's marks in it
    gradientEditorCache.erase(it);
}

// ---- The widget ----

void ui_gradient_draw_bar(ImGradient* gradient, ImVec2 topLeft, float width, float height)
{
    if (!gradient)
        return;
    ImDrawList* drawList = ImGui::GetWindowDrawList();
    const float x = topLeft.x;
    const float y = topLeft.y;
    drawList->AddRectFilled(ImVec2(x - 2, y - 2), ImVec2(x + width + 2, y + height + 2), kGrey);
    if (gradient->marks.empty())
        drawList->AddRectFilled(ImVec2(x, y), ImVec2(x + width, y + height), 0xffffffff);

    if (width > 0.0f) {
        const float* first = gradient->cache;
        ImU32 leftColor = packColor(first[0], first[1], first[2], 0.0f);
        float leftEdge = x;
        for (float h = 2.0f; h < width; h += 2.0f) {
            const int k = static_cast<int>(clamp01(h / width) * 255.0f);
            const float* c = gradient->cache + k * 3;
            const ImU32 rightColor = packColor(c[0], c[1], c[2], 1.0f);
            drawList->AddRectFilledMultiColor(ImVec2(leftEdge, y), ImVec2(x + h, y + height), leftColor, rightColor,
                                              rightColor, leftColor);
            leftColor = rightColor;
            leftEdge = x + h;
        }
    }
    ImGui::SetCursorScreenPos(ImVec2(x, y + height + 10));
    ImGui::Dummy(ImVec2(0, 0)); // grows the window's content to the new cursor
}

void ui_gradient_draw_marks(ImGradient* gradient, ImVec2 topLeft, float width, float height)
{
    if (!gradient)
        return;
    ImDrawList* drawList = ImGui::GetWindowDrawList();
    const float bottom = topLeft.y + height;
    // Copy: a click changes nothing in the list, but keep the walk independent of it anyway.
    const std::vector<ImGradientMark*> marks = gradient->marks;
    for (ImGradientMark* mark : marks) {
        if (!gradientWidgetSelectedMark)
            gradientWidgetSelectedMark = mark;
        const float b = topLeft.x + width * mark->position;
        drawList->AddTriangleFilled(ImVec2(b, bottom - 6), ImVec2(b - 6, bottom), ImVec2(b + 6, bottom), kGrey);
        drawList->AddRectFilled(ImVec2(b - 6, bottom), ImVec2(b + 6, bottom + 12), kGrey, 1.0f,
                                ImDrawFlags_RoundCornersTopLeft);
        drawList->AddRectFilled(ImVec2(b - 5, bottom + 1), ImVec2(b + 5, bottom + 11), 0xff000000, 1.0f,
                                ImDrawFlags_RoundCornersTopLeft);
        if (mark == gradientWidgetSelectedMark) {
            drawList->AddTriangleFilled(ImVec2(b, bottom - 3), ImVec2(b - 4, bottom + 1), ImVec2(b + 4, bottom + 1),
                                        0xff00ff00);
            drawList->AddRect(ImVec2(b - 5, bottom + 1), ImVec2(b + 5, bottom + 11), 0xff00ff00, 1.0f,
                              ImDrawFlags_RoundCornersTopLeft, 1.0f);
        }
        drawList->AddRectFilled(ImVec2(b - 3, bottom + 3), ImVec2(b + 3, bottom + 9),
                                packColor(mark->color[0], mark->color[1], mark->color[2], 1.0f));
        ImGui::SetCursorScreenPos(ImVec2(b - 6, bottom));
        ImGui::PushID(mark);
        ImGui::InvisibleButton("mark", ImVec2(12, 12));
        ImGui::PopID();
        if (ImGui::IsItemHovered() && ImGui::IsMouseClicked(0)) {
            gradientWidgetSelectedMark = mark;
            gradientWidgetDraggedMark = mark;
        }
    }
    ImGui::SetCursorScreenPos(ImVec2(topLeft.x, topLeft.y + height + 20));
    ImGui::Dummy(ImVec2(0, 0));
}

bool ui_gradient_editor(ImGradient* gradient)
{
    if (!gradient)
        return false;
    // The widget's marks are shared by every gradient; ones of another gradient mean nothing here.
    if (!gradient->Owns(gradientWidgetSelectedMark))
        gradientWidgetSelectedMark = nullptr;
    if (!gradient->Owns(gradientWidgetDraggedMark))
        gradientWidgetDraggedMark = nullptr;

    bool changed = false;
    const ImVec2 cursor = ImGui::GetCursorScreenPos();
    const float x = cursor.x;
    const float y = cursor.y;
    // A region narrower than the margins still gets a bar of one pixel, so nothing divides by zero.
    const float width = std::max(ImGui::GetWindowContentRegionMax().x + ImGui::GetWindowPos().x - x - 20.0f, 1.0f);
    const ImVec2 barCorner(x + 10, y);
    const ImGuiIO& io = ImGui::GetIO();

    // The button lies over the bar itself, so a click at either end of the bar lands on that end.
    ImGui::SetCursorScreenPos(barCorner);
    ImGui::InvisibleButton("gradient_editor_bar", ImVec2(width, kBarHeight));
    if (ImGui::IsItemHovered() && ImGui::IsMouseClicked(0)) {
        const float u = clamp01((io.MousePos.x - barCorner.x) / width);
        const float* c = gradient->cache + static_cast<int>(u * 255.0f) * 3;
        ImGradientMark mark;
        mark.color[0] = c[0];
        mark.color[1] = c[1];
        mark.color[2] = c[2];
        mark.color[3] = 1.0f; // opaque: what the gradient gets for a mark made here
        mark.position = u;
        ImGradientMark* added = gradient->AddMark(mark);
        gradient->UpdateCache();
        gradientWidgetSelectedMark = added;
        changed = true;
    }

    ui_gradient_draw_bar(gradient, barCorner, width, kBarHeight);
    ui_gradient_draw_marks(gradient, barCorner, width, kBarHeight);

    if (!io.MouseDown[0]) {
        gradientWidgetDraggedMark = nullptr;
    } else if (gradientWidgetDraggedMark && ImGui::IsMouseDragging(0)) {
        ImGradientMark* dragged = gradientWidgetDraggedMark;
        const float step = io.MouseDelta.x / width;
        if (io.MousePos.x > barCorner.x && io.MousePos.x < barCorner.x + width && step != 0.0f) {
            dragged->position = clamp01(dragged->position + step);
            gradient->UpdateCache();
            changed = true;
        }
        if (io.MousePos.y - (y + kBarHeight) >= kBarHeight) {
            gradient->RemoveMark(dragged);
            gradient->UpdateCache();
            gradientWidgetDraggedMark = nullptr;
            gradientWidgetSelectedMark = nullptr;
            changed = true;
        }
    }

    if (!gradientWidgetSelectedMark && !gradient->marks.empty())
        gradientWidgetSelectedMark = gradient->marks.front();
    if (!gradientWidgetSelectedMark)
        return changed;

    ImGradientMark* selected = gradientWidgetSelectedMark;
    float color[4] = {selected->color[0], selected->color[1], selected->color[2], 1.0f};
    if (ImGui::ColorPicker4("##SelectedColorEditor", color, ImGuiColorEditFlags_NoAlpha, nullptr)) {
        selected->color[0] = color[0];
        selected->color[1] = color[1];
        selected->color[2] = color[2];
        gradient->UpdateCache();
        return true;
    }
    return changed;
}
