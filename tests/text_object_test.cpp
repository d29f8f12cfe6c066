#include "components/glyph_contours.h"
#include "components/text_object.h"

#include "app/data_files.h"
#include "jni/engine/grd_geometry.h"
#include "render/entities.h"

#include "gl_context.h"
#include "project_test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <tuple>

namespace {

const std::string kAssets = std::string(ENGINE_SOURCE_DIR) + "assets/";

// ---- Contours from synthetic outlines ----

std::vector<std::pair<double, double>> xy(const GlyphContour& c)
{
    std::vector<std::pair<double, double>> out;
    for (const ContourPoint& p : c.points)
        out.emplace_back(p.x, p.y);
    return out;
}

TEST(GlyphContours, OnCurvePointsStayInOrderWithoutRepeats)
{
    // A square whose last point repeats the first, and a doubled corner.
    const OutlinePoint points[] = {{0, 0}, {64, 0}, {64, 0}, {64, 64}, {0, 64}, {0, 0}};
    const uint8_t tags[] = {1, 1, 1, 1, 1, 1};
    GlyphContour contour(points, tags, 6);
    const std::vector<std::pair<double, double>> expected = {{0, 0}, {64, 0}, {64, 64}, {0, 64}};
    EXPECT_EQ(xy(contour), expected);
    EXPECT_EQ(contour.minX, 0.0f);
    EXPECT_EQ(contour.maxY, 64.0f);
    // Counter-clockwise in y-up: positive turning.
    EXPECT_FALSE(contour.clockwise);
}

TEST(GlyphContours, QuadraticSegmentsGiveNinePointsAndImpliedMidpoints)
{
    struct Case {
        std::vector<OutlinePoint> points;
        std::vector<uint8_t> tags;
        // Points expected at these indices of the result.
        std::vector<std::tuple<size_t, double, double>> probes;
        size_t count;
    };
    const Case cases[] = {
        // P0 (0,0) on, P1 (100,200) control, P2 (200,0) on: t = 0.1 .. 0.9 between them.
        {{{0, 0}, {100, 200}, {200, 0}},
         {1, 0, 1},
         {{0, 0, 0}, {1, 20, 36}, {5, 100, 100}, {9, 180, 36}, {10, 200, 0}},
         11},
        // Two controls in a row: their midpoint (100, 200) is an on-curve point between two curve pieces.
        {{{0, 0}, {0, 200}, {200, 200}, {200, 0}},
         {1, 0, 0, 1},
         {{0, 0, 0}, {10, 100, 200}, {20, 200, 0}},
         21},
    };
    for (const Case& c : cases) {
        GlyphContour contour(c.points.data(), c.tags.data(), int(c.points.size()));
        ASSERT_EQ(contour.points.size(), c.count);
        for (const auto& [index, x, y] : c.probes) {
            EXPECT_NEAR(contour.points[index].x, x, 1e-4) << index;
            EXPECT_NEAR(contour.points[index].y, y, 1e-4) << index;
        }
    }
}

TEST(GlyphContours, CubicSegmentDropsItsStartPointRepeat)
{
    // P0 on, two cubic controls, P3 on: t = 0 repeats P0 and is dropped, t = 0.1 .. 0.9 stay.
    const OutlinePoint points[] = {{0, 0}, {0, 300}, {300, 300}, {300, 0}};
    const uint8_t tags[] = {1, 2, 2, 1};
    GlyphContour contour(points, tags, 4);
    ASSERT_EQ(contour.points.size(), 11u);
    EXPECT_EQ(contour.points[0], (ContourPoint{0, 0, 0}));
    EXPECT_NEAR(contour.points[5].x, 150.0, 1e-3); // t = 0.5
    EXPECT_NEAR(contour.points[5].y, 225.0, 1e-3);
    EXPECT_EQ(contour.points[10], (ContourPoint{300, 0, 0}));
}

TEST(GlyphContours, NestingDecidesOrientationWhateverTheInputDirection)
{
    // Outer and inner squares, given in every combination of directions.
    const std::vector<OutlinePoint> ccwOuter = {{0, 0}, {1000, 0}, {1000, 1000}, {0, 1000}};
    const std::vector<OutlinePoint> ccwInner = {{300, 300}, {700, 300}, {700, 700}, {300, 700}};
    for (bool reverseOuter : {false, true})
        for (bool reverseInner : {false, true}) {
            std::vector<OutlinePoint> outer = ccwOuter, inner = ccwInner;
            if (reverseOuter)
                std::reverse(outer.begin(), outer.end());
            if (reverseInner)
                std::reverse(inner.begin(), inner.end());
            std::vector<OutlinePoint> points = outer;
            points.insert(points.end(), inner.begin(), inner.end());
            Vectoriser v(points, std::vector<uint8_t>(8, 1), {3, 7});
            v.BuildContours();
            ASSERT_EQ(v.contours.size(), 2u);
            EXPECT_EQ(v.Crossings(0), 0);
            EXPECT_EQ(v.Crossings(1), 1);
            EXPECT_TRUE(v.contours[0]->clockwise) << reverseOuter << reverseInner;
            EXPECT_FALSE(v.contours[1]->clockwise) << reverseOuter << reverseInner;
        }
}

TEST(GlyphContours, SlantedBarLeftOfARingLeavesItsHoleAHole)
{
    // The "%" layout: a slanted bar whose two long edges both pass left of the ring's hole, in either direction.
    const std::vector<OutlinePoint> ring = {{400, 0}, {600, 0}, {600, 200}, {400, 200}};
    const std::vector<OutlinePoint> hole = {{450, 50}, {450, 150}, {550, 150}, {550, 50}};
    const std::vector<OutlinePoint> bar = {{100, -10}, {150, -10}, {650, 500}, {600, 500}};
    for (bool reverseBar : {false, true}) {
        std::vector<OutlinePoint> slash = bar;
        if (reverseBar)
            std::reverse(slash.begin(), slash.end());
        std::vector<OutlinePoint> points = ring;
        points.insert(points.end(), hole.begin(), hole.end());
        points.insert(points.end(), slash.begin(), slash.end());
        Vectoriser v(points, std::vector<uint8_t>(12, 1), {3, 7, 11});
        v.BuildContours();
        EXPECT_EQ(v.Crossings(1), 3) << reverseBar;
        EXPECT_TRUE(v.contours[0]->clockwise);
        EXPECT_FALSE(v.contours[1]->clockwise) << reverseBar;
        EXPECT_TRUE(v.contours[2]->clockwise);
    }
}

TEST(GlyphContours, MalformedContourEndsStopTheWalk)
{
    Vectoriser v({{0, 0}, {10, 0}, {10, 10}}, {1, 1, 1}, {2, 7});
    v.BuildContours();
    EXPECT_EQ(v.contours.size(), 1u);
    Vectoriser far({{70000, 0}, {70010, 0}, {70010, 10}}, {1, 1, 1}, {2});
    far.BuildContours();
    EXPECT_EQ(far.Crossings(0), 0); // the sentinel stays the leftmost point
}

// ---- UTF-8 ----

TEST(TextDecoding, Utf8GivesCodePointsAndMarksMalformedBytes)
{
    struct Case {
        std::string text;
        std::vector<uint32_t> codes;
    };
    const Case cases[] = {
        {"", {}},
        {"Az", {'A', 'z'}},
        {"caf\xC3\xA9", {'c', 'a', 'f', 0xE9}},
        {"\xE2\x82\xAC", {0x20AC}},
        {"\xF0\x9F\x98\x80", {0x1F600}},
        {"\xE9t\xC3", {0xFFFD, 't', 0xFFFD}},   // a Latin-1 byte, a cut sequence
        {"\xC0\x80", {0xFFFD, 0xFFFD}},          // overlong
        {"\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}}, // a surrogate
    };
    for (const Case& c : cases)
        EXPECT_EQ(decodeUtf8(c.text), c.codes) << c.text;
}

// ---- Meshes from the shipped font ----

class TextMeshes : public ::testing::Test {
protected:
    std::string oldBase = dataBasePath();
    void SetUp() override { dataSetBasePath(kAssets); }
    void TearDown() override { dataSetBasePath(oldBase); }

    static TextMesh build(const std::string& text, float size = 8.0f, float depth = 1.0f, float spacing = 1.0f)
    {
        TextMesh mesh;
        EXPECT_TRUE(buildTextMesh(mesh, text, textobjectfx::kFontPath, size, depth, spacing));
        return mesh;
    }
    static std::array<float, 3> vertex(const TextMesh& m, uint32_t i)
    {
        return {m.positions[3 * i], m.positions[3 * i + 1], m.positions[3 * i + 2]};
    }
    static std::array<float, 6> bounds(const TextMesh& m)
    {
        std::array<float, 6> b = {1e9f, 1e9f, 1e9f, -1e9f, -1e9f, -1e9f};
        for (uint32_t i = 0; i < m.VertexCount(); ++i)
            for (int a = 0; a < 3; ++a) {
                b[size_t(a)] = std::min(b[size_t(a)], m.positions[3 * i + uint32_t(a)]);
                b[size_t(a) + 3] = std::max(b[size_t(a) + 3], m.positions[3 * i + uint32_t(a)]);
            }
        return b;
    }
};

TEST_F(TextMeshes, MeshIsClosedAndConsistentlyOriented)
{
    for (const std::string& text : {"O", "Hello", "8", "%", "&", "@", "caf\xC3\xA9"}) {
        const TextMesh mesh = build(text);
        ASSERT_GT(mesh.caps.size(), 0u) << text;
        // Welded by position, every directed edge must meet its reverse exactly once.
        std::map<std::array<float, 3>, uint32_t> weld;
        auto id = [&](uint32_t i) { return weld.emplace(vertex(mesh, i), uint32_t(weld.size())).first->second; };
        std::map<std::pair<uint32_t, uint32_t>, int> edges;
        double volume = 0.0;
        for (const std::vector<uint32_t>* list : {&mesh.caps, &mesh.walls})
            for (size_t t = 0; t < list->size(); t += 3) {
                const uint32_t a = id((*list)[t]), b = id((*list)[t + 1]), c = id((*list)[t + 2]);
                ++edges[{a, b}];
                ++edges[{b, c}];
                ++edges[{c, a}];
                const auto p = vertex(mesh, (*list)[t]), q = vertex(mesh, (*list)[t + 1]),
                           r = vertex(mesh, (*list)[t + 2]);
                volume += (double(p[0]) * (double(q[1]) * r[2] - double(q[2]) * r[1]) -
                           double(p[1]) * (double(q[0]) * r[2] - double(q[2]) * r[0]) +
                           double(p[2]) * (double(q[0]) * r[1] - double(q[1]) * r[0])) /
                          6.0;
            }
        int open = 0;
        for (const auto& [edge, count] : edges)
            if (count != 1 || edges.count({edge.second, edge.first}) == 0 ||
                edges.at({edge.second, edge.first}) != 1)
                ++open;
        EXPECT_EQ(open, 0) << text;
        // All faces point the same way round the solid: the enclosed volume is depth x cap area, never 0.
        EXPECT_GT(std::abs(volume), 1.0) << text;
    }
}

TEST_F(TextMeshes, FrontCapFacesTheViewerAndTheWallsFaceOutward)
{
    const TextMesh mesh = build("I", 16.0f, 2.0f);
    const auto box = bounds(mesh);
    const float cx = (box[0] + box[3]) / 2, cy = (box[1] + box[4]) / 2;
    for (size_t t = 0; t < mesh.caps.size(); t += 3) {
        const auto p = vertex(mesh, mesh.caps[t]), q = vertex(mesh, mesh.caps[t + 1]), r = vertex(mesh, mesh.caps[t + 2]);
        const float nz = (q[0] - p[0]) * (r[1] - p[1]) - (q[1] - p[1]) * (r[0] - p[0]);
        EXPECT_LT(p[2] == 0.0f ? nz : -nz, 0.0f); // front (z 0) towards -z, back towards +z
    }
    // "I" is a box: every wall's normal points away from its centre.
    for (size_t t = 0; t < mesh.walls.size(); t += 3) {
        const auto p = vertex(mesh, mesh.walls[t]), q = vertex(mesh, mesh.walls[t + 1]),
                   r = vertex(mesh, mesh.walls[t + 2]);
        const float u[3] = {q[0] - p[0], q[1] - p[1], q[2] - p[2]}, v[3] = {r[0] - p[0], r[1] - p[1], r[2] - p[2]};
        const float n[2] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2]};
        const float out[2] = {(p[0] + q[0] + r[0]) / 3 - cx, (p[1] + q[1] + r[1]) / 3 - cy};
        EXPECT_GT(n[0] * out[0] + n[1] * out[1], 0.0f);
    }
}

