#include "render/shader_inputs.h"

#include "app/log.h"
#include "app/timing.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "project/curve_texture.h"
#include "project/gradients.h"
#include "render/environment_map.h"
#include "render/graph_processing.h"
#include "render/materials.h"
#include "render/render_graph.h"
#include "render/shared_inputs_data.h"

#include <glbinding/gl/gl.h>

#include <cstring>

using namespace gl;

Xorshift96 rendererXorshift;

Texture* noiseTextureR = nullptr;
Texture* noiseTextureRGBA = nullptr;
Texture* ltcTexture1 = nullptr;
Texture* ltcTexture2 = nullptr;
Texture* brdfLutTexture = nullptr;
TextureArray* blueNoiseArray = nullptr;

namespace {

// Uploaded and labelled, or null after the texture layer's own message.
Texture* finish(Texture* texture, const char* label)
{
    if (!texture)
        return nullptr;
    texture->name = label;
    txtSetupForGL(texture);
    txtSetLabel(texture, label);
    return texture;
}

// Declared means present and kept by the GL compiler: placeholders from failed lookups have location -1.
bool declares(const ShaderProgram* program, const char* name)
{
    const auto found = program->uniforms.find(name);
    return found != program->uniforms.end() && found->second && found->second->location != -1;
}

void addSampler(TextureBindings& bindings, const char* name, const Texture* texture, SamplerType samplerType)
{
    // A texture that never reached GL (creation failed) is left unbound rather than bound as texture 0's garbage.
    if (texture && texture->glId != 0)
        shaderBindingsAddTexture(bindings, name, texture, samplerType);
}

} // namespace

void rendererFillNoise(Image* noiseR, Image* noiseRGBA)
{
    if (!noiseR || !noiseRGBA || !noiseR->levels[0] || !noiseRGBA->levels[0] ||
        noiseR->width != kNoiseTextureSize || noiseR->height != kNoiseTextureSize ||
        noiseRGBA->width != kNoiseTextureSize || noiseRGBA->height != kNoiseTextureSize) {
        LOG_ERROR("Noise images must be two %d x %d images with pixels", kNoiseTextureSize, kNoiseTextureSize);
        return;
    }
    uint8_t* red = noiseR->levels[0];
    uint8_t* rgba = noiseRGBA->levels[0];
    rendererXorshift.seed(0x00130FC3u, 0x348071FFu, 0x15AD65A8u);
    constexpr int texels = kNoiseTextureSize * kNoiseTextureSize;
    for (int n = 0; n < texels; ++n) {
        red[n] = static_cast<uint8_t>(rendererXorshift.next());
        rgba[4 * n + 0] = static_cast<uint8_t>(rendererXorshift.next());
        rgba[4 * n + 2] = static_cast<uint8_t>(rendererXorshift.next());
        rgba[4 * n + 3] = static_cast<uint8_t>(rendererXorshift.next());
    }
    // Green repeats red further along, so one fetch gives two correlated values.
    for (int row = 0; row < kNoiseTextureSize; ++row) {
        for (int column = 0; column < kNoiseTextureSize; ++column) {
            const int to = ((row + kNoiseGreenShiftRows) % kNoiseTextureSize) * kNoiseTextureSize +
                           (column + kNoiseGreenShiftColumns) % kNoiseTextureSize;
            rgba[4 * to + 1] = rgba[4 * (row * kNoiseTextureSize + column)];
        }
    }
}

Texture* rendererCreateLtcTexture(const float* table)
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, LTC_TABLE_DIMENSION, LTC_TABLE_DIMENSION, IMAGE_TYPE_RGBA32F);
    if (!texture || !table)
        return texture;
    std::memcpy(texture->images[0]->levels[0], table, sizeof(float) * LTC_TABLE_FLOATS);
    return texture;
}

Texture* rendererCreateBrdfTexture()
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, BRDF_TABLE_DIMENSION, BRDF_TABLE_DIMENSION, IMAGE_TYPE_RG16F);
    if (texture)
        sharedInputsReadBrdfTable(texture->images[0]->levels[0]);
    return texture;
}

TextureArray* rendererCreateBlueNoiseArray()
{
    auto* array = new TextureArray;
    array->textures.assign(BLUE_NOISE_LAYERS, nullptr);
    array->glId = 0;
    array->type = TEXTURE_TYPE_2D;
    const Image* reference = nullptr;
    bool complete = true;
    for (int i = 0; i < BLUE_NOISE_LAYERS; ++i) {
        Image* image = sharedInputsLoadBlueNoiseLayer(i, reference);
        if (!image) {
            LOG_ERROR("Blue-noise layer %d could not be made", i);
            complete = false;
            continue;
        }
        auto* layer = new Texture;
        layer->images[0] = image;
        layer->imageCount = 1;
        layer->type = TEXTURE_TYPE_2D;
        array->textures[i] = layer;
        if (i == 0)
            reference = image;
    }
    // Every layer is written or the array stays without GL storage: no layer may reach shaders undefined.
    if (complete)
        txtSetupForGLArray(array);
    else
        LOG_ERROR("Blue-noise array incomplete; it is not uploaded");
    if (array->glId != 0)
        glObjectLabel(GL_TEXTURE, array->glId, -1, "BlueNoise");
    return array;
}

