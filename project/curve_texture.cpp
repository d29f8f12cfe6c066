#include "project/curve_texture.h"

#include "app/log.h"
#include "jni/engine/grd_texture.h"
#include "project/curves.h"

#include <cmath>

int32_t curveTextureNextRow = 0;

namespace {

Texture* curveTexture = nullptr;

} // namespace

uint16_t lookupTextureHalf(float value)
{
    constexpr float kHalfMax = 65504.0f;
    if (!std::isfinite(value))
        return floatToHalf(0.0f);
    return floatToHalf(value > kHalfMax ? kHalfMax : value < -kHalfMax ? -kHalfMax : value);
}

Texture* rendererGetCurveTexture()
{
    if (!curveTexture)
        curveTexture = txtCreateNamed("CurveTexture", TEXTURE_TYPE_2D, kCurveTextureWidth, kCurveTextureRows,
                                      IMAGE_TYPE_R16F);
    return curveTexture;
}

int32_t curveTextureAddRow(Curve& curve)
{
    Texture* texture = rendererGetCurveTexture();
    Image* image = texture ? texture->images[0] : nullptr;
    if (!image || !image->levels[0]) {
        LOG_ERROR("CurveTexture has no pixels to bake into");
        curve.row = -1;
        return -1;
    }
    const int32_t row = curveTextureNextRow;
    if (row < 0 || row >= kCurveTextureRows) {
        if (row == kCurveTextureRows)
            LOG_WARNING("More than %d curves in one graph render; the rest get no CurveTexture row",
                        kCurveTextureRows);
        if (row >= 0 && row < INT32_MAX)
            ++curveTextureNextRow;
        curve.row = -1;
        return -1;
    }

    float xmax = 0.0f;
    for (const CurvePoint& point : curve.points)
        if (point.x > xmax)
            xmax = point.x;
    auto* texels = reinterpret_cast<uint16_t*>(image->levels[0]) + static_cast<size_t>(row) * kCurveTextureWidth;
    for (int i = 0; i < kCurveTextureWidth; ++i) {
        const float t = static_cast<float>(static_cast<double>(i) / (kCurveTextureWidth - 1) * xmax);
        texels[i] = lookupTextureHalf(curve.Evaluate(t));
    }
    if (texture->glId != 0)
        txtUpdateRegion(texture, row, kCurveTextureWidth, 1);

    curveTextureNextRow = row + 1;
    curve.row = row;
    return row;
}
