#include "render/shader_inputs.h"

#include "app/timing.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_texture.h"
#include "project/curve_texture.h"
#include "render/graph_processing.h"
#include "render/render_graph.h"
#include "render/shared_inputs_data.h"

#include "shader_test_util.h"
#include "timeline_test_util.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

using namespace gl;
using projtest::LogCapture;
using testutil::TempDir;
using testutil::writeFile;
using timelinetest::ScopedBasePath;

namespace {

const std::string kAssets = std::string(ENGINE_SOURCE_DIR) + "assets/";

// The shared inputs as the engine makes them, from the shipped assets.
class SharedInputs : public GLTest {
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        ScopedBasePath base(kAssets);
        rendererInitGlobalInputs();
    }

    template <typename T>
    static std::vector<T> readBack(unsigned int glId, GLenum format, GLenum type, int width, int height, int channels)
    {
        std::vector<T> texels(static_cast<size_t>(width) * height * channels);
        glGetTextureImage(glId, 0, format, type, static_cast<GLsizei>(texels.size() * sizeof(T)), texels.data());
        return texels;
    }
};

TEST_F(SharedInputs, NoiseTexelsReadBackAsTheGeneratorGivesThem)
{
    ASSERT_NE(noiseTextureR, nullptr);
    ASSERT_NE(noiseTextureRGBA, nullptr);
    const auto red = readBack<uint8_t>(noiseTextureR->glId, GL_RED, GL_UNSIGNED_BYTE, 256, 256, 1);
    EXPECT_EQ(red[0], 144);
    EXPECT_EQ(red[1], 139);
    EXPECT_EQ(red[2], 11);
    EXPECT_EQ(red[3], 108);

    const auto rgba = readBack<uint8_t>(noiseTextureRGBA->glId, GL_RGBA, GL_UNSIGNED_BYTE, 256, 256, 4);
    EXPECT_EQ((std::array<uint8_t, 4>{rgba[0], rgba[1], rgba[2], rgba[3]}), (std::array<uint8_t, 4>{168, 176, 183, 195}));
    EXPECT_EQ((std::array<uint8_t, 4>{rgba[4], rgba[5], rgba[6], rgba[7]}), (std::array<uint8_t, 4>{94, 232, 202, 117}));
    EXPECT_EQ(rgba[4 * (17 * 256 + 37) + 1], 168);

    // Green is red moved 37 columns and 17 rows on, wrapping at both edges.
    int mismatches = 0;
    for (int row = 0; row < 256; ++row)
        for (int column = 0; column < 256; ++column)
            mismatches += rgba[4 * (((row + 17) % 256) * 256 + (column + 37) % 256) + 1] !=
                          rgba[4 * (row * 256 + column)];
    EXPECT_EQ(mismatches, 0);
}

TEST_F(SharedInputs, LtcTablesReadBackWithTheirPublishedFirstEntries)
{
    ASSERT_NE(ltcTexture1, nullptr);
    ASSERT_NE(ltcTexture2, nullptr);
    const auto first = readBack<float>(ltcTexture1->glId, GL_RGBA, GL_FLOAT, 64, 64, 4);
    const auto second = readBack<float>(ltcTexture2->glId, GL_RGBA, GL_FLOAT, 64, 64, 4);
    const float expected1[8] = {1, 0, 0, 2e-05f, 1, 0, 0, 0.000503905f};
    const float expected2[8] = {1, 0, 0, 0, 1, 7.91421e-31f, 0, 0};
    for (int i = 0; i < 8; ++i) {
        EXPECT_NEAR(first[i], expected1[i], std::abs(expected1[i]) * 1e-5f) << "LTC1 float " << i;
        EXPECT_NEAR(second[i], expected2[i], std::abs(expected2[i]) * 1e-5f + 1e-36f) << "LTC2 float " << i;
    }
    // Byte for byte the compiled tables.
    EXPECT_EQ(std::memcmp(first.data(), ltcTable1, sizeof ltcTable1), 0);
    EXPECT_EQ(std::memcmp(second.data(), ltcTable2, sizeof ltcTable2), 0);
}

