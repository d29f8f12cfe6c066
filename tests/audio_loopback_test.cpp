#include "components/audio_loopback.h"

#include "jni/engine/grd_image.h"
#include "jni/engine/grd_texture.h"

#include "project_test_util.h"
#include "shader_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

namespace {

std::vector<std::complex<double>> directDft(const std::vector<float>& x)
{
    const size_t n = x.size();
    std::vector<std::complex<double>> out(n / 2);
    for (size_t k = 0; k < n / 2; ++k)
        for (size_t t = 0; t < n; ++t)
            out[k] += double(x[t]) * std::polar(1.0, -2.0 * M_PI * double(k * t % n) / double(n));
    return out;
}

TEST(AudioSpectrum, RealFftMatchesADirectTransform)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> x(kSpectrumSamples);
    for (float& v : x)
        v = sample(random);
    std::vector<float> re(kSpectrumBins), im(kSpectrumBins);
    RealFFT(x.data(), re.data(), im.data());
    const std::vector<std::complex<double>> expected = directDft(x);

    // Bin 0 carries the DC term in re and the Nyquist term in im.
    double nyquist = 0.0;
    for (size_t t = 0; t < x.size(); ++t)
        nyquist += (t % 2 ? -1.0 : 1.0) * x[t];
    EXPECT_NEAR(re[0], expected[0].real(), 1e-3);
    EXPECT_NEAR(im[0], nyquist, 1e-3);
    for (int k = 1; k < kSpectrumBins; ++k)
        EXPECT_NEAR(std::hypot(re[size_t(k)], im[size_t(k)]), std::abs(expected[size_t(k)]), 2e-3) << "bin " << k;
}

TEST(AudioSpectrum, ComplexFftOfAnImpulseAndOfAPureTone)
{
    // An impulse at 0 gives a flat spectrum; with the kernel e^{+2 pi i k t / n}, the tone e^{-2 pi i 3 t / 16}
    // puts all of its energy into bin 3.
    std::vector<float> real(16, 0.0f), imag(16, 0.0f), outR(16), outI(16);
    real[0] = 1.0f;
    ComplexFFT(16, real.data(), nullptr, outR.data(), outI.data());
    for (int k = 0; k < 16; ++k) {
        EXPECT_NEAR(outR[size_t(k)], 1.0f, 1e-5f);
        EXPECT_NEAR(outI[size_t(k)], 0.0f, 1e-5f);
    }
    for (int t = 0; t < 16; ++t) {
        real[size_t(t)] = float(std::cos(2 * M_PI * 3 * t / 16));
        imag[size_t(t)] = float(-std::sin(2 * M_PI * 3 * t / 16));
    }
    ComplexFFT(16, real.data(), imag.data(), outR.data(), outI.data());
    for (int k = 0; k < 16; ++k)
        EXPECT_NEAR(std::hypot(outR[size_t(k)], outI[size_t(k)]), k == 3 ? 16.0f : 0.0f, 1e-4f) << k;
}

TEST(AudioSpectrum, UnitCosinePeaksAtItsBinAndSilenceIsZero)
{
    AudioRingBuffer ring;
    float spectrum[kSpectrumBins];
    ring.ComputeSpectrum(spectrum);
    EXPECT_TRUE(std::all_of(spectrum, spectrum + kSpectrumBins, [](float v) { return v == 0.0f; }));

    for (int bin : {1, 17, 100, 255, 400, 510}) {
        // Stereo frames whose mean is the cosine; the ring wraps around its end on the way.
        std::vector<float> frames(2 * 70000);
        for (size_t t = 0; t < 70000; ++t) {
            const float v = float(std::cos(2 * M_PI * bin * double(t) / kSpectrumSamples));
            frames[2 * t] = v + 0.25f;
            frames[2 * t + 1] = v - 0.25f;
        }
        ring.PushStereo(frames.data(), 70000);
        ring.ComputeSpectrum(spectrum);
        const int peak = int(std::max_element(spectrum, spectrum + kSpectrumBins) - spectrum);
        EXPECT_EQ(peak, bin);
        // N / 2 for the tone, halved by the window's mean and by the final scale.
        EXPECT_NEAR(spectrum[bin], kSpectrumSamples / 8.0f, 1.0f) << bin;
    }
}

TEST(AudioSpectrum, HalfConversionTable)
{
    struct Case {
        float value;
        uint16_t half;
    };
    const Case cases[] = {
        {1.0f, 0x3C00},
        {-2.0f, 0xC000},
        {65520.0f, 0x7C00},
        {1e9f, 0x7C00},
        {std::ldexp(1.0f, -15), 0x0200},
        {std::ldexp(1.0f, -25), 0x0001},
        {std::ldexp(1.0f, -26), 0x0000},
        {-std::ldexp(1.0f, -26), 0x8000},
        {std::numeric_limits<float>::infinity(), 0x7C00},
        {std::numeric_limits<float>::quiet_NaN(), 0x7E00},
        {65504.0f, 0x7BFF},
        {1.0f + std::ldexp(1.0f, -11), 0x3C01}, // the first dropped bit rounds up
    };
    for (const Case& c : cases)
        EXPECT_EQ(floatToHalf(c.value), c.half) << c.value;
}

// A capture that writes what it is given once, synchronously, or fails.
class FakeSource : public LoopbackSource {
public:
    FakeSource(bool works, std::vector<float> frames) : works_(works), frames_(std::move(frames)) {}
    bool Start(AudioRingBuffer& ring) override
    {
        if (works_)
            ring.PushStereo(frames_.data(), uint32_t(frames_.size() / 2));
        return works_;
    }

private:
    bool works_;
    std::vector<float> frames_;
};

