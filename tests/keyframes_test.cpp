#include "project/keyframes.h"

#include "project/cvars.h"

#include "project_test_util.h"
#include "timeline_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using projtest::TestConsumer;
using projtest::TestProducer;
using timelinetest::ScopedProjects;

namespace {

enum class Mode { Step, Linear, Cubic };

// A parameter of its own with a track of (frame, v0) keys; the track goes with the parameter.
struct TrackedCvar {
    std::unique_ptr<Cvar> cvar = std::make_unique<Cvar>();

    TrackedCvar(std::initializer_list<std::pair<int, float>> keys, Mode mode)
    {
        cvar->name = "tracked";
        for (const auto& [frame, v] : keys) {
            const float value[4] = {v, v * 10.0f, -v, 1.0f};
            SequencerManager::SetKeyValue(cvar.get(), frame, value);
        }
        if (!keys.size())
            return;
        SequencerManager::SetTrackInterpolated(cvar.get(), mode == Mode::Cubic);
        SequencerManager::SetTrackLinear(cvar.get(), mode == Mode::Linear);
    }
    float at(uint32_t frame) const { return SequencerManager::EvaluateTrack(cvar.get(), frame)[0]; }
};

class ScopedExportVariables {
public:
    explicit ScopedExportVariables(bool on) : saved_(exportVariables) { exportVariables = on; }
    ~ScopedExportVariables() { exportVariables = saved_; }

private:
    bool saved_;
};

} // namespace

TEST(KeyframeTrack, EvaluationTable)
{
    struct Case {
        const char* what;
        std::initializer_list<std::pair<int, float>> keys;
        Mode mode;
        uint32_t frame;
        float expected;
    };
    const Case cases[] = {
        {"two keys, cubic mode, interpolate linearly", {{100, 1}, {200, 3}}, Mode::Cubic, 150, 2.0f},
        {"before the first key", {{100, 1}, {200, 3}}, Mode::Cubic, 50, 1.0f},
        {"after the last key", {{100, 1}, {200, 3}}, Mode::Cubic, 250, 3.0f},
        {"on a key", {{100, 1}, {200, 3}}, Mode::Cubic, 200, 3.0f},
        {"cubic middle segment", {{0, 0}, {100, 1}, {200, 0}, {300, 1}}, Mode::Cubic, 150, 0.5f},
        {"cubic first segment", {{0, 0}, {100, 1}, {200, 0}, {300, 1}}, Mode::Cubic, 50, 0.625f},
        {"cubic at a key", {{0, 0}, {100, 1}, {200, 0}, {300, 1}}, Mode::Cubic, 100, 1.0f},
        {"linear wins over cubic", {{0, 0}, {100, 1}, {200, 0}, {300, 1}}, Mode::Linear, 150, 0.5f},
        {"linear quarter", {{0, 0}, {100, 1}, {200, 0}, {300, 1}}, Mode::Linear, 225, 0.25f},
        {"step holds the previous key", {{0, 0}, {100, 1}, {200, 0}, {300, 1}}, Mode::Step, 100, 1.0f},
        {"step just before the next key", {{0, 0}, {100, 1}, {200, 0}, {300, 1}}, Mode::Step, 199, 1.0f},
        {"step on the next key", {{0, 0}, {100, 1}, {200, 0}, {300, 1}}, Mode::Step, 200, 0.0f},
        {"step with two keys", {{100, 1}, {200, 3}}, Mode::Step, 150, 1.0f},
        {"single key everywhere", {{500, 7}}, Mode::Cubic, 0, 7.0f},
        {"single key far after", {{500, 7}}, Mode::Step, 100000, 7.0f},
        {"frames are unsigned: a huge frame is after every key", {{0, 0}, {100, 1}}, Mode::Linear, 0xFFFFFFF0u, 1.0f},
    };
    for (const Case& c : cases) {
        TrackedCvar tracked(c.keys, c.mode);
        EXPECT_NEAR(tracked.at(c.frame), c.expected, 1e-6f) << c.what;
    }
}