TEST_F(TextMeshes, LetterOHasOneCapWithItsCounterAsAHole)
{
    const TextMesh mesh = build("O");
    const auto box = bounds(mesh);
    const float cx = (box[0] + box[3]) / 2, cy = (box[1] + box[4]) / 2;
    // No cap triangle covers the centre of the counter.
    for (size_t t = 0; t < mesh.caps.size(); t += 3) {
        const auto p = vertex(mesh, mesh.caps[t]), q = vertex(mesh, mesh.caps[t + 1]), r = vertex(mesh, mesh.caps[t + 2]);
        auto side = [&](const std::array<float, 3>& a, const std::array<float, 3>& b) {
            return (b[0] - a[0]) * (cy - a[1]) - (b[1] - a[1]) * (cx - a[0]);
        };
        const float s0 = side(p, q), s1 = side(q, r), s2 = side(r, p);
        EXPECT_FALSE((s0 > 0 && s1 > 0 && s2 > 0) || (s0 < 0 && s1 < 0 && s2 < 0));
    }
    EXPECT_GT(mesh.walls.size(), 0u);
}

TEST_F(TextMeshes, EmptyTextAndSpacesGiveNoVerticesButSpacesAdvance)
{
    EXPECT_EQ(build("").VertexCount(), 0u);
    const TextMesh space = build(" ");
    EXPECT_EQ(space.VertexCount(), 0u);
    EXPECT_TRUE(space.caps.empty() && space.walls.empty());
    // The space's advance moves the next glyph along.
    EXPECT_GT(bounds(build(" I"))[0], bounds(build("I"))[0] + 1.0f);
}

