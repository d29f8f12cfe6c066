// Blue-noise threshold maps by void and cluster: 16 RGBA PNG layers of 128 x 128, every channel an independent
// map, each 8-bit value taken by exactly 64 texels.
//
//   generate_bluenoise <output folder>    writes LDR_RGBA_0.png ... LDR_RGBA_15.png
//
// Energies are integers, seeds fixed and ties broken by the lowest index, so every build writes the same files.
#include "generated_file.h"

#include <png.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSide = 128;
constexpr int kMask = kSide - 1;
constexpr int kPixels = kSide * kSide;
constexpr int kLayers = 16;
constexpr int kChannels = 4;
constexpr int kRadius = 7;            // the Gaussian is below 0.2 % of its peak past this
constexpr double kSigma = 1.9;
constexpr int kInitialOnes = kPixels / 10;

struct Kernel {
    int32_t weights[2 * kRadius + 1][2 * kRadius + 1];
    Kernel()
    {
        for (int dy = -kRadius; dy <= kRadius; ++dy)
            for (int dx = -kRadius; dx <= kRadius; ++dx)
                weights[dy + kRadius][dx + kRadius] =
                    static_cast<int32_t>(std::lround(65536.0 * std::exp(-(dx * dx + dy * dy) / (2 * kSigma * kSigma))));
    }
};
const Kernel kernel;

// The binary pattern, the energy every pixel receives from the set pixels around it (toroidal), and per row the
// most crowded set pixel and the emptiest clear one, so each step scans rows instead of every pixel.
class Pattern {
public:
    Pattern() : set_(kPixels, 0), energy_(kPixels, 0), rowCluster_(kSide, -1), rowVoid_(kSide, -1) {}

    void toggle(int p)
    {
        set_[p] ^= 1;
        const int32_t sign = set_[p] ? 1 : -1;
        const int x = p & kMask, y = p / kSide;
        for (int dy = -kRadius; dy <= kRadius; ++dy) {
            const int row = ((y + dy) & kMask) * kSide;
            for (int dx = -kRadius; dx <= kRadius; ++dx)
                energy_[row + ((x + dx) & kMask)] += sign * kernel.weights[dy + kRadius][dx + kRadius];
        }
        for (int dy = -kRadius; dy <= kRadius; ++dy)
            refreshRow((y + dy) & kMask);
    }
    void refreshAll()
    {
        for (int y = 0; y < kSide; ++y)
            refreshRow(y);
    }
    int tightestCluster() const { return best(rowCluster_, true); }
    int largestVoid() const { return best(rowVoid_, false); }

private:
    void refreshRow(int y)
    {
        int cluster = -1, hole = -1;
        for (int p = y * kSide; p < (y + 1) * kSide; ++p) {
            if (set_[p]) {
                if (cluster < 0 || energy_[p] > energy_[cluster])
                    cluster = p;
            } else if (hole < 0 || energy_[p] < energy_[hole]) {
                hole = p;
            }
        }
        rowCluster_[y] = cluster;
        rowVoid_[y] = hole;
    }
    int best(const std::vector<int>& rows, bool highest) const
    {
        int result = -1;
        for (int p : rows) {
            if (p < 0)
                continue;
            if (result < 0 || (highest ? energy_[p] > energy_[result] : energy_[p] < energy_[result]) ||
                (energy_[p] == energy_[result] && p < result))
                result = p;
        }
        return result;
    }

    std::vector<uint8_t> set_;
    std::vector<int32_t> energy_;
    std::vector<int> rowCluster_, rowVoid_;
};

uint32_t nextRandom(uint32_t& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Rank 0 .. kPixels - 1 of every pixel.
std::vector<uint16_t> voidAndCluster(uint32_t seed)
{
    Pattern initial;
    uint32_t random = seed * 2654435761u + 1u;
    std::vector<uint8_t> taken(kPixels, 0);
    for (int placed = 0; placed < kInitialOnes;) {
        const int p = static_cast<int>(nextRandom(random) % kPixels);
        if (!taken[p]) {
            taken[p] = 1;
            initial.toggle(p);
            ++placed;
        }
    }
    // Spread the initial pattern: move the most crowded point to the emptiest place until that changes nothing.
    for (int step = 0; step < 4 * kPixels; ++step) {
        const int cluster = initial.tightestCluster();
        initial.toggle(cluster);
        const int hole = initial.largestVoid();
        initial.toggle(hole);
        if (hole == cluster)
            break;
    }

    std::vector<uint16_t> rank(kPixels, 0);
    // Below the initial count: remove points from the crowded places first, highest rank first.
    Pattern removing = initial;
    for (int r = kInitialOnes - 1; r >= 0; --r) {
        const int p = removing.tightestCluster();
        removing.toggle(p);
        rank[p] = static_cast<uint16_t>(r);
    }
    // From there up: fill the largest voids. Past half this is also the tightest cluster of the unset pixels,
    // whose energy is the constant kernel sum minus this one.
    Pattern filling = initial;
    for (int r = kInitialOnes; r < kPixels; ++r) {
        const int p = filling.largestVoid();
        filling.toggle(p);
        rank[p] = static_cast<uint16_t>(r);
    }
    return rank;
}

void appendBytes(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

bool encodePng(const std::vector<uint8_t>& rgba, std::vector<uint8_t>& out)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, appendBytes, nullptr);
    png_set_IHDR(png, info, kSide, kSide, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < kSide; ++y)
        png_write_row(png, const_cast<png_bytep>(rgba.data() + size_t(y) * kSide * 4));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: generate_bluenoise <output folder>\n");
        return 2;
    }
    const std::string folder = argv[1];

    std::vector<std::vector<uint16_t>> maps(kLayers * kChannels);
    std::atomic<int> next{0};
    auto work = [&] {
        for (int m = next++; m < kLayers * kChannels; m = next++)
            maps[m] = voidAndCluster(static_cast<uint32_t>(m + 1));
    };
    std::vector<std::thread> threads;
    const unsigned count = std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
    for (unsigned t = 0; t < count; ++t)
        threads.emplace_back(work);
    for (std::thread& thread : threads)
        thread.join();

    for (int layer = 0; layer < kLayers; ++layer) {
        std::vector<uint8_t> rgba(size_t(kPixels) * kChannels);
        for (int p = 0; p < kPixels; ++p)
            for (int c = 0; c < kChannels; ++c)
                rgba[size_t(p) * kChannels + c] = static_cast<uint8_t>(maps[layer * kChannels + c][p] / (kPixels / 256));
        std::vector<uint8_t> png;
        const std::string path = folder + "/LDR_RGBA_" + std::to_string(layer) + ".png";
        if (!encodePng(rgba, png)) {
            std::fprintf(stderr, "generate_bluenoise: cannot encode %s\n", path.c_str());
            return 1;
        }
        if (!writeGeneratedFile(path, png.data(), png.size(), "generate_bluenoise"))
            return 1;
    }
    std::printf("generate_bluenoise: %d layers of %d x %d in %s\n", kLayers, kSide, kSide, folder.c_str());
    return 0;
}
