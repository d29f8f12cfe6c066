#include "project/gradients.h"

#include "jni/engine/grd_texture.h"
#include "project/json_file.h"

#include "gl_context.h"
#include "project_test_util.h"
#include "test_helpers.h"
#include "timeline_test_util.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace gl;
using timelinetest::ConsoleLog;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;
using timelinetest::ScopedBasePath;
using timelinetest::ScopedProjects;

namespace {

GradientMark mark(float r, float g, float b, float a, float position)
{
    return GradientMark{r, g, b, a, position};
}

GradientColor lab(const Gradient& gradient, float t)
{
    return GradientCieLABCurveEvaluator().Evaluate(t, gradient);
}

// Colour conversions there and back cost a little precision.
void expectColor(const GradientColor& c, float r, float g, float b, float a, const std::string& what)
{
    EXPECT_NEAR(c.red, r, 1e-4f) << what;
    EXPECT_NEAR(c.green, g, 1e-4f) << what;
    EXPECT_NEAR(c.blue, b, 1e-4f) << what;
    EXPECT_NEAR(c.alpha, a, 1e-6f) << what;
}

bool finite(const GradientColor& c)
{
    return std::isfinite(c.red) && std::isfinite(c.green) && std::isfinite(c.blue) && std::isfinite(c.alpha);
}

} // namespace

TEST(GradientEvaluator, MarksEndsAndFlatRegions)
{
    Gradient none;
    expectColor(lab(none, 0.5f), 0, 0, 0, 1, "no marks: opaque black");

    Gradient one;
    one.marks = {mark(0.2f, 0.4f, 0.6f, 0.3f, 0.5f)};
    for (float t : {-1.0f, 0.0f, 0.5f, 0.9f, 2.0f})
        expectColor(lab(one, t), 0.2f, 0.4f, 0.6f, 0.3f, "one mark at t=" + std::to_string(t));

    Gradient two;
    two.marks = {mark(1, 0, 0, 0.25f, 0.2f), mark(0, 0, 1, 1, 0.8f)};
    for (float t : {0.0f, 0.1f, 0.2f})
        expectColor(lab(two, t), 1, 0, 0, 0.25f, "before the first mark, t=" + std::to_string(t));
    for (float t : {0.8f, 0.9f, 1.0f})
        expectColor(lab(two, t), 0, 0, 1, 0.25f, "after the last mark, t=" + std::to_string(t));

    Gradient ramp;
    ramp.marks = {mark(0, 0, 0, 1, 0), mark(0.3f, 0.6f, 0.1f, 0.5f, 0.4f), mark(1, 1, 1, 0, 1)};
    expectColor(lab(ramp, 0.0f), 0, 0, 0, 1, "black end");
    expectColor(lab(ramp, 1.0f), 1, 1, 1, 1, "white end, alpha of the first mark");
    expectColor(lab(ramp, 0.4f), 0.3f, 0.6f, 0.1f, 1, "exactly on the middle mark");
    // Between black and a grey-free colour the spline stays between them channel by channel.
    const GradientColor mid = lab(ramp, 0.2f);
    EXPECT_GT(mid.green, 0.0f);
    EXPECT_LT(mid.green, 0.6f);
    expectColor(lab(ramp, std::numeric_limits<float>::quiet_NaN()), 0, 0, 0, 1, "NaN reads as 0");
}