TEST(KeyframeTrack, AllFourChannelsAreInterpolated)
{
    TrackedCvar tracked({{100, 1}, {200, 3}}, Mode::Linear);
    const std::array<float, 4> v = SequencerManager::EvaluateTrack(tracked.cvar.get(), 150);
    EXPECT_FLOAT_EQ(v[0], 2.0f);
    EXPECT_FLOAT_EQ(v[1], 20.0f);
    EXPECT_FLOAT_EQ(v[2], -2.0f);
    EXPECT_FLOAT_EQ(v[3], 1.0f);
}

TEST(KeyframeTrack, WithoutKeysTheParameterKeepsItsOwnValue)
{
    Cvar cvar;
    cvar.value[0] = 4.0f;
    cvar.value[3] = -1.0f;
    EXPECT_FALSE(SequencerManager::HasTrack(&cvar));
    EXPECT_EQ(SequencerManager::EvaluateTrack(&cvar, 123), (std::array<float, 4>{4.0f, 0.0f, 0.0f, -1.0f}));

    // A track whose keys were all deleted stays, but counts as no track.
    SequencerManager::SetKey(&cvar, 10);
    EXPECT_TRUE(SequencerManager::HasTrack(&cvar));
    EXPECT_TRUE(SequencerManager::DeleteKey(&cvar, 10));
    EXPECT_FALSE(SequencerManager::DeleteKey(&cvar, 10));
    EXPECT_FALSE(SequencerManager::HasTrack(&cvar));
    cvar.value[0] = 5.0f;
    EXPECT_EQ(SequencerManager::EvaluateTrack(&cvar, 123)[0], 5.0f);

    // Switches of a parameter without keys are refused, not applied to a fresh track.
    SequencerManager::SetTrackActive(&cvar, false);
    EXPECT_TRUE(SequencerManager::FindTrack(&cvar)->active);
}

TEST(KeyframeTrack, SetKeyKeepsFramesOrderedAndReplacesInPlace)
{
    Cvar cvar;
    for (int frame : {300, 100, 200}) {
        cvar.value[0] = static_cast<float>(frame);
        SequencerManager::SetKey(&cvar, frame);
    }
    const KeyframeTrack* track = SequencerManager::FindTrack(&cvar);
    ASSERT_NE(track, nullptr);
    ASSERT_EQ(track->keys.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(track->keys[i].frame, 100u * (i + 1));
        EXPECT_EQ(track->keys[i].v0, 100.0f * static_cast<float>(i + 1));
    }
    // The defaults of a new track: shown bright, applied, cubic.
    EXPECT_TRUE(track->highlighted);
    EXPECT_TRUE(track->active);
    EXPECT_TRUE(track->interpolated);
    EXPECT_FALSE(track->linear);

    cvar.value[0] = -1.0f;
    cvar.value[1] = 2.0f;
    cvar.value[2] = 3.0f;
    cvar.value[3] = 4.0f;
    SequencerManager::SetKey(&cvar, 200);
    ASSERT_EQ(track->keys.size(), 3u);
    EXPECT_EQ(track->keys[1].frame, 200u);
    EXPECT_EQ(track->keys[1].v0, -1.0f);
    EXPECT_EQ(track->keys[1].v3, 4.0f);
}

TEST(KeyframeTrack, GoesWithItsParameter)
{
    auto cvar = std::make_unique<Cvar>();
    const auto address = reinterpret_cast<uintptr_t>(cvar.get()); // a number: the pointer dies with the parameter
    SequencerManager::SetKey(cvar.get(), 5);
    ASSERT_TRUE(SequencerManager::HasTrack(cvar.get()));
    cvar.reset();
    // A parameter made later at the same address must not inherit the old keys.
    for (const auto& entry : keyframeTracks)
        EXPECT_NE(reinterpret_cast<uintptr_t>(entry.first), address);
}

