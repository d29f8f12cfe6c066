// Curve evaluation (what the editor draws is what the texture bakes), the curve delegate's point editing and the
// curve widget driven with the mouse.
#include "editor/curve_editor.h"
#include "editor/curve_widget.h"
#include "project/curves.h"
#include "ui_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

Curve makeCurve(std::vector<CurvePoint> points, int32_t interpolation)
{
    Curve c;
    c.points = std::move(points);
    c.interpolation = interpolation;
    return c;
}

const std::vector<CurvePoint> kPeak = {{0.0f, 0.0f}, {0.5f, 1.0f}, {1.0f, 0.0f}};

TEST(CurveEvaluation, FollowsTheInterpolationRules)
{
    struct Case {
        const char* what;
        std::vector<CurvePoint> points;
        int32_t interpolation;
        float x;
        float expected;
    };
    const Case cases[] = {
        {"linear inside", kPeak, CurveInterpolation::Linear, 0.25f, 0.5f},
        {"step inside", kPeak, CurveInterpolation::Discreete, 0.25f, 0.0f},
        {"step second segment", kPeak, CurveInterpolation::Discreete, 0.75f, 1.0f},
        {"cubic inside", kPeak, CurveInterpolation::Cubic, 0.25f, 0.625f},
        {"linear beyond", kPeak, CurveInterpolation::Linear, 2.0f, 0.0f},
        {"step beyond", kPeak, CurveInterpolation::Discreete, 2.0f, 0.0f},
        {"cubic beyond", kPeak, CurveInterpolation::Cubic, 2.0f, 0.0f},
        {"on a point", kPeak, CurveInterpolation::Linear, 0.5f, 1.0f},
        {"linear before the first point extrapolates", {{0.2f, 0.0f}, {0.6f, 1.0f}}, CurveInterpolation::Linear, 0.0f,
         -0.5f},
        {"step before the first point holds it", {{0.2f, 0.3f}, {0.6f, 1.0f}}, CurveInterpolation::Discreete, 0.0f,
         0.3f},
        {"one point", {{0.4f, 0.7f}}, CurveInterpolation::Cubic, 0.1f, 0.7f},
        {"no points", {}, CurveInterpolation::Linear, 0.5f, 0.0f},
        {"unknown interpolation", kPeak, 9, 0.25f, 0.0f},
        {"predefined linear ignores points", kPeak, CurveInterpolation::PredefinedLinear, 0.3f, 0.3f},
        {"predefined quadratic", kPeak, CurveInterpolation::PredefinedQuadratic, 0.5f, 0.25f},
        {"predefined smoothstep", kPeak, CurveInterpolation::PredefinedSmoothstep, 0.25f, 0.15625f},
        // Two points on one x: the zero-width segment gives the right point's value, never NaN.
        {"same x linear", {{0.5f, 0.0f}, {0.5f, 1.0f}, {1.0f, 1.0f}}, CurveInterpolation::Linear, 0.25f, 1.0f},
        {"same x step", {{0.5f, 0.0f}, {0.5f, 1.0f}, {1.0f, 1.0f}}, CurveInterpolation::Discreete, 0.25f, 1.0f},
        {"same x cubic", {{0.5f, 0.0f}, {0.5f, 1.0f}, {1.0f, 1.0f}}, CurveInterpolation::Cubic, 0.25f, 1.0f},
        {"same x past the pair", {{0.5f, 0.0f}, {0.5f, 1.0f}, {1.0f, 1.0f}}, CurveInterpolation::Linear, 0.75f, 1.0f},
    };
    for (const Case& c : cases) {
        Curve curve = makeCurve(c.points, c.interpolation);
        EXPECT_NEAR(curve.Evaluate(c.x), c.expected, 1e-6f) << c.what;
        // The editor's delegate draws with the same values.
        CurveEdit edit(&curve);
        EXPECT_EQ(edit.Evaluate(0, c.x), curve.Evaluate(c.x)) << c.what;
    }
}