TEST_F(TextMeshes, SizeSpacingAndTheKerningStateOfTheTextBefore)
{
    const auto small = bounds(build("H", 8.0f));
    const auto large = bounds(build("H", 16.0f));
    EXPECT_NEAR(large[3] - large[0], 2 * (small[3] - small[0]), 0.05f);
    EXPECT_NEAR(large[4] - large[1], 2 * (small[4] - small[1]), 0.05f);
    EXPECT_FLOAT_EQ(large[2], 0.0f);

    // Spacing 0 stacks the glyphs.
    const auto stacked = bounds(build("II", 8.0f, 1.0f, 0.0f));
    const auto single = bounds(build("I", 8.0f));
    EXPECT_NEAR(stacked[3], single[3], 1.01f);

    // A text is the same whatever was built before it.
    const TextMesh alone = build("V", 30.0f);
    build("AVA", 30.0f);
    const TextMesh after = build("V", 30.0f);
    EXPECT_EQ(alone.positions, after.positions);

    // Non-ASCII letters have glyphs.
    EXPECT_GT(build("\xC3\xA9").VertexCount(), 0u);
}

TEST_F(TextMeshes, SizesOutsideTheRangeStillBuildAFiniteMesh)
{
    for (float size : {0.0f, -3.0f, 1e9f, std::nanf("")}) {
        const TextMesh mesh = build("A", size);
        EXPECT_GT(mesh.VertexCount(), 0u) << size;
        for (float v : mesh.positions)
            ASSERT_TRUE(std::isfinite(v)) << size;
    }
}

