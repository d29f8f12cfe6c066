// The per-frame spectrum of the audio texture (window, FFT, magnitudes of the newest 1024 samples) and the mesh
// build of a 100-character 3D text (outlines, contours, caps and walls), both on the CPU.
#include "components/audio_loopback.h"
#include "components/text_object.h"

#include "app/data_files.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

void BM_Spectrum(benchmark::State& state)
{
    AudioRingBuffer ring;
    std::vector<float> frames(2 * 4096);
    for (size_t t = 0; t < 4096; ++t)
        frames[2 * t] = frames[2 * t + 1] = float(std::sin(0.05 * double(t)) + 0.3 * std::sin(0.31 * double(t)));
    ring.PushStereo(frames.data(), 4096);
    float spectrum[kSpectrumBins];
    for (auto _ : state) {
        ring.ComputeSpectrum(spectrum);
        benchmark::DoNotOptimize(spectrum);
    }
}
BENCHMARK(BM_Spectrum)->Unit(benchmark::kMicrosecond);

void BM_TextMesh100(benchmark::State& state)
{
    dataSetBasePath(std::string(ENGINE_SOURCE_DIR) + "assets/");
    std::string text;
    const std::string line = "The quick brown fox jumps over the lazy dog 0123456789 ";
    while (text.size() < 100)
        text += line;
    text.resize(100);
    TextMesh mesh;
    size_t triangles = 0;
    for (auto _ : state) {
        buildTextMesh(mesh, text, textobjectfx::kFontPath, 8.0f, 1.0f, 1.0f);
        triangles = (mesh.caps.size() + mesh.walls.size()) / 3;
        benchmark::DoNotOptimize(mesh.positions.data());
    }
    state.counters["vertices"] = double(mesh.VertexCount());
    state.counters["triangles"] = double(triangles);
}
BENCHMARK(BM_TextMesh100)->Unit(benchmark::kMillisecond);

} // namespace
