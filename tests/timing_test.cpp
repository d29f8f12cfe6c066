#include "app/timing.h"

#include "gl_context.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace gl;

namespace {

// A clock the test moves by hand; readings are large, like a machine's uptime.
double fakeNow = 0.0;
double fakeClock()
{
    return fakeNow;
}

class PlayClockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeNow = 1.0e6;
        timerSetClockSource(fakeClock);
        playClock = PlayClock();
    }
    void TearDown() override
    {
        timerSetClockSource(nullptr);
        playClock = PlayClock();
    }
};

} // namespace

TEST_F(PlayClockTest, FirstReadingStartsTheClockThenCountsSecondsScaled)
{
    EXPECT_EQ(timerGetTime(1.0f), 0.0f);
    fakeNow += 1.5;
    EXPECT_FLOAT_EQ(timerGetTime(1.0f), 1.5f);
    EXPECT_FLOAT_EQ(timerGetTime(1000.0f), 1500.0f);
    // Millisecond steps survive although the readings themselves are far beyond float precision.
    fakeNow += 0.001;
    EXPECT_NEAR(timerGetTime(1.0f), 1.501f, 1e-6);
}

TEST_F(PlayClockTest, RestartReadsZero)
{
    timerGetTime(1.0f);
    fakeNow += 30.0;
    timerRestartClock();
    EXPECT_EQ(timerGetTime(1.0f), 0.0f);
    fakeNow += 2.0;
    EXPECT_FLOAT_EQ(timerGetTime(1.0f), 2.0f);
}

TEST_F(PlayClockTest, PausedClockStandsStillAndResumesWhereItStopped)
{
    timerRestartClock();
    fakeNow += 4.0;
    EXPECT_FLOAT_EQ(timerGetTime(1.0f), 4.0f);
    timerPauseClock();
    fakeNow += 10.0;
    EXPECT_FLOAT_EQ(timerGetTime(1.0f), 4.0f);
    EXPECT_FLOAT_EQ(timerGetTime(1.0f), 4.0f);
    timerPauseClock(); // a second pause must not move the pause start
    fakeNow += 5.0;
    timerResumeClock();
    EXPECT_FLOAT_EQ(timerGetTime(1.0f), 4.0f);
    fakeNow += 1.0;
    EXPECT_FLOAT_EQ(timerGetTime(1.0f), 5.0f);
}

// ---- Timer nodes ----

namespace {

class TimerNodeTest : public ::testing::Test {
protected:
    void SetUp() override { timerResetNodes(); }
    void TearDown() override { timerResetNodes(); }
};

} // namespace

TEST_F(TimerNodeTest, AverageCoversOnlyValuesAfterThe200th)
{
    TimerNode node;
    for (int i = 0; i < 200; ++i)
        timernodeAddValue(&node, 1.0f);
    EXPECT_EQ(node.count, 200);
    EXPECT_EQ(node.average, 0.0f);
    EXPECT_EQ(node.sum, 0.0);

    timernodeAddValue(&node, 0.25f);
    EXPECT_FLOAT_EQ(node.average, 0.25f);
    timernodeAddValue(&node, 0.75f);
    EXPECT_FLOAT_EQ(node.average, 0.5f);
    EXPECT_DOUBLE_EQ(node.sum, 1.0);
    EXPECT_FLOAT_EQ(node.last, 0.75f);
    EXPECT_FLOAT_EQ(node.min, 0.25f);
    EXPECT_FLOAT_EQ(node.max, 1.0f);
}

TEST_F(TimerNodeTest, MinimumAndMaximumStartFromTheFirstValue)
{
    TimerNode node;
    timernodeAddValue(&node, 0.016f);
    timernodeAddValue(&node, 0.020f);
    EXPECT_FLOAT_EQ(node.min, 0.016f);
    EXPECT_FLOAT_EQ(node.max, 0.020f);
}

