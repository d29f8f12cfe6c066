// Synthesises the production's music track: three minutes at 120 BPM in A minor (Am F C G), with drums, bass, pad,
// lead and arpeggio in a few sections, written as Ogg Vorbis, 44.1 kHz stereo.
//
//   generate_music <output.ogg>
//
// The result depends on nothing but this file: no clock, no random device, so every build makes the same track.
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kRate = 44100;
constexpr double kBpm = 120.0;
constexpr double kBeat = 60.0 / kBpm;
constexpr double kBar = 4.0 * kBeat;
constexpr int kBars = 88;
constexpr double kLength = kBars * kBar + 4.0; // the last chord rings out
constexpr double kPi = 3.14159265358979323846;

// ---- Sections, in bars ----

struct Section {
    int start, end;
};
constexpr Section kIntro{0, 8}, kVerse{8, 24}, kChorus{24, 40}, kBreak{40, 48}, kBuild{48, 56}, kChorus2{56, 72},
    kVerse2{72, 80}, kOutro{80, 88};

bool in(const Section& s, int bar)
{
    return bar >= s.start && bar < s.end;
}

// ---- Harmony ----

// One chord per bar, repeating every four bars.
struct Chord {
    int bass;                // MIDI note of the bass root
    std::array<int, 3> pad;  // MIDI notes of the pad voicing
};
constexpr std::array<Chord, 4> kProgression{{
    {45, {57, 60, 64}}, // Am
    {41, {57, 60, 65}}, // F
    {48, {55, 60, 64}}, // C
    {43, {55, 59, 62}}, // G
}};

const Chord& chordOf(int bar)
{
    return kProgression[static_cast<size_t>(bar % 4)];
}

double midiHz(double note)
{
    return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}

// The lead's eight-bar tune as (eighth from the phrase start, length in eighths, note).
struct Note {
    int step, length, note;
};
constexpr Note kTune[] = {
    {0, 2, 69},  {2, 2, 72},  {4, 3, 76},  {7, 1, 74},                // Am
    {8, 3, 72},  {11, 1, 69}, {12, 4, 65},                            // F
    {16, 2, 76}, {18, 2, 79}, {20, 2, 76}, {22, 2, 72},               // C
    {24, 3, 74}, {27, 1, 71}, {28, 4, 67},                            // G
    {32, 2, 76}, {34, 2, 81}, {36, 2, 79}, {38, 2, 76},               // Am
    {40, 3, 77}, {43, 1, 76}, {44, 4, 72},                            // F
    {48, 2, 79}, {50, 2, 76}, {52, 2, 72}, {54, 2, 76},               // C
    {56, 4, 74}, {60, 2, 71}, {62, 2, 74},                            // G
};

// ---- Oscillators ----

// Band-limited single-cycle tables: every harmonic stays under Nyquist for the notes used here.
struct Wavetable {
    static constexpr int kSize = 2048;
    std::vector<float> values = std::vector<float>(kSize + 1);

    Wavetable(int harmonics, bool oddOnly)
    {
        float peak = 0.0f;
        for (int i = 0; i < kSize; ++i) {
            double v = 0.0;
            for (int k = 1; k <= harmonics; k += oddOnly ? 2 : 1)
                v += std::sin(2.0 * kPi * k * i / kSize) / k;
            values[static_cast<size_t>(i)] = static_cast<float>(v);
            peak = std::max(peak, std::fabs(static_cast<float>(v)));
        }
        for (float& v : values)
            v /= peak;
        values[kSize] = values[0];
    }

    // phase in cycles, 0 to 1
    float at(double phase) const
    {
        const double x = phase * kSize;
        const int i = static_cast<int>(x);
        const float f = static_cast<float>(x - i);
        return values[static_cast<size_t>(i)] + (values[static_cast<size_t>(i) + 1] - values[static_cast<size_t>(i)]) * f;
    }
};

const Wavetable sine(1, false);
const Wavetable saw(16, false);
const Wavetable square(15, true);

