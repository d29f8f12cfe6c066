#include "components/audio_loopback.h"

#include "app/log.h"
#include "components/instance_buffers.h"
#include "jni/engine/grd_texture.h"
#include "render/render_graph.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <thread>

namespace {

constexpr int kLoopbackRow = 46;
const char* const kLoopbackTypes[] = {"Override as R8", "Override as R16", nullptr};

ImageType loopbackFormat(float typeValue)
{
    return static_cast<int>(typeValue) == 1 ? IMAGE_TYPE_R16F : IMAGE_TYPE_R8;
}

int atLeastOne(Cvar& cvar)
{
    if (!(cvar.value[0] >= 1.0f))
        cvar.value[0] = 1.0f;
    cvar.value[0] = std::min(cvar.value[0], static_cast<float>(IMAGE_MAX_DIMENSION));
    return static_cast<int>(cvar.value[0]);
}

// Reversed b-bit indices for b = 1 .. 16, made on first use of each size.
const std::vector<uint32_t>& bitReversal(int bits)
{
    static std::array<std::vector<uint32_t>, 17> tables;
    std::vector<uint32_t>& table = tables[static_cast<size_t>(bits)];
    if (table.empty()) {
        table.resize(size_t(1) << bits);
        for (uint32_t i = 0; i < table.size(); ++i) {
            uint32_t r = 0;
            for (int b = 0; b < bits; ++b)
                r |= ((i >> b) & 1u) << (bits - 1 - b);
            table[i] = r;
        }
    }
    return table;
}

// ---- PulseAudio monitor ----

class PulseLoopbackSource : public LoopbackSource {
public:
    ~PulseLoopbackSource() override
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (stream_)
            pa_simple_free(stream_);
    }

    bool Start(AudioRingBuffer& ring) override
    {
        pa_sample_spec sampleFormat{};
        sampleFormat.format = PA_SAMPLE_FLOAT32LE;
        sampleFormat.channels = 2;
        sampleFormat.rate = 44100;
        // Small fragments: the spectrum should follow the music within a frame or two.
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<uint32_t>(-1);
        attributes.fragsize = 512 * 2 * sizeof(float);
        int error = 0;
        stream_ = pa_simple_new(nullptr, "engine", PA_STREAM_RECORD, "@DEFAULT_MONITOR@", "spectrum loopback",
                                &sampleFormat, nullptr, &attributes, &error);
        if (!stream_) {
            LOG_WARNING("Audio loopback: no sound server to capture from (%s); the spectrum textures stay as they are",
                        pa_strerror(error));
            return false;
        }
        thread_ = std::thread([this, &ring] {
            float frames[512 * 2];
            while (!stop_) {
                int readError = 0;
                if (pa_simple_read(stream_, frames, sizeof frames, &readError) < 0) {
                    LOG_WARNING("Audio loopback: capture ended (%s)", pa_strerror(readError));
                    return;
                }
                ring.PushStereo(frames, 512);
            }
        });
        return true;
    }

private:
    pa_simple* stream_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

struct Capture {
    bool attempted = false;
    std::unique_ptr<AudioRingBuffer> ring;
    std::unique_ptr<LoopbackSource> source;

    ~Capture() { Reset(); }
    void Reset()
    {
        source.reset(); // stops the thread before the ring goes
        ring.reset();
        attempted = false;
    }
};

Capture& capture()
{
    static Capture instance;
    return instance;
}

} // namespace

std::function<std::unique_ptr<LoopbackSource>()> loopbackSourceFactory = makePulseLoopbackSource;
AudioRingBuffer* loopbackRing = nullptr;

std::unique_ptr<LoopbackSource> makePulseLoopbackSource() { return std::make_unique<PulseLoopbackSource>(); }

AudioRingBuffer* loopbackEnsureStarted()
{
    Capture& c = capture();
    if (c.attempted)
        return loopbackRing;
    c.attempted = true;
    // The ring is complete before anything can write to it.
    auto ring = std::make_unique<AudioRingBuffer>();
    std::unique_ptr<LoopbackSource> source = loopbackSourceFactory ? loopbackSourceFactory() : nullptr;
    if (!source || !source->Start(*ring))
        return loopbackRing = nullptr;
    c.ring = std::move(ring);
    c.source = std::move(source);
    return loopbackRing = c.ring.get();
}