TEST(GradientEvaluator, EqualAndOddPositionsStayFinite)
{
    // Equal positions make knot gaps of zero on either side of a segment.
    Gradient equal;
    equal.marks = {mark(1, 0, 0, 1, 0.2f), mark(0, 1, 0, 1, 0.5f), mark(0, 0, 1, 1, 0.5f), mark(1, 1, 0, 1, 0.5f),
                   mark(1, 1, 1, 1, 0.9f)};
    Gradient stacked;
    stacked.marks = {mark(1, 0, 0, 1, 0.0f), mark(0, 1, 0, 1, 0.0f), mark(0, 0, 1, 1, 1.0f), mark(1, 1, 1, 1, 1.0f)};
    // Positions outside 0..1 and NaN come from hand-edited files.
    Gradient odd;
    odd.marks = {mark(1, 0, 0, 1, -3.0f), mark(0, 1, 0, 1, std::numeric_limits<float>::quiet_NaN()),
                 mark(0, 0, 1, 1, 0.6f), mark(1, 1, 1, 1, 7.0f)};
    Gradient nan;
    nan.marks = {mark(0.5f, 0.5f, 0.5f, 1, std::numeric_limits<float>::quiet_NaN())};
    for (const Gradient* g : {&equal, &stacked, &odd, &nan}) {
        for (int i = 0; i <= 100; ++i) {
            const GradientColor c = lab(*g, static_cast<float>(i) / 100.0f);
            ASSERT_TRUE(finite(c)) << "t=" << i / 100.0f;
            EXPECT_LT(std::fabs(c.red) + std::fabs(c.green) + std::fabs(c.blue), 10.0f);
        }
    }
    expectColor(lab(equal, 0.5f), 0, 1, 0, 1, "the first of equal marks wins at their position");
    expectColor(lab(nan, 0.3f), 0.5f, 0.5f, 0.5f, 1, "a lone unusable mark still gives its colour");
}

TEST(GradientEvaluator, ColorTextTable)
{
    const std::pair<GradientMark, const char*> written[] = {
        {mark(1, 0, 0, 0.5f, 0), "ff00007f"},
        {mark(0, 1, 0.5f, 1, 0), "00ff7fff"},
        {mark(-1, 2, std::numeric_limits<float>::quiet_NaN(), 1e30f, 0), "00ff00ff"},
    };
    for (const auto& [m, text] : written)
        EXPECT_EQ(gradientColorText(m), text);

    GradientMark m;
    gradientColorFromText("ff000080", m);
    EXPECT_EQ(m.red, 1.0f);
    EXPECT_EQ(m.green, 0.0f);
    EXPECT_EQ(m.alpha, 128.0f / 255.0f);
    gradientColorFromText("not hex", m);
    EXPECT_EQ(m.red, 0.0f);
    EXPECT_EQ(m.alpha, 0.0f);
    gradientColorFromText("123456789abc", m); // longer than a colour: every channel still 0..1
    EXPECT_LE(m.red, 1.0f);
    // Every 8-bit value survives a write and a read.
    for (int v = 0; v < 256; ++v) {
        char text[9];
        std::snprintf(text, sizeof(text), "%02x%02x%02x%02x", v, 255 - v, v, 255 - v);
        gradientColorFromText(text, m);
        EXPECT_EQ(gradientColorText(m), text);
    }
}

namespace {

// Two projects under a scratch asset folder with the "global" gradient file; the shared set is emptied afterwards.
class GradientFiles : public ::testing::Test {
protected:
    TempDir dir{"gradients"};
    ScopedBasePath base{dir.str()};
    ScopedProjects projects{{"one", "two"}};
    const std::string relative = "projects/global/resources.json";
    const std::string path = dir.str() + relative;

    void TearDown() override
    {
        for (GradientResource* record : gradientsAll())
            gradientsRemove(record->name);
        jsonfile::clearUnreadable(path);
    }
    void write(const std::string& text) { writeFile(path, text); }
    // Loads the file once per project, each current in turn, as project loading does.
    bool loadAll()
    {
        bool ok = true;
        for (size_t i = 0; i < 2; ++i) {
            projSetCurrent(projects[i]);
            ok = load_gradients_json(relative) && ok;
        }
        projSetCurrent(projects[0]);
        return ok;
    }
};

} // namespace