TEST_F(TimerNodeTest, ValueTableGrowsInStepsThenKeepsTheMostRecentValues)
{
    TimerNode node;
    timernodeAddValue(&node, 1.0f);
    EXPECT_EQ(node.values.size(), static_cast<size_t>(kTimerNodeGrowth));
    for (int i = 1; i < kTimerNodeGrowth; ++i)
        timernodeAddValue(&node, 1.0f);
    EXPECT_EQ(node.values.size(), static_cast<size_t>(kTimerNodeGrowth));
    timernodeAddValue(&node, 2.0f);
    EXPECT_EQ(node.values.size(), static_cast<size_t>(2 * kTimerNodeGrowth));
    EXPECT_EQ(node.values[kTimerNodeGrowth], 2.0f);

    while (node.count < kTimerNodeMaxValues)
        timernodeAddValue(&node, 1.0f);
    EXPECT_EQ(node.values.size(), static_cast<size_t>(kTimerNodeMaxValues));
    for (int i = 0; i < 5; ++i)
        timernodeAddValue(&node, 3.0f + static_cast<float>(i));
    EXPECT_EQ(node.values.size(), static_cast<size_t>(kTimerNodeMaxValues));
    EXPECT_EQ(node.values[0], 3.0f);
    EXPECT_EQ(node.values[4], 7.0f);
    EXPECT_EQ(node.values[5], 1.0f);
    EXPECT_EQ(node.count, kTimerNodeMaxValues + 5);
}

TEST_F(TimerNodeTest, FrameNodeIsCreatedOnceAndFoundByItsPath)
{
    EXPECT_EQ(timerFindNode(), nullptr);
    timerCreateNodeTable();
    EXPECT_EQ(timerFindNode(), nullptr);

    testing::internal::CaptureStdout();
    TimerNode* node = timerCreateNode();
    TimerNode* again = timerCreateNode();
    const std::string out = testing::internal::GetCapturedStdout();

    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->name, "frame");
    EXPECT_EQ(timerFindNode(), node);
    EXPECT_EQ(again, nullptr);
    EXPECT_NE(out.find("\"Created frame\""), std::string::npos) << out;
    EXPECT_NE(out.find("\033[31m[timerCreateNode : "), std::string::npos) << out;
    EXPECT_NE(out.find("\"Timer node already created:frame (frame)\""), std::string::npos) << out;
}

TEST(TimerNodeBucket, PathsShareOnlyTheLow13BitsOfTheHash)
{
    // h = 5381 * 33 ^ 'a' = 177604; 177604 & 0x1fff = 5572.
    EXPECT_EQ(timerNodeBucket("a"), 5572u);
    EXPECT_EQ(timerNodeBucket(""), 5381u);
}

// ---- GPU timestamps ----

namespace {

class GpuTimerTest : public GLTest {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        timerResetGpu();
        timerSetGpuScopesEnabled(true);
    }
    void TearDown() override
    {
        timerSetGpuTimestampObserver(nullptr);
        timerSetGpuScopesEnabled(true);
        timerResetGpu();
        GLTest::TearDown();
    }

    static std::vector<std::string> frameNames()
    {
        std::vector<std::string> names;
        for (const GpuTimerRecord* record : gpuTimerFrameRecords)
            names.push_back(record->name);
        return names;
    }

    // One frame with a scope around a little GPU work, ended as the frame loop ends it.
    static void timedFrame(const char* name)
    {
        {
            ScopedGpuTimer scope(name, false);
            glFlush();
        }
    }
};

} // namespace

TEST_F(GpuTimerTest, ScopeTakesAnOpeningAndALinkedClosingRecord)
{
    {
        ScopedGpuTimer scope("Graph Processing", true);
    }
    ASSERT_EQ(gpuTimerFrameRecords.size(), 2u);
    EXPECT_EQ(gpuTimerFrameRecords[0]->name, "Graph Processing_opening");
    EXPECT_EQ(gpuTimerFrameRecords[0]->parent, -1);
    EXPECT_EQ(gpuTimerFrameRecords[1]->name, "Graph Processing");
    EXPECT_EQ(gpuTimerFrameRecords[1]->parent, 0);
    EXPECT_EQ(gpuTimerFrameRecords[0]->depth, gpuTimerFrameRecords[1]->depth);
    EXPECT_TRUE(gpuTimerNameStack.empty());
}

TEST_F(GpuTimerTest, RepeatedNamesInOneFrameAreNumbered)
{
    {
        ScopedGpuTimer a("Pass", false);
    }
    {
        ScopedGpuTimer b("Pass", false);
    }
    {
        // Opened while another X is still open: keeps the name X, and so does its closing record.
        ScopedGpuTimer outer("Nest", false);
        ScopedGpuTimer inner("Nest", false);
    }
    const std::vector<std::string> expected = {"Pass_opening", "Pass",         "Pass_1_opening", "Pass_1",
                                               "Nest_opening", "Nest_opening", "Nest",           "Nest"};
    EXPECT_EQ(frameNames(), expected);
}

