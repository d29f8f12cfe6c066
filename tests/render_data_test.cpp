// The data files the build generates (BRDF table, blue noise, the built-in cube), the LTC tables compiled into the
// program, and the loaders' fallbacks when the files are missing or short.
#include "render/lobj.h"
#include "render/shared_inputs_data.h"

#include "app/data_files.h"
#include "jni/engine/grd_image.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

using testutil::captureLog;

namespace {

float halfToFloat(uint16_t h)
{
    const int exponent = (h >> 10) & 0x1F;
    const int mantissa = h & 0x3FF;
    float value;
    if (exponent == 0)
        value = std::ldexp(static_cast<float>(mantissa), -24);
    else if (exponent == 31)
        value = mantissa ? NAN : INFINITY;
    else
        value = std::ldexp(static_cast<float>(mantissa | 0x400), exponent - 25);
    return (h & 0x8000) ? -value : value;
}

// Decoded (scale, bias) pairs of a table image.
struct BrdfTable {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(BRDF_TABLE_BYTES);
    float scale(int row, int column) const { return at(row, column, 0); }
    float bias(int row, int column) const { return at(row, column, 1); }
    float at(int row, int column, int k) const
    {
        uint16_t h;
        std::memcpy(&h, bytes.data() + 4 * (size_t(row) * BRDF_TABLE_DIMENSION + column) + 2 * k, 2);
        return halfToFloat(h);
    }
};

// Points the data-file layer at a folder for one test.
class AssetFolder {
public:
    explicit AssetFolder(const std::string& path) { dataSetBasePath(path); }
    ~AssetFolder() { dataSetBasePath(oldBase_); }

private:
    std::string oldBase_ = dataBasePath();
};

const std::string generatedAssets = ENGINE_SOURCE_DIR "assets/";

} // namespace

TEST(RenderDataBrdf, GeneratedTableHoldsTheSplitSumIntegral)
{
    AssetFolder assets(generatedAssets);
    BrdfTable table;
    ASSERT_TRUE(sharedInputsReadBrdfTable(table.bytes.data()));
    const int last = BRDF_TABLE_DIMENSION - 1;
    for (int row = 0; row <= last; ++row) {
        for (int column = 0; column <= last; ++column) {
            const float a = table.scale(row, column), b = table.bias(row, column);
            ASSERT_TRUE(a >= 0.0f && b >= 0.0f && a + b <= 1.001f) << row << ", " << column << ": " << a << ", " << b;
        }
    }
    // A mirror-smooth surface reflects everything: scale + bias = 1 at every angle, all scale when looking
    // straight on, nearly all bias at grazing angles where Fresnel goes to one.
    for (int column = 0; column <= last; ++column)
        EXPECT_NEAR(table.scale(0, column) + table.bias(0, column), 1.0f, 0.01f) << column;
    EXPECT_GT(table.scale(0, last), 0.99f);
    EXPECT_LT(table.bias(0, last), 0.01f);
    EXPECT_GT(table.bias(0, 0), 0.95f);
    EXPECT_LT(table.scale(0, 0), 0.05f);
    // Roughness 1 seen head-on: half vectors spread evenly over the hemisphere, half of the reflected directions
    // stay above it, and the masking term averages 2 (1 - ln 2) over those: scale + bias = 1 - ln 2.
    EXPECT_NEAR(table.scale(last, last) + table.bias(last, last), 1.0f - std::log(2.0f), 0.01f);
    for (int row = 1; row <= last; ++row)
        EXPECT_LE(table.scale(row, last), table.scale(row - 1, last) + 1e-3f) << row;
}