// xorshift32: the same noise on every machine.
struct Noise {
    uint32_t state = 0x9E3779B9u;
    float next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<float>(state) / 2147483648.0f - 1.0f;
    }
};

// ---- Mixing ----

struct Bus {
    std::vector<float> left, right;
    explicit Bus(size_t frames) : left(frames, 0.0f), right(frames, 0.0f) {}
    size_t size() const { return left.size(); }
};

size_t frameAt(double seconds)
{
    return static_cast<size_t>(std::llround(seconds * kRate));
}

// Calls voice(t) for every frame from start for duration seconds and adds the result, panned (-1 left, +1 right).
template <typename Voice>
void render(Bus& bus, double start, double duration, float gain, float pan, Voice&& voice)
{
    const size_t first = frameAt(start);
    const size_t last = std::min(bus.size(), frameAt(start + duration));
    const float l = gain * std::sqrt(0.5f * (1.0f - pan));
    const float r = gain * std::sqrt(0.5f * (1.0f + pan));
    for (size_t i = first; i < last; ++i) {
        const float v = voice(static_cast<double>(i - first) / kRate);
        bus.left[i] += v * l;
        bus.right[i] += v * r;
    }
}

// Attack-decay-sustain envelope that releases at the note's end.
float adsr(double t, double length, double attack, double decay, float sustain, double release)
{
    float level;
    if (t < attack)
        level = static_cast<float>(t / attack);
    else if (t < attack + decay)
        level = 1.0f - (1.0f - sustain) * static_cast<float>((t - attack) / decay);
    else
        level = sustain;
    if (t > length)
        level *= static_cast<float>(std::max(0.0, 1.0 - (t - length) / release));
    return level;
}

// ---- Instruments ----

void kick(Bus& bus, double at, float gain)
{
    double phase = 0.0;
    render(bus, at, 0.45, gain, 0.0f, [&](double t) {
        const double hz = 48.0 + 120.0 * std::exp(-t * 28.0);
        phase += hz / kRate;
        const float body = sine.at(phase - std::floor(phase)) * static_cast<float>(std::exp(-t * 7.0));
        const float click = static_cast<float>(std::exp(-t * 400.0)) * 0.4f;
        return body + click;
    });
}

void snare(Bus& bus, double at, float gain, Noise& noise)
{
    float previous = 0.0f;
    render(bus, at, 0.3, gain, 0.05f, [&](double t) {
        const float n = noise.next();
        const float bright = n - previous; // a first difference takes the low end out of the noise
        previous = n;
        const float tone = sine.at(std::fmod(t * 185.0, 1.0)) * static_cast<float>(std::exp(-t * 30.0));
        return 0.5f * bright * static_cast<float>(std::exp(-t * 16.0)) + 0.6f * tone;
    });
}

void hat(Bus& bus, double at, float gain, bool open, float pan, Noise& noise)
{
    float previous = 0.0f;
    const double decay = open ? 9.0 : 70.0;
    render(bus, at, open ? 0.35 : 0.08, gain, pan, [&](double t) {
        const float n = noise.next();
        const float bright = n - previous;
        previous = n;
        return 0.5f * bright * static_cast<float>(std::exp(-t * decay));
    });
}

void bassNote(Bus& bus, double at, double length, int note, float gain)
{
    const double hz = midiHz(note);
    float filtered = 0.0f;
    render(bus, at, length + 0.03, gain, 0.0f, [&](double t) {
        const double cycles = t * hz;
        const float raw = 0.6f * saw.at(cycles - std::floor(cycles)) + 0.7f * sine.at(cycles - std::floor(cycles));
        // A one-pole low-pass that closes over the note gives the pluck.
        const float cutoff = 0.08f + 0.25f * static_cast<float>(std::exp(-t * 12.0));
        filtered += cutoff * (raw - filtered);
        return filtered * adsr(t, length, 0.004, 0.15, 0.7f, 0.03);
    });
}