void loopbackResetCapture()
{
    capture().Reset();
    loopbackRing = nullptr;
}

// ---- Analysis ----

void AudioRingBuffer::PushStereo(const float* interleaved, uint32_t frames)
{
    uint32_t index = writeIndex.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < frames; ++i) {
        data[index] = (interleaved[2 * i] + interleaved[2 * i + 1]) * 0.5f;
        index = (index + 1) % kCapacity;
    }
    writeIndex.store(index, std::memory_order_release);
}

void AudioRingBuffer::ComputeSpectrum(float out[kSpectrumBins]) const
{
    const uint32_t end = writeIndex.load(std::memory_order_acquire);
    std::vector<float> samples(kSpectrumSamples);
    for (uint32_t k = 0; k < kSpectrumSamples; ++k)
        samples[k] = data[(kCapacity + end - kSpectrumSamples + k) % kCapacity];
    ApplyHannWindow(samples.data());
    std::vector<float> re(kSpectrumBins), im(kSpectrumBins);
    RealFFT(samples.data(), re.data(), im.data());
    for (int i = 0; i < kSpectrumBins; ++i)
        out[i] = std::sqrt(re[i] * re[i] + im[i] * im[i]) * 0.5f;
}

void ApplyHannWindow(float samples[kSpectrumSamples])
{
    for (int k = 0; k < kSpectrumSamples; ++k) {
        const double factor = 0.5 - 0.5 * std::cos(2.0 * M_PI * k / (kSpectrumSamples - 1));
        samples[k] = static_cast<float>(samples[k] * factor);
    }
}

void ComplexFFT(int n, const float* real, const float* imaginary, float* R, float* I)
{
    int bits = 0;
    while ((1 << bits) < n)
        ++bits;
    if (n < 1 || (1 << bits) != n || bits > 16) {
        LOG_ERROR("FFT size %d is not a power of two up to 65536", n);
        return;
    }
    const std::vector<uint32_t>& reverse = bitReversal(bits);
    for (int k = 0; k < n; ++k) {
        R[reverse[size_t(k)]] = real[k];
        I[reverse[size_t(k)]] = imaginary ? imaginary[k] : 0.0f;
    }
    for (int s = 2; s <= n; s <<= 1) {
        const int half = s / 2;
        const double d = 2.0 * M_PI / s;
        const double sm2 = std::sin(-2.0 * d), sm1 = std::sin(-d);
        const double cm2 = std::cos(-2.0 * d), cm1 = std::cos(-d);
        const double w = 2.0 * cm1;
        for (int p = 0; p < n; p += s) {
            double ar2 = cm2, ar1 = cm1, ai2 = sm2, ai1 = sm1;
            for (int m = 0; m < half; ++m) {
                const int a = p + m;
                const int b = a + half;
                const double ar0 = w * ar1 - ar2;
                ar2 = ar1;
                ar1 = ar0;
                const double ai0 = w * ai1 - ai2;
                ai2 = ai1;
                ai1 = ai0;
                const double tr = ar0 * R[b] - ai0 * I[b];
                const double ti = ar0 * I[b] + ai0 * R[b];
                R[b] = static_cast<float>(R[a] - tr);
                I[b] = static_cast<float>(I[a] - ti);
                R[a] = static_cast<float>(R[a] + tr);
                I[a] = static_cast<float>(I[a] + ti);
            }
        }
    }
}

void RealFFT(const float x[kSpectrumSamples], float R[kSpectrumBins], float I[kSpectrumBins])
{
    constexpr int n = kSpectrumBins;
    std::vector<float> even(n), odd(n);
    for (int i = 0; i < n; ++i) {
        even[size_t(i)] = x[2 * i];
        odd[size_t(i)] = x[2 * i + 1];
    }
    ComplexFFT(n, even.data(), odd.data(), R, I);

    // Untangles the two half-length transforms into the spectrum of the whole signal.
    const float wtemp = std::sin(static_cast<float>(M_PI) / 1024.0f);
    const float wpr = -2.0f * wtemp * wtemp;
    const float wpi = std::sin(static_cast<float>(M_PI) / 512.0f);
    float wr = 1.0f + wpr;
    float wi = wpi;
    for (int i = 1; i < n / 2; ++i) {
        const int j = n - i;
        const float h1r = 0.5f * (R[i] + R[j]);
        const float h1i = 0.5f * (I[i] - I[j]);
        const float h2r = 0.5f * (I[i] + I[j]);
        const float h2i = -0.5f * (R[i] - R[j]);
        R[i] = h1r + wr * h2r - wi * h2i;
        I[i] = h1i + wr * h2i + wi * h2r;
        R[j] = h1r - wr * h2r + wi * h2i;
        I[j] = -h1i + wr * h2i + wi * h2r;
        const float oldWr = wr;
        wr = wr + wr * wpr - wi * wpi;
        wi = wi + wi * wpr + oldWr * wpi;
    }
    const float r0 = R[0];
    R[0] = r0 + I[0];
    I[0] = r0 - I[0];
}