TEST_F(TextMeshes, MissingFontLeavesTheMeshAsItWas)
{
    projtest::LogCapture log;
    TextMesh mesh = build("I");
    const size_t before = mesh.positions.size();
    EXPECT_FALSE(buildTextMesh(mesh, "OO", "fonts/none.ttf", 8.0f, 1.0f, 1.0f));
    EXPECT_FALSE(buildTextMesh(mesh, "OO", "fonts/none.ttf", 8.0f, 1.0f, 1.0f));
    EXPECT_EQ(mesh.positions.size(), before);
    EXPECT_EQ(log.count("Error opening font"), 1);
}

class TextObjectComponent : public GLTest {
protected:
    projtest::ScopedProject project;
    std::string oldBase = dataBasePath();
    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(kAssets);
    }
    void TearDown() override
    {
        dataSetBasePath(oldBase);
        GLTest::TearDown();
    }
};

TEST_F(TextObjectComponent, PublishesAnObjectWhoseGeometryFollowsTheText)
{
    auto* text = static_cast<textobjectfx*>(textobjectfx::Create("title"));
    project.components.push_back(text);
    Geometry* geometry = text->object->geometry;
    ASSERT_NE(geometry, nullptr);
    EXPECT_EQ(geometry->surfaces[0]->name, "Text");
    EXPECT_EQ(geometry->surfaces[1]->name, "Extrusion");
    EXPECT_EQ(geometry->vertexCount, text->mesh.VertexCount());
    EXPECT_EQ(geometry->surfaces[0]->triangleCount * 3, text->mesh.caps.size());
    EXPECT_GT(text->object->bounds[3], text->object->bounds[0]);
    EXPECT_EQ(text->object->bounds[5], 1.0f); // the default depth

    text->text.text = "";
    text->OnCvarChanged(&text->text);
    ASSERT_NE(text->object->geometry, nullptr);
    EXPECT_EQ(text->object->geometry->vertexCount, 0u);
    EXPECT_EQ(text->object->geometry->surfaces[0]->triangleCount, 0u);
    EXPECT_EQ(text->object->geometry->surfaces[1]->triangleCount, 0u);

    auto* record = resourceCast<FileResource>(text->outputs[0]->payload, ResourceType::Object);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetObject(), text->object);
    EXPECT_EQ(record->name, "title/internal/output");
}

} // namespace
