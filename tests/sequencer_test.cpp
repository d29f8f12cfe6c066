#include "project/sequencer.h"

#include "project/cvars.h"
#include "project/music_device.h"

#include "project_test_util.h"
#include "test_helpers.h"
#include "timeline_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>

using nlohmann::json;
using timelinetest::ConsoleLog;
using projtest::TestConsumer;
using projtest::TestProducer;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;
using timelinetest::ScopedBasePath;
using timelinetest::ScopedProjects;

namespace {

// A fresh timeline for one test; the process's timeline and music name come back afterwards.
class ScopedTimeline {
public:
    ScopedTimeline() : saved_(sequencer), savedTrack_(audioTrackName) { sequencer = nullptr; }
    ~ScopedTimeline()
    {
        delete sequencer;
        sequencer = saved_;
        audioTrackName = savedTrack_;
    }
    // Forgets the timeline (as a new process would), keeping the files.
    void restart()
    {
        delete sequencer;
        sequencer = nullptr;
        audioTrackName.clear();
    }

private:
    Sequence* saved_;
    std::string savedTrack_;
};

void forgetTracks(std::initializer_list<Cvar*> cvars)
{
    for (Cvar* cvar : cvars)
        keyframeTracks.erase(cvar);
}

// Three projects under a scratch asset folder; "b" is current. Components with fixed uuids in "b".
class SequencerFiles : public ::testing::Test {
protected:
    TempDir dir{"sequencer"};
    ScopedBasePath base{dir.str()};
    ScopedTimeline timeline;
    ScopedProjects projects{{"a", "b", "c"}};
    TestProducer* producer = projects.add<TestProducer>(1, "producer");
    TestConsumer* consumer = projects.add<TestConsumer>(1, "consumer");
    TestProducer* quiet = projects.add<TestProducer>(1, "quiet");

    void SetUp() override
    {
        projSetCurrent(projects[1]);
        for (const char* name : {"a", "b", "c"})
            std::filesystem::create_directories(dir.str() + "projects/" + name);
        producer->uuid = 0x1000;
        producer->value.uuid = 0x1001;
        producer->mask.uuid = 0x1002;
        consumer->uuid = 0x2000;
        consumer->amount.uuid = 0x2001;
        consumer->deep.uuid = 0x2002;
        quiet->uuid = 0x3000;
    }
    void TearDown() override { forgetTracks({&producer->value, &producer->mask, &consumer->amount, &consumer->deep}); }

    std::string file(const std::string& project) const { return dir.str() + "projects/" + project + "/sequencer.json"; }
    bool load(const std::string& project)
    {
        projSetCurrent(projects[project == "a" ? 0 : project == "b" ? 1 : 2]);
        const bool ok = SequencerManager::Load("projects/" + project + "/sequencer.json");
        projSetCurrent(projects[1]);
        return ok;
    }
    bool save() { return SequencerManager::Save(file("b")); }

    // A timeline with everything the file holds set to something other than its default.
    void fillTimeline()
    {
        sequencer = new Sequence();
        sequencer->frameCount = 18000;
        sequencer->currentFrame = 1234;
        sequencer->loopStart = 500;
        sequencer->loopEnd = 1500;
        audioTrackName = "music/track.ogg";
        for (int i = 0; i < 3; ++i) {
            SequenceItem& row = sequencer->GetOrAddProjectItem(projects[i]);
            row.start = 1000 * i;
            row.end = 1000 * (i + 1);
        }
        SequenceItem& row = sequencer->GetOrAddComponentItem(producer);
        row.start = 10;
        row.end = 20;
        const float a[4] = {0.25f, 1.5f, -2.0f, 0.1f};
        const float b[4] = {1.0f, 2.0f, 3.0f, 4.0f};
        SequencerManager::SetKeyValue(&producer->value, 100, a);
        SequencerManager::SetKeyValue(&producer->value, 300, b);
        SequencerManager::SetTrackActive(&producer->value, false);
        SequencerManager::SetTrackLinear(&producer->value, true);
        SequencerManager::SetKeyValue(&consumer->deep, 7, b);
        SequencerManager::SetTrackInterpolated(&consumer->deep, false);
    }
};

} // namespace

