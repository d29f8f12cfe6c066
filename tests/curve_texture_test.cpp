#include "project/curve_texture.h"

#include "jni/engine/grd_texture.h"
#include "project/curves.h"

#include "gl_context.h"
#include "project_test_util.h"
#include "timeline_test_util.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace gl;
using timelinetest::ConsoleLog;

namespace {

Curve curve(std::vector<CurvePoint> points, int32_t interpolation)
{
    Curve c;
    c.points = std::move(points);
    c.interpolation = interpolation;
    return c;
}

// Each test starts a graph render of its own.
class CurveTexture : public GLTest {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        curveTextureNextRow = 0;
    }

    static std::vector<uint16_t> gpuRow(int row)
    {
        Texture* texture = rendererGetCurveTexture();
        std::vector<uint16_t> texels(kCurveTextureWidth);
        glGetTextureSubImage(texture->glId, 0, 0, row, 0, kCurveTextureWidth, 1, 1, GL_RED, GL_HALF_FLOAT,
                             static_cast<GLsizei>(texels.size() * sizeof(uint16_t)), texels.data());
        return texels;
    }
    static const uint16_t* cpuRow(int row)
    {
        return reinterpret_cast<const uint16_t*>(rendererGetCurveTexture()->images[0]->levels[0]) +
               static_cast<size_t>(row) * kCurveTextureWidth;
    }
};

} // namespace

TEST_F(CurveTexture, IsOneHalfFloatChannelOf128By256)
{
    Texture* texture = rendererGetCurveTexture();
    ASSERT_NE(texture, nullptr);
    EXPECT_EQ(texture, rendererGetCurveTexture());
    EXPECT_EQ(texture->name, "CurveTexture");
    const timelinetest::TextureLevel level = timelinetest::textureLevel(texture->glId);
    EXPECT_EQ(level.width, 128);
    EXPECT_EQ(level.height, 256);
    EXPECT_EQ(level.format, GL_R16F);
}

TEST_F(CurveTexture, RowsReadBackAsTheCurveSampledUpToItsLargestX)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        Curve curve;
        float (*expected)(float x); // value at sample i, x = xmax * i / 127; null: only finite
        float xmax;
    };
    const Case cases[] = {
        {"linear 0..1", curve({{0, 0}, {1, 1}}, CurveInterpolation::Linear), [](float x) { return x; }, 1.0f},
        {"linear to x = 2", curve({{0, 0}, {2, 1}}, CurveInterpolation::Linear), [](float x) { return x / 2; }, 2.0f},
        {"every x <= 0 bakes the value at 0", curve({{-2, 5}, {-1, 3}}, CurveInterpolation::Linear),
         [](float) { return 3.0f; }, 0.0f},
        {"smoothstep ignores the points", curve({}, CurveInterpolation::PredefinedSmoothstep),
         [](float) { return 0.0f; }, 0.0f},
        {"no points", curve({}, CurveInterpolation::Linear), [](float) { return 0.0f; }, 0.0f},
        {"two points on one x", curve({{0.5f, 1}, {0.5f, 2}}, CurveInterpolation::Linear), nullptr, 0.5f},
        {"cubic on one x", curve({{0, 0}, {0.5f, 1}, {0.5f, 2}, {1, 0}}, CurveInterpolation::Cubic), nullptr, 1.0f},
        {"not-a-number point", curve({{0, nan}, {nan, 1}}, CurveInterpolation::Linear), nullptr, 0.0f},
        {"infinite x", curve({{0, 0}, {inf, 1}}, CurveInterpolation::Linear), nullptr, inf},
        {"beyond the half range", curve({{0, 0}, {1, 1e9f}}, CurveInterpolation::Linear), nullptr, 1.0f},
    };
    int row = 0;
    for (const Case& c : cases) {
        Curve baked = c.curve;
        ASSERT_EQ(curveTextureAddRow(baked), row) << c.what;
        EXPECT_EQ(baked.row, row);
        const std::vector<uint16_t> gpu = gpuRow(row);
        for (int i = 0; i < kCurveTextureWidth; ++i) {
            EXPECT_EQ(gpu[i], cpuRow(row)[i]) << c.what << " sample " << i;
            // Not-a-number and infinity have an all-ones exponent.
            EXPECT_NE(gpu[i] & 0x7C00, 0x7C00) << c.what << " sample " << i;
            if (c.expected) {
                const float x = static_cast<float>(static_cast<double>(i) / 127.0 * c.xmax);
                EXPECT_EQ(gpu[i], floatToHalf(c.expected(x))) << c.what << " sample " << i;
            }
        }
        ++row;
    }
    EXPECT_EQ(curveTextureNextRow, row);
}

TEST_F(CurveTexture, RowsBeyondTheTextureAreRefused)
{
    Curve one = curve({{0, 1}, {1, 1}}, CurveInterpolation::Linear);
    for (int i = 0; i < kCurveTextureRows; ++i)
        ASSERT_EQ(curveTextureAddRow(one), i);
    Curve late = curve({{0, 7}, {1, 7}}, CurveInterpolation::Linear);
    ConsoleLog log;
    EXPECT_EQ(curveTextureAddRow(late), -1);
    EXPECT_EQ(late.row, -1);
    EXPECT_EQ(curveTextureAddRow(late), -1);
    EXPECT_EQ(log.count("More than 256 curves"), 1);
    EXPECT_EQ(gpuRow(255)[0], floatToHalf(1.0f));

    // The next graph render hands out rows from 0 again.
    curveTextureNextRow = 0;
    EXPECT_EQ(curveTextureAddRow(late), 0);
    EXPECT_EQ(gpuRow(0)[127], floatToHalf(7.0f));
}
