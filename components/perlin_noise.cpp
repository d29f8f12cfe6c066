#include "components/perlin_noise.h"

#include <cmath>
#include <random>
#include <utility>

namespace {

// u in [0, 1] from two consecutive outputs, then one gradient component 2u - 1 (in double, then float).
float drawComponent(std::mt19937& generator)
{
    const double r1 = static_cast<double>(generator());
    const double r2 = static_cast<double>(generator());
    const double u = (r1 + r2 * 4294967296.0) / 18446744073709551616.0;
    return static_cast<float>(2.0 * u - 1.0);
}

float fade(float t) { return t * t * t * (t * (t * 6.0f - 15.0f) + 10.0f); }

float lerp(float l, float r, float s) { return l * (1.0f - s) + r * s; }

} // namespace

PerlinNoise::PerlinNoise()
{
    // Two copies of one freshly seeded generator: the gradient draws do not advance the permutation's copy.
    std::mt19937 gradientSource(2016);
    std::mt19937 permutationSource(2016);
    for (int i = 0; i < 256; ++i) {
        float x, y, z, length2;
        // Rejection inside the unit ball gives directions without a bias toward the cube's corners; a zero vector
        // has no direction either.
        do {
            z = drawComponent(gradientSource);
            y = drawComponent(gradientSource);
            x = drawComponent(gradientSource);
            length2 = y * y + x * x + z * z;
        } while (length2 > 1.0f || length2 == 0.0f);
        const float length = std::sqrt(length2);
        gradients[i][0] = x / length;
        gradients[i][1] = y / length;
        gradients[i][2] = z / length;
        permutation[i] = i;
    }
    for (int k = 0; k < 256; ++k) {
        const auto j = static_cast<int>(permutationSource() & 255u);
        std::swap(permutation[k], permutation[j]);
    }
    for (int i = 0; i < 256; ++i)
        permutation[256 + i] = permutation[i];
}

float PerlinNoise::Noise(const float point[3]) const
{
    int cell[3];
    float t[3];
    for (int a = 0; a < 3; ++a) {
        if (!std::isfinite(point[a]))
            return 0.0f;
        const float f = std::floor(point[a]);
        // The cell index modulo 256, exact for every finite float (a plain int conversion overflows past 2^31).
        double wrapped = std::fmod(static_cast<double>(f), 256.0);
        if (wrapped < 0.0)
            wrapped += 256.0;
        cell[a] = static_cast<int>(wrapped) & 255;
        t[a] = point[a] - f;
    }
    auto corner = [&](int a, int b, int c) {
        const int h = permutation[permutation[permutation[(cell[0] + a) & 255] + ((cell[1] + b) & 255)] +
                                  ((cell[2] + c) & 255)];
        const float* g = gradients[h];
        return g[0] * (t[0] - static_cast<float>(a)) + g[1] * (t[1] - static_cast<float>(b)) +
               g[2] * (t[2] - static_cast<float>(c));
    };
    const float u = fade(t[0]), v = fade(t[1]), w = fade(t[2]);
    const float x00 = lerp(corner(0, 0, 0), corner(1, 0, 0), u);
    const float x10 = lerp(corner(0, 1, 0), corner(1, 1, 0), u);
    const float x01 = lerp(corner(0, 0, 1), corner(1, 0, 1), u);
    const float x11 = lerp(corner(0, 1, 1), corner(1, 1, 1), u);
    return lerp(lerp(x00, x10, v), lerp(x01, x11, v), w);
}