TEST_F(SequencerFiles, RoundTripRestoresEverythingAndRewritesTheSameBytes)
{
    writeFile(file("a"), "{}");
    fillTimeline();
    ASSERT_TRUE(save());
    const std::string first = readFile(file("b"));
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first.back(), '\n');

    const json doc = json::parse(first);
    EXPECT_EQ(doc["global"]["frame_start"], 0);
    EXPECT_EQ(doc["global"]["audio_track_name"], "music/track.ogg");
    ASSERT_EQ(doc["projects"].size(), 3u);
    EXPECT_EQ(doc["projects"][2]["name"], "c");
    ASSERT_EQ(doc["components"].size(), 3u);
    // A component without keys is written with its row only.
    EXPECT_FALSE(doc["components"][2].contains("cvars"));
    EXPECT_EQ(doc["components"][2]["frame_end"], 300);
    EXPECT_EQ(doc["components"][0]["cvars"][0]["keyframes"][0]["v0"], 0.25);

    timeline.restart();
    forgetTracks({&producer->value, &consumer->deep});
    ASSERT_TRUE(load("b"));
    EXPECT_EQ(sequencer->frameCount, 18000);
    EXPECT_EQ(sequencer->currentFrame, 1234);
    EXPECT_EQ(sequencer->loopStart, 500);
    EXPECT_EQ(sequencer->loopEnd, 1500);
    EXPECT_FALSE(sequencer->loop);
    EXPECT_EQ(audioTrackName, "music/track.ogg");
    EXPECT_EQ(sequencer->GetProjectItem(projects[2]).start, 2000);
    EXPECT_EQ(sequencer->GetProjectItem(projects[2]).end, 3000);
    EXPECT_EQ(sequencer->GetOrAddComponentItem(producer).start, 10);
    const KeyframeTrack* track = SequencerManager::FindTrack(&producer->value);
    ASSERT_NE(track, nullptr);
    ASSERT_EQ(track->keys.size(), 2u);
    EXPECT_EQ(track->keys[0].v1, 1.5f);
    EXPECT_EQ(track->keys[1].frame, 300u);
    EXPECT_FALSE(track->active);
    EXPECT_TRUE(track->linear);
    const KeyframeTrack* deep = SequencerManager::FindTrack(&consumer->deep);
    ASSERT_NE(deep, nullptr);
    EXPECT_FALSE(deep->interpolated);
    EXPECT_FALSE(SequencerManager::HasTrack(&producer->mask));

    ASSERT_TRUE(save());
    EXPECT_EQ(readFile(file("b")), first);
}

TEST_F(SequencerFiles, SavingOneProjectKeepsTheSharedSectionsAlikeInAll)
{
    // Older copies of the shared sections in the other files, with components of their own.
    writeFile(file("a"), R"({"global": {"frame_end": 300, "frame_current": 0, "loop_start": 0, "loop_end": 0,
        "audio_track_name": "old.ogg"}, "projects": [{"name": "a", "frame_start": 0, "frame_end": 300}],
        "components": [{"uuid": 77, "frame_start": 0, "frame_end": 300}]})");
    writeFile(file("c"), R"({"global": {"frame_end": 300, "audio_track_name": "old.ogg"}})");
    fillTimeline();
    ASSERT_TRUE(save());

    const json saved = json::parse(readFile(file("b")));
    for (const char* other : {"a", "c"}) {
        const json doc = json::parse(readFile(file(other)));
        EXPECT_EQ(doc["global"], saved["global"]) << other;
        EXPECT_EQ(doc["projects"], saved["projects"]) << other;
    }
    EXPECT_EQ(json::parse(readFile(file("a")))["components"][0]["uuid"], 77);

    // A start-up reads every file in project order; the last one no longer undoes the edit.
    timeline.restart();
    ConsoleLog log;
    for (const char* name : {"a", "b", "c"})
        ASSERT_TRUE(load(name));
    EXPECT_EQ(sequencer->frameCount, 18000);
    EXPECT_EQ(audioTrackName, "music/track.ogg");
    EXPECT_EQ(sequencer->GetProjectItem(projects[0]).end, 1000);
    // "a" keeps its own components section; uuid 77 matches nothing there.
    EXPECT_EQ(log.count("No component with UUID 77 found"), 1);
}