TEST(CurveEvaluation, EqualXPointsNeverGiveNaNAnywhere)
{
    for (int32_t interpolation : {0, 1, 2}) {
        Curve curve = makeCurve({{0.3f, 0.1f}, {0.3f, 0.9f}, {0.3f, 0.5f}, {0.7f, 0.2f}}, interpolation);
        for (int i = -10; i <= 20; ++i) {
            const float x = static_cast<float>(i) / 10.0f;
            EXPECT_TRUE(std::isfinite(curve.Evaluate(x))) << interpolation << " at " << x;
        }
    }
}

TEST(CurveEditDelegate, PointsRangeAndColours)
{
    Curve curve = makeCurve(kPeak, CurveInterpolation::Cubic);
    CurveEdit edit(&curve);
    EXPECT_EQ(edit.GetCurveCount(), 1u);
    EXPECT_EQ(edit.GetPointCount(0), 3u);
    EXPECT_EQ(edit.GetPoint(0, 1).x, 0.5f);
    EXPECT_EQ(edit.GetPoint(0, 7).x, 0.0f); // out of range: a harmless answer
    EXPECT_EQ(edit.GetMin().y, -0.075f);
    EXPECT_EQ(edit.GetMax().y, 1.075f);
    EXPECT_EQ(edit.GetCurveColor(0), 0xFF0000FFu);
    EXPECT_EQ(edit.GetCurveColor(3), 0u);
    EXPECT_EQ(edit.GetCurveType(0), CurveInterpolation::Cubic);

    // The predefined curves show two fixed points and take no edits.
    for (int32_t interpolation : {3, 4, 5}) {
        Curve fixed = makeCurve(kPeak, interpolation);
        CurveEdit predefined(&fixed);
        ASSERT_EQ(predefined.GetPointCount(0), 2u) << interpolation;
        EXPECT_EQ(predefined.GetPoint(0, 0).y, 0.0f);
        EXPECT_EQ(predefined.GetPoint(0, 1).x, 1.0f);
        EXPECT_EQ(predefined.GetPoint(0, 1).y, 1.0f);
        EXPECT_EQ(predefined.EditPoint(0, 1, ImVec2(0.2f, 0.2f)), 1);
        predefined.AddPoint(0, ImVec2(0.3f, 0.3f));
        EXPECT_EQ(fixed.points.size(), 3u) << interpolation;
        EXPECT_EQ(fixed.points[1].x, 0.5f) << interpolation;
    }
}

TEST(CurveEditDelegate, EditingClampsResortsAndFollowsTheMovedPoint)
{
    struct Case {
        const char* what;
        int index;
        ImVec2 value;
        int expectedIndex;
        std::vector<CurvePoint> expected;
    };
    const Case cases[] = {
        {"inside its neighbours", 1, {0.4f, 0.3f}, 1, {{0.0f, 0.0f}, {0.4f, 0.3f}, {1.0f, 0.0f}}},
        {"past the right neighbour", 0, {0.75f, 0.5f}, 1, {{0.5f, 1.0f}, {0.75f, 0.5f}, {1.0f, 0.0f}}},
        {"clamped into the unit square", 1, {1.5f, -2.0f}, 1, {{0.0f, 0.0f}, {1.0f, 0.0f}, {1.0f, 0.0f}}},
        // On the x of a neighbour: the order among equal x is kept, so the answer is the moved point.
        {"onto the left neighbour's x", 2, {0.5f, 0.2f}, 2, {{0.0f, 0.0f}, {0.5f, 1.0f}, {0.5f, 0.2f}}},
        {"onto the right neighbour's x", 0, {0.5f, 0.2f}, 0, {{0.5f, 0.2f}, {0.5f, 1.0f}, {1.0f, 0.0f}}},
        {"an index that is not there", 5, {0.5f, 0.5f}, 5, kPeak},
        {"a negative index", -1, {0.5f, 0.5f}, -1, kPeak},
        {"NaN goes to 0", 1, {NAN, NAN}, 1, {{0.0f, 0.0f}, {0.0f, 0.0f}, {1.0f, 0.0f}}},
    };
    for (const Case& c : cases) {
        Curve curve = makeCurve(kPeak, CurveInterpolation::Linear);
        CurveEdit edit(&curve);
        EXPECT_EQ(edit.EditPoint(0, c.index, c.value), c.expectedIndex) << c.what;
        EXPECT_EQ(curve.points, c.expected) << c.what;
    }
}

