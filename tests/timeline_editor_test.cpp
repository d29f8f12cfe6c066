// The timeline widget and the "Sequencer" window, driven by mouse and keys in a windowless editor frame.
#include "app/data_files.h"
#include "editor/sequencer_window.h"
#include "editor/timeline_widget.h"
#include "project/keyframes.h"
#include "project/sequencer.h"
#include "project_test_util.h"
#include "test_helpers.h"
#include "ui_harness.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

namespace {

constexpr float kLegend = 300.0f;
constexpr float kFpw = 10.0f; // the widget's first zoom

// A plain model: rows with a range, nothing else.
class FakeSequence : public ImSequencer::SequenceInterface {
public:
    struct Row {
        int start;
        int end;
    };
    std::vector<Row> rows;
    int frameMax = 1000;
    int doubleClicks = 0;
    int edits = 0;

    int GetFrameMin() const override { return 0; }
    int GetFrameMax() const override { return frameMax; }
    int GetItemCount() const override { return static_cast<int>(rows.size()); }
    void BeginEdit(int) override { ++edits; }
    void Get(int index, int** start, int** end, int*, uint32_t* color) override
    {
        if (start)
            *start = &rows[static_cast<size_t>(index)].start;
        if (end)
            *end = &rows[static_cast<size_t>(index)].end;
        if (color)
            *color = 0xFF3070A0;
    }
    void DoubleClick(int) override { ++doubleClicks; }
};

class TimelineWidget : public testing::Test {
protected:
    void SetUp() override
    {
        ImSequencer::ResetTimelineState();
        model.rows = {{10, 20}, {30, 60}};
    }
    void TearDown() override { ImSequencer::ResetTimelineState(); }

    void draw()
    {
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(ImVec2(1200, 400));
        ImGui::Begin("Timeline");
        returned = ImSequencer::DrawTimeline(&model, &currentFrame, &expanded, &selected, &firstFrame,
                                             ImSequencer::SEQUENCER_EDIT_STARTEND | ImSequencer::SEQUENCER_CHANGE_FRAME,
                                             static_cast<int>(kLegend));
        anyReturned = anyReturned || returned;
        ImGui::End();
    }
    UiHarness::Draw drawer()
    {
        return [this] { draw(); };
    }
    // Screen x of a frame and y of the middle of a row's bar line.
    float x(float frame) const { return content().Min.x + kLegend + (frame - static_cast<float>(firstFrame)) * kFpw; }
    float rowY(int row) const { return content().Min.y + 1 + 20.0f * static_cast<float>(row) + 10; }
    ImRect content() const { return ui.find("contentBar")->rect; }

