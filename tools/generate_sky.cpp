// Writes the shipped environment map: a small equirectangular Radiance sky with a sun.
//
//   generate_sky <sky.hdr>
//
// 512 x 256, flat (uncompressed) RGBE scanlines. The first row is the zenith (the cube's +Y face), the last the
// nadir; the middle column looks along +X and the columns turn through a full circle, as the engine's cube
// conversion reads an equirectangular image. Pure arithmetic, so every build writes the same bytes.
#include "generated_file.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 512;
constexpr int kHeight = 256;
constexpr double kPi = 3.14159265358979323846;

struct Rgb {
    double r, g, b;
};

Rgb mix(Rgb a, Rgb b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// Radiance's shared-exponent form: the largest channel sets the exponent.
void toRgbe(Rgb c, uint8_t out[4])
{
    const double largest = std::max(c.r, std::max(c.g, c.b));
    if (largest < 1e-32) {
        out[0] = out[1] = out[2] = out[3] = 0;
        return;
    }
    int exponent = 0;
    const double mantissa = std::frexp(largest, &exponent) * 256.0 / largest;
    out[0] = static_cast<uint8_t>(std::clamp(c.r * mantissa, 0.0, 255.0));
    out[1] = static_cast<uint8_t>(std::clamp(c.g * mantissa, 0.0, 255.0));
    out[2] = static_cast<uint8_t>(std::clamp(c.b * mantissa, 0.0, 255.0));
    out[3] = static_cast<uint8_t>(exponent + 128);
}

Rgb sky(double lon, double lat)
{
    const Rgb zenith{0.18, 0.34, 0.80};
    const Rgb horizon{0.85, 0.80, 0.72};
    const Rgb groundNear{0.30, 0.26, 0.21};
    const Rgb groundFar{0.12, 0.10, 0.08};
    // A low sun, so rough surfaces get a warm side and a cool side.
    const double sunLon = 0.6, sunLat = 0.45;
    const double dx = std::cos(lat) * std::cos(lon), dy = std::sin(lat), dz = std::cos(lat) * std::sin(lon);
    const double sx = std::cos(sunLat) * std::cos(sunLon), sy = std::sin(sunLat), sz = std::cos(sunLat) * std::sin(sunLon);
    const double cosAngle = std::clamp(dx * sx + dy * sy + dz * sz, -1.0, 1.0);
    const double angle = std::acos(cosAngle);

    Rgb c;
    if (lat >= 0.0) {
        c = mix(horizon, zenith, std::pow(lat / (kPi / 2.0), 0.6));
        // Glow around the sun, then its disc (about 3 degrees across).
        const double glow = 0.8 * std::exp(-angle * angle / 0.08);
        c = {c.r + glow, c.g + glow * 0.85, c.b + glow * 0.6};
        if (angle < 0.026)
            c = {60.0, 54.0, 44.0};
    } else {
        c = mix(groundNear, groundFar, std::pow(-lat / (kPi / 2.0), 0.5));
    }
    return c;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: generate_sky <sky.hdr>\n");
        return 2;
    }
    std::string header = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y " + std::to_string(kHeight) + " +X " +
                         std::to_string(kWidth) + "\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    for (int y = 0; y < kHeight; ++y) {
        const double lat = kPi / 2.0 - (y + 0.5) / kHeight * kPi;
        for (int x = 0; x < kWidth; ++x) {
            const double lon = (x + 0.5) / kWidth * 2.0 * kPi - kPi;
            uint8_t rgbe[4];
            toRgbe(sky(lon, lat), rgbe);
            // A flat pixel must not look like a repeat code (1, 1, 1, n).
            if (rgbe[0] == 1 && rgbe[1] == 1 && rgbe[2] == 1)
                rgbe[2] = 2;
            bytes.insert(bytes.end(), rgbe, rgbe + 4);
        }
    }
    return writeGeneratedFile(argv[1], bytes.data(), bytes.size(), "generate_sky") ? 0 : 1;
}
