#include "render/shared_inputs_data.h"

#include "app/data_files.h"
#include "app/log.h"
#include "jni/engine/grd_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>

const char* const brdfTableFile = "brdf_256_256_halffloat.raw";

static_assert(BRDF_TABLE_BYTES == size_t(BRDF_TABLE_DIMENSION) * BRDF_TABLE_DIMENSION * 2 * sizeof(uint16_t));
static_assert(sizeof(ltcTable1) == 65536 && sizeof(ltcTable2) == 65536);

void brdfApproximation(float nDotV, float roughness, float* scale, float* bias)
{
    // A polynomial fit of the split-sum integral, close enough to stand in for the missing table.
    const float c0[4] = {-1.0f, -0.0275f, -0.572f, 0.022f};
    const float c1[4] = {1.0f, 0.0425f, 1.04f, -0.04f};
    float r[4];
    for (int i = 0; i < 4; ++i)
        r[i] = roughness * c0[i] + c1[i];
    const float a004 = std::min(r[0] * r[0], std::exp2(-9.28f * nDotV)) * r[0] + r[1];
    *scale = -1.04f * a004 + r[2];
    *bias = 1.04f * a004 + r[3];
}

bool sharedInputsReadBrdfTable(uint8_t* out)
{
    DataBlob blob = dataLoadFile(brdfTableFile);
    if (blob && blob.size >= BRDF_TABLE_BYTES) {
        std::memcpy(out, blob.data(), BRDF_TABLE_BYTES);
        return true;
    }
    if (blob)
        LOG_ERROR("%s holds %zu bytes of %zu; using an approximation", brdfTableFile, blob.size, BRDF_TABLE_BYTES);
    else
        LOG_ERROR("%s cannot be read; using an approximation", brdfTableFile);
    auto* texels = reinterpret_cast<uint16_t*>(out);
    for (int row = 0; row < BRDF_TABLE_DIMENSION; ++row) {
        for (int column = 0; column < BRDF_TABLE_DIMENSION; ++column) {
            float scale, bias;
            brdfApproximation((column + 0.5f) / BRDF_TABLE_DIMENSION, (row + 0.5f) / BRDF_TABLE_DIMENSION, &scale,
                              &bias);
            const size_t texel = size_t(row) * BRDF_TABLE_DIMENSION + column;
            // Halves go through memcpy: out need not be aligned.
            const uint16_t pair[2] = {floatToHalf(scale), floatToHalf(bias)};
            std::memcpy(texels + 2 * texel, pair, sizeof pair);
        }
    }
    return false;
}

std::string blueNoiseLayerPath(int layer)
{
    return "textures/bluenoise/128/LDR_RGBA_" + std::to_string(layer) + ".png";
}

namespace {

// Integer-hash white noise: not blue, but evenly spread and free of the patterns a constant would show.
Image* whiteNoiseLike(const Image* reference, int layer)
{
    const int32_t width = reference ? reference->width : BLUE_NOISE_DIMENSION;
    const int32_t height = reference ? reference->height : BLUE_NOISE_DIMENSION;
    const ImageType type = reference ? reference->type : IMAGE_TYPE_RGBA8;
    Image* image = imgCreate(width, height, type);
    if (!image)
        return nullptr;
    const size_t bytes = imgDataSize(width, height, 1, type);
    for (size_t i = 0; i < bytes; ++i) {
        uint32_t h = static_cast<uint32_t>(i) * 0x9E3779B1u + static_cast<uint32_t>(layer) * 0x85EBCA77u;
        h ^= h >> 15;
        h *= 0x2C1B3C6Du;
        h ^= h >> 12;
        h *= 0x297A2D39u;
        h ^= h >> 15;
        image->levels[0][i] = static_cast<uint8_t>(h >> 24);
    }
    return image;
}

} // namespace

Image* sharedInputsLoadBlueNoiseLayer(int layer, const Image* reference)
{
    const std::string path = blueNoiseLayerPath(layer);
    Image* image = imgLoad(path);
    if (image && reference &&
        (image->width != reference->width || image->height != reference->height || image->type != reference->type)) {
        LOG_ERROR("%s is %d x %d of type %d, unlike layer 0 (%d x %d of type %d); using white noise", path.c_str(),
                  image->width, image->height, image->type, reference->width, reference->height, reference->type);
        imgDestroy(image);
        image = nullptr;
    } else if (!image) {
        LOG_ERROR("Blue-noise layer %s missing; using white noise", path.c_str());
    }
    if (!image)
        image = whiteNoiseLike(reference, layer);
    return image;
}