class AudioLoopback : public shadertest::ShaderGLTest {
protected:
    projtest::ScopedProject project;
    std::function<std::unique_ptr<LoopbackSource>()> savedFactory = loopbackSourceFactory;
    int sourcesMade = 0;

    void SetUp() override
    {
        ShaderGLTest::SetUp();
        loopbackResetCapture();
    }
    void TearDown() override
    {
        for (EngineComponent* component : project.components)
            delete component;
        project.components.clear();
        loopbackResetCapture();
        loopbackSourceFactory = savedFactory;
        ShaderGLTest::TearDown();
    }
    void useSource(bool works, std::vector<float> frames = {})
    {
        loopbackSourceFactory = [this, works, frames] {
            ++sourcesMade;
            return std::make_unique<FakeSource>(works, frames);
        };
    }
    texgenloopbackfx* make(int w, int h)
    {
        auto* component = static_cast<texgenloopbackfx*>(texgenloopbackfx::Create("spectrum"));
        project.components.push_back(component);
        component->width.value[0] = float(w);
        component->height.value[0] = float(h);
        component->Init();
        return component;
    }
    // Texel (x, y) of the CPU copy as a float.
    static float texel(const texgenloopbackfx* c, int x, int y)
    {
        const Image* image = c->texture->images[0];
        uint16_t half;
        std::memcpy(&half, image->levels[0] + 2 * (size_t(y) * size_t(image->width) + size_t(x)), 2);
        return halfToFloat(half);
    }
    static float halfToFloat(uint16_t h)
    {
        const int e = (h >> 10) & 31;
        const int m = h & 1023;
        const float v = e == 0 ? std::ldexp(float(m), -24) : std::ldexp(float(m | 1024), e - 25);
        return (h & 0x8000) ? -v : v;
    }
    static std::vector<float> constantSpectrum(float v) { return std::vector<float>(kSpectrumBins, v); }
};

TEST_F(AudioLoopback, RowsHoldTheNewestSpectrumFirstAtAnyWidth)
{
    for (int w : {512, 100, 700}) {
        texgenloopbackfx* c = make(w, 4);
        for (int i = 1; i <= 5; ++i)
            c->PushSpectrum(constantSpectrum(float(i)).data());
        // Five pushes into four rows: 5, 4, 3, 2 from the top, and the oldest dropped.
        for (int row = 0; row < 4; ++row) {
            EXPECT_EQ(texel(c, 0, row), float(5 - row)) << w << " row " << row;
            EXPECT_EQ(texel(c, w - 1, row), float(5 - row)) << w << " row " << row;
        }
        project.components.pop_back();
        delete c;
    }
}

TEST_F(AudioLoopback, EachTexelShowsTheBinOfItsRelativeFrequency)
{
    std::vector<float> ramp(kSpectrumBins);
    for (int i = 0; i < kSpectrumBins; ++i)
        ramp[size_t(i)] = float(i);
    texgenloopbackfx* c = make(128, 2);
    c->PushSpectrum(ramp.data());
    for (int x : {0, 1, 64, 127})
        EXPECT_EQ(texel(c, x, 0), float(x * 4));
}

TEST_F(AudioLoopback, HeightChangeClearsTheHistory)
{
    texgenloopbackfx* c = make(512, 8);
    c->PushSpectrum(constantSpectrum(2.0f).data());
    c->height.value[0] = 16;
    c->OnCvarChanged(&c->height);
    EXPECT_EQ(c->texture->images[0]->height, 16);
    EXPECT_EQ(texel(c, 3, 0), 0.0f);
    EXPECT_EQ(c->output->payload, c->exported.record());
    EXPECT_EQ(c->exported.record()->GetTexture(), c->texture);
}

TEST_F(AudioLoopback, CapturedToneBecomesRowZeroAndTwoComponentsShareOneCapture)
{
    std::vector<float> frames(2 * 2048);
    for (size_t t = 0; t < 2048; ++t)
        frames[2 * t] = frames[2 * t + 1] = float(std::cos(2 * M_PI * 64 * double(t) / kSpectrumSamples));
    useSource(true, frames);
    texgenloopbackfx* a = make(512, 4);
    texgenloopbackfx* b = make(512, 4);
    a->UpdateTexture(Timestep{});
    b->UpdateTexture(Timestep{});
    EXPECT_EQ(sourcesMade, 1);
    for (texgenloopbackfx* c : {a, b}) {
        EXPECT_NEAR(texel(c, 64, 0), kSpectrumSamples / 8.0f, 1.0f);
        EXPECT_LT(texel(c, 200, 0), 1e-2f);
    }
}

TEST_F(AudioLoopback, WithoutACaptureTheTextureStaysAndTheOpenIsNotRetried)
{
    useSource(false);
    texgenloopbackfx* c = make(512, 4);
    c->PushSpectrum(constantSpectrum(3.0f).data());
    for (int i = 0; i < 3; ++i)
        c->UpdateTexture(Timestep{});
    EXPECT_EQ(sourcesMade, 1);
    EXPECT_EQ(loopbackRing, nullptr);
    EXPECT_EQ(texel(c, 10, 0), 3.0f);
    EXPECT_EQ(texel(c, 10, 1), 0.0f);
}

} // namespace