TEST_F(GradientFiles, ReadsSortsAndRoundTripsByteIdentical)
{
    write(R"({"gradient_resources": [
        {"name": "fire", "interpolation": 1, "entries": [
            {"color": "ffff00ff", "pos": 0.75}, {"color": "ff000080", "pos": 0.25}]},
        {"name": "plain", "interpolation": 0},
        {"name": "empty", "interpolation": 0, "entries": []}]})");
    ASSERT_TRUE(loadAll());
    auto* fire = dynamic_cast<GradientResource*>(currentResources->get_by_name_type("fire", ResourceType::Gradient));
    ASSERT_NE(fire, nullptr);
    EXPECT_EQ(fire->gradient->interpolation, 1);
    EXPECT_EQ(fire->gradient->row, -1);
    ASSERT_EQ(fire->gradient->marks.size(), 2u);
    EXPECT_EQ(fire->gradient->marks[0].position, 0.25f);
    EXPECT_EQ(fire->gradient->marks[0].alpha, 128.0f / 255.0f);
    const Gradient* plain = gradientsFind("plain")->gradient;
    ASSERT_EQ(plain->marks.size(), 1u);
    expectColor(lab(*plain, 0.7f), 1, 1, 1, 1, "no entries: one white mark");
    EXPECT_TRUE(gradientsFind("empty")->gradient->marks.empty());
    expectColor(lab(*gradientsFind("empty")->gradient, 0.7f), 0, 0, 0, 1, "empty entries: black");

    ASSERT_TRUE(save_gradients_json(path));
    const std::string first = readFile(path);
    const nlohmann::json doc = nlohmann::json::parse(first);
    ASSERT_EQ(doc["gradient_resources"].size(), 3u);
    EXPECT_EQ(doc["gradient_resources"][0]["name"], "empty"); // name order
    EXPECT_EQ(doc["gradient_resources"][0]["entries"], nlohmann::json::array()); // stays without marks
    EXPECT_EQ(doc["gradient_resources"][1]["entries"][0]["color"], "ff000080");
    EXPECT_EQ(doc["gradient_resources"][1]["entries"][0]["pos"], 0.25);
    EXPECT_NE(first.find("\n    \"gradient_resources\""), std::string::npos); // indent 4

    for (GradientResource* record : gradientsAll())
        gradientsRemove(record->name);
    ASSERT_TRUE(loadAll());
    ASSERT_TRUE(save_gradients_json(path));
    EXPECT_EQ(readFile(path), first);
}

TEST_F(GradientFiles, OneSharedSetWhicheverProjectIsCurrent)
{
    write(R"({"gradient_resources": [{"name": "sky", "interpolation": 0,
              "entries": [{"color": "000000ff", "pos": 0.0}]}]})");
    ASSERT_TRUE(loadAll());
    Resource* inOne = projects[0]->resources->resources.at("sky");
    Resource* inTwo = projects[1]->resources->resources.at("sky");
    projSetCurrent(projects[1]);
    ASSERT_NE(inOne, nullptr);
    EXPECT_EQ(inOne, inTwo);

    // Edited while "two" is shown, saved while "one" is: the edit is what reaches the file.
    static_cast<GradientResource*>(inTwo)->gradient->marks[0].red = 1.0f;
    GradientResource* added = gradientsAdd("sea");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(gradientsAdd("sea"), nullptr);
    projSetCurrent(projects[0]);
    EXPECT_EQ(currentResources->get_by_name_type("sea", ResourceType::Gradient), added);
    ASSERT_TRUE(save_gradients_json(path));
    const nlohmann::json doc = nlohmann::json::parse(readFile(path));
    ASSERT_EQ(doc["gradient_resources"].size(), 2u);
    EXPECT_EQ(doc["gradient_resources"][0]["name"], "sea");
    EXPECT_EQ(doc["gradient_resources"][1]["entries"][0]["color"], "ff0000ff");

    EXPECT_TRUE(gradientsRemove("sea"));
    EXPECT_EQ(projects[1]->resources->resources.count("sea"), 0u);
}

