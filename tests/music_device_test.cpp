#include "project/music_device.h"

#include "test_helpers.h"

#include <SDL.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using testutil::TempDir;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRate = 44100.0;
constexpr double kSample = 1.0 / kRate;

void sleepSeconds(double s)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A 16-bit WAV of a quiet 440 Hz tone, generated in memory.
bool writeWav(const std::string& path, double seconds, int rate, int channels)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return false;
    const sf_count_t frames = static_cast<sf_count_t>(seconds * rate);
    std::vector<short> block(static_cast<size_t>(65536 * channels));
    for (sf_count_t done = 0; done < frames;) {
        const sf_count_t n = std::min<sf_count_t>(65536, frames - done);
        for (sf_count_t i = 0; i < n; ++i)
            for (int c = 0; c < channels; ++c)
                block[static_cast<size_t>(i * channels + c)] =
                    static_cast<short>(2000.0 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(done + i) / rate));
        sf_writef_short(file, block.data(), n);
        done += n;
    }
    return sf_close(file) == 0;
}

bool initDummyOutput()
{
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    return BASS_Init(-1, 44100, 0, nullptr, nullptr);
}

double positionSeconds(HSTREAM h)
{
    return BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE));
}

// Waits until the mixer has taken the first block, so measurements start on a running clock.
void waitUntilMoving(HSTREAM h, double from)
{
    const Clock::time_point start = Clock::now();
    while (positionSeconds(h) <= from && secondsSince(start) < 2.0)
        sleepSeconds(0.002);
}

// One 130 s stream, 44.1 kHz stereo, for the whole suite: streams live until the process ends.
class MusicDevice : public ::testing::Test {
protected:
    static inline std::unique_ptr<TempDir> dir;
    static inline HSTREAM stream = 0;

    static void SetUpTestSuite()
    {
        dir = std::make_unique<TempDir>("music");
        ASSERT_TRUE(initDummyOutput());
        const std::string path = dir->str() + "long.wav";
        ASSERT_TRUE(writeWav(path, 130.0, 44100, 2));
        stream = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    }
    static void TearDownTestSuite() { dir.reset(); }

    void SetUp() override
    {
        ASSERT_NE(stream, 0u);
        // Each test starts paused at the beginning.
        ASSERT_TRUE(BASS_ChannelPause(stream));
        ASSERT_TRUE(BASS_ChannelSetPosition(stream, 0, BASS_POS_BYTE));
    }
};

} // namespace

TEST_F(MusicDevice, PositionFollowsTheWallClockAndNeverGoesBack)
{
    ASSERT_TRUE(BASS_Start());
    ASSERT_TRUE(BASS_ChannelPlay(stream, false));
    waitUntilMoving(stream, 0.0);
    const double p0 = positionSeconds(stream);
    const Clock::time_point t0 = Clock::now();
    double previous = p0;
    while (secondsSince(t0) < 1.5) {
        const double p = positionSeconds(stream);
        ASSERT_GE(p, previous);
        previous = p;
        sleepSeconds(0.005);
    }
    const double played = positionSeconds(stream) - p0;
    const double elapsed = secondsSince(t0);
    // Never ahead of the clock by more than a buffer; a starved audio thread on a loaded machine may fall a little
    // behind, but a device that drifts by a tenth is wrong.
    EXPECT_LE(played, elapsed + 0.05);
    EXPECT_GE(played, 0.92 * elapsed - 0.05);
}

TEST_F(MusicDevice, PauseFreezesAndPlayResumesFromThere)
{
    ASSERT_TRUE(BASS_ChannelPlay(stream, false));
    waitUntilMoving(stream, 0.0);
    sleepSeconds(0.3);
    ASSERT_TRUE(BASS_ChannelPause(stream));
    const QWORD frozen = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
    EXPECT_GT(frozen, 0u);
    sleepSeconds(0.3);
    EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), frozen);

    const double resumedAt = BASS_ChannelBytes2Seconds(stream, frozen);
    const Clock::time_point t0 = Clock::now();
    ASSERT_TRUE(BASS_ChannelPlay(stream, false));
    waitUntilMoving(stream, resumedAt);
    sleepSeconds(0.2);
    const double p = positionSeconds(stream);
    EXPECT_GT(p, resumedAt);
    EXPECT_LE(p - resumedAt, secondsSince(t0) + 0.05);

    // Restart goes back to the beginning.
    ASSERT_TRUE(BASS_ChannelPlay(stream, true));
    EXPECT_LT(positionSeconds(stream), 0.1);
}

