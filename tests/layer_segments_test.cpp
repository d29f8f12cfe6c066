#include "project/layer_segments.h"

#include "project/json_file.h"

#include "project_test_util.h"
#include "test_helpers.h"
#include "timeline_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using timelinetest::ConsoleLog;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;
using timelinetest::ScopedBasePath;

namespace {

const char* const kDefaultChain[] = {"Background",   "Effect",       "Blur",         "EdgeDetect", "Aberration",
                                     "Glow",         "Pixelize",     "Glitch",       "Front image1", "Front image2",
                                     "Front image3", "Front image4", "Tonemap",      "RenderSetup", "DOF"};

// The segments as fx_segments_init leaves them before reading a file, under a scratch asset folder.
class Segments : public ::testing::Test {
protected:
    TempDir dir{"segments"};
    ScopedBasePath base{dir.str()};

    void SetUp() override
    {
        for (FxSegment& segment : fxSegments) {
            segment = FxSegment();
            segment.name.clear();
        }
        fx_segments_register_types();
        fx_segments_set_default_chain();
    }
    void TearDown() override
    {
        fxSegmentsDirty = false;
        jsonfile::clearUnreadable(dir.str() + "layers.segments");
    }

    void load(const std::string& text)
    {
        writeFile(dir.path() / "layers.segments", text);
        fx_segments_load("layers.segments");
    }
    static std::string typeName(int segment, int slot)
    {
        const FxLayerType* type = fxSegments[segment].type[slot];
        return type ? type->name : "<empty>";
    }
    static void expectDefaultChain(int segment, int fromSlot)
    {
        for (int slot = fromSlot; slot < 15; ++slot) {
            EXPECT_EQ(typeName(segment, slot), kDefaultChain[slot]) << "segment " << segment << " slot " << slot;
            EXPECT_EQ(fxSegments[segment].enabled[slot], 1);
        }
        for (int slot = 15; slot < kFxLayerSlots; ++slot)
            EXPECT_EQ(fxSegments[segment].type[slot], nullptr);
    }
    static FxLayerDOFParams* dof(int segment, int slot)
    {
        return dynamic_cast<FxLayerDOFParams*>(fxSegments[segment].params[slot].get());
    }
};

} // namespace

TEST_F(Segments, TypesAreRegisteredWithTheirIndices)
{
    EXPECT_EQ(fxLayerTypeMaxIndex, 17);
    EXPECT_STREQ(fxLayerTypes[12].name, "Front image3");
    EXPECT_STREQ(fxLayerTypes[17].name, "DOF");
    EXPECT_EQ(fxLayerTypes[18].prototype, nullptr);
    EXPECT_EQ(fx_layer_type_find("Tonemap"), &fxLayerTypes[15]);
    EXPECT_EQ(fx_layer_type_find(""), nullptr);
    // The DOF prototype holds zeros; Parse of nothing gives the defaults.
    FxLayerDOFParams* prototype = dynamic_cast<FxLayerDOFParams*>(fxLayerTypes[17].prototype);
    ASSERT_NE(prototype, nullptr);
    EXPECT_EQ(prototype->Serialize(), "0.000000 0.000000, 0.000000 0.000000 0");
}

TEST_F(Segments, WithoutAFileTheDefaultFileIsWrittenAndReadsBackTheSame)
{
    ConsoleLog log;
    fx_segments_load("layers.segments");
    EXPECT_TRUE(fxSegmentsDirty);
    ASSERT_TRUE(fx_segments_save("layers.segments"));
    EXPECT_FALSE(fxSegmentsDirty);
    EXPECT_TRUE(log.contains("Saved segments definition to layers.segments"));
    const std::string text = readFile(dir.path() / "layers.segments");

    std::string expected = "VERSION:2\n";
    for (int s = 0; s < kFxSegmentCount; ++s) {
        expected += "SEGMENT:" + std::to_string(s) + "\nNAME:Segment " + std::to_string(s) + "\n";
        for (int slot = 0; slot < 15; ++slot) {
            expected += "LAYER:" + std::to_string(slot) + "\nENABLED:1\nNAME:" + kDefaultChain[slot] + "\n";
            if (slot == 14)
                expected += "PARAMS:0.000000 0.000000, 0.000000 0.000000 0\n";
            expected += "LAYER_END\n";
        }
        expected += "SEGMENT_END\n";
    }
    EXPECT_EQ(text, expected);

    // Read back into changed segments and written again: the same bytes.
    fx_segments_set_layer(3, 20, 1);
    fx_segments_load("layers.segments");
    fxSegmentsDirty = true;
    ASSERT_TRUE(fx_segments_save("layers.segments"));
    // Slot 20 was not in the file, so it keeps its layer: the one difference.
    EXPECT_EQ(typeName(3, 20), "Clear");
    fxSegments[3].type[20] = nullptr;
    fxSegmentsDirty = true;
    ASSERT_TRUE(fx_segments_save("layers.segments"));
    EXPECT_EQ(readFile(dir.path() / "layers.segments"), text);
}