TEST_F(GradientFiles, TakenNamesDuplicatesAndOtherKeysAreKept)
{
    const std::string text = R"({"gradient_resources": [
        {"name": "stone", "interpolation": 0, "entries": [{"color": "808080ff", "pos": 0.5}]},
        {"name": "stone", "interpolation": 1},
        {"name": "tex", "interpolation": 0}], "later": {"x": 1}})";
    write(text);
    // "tex" names a texture in project one.
    FileResource* texture = projects[0]->resources->add_texture("tex", nullptr);
    ConsoleLog log;
    ASSERT_TRUE(loadAll());
    EXPECT_EQ(log.count("a second gradient named <stone>"), 2);
    EXPECT_EQ(log.count("Gradient <tex> is not added"), 1);
    EXPECT_EQ(projects[0]->resources->resources.at("tex"), texture);
    EXPECT_EQ(projects[1]->resources->resources.at("tex"), gradientsFind("tex"));
    EXPECT_EQ(gradientsFind("stone")->gradient->interpolation, 0);

    ASSERT_TRUE(save_gradients_json(path));
    const nlohmann::json doc = nlohmann::json::parse(readFile(path));
    EXPECT_EQ(doc["later"]["x"], 1);
    ASSERT_EQ(doc["gradient_resources"].size(), 3u);
    EXPECT_EQ(doc["gradient_resources"][2]["interpolation"], 1);
}

TEST_F(GradientFiles, AFileThatFailedToLoadIsNeverRewritten)
{
    const char* const cases[] = {
        R"({"gradient_resources": [{"name": "a", "interpolation": 0,)",
        R"({"gradient_resources": [{"name": 3, "interpolation": 0}]})",
        R"({"gradient_resources": [{"name": "a", "interpolation": "1"}]})",
        R"({"gradient_resources": [{"name": "a", "interpolation": 0, "entries": [{"color": 255, "pos": 0}]}]})",
        R"({"gradient_resources": {"name": "a"}})",
        R"([])",
    };
    for (const char* text : cases) {
        write(text);
        ConsoleLog log;
        EXPECT_FALSE(loadAll()) << text;
        EXPECT_TRUE(gradientsAll().empty()) << text;
        EXPECT_TRUE(log.contains("Failed to")) << text;
        EXPECT_FALSE(save_gradients_json(path)) << text;
        EXPECT_EQ(readFile(path), text);
    }
}

TEST_F(GradientFiles, MissingFileAddsNothingAndAnEmptySetWritesNull)
{
    EXPECT_FALSE(loadAll());
    EXPECT_TRUE(gradientsAll().empty());
    std::filesystem::create_directories(dir.path() / "projects/global");
    ASSERT_TRUE(save_gradients_json(path));
    EXPECT_EQ(readFile(path), "null");
    EXPECT_TRUE(loadAll());
    EXPECT_FALSE(save_gradients_json(dir.str() + "no/such/dir/resources.json"));
}

namespace {

std::vector<uint16_t> readGradientTexture()
{
    std::vector<uint16_t> texels(kGradientTextureWidth * kGradientTextureRows * 4);
    glGetTextureImage(colorGradientTexture->glId, 0, GL_RGBA, GL_HALF_FLOAT,
                      static_cast<GLsizei>(texels.size() * sizeof(uint16_t)), texels.data());
    return texels;
}

} // namespace

class GradientTexture : public GLTest {};

