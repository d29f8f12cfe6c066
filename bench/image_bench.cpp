// Decoding speed of the two image loaders on 2048 x 1024 files made here: a PNG and a run-length Radiance file.
#include "jni/engine/grd_image.h"

#include "app/data_files.h"

#include <benchmark/benchmark.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWidth = 2048;
constexpr int kHeight = 1024;

void appendToString(png_structp png, png_bytep data, size_t size)
{
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), size);
}

// A smooth picture with some noise, so the PNG compresses about as well as a real texture.
std::string makePng()
{
    std::vector<uint8_t> pixels(size_t(kWidth) * kHeight * 4);
    uint32_t noise = 12345;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            uint8_t* p = &pixels[(size_t(y) * kWidth + x) * 4];
            p[0] = uint8_t(x / 8 + (noise >> 29));
            p[1] = uint8_t(y / 4 + ((noise >> 26) & 3));
            p[2] = uint8_t(128 + 100 * std::sin(x * 0.01) * std::cos(y * 0.013));
            p[3] = 255;
        }
    std::vector<png_bytep> rows(kHeight);
    for (int y = 0; y < kHeight; ++y)
        rows[y] = &pixels[size_t(y) * kWidth * 4];

    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, appendToString, nullptr);
    png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// One channel of a new-form scanline: runs of 3 or more equal bytes, literals of at most 128 otherwise.
void encodeChannel(const std::vector<uint8_t>& values, std::string& out)
{
    const size_t n = values.size();
    size_t x = 0;
    while (x < n) {
        size_t run = 1;
        while (x + run < n && run < 127 && values[x + run] == values[x])
            ++run;
        if (run >= 3) {
            out.push_back(char(128 + run));
            out.push_back(char(values[x]));
            x += run;
            continue;
        }
        size_t literal = 0;
        while (x + literal < n && literal < 128) {
            if (x + literal + 2 < n && values[x + literal] == values[x + literal + 1] &&
                values[x + literal] == values[x + literal + 2])
                break;
            ++literal;
        }
        out.push_back(char(literal));
        out.append(reinterpret_cast<const char*>(&values[x]), literal);
        x += literal;
    }
}

// A sky-like gradient with a bright sun and some grain (so literals dominate, as in photographed maps), as RGBE.
std::string makeHdr()
{
    uint32_t noise = 777;
    std::string out = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(kHeight) + " +X " +
                      std::to_string(kWidth) + "\n";
    std::vector<uint8_t> channels[4];
    for (auto& c : channels)
        c.resize(kWidth);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const float dx = float(x - 1500) / kWidth, dy = float(y - 300) / kHeight;
            noise = noise * 1664525u + 1013904223u;
            const float grain = 1.0f + float(noise >> 24) / 2048.0f;
            const float sun = 50.0f / (1.0f + 4000.0f * (dx * dx + dy * dy)) * grain;
            const float rgb[3] = {(0.3f + 0.4f * y / kHeight) * grain + sun, 0.5f + 0.3f * y / kHeight + sun,
                                  (0.9f - 0.2f * y / kHeight) * grain + sun * 0.8f};
            const float largest = std::max(rgb[0], std::max(rgb[1], rgb[2]));
            int exponent = 0;
            const float mantissa = std::frexp(largest, &exponent) * 256.0f / largest;
            for (int c = 0; c < 3; ++c)
                channels[c][x] = uint8_t(rgb[c] * mantissa);
            channels[3][x] = uint8_t(exponent + 128);
        }
        out += {char(2), char(2), char(kWidth >> 8), char(kWidth & 0xFF)};
        for (const auto& c : channels)
            encodeChannel(c, out);
    }
    return out;
}

struct BenchFiles {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("image_bench_" + std::to_string(getpid()));
    size_t pngBytes = 0;
    size_t hdrBytes = 0;

    BenchFiles()
    {
        std::filesystem::create_directories(dir);
        const std::string png = makePng();
        const std::string hdr = makeHdr();
        std::ofstream(dir / "bench.png", std::ios::binary) << png;
        std::ofstream(dir / "bench.hdr", std::ios::binary) << hdr;
        pngBytes = png.size();
        hdrBytes = hdr.size();
        dataSetBasePath(dir.string() + "/");
    }
    ~BenchFiles() { std::filesystem::remove_all(dir); }
};

const BenchFiles& files()
{
    static BenchFiles instance;
    return instance;
}

// Loads and frees the file once per iteration; pixels per second are the figure to compare.
template <typename Load>
void decodeLoop(benchmark::State& state, size_t fileBytes, Load load)
{
    for (auto _ : state) {
        Image* image = load();
        if (!image) {
            state.SkipWithError("the file did not load");
            break;
        }
        benchmark::DoNotOptimize(image->levels[0]);
        imgDestroy(image);
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
    state.counters["file_bytes"] = double(fileBytes);
}

void BM_DecodePng2048x1024(benchmark::State& state)
{
    decodeLoop(state, files().pngBytes, [] { return imgLoad("bench.png"); });
}
BENCHMARK(BM_DecodePng2048x1024)->Unit(benchmark::kMillisecond);

void BM_DecodeHdr2048x1024(benchmark::State& state)
{
    const ImageType type = ImageType(state.range(0));
    decodeLoop(state, files().hdrBytes, [type] { return imgLoadTypeHDR("bench.hdr", type); });
}
BENCHMARK(BM_DecodeHdr2048x1024)->Arg(IMAGE_TYPE_RGB32F)->Arg(IMAGE_TYPE_RGB16F)->Unit(benchmark::kMillisecond);

} // namespace