TEST_F(Segments, ValuesOfTheCurrentFormRoundTripByteIdentical)
{
    const std::string text = "VERSION:2\n"
                             "SEGMENT:0\nNAME:intro\n"
                             "LAYER:0\nENABLED:0\nNAME:Clear\nLAYER_END\n"
                             "LAYER:14\nENABLED:1\nNAME:DOF\nPARAMS:0.500000 2.000000, 1.000000 500.000000 1\n"
                             "LAYER_END\n"
                             "LAYER:23\nENABLED:7\nNAME:FXAA\nLAYER_END\n"
                             "SEGMENT_END\n";
    load(text);
    EXPECT_EQ(fxSegments[0].name, "intro");
    EXPECT_EQ(typeName(0, 0), "Clear");
    EXPECT_EQ(fxSegments[0].enabled[0], 0);
    EXPECT_EQ(fxSegments[0].enabled[23], 7);
    ASSERT_NE(dof(0, 14), nullptr);
    EXPECT_EQ(dof(0, 14)->farDist, 500.0f);
    EXPECT_EQ(dof(0, 14)->showCOC, 1);
    fxSegmentsDirty = true;
    ASSERT_TRUE(fx_segments_save("layers.segments"));
    const std::string once = readFile(dir.path() / "layers.segments");
    EXPECT_NE(once.find("SEGMENT:0\nNAME:intro\nLAYER:0\nENABLED:0\nNAME:Clear\nLAYER_END\n"), std::string::npos);
    EXPECT_NE(once.find("LAYER:23\nENABLED:7\nNAME:FXAA\nLAYER_END\nSEGMENT_END\n"), std::string::npos);

    load(once);
    fxSegmentsDirty = true;
    ASSERT_TRUE(fx_segments_save("layers.segments"));
    EXPECT_EQ(readFile(dir.path() / "layers.segments"), once);
}

TEST_F(Segments, BlocksTheFileLeavesOutKeepTheDefaultChain)
{
    load("VERSION:2\nSEGMENT:2\nNAME:a:b\nLAYER:0\nENABLED:1\nNAME:Effect\nLAYER_END\nSEGMENT_END\n");
    EXPECT_EQ(fxSegments[2].name, "a");
    EXPECT_EQ(fxSegments[1].name, "Segment 1");
    EXPECT_EQ(typeName(2, 0), "Effect");
    expectDefaultChain(2, 1);
    expectDefaultChain(1, 0);
    // Reading sets nothing changed by itself; only the start-up default chain did.
    fxSegmentsDirty = false;
    load("VERSION:2\nSEGMENT:2\nLAYER:1\nNAME:Glow\nLAYER_END\nSEGMENT_END\n");
    EXPECT_FALSE(fxSegmentsDirty);
}

TEST_F(Segments, OlderFormFillsSlotsInFileOrder)
{
    load("0:1:Effect\n0:0:DOF:0.5 2 1 500 1\n5:1:Glow\r\n");
    EXPECT_EQ(typeName(0, 0), "Effect");
    EXPECT_EQ(typeName(0, 1), "DOF");
    EXPECT_EQ(fxSegments[0].enabled[1], 0);
    ASSERT_NE(dof(0, 1), nullptr);
    EXPECT_EQ(dof(0, 1)->farPlane, 0.5f);
    EXPECT_EQ(dof(0, 1)->size, 2.0f);
    EXPECT_EQ(dof(0, 1)->steepness, 1.0f);
    EXPECT_EQ(dof(0, 1)->farDist, 500.0f);
    EXPECT_EQ(dof(0, 1)->showCOC, 1);
    expectDefaultChain(0, 2);
    EXPECT_EQ(typeName(5, 0), "Glow");
    EXPECT_EQ(fxSegments[5].nextLegacyLayer, 1);
    EXPECT_EQ(fxSegments[0].name, "Segment 0");
}

