// The data behind the shared lookup textures every shader may sample: the split-sum BRDF table, the blue-noise
// layers (asset files the build generates) and the two LTC tables of area lights (compiled into the program).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Image;

// ---- BRDF table ----
// 256 rows of 256 texels, each two half floats (scale, bias) in host byte order, rows in file order: the texel at
// row r, column c integrates GGX for n.v = (c + 0.5) / 256 and roughness = (r + 0.5) / 256, so a shader samples
// it at (n.v, roughness). The specular term is F0 * scale + bias.
constexpr int BRDF_TABLE_DIMENSION = 256;
constexpr size_t BRDF_TABLE_BYTES = 262144;
extern const char* const brdfTableFile; // "brdf_256_256_halffloat.raw", relative to the asset base path

// Fills `out` (BRDF_TABLE_BYTES) from the file. A missing or short file is logged and the table is filled from an
// analytic fit instead; the result is false then.
bool sharedInputsReadBrdfTable(uint8_t* out);
// The analytic fit alone: (scale, bias) for one n.v and roughness.
void brdfApproximation(float nDotV, float roughness, float* scale, float* bias);

// ---- Blue noise ----
constexpr int BLUE_NOISE_LAYERS = 16;
constexpr int BLUE_NOISE_DIMENSION = 128;
// "textures/bluenoise/128/LDR_RGBA_{0}.png" with the layer number.
std::string blueNoiseLayerPath(int layer);
// Layer `layer` as loaded. A file that is missing, unreadable or unlike `reference` (layer 0, which fixes size and
// type of the texture array; null when loading layer 0) is logged and replaced by white noise of the reference's
// size and type (128 x 128 RGBA8 without one). Never null; the caller owns the image.
Image* sharedInputsLoadBlueNoiseLayer(int layer, const Image* reference);

// ---- LTC tables ----
// The published 64 x 64 GGX fits of linearly transformed cosines, 64 rows of 64 entries of four floats (65,536
// bytes each), converted at build time. The first holds the inverse transformation matrix's four coefficients per
// entry, the second (norm, Fresnel term, 0, horizon-clipping factor).
constexpr int LTC_TABLE_DIMENSION = 64;
constexpr int LTC_TABLE_FLOATS = LTC_TABLE_DIMENSION * LTC_TABLE_DIMENSION * 4;
extern const float ltcTable1[LTC_TABLE_FLOATS];
extern const float ltcTable2[LTC_TABLE_FLOATS];
