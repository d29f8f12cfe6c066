#include "project/music_device.h"

#include "app/log.h"

#include <SDL.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t kChannels = 2;
constexpr uint32_t kBytesPerFrame = kChannels * sizeof(int16_t);
constexpr uint64_t kMaxSeconds = 30 * 60; // bounds the memory a broken or endless file can take

struct Stream {
    std::vector<int16_t> samples; // interleaved stereo at the output rate; never changes after creation
    uint64_t frames = 0;

    // Written by the mixer and the control calls, always under the device lock.
    uint64_t position = 0; // next frame the mixer hands to the device
    bool playing = false;
    // The last block handed to the device and when: positions move through it with the clock, so the frame time
    // advances smoothly between two mixer calls instead of in buffer-sized steps.
    uint64_t chunkStart = 0;
    uint64_t chunkFrames = 0;
    int64_t chunkTimeNs = 0;
};

struct Output {
    SDL_AudioDeviceID device = 0;
    uint32_t rate = 0;
    std::vector<std::unique_ptr<Stream>> streams; // handle = index + 1
};

// Never destroyed: SDL's thread may still be mixing while the process exits.
Output& output = *new Output;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int16_t toSample(float value)
{
    return static_cast<int16_t>(std::lrint(std::clamp(value, -1.0f, 1.0f) * 32767.0f));
}

// Runs on SDL's audio thread with the device lock held.
void SDLCALL mixCallback(void*, Uint8* bytes, int length)
{
    std::memset(bytes, 0, static_cast<size_t>(length));
    auto* out = reinterpret_cast<int16_t*>(bytes);
    const uint64_t wanted = static_cast<uint64_t>(length) / kBytesPerFrame;
    const int64_t now = nowNs();
    for (const std::unique_ptr<Stream>& stream : output.streams) {
        Stream& s = *stream;
        if (!s.playing)
            continue;
        const uint64_t n = std::min(wanted, s.frames - s.position);
        const int16_t* source = s.samples.data() + s.position * kChannels;
        for (uint64_t i = 0; i < n * kChannels; ++i)
            out[i] = static_cast<int16_t>(std::clamp(out[i] + source[i], -32768, 32767));
        s.chunkStart = s.position;
        s.chunkFrames = n;
        s.chunkTimeNs = now;
        s.position += n;
        if (s.position >= s.frames)
            s.playing = false;
    }
}

class DeviceLock {
public:
    DeviceLock()
    {
        if (output.device != 0)
            SDL_LockAudioDevice(output.device);
    }
    ~DeviceLock()
    {
        if (output.device != 0)
            SDL_UnlockAudioDevice(output.device);
    }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;
};

// Call with the device lock held. Null for 0 and unknown handles.
Stream* findStream(HSTREAM handle)
{
    if (handle == 0 || handle > output.streams.size())
        return nullptr;
    return output.streams[handle - 1].get();
}

// The frame the device has reached: within the last block, as far as the clock says it has played.
uint64_t consumedFrame(const Stream& s)
{
    if (s.chunkFrames == 0)
        return s.position;
    const double elapsed = static_cast<double>(nowNs() - s.chunkTimeNs) * 1e-9;
    const double ahead = std::clamp(elapsed * output.rate, 0.0, static_cast<double>(s.chunkFrames));
    return s.chunkStart + static_cast<uint64_t>(ahead);
}

SDL_AudioDeviceID openDevice(uint32_t rate)
{
    SDL_AudioSpec want{};
    want.freq = static_cast<int>(rate);
    want.format = AUDIO_S16SYS;
    want.channels = kChannels;
    want.samples = 1024; // about 23 ms; the dummy driver keeps real time only with powers of two
    want.callback = mixCallback;
    // No changes allowed: SDL converts to whatever the hardware wants, so the mixer always sees this format.
    return SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
}