TEST_F(Segments, UnknownTypeNamesAreLoggedAndLeaveTheSlot)
{
    ConsoleLog log;
    load("VERSION:2\nSEGMENT:0\nLAYER:3\nENABLED:0\nNAME:Bloom\nLAYER_END\nSEGMENT_END\n");
    EXPECT_EQ(log.count("Failed to setup layer name. Ignoring:Bloom\\n"), 1);
    EXPECT_TRUE(log.contains("[load_layer :"));
    EXPECT_EQ(typeName(0, 3), "EdgeDetect");
    EXPECT_EQ(fxSegments[0].enabled[3], 0);

    ConsoleLog legacyLog;
    load("0:1:Bloom\n1:1:Clear\n");
    EXPECT_TRUE(legacyLog.contains("[fx_segments_load_legacy :"));
    EXPECT_EQ(typeName(0, 0), "Background");
    EXPECT_EQ(typeName(1, 0), "Clear");
}

TEST_F(Segments, OutOfRangeNumbersAreIgnoredWithALogLine)
{
    ConsoleLog log;
    load("VERSION:2\n"
         "SEGMENT:40\nNAME:far\nLAYER:0\nNAME:Clear\nLAYER_END\nSEGMENT_END\n"
         "SEGMENT:-1\nNAME:negative\nSEGMENT_END\n"
         "SEGMENT:1\nLAYER:24\nNAME:Clear\nLAYER_END\nLAYER:-1\nNAME:Clear\nLAYER_END\n"
         "LAYER:1e30\nNAME:Clear\nLAYER_END\nLAYER:nan\nNAME:Clear\nLAYER_END\n"
         "LAYER:2.7\nNAME:Clear\nLAYER_END\nSEGMENT_END\n");
    EXPECT_EQ(log.count("is out of range"), 6);
    EXPECT_EQ(typeName(1, 2), "Clear"); // 2.7 is slot 2
    expectDefaultChain(0, 0);
    for (int s : {0, 31})
        EXPECT_EQ(fxSegments[s].name, "Segment " + std::to_string(s));

    std::string legacy = "40:1:Effect\n-2:1:Effect\n";
    for (int i = 0; i < 30; ++i)
        legacy += "3:1:Clear\n";
    ConsoleLog legacyLog;
    load(legacy);
    EXPECT_EQ(legacyLog.count("has more than 24 layers"), 6);
    for (int slot = 0; slot < kFxLayerSlots; ++slot)
        EXPECT_EQ(typeName(3, slot), "Clear");
}

TEST_F(Segments, DOFParametersParseAndSerialize)
{
    struct Case {
        const char* text;
        float farPlane, size, steepness, farDist;
        int showCOC;
    };
    const Case cases[] = {
        {"0.25 4.000000, 2 10 0", 0.25f, 4.0f, 2.0f, 10.0f, 0},
        {"", 0.9f, 3.0f, 1.0f, 1000.0f, 0},
        {"0.5", 0.5f, 3.0f, 1.0f, 1000.0f, 0},
        {"0.5  2   1 500 7", 0.5f, 2.0f, 1.0f, 500.0f, 1},
        {"0.5 ", 0.5f, 0.0f, 1.0f, 1000.0f, 0}, // a trailing space still makes a piece
        {"x y", 0.0f, 0.0f, 1.0f, 1000.0f, 0},
    };
    for (const Case& c : cases) {
        FxLayerDOFParams p;
        p.Parse(c.text);
        EXPECT_EQ(p.farPlane, c.farPlane) << c.text;
        EXPECT_EQ(p.size, c.size) << c.text;
        EXPECT_EQ(p.steepness, c.steepness) << c.text;
        EXPECT_EQ(p.farDist, c.farDist) << c.text;
        EXPECT_EQ(p.showCOC, c.showCOC) << c.text;
    }
    FxLayerDOFParams p;
    p.Parse("");
    EXPECT_EQ(p.Serialize(), "0.900000 3.000000, 1.000000 1000.000000 0");
    // The largest floats still fit the text form.
    p.farPlane = p.size = p.steepness = p.farDist = -3.4e38f;
    const std::string big = p.Serialize();
    EXPECT_LT(big.size(), 256u);
    FxLayerDOFParams back;
    back.Parse(big);
    EXPECT_EQ(back.farDist, -3.4e38f);
    std::unique_ptr<FxLayerParams> copy(back.Clone());
    EXPECT_EQ(copy->Serialize(), big);
}