void rendererDestroyTextureArray(TextureArray* array)
{
    if (!array)
        return;
    for (Texture* layer : array->textures)
        txtDestroy(layer);
    if (array->glId != 0)
        glDeleteTextures(1, &array->glId);
    delete array;
}

void rendererInitGlobalInputs()
{
    aglAssertMainThread();
    glEnable(GL_TEXTURE_CUBE_MAP_SEAMLESS);
    // Set up before any project loads, so its environment maps come in as filtered cubes.
    envmapInstallResourceLoader();

    if (!ltcTexture1)
        ltcTexture1 = finish(rendererCreateLtcTexture(ltcTable1), "LTC1");
    if (!ltcTexture2)
        ltcTexture2 = finish(rendererCreateLtcTexture(ltcTable2), "LTC2");
    if (!brdfLutTexture)
        brdfLutTexture = finish(rendererCreateBrdfTexture(), "BRDF");
    if (!noiseTextureR || !noiseTextureRGBA) {
        Texture* red = txtCreate(TEXTURE_TYPE_2D, kNoiseTextureSize, kNoiseTextureSize, IMAGE_TYPE_R8);
        Texture* rgba = txtCreate(TEXTURE_TYPE_2D, kNoiseTextureSize, kNoiseTextureSize, IMAGE_TYPE_RGBA8);
        if (red && rgba) {
            rendererFillNoise(red->images[0], rgba->images[0]);
            noiseTextureR = finish(red, "NoiseR");
            noiseTextureRGBA = finish(rgba, "NoiseRGBA");
        } else {
            txtDestroy(red);
            txtDestroy(rgba);
        }
    }
    if (!blueNoiseArray)
        blueNoiseArray = rendererCreateBlueNoiseArray();

    // Materials exist before any component is created.
    MaterialManager::registerBuiltinRoots();
}

void rendererBindGlobalInputs(ShaderProgram* program, const Timestep& timestep)
{
    if (!program)
        return;

    TextureBindings bindings;
    if (declares(program, "s_NoiseR"))
        addSampler(bindings, "s_NoiseR", noiseTextureR, SAMPLER_LINEAR_REPEAT);
    if (declares(program, "s_NoiseRGBA"))
        addSampler(bindings, "s_NoiseRGBA", noiseTextureRGBA, SAMPLER_LINEAR_REPEAT);
    if (declares(program, "s_LTC1"))
        addSampler(bindings, "s_LTC1", ltcTexture1, SAMPLER_LINEAR_CLAMP);
    if (declares(program, "s_LTC2"))
        addSampler(bindings, "s_LTC2", ltcTexture2, SAMPLER_LINEAR_CLAMP);
    if (declares(program, "s_BRDF"))
        addSampler(bindings, "s_BRDF", brdfLutTexture, SAMPLER_LINEAR_CLAMP);
    if (declares(program, "s_BlueNoise") && blueNoiseArray && blueNoiseArray->glId != 0) {
        const Texture* first = blueNoiseArray->textures.empty() ? nullptr : blueNoiseArray->textures[0];
        TextureBinding binding;
        binding.imageType = first && first->images[0] ? first->images[0]->type : 0;
        binding.glTextureId = blueNoiseArray->glId;
        binding.samplerType = SAMPLER_NEAREST_REPEAT;
        bindings["s_BlueNoise"] = binding;
    }
    if (declares(program, "s_Gradients")) {
        if (!colorGradientTexture)
            gradientTextureUpdate({});
        addSampler(bindings, "s_Gradients", colorGradientTexture, SAMPLER_LINEAR_CLAMP);
    }
    if (declares(program, "s_Curves"))
        addSampler(bindings, "s_Curves", rendererGetCurveTexture(), SAMPLER_LINEAR_CLAMP);
    shaderBindTextures(program, bindings);

    if (declares(program, "g_global_time")) {
        const float now = timerGetTime(1.0f);
        shaderSetUniform(program, "g_global_time", UNIFORM_TYPE_FLOAT, &now, sizeof now);
    }
    if (declares(program, "g_time"))
        shaderSetUniform(program, "g_time", UNIFORM_TYPE_FLOAT, &timestep.time, sizeof timestep.time);
    if (declares(program, "g_monotonic"))
        shaderSetUniform(program, "g_monotonic", UNIFORM_TYPE_INT, &frameCounter, sizeof frameCounter);
    if (declares(program, "g_time_step"))
        shaderSetUniform(program, "g_time_step", UNIFORM_TYPE_FLOAT, &timestep.delta, sizeof timestep.delta);
}