// Interleaved stereo at the file's own rate.
bool decodeFile(const char* path, std::vector<int16_t>& stereo, uint32_t& rate)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (!file) {
        LOG_ERROR("Cannot open music file <%s>: %s", path, sf_strerror(nullptr));
        return false;
    }
    if (info.channels < 1 || info.channels > 64 || info.samplerate < 1000 || info.samplerate > 768000) {
        LOG_ERROR("Music file <%s> has an unusable format (%d channels, %d Hz)", path, info.channels,
                  info.samplerate);
        sf_close(file);
        return false;
    }
    rate = static_cast<uint32_t>(info.samplerate);
    const uint64_t maxFrames = rate * kMaxSeconds;
    if (info.frames > 0 && static_cast<uint64_t>(info.frames) <= maxFrames)
        stereo.reserve(static_cast<size_t>(info.frames) * kChannels);

    const int channels = info.channels;
    constexpr sf_count_t kBlockFrames = 4096;
    std::vector<float> block(static_cast<size_t>(kBlockFrames * channels));
    uint64_t frames = 0;
    sf_count_t got;
    while ((got = sf_readf_float(file, block.data(), kBlockFrames)) > 0) {
        // Mono plays on both sides; of more channels the first two are kept.
        for (sf_count_t f = 0; f < got; ++f) {
            const float* frame = block.data() + f * channels;
            stereo.push_back(toSample(frame[0]));
            stereo.push_back(toSample(channels > 1 ? frame[1] : frame[0]));
        }
        frames += static_cast<uint64_t>(got);
        if (frames >= maxFrames) {
            LOG_WARNING("Music file <%s> is longer than %d minutes; the rest is left out", path,
                        static_cast<int>(kMaxSeconds / 60));
            break;
        }
    }
    if (sf_error(file) != SF_ERR_NO_ERROR)
        LOG_WARNING("Music file <%s> could not be decoded to its end: %s", path, sf_strerror(file));
    sf_close(file);
    if (frames == 0) {
        LOG_ERROR("Music file <%s> holds no audio", path);
        return false;
    }
    return true;
}

// Linear interpolation is plenty for a track that was not made at the output rate in the first place.
std::vector<int16_t> resample(const std::vector<int16_t>& in, uint32_t fromRate, uint32_t toRate)
{
    const uint64_t inFrames = in.size() / kChannels;
    const uint64_t outFrames = std::max<uint64_t>(1, inFrames * toRate / fromRate);
    std::vector<int16_t> out(outFrames * kChannels);
    const double step = static_cast<double>(fromRate) / toRate;
    for (uint64_t i = 0; i < outFrames; ++i) {
        const double t = static_cast<double>(i) * step;
        const uint64_t i0 = std::min(static_cast<uint64_t>(t), inFrames - 1);
        const uint64_t i1 = std::min(i0 + 1, inFrames - 1);
        const float frac = static_cast<float>(t - static_cast<double>(i0));
        for (uint32_t c = 0; c < kChannels; ++c) {
            const float a = in[i0 * kChannels + c];
            const float b = in[i1 * kChannels + c];
            out[i * kChannels + c] = static_cast<int16_t>(std::lrint(a + (b - a) * frac));
        }
    }
    return out;
}

} // namespace

bool BASS_Init(int device, uint32_t freq, uint32_t flags, void* window, const void* classId)
{
    // The timeline's "Start" button initialises again while the music already runs.
    if (output.device != 0)
        return true;
    if (device != -1) {
        LOG_ERROR("Audio device %d is not available; only the default output (-1) is", device);
        return false;
    }
    if (freq < 8000 || freq > 192000) {
        LOG_ERROR("Unsupported audio output rate %u Hz", freq);
        return false;
    }

    SDL_AudioDeviceID id = 0;
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
        id = openDevice(freq);
        if (id == 0) {
            LOG_WARNING("No audio output device (%s); the music plays silently on the dummy driver", SDL_GetError());
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        }
    } else {
        LOG_WARNING("No audio driver (%s); the music plays silently on the dummy driver", SDL_GetError());
    }
    if (id == 0) {
        // The dummy driver consumes samples in real time, so positions still follow the wall clock.
        SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_OVERRIDE);
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            LOG_ERROR("Cannot start the dummy audio driver: %s", SDL_GetError());
            return false;
        }
        id = openDevice(freq);
        if (id == 0) {
            LOG_ERROR("Cannot open the dummy audio device: %s", SDL_GetError());
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            return false;
        }
    }
    output.device = id;
    output.rate = freq;
    LOG_INFO("Audio output on driver %s at %u Hz", SDL_GetCurrentAudioDriver(), freq);
    SDL_PauseAudioDevice(id, 0);
    return true;
}

