// Fixed 3D gradient noise: 256 unit gradients and a doubled permutation drawn from a Mersenne Twister seeded with
// 2016, so a point gives the same value on every run and machine.
#pragma once

class PerlinNoise {
public:
    PerlinNoise();
    virtual ~PerlinNoise() = default;

    // Roughly -1 .. 1; 0 at every lattice point. The lattice wraps every 256 units on each axis. A coordinate that
    // is not finite gives 0.
    float Noise(const float point[3]) const;

    float gradients[256][3];
    int permutation[512]; // a permutation of 0 .. 255, repeated in 256 .. 511
};