TEST_F(SharedInputs, TexturesHaveTheirSizesAndFormats)
{
    struct Case {
        const Texture* texture;
        int size;
        GLenum format;
    };
    const Case cases[] = {
        {noiseTextureR, 256, GL_R8},    {noiseTextureRGBA, 256, GL_RGBA8}, {ltcTexture1, 64, GL_RGBA32F},
        {ltcTexture2, 64, GL_RGBA32F},  {brdfLutTexture, 256, GL_RG16F},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.texture, nullptr);
        const timelinetest::TextureLevel level = timelinetest::textureLevel(c.texture->glId);
        EXPECT_EQ(level.width, c.size) << c.texture->name;
        EXPECT_EQ(level.height, c.size) << c.texture->name;
        EXPECT_EQ(level.format, c.format) << c.texture->name;
    }
    ASSERT_NE(blueNoiseArray, nullptr);
    ASSERT_NE(blueNoiseArray->glId, 0u);
    GLint layers = 0, width = 0;
    glGetTextureLevelParameteriv(blueNoiseArray->glId, 0, GL_TEXTURE_DEPTH, &layers);
    glGetTextureLevelParameteriv(blueNoiseArray->glId, 0, GL_TEXTURE_WIDTH, &width);
    EXPECT_EQ(layers, 16);
    EXPECT_EQ(width, 128);
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_CUBE_MAP_SEAMLESS));
}

TEST_F(SharedInputs, BrdfTableIsTheDataFileByteForByte)
{
    const DataBlob file = [] {
        ScopedBasePath base(kAssets);
        return dataLoadFile(brdfTableFile);
    }();
    ASSERT_TRUE(file);
    ASSERT_GE(file.size, BRDF_TABLE_BYTES);
    const auto texels = readBack<uint16_t>(brdfLutTexture->glId, GL_RG, GL_HALF_FLOAT, 256, 256, 2);
    EXPECT_EQ(std::memcmp(texels.data(), file.data(), BRDF_TABLE_BYTES), 0);
}

// ---- Missing or broken asset files ----

bool allHalvesFinite(const std::vector<uint16_t>& halves)
{
    for (uint16_t h : halves)
        if ((h & 0x7C00u) == 0x7C00u)
            return false;
    return true;
}

TEST_F(SharedInputs, MissingOrShortBrdfFileGivesTheFitNotGarbage)
{
    TempDir dir("brdf");
    ScopedBasePath base(dir.str());
    struct Case {
        const char* what;
        int bytes; // -1: no file
    };
    for (const Case c : {Case{"missing", -1}, Case{"short", 1000}, Case{"empty", 0}}) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(dir.path() / brdfTableFile);
        if (c.bytes >= 0)
            writeFile(dir.path() / brdfTableFile, std::string(static_cast<size_t>(c.bytes), '\x7f'));
        LogCapture log;
        Texture* texture = rendererCreateBrdfTexture();
        ASSERT_NE(texture, nullptr);
        txtSetupForGL(texture);
        EXPECT_TRUE(log.contains(brdfTableFile));
        const auto texels = readBack<uint16_t>(texture->glId, GL_RG, GL_HALF_FLOAT, 256, 256, 2);
        EXPECT_TRUE(allHalvesFinite(texels));
        // The fit: at grazing angles and full roughness the scale is small, at normal incidence it is large.
        float scale = 0, bias = 0;
        brdfApproximation(0.5f / 256, 0.5f / 256, &scale, &bias);
        EXPECT_EQ(texels[0], floatToHalf(scale));
        EXPECT_EQ(texels[1], floatToHalf(bias));
        txtDestroy(texture);
    }
}

void appendPng(png_structp png, png_bytep data, size_t size)
{
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), size);
}