TEST(RenderDataBrdf, MissingOrShortFileFallsBackToTheFit)
{
    testutil::TempDir dir("brdf_fallback");
    AssetFolder assets(dir.str());
    for (size_t size : {size_t(0), size_t(100), BRDF_TABLE_BYTES - 1, size_t(~0)}) {
        SCOPED_TRACE(size);
        if (size != size_t(~0))
            testutil::writeFile(dir.path() / brdfTableFile, std::string(size, '\x7f'));
        else
            std::filesystem::remove(dir.path() / brdfTableFile);
        BrdfTable table;
        std::fill(table.bytes.begin(), table.bytes.end(), 0xEE);
        bool fromFile = true;
        const std::string log = captureLog([&] { fromFile = sharedInputsReadBrdfTable(table.bytes.data()); });
        EXPECT_FALSE(fromFile);
        EXPECT_NE(log.find("brdf_256_256_halffloat.raw"), std::string::npos);
        // Every byte written, from the fit.
        for (int row : {0, 100, 255}) {
            for (int column : {0, 17, 255}) {
                float a, b;
                brdfApproximation((column + 0.5f) / 256.0f, (row + 0.5f) / 256.0f, &a, &b);
                EXPECT_NEAR(table.scale(row, column), a, 2e-3f);
                EXPECT_NEAR(table.bias(row, column), b, 2e-3f);
            }
        }
        for (int row = 0; row < BRDF_TABLE_DIMENSION; ++row)
            for (int column = 0; column < BRDF_TABLE_DIMENSION; ++column)
                for (int k = 0; k < 2; ++k)
                    ASSERT_TRUE(table.at(row, column, k) > -0.05f && table.at(row, column, k) < 1.05f);
    }
    // A longer file is fine: its first 262,144 bytes are the table.
    testutil::writeFile(dir.path() / brdfTableFile, std::string(BRDF_TABLE_BYTES + 10, '\x01'));
    BrdfTable table;
    EXPECT_TRUE(sharedInputsReadBrdfTable(table.bytes.data()));
    EXPECT_EQ(table.bytes.back(), 1);
}

TEST(RenderDataBlueNoise, EveryChannelIsAFlatHistogramOfBlueNoise)
{
    AssetFolder assets(generatedAssets);
    std::unique_ptr<Image> layer0;
    std::vector<std::array<uint8_t, 4>> firstTexels;
    for (int layer = 0; layer < BLUE_NOISE_LAYERS; ++layer) {
        SCOPED_TRACE(layer);
        std::string log;
        std::unique_ptr<Image> image;
        log = captureLog([&] { image.reset(sharedInputsLoadBlueNoiseLayer(layer, layer0.get())); });
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(log.find("white noise"), std::string::npos) << log;
        ASSERT_EQ(image->width, BLUE_NOISE_DIMENSION);
        ASSERT_EQ(image->height, BLUE_NOISE_DIMENSION);
        ASSERT_EQ(image->type, IMAGE_TYPE_RGBA8);
        const uint8_t* pixels = image->levels[0];
        const int n = BLUE_NOISE_DIMENSION;
        for (int c = 0; c < 4; ++c) {
            // Each value 0..255 is taken by exactly 64 of the 16,384 texels.
            std::array<int, 256> histogram{};
            for (int p = 0; p < n * n; ++p)
                ++histogram[pixels[4 * p + c]];
            for (int v = 0; v < 256; ++v)
                ASSERT_EQ(histogram[v], 64) << "channel " << c << " value " << v;
            // Blue noise has little low-frequency energy: the means of 4 x 4 blocks stray far less from 127.5
            // than they would for white noise (variance 5461 / 16).
            double variance = 0.0;
            for (int by = 0; by < n; by += 4) {
                for (int bx = 0; bx < n; bx += 4) {
                    double sum = 0.0;
                    for (int y = 0; y < 4; ++y)
                        for (int x = 0; x < 4; ++x)
                            sum += pixels[4 * ((by + y) * n + bx + x) + c];
                    const double mean = sum / 16.0 - 127.5;
                    variance += mean * mean;
                }
            }
            variance /= (n / 4) * (n / 4);
            EXPECT_LT(variance, 5461.0 / 16.0 / 4.0) << "channel " << c;
        }
        firstTexels.push_back({pixels[0], pixels[1], pixels[2], pixels[3]});
        if (layer == 0)
            layer0 = std::move(image);
    }
    // The channels and layers are different maps.
    std::sort(firstTexels.begin(), firstTexels.end());
    EXPECT_GT(std::unique(firstTexels.begin(), firstTexels.end()) - firstTexels.begin(), 12);
}