TEST_F(MusicDevice, SeekToFrame12345LandsOn123_45Seconds)
{
    // The timeline's seek: frame / 100 in seconds, converted to bytes.
    const QWORD bytes = BASS_ChannelSeconds2Bytes(stream, 12345 / 100.0);
    EXPECT_EQ(bytes, 5444145u * 4u); // 123.45 s x 44,100 Hz, 4 bytes a frame
    ASSERT_TRUE(BASS_ChannelSetPosition(stream, bytes, BASS_POS_BYTE));
    EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), bytes);
    EXPECT_NEAR(positionSeconds(stream), 123.45, kSample);

    // Playing on goes forward from there; a seek while playing moves at once.
    ASSERT_TRUE(BASS_ChannelPlay(stream, false));
    waitUntilMoving(stream, 123.45);
    const double p = positionSeconds(stream);
    EXPECT_GT(p, 123.45);
    EXPECT_LT(p, 123.45 + 1.0);
    ASSERT_TRUE(BASS_ChannelSetPosition(stream, BASS_ChannelSeconds2Bytes(stream, 10.0), BASS_POS_BYTE));
    EXPECT_LT(positionSeconds(stream), 10.5);
    EXPECT_GE(positionSeconds(stream), 10.0);
}

TEST_F(MusicDevice, SeekPastTheEndFailsAndTheEndStopsPlayback)
{
    const QWORD end = BASS_ChannelSeconds2Bytes(stream, 130.0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(BASS_ChannelSetPosition(stream, end + 4, BASS_POS_BYTE));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("past the end"), std::string::npos);
    EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), 0u);

    // A seek into the middle of a frame lands on the frame's start.
    ASSERT_TRUE(BASS_ChannelSetPosition(stream, end - 4 * 441 + 3, BASS_POS_BYTE));
    EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), end - 4 * 441);
    ASSERT_TRUE(BASS_ChannelPlay(stream, false));
    sleepSeconds(0.3);
    EXPECT_EQ(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), end);
}

TEST_F(MusicDevice, BytesAndSecondsRoundTrip)
{
    for (QWORD bytes : {QWORD(0), QWORD(4), QWORD(4 * 44100), QWORD(5444145u * 4u), QWORD(4) * 44100 * 3600 * 10})
        EXPECT_EQ(BASS_ChannelSeconds2Bytes(stream, BASS_ChannelBytes2Seconds(stream, bytes)), bytes) << bytes;
    for (double s : {0.0, 0.01, 1.5, 123.45, 129.99})
        EXPECT_NEAR(BASS_ChannelBytes2Seconds(stream, BASS_ChannelSeconds2Bytes(stream, s)), s, 0.5 * kSample) << s;
    EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(stream, 4 * 44100), 1.0);
    for (double bad : {-1.0, -0.0, std::nan(""), -HUGE_VAL, HUGE_VAL})
        EXPECT_EQ(BASS_ChannelSeconds2Bytes(stream, bad), 0u) << bad;
    EXPECT_GT(BASS_ChannelSeconds2Bytes(stream, 1e300), 0u); // bounded, not wrapped
}

TEST_F(MusicDevice, UnknownHandlesAnswerZero)
{
    // The frame clock asks every frame with handle 0 when no music could be opened.
    for (HSTREAM h : {HSTREAM(0), HSTREAM(999), HSTREAM(0xFFFFFFFF)}) {
        EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), 0u);
        EXPECT_EQ(BASS_ChannelBytes2Seconds(h, 4 * 44100), 0.0);
        EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 1.0), 0u);
        EXPECT_FALSE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
        EXPECT_FALSE(BASS_ChannelPlay(h, false));
        EXPECT_FALSE(BASS_ChannelPause(h));
    }
    EXPECT_EQ(BASS_ChannelGetPosition(stream, 1), 0u); // a mode there is not
}