HSTREAM BASS_StreamCreateFile(bool fromMemory, const char* file, QWORD offset, QWORD length, uint32_t flags)
{
    if (output.device == 0) {
        LOG_ERROR("Audio output is not initialised; cannot open <%s>", file ? file : "");
        return 0;
    }
    if (fromMemory || !file || offset != 0 || length != 0) {
        LOG_ERROR("Only whole music files on disk can be opened");
        return 0;
    }

    std::vector<int16_t> samples;
    uint32_t rate = 0;
    if (!decodeFile(file, samples, rate))
        return 0;
    if (rate != output.rate) {
        LOG_WARNING("Music file <%s> is at %u Hz; converted to %u Hz", file, rate, output.rate);
        samples = resample(samples, rate, output.rate);
    }

    auto stream = std::make_unique<Stream>();
    stream->frames = samples.size() / kChannels;
    stream->samples = std::move(samples);
    DeviceLock lock;
    output.streams.push_back(std::move(stream));
    return static_cast<HSTREAM>(output.streams.size());
}

bool BASS_Start()
{
    if (output.device == 0) {
        LOG_ERROR("Audio output is not initialised");
        return false;
    }
    SDL_PauseAudioDevice(output.device, 0);
    return true;
}

bool BASS_ChannelPlay(HSTREAM handle, bool restart)
{
    DeviceLock lock;
    Stream* s = findStream(handle);
    if (!s) {
        LOG_WARNING("No music stream %u to play", handle);
        return false;
    }
    if (restart) {
        s->position = 0;
        s->chunkFrames = 0;
    }
    s->playing = s->position < s->frames;
    return true;
}

bool BASS_ChannelPause(HSTREAM handle)
{
    DeviceLock lock;
    Stream* s = findStream(handle);
    if (!s) {
        LOG_WARNING("No music stream %u to pause", handle);
        return false;
    }
    // Resume where the listener is, not where the mixer had read ahead to.
    s->position = consumedFrame(*s);
    s->chunkFrames = 0;
    s->playing = false;
    return true;
}

QWORD BASS_ChannelGetPosition(HSTREAM handle, uint32_t mode)
{
    if (mode != BASS_POS_BYTE)
        return 0;
    DeviceLock lock;
    const Stream* s = findStream(handle);
    return s ? consumedFrame(*s) * kBytesPerFrame : 0;
}

bool BASS_ChannelSetPosition(HSTREAM handle, QWORD position, uint32_t mode)
{
    DeviceLock lock;
    Stream* s = findStream(handle);
    if (!s || mode != BASS_POS_BYTE) {
        LOG_WARNING("Cannot seek music stream %u (mode %u)", handle, mode);
        return false;
    }
    const uint64_t frame = position / kBytesPerFrame;
    if (frame > s->frames) {
        LOG_WARNING("Seek to %.5f s is past the end of the music (%.5f s)", static_cast<double>(frame) / output.rate,
                    static_cast<double>(s->frames) / output.rate);
        return false;
    }
    s->position = frame;
    s->chunkFrames = 0;
    return true;
}

double BASS_ChannelBytes2Seconds(HSTREAM handle, QWORD position)
{
    DeviceLock lock;
    if (!findStream(handle))
        return 0.0;
    return static_cast<double>(position) / (static_cast<double>(output.rate) * kBytesPerFrame);
}

QWORD BASS_ChannelSeconds2Bytes(HSTREAM handle, double seconds)
{
    DeviceLock lock;
    if (!findStream(handle) || !std::isfinite(seconds) || seconds <= 0.0)
        return 0;
    // Far beyond any stream, and still inside the integer range.
    const double frames = std::min(seconds * output.rate, 1e15);
    return static_cast<QWORD>(std::llround(frames)) * kBytesPerFrame;
}