    UiHarness ui{ImVec2(1920, 1080)};
    FakeSequence model;
    int currentFrame = 0;
    bool expanded = true;
    int selected = -1;
    int firstFrame = 0;
    bool returned = false;
    bool anyReturned = false;
};

TEST_F(TimelineWidget, ClickingABarSelectsItsRowAndADragSelectsWithoutReporting)
{
    ui.frames(2, drawer());
    ui.clickAt(ImVec2(x(15), rowY(0)), drawer());
    EXPECT_EQ(selected, 0);
    EXPECT_TRUE(anyReturned);
    EXPECT_EQ(model.rows[0].start, 10);
    EXPECT_EQ(model.rows[0].end, 20);

    anyReturned = false;
    ui.drag(ImVec2(x(45), rowY(1)), ImVec2(x(50), rowY(1)), drawer());
    ui.frame(drawer());
    EXPECT_EQ(selected, 1);
    EXPECT_FALSE(anyReturned) << "the bar moved";
    EXPECT_EQ(model.rows[1].start, 35);
    EXPECT_EQ(model.rows[1].end, 65);
}

TEST_F(TimelineWidget, HandlesAndWholeBarsStopAtTheirLimits)
{
    ui.frames(2, drawer());
    // The start handle dragged 30 frames right stops at the end.
    ui.drag(ImVec2(x(10) + 3, rowY(0)), ImVec2(x(40) + 3, rowY(0)), drawer(), 6);
    EXPECT_EQ(model.rows[0].start, 20);
    EXPECT_EQ(model.rows[0].end, 20);
    // The end handle dragged left stops at the start.
    ui.drag(ImVec2(x(61) - 3, rowY(1)), ImVec2(x(10), rowY(1)), drawer(), 6);
    EXPECT_EQ(model.rows[1].start, 30);
    EXPECT_EQ(model.rows[1].end, 30);
    // A whole bar dragged left past 0 keeps its length.
    model.rows[1] = {30, 60};
    ui.frame(drawer());
    ui.drag(ImVec2(x(45), rowY(1)), ImVec2(x(45) - 600, rowY(1)), drawer(), 6);
    EXPECT_EQ(model.rows[1].start, 0);
    EXPECT_EQ(model.rows[1].end, 30);
    EXPECT_EQ(model.edits, 3);
}

TEST_F(TimelineWidget, RulerClickMovesTheCursorWithinTheTimeline)
{
    ui.frames(2, drawer());
    const float rulerY = ui.find("topBar")->rect.GetCenter().y;
    ui.clickAt(ImVec2(x(25) + 1, rulerY), drawer());
    EXPECT_EQ(currentFrame, 25);
    // Dragged into the legend, the cursor stops at the first frame.
    ui.drag(ImVec2(x(25) + 1, rulerY), ImVec2(5, rulerY), drawer());
    EXPECT_EQ(currentFrame, 0);
}

TEST_F(TimelineWidget, RightHandleZoomNeverLeavesTheThumbNarrowerThan44Pixels)
{
    ui.frames(2, drawer());
    const ImRect thumb = ImSequencer::timelineState().scrollThumb;
    const float trackWidth = content().GetWidth() - kLegend;
    ASSERT_GT(thumb.GetWidth(), 60.0f);
    float narrowest = thumb.GetWidth();
    const ImVec2 from(thumb.Max.x - 4, thumb.GetCenter().y);
    ui.moveMouse(from);
    ui.frame(drawer());
    ui.setMouseButton(0, true);
    ui.frame(drawer());
    for (int i = 1; i <= 10; ++i) {
        ui.moveMouse(ImVec2(from.x - 40.0f * static_cast<float>(i), from.y));
        ui.frame(drawer());
        narrowest = std::min(narrowest, ImSequencer::timelineState().scrollThumb.GetWidth());
    }
    ui.setMouseButton(0, false);
    ui.frames(20, drawer());
    narrowest = std::min(narrowest, ImSequencer::timelineState().scrollThumb.GetWidth());
    // Whole frames only: the thumb may lose up to one frame's share of the track to rounding.
    EXPECT_GE(narrowest, 44.0f - trackWidth / static_cast<float>(model.frameMax));
    EXPECT_LT(narrowest, 50.0f);
}

TEST_F(TimelineWidget, AltMiddleDragPansAndAFullyVisibleTimelineStaysAtItsStart)
{
    ui.frames(2, drawer());
    const ImVec2 from(x(40), rowY(1) + 40);
    ui.setKey(GLFW_KEY_LEFT_ALT, true);
    ui.moveMouse(from);
    ui.setMouseButton(2, true);
    ui.frame(drawer());
    ui.moveMouse(ImVec2(from.x - 200, from.y));
    ui.frame(drawer());
    EXPECT_EQ(firstFrame, 20);
    ui.moveMouse(ImVec2(from.x + 400, from.y));
    ui.frame(drawer());
    EXPECT_EQ(firstFrame, 0) << "clamped at the first frame";
    ui.setMouseButton(2, false);
    ui.frame(drawer());

    // Everything visible: panning has nowhere to go, and the thumb spans the track.
    model.frameMax = 50;
    firstFrame = 7;
    ui.frame(drawer());
    EXPECT_EQ(firstFrame, 0);
    ui.moveMouse(from);
    ui.setMouseButton(2, true);
    ui.frame(drawer());
    ui.moveMouse(ImVec2(from.x - 300, from.y));
    ui.frames(2, drawer());
    EXPECT_EQ(firstFrame, 0);
    ui.setMouseButton(2, false);
    ui.setKey(GLFW_KEY_LEFT_ALT, false);
    ui.frame(drawer());
    EXPECT_NEAR(ImSequencer::timelineState().scrollThumb.GetWidth(), content().GetWidth() - kLegend, 1.0f);
}

TEST_F(TimelineWidget, DegenerateSizesAndRangesDrawWithoutHarm)
{
    // An empty timeline, an inverted one, a window narrower than the legend, and a collapsed widget.
    struct Case {
        int frameMax;
        ImVec2 windowSize;
        bool expanded;
    };
    const Case cases[] = {{0, {1200, 400}, true}, {-50, {1200, 400}, true}, {1000, {120, 60}, true},
                          {1000, {1200, 400}, false}, {INT32_MAX, {1200, 400}, true}};
    for (const Case& c : cases) {
        ImSequencer::ResetTimelineState();
        model.frameMax = c.frameMax;
        expanded = c.expanded;
        firstFrame = 0;
        auto narrow = [&] {
            ImGui::SetNextWindowPos(ImVec2(0, 0));
            ImGui::SetNextWindowSize(c.windowSize);
            ImGui::Begin("Timeline");
            ImSequencer::DrawTimeline(&model, &currentFrame, &expanded, &selected, &firstFrame, 10,
                                      static_cast<int>(kLegend));
            ImGui::End();
        };
        ui.frames(3, narrow);
        ui.drag(ImVec2(400, 60), ImVec2(900, 80), narrow);
        EXPECT_TRUE(std::isfinite(ImSequencer::timelineState().framePixelWidth)) << c.frameMax;
        EXPECT_GE(firstFrame, 0) << c.frameMax;
    }
}

TEST_F(TimelineWidget, DoubleClickOnABarAndTheExpandToggle)
{
    ui.frames(2, drawer());
    ui.moveMouse(ImVec2(x(15), rowY(0)));
    for (int i = 0; i < 2; ++i) {
        ui.setMouseButton(0, true);
        ui.frame(drawer());
        ui.setMouseButton(0, false);
        ui.frame(drawer());
    }
    EXPECT_EQ(model.doubleClicks, 1);
    const ImVec2 toggle = ImGui::GetCurrentContext() ? ui.find("topBar")->rect.Min : ImVec2();
    ui.clickAt(ImVec2(toggle.x + 10, toggle.y + 10), drawer());
    EXPECT_FALSE(expanded);
    ui.clickAt(ImVec2(toggle.x + 10, toggle.y + 10), drawer());
    EXPECT_TRUE(expanded);
}

// ---- The "Sequencer" window ----

class Animated : public projtest::TestComponentBase {
public:
    explicit Animated(const std::string& name) : TestComponentBase(22, name)
    {
        beginRegistration();
        CvarTreeRegisterFloat(&speed, "speed", 0.0f, 0.0f, 10.0f);
        CvarTreeRegisterFloat(&size, "size", 0.0f, 0.0f, 10.0f);
        endRegistration();
    }
    Cvar speed, size;
};

struct FakeMusic {
    static inline double position = 0.0;
    static inline std::vector<int> seeks;
    static inline std::vector<bool> pauses;
    static double at() { return position; }
    static bool seek(int frame)
    {
        seeks.push_back(frame);
        return true;
    }
    static void setPaused(bool paused)
    {
        pauses.push_back(paused);
        audioPaused = paused;
    }
};

class SequencerWindow : public testing::Test {
protected:
    void SetUp() override
    {
        ImSequencer::ResetTimelineState();
        savedSequencer_ = sequencer;
        sequencer = new Sequence();
        savedList_ = projectList;
        savedCurrent_ = currentProject;
        savedMusic_ = sequencerMusic;
        sequencerMusic = {FakeMusic::at, FakeMusic::seek, FakeMusic::setPaused};
        FakeMusic::position = 0.0;
        FakeMusic::seeks.clear();
        FakeMusic::pauses.clear();
        savedAudio_ = {audioAvailable, audioPaused, syncToAudio, exportVariables};
        audioAvailable = false;
        audioPaused = false;
        syncToAudio = false;
        exportVariables = false;
        room_ = projCreate("room");
        other_ = projCreate("other");
        projectList = {room_, other_};
        projSetCurrent(room_);
        component_ = new Animated("mover");
        room_->components->push_back(component_);
        const float v[4] = {1, 0, 0, 0};
        for (int frame : {10, 20, 30})
            SequencerManager::SetKeyValue(&component_->speed, frame, v);
        SequencerManager::SetKeyValue(&component_->size, 20, v);
        sequencer->GetOrAddProjectItem(room_) = {0, 0, 1000, true, 0, nullptr, room_};
        sequencer->GetOrAddProjectItem(other_) = {0, 1000, 2000, true, 0, nullptr, other_};
    }
    void TearDown() override
    {
        projSetCurrent(savedCurrent_);
        projectList = savedList_;
        projDestroy(room_);
        projDestroy(other_);
        delete sequencer;
        sequencer = savedSequencer_;
        sequencerMusic = savedMusic_;
        std::tie(audioAvailable, audioPaused, syncToAudio, exportVariables) = savedAudio_;
        ImSequencer::ResetTimelineState();
    }

