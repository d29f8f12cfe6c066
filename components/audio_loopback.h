// A scrolling spectrogram of what the machine is playing: the output's monitor stream is captured into a ring of
// mono samples, and every frame a 512-bin magnitude spectrum of the newest 1024 samples becomes row 0 of a half
// float texture whose older rows move down by one.
#pragma once

#include "components/component_kit.h"
#include "components/texture_components.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

constexpr int kSpectrumSamples = 1024;
constexpr int kSpectrumBins = 512;

// Mono samples in a ring. The capture thread writes samples and then publishes the write index (release); the
// frame reads the index (acquire) and then the samples before it.
struct AudioRingBuffer {
    static constexpr uint32_t kCapacity = 65536;

    std::atomic<uint32_t> writeIndex{0};
    std::vector<float> data = std::vector<float>(kCapacity, 0.0f);

    // Appends the mean of each interleaved stereo frame.
    void PushStereo(const float* interleaved, uint32_t frames);
    // The 1024 most recent samples, oldest first, Hann-windowed, as 512 magnitudes |X_k| / 2.
    void ComputeSpectrum(float out[kSpectrumBins]) const;
};

// samples[k] *= 0.5 - 0.5 cos(2 pi k / 1023).
void ApplyHannWindow(float samples[kSpectrumSamples]);
// DFT of 1024 real samples: bins 0 .. 511 (bin 0 holds the DC term in re and the Nyquist term in im). Only the
// magnitudes are used; the phases follow ComplexFFT's kernel.
void RealFFT(const float samples[kSpectrumSamples], float re[kSpectrumBins], float im[kSpectrumBins]);
// Unscaled DFT of n (a power of two, at most 65536) values with the kernel e^(+2 pi i k t / n); imaginary may be
// null (zeros).
void ComplexFFT(int n, const float* real, const float* imaginary, float* outReal, float* outImaginary);

// Something that feeds the ring from the machine's output on a thread of its own.
class LoopbackSource {
public:
    virtual ~LoopbackSource() = default;
    // Starts feeding the ring; false (after its own log line) when there is nothing to capture.
    virtual bool Start(AudioRingBuffer& ring) = 0;
};

// The PulseAudio monitor of the default output.
std::unique_ptr<LoopbackSource> makePulseLoopbackSource();

// Makes the process's source on first use; tests put in their own.
extern std::function<std::unique_ptr<LoopbackSource>()> loopbackSourceFactory;
// The process's ring: null before the first loopback job and when the capture could not be started.
extern AudioRingBuffer* loopbackRing;
// Opens the capture once for the whole process (a failure is not retried). Returns the ring or null.
AudioRingBuffer* loopbackEnsureStarted();
// Stops and forgets the capture so that the next job opens it again (tests).
void loopbackResetCapture();

class texgenloopbackfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<texgenloopbackfx>(name); }
    ~texgenloopbackfx() override;

    void OnInputConnected(int32_t pinId) override;
    void Init() override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    void OnCvarChanged(Cvar* cvar) override;
    void OnRenamed() override;
    bool IsDependencyOnly() override { return false; }

    // A zeroed texture of "Width" x "Height" (each at least 1, written back) in the format of "Type".
    void RecreateOutput();
    // The frame's job: the ring's spectrum into row 0, older rows down by one, then the upload.
    void UpdateTexture(Timestep time);
    // The same with a given spectrum (no capture involved).
    void PushSpectrum(const float spectrum[kSpectrumBins]);

    Cvar width;
    Cvar height;
    Cvar type;
    TextureExport exported;
    OutputPin* output = nullptr;
    Texture* texture = nullptr;

protected:
    explicit texgenloopbackfx(const std::string& name);
    bool CreateGpuObjects() override;
};
