// "CurveTexture": the curves of curve parameters baked into rows of a shared half-float texture that shaders
// sample. Rows are handed out anew in every graph render.
#pragma once

#include <cstdint>

struct Curve;
struct Texture;

constexpr int kCurveTextureWidth = 128;
constexpr int kCurveTextureRows = 256;

// The next free row; the graph render sets it to 0 when it starts.
extern int32_t curveTextureNextRow;

// The texture (128 x 256, one half-float channel, with a CPU copy of its pixels), created on first use.
Texture* rendererGetCurveTexture();

// Bakes the curve into the next free row, uploads that row and returns it (also stored in curve.row). When all
// 256 rows of this render are taken, nothing is written, a warning is logged once per render and the answer is -1.
int32_t curveTextureAddRow(Curve& curve);

// A value as the lookup textures store it: a half float, with non-finite values as 0 and the rest clamped to the
// half-float range, so a degenerate curve or gradient never puts NaN or infinity into a texture.
uint16_t lookupTextureHalf(float value);