TEST_F(MusicDevice, SecondInitSucceedsAndKeepsPlaying)
{
    ASSERT_TRUE(BASS_ChannelSetPosition(stream, BASS_ChannelSeconds2Bytes(stream, 50.0), BASS_POS_BYTE));
    ASSERT_TRUE(BASS_ChannelPlay(stream, false));
    // What the timeline's "Start" button does once the music runs.
    EXPECT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    EXPECT_TRUE(BASS_Start());
    EXPECT_TRUE(BASS_ChannelPlay(stream, false));
    waitUntilMoving(stream, 50.0);
    EXPECT_GT(positionSeconds(stream), 50.0);
    EXPECT_LT(positionSeconds(stream), 51.0);
}

TEST_F(MusicDevice, BadFilesFailWithALogLine)
{
    const std::string base = dir->str();
    testutil::writeFile(dir->path() / "empty.ogg", "");
    testutil::writeFile(dir->path() / "text.wav", "this is not audio at all, just some text in a file");
    // A valid header that announces samples the file does not hold.
    testutil::writeFile(dir->path() / "truncated.wav",
                        std::string("RIFF\x24\x00\x01\x00WAVEfmt \x10\x00\x00\x00\x01\x00\x02\x00\x44\xac\x00\x00"
                                    "\x10\xb1\x02\x00\x04\x00\x10\x00" "data" "\x00\x00\x01\x00",
                                    44));
    struct Case {
        std::string path;
        const char* message;
    } cases[] = {
        {base + "missing.ogg", "Cannot open music file"},
        {base, "Cannot open music file"}, // an empty track name leaves the bare base path
        {base + "empty.ogg", "Cannot open music file"},
        {base + "text.wav", "Cannot open music file"},
        {base + "truncated.wav", "holds no audio"},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(BASS_StreamCreateFile(false, c.path.c_str(), 0, 0, BASS_STREAM_PRESCAN), 0u) << c.path;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.message), std::string::npos) << c.path << ": " << out;
    }

    testing::internal::CaptureStdout();
    EXPECT_EQ(BASS_StreamCreateFile(false, nullptr, 0, 0, 0), 0u);
    EXPECT_EQ(BASS_StreamCreateFile(true, "not a path", 0, 0, 0), 0u);
    EXPECT_EQ(BASS_StreamCreateFile(false, (base + "missing.ogg").c_str(), 16, 0, 0), 0u);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Only whole music files"), std::string::npos);
}

TEST_F(MusicDevice, OtherRatesAndMonoAreConverted)
{
    const std::string path = dir->str() + "mono22k.wav";
    ASSERT_TRUE(writeWav(path, 2.0, 22050, 1));
    testing::internal::CaptureStdout();
    const HSTREAM h = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
    testing::internal::GetCapturedStdout();
    ASSERT_NE(h, 0u);
    ASSERT_NE(h, stream);
    // Two seconds at the output rate: the end is a valid position, a sample past it is not.
    EXPECT_TRUE(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 2.0), BASS_POS_BYTE));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(BASS_ChannelSetPosition(h, BASS_ChannelSeconds2Bytes(h, 2.0 + kSample), BASS_POS_BYTE));
    testing::internal::GetCapturedStdout();
}