// Two projects; the first is shown. A keyed parameter in each, plus a keyed one in a sub-branch.
class KeyframeApply : public ::testing::Test {
protected:
    ScopedProjects projects{{"shown", "hidden"}};
    TestProducer* shown = projects.add<TestProducer>(0, "shownProducer");
    TestConsumer* nested = projects.add<TestConsumer>(0, "nestedConsumer");
    TestProducer* hidden = projects.add<TestProducer>(1, "hiddenProducer");

    void SetUp() override
    {
        for (Cvar* cvar : {&shown->value, &nested->deep, &hidden->value}) {
            const float a[4] = {0, 0, 0, 0};
            const float b[4] = {10, 20, 30, 40};
            SequencerManager::SetKeyValue(cvar, 0, a);
            SequencerManager::SetKeyValue(cvar, 100, b);
            SequencerManager::SetTrackLinear(cvar, true);
        }
    }
};

TEST_F(KeyframeApply, WritesEveryProjectButNotifiesOnlyTheShownOne)
{
    ScopedExportVariables on(true);
    ResourceManagerStorage* store = currentResources;
    SequencerManager::Apply(50);

    EXPECT_EQ(shown->value.value[0], 5.0f);
    EXPECT_EQ(shown->value.value[3], 20.0f);
    EXPECT_EQ(nested->deep.value[0], 5.0f);
    EXPECT_EQ(hidden->value.value[1], 10.0f);
    // The untracked parameter is left alone.
    EXPECT_EQ(shown->mask.value[0], 7.0f);

    EXPECT_EQ(shown->changedCvars, std::vector<Cvar*>{&shown->value});
    // The sub-branch has no owner of its own; its component is found above it.
    EXPECT_EQ(nested->changedCvars, std::vector<Cvar*>{&nested->deep});
    EXPECT_TRUE(hidden->changedCvars.empty());

    EXPECT_EQ(currentProject, projects[0]);
    EXPECT_EQ(currentResources, store);
    EXPECT_EQ(currentComponents, projects[0]->components);
}

TEST_F(KeyframeApply, ChangesNothingWhileExportVariablesIsOff)
{
    ScopedExportVariables off(false);
    shown->value.value[0] = -3.0f;
    SequencerManager::Apply(50);
    EXPECT_EQ(shown->value.value[0], -3.0f);
    EXPECT_EQ(hidden->value.value[0], 1.0f);
    EXPECT_TRUE(shown->changedCvars.empty());
    EXPECT_EQ(currentProject, projects[0]);
}

TEST_F(KeyframeApply, InactiveTracksAreSkippedUntilReactivated)
{
    ScopedExportVariables on(true);
    SequencerManager::SetTrackActive(&shown->value, false);
    SequencerManager::Apply(100);
    EXPECT_EQ(shown->value.value[0], 1.0f);
    EXPECT_TRUE(shown->changedCvars.empty());
    EXPECT_EQ(hidden->value.value[0], 10.0f);

    SequencerManager::SetTrackActive(&shown->value, true);
    SequencerManager::Apply(100);
    EXPECT_EQ(shown->value.value[0], 10.0f);
}