void padChord(Bus& bus, double at, double length, const Chord& chord, float gain)
{
    for (size_t v = 0; v < chord.pad.size(); ++v) {
        // Two detuned voices per note, one on each side, make the width.
        for (int side = 0; side < 2; ++side) {
            const double hz = midiHz(chord.pad[v] + (side ? 0.08 : -0.08));
            const double offset = 0.13 * static_cast<double>(v) + 0.5 * side;
            float filtered = 0.0f;
            render(bus, at, length + 0.6, gain, side ? 0.7f : -0.7f, [&](double t) {
                const double cycles = t * hz + offset;
                filtered += 0.12f * (saw.at(cycles - std::floor(cycles)) - filtered);
                return filtered * adsr(t, length, 0.35, 0.5, 0.8f, 0.6);
            });
        }
    }
}

void leadNote(Bus& bus, double at, double length, int note, float gain)
{
    const double hz = midiHz(note);
    double phase = 0.0;
    render(bus, at, length + 0.12, gain, 0.1f, [&](double t) {
        // Vibrato comes in after the attack.
        const double depth = t > 0.18 ? std::min(1.0, (t - 0.18) * 4.0) * 0.004 : 0.0;
        phase += hz * (1.0 + depth * std::sin(2.0 * kPi * 5.5 * t)) / kRate;
        phase -= std::floor(phase);
        const float tone = 0.6f * square.at(phase) + 0.4f * saw.at(phase);
        return tone * adsr(t, length, 0.01, 0.2, 0.6f, 0.12);
    });
}

void arpNote(Bus& bus, double at, int note, float gain, float pan)
{
    const double hz = midiHz(note);
    render(bus, at, 0.2, gain, pan, [&](double t) {
        const double cycles = t * hz;
        const float tone = sine.at(cycles - std::floor(cycles)) + 0.3f * sine.at(std::fmod(2.0 * cycles, 1.0));
        return tone * static_cast<float>(std::exp(-t * 18.0));
    });
}

// Ping-pong echo at three sixteenths with feedback.
void pingPong(Bus& bus, float mix, float feedback)
{
    const size_t delay = frameAt(0.75 * kBeat);
    std::vector<float> l(bus.size(), 0.0f), r(bus.size(), 0.0f);
    for (size_t i = delay; i < bus.size(); ++i) {
        l[i] = 0.5f * (bus.left[i - delay] + bus.right[i - delay]) + feedback * r[i - delay];
        r[i] = feedback * l[i - delay];
    }
    for (size_t i = 0; i < bus.size(); ++i) {
        bus.left[i] += mix * l[i];
        bus.right[i] += mix * r[i];
    }
}