TEST_F(GpuTimerTest, LevelScopesIndentWhatRunsInside)
{
    {
        ScopedGpuTimer outer("RenderFrame", true);
        ScopedGpuTimer inner("Inner", false);
    }
    ASSERT_EQ(gpuTimerFrameRecords.size(), 4u);
    EXPECT_EQ(gpuTimerFrameRecords[0]->depth, 0); // RenderFrame_opening, before the push
    EXPECT_EQ(gpuTimerFrameRecords[1]->depth, 1); // Inner_opening
    EXPECT_EQ(gpuTimerFrameRecords[2]->depth, 1); // Inner
    EXPECT_EQ(gpuTimerFrameRecords[3]->depth, 0); // RenderFrame

    int count = 0;
    GpuTimerResult* rows = timerCollectGpuResults(&count);
    ASSERT_EQ(count, 4);
    ASSERT_NE(rows[0].name, nullptr);
    EXPECT_STREQ(rows[0].name, "RenderFrame");
    EXPECT_EQ(rows[0].depth, 0);
    ASSERT_NE(rows[1].name, nullptr);
    EXPECT_STREQ(rows[1].name, "Inner");
    EXPECT_EQ(rows[1].depth, 1);
    EXPECT_EQ(rows[2].name, nullptr);
    EXPECT_EQ(rows[3].name, nullptr);
}

TEST_F(GpuTimerTest, ResultsReadTimestampsOfTwoFramesAgoAndNeverUnissuedQueries)
{
    // Frames 0 and 1: the slot read back has never been written. Reading it would raise a GL error (checked by the
    // fixture at the end and here after every collection).
    for (int frame = 0; frame < 2; ++frame) {
        timedFrame("Pass");
        int count = 0;
        GpuTimerResult* rows = timerCollectGpuResults(&count);
        EXPECT_EQ(glGetError(), GL_NO_ERROR) << "frame " << frame;
        ASSERT_EQ(count, 2);
        EXPECT_EQ(gpuTimerFrameRecords[0]->timestamp, 0u);
        EXPECT_EQ(gpuTimerFrameRecords[1]->timestamp, 0u);
        EXPECT_STREQ(rows[0].name, "Pass");
        EXPECT_EQ(rows[0].duration, 0u);
        timerGpuAdvanceFrame();
    }

    // Frame 2 reads what frame 0 wrote: real GPU timestamps, closing not before opening.
    timedFrame("Pass");
    int count = 0;
    GpuTimerResult* rows = timerCollectGpuResults(&count);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    ASSERT_EQ(count, 2);
    const uint64_t opening = gpuTimerFrameRecords[0]->timestamp;
    const uint64_t closing = gpuTimerFrameRecords[1]->timestamp;
    EXPECT_GT(opening, 0u);
    EXPECT_GE(closing, opening);
    EXPECT_STREQ(rows[0].name, "Pass");
    EXPECT_EQ(rows[0].duration, closing - opening);
    EXPECT_EQ(rows[1].name, nullptr);
    timerGpuAdvanceFrame();
    EXPECT_TRUE(gpuTimerFrameRecords.empty());
    EXPECT_EQ(gpuTimerSlot, 0);
}