TEST_F(SequencerFiles, EntriesMatchingNothingAreReportedAndKept)
{
    writeFile(file("b"), R"({"projects": [{"name": "nowhere", "frame_start": 5, "frame_end": 6}],
        "components": [
          {"uuid": 4096, "frame_start": 1, "frame_end": 2,
           "cvars": [{"uuid": 48879, "active": true, "interpolated": true, "linear": false,
                      "keyframes": [{"frame": 3, "v0": 1.0, "v1": 0.0, "v2": 0.0, "v3": 0.0}]}]},
          {"uuid": 999, "frame_start": 0, "frame_end": 300}]})");
    ConsoleLog log;
    ASSERT_TRUE(load("b"));
    const std::string console = log.text();

    EXPECT_EQ(log.count("Variable with UUID <beef> not found, in <" + file("b") + ">"), 1) << console;
    EXPECT_NE(console.find("<value> : 4097\n"), std::string::npos);
    EXPECT_NE(console.find("<mask> : 4098\n"), std::string::npos);
    EXPECT_EQ(log.count("No component with UUID 999 found, in <" + file("b") + ">"), 1);
    // A file without "global" leaves the timeline as it was.
    EXPECT_EQ(sequencer->frameCount, 300);
    EXPECT_EQ(sequencer->GetOrAddComponentItem(producer).end, 2);
    EXPECT_FALSE(SequencerManager::HasTrack(&producer->value));

    // Their classes or parameters may come later: the entries survive a save.
    ASSERT_TRUE(save());
    const json doc = json::parse(readFile(file("b")));
    bool keptComponent = false;
    for (const json& c : doc["components"]) {
        keptComponent = keptComponent || c["uuid"] == 999;
        if (c["uuid"] == 4096) {
            EXPECT_EQ(c["cvars"][0]["uuid"], 48879);
        }
    }
    EXPECT_TRUE(keptComponent);
}

// A destroyed project's kept entries and rows must not pass to a project made later at its address.
TEST_F(SequencerFiles, AForgottenProjectLeavesNothingBehind)
{
    writeFile(file("b"), R"({"projects": [{"name": "b", "frame_start": 5, "frame_end": 6}],
        "components": [{"uuid": 999, "frame_start": 0, "frame_end": 300},
                       {"uuid": 4096, "frame_start": 1, "frame_end": 2}]})");
    ASSERT_TRUE(load("b"));
    sequencer->RebuildItems();
    ASSERT_TRUE(sequencer->projectItems.count(projects[1]));

    SequencerManager::ForgetProject(projects[1]);
    EXPECT_FALSE(sequencer->projectItems.count(projects[1]));
    EXPECT_FALSE(sequencer->componentItems.count(producer));
    for (const SequenceItem* item : sequencer->items)
        EXPECT_TRUE(item->project != projects[1] && item->component != producer);

    ASSERT_TRUE(save());
    const json doc = json::parse(readFile(file("b")));
    for (const json& c : doc["components"])
        EXPECT_NE(c["uuid"], 999);
}

TEST_F(SequencerFiles, MalformedFilesChangeNothingAndAreNeverOverwritten)
{
    const std::pair<const char*, const char*> cases[] = {
        {R"({"global": {"audio_track_name": 5, "frame_end": 100}})", "global.audio_track_name must be a string"},
        {R"({"projects": [{"name": "a", "frame_start": "0", "frame_end": 1}]})", "projects[0].frame_start"},
        {R"({"components": [{"uuid": 4096, "frame_start": 0, "frame_end": 1,
             "cvars": [{"uuid": 4097, "active": 1}]}]})", "cvars[0].active must be a boolean"},
        {R"({"components": [{"uuid": -4, "frame_start": 0, "frame_end": 1}]})", "uuid must be an unsigned"},
        {R"({"global": {"frame_end": 100}, )", "Failed to parse"},
        {R"([1, 2])", "root must be an object"},
    };
    for (const auto& [text, message] : cases) {
        timeline.restart();
        writeFile(file("b"), text);
        ConsoleLog log;
        EXPECT_FALSE(load("b")) << text;
        EXPECT_TRUE(log.contains(message)) << text << "\n" << log.text();
        EXPECT_EQ(sequencer->frameCount, 300) << text;
        EXPECT_FALSE(SequencerManager::HasTrack(&producer->value)) << text;

        EXPECT_FALSE(save()) << text;
        EXPECT_EQ(readFile(file("b")), text);
    }
    // Mended by hand, the file loads and saves again.
    writeFile(file("b"), "{}");
    EXPECT_TRUE(load("b"));
    EXPECT_TRUE(save());
}

TEST_F(SequencerFiles, MissingFileAndFailedSave)
{
    ConsoleLog log;
    EXPECT_FALSE(load("b"));
    ASSERT_NE(sequencer, nullptr);
    EXPECT_EQ(sequencer->frameCount, 300);
    EXPECT_FALSE(SequencerManager::Save(dir.str() + "no/such/folder/sequencer.json"));
    EXPECT_TRUE(log.contains("Failed to open"));
}