std::vector<float> compose()
{
    const size_t frames = frameAt(kLength);
    Bus drums(frames), bass(frames), pad(frames), lead(frames), arp(frames);
    Noise noise;
    std::vector<double> kicks;

    for (int bar = 0; bar < kBars; ++bar) {
        const double t0 = bar * kBar;
        const Chord& chord = chordOf(bar);
        const bool full = in(kChorus, bar) || in(kChorus2, bar);
        const bool groove = in(kVerse, bar) || in(kVerse2, bar) || full;
        // The outro fades to the last chord.
        const float fade = in(kOutro, bar) ? 1.0f - static_cast<float>(bar - kOutro.start) / 8.0f : 1.0f;

        // Drums
        const bool kickOn = groove || in(kBuild, bar) || in(kOutro, bar);
        for (int beat = 0; beat < 4 && kickOn; ++beat) {
            kick(drums, t0 + beat * kBeat, 0.9f * fade);
            kicks.push_back(t0 + beat * kBeat);
        }
        if (full || in(kVerse2, bar)) {
            snare(drums, t0 + 1 * kBeat, 0.55f, noise);
            snare(drums, t0 + 3 * kBeat, 0.55f, noise);
        }
        if (in(kBuild, bar)) {
            // A roll that doubles its pace every two bars and swells.
            const int per = 2 << ((bar - kBuild.start) / 2);
            for (int i = 0; i < 4 * per / 2; ++i) {
                const float swell = 0.2f + 0.4f * static_cast<float>(bar - kBuild.start) / 8.0f;
                snare(drums, t0 + i * kBar / (4 * per / 2), swell, noise);
            }
        }
        const bool hats = groove || (in(kIntro, bar) && bar >= 4) || in(kOutro, bar);
        for (int eighth = 0; eighth < 8 && hats; ++eighth) {
            const bool offbeat = eighth % 2 == 1;
            const bool open = offbeat && (groove || in(kOutro, bar)) && eighth == 7;
            hat(drums, t0 + eighth * kBeat / 2, (offbeat ? 0.32f : 0.18f) * fade, open, 0.3f, noise);
        }

        // Bass: eighths on the root with an octave jump, or long notes in the break.
        if (groove || in(kBuild, bar)) {
            static constexpr int kOctave[8] = {0, 0, 12, 0, 0, 12, 0, 7};
            for (int eighth = 0; eighth < 8; ++eighth)
                bassNote(bass, t0 + eighth * kBeat / 2, kBeat / 2 * 0.8, chord.bass + kOctave[eighth], 0.5f);
        } else if (in(kBreak, bar)) {
            bassNote(bass, t0, kBar * 0.95, chord.bass, 0.45f);
        }

        // Pad under everything but the build, where it drops out for contrast.
        if (!in(kBuild, bar)) {
            const float intro = in(kIntro, bar) ? 0.4f + 0.6f * static_cast<float>(bar) / 8.0f : 1.0f;
            padChord(pad, t0, kBar * (bar == kBars - 1 ? 1.8 : 0.98), chord, 0.12f * intro * fade);
        }

        // Lead: the tune over the choruses, an octave up in the second half of the second chorus.
        if (full) {
            const Section& s = in(kChorus, bar) ? kChorus : kChorus2;
            const int phraseBar = (bar - s.start) % 8;
            const int lift = (in(kChorus2, bar) && bar - s.start >= 8) ? 12 : 0;
            for (const Note& n : kTune) {
                if (n.step / 8 != phraseBar)
                    continue;
                leadNote(lead, t0 + (n.step % 8) * kBeat / 2, n.length * kBeat / 2 * 0.9, n.note + lift, 0.22f);
            }
        }

        // Arpeggio: sixteenths through the chord, up and down, panned across.
        if (in(kBreak, bar) || in(kVerse2, bar) || (in(kIntro, bar) && bar >= 4)) {
            static constexpr int kPattern[8] = {0, 1, 2, 3, 2, 1, 0, 1};
            for (int i = 0; i < 16; ++i) {
                const int k = kPattern[i % 8];
                const int note = k < 3 ? chord.pad[static_cast<size_t>(k)] + 12 : chord.pad[0] + 24;
                arpNote(arp, t0 + i * kBeat / 4, note, 0.16f, i % 2 ? 0.5f : -0.5f);
            }
        }
    }

    pingPong(lead, 0.35f, 0.4f);
    pingPong(arp, 0.3f, 0.35f);

    // The pad and bass duck under every kick, which gives the groove its pump.
    std::vector<float> duck(frames, 1.0f);
    for (double k : kicks) {
        const size_t first = frameAt(k);
        const size_t last = std::min(frames, frameAt(k + kBeat));
        for (size_t i = first; i < last; ++i)
            duck[i] = std::min(duck[i], 1.0f - 0.55f * static_cast<float>(std::exp(-static_cast<double>(i - first) * 9.0 / kRate)));
    }

    std::vector<float> mix(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        mix[2 * i] = drums.left[i] + duck[i] * (bass.left[i] + pad.left[i]) + lead.left[i] + arp.left[i];
        mix[2 * i + 1] = drums.right[i] + duck[i] * (bass.right[i] + pad.right[i]) + lead.right[i] + arp.right[i];
    }

    // Peak at -1 dBFS: loud, and the lossy encoder's overshoot still stays under full scale.
    float peak = 0.0f;
    for (float v : mix)
        peak = std::max(peak, std::fabs(v));
    const float scale = peak > 0.0f ? 0.89f / peak : 1.0f;
    for (float& v : mix)
        v *= scale;
    return mix;
}