// An 8-bit greyscale PNG of side x side (loads as IMAGE_TYPE_R8).
std::string greyPng(int side)
{
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, appendPng, nullptr);
    png_set_IHDR(png, info, side, side, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<uint8_t> row(static_cast<size_t>(side), 99);
    std::vector<png_bytep> rows(static_cast<size_t>(side), row.data());
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

std::vector<uint8_t> arrayLayer(const TextureArray* array, int layer, int width, int height)
{
    std::vector<uint8_t> texels(static_cast<size_t>(width) * height * 4);
    glGetTextureSubImage(array->glId, 0, 0, 0, layer, width, height, 1, GL_RGBA, GL_UNSIGNED_BYTE,
                         static_cast<GLsizei>(texels.size()), texels.data());
    return texels;
}

TEST_F(SharedInputs, MissingOrMismatchedBlueNoiseLayersAreReplacedInTheGlArray)
{
    TempDir dir("bluenoise");
    std::filesystem::create_directories(dir.path() / "textures/bluenoise/128");
    for (int layer : {0, 1, 2, 4})
        std::filesystem::copy_file(kAssets + blueNoiseLayerPath(layer), dir.path() / blueNoiseLayerPath(layer));
    // Layer 3 is missing, layer 5 is not a PNG at all, layer 6 is a small greyscale image.
    writeFile(dir.path() / blueNoiseLayerPath(5), "not a png");
    writeFile(dir.path() / blueNoiseLayerPath(6), greyPng(16));
    ScopedBasePath base(dir.str());
    LogCapture log;
    TextureArray* array = rendererCreateBlueNoiseArray();
    ASSERT_NE(array, nullptr);
    ASSERT_NE(array->glId, 0u);
    ASSERT_EQ(array->textures.size(), 16u);
    EXPECT_TRUE(log.contains("LDR_RGBA_3.png"));
    EXPECT_TRUE(log.contains("LDR_RGBA_5.png"));
    EXPECT_TRUE(log.contains("LDR_RGBA_6.png"));

    // Every GL layer holds exactly the CPU image it was made from: nothing undefined reaches shaders.
    for (int layer = 0; layer < 16; ++layer) {
        const Image* image = array->textures[layer]->images[0];
        ASSERT_NE(image, nullptr) << layer;
        ASSERT_EQ(image->type, IMAGE_TYPE_RGBA8);
        const auto texels = arrayLayer(array, layer, 128, 128);
        EXPECT_EQ(std::memcmp(texels.data(), image->levels[0], texels.size()), 0) << "layer " << layer;
    }
    // A replaced layer is noise, not a constant.
    const Image* replaced = array->textures[3]->images[0];
    int distinct = 0;
    for (int i = 1; i < 256; ++i)
        distinct += replaced->levels[0][i] != replaced->levels[0][0];
    EXPECT_GT(distinct, 200);
    rendererDestroyTextureArray(array);
}

TEST_F(SharedInputs, NoBlueNoiseFilesAtAllStillGiveSixteenLayers)
{
    TempDir dir("nobluenoise");
    ScopedBasePath base(dir.str());
    TextureArray* array = rendererCreateBlueNoiseArray();
    ASSERT_NE(array->glId, 0u);
    GLint layers = 0, width = 0, format = 0;
    glGetTextureLevelParameteriv(array->glId, 0, GL_TEXTURE_DEPTH, &layers);
    glGetTextureLevelParameteriv(array->glId, 0, GL_TEXTURE_WIDTH, &width);
    glGetTextureLevelParameteriv(array->glId, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
    EXPECT_EQ(layers, 16);
    EXPECT_EQ(width, 128);
    EXPECT_EQ(static_cast<GLenum>(format), GL_RGBA8);
    const auto last = arrayLayer(array, 15, 128, 128);
    EXPECT_EQ(std::memcmp(last.data(), array->textures[15]->images[0]->levels[0], last.size()), 0);
    rendererDestroyTextureArray(array);
}

// ---- Binding to programs ----

class GlobalInputBinding : public shadertest::ShaderGLTest {
protected:
    ScopedBasePath assets{kAssets};
    int savedFrameCounter = frameCounter;
    void SetUp() override
    {
        ShaderGLTest::SetUp();
        dataSetBasePath(kAssets);
        rendererInitGlobalInputs();
    }
    void TearDown() override
    {
        frameCounter = savedFrameCounter;
        timerSetClockSource(nullptr);
        playClock = PlayClock();
        ShaderGLTest::TearDown();
    }
    static float uploaded(ShaderProgram* program, const char* name)
    {
        float value = -1.0f;
        glGetUniformfv(program->glProgramId, glGetUniformLocation(program->glProgramId, name), &value);
        return value;
    }
    static unsigned int textureOnUnitOf(ShaderProgram* program, const char* name, GLenum binding)
    {
        const int unit = static_cast<const int*>(program->uniforms.at(name)->value)[0];
        glActiveTexture(static_cast<GLenum>(static_cast<int>(GL_TEXTURE0) + unit));
        GLint texture = 0;
        glGetIntegerv(binding, &texture);
        glActiveTexture(GL_TEXTURE0);
        return static_cast<unsigned int>(texture);
    }
    static GLint samplerOnUnitOf(ShaderProgram* program, const char* name)
    {
        const int unit = static_cast<const int*>(program->uniforms.at(name)->value)[0];
        GLint sampler = 0;
        glGetIntegeri_v(GL_SAMPLER_BINDING, static_cast<GLuint>(unit), &sampler);
        return sampler;
    }
};

double fakeClock = 0.0;
double readFakeClock()
{
    return fakeClock;
}

TEST_F(GlobalInputBinding, SamplersSeeTheSharedTexturesWithTheirSamplerTypes)
{
    ShaderProgram* program = fromStrings(shadertest::uniqueTag() + R"(#version 430
uniform sampler2D s_NoiseR;
uniform sampler2D s_NoiseRGBA;
uniform sampler2D s_LTC1;
uniform sampler2DArray s_BlueNoise;
uniform sampler2D s_Curves;
out vec4 color;
void main()
{
    color = vec4(texelFetch(s_NoiseR, ivec2(1, 0), 0).r, texelFetch(s_NoiseRGBA, ivec2(0, 0), 0).g,
                 texelFetch(s_BlueNoise, ivec3(0, 0, 2), 0).r,
                 texelFetch(s_LTC1, ivec2(0, 0), 0).r * 0.5 + (texelFetch(s_Curves, ivec2(0, 0), 0).r > 1e30 ? 1.0 : 0.0));
}
)");
    ASSERT_FALSE(program->errors);
    shadertest::ColorTarget target;
    ASSERT_TRUE(shaderUseProgram(program));
    rendererBindGlobalInputs(program, Timestep{});
    const std::array<uint8_t, 4> pixel = target.draw();
    EXPECT_EQ(pixel[0], 139);
    EXPECT_EQ(pixel[1], 176);
    EXPECT_EQ(pixel[2], blueNoiseArray->textures[2]->images[0]->levels[0][0]);
    EXPECT_NEAR(pixel[3], 128, 1); // LTC1 entry 0 is 1.0
    EXPECT_EQ(textureOnUnitOf(program, "s_Curves", GL_TEXTURE_BINDING_2D), rendererGetCurveTexture()->glId);
    EXPECT_EQ(textureOnUnitOf(program, "s_BlueNoise", GL_TEXTURE_BINDING_2D_ARRAY), blueNoiseArray->glId);

    EXPECT_EQ(static_cast<GLuint>(samplerOnUnitOf(program, "s_NoiseR")), shaderGetSampler(SAMPLER_LINEAR_REPEAT));
    EXPECT_EQ(static_cast<GLuint>(samplerOnUnitOf(program, "s_LTC1")), shaderGetSampler(SAMPLER_LINEAR_CLAMP));
    EXPECT_EQ(static_cast<GLuint>(samplerOnUnitOf(program, "s_BlueNoise")), shaderGetSampler(SAMPLER_NEAREST_REPEAT));
}

TEST_F(GlobalInputBinding, TimeUniformsAreUploadedAtOnceOrAtTheNextUse)
{
    const char* fragment = R"(#version 430
uniform float g_time;
uniform float g_global_time;
uniform int g_monotonic;
uniform float g_time_step;
out vec4 color;
void main()
{
    color = vec4(g_time, g_global_time, float(g_monotonic), g_time_step);
}
)";
    timerSetClockSource(readFakeClock);
    playClock = PlayClock();
    fakeClock = 50.0;
    timerGetTime(1.0f); // starts the clock at 50 s
    fakeClock = 52.5;
    frameCounter = 77;

    struct Case {
        const char* what;
        bool current;
    };
    for (const Case c : {Case{"current", true}, Case{"not current", false}}) {
        SCOPED_TRACE(c.what);
        ShaderProgram* program = fromStrings(shadertest::uniqueTag() + fragment);
        ASSERT_FALSE(program->errors);
        ASSERT_TRUE(shaderUseProgram(c.current ? program : nullptr));
        rendererBindGlobalInputs(program, Timestep{12.5f, 0.04f, false});
        if (c.current) {
            EXPECT_FLOAT_EQ(uploaded(program, "g_time"), 12.5f);
        } else {
            EXPECT_FLOAT_EQ(uploaded(program, "g_time"), 0.0f); // not yet on the GPU
            ASSERT_TRUE(shaderUseProgram(program));
        }
        EXPECT_FLOAT_EQ(uploaded(program, "g_time"), 12.5f);
        EXPECT_FLOAT_EQ(uploaded(program, "g_global_time"), 2.5f);
        EXPECT_FLOAT_EQ(uploaded(program, "g_time_step"), 0.04f);
        GLint monotonic = 0;
        glGetUniformiv(program->glProgramId, glGetUniformLocation(program->glProgramId, "g_monotonic"), &monotonic);
        EXPECT_EQ(monotonic, 77);
    }
}

TEST_F(GlobalInputBinding, UndeclaredOrOptimisedAwayNamesGetNoWrite)
{
    // g_time is declared but unused, so the GL compiler drops it (location -1).
    ShaderProgram* program = fromStrings(shadertest::uniqueTag() + R"(#version 430
uniform float g_time;
uniform float g_time_step;
out vec4 color;
void main()
{
    color = vec4(g_time_step);
}
)");
    ASSERT_FALSE(program->errors);
    ASSERT_EQ(program->uniforms.at("g_time")->location, -1);
    const size_t names = program->uniforms.size();
    LogCapture log;
    rendererBindGlobalInputs(program, Timestep{3.0f, 0.5f, false});
    EXPECT_FLOAT_EQ(static_cast<const float*>(program->uniforms.at("g_time")->value)[0], 0.0f);
    EXPECT_FLOAT_EQ(static_cast<const float*>(program->uniforms.at("g_time_step")->value)[0], 0.5f);
    // Nothing looked up that the program lacks: no placeholders, no warnings.
    EXPECT_EQ(program->uniforms.size(), names);
    EXPECT_FALSE(log.contains("No uniform"));
    rendererBindGlobalInputs(nullptr, Timestep{});
}

} // namespace
