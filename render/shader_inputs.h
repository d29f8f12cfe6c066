// The lookup textures and time uniforms every shader program may declare: noise, blue noise, the LTC tables of
// area lights, the BRDF table, the gradient and curve textures, and "g_time" with its siblings.
// Created once at start-up; main thread only.
#pragma once

#include <cstdint>

struct Image;
struct ShaderProgram;
struct Texture;
struct TextureArray;
struct Timestep;

// The engine's shared 96-bit xorshift generator. Users that need a fixed sequence seed it themselves first.
struct Xorshift96 {
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t z = 0;

    void seed(uint32_t sx, uint32_t sy, uint32_t sz)
    {
        x = sx;
        y = sy;
        z = sz;
    }
    // One step; the result is the new z.
    uint32_t next()
    {
        uint32_t t = x ^ (x << 16);
        t ^= t >> 5;
        t ^= t << 1;
        x = y;
        y = z;
        z = t ^ x ^ y;
        return z;
    }
};
extern Xorshift96 rendererXorshift;

constexpr int kNoiseTextureSize = 256;
// Green of the RGBA noise repeats red this many texels further along, wrapping.
constexpr int kNoiseGreenShiftColumns = 37;
constexpr int kNoiseGreenShiftRows = 17;

// Null until rendererInitGlobalInputs.
extern Texture* noiseTextureR;    // "s_NoiseR", 256 x 256 R8
extern Texture* noiseTextureRGBA; // "s_NoiseRGBA", 256 x 256 RGBA8
extern Texture* ltcTexture1;      // "s_LTC1", 64 x 64 RGBA32F
extern Texture* ltcTexture2;      // "s_LTC2", 64 x 64 RGBA32F
extern Texture* brdfLutTexture;   // "s_BRDF", 256 x 256 RG16F
extern TextureArray* blueNoiseArray; // "s_BlueNoise", 16 layers

// Seamless cube filtering, the textures above, then the built-in root materials. Later calls create only what is
// missing.
void rendererInitGlobalInputs();
// Binds the shared samplers the program declares and writes the time uniforms it declares ("g_global_time",
// "g_time", "g_monotonic", "g_time_step"); uploaded at once when the program is current, else at its next use.
void rendererBindGlobalInputs(ShaderProgram* program, const Timestep& timestep);

// The pieces of rendererInitGlobalInputs, each a new texture the caller owns (tests make their own).
// Both noise images filled from the generator seeded with the noise seeds; the generator keeps the state reached.
void rendererFillNoise(Image* noiseR, Image* noiseRGBA);
Texture* rendererCreateLtcTexture(const float* table);
// From "brdf_256_256_halffloat.raw"; a missing or short file gives the analytic fit (logged).
Texture* rendererCreateBrdfTexture();
// "textures/bluenoise/128/LDR_RGBA_{0}.png" 0 to 15 as one array; a layer that cannot be loaded is logged and
// replaced, so every layer of the GL array is written.
TextureArray* rendererCreateBlueNoiseArray();
// Frees an array made above with its layers.
void rendererDestroyTextureArray(TextureArray* array);