// libsndfile gives every Ogg stream a random serial number; a fixed one (with the page checksums redone) makes the
// file the same on every run.
bool fixOggSerial(const std::filesystem::path& path)
{
    std::vector<uint8_t> bytes;
    if (FILE* in = std::fopen(path.c_str(), "rb")) {
        uint8_t buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), in)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        std::fclose(in);
    }
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int k = 0; k < 8; ++k)
            r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        table[i] = r;
    }
    size_t at = 0;
    while (at + 27 <= bytes.size()) {
        if (std::memcmp(&bytes[at], "OggS", 4) != 0)
            return false;
        const size_t segments = bytes[at + 26];
        if (at + 27 + segments > bytes.size())
            return false;
        size_t length = 27 + segments;
        for (size_t i = 0; i < segments; ++i)
            length += bytes[at + 27 + i];
        if (at + length > bytes.size())
            return false;
        const uint32_t serial = 0x4D555331u;
        uint32_t crc = 0;
        for (int i = 0; i < 4; ++i) {
            bytes[at + 14 + i] = static_cast<uint8_t>(serial >> (8 * i));
            bytes[at + 22 + i] = 0;
        }
        for (size_t i = 0; i < length; ++i)
            crc = (crc << 8) ^ table[((crc >> 24) ^ bytes[at + i]) & 0xFF];
        for (int i = 0; i < 4; ++i)
            bytes[at + 22 + i] = static_cast<uint8_t>(crc >> (8 * i));
        at += length;
    }
    if (at != bytes.size() || bytes.empty())
        return false;
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out)
        return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: generate_music <output.ogg>\n");
        return 2;
    }
    const std::filesystem::path output = argv[1];
    // Build folders sharing the source tree may run this at the same time: each writes its own file.
    const std::filesystem::path temporary = output.string() + "." + std::to_string(getpid()) + ".tmp";
    std::error_code error;
    if (output.has_parent_path())
        std::filesystem::create_directories(output.parent_path(), error);

    const std::vector<float> mix = compose();

    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    SNDFILE* file = sf_open(temporary.c_str(), SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "generate_music: cannot write %s: %s\n", temporary.c_str(), sf_strerror(nullptr));
        return 1;
    }
    double quality = 0.4; // about 128 kbit/s: a few MB for three minutes
    sf_command(file, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof(quality));
    // Small blocks: the Vorbis encoder takes each write in one piece and fails on very large ones.
    const sf_count_t frames = static_cast<sf_count_t>(mix.size() / 2);
    sf_count_t written = 0;
    while (written < frames) {
        const sf_count_t n = std::min<sf_count_t>(4096, frames - written);
        if (sf_writef_float(file, mix.data() + 2 * written, n) != n)
            break;
        written += n;
    }
    const int closed = sf_close(file);
    if (written != frames || closed != 0 || !fixOggSerial(temporary)) {
        std::fprintf(stderr, "generate_music: writing %s failed\n", temporary.c_str());
        std::filesystem::remove(temporary, error);
        return 1;
    }
    std::filesystem::rename(temporary, output, error);
    if (error) {
        std::fprintf(stderr, "generate_music: cannot rename to %s: %s\n", output.c_str(), error.message().c_str());
        return 1;
    }

    double sum = 0.0;
    for (float v : mix)
        sum += static_cast<double>(v) * v;
    const double rms = std::sqrt(sum / static_cast<double>(mix.size()));
    std::printf("generate_music: %s, %.1f s, RMS %.1f dBFS\n", output.c_str(), static_cast<double>(frames) / kRate,
                20.0 * std::log10(rms));
    return 0;
}