TEST(SequenceRows, RebuildListsTheShownProjectsAnimatedComponents)
{
    ScopedTimeline timeline;
    sequencer = new Sequence();
    ScopedProjects projects{{"one", "two", "three"}};
    std::vector<TestProducer*> components;
    for (int i = 0; i < 5; ++i)
        components.push_back(projects.add<TestProducer>(1, "c" + std::to_string(i)));
    projSetCurrent(projects[1]);
    SequencerManager::SetKey(&components[3]->value, 0);
    SequencerManager::SetKey(&components[3]->mask, 0);

    sequencer->RebuildItems();
    ASSERT_EQ(sequencer->GetItemCount(), 4);
    EXPECT_STREQ(sequencer->GetItemLabel(0), "[00] one");
    EXPECT_STREQ(sequencer->GetItemLabel(1), "[01] two");
    EXPECT_STREQ(sequencer->GetItemLabel(2), "[02] c3");
    EXPECT_STREQ(sequencer->GetItemLabel(3), "[03] three");
    EXPECT_EQ(sequencer->items[2]->project, projects[1]);

    EXPECT_EQ(sequencer->GetCustomHeight(1), 15u);
    EXPECT_EQ(sequencer->GetCustomHeight(2), 30u);
    sequencer->DoubleClick(2);
    EXPECT_EQ(sequencer->GetCustomHeight(2), 0u);

    // A component row takes its project's range.
    sequencer->GetProjectItem(projects[1]).start = 40;
    int* start = nullptr;
    int* end = nullptr;
    int type = -1;
    sequencer->Get(2, &start, &end, &type, nullptr);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(*start, 40);
    EXPECT_EQ(type, TestProducer::kRow);
    sequencer->Get(99, &start, nullptr, nullptr, nullptr); // out of range: nothing, no crash
    EXPECT_STREQ(sequencer->GetItemLabel(-1), "[-1] ");

    for (TestProducer* c : components)
        forgetTracks({&c->value, &c->mask});
}

TEST(SequenceRows, LabelsAreBoundedAndUnknownProjectsGetADefaultRow)
{
    ScopedTimeline timeline;
    sequencer = new Sequence();
    std::vector<std::string> names(12, "p");
    names.push_back("room");
    names.push_back(std::string(600, 'x'));
    ScopedProjects projects{names};
    sequencer->RebuildItems();
    EXPECT_STREQ(sequencer->GetItemLabel(12), "[12] room");
    EXPECT_EQ(std::strlen(sequencer->GetItemLabel(13)), 511u);

    Project stranger;
    const SequenceItem& row = sequencer->GetProjectItem(&stranger);
    EXPECT_EQ(row.start, 0);
    EXPECT_EQ(row.end, 300);
    EXPECT_EQ(row.project, &stranger);
}

namespace {

bool writeTone(const std::string& path, double seconds)
{
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return false;
    std::vector<short> block(44100 * 2);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<short>(1000.0 * std::sin(static_cast<double>(i / 2) * 0.0627));
    for (int s = 0; s < static_cast<int>(seconds); ++s)
        sf_writef_short(file, block.data(), 44100);
    return sf_close(file) == 0;
}

void startOpensTheTrackOnceAndSeeksByFrame()
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    TempDir dir("sequencer_audio");
    ScopedBasePath base(dir.str());
    ScopedTimeline timeline;
    std::filesystem::create_directories(dir.str() + "music");
    ASSERT_TRUE(writeTone(dir.str() + "music/tone.wav", 130.0));
    ASSERT_EQ(musicChannel, 0u) << "another test opened the music";

    // No name: nothing plays, nothing dies, positions read 0.
    SequencerManager::StartAudio();
    EXPECT_FALSE(audioAvailable);
    EXPECT_EQ(SequencerManager::GetMusicPosition(), 0.0);
    EXPECT_FALSE(SequencerManager::SeekToFrame(100));

    audioTrackName = "music/tone.wav";
    audioPaused = true;
    SequencerManager::StartAudio();
    ASSERT_TRUE(audioAvailable);
    const uint32_t channel = musicChannel;
    EXPECT_FALSE(audioPaused);