TEST_F(GradientTexture, RowsReadBackFromTheTexture)
{
    gradientTextureUpdate({});
    ASSERT_NE(colorGradientTexture, nullptr);
    ASSERT_NE(colorGradientTexture->glId, 0u);
    EXPECT_EQ(colorGradientTexture->name, "ColorGradientTexture");
    const timelinetest::TextureLevel level = timelinetest::textureLevel(colorGradientTexture->glId);
    EXPECT_EQ(level.width, 128);
    EXPECT_EQ(level.height, 256);
    EXPECT_EQ(level.format, GL_RGBA16F);

    Gradient ramp;
    ramp.marks = {mark(0, 0, 0, 0.5f, 0), mark(1, 0.5f, 0.25f, 1, 1)};
    Gradient flat;
    flat.marks = {mark(0.2f, 0.4f, 0.6f, 1, 0.3f)};
    Gradient broken;
    broken.marks = {mark(1, 0, 0, 1, 0.5f), mark(0, 1, 0, 1, 0.5f), mark(0, 0, 1, 1, 0.5f)};
    gradientTextureUpdate({&ramp, &flat, &broken});
    EXPECT_EQ(ramp.row, 0);
    EXPECT_EQ(flat.row, 1);
    EXPECT_EQ(broken.row, 2);

    const std::vector<uint16_t> texels = readGradientTexture();
    const GradientCieLABCurveEvaluator evaluator;
    for (const Gradient* g : {&ramp, &flat, &broken}) {
        for (int i = 0; i < kGradientTextureWidth; ++i) {
            const GradientColor c = evaluator.Evaluate(static_cast<float>(i) / 127.0f, *g);
            const uint16_t* texel = &texels[(static_cast<size_t>(g->row) * kGradientTextureWidth + i) * 4];
            EXPECT_EQ(texel[0], floatToHalf(c.red)) << "row " << g->row << " texel " << i;
            EXPECT_EQ(texel[1], floatToHalf(c.green));
            EXPECT_EQ(texel[2], floatToHalf(c.blue));
            EXPECT_EQ(texel[3], floatToHalf(c.alpha));
        }
    }
    // The ramp's ends are its marks' colours, the alpha the first mark's.
    EXPECT_EQ(texels[0], floatToHalf(0.0f));
    EXPECT_EQ(texels[127 * 4 + 3], floatToHalf(0.5f));
}

TEST_F(GradientTexture, MoreGradientsThanRowsWriteNothingOutside)
{
    std::vector<Gradient> gradients(300);
    std::vector<Gradient*> list;
    for (size_t k = 0; k < gradients.size(); ++k) {
        gradients[k].marks = {mark(static_cast<float>(k) / 300.0f, 0, 0, 1, 0)};
        list.push_back(&gradients[k]);
    }
    ConsoleLog log;
    gradientTextureUpdate(list);
    EXPECT_EQ(log.count("300 gradients but 256 texture rows"), 1);
    EXPECT_EQ(gradients[255].row, 255);
    EXPECT_EQ(gradients[256].row, -1);
    EXPECT_EQ(gradients[299].row, -1);
    const std::vector<uint16_t> texels = readGradientTexture();
    EXPECT_EQ(texels[255 * 128 * 4], floatToHalf(255.0f / 300.0f));
}

// A mark position beyond float range is clamped with a line naming the file; what is saved loads and saves again to
// the same bytes.
TEST_F(GradientFiles, PositionsBeyondFloatRangeAreClampedWithALine)
{
    for (const std::string value : {"1e308", "-1e308", "1e39"}) {
        SCOPED_TRACE(value);
        write(R"({"gradient_resources": [{"name": "far", "interpolation": 0, "entries": [
            {"color": "ffffffff", "pos": 0.5}, {"color": "000000ff", "pos": )" + value + "}]}]}");
        ConsoleLog log;
        ASSERT_TRUE(loadAll());
        EXPECT_EQ(log.count(relative + ">: " + nlohmann::json::parse(value).dump() + " is beyond the range of a float"),
                  1);
        ASSERT_TRUE(save_gradients_json(path));
        const std::string saved = readFile(path);
        const nlohmann::json doc = nlohmann::json::parse(saved);
        EXPECT_EQ(std::fabs(doc["gradient_resources"][0]["entries"][value[0] == '-' ? 0 : 1]["pos"].get<double>()),
                  static_cast<double>(std::numeric_limits<float>::max()));
        for (GradientResource* record : gradientsAll())
            gradientsRemove(record->name);
        ASSERT_TRUE(loadAll());
        ASSERT_TRUE(save_gradients_json(path));
        EXPECT_EQ(readFile(path), saved);
        for (GradientResource* record : gradientsAll())
            gradientsRemove(record->name);
    }
}