TEST_F(Segments, SetLayerAndTheSlotView)
{
    fxSegmentsDirty = false;
    fx_segments_set_layer(0, 1, 5); // already "Effect", enabled 1
    EXPECT_FALSE(fxSegmentsDirty);
    fxSegments[0].enabled[1] = 0x102;
    fx_segments_set_layer(0, 1, 5);
    EXPECT_TRUE(fxSegmentsDirty);
    EXPECT_EQ(fxSegments[0].enabled[1], 1);

    ConsoleLog log;
    fx_segments_set_layer(32, 0, 5);
    fx_segments_set_layer(0, 24, 5);
    fx_segments_set_layer(0, 0, 18);
    EXPECT_EQ(log.count("No layer slot"), 3);

    fxSegments[4].enabled[14] = 0x1FF;
    FxLayerSlot* slots = fx_segments_get_layers(4);
    ASSERT_NE(slots, nullptr);
    EXPECT_EQ(slots[14].typeIndex, 17);
    EXPECT_EQ(slots[14].enabled, 0xFF);
    EXPECT_EQ(slots[14].params, fxSegments[4].params[14].get());
    EXPECT_EQ(slots[20].params, nullptr);
    EXPECT_EQ(fx_segments_get_layers(32), nullptr);
}

TEST_F(Segments, SavesThroughATemporaryFileAndReportsFailure)
{
    writeFile(dir.path() / "layers.segments", "VERSION:2\n");
    fxSegmentsDirty = true;
    ASSERT_TRUE(fx_segments_save("layers.segments"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "layers.segments.tmp"));
    EXPECT_EQ(readFile(dir.path() / "layers.segments"), fx_segments_text());

    ConsoleLog log;
    fxSegmentsDirty = true;
    EXPECT_FALSE(fx_segments_save("missing/folder/layers.segments"));
    EXPECT_TRUE(log.contains("Failed to open"));
    EXPECT_TRUE(fxSegmentsDirty);
}

TEST_F(Segments, AFileWithNothingReadableIsNotOverwritten)
{
    const std::string junk = "\x89PNG\r\n\x1a\nnot: layers\n";
    ConsoleLog log;
    load(junk);
    EXPECT_TRUE(log.contains("will not be overwritten"));
    expectDefaultChain(0, 0);
    fxSegmentsDirty = true;
    EXPECT_FALSE(fx_segments_save("layers.segments"));
    EXPECT_EQ(readFile(dir.path() / "layers.segments"), junk);
}

// The child process runs the test again with a scratch folder of its own, so it checks the saved file itself.
class SegmentsDeathTest : public Segments {};

TEST_F(SegmentsDeathTest, InitSavesAtProcessExit)
{
    static std::string file;
    file = (dir.path() / "projects/room/layers.segments").string();
    std::filesystem::create_directories(dir.path() / "projects/room");
    EXPECT_EXIT(
        {
            testutil::checkAtExit([] {
                const std::string text = readFile(file);
                std::string complaint;
                if (text.rfind("VERSION:2\nSEGMENT:0\nNAME:Segment 0\nLAYER:0\n", 0) != 0)
                    complaint += "the saved file does not start with segment 0's default chain\n";
                if (text.find("SEGMENT:31\n") == std::string::npos)
                    complaint += "segment 31 is missing\n";
                return complaint;
            });
            fx_segments_init("projects/room/layers.segments");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}