// ---- Component ----

texgenloopbackfx::texgenloopbackfx(const std::string& name)
    : KitComponent(kLoopbackRow, name), exported("texgenloopbackfx", this)
{
    CvarTreeRegisterEnum(&type, "Type", kLoopbackTypes, 1);
    CvarTreeRegisterInt(&width, "Width", 512);
    CvarTreeRegisterInt(&height, "Height", 512);
    CloseBranch();
    output = AddOutput("txt color", ResourceType::Texture);
}

bool texgenloopbackfx::CreateGpuObjects()
{
    texture = txtCreateNamed((name + ":Output").c_str(), TEXTURE_TYPE_2D, kSpectrumBins, kSpectrumBins,
                             IMAGE_TYPE_R16F);
    output->payload = exported.Publish(texture);
    return true;
}

texgenloopbackfx::~texgenloopbackfx()
{
    if (output)
        output->payload = nullptr;
    exported.Withdraw();
    txtDestroy(texture);
}

void texgenloopbackfx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }
void texgenloopbackfx::Init() { RecreateOutput(); }
void texgenloopbackfx::OnRenamed() { exported.Rename(); }

void texgenloopbackfx::OnCvarChanged(Cvar* cvar)
{
    if (cvar == &width || cvar == &height || cvar == &type)
        RecreateOutput();
}

void texgenloopbackfx::RecreateOutput()
{
    const int w = atLeastOne(width);
    const int h = atLeastOne(height);
    txtDestroy(texture);
    // txtCreateNamed starts from zeroed pixels, so the history restarts.
    texture = txtCreateNamed((name + ":Output").c_str(), TEXTURE_TYPE_2D, w, h, loopbackFormat(type.value[0]));
    output->payload = exported.Publish(texture);
}

void texgenloopbackfx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.functionItems.emplace_back([this](Camera*, Timestep time) { UpdateTexture(time); }, this);
    builder.functionItems.back().beforeScene = true;
}

void texgenloopbackfx::UpdateTexture(Timestep)
{
    if (!texture)
        return;
    const AudioRingBuffer* ring = loopbackEnsureStarted();
    // Without a capture there is nothing new to show.
    if (!ring)
        return;
    float spectrum[kSpectrumBins];
    ring->ComputeSpectrum(spectrum);
    PushSpectrum(spectrum);
}

void texgenloopbackfx::PushSpectrum(const float spectrum[kSpectrumBins])
{
    Image* image = texture ? texture->images[0] : nullptr;
    if (!image || !image->levels[0])
        return;
    const size_t w = static_cast<size_t>(image->width);
    const size_t h = static_cast<size_t>(image->height);
    const size_t bytesPerTexel = static_cast<size_t>(imgBytesForImageType(image->type));
    const size_t rowBytes = w * bytesPerTexel;
    uint8_t* pixels = image->levels[0];
    // Newest row first: everything moves down one row and the oldest falls off.
    if (h > 1)
        std::memmove(pixels + rowBytes, pixels, rowBytes * (h - 1));
    // Texel i shows the bin at the same relative frequency, whatever the width.
    for (size_t i = 0; i < w; ++i) {
        const float value = spectrum[i * kSpectrumBins / w];
        if (image->type == IMAGE_TYPE_R16F) {
            const uint16_t half = floatToHalf(value);
            std::memcpy(pixels + 2 * i, &half, sizeof half);
        } else {
            pixels[i] = static_cast<uint8_t>(std::clamp(value, 0.0f, 1.0f) * 255.0f + 0.5f);
        }
    }
    txtUpdate(texture);
}