TEST_F(GpuTimerTest, ScopeStillOpenAtCollectionShowsNoRow)
{
    ScopedGpuTimer open("UI Rendering", false);
    int count = 0;
    GpuTimerResult* rows = timerCollectGpuResults(&count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(rows[0].name, nullptr);
}

TEST_F(GpuTimerTest, AverageCountsMissingHistorySlotsAsZero)
{
    int count = 0;
    GpuTimerResult* rows = nullptr;
    for (int frame = 0; frame < 3; ++frame) {
        timedFrame("Avg");
        rows = timerCollectGpuResults(&count);
        timerGpuAdvanceFrame();
    }
    // Frames 0 and 1 measured 0 (nothing to read back yet); frame 2 measured the scope of frame 0.
    EXPECT_EQ(rows[0].average, rows[0].duration / kGpuTimerHistory);
    EXPECT_EQ(rows[1].historyIndex, 3);
    EXPECT_EQ(rows[1].history[0], 0u);
    EXPECT_EQ(rows[1].history[2], rows[0].duration);
}

TEST_F(GpuTimerTest, OneFrameTakesAtMostTheResultTableOfTimestamps)
{
    testing::internal::CaptureStdout();
    for (int i = 0; i < kGpuTimerMaxRecords + 10; ++i)
        timerGpuTimestamp("Many", -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("More than 4096 GPU timestamps in one frame"), std::string::npos) << out;
    EXPECT_EQ(gpuTimerFrameRecords.size(), static_cast<size_t>(kGpuTimerMaxRecords));
    int count = 0;
    timerCollectGpuResults(&count);
    EXPECT_EQ(count, kGpuTimerMaxRecords);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// The player: nothing reads the timings, so scopes must cost no query and leave no record; the editor switches them
// back on and gets its records again.
TEST_F(GpuTimerTest, SwitchedOffScopesIssueNothingAndSwitchedOnScopesRecordAgain)
{
    timerSetGpuScopesEnabled(false);
    {
        ScopedGpuTimer outer("RenderFrame", true);
        ScopedGpuTimer inner("Pass", false);
        EXPECT_TRUE(gpuTimerNameStack.empty()) << "an off scope pushes no level";
        EXPECT_EQ(timerGpuTimestamp("Direct", 7), 7);
    }
    EXPECT_TRUE(gpuTimerFrameRecords.empty());
    EXPECT_TRUE(gpuTimerRecords.empty()) << "no query objects are made";
    EXPECT_EQ(glGetError(), GL_NO_ERROR);

    // A scope opened while off closes without a record even when timings come on inside it.
    {
        ScopedGpuTimer before("Before", true);
        timerSetGpuScopesEnabled(true);
        ScopedGpuTimer after("After", true);
    }
    EXPECT_TRUE(timerGpuScopesEnabled());
    const std::vector<std::string> expected = {"After_opening", "After"};
    EXPECT_EQ(frameNames(), expected);
    EXPECT_TRUE(gpuTimerNameStack.empty());
}

// Benchmarks on software rasterisers time each scope from here, so the observer must see every record, nested ones
// with their parent and level, before the record joins the frame list, and nothing while scopes are off.
TEST_F(GpuTimerTest, ObserverSeesEachTimestampBeforeItIsTakenAndNothingWhenOff)
{
    struct Seen {
        std::string name;
        int parent;
        int depth;
        size_t listed; // frame records at the call
        bool operator==(const Seen&) const = default;
    };
    static std::vector<Seen> seen;
    seen.clear();
    timerSetGpuTimestampObserver([](const GpuTimerRecord& record) {
        seen.push_back({record.name, record.parent, record.depth, gpuTimerFrameRecords.size()});
    });
    {
        ScopedGpuTimer outer("Outer", true);
        ScopedGpuTimer inner("Inner", false);
    }
    const std::vector<Seen> expected = {
        {"Outer_opening", -1, 0, 0}, {"Inner_opening", -1, 1, 1}, {"Inner", 1, 1, 2}, {"Outer", 0, 0, 3}};
    EXPECT_EQ(seen, expected);

    seen.clear();
    timerSetGpuScopesEnabled(false);
    {
        ScopedGpuTimer off("Off", true);
    }
    timerSetGpuTimestampObserver(nullptr);
    EXPECT_TRUE(seen.empty());
}

// Off scopes are cheap enough to leave in every pass: far below a microsecond each (they were 14-21 us on).
TEST_F(GpuTimerTest, SwitchedOffScopesCostAlmostNothing)
{
    timerSetGpuScopesEnabled(false);
    const std::string name = "Component 12:a rather long component name";
    const auto start = std::chrono::steady_clock::now();
    constexpr int kScopes = 100000;
    for (int i = 0; i < kScopes; ++i) {
        ScopedGpuTimer scope(name, true);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    timerSetGpuScopesEnabled(true);
    EXPECT_TRUE(gpuTimerFrameRecords.empty());
    // 1 us per scope is generous under the sanitizers and on a loaded machine.
    EXPECT_LT(seconds / kScopes, 1e-6) << seconds << " s for " << kScopes << " scopes";
}