TEST(CurveEditDelegate, AddedPointsAreSortedInAndNotClamped)
{
    Curve curve = makeCurve(kPeak, CurveInterpolation::Linear);
    CurveEdit edit(&curve);
    edit.AddPoint(0, ImVec2(0.25f, 1.05f));
    edit.AddPoint(0, ImVec2(0.5f, 0.1f)); // after the existing point of that x
    const std::vector<CurvePoint> expected = {
        {0.0f, 0.0f}, {0.25f, 1.05f}, {0.5f, 1.0f}, {0.5f, 0.1f}, {1.0f, 0.0f}};
    EXPECT_EQ(curve.points, expected);
    Curve empty = makeCurve({}, CurveInterpolation::Linear);
    CurveEdit first(&empty);
    first.AddPoint(0, ImVec2(0.3f, 0.4f));
    ASSERT_EQ(empty.points.size(), 1u);
    EXPECT_EQ(empty.Evaluate(0.9f), 0.4f);
}

// A delegate that records what the widget asks of it.
class Recorder : public curvewidget::Delegate {
public:
    size_t GetCurveCount() override { return 1; }
    ImVec2 GetMin() override { return ImVec2(0.0f, 0.0f); }
    ImVec2 GetMax() override { return ImVec2(1.0f, 1.0f); }
    size_t GetPointCount(size_t) override { return points.size(); }
    uint32_t GetCurveColor(size_t) override { return 0xFF0000FFu; }
    ImVec2 GetPoint(size_t, size_t index) override { return points[index]; }
    int EditPoint(size_t, int index, ImVec2 value) override
    {
        edits.push_back(index);
        points[static_cast<size_t>(index)] = value;
        return index;
    }
    void AddPoint(size_t, ImVec2 value) override { added.push_back(value); }
    void BeginEdit(int curve) override { begins.push_back(curve); }
    void EndEdit() override { ++ends; }
    float Evaluate(size_t, float x) override
    {
        samples.push_back(x);
        return 0.5f;
    }

    std::vector<ImVec2> points{{0.0f, 0.0f}, {0.25f, 1.0f}, {1.0f, 0.0f}};
    std::vector<float> samples;
    std::vector<int> edits;
    std::vector<ImVec2> added;
    std::vector<int> begins;
    int ends = 0;
};

class CurveWidget : public testing::Test {
protected:
    void SetUp() override
    {
        draw = [this] {
            ImGui::SetNextWindowPos(ImVec2(0, 0));
            ImGui::SetNextWindowSize(ImVec2(500, 300));
            ImGui::Begin("Curves");
            ImGui::SetCursorScreenPos(kTopLeft);
            if (curve) {
                ui_curve_editor(curve);
            } else {
                recorder.samples.clear();
                changed = curvewidget::Edit(recorder, kSize, 7) || changed;
            }
            ImGui::End();
        };
    }
    ImVec2 at(ImVec2 value) const
    {
        const ImRect area = ui.find("##curve", "Curves")->rect;
        const ImVec2 min = curve ? CurveEdit::kRangeMin : ImVec2(0, 0);
        const ImVec2 max = curve ? CurveEdit::kRangeMax : ImVec2(1, 1);
        return curvewidget::ToScreen(value, min, max, area.Min, area.GetSize());
    }

    static inline const ImVec2 kTopLeft{20.0f, 60.0f};
    static inline const ImVec2 kSize{400.0f, 100.0f};
    UiHarness ui{ImVec2(800, 600)};
    Recorder recorder;
    Curve* curve = nullptr;
    bool changed = false;
    UiHarness::Draw draw;
};

