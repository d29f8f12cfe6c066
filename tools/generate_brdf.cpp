// Integrates the split-sum environment BRDF table: for GGX with Smith masking and Schlick Fresnel, the scale and
// bias that turn F0 into the specular response, F0 * scale + bias.
//
//   generate_brdf <brdf_256_256_halffloat.raw>
//
// 256 rows (roughness (r + 0.5) / 256) of 256 texels (n.v = (c + 0.5) / 256), each two half floats in host byte
// order. Importance-sampled with a fixed Hammersley set, so every build writes the same bytes.
#include "generated_file.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int kSize = 256;
constexpr uint32_t kSamples = 512;
constexpr double kPi = 3.14159265358979323846;

// IEEE half, rounded to nearest even; the table holds values in 0..1.
uint16_t toHalf(float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint32_t sign = (bits >> 16) & 0x8000u;
    const int32_t exponent = static_cast<int32_t>((bits >> 23) & 0xFF) - 127 + 15;
    uint32_t mantissa = bits & 0x7FFFFFu;
    if (exponent >= 31)
        return static_cast<uint16_t>(sign | 0x7C00u);
    if (exponent <= 0) {
        if (exponent < -10)
            return static_cast<uint16_t>(sign);
        mantissa |= 0x800000u;
        const uint32_t shift = static_cast<uint32_t>(14 - exponent);
        uint32_t half = mantissa >> shift;
        const uint32_t rest = mantissa & ((1u << shift) - 1);
        const uint32_t midpoint = 1u << (shift - 1);
        if (rest > midpoint || (rest == midpoint && (half & 1)))
            ++half;
        return static_cast<uint16_t>(sign | half);
    }
    uint32_t half = (static_cast<uint32_t>(exponent) << 10) | (mantissa >> 13);
    const uint32_t rest = mantissa & 0x1FFFu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1)))
        ++half; // may carry into the exponent, which is still the right rounding
    return static_cast<uint16_t>(sign | half);
}

double radicalInverse(uint32_t bits)
{
    bits = (bits << 16) | (bits >> 16);
    bits = ((bits & 0x55555555u) << 1) | ((bits & 0xAAAAAAAAu) >> 1);
    bits = ((bits & 0x33333333u) << 2) | ((bits & 0xCCCCCCCCu) >> 2);
    bits = ((bits & 0x0F0F0F0Fu) << 4) | ((bits & 0xF0F0F0F0u) >> 4);
    bits = ((bits & 0x00FF00FFu) << 8) | ((bits & 0xFF00FF00u) >> 8);
    return bits * 2.3283064365386963e-10;
}

void integrate(double nDotV, double roughness, float* scale, float* bias)
{
    const double alpha = roughness * roughness;
    const double k = alpha / 2.0; // Smith-Schlick k for image-based lighting
    const double vx = std::sqrt(std::max(0.0, 1.0 - nDotV * nDotV)), vz = nDotV;
    double a = 0.0, b = 0.0;
    for (uint32_t i = 0; i < kSamples; ++i) {
        const double u = (i + 0.5) / kSamples;
        const double v = radicalInverse(i);
        // GGX half vector around the normal (0, 0, 1).
        const double phi = 2.0 * kPi * u;
        const double cosTheta = std::sqrt((1.0 - v) / (1.0 + (alpha * alpha - 1.0) * v));
        const double sinTheta = std::sqrt(std::max(0.0, 1.0 - cosTheta * cosTheta));
        // V lies in the x-z plane, so the y component of H plays no part in v.h or l.z.
        const double hx = sinTheta * std::cos(phi), hz = cosTheta;
        const double vDotH = vx * hx + vz * hz;
        const double lz = 2.0 * vDotH * hz - vz;
        if (lz <= 0.0 || vDotH <= 0.0)
            continue;
        const double gV = nDotV / (nDotV * (1.0 - k) + k);
        const double gL = lz / (lz * (1.0 - k) + k);
        const double visibility = gV * gL * vDotH / (hz * nDotV);
        const double fresnel = std::pow(1.0 - vDotH, 5.0);
        a += (1.0 - fresnel) * visibility;
        b += fresnel * visibility;
    }
    *scale = static_cast<float>(a / kSamples);
    *bias = static_cast<float>(b / kSamples);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: generate_brdf <output.raw>\n");
        return 2;
    }
    std::vector<uint16_t> table(size_t(kSize) * kSize * 2);
    std::atomic<int> nextRow{0};
    auto work = [&] {
        for (int row = nextRow++; row < kSize; row = nextRow++) {
            for (int column = 0; column < kSize; ++column) {
                float scale, bias;
                integrate((column + 0.5) / kSize, (row + 0.5) / kSize, &scale, &bias);
                const size_t texel = size_t(row) * kSize + column;
                table[2 * texel] = toHalf(scale);
                table[2 * texel + 1] = toHalf(bias);
            }
        }
    };
    std::vector<std::thread> threads;
    const unsigned count = std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
    for (unsigned t = 0; t < count; ++t)
        threads.emplace_back(work);
    for (std::thread& thread : threads)
        thread.join();

    if (!writeGeneratedFile(argv[1], table.data(), table.size() * sizeof(uint16_t), "generate_brdf"))
        return 1;
    std::printf("generate_brdf: %s, %d x %d, %u samples per texel\n", argv[1], kSize, kSize, kSamples);
    return 0;
}