TEST(RenderDataBlueNoise, MissingOrMismatchedLayerIsReplacedByNoiseOfLayerZerosShape)
{
    testutil::TempDir dir("bluenoise_fallback");
    AssetFolder assets(dir.str());
    std::unique_ptr<Image> layer0;
    std::string log = captureLog([&] { layer0.reset(sharedInputsLoadBlueNoiseLayer(0, nullptr)); });
    EXPECT_NE(log.find("textures/bluenoise/128/LDR_RGBA_0.png"), std::string::npos);
    ASSERT_NE(layer0, nullptr);
    EXPECT_EQ(layer0->width, 128);
    EXPECT_EQ(layer0->type, IMAGE_TYPE_RGBA8);

    // A real but differently shaped layer 3 would not fit the array: replaced as well.
    const std::string real = testutil::readFile(generatedAssets + "textures/bluenoise/128/LDR_RGBA_3.png");
    ASSERT_FALSE(real.empty());
    testutil::writeFile(dir.path() / "textures/bluenoise/128/LDR_RGBA_3.png", real);
    Image reference;
    reference.width = 64;
    reference.height = 32;
    reference.type = IMAGE_TYPE_R8;
    std::unique_ptr<Image> layer3;
    log = captureLog([&] { layer3.reset(sharedInputsLoadBlueNoiseLayer(3, &reference)); });
    EXPECT_NE(log.find("unlike layer 0"), std::string::npos);
    ASSERT_NE(layer3, nullptr);
    EXPECT_EQ(layer3->width, 64);
    EXPECT_EQ(layer3->height, 32);
    EXPECT_EQ(layer3->type, IMAGE_TYPE_R8);
    // Fallback texels are spread over the range, not a constant.
    std::array<int, 4> quarters{};
    for (int p = 0; p < 64 * 32; ++p)
        ++quarters[layer3->levels[0][p] / 64];
    for (int q : quarters)
        EXPECT_GT(q, 300);
    // With a matching reference the file loads as it is.
    std::unique_ptr<Image> matching;
    log = captureLog([&] { matching.reset(sharedInputsLoadBlueNoiseLayer(3, layer0.get())); });
    EXPECT_EQ(log.find("white noise"), std::string::npos);
}

TEST(RenderDataLtc, TablesAreThePublishedFitsInOrder)
{
    static_assert(sizeof(ltcTable1) == 65536 && sizeof(ltcTable2) == 65536);
    const float first1[8] = {1, 0, 0, 2e-05f, 1, 0, 0, 0.000503905f};
    const float first2[8] = {1, 0, 0, 0, 1, 7.91421e-31f, 0, 0};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ltcTable1[i], first1[i]) << i;
        EXPECT_EQ(ltcTable2[i], first2[i]) << i;
    }
    // Entries further in, as the published tables hold them (row 32, column 0, and the very last entry).
    const float mid1[4] = {0.538716f, -9.90918e-06f, 0.486732f, 1.09675e-05f};
    const float mid2[4] = {1, 0.00114313f, 0, 0};
    const float last1[4] = {0.996389f, -0.0808124f, 0.0489007f, 1.6577f};
    const float last2[4] = {0.932164f, 0.0471899f, 0, 1};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(ltcTable1[8192 + k], mid1[k]);
        EXPECT_EQ(ltcTable2[8192 + k], mid2[k]);
        EXPECT_EQ(ltcTable1[LTC_TABLE_FLOATS - 4 + k], last1[k]);
        EXPECT_EQ(ltcTable2[LTC_TABLE_FLOATS - 4 + k], last2[k]);
    }
    for (int i = 0; i < LTC_TABLE_FLOATS; ++i) {
        ASSERT_TRUE(std::isfinite(ltcTable1[i]) && std::isfinite(ltcTable2[i])) << i;
        if (i % 4 == 0) {
            ASSERT_GT(ltcTable2[i], 0.0f) << i; // the norm
        }
    }
}

TEST(RenderDataCube, GeneratedFileIsTheWritersCube)
{
    const std::string file = testutil::readFile(generatedAssets + "lwobj/simplecube.lobj");
    const std::vector<uint8_t> written = lobjWrite(lobjSimpleCube());
    EXPECT_EQ(file, std::string(written.begin(), written.end()));
}