TEST_F(CurveWidget, DrawsEachSegmentFromTwentyEvenSamplesOfTheDelegate)
{
    ui.frame(draw);
    ASSERT_EQ(recorder.samples.size(), 2u * curvewidget::kSamplesPerSegment);
    const float ends[3] = {0.0f, 0.25f, 1.0f};
    for (int segment = 0; segment < 2; ++segment)
        for (int k = 0; k < curvewidget::kSamplesPerSegment; ++k) {
            const float expected = ends[segment] + (ends[segment + 1] - ends[segment]) * static_cast<float>(k) /
                                                       static_cast<float>(curvewidget::kSamplesPerSegment - 1);
            EXPECT_NEAR(recorder.samples[static_cast<size_t>(segment * curvewidget::kSamplesPerSegment + k)],
                        expected, 1e-6f);
        }
}

TEST_F(CurveWidget, DraggingAPointEditsItBetweenBeginAndEnd)
{
    ui.frame(draw);
    ui.drag(at(ImVec2(0.25f, 1.0f)), at(ImVec2(0.5f, 0.5f)), draw, 4);
    ASSERT_EQ(recorder.begins.size(), 1u);
    EXPECT_EQ(recorder.ends, 1);
    ASSERT_FALSE(recorder.edits.empty());
    for (int index : recorder.edits)
        EXPECT_EQ(index, 1);
    EXPECT_NEAR(recorder.points[1].x, 0.5f, 0.01f);
    EXPECT_NEAR(recorder.points[1].y, 0.5f, 0.02f);
    EXPECT_TRUE(recorder.added.empty());
    EXPECT_TRUE(changed);
}

TEST_F(CurveWidget, ADoubleClickAddsAPointAndASingleClickDoesNot)
{
    ui.frame(draw);
    ui.clickAt(at(ImVec2(0.6f, 0.8f)), draw);
    EXPECT_TRUE(recorder.added.empty());
    ui.doubleClickAt(at(ImVec2(0.6f, 0.8f)), draw);
    ASSERT_EQ(recorder.added.size(), 1u);
    EXPECT_NEAR(recorder.added[0].x, 0.6f, 0.01f);
    EXPECT_NEAR(recorder.added[0].y, 0.8f, 0.02f);
    // On a point a double-click picks the point up instead.
    ui.doubleClickAt(at(ImVec2(1.0f, 0.0f)), draw);
    EXPECT_EQ(recorder.added.size(), 1u);
    EXPECT_TRUE(recorder.edits.empty());
}

TEST_F(CurveWidget, DraggingACurvePointPastItsNeighbourResortsAndKeepsMovingIt)
{
    Curve shape = makeCurve({{0.2f, 0.2f}, {0.5f, 0.5f}, {0.8f, 0.8f}}, CurveInterpolation::Linear);
    curve = &shape;
    ui.frame(draw);
    ui.drag(at(ImVec2(0.2f, 0.2f)), at(ImVec2(0.9f, 0.1f)), draw, 8);
    ASSERT_EQ(shape.points.size(), 3u);
    EXPECT_EQ(shape.points[0], (CurvePoint{0.5f, 0.5f}));
    EXPECT_EQ(shape.points[1], (CurvePoint{0.8f, 0.8f}));
    EXPECT_NEAR(shape.points[2].x, 0.9f, 0.01f);
    EXPECT_NEAR(shape.points[2].y, 0.1f, 0.02f);

    // Above the area the point stops at 1.
    ui.drag(at(ImVec2(0.5f, 0.5f)), ImVec2(at(ImVec2(0.5f, 0.5f)).x, 10.0f), draw, 4);
    EXPECT_EQ(shape.points[0].y, 1.0f);
}

TEST_F(CurveWidget, PredefinedCurvesTakeNoPoints)
{
    Curve smooth = makeCurve({{0.0f, 0.0f}, {1.0f, 1.0f}}, CurveInterpolation::PredefinedSmoothstep);
    curve = &smooth;
    ui.frame(draw);
    ui.doubleClickAt(at(ImVec2(0.3f, 0.8f)), draw);
    ui.drag(at(ImVec2(1.0f, 1.0f)), at(ImVec2(0.5f, 0.5f)), draw, 4);
    EXPECT_EQ(smooth.points.size(), 2u);
    EXPECT_EQ(smooth.points[1], (CurvePoint{1.0f, 1.0f}));
}

} // namespace