// These need a process of their own: the output is opened once per process.
TEST(MusicDeviceDeathTest, StreamsNeedAnInitialisedOutput)
{
    EXPECT_EXIT(
        {
            dup2(2, 1); // the matcher reads stderr
            const bool ok = BASS_StreamCreateFile(false, "music/any.ogg", 0, 0, BASS_STREAM_PRESCAN) == 0 &&
                            BASS_ChannelGetPosition(0, BASS_POS_BYTE) == 0 && !BASS_Start();
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "Audio output is not initialised");
}

TEST(MusicDeviceDeathTest, FallsBackToTheDummyDriverWithAWarning)
{
    TempDir dir("music_fallback");
    const std::string path = dir.str() + "short.wav";
    ASSERT_TRUE(writeWav(path, 3.0, 44100, 2));
    EXPECT_EXIT(
        {
            dup2(2, 1);
            setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
            if (!BASS_Init(-1, 44100, 0, nullptr, nullptr))
                std::exit(1);
            if (std::string(SDL_GetCurrentAudioDriver()) != "dummy")
                std::exit(2);
            const HSTREAM h = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
            BASS_Start();
            BASS_ChannelPlay(h, false);
            waitUntilMoving(h, 0.0);
            const int code = positionSeconds(h) > 0.0 ? 0 : 3;
            std::filesystem::remove_all(dir.path()); // exit skips the child's own TempDir cleanup
            std::exit(code);
        },
        testing::ExitedWithCode(0), "No audio driver.*dummy driver");
}

// The shipped production's track, as the build synthesised it.
TEST(MusicTrack, IsThreeMinutesOfSteadyBeatNeitherSilentNorClipped)
{
    const std::string path = std::string(ENGINE_SOURCE_DIR) + "assets/music/demo_track.ogg";
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    EXPECT_EQ(info.samplerate, 44100);
    ASSERT_EQ(info.channels, 2);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_OGG);
    std::vector<float> samples(static_cast<size_t>(info.frames) * 2);
    const sf_count_t frames = sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    const double seconds = static_cast<double>(frames) / 44100.0;
    EXPECT_GT(seconds, 170.0);
    EXPECT_LT(seconds, 190.0);
    EXPECT_LT(std::filesystem::file_size(path), 5u << 20);

    float peak = 0.0f;
    double sum = 0.0;
    for (float v : samples) {
        peak = std::max(peak, std::fabs(v));
        sum += static_cast<double>(v) * v;
    }
    const double rmsDb = 10.0 * std::log10(sum / static_cast<double>(samples.size()));
    EXPECT_LT(peak, 1.0f);
    EXPECT_GT(peak, 0.5f);
    EXPECT_GT(rmsDb, -24.0);
    EXPECT_LT(rmsDb, -8.0);

    // No stretch of silence: every 5 s window carries sound.
    const size_t window = 5 * 44100;
    for (size_t start = 0; start + window <= static_cast<size_t>(frames); start += window) {
        double w = 0.0;
        for (size_t i = 2 * start; i < 2 * (start + window); ++i)
            w += static_cast<double>(samples[i]) * samples[i];
        EXPECT_GT(10.0 * std::log10(w / (2.0 * window) + 1e-20), -45.0) << "at " << start / 44100 << " s";
    }

    // A beat the timeline can follow: in the verse (16 s to 48 s) the loudness envelope repeats every half second
    // far more than at an off-beat lag.
    std::vector<double> envelope;
    for (size_t f = 16 * 44100; f + 441 <= 48 * 44100; f += 441) {
        double e = 0.0;
        for (size_t i = f; i < f + 441; ++i)
            e += std::fabs(samples[2 * i]) + std::fabs(samples[2 * i + 1]);
        envelope.push_back(e);
    }
    double mean = 0.0;
    for (double e : envelope)
        mean += e;
    mean /= static_cast<double>(envelope.size());
    auto correlation = [&](size_t lag) {
        double c = 0.0, norm = 0.0;
        for (size_t i = 0; i + lag < envelope.size(); ++i) {
            c += (envelope[i] - mean) * (envelope[i + lag] - mean);
            norm += (envelope[i] - mean) * (envelope[i] - mean);
        }
        return c / norm;
    };
    EXPECT_GT(correlation(50), 0.5);                      // 0.5 s: one beat at 120 BPM
    EXPECT_GT(correlation(50), correlation(37) + 0.3);    // 0.37 s: between beats
}