    void draw()
    {
        if (ImGui::FindWindowByName("Sequencer")) {
            ImGui::SetWindowPos("Sequencer", ImVec2(0, 0));
            ImGui::SetWindowSize("Sequencer", ImVec2(1600, 600));
        }
        ui_sequencer_window();
    }
    UiHarness::Draw drawer()
    {
        return [this] { draw(); };
    }
    bool click(const char* label) { return ui.click(label, drawer(), "Sequencer"); }
    ImRect content() const { return ui.find("contentBar", "Sequencer")->rect; }
    // The component row is row 1 (after "room"); the project row above it has 15 pixels of its own.
    float keyLineY(int line) const { return content().Min.y + 1 + 20 + 15 + 20 + 14.0f * static_cast<float>(line) + 7; }
    float keyX(int frame) const
    {
        const float rowLeft = content().Min.x + kLegend + 0.5f * kFpw;
        const float rowWidth = (static_cast<float>(sequencer->frameCount) + 1.0f) * kFpw;
        return rowLeft + rowWidth * static_cast<float>(frame) / static_cast<float>(sequencer->frameCount) + 2;
    }
    float boxX(int box) const { return content().Min.x + kLegend - (box == 0 ? 30.0f : 15.0f); }

    UiHarness ui{ImVec2(1920, 1080)};
    Project* room_ = nullptr;
    Project* other_ = nullptr;
    Animated* component_ = nullptr;

private:
    Sequence* savedSequencer_ = nullptr;
    std::vector<Project*> savedList_;
    Project* savedCurrent_ = nullptr;
    SequencerMusic savedMusic_{};
    std::tuple<bool, bool, bool, bool> savedAudio_;
};

TEST_F(SequencerWindow, SteppingButtonsAndProjectRange)
{
    ui.frames(2, drawer());
    sequencer->currentFrame = 1;
    ASSERT_TRUE(click("<"));
    EXPECT_EQ(sequencer->currentFrame, 0);
    click("<");
    EXPECT_EQ(sequencer->currentFrame, 0);
    sequencer->currentFrame = 299;
    ui.frame(drawer()); // the wider frame text moves the buttons
    click(">");
    EXPECT_EQ(sequencer->currentFrame, 300) << "no upper bound at the frame count";
    EXPECT_EQ(sequencerFrame, 300);
    click("Set Project Start");
    EXPECT_EQ(sequencer->GetProjectItem(room_).start, 300);
    sequencer->currentFrame = 700;
    ui.frame(drawer());
    click("Set Project End");
    EXPECT_EQ(sequencer->GetProjectItem(room_).end, 700);
    EXPECT_TRUE(FakeMusic::seeks.empty()) << "no music, no seeking";

    audioAvailable = true;
    click(">");
    ASSERT_EQ(FakeMusic::seeks.size(), 1u);
    EXPECT_EQ(FakeMusic::seeks[0], 701);
    click("Pause/Resume");
    EXPECT_TRUE(audioPaused);
}

TEST_F(SequencerWindow, SyncFollowsTheMusicAndTheLoopSeeksBack)
{
    audioAvailable = true;
    syncToAudio = true;
    sequencer->loop = true;
    sequencer->loopStart = 500;
    sequencer->loopEnd = 1500;
    FakeMusic::position = 14.99;
    ui.frame(drawer());
    EXPECT_EQ(sequencer->currentFrame, 1499);
    EXPECT_TRUE(FakeMusic::seeks.empty());
    FakeMusic::position = 15.0;
    ui.frame(drawer());
    EXPECT_EQ(sequencer->currentFrame, 500);
    ASSERT_EQ(FakeMusic::seeks.size(), 1u);
    EXPECT_EQ(FakeMusic::seeks[0], 500);
    EXPECT_EQ(currentProject, room_);

    // Equal loop bounds never jump; the frame picks the project shown.
    sequencer->loopEnd = 500;
    FakeMusic::position = 16.0;
    ui.frame(drawer());
    EXPECT_EQ(sequencer->currentFrame, 1600);
    EXPECT_EQ(currentProject, other_);
    // A frame no project holds leaves the shown one.
    FakeMusic::position = 30.0;
    ui.frame(drawer());
    EXPECT_EQ(currentProject, other_);
}

TEST_F(SequencerWindow, WithoutAStreamTheFrameIsNotTakenFromTheMusic)
{
    syncToAudio = true;
    FakeMusic::position = 99.0;
    sequencer->currentFrame = 42;
    ui.frames(2, drawer());
    EXPECT_EQ(sequencer->currentFrame, 42);
    // Paused music is not followed either.
    audioAvailable = true;
    audioPaused = true;
    ui.frame(drawer());
    EXPECT_EQ(sequencer->currentFrame, 42);
}

TEST_F(SequencerWindow, KeySelectionWithShiftAndDeletion)
{
    ui.frames(3, drawer());
    Cvar* speed = &component_->speed;
    ui.clickAt(ImVec2(keyX(10), keyLineY(0)), drawer());
    ASSERT_EQ(sequencer->selectedKeys.size(), 1u);
    EXPECT_EQ(sequencer->selectedKeys[0].cvar, speed);
    EXPECT_EQ(sequencer->selectedKeys[0].frame, 10);

    ui.setKey(GLFW_KEY_LEFT_SHIFT, true);
    ui.clickAt(ImVec2(keyX(20), keyLineY(0)), drawer());
    ui.clickAt(ImVec2(keyX(20), keyLineY(1)), drawer());
    EXPECT_EQ(sequencer->selectedKeys.size(), 3u);
    ui.clickAt(ImVec2(keyX(10), keyLineY(0)), drawer());
    ui.setKey(GLFW_KEY_LEFT_SHIFT, false);
    ASSERT_EQ(sequencer->selectedKeys.size(), 2u);
    EXPECT_EQ(sequencer->selectedKeys[0].frame, 20);

    click("SnapToSeleced");
    EXPECT_EQ(sequencer->currentFrame, 20);

    // Delete over the row removes the selected keys of both lines.
    ui.moveMouse(ImVec2(keyX(25), keyLineY(0)));
    ui.pressKey(GLFW_KEY_DELETE, drawer());
    EXPECT_TRUE(sequencer->selectedKeys.empty());
    const KeyframeTrack* track = SequencerManager::FindTrack(speed);
    ASSERT_NE(track, nullptr);
    ASSERT_EQ(track->keys.size(), 2u);
    EXPECT_EQ(track->keys[0].frame, 10u);
    EXPECT_EQ(track->keys[1].frame, 30u);
    EXPECT_FALSE(SequencerManager::HasTrack(&component_->size));

    // A plain click selects one key alone again.
    ui.clickAt(ImVec2(keyX(30), keyLineY(0)), drawer());
    ASSERT_EQ(sequencer->selectedKeys.size(), 1u);
    // The parameter goes with its component: no selected key is left pointing at it.
    room_->components->clear();
    delete component_;
    component_ = nullptr;
    EXPECT_TRUE(sequencer->selectedKeys.empty());
    ui.frames(2, drawer());
}

TEST_F(SequencerWindow, ModeAndActiveBoxesAndTheHighlightedName)
{
    ui.frames(3, drawer());
    KeyframeTrack* track = SequencerManager::FindTrack(&component_->speed);
    ASSERT_TRUE(track->interpolated && !track->linear);
    struct Mode {
        bool interpolated, linear;
    };
    const Mode cycle[] = {{false, true}, {false, false}, {true, false}}; // linear, step, cubic
    for (const Mode& mode : cycle) {
        ui.clickAt(ImVec2(boxX(1), keyLineY(0)), drawer());
        EXPECT_EQ(track->interpolated, mode.interpolated);
        EXPECT_EQ(track->linear, mode.linear);
    }
    ui.clickAt(ImVec2(boxX(0), keyLineY(0)), drawer());
    EXPECT_FALSE(track->active);
    EXPECT_TRUE(track->highlighted) << "the boxes are not part of the name";
    ui.clickAt(ImVec2(content().Min.x + kLegend - 40, keyLineY(0)), drawer());
    EXPECT_FALSE(track->highlighted);
    EXPECT_TRUE(SequencerManager::FindTrack(&component_->size)->highlighted);
}

TEST_F(SequencerWindow, AnEmptyTimelineDrawsItsKeys)
{
    sequencer->frameCount = 0;
    sequencer->framesPerSecond = 0;
    ui.frames(3, drawer());
    ui.clickAt(ImVec2(content().Min.x + kLegend + 2, keyLineY(0)), drawer());
    SUCCEED();
}

TEST_F(SequencerWindow, SaveWritesEveryProjectsFile)
{
    projtest::LogCapture log;
    testutil::TempDir dir("sequencer_window");
    const std::string savedBase = dataBasePath();
    dataSetBasePath(dir.str());
    for (Project* project : projectList)
        std::filesystem::create_directories(dir.path() / project->path);
    ui.frames(2, drawer());
    click("Save");
    dataSetBasePath(savedBase);
    const std::string room = testutil::readFile(dir.path() / room_->path / "sequencer.json");
    const std::string other = testutil::readFile(dir.path() / other_->path / "sequencer.json");
    EXPECT_NE(room.find("\"frame\": 30"), std::string::npos) << room;
    EXPECT_EQ(other.find("\"frame\": 30"), std::string::npos) << other;
    EXPECT_NE(other.find("\"frame_end\": 2000"), std::string::npos) << other;
    EXPECT_EQ(currentProject, room_);
}

} // namespace