    // The position follows the clock.
    const auto t0 = std::chrono::steady_clock::now();
    while (SequencerManager::GetMusicPosition() < 0.2 &&
           std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(SequencerManager::GetMusicPosition(), 0.2);

    // Paused, a seek to frame 12345 lands on 123.45 s within one sample and stays there.
    SequencerManager::SetAudioPaused(true);
    ASSERT_TRUE(SequencerManager::SeekToFrame(12345));
    EXPECT_NEAR(SequencerManager::GetMusicPosition(), 123.45, 1.0 / 44100.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_NEAR(SequencerManager::GetMusicPosition(), 123.45, 1.0 / 44100.0);

    // "Start" again: the library initialises again without harm, the same stream plays on from there.
    audioTrackName = "music/other.wav";
    SequencerManager::StartAudio();
    EXPECT_EQ(musicChannel, channel);
    EXPECT_FALSE(audioPaused);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_GE(SequencerManager::GetMusicPosition(), 123.45);
    EXPECT_LT(SequencerManager::GetMusicPosition(), 125.0);
    SequencerManager::SetAudioPaused(true);
}

} // namespace

// The music channel is opened at most once per process and its position would outlive the test: the whole
// start-up story is one test, in a process of its own.
TEST(SequencerAudioDeathTest, StartOpensTheTrackOnceAndSeeksByFrame)
{
    EXPECT_EXIT(
        {
            startOpensTheTrackOnceAndSeeksByFrame();
            std::exit(testing::Test::HasFailure() ? 1 : 0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(SequencerAudioDeathTest, DieExitsWithCode10)
{
    EXPECT_EXIT(die(), testing::ExitedWithCode(10), "");
}

TEST(SequencerShipped, EveryProjectNamesTheTrackAndSavesBackUnchanged)
{
    const std::string assets = std::string(ENGINE_SOURCE_DIR) + "assets/";
    const std::vector<std::string> names = {"instancing", "abstract_1", "room", "walk_particles", "room_rt"};
    // A copy: saving touches every project's file.
    TempDir dir("sequencer_shipped");
    for (const std::string& name : names)
        writeFile(dir.path() / "projects" / name / "sequencer.json",
                  readFile(assets + "projects/" + name + "/sequencer.json"));
    ScopedBasePath base(dir.str());
    ScopedTimeline timeline;
    ScopedProjects projects{names};
    for (size_t i = 0; i < names.size(); ++i) {
        projSetCurrent(projects[i]);
        ASSERT_TRUE(SequencerManager::Load("projects/" + names[i] + "/sequencer.json")) << names[i];
        EXPECT_EQ(audioTrackName, "music/demo_track.ogg");
    }
    EXPECT_TRUE(std::filesystem::exists(assets + audioTrackName)); // made at build time
    // The rows cover the whole timeline, back to back.
    std::vector<std::pair<int, int>> rows;
    for (size_t i = 0; i < names.size(); ++i)
        rows.push_back({sequencer->GetProjectItem(projects[i]).start, sequencer->GetProjectItem(projects[i]).end});
    std::sort(rows.begin(), rows.end());
    int end = 0;
    for (const auto& [start, rowEnd] : rows) {
        EXPECT_EQ(start, end);
        end = rowEnd;
    }
    EXPECT_EQ(end, sequencer->frameCount);

    projSetCurrent(projects[2]);
    ASSERT_TRUE(SequencerManager::Save(dir.str() + "projects/room/sequencer.json"));
    for (const std::string& name : names)
        EXPECT_EQ(readFile(dir.path() / "projects" / name / "sequencer.json"),
                  readFile(assets + "projects/" + name + "/sequencer.json"))
            << name;
}

// A key value beyond float range is clamped with a line naming the file; what is saved loads and saves again to the
// same bytes.
TEST_F(SequencerFiles, KeyValuesBeyondFloatRangeAreClampedWithALine)
{
    for (const std::string value : {"1e308", "-1e308", "1e39"}) {
        SCOPED_TRACE(value);
        writeFile(file("b"), R"({"components": [{"uuid": 4096, "frame_start": 1, "frame_end": 2,
            "cvars": [{"uuid": 4097, "keyframes": [{"frame": 3, "v0": )" + value +
                                 R"(, "v1": 0.0, "v2": 0.0, "v3": 0.0}]}]}]})");
        ConsoleLog log;
        ASSERT_TRUE(load("b"));
        EXPECT_EQ(log.count("projects/b/sequencer.json>: " + json::parse(value).dump() +
                            " is beyond the range of a float"),
                  1);
        ASSERT_TRUE(save());
        const std::string saved = readFile(file("b"));
        EXPECT_EQ(std::fabs(json::parse(saved)["components"][0]["cvars"][0]["keyframes"][0]["v0"].get<double>()),
                  static_cast<double>(std::numeric_limits<float>::max()));
        timeline.restart();
        forgetTracks({&producer->value});
        ASSERT_TRUE(load("b"));
        ASSERT_TRUE(save());
        EXPECT_EQ(readFile(file("b")), saved);
        forgetTracks({&producer->value});
    }
}