// A component that rebuilds its parameters when its "mode" changes, as selectors of shapes and materials do: the
// change handler takes out and destroys a keyed parameter and adds many new ones to the branch.
namespace {
class RebuildingComponent : public projtest::TestComponentBase {
public:
    explicit RebuildingComponent(const std::string& name) : TestComponentBase(0, name)
    {
        beginRegistration();
        CvarTreeRegisterFloat(&mode, "mode", 0.0f, 0.0f, 10.0f);
        CvarTreeRegisterFloat(old.get(), "old", 0.0f, 0.0f, 10.0f);
        endRegistration();
    }
    ~RebuildingComponent() override { branch_->cvars.clear(); }
    void OnCvarChanged(Cvar* cvar) override
    {
        TestComponentBase::OnCvarChanged(cvar);
        if (cvar != &mode || !old)
            return;
        auto& list = branch_->cvars;
        list.erase(std::remove(list.begin(), list.end(), old.get()), list.end());
        old.reset();
        for (int i = 0; i < 64; ++i) {
            added.push_back(std::make_unique<Cvar>());
            CvarTreeRegisterFloat(added.back().get(), "added " + std::to_string(i), 0.0f, 0.0f, 1.0f, CvarScope::Node,
                                  branch_);
        }
    }
    Cvar mode;
    std::unique_ptr<Cvar> old = std::make_unique<Cvar>();
    std::vector<std::unique_ptr<Cvar>> added;
};
} // namespace

// The timeline lists a branch's keyed parameters before applying any: a handler that rebuilds the branch neither
// invalidates the walk nor gets a destroyed parameter written, and the components after it are still applied.
TEST(KeyframeApplyRebuild, HandlerThatRebuildsItsParametersIsSafe)
{
    ScopedProjects projects{{"shown"}};
    auto* rebuilding = projects.add<RebuildingComponent>(0, "rebuilding");
    TestProducer* after = projects.add<TestProducer>(0, "after");
    const float a[4] = {0, 0, 0, 0};
    const float b[4] = {10, 20, 30, 40};
    for (Cvar* cvar : {&rebuilding->mode, rebuilding->old.get(), &after->value}) {
        SequencerManager::SetKeyValue(cvar, 0, a);
        SequencerManager::SetKeyValue(cvar, 100, b);
        SequencerManager::SetTrackLinear(cvar, true);
    }
    ScopedExportVariables on(true);
    SequencerManager::Apply(50);

    EXPECT_EQ(rebuilding->mode.value[0], 5.0f);
    EXPECT_EQ(rebuilding->old, nullptr);
    EXPECT_EQ(rebuilding->added.size(), 64u);
    EXPECT_EQ(rebuilding->changedCvars, std::vector<Cvar*>{&rebuilding->mode});
    EXPECT_EQ(after->value.value[2], 15.0f);
    EXPECT_EQ(after->changedCvars, std::vector<Cvar*>{&after->value});
}

// A long track as a load builds it: keys in frame order, then every key replaced and looked up again.
TEST(KeyframeTrack, TwoHundredThousandKeysInsertQuickly)
{
    constexpr int kKeys = 200000;
    Cvar cvar;
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i < kKeys; ++i) {
            const float value[4] = {static_cast<float>(i + pass), 0.0f, 0.0f, 0.0f};
            SequencerManager::SetKeyValue(&cvar, 3 * i, value);
        }
    int exact = 0;
    for (int i = 0; i < kKeys; i += 97)
        exact += SequencerManager::EvaluateTrack(&cvar, static_cast<uint32_t>(3 * i))[0] == static_cast<float>(i + 1);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 2.0); // a linear search per key took over ten seconds

    const KeyframeTrack* track = SequencerManager::FindTrack(&cvar);
    ASSERT_NE(track, nullptr);
    ASSERT_EQ(track->keys.size(), static_cast<size_t>(kKeys));
    for (int i = 0; i < kKeys; ++i) {
        ASSERT_EQ(track->keys[i].frame, static_cast<uint32_t>(3 * i));
        ASSERT_EQ(track->keys[i].v0, static_cast<float>(i + 1));
    }
    EXPECT_EQ(exact, (kKeys + 96) / 97); // a key's own frame evaluates to that key
    EXPECT_TRUE(SequencerManager::DeleteKey(&cvar, 3 * 1000));
    EXPECT_FALSE(SequencerManager::DeleteKey(&cvar, 3 * 1000 + 1));
    EXPECT_EQ(track->keys.size(), static_cast<size_t>(kKeys - 1));
    EXPECT_EQ(track->keys[1000].frame, 3u * 1001u);
}
