#include "components/output_buffer.h"
#include "components/post_effects.h"

#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_texture.h"
#include "render/shader_inputs.h"

#include "project_test_util.h"
#include "shader_test_util.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

using namespace gl;
using projtest::LogCapture;

namespace {

const std::string kAssets = std::string(ENGINE_SOURCE_DIR) + "assets/";
constexpr int kW = 64;
constexpr int kH = 36;

using Rgba = std::array<float, 4>;

// An RGBA16F image of the given size whose texel (x, y) (row 0 at the bottom, as GL keeps it) is pixel(x, y).
Texture* makeImage(int w, int h, const std::function<Rgba(int, int)>& pixel)
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, w, h, IMAGE_TYPE_RGBA16F);
    txtSetupForGL(texture);
    std::vector<float> texels(static_cast<size_t>(4 * w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgba p = pixel(x, y);
            std::copy(p.begin(), p.end(), texels.begin() + 4 * (y * w + x));
        }
    glTextureSubImage2D(texture->glId, 0, 0, 0, w, h, GL_RGBA, GL_FLOAT, texels.data());
    return texture;
}

std::vector<float> readBack(const Texture* texture)
{
    const int w = texture->images[0]->width;
    const int h = texture->images[0]->height;
    std::vector<float> out(static_cast<size_t>(4 * w * h));
    glGetTextureImage(texture->glId, 0, GL_RGBA, GL_FLOAT, static_cast<GLsizei>(out.size() * sizeof(float)),
                      out.data());
    return out;
}

Rgba texel(const std::vector<float>& pixels, int x, int y, int w = kW)
{
    const float* p = pixels.data() + 4 * (y * w + x);
    return {p[0], p[1], p[2], p[3]};
}

// Publishes a fixed image on "img", as a scene player does.
class ImageProducer : public projtest::TestComponentBase {
public:
    ImageProducer(const std::string& name, Texture* texture) : TestComponentBase(0, name), image("image output", texture)
    {
        AddOutput("img", ResourceType::Image)->payload = &image;
    }
    ImageResource image;
};

class PostEffects : public shadertest::ShaderGLTest {
protected:
    projtest::ScopedProject project;
    std::vector<Texture*> textures;
    int savedWidth = screenWidth;
    int savedHeight = screenHeight;

    void SetUp() override
    {
        ShaderGLTest::SetUp();
        dataSetBasePath(kAssets);
        rendererInitGlobalInputs();
        screenWidth = kW;
        screenHeight = kH;
        txtReleaseCachedTextures();
    }
    void TearDown() override
    {
        for (EngineComponent* component : project.components)
            delete component;
        project.components.clear();
        for (Texture* texture : textures)
            txtDestroy(texture);
        txtDestroyCachedTextures();
        screenWidth = savedWidth;
        screenHeight = savedHeight;
        EXPECT_EQ(fbStackTop, 0);
        ShaderGLTest::TearDown();
    }

    template <typename T>
    T* add(T* component)
    {
        project.components.push_back(component);
        return component;
    }
    // A component as the type table makes it.
    template <typename T>
    T* make(const std::string& name)
    {
        return add(static_cast<T*>(T::Create(name)));
    }
    Texture* image(const std::function<Rgba(int, int)>& pixel, int w = kW, int h = kH)
    {
        textures.push_back(makeImage(w, h, pixel));
        return textures.back();
    }
    Texture* flat(float value) { return image([value](int, int) { return Rgba{value, value, value, 1.0f}; }); }

    // An output buffer fed by a producer of `source`, with the given post links in that order.
    outputbufferfx* chain(Texture* source, const std::vector<posteffectfx*>& effects)
    {
        auto* producer = add(new ImageProducer("producer", source));
        auto* out = make<outputbufferfx>("out");
        out->imageInput->links = {producer->outputs[0]->id};
        for (posteffectfx* effect : effects)
            out->postInput->links.push_back(effect->post->id);
        return out;
    }
    // One frame's chain run; the scratch pool is handed back first, as at the start of a frame.
    std::vector<float> run(outputbufferfx* out)
    {
        txtReleaseCachedTextures();
        out->RunPostChain(nullptr, Timestep{});
        EXPECT_NE(out->mainOutput->texture, nullptr);
        return out->mainOutput->texture ? readBack(out->mainOutput->texture) : std::vector<float>{};
    }
    // A custom effect that multiplies the image by "Param1".
    postcustomfx* scaler(const std::string& name, float factor)
    {
        auto* custom = make<postcustomfx>(name);
        custom->program.text = R"(#version 430
in vec2 vTexcoord0;
uniform sampler2D s_texture0;
layout(std140) uniform PostprocessParams { vec4 params; };
layout(location = 0) out vec4 outColor;
void main() { outColor = texture(s_texture0, vTexcoord0) * vec4(vec3(params.x), 1.0); }
)" + shadertest::uniqueTag();
        custom->param1.value[0] = factor;
        return custom;
    }
    posttonemapfx* reinhard(const std::string& name, float exposure)
    {
        auto* tonemap = make<posttonemapfx>(name);
        tonemap->type.value[0] = 3;
        tonemap->exposure.value[0] = exposure;
        return tonemap;
    }
};

TEST_F(PostEffects, ChainRunsInLinkOrderIntoScratchTexturesAndLeavesTheProducerImageAlone)
{
    Texture* source = flat(1.0f);
    posteffectfx* twice = scaler("twice", 2.0f);
    posteffectfx* tonemap = reinhard("tonemap", 1.0f);
    outputbufferfx* out = chain(source, {twice, tonemap});

    // 1 x 2 = 2, then 2 / (1 + 2).
    std::vector<float> pixels = run(out);
    EXPECT_NEAR(texel(pixels, 5, 5)[0], 2.0f / 3.0f, 2e-3f);
    EXPECT_NEAR(texel(pixels, kW - 1, kH - 1)[1], 2.0f / 3.0f, 2e-3f);
    EXPECT_NE(out->mainOutput->texture, source);
    EXPECT_NEAR(texel(readBack(source), 5, 5)[0], 1.0f, 1e-3f);

    // Swapped links: 1 / (1 + 1), then doubled.
    std::swap(out->postInput->links[0], out->postInput->links[1]);
    pixels = run(out);
    EXPECT_NEAR(texel(pixels, 5, 5)[0], 1.0f, 2e-3f);

    // Three effects: the third writes the first scratch texture again.
    out->postInput->links.push_back(scaler("again", 3.0f)->post->id);
    txtReleaseCachedTextures();
    out->RunPostChain(nullptr, Timestep{});
    Texture* third = out->mainOutput->texture;
    EXPECT_NEAR(texel(readBack(third), 5, 5)[0], 3.0f, 1e-2f);
    out->postInput->links.pop_back();
    txtReleaseCachedTextures();
    out->postInput->links.resize(1);
    out->RunPostChain(nullptr, Timestep{});
    EXPECT_EQ(out->mainOutput->texture, third);
}

TEST_F(PostEffects, WithoutPostLinksTheImagePassesByPointerAndWithoutAnImageNothingChanges)
{
    Texture* source = flat(0.5f);
    outputbufferfx* out = chain(source, {});
    out->RunPostChain(nullptr, Timestep{});
    EXPECT_EQ(out->mainOutput->texture, source);

    auto* lone = make<outputbufferfx>("lone");
    lone->RunPostChain(nullptr, Timestep{});
    EXPECT_EQ(lone->mainOutput->texture, nullptr);

    // Only the first output buffer of a project is its "main output"; both publish their own record.
    EXPECT_EQ(project.store.get_by_name_type("main output", ResourceType::Image), out->mainOutput);
    EXPECT_EQ(lone->imageOutput->payload, lone->mainOutput);

    RenderItemBuilder builder;
    out->Execute(builder, Timestep{});
    ASSERT_EQ(builder.functionItems.size(), 1u);
    EXPECT_EQ(builder.functionItems[0].owner, out);
    EXPECT_FALSE(out->IsDependencyOnly());
}

TEST_F(PostEffects, DeletedOutputBufferLeavesNoDanglingRecordInTheStore)
{
    auto* out = static_cast<outputbufferfx*>(outputbufferfx::Create("out"));
    EXPECT_EQ(project.store.get_by_name("main output"), out->mainOutput);
    delete out;
    EXPECT_EQ(project.store.get_by_name("main output"), nullptr);
}

TEST_F(PostEffects, WronglyTypedOrMissingLinksAreIgnoredWithOneLogLine)
{
    LogCapture log;
    Texture* source = flat(1.0f);
    auto* value = add(new projtest::TestProducer("value"));
    posteffectfx* twice = scaler("twice", 2.0f);
    outputbufferfx* out = chain(source, {});
    // A value pin, a link to no pin at all, and a real effect.
    out->postInput->links = {value->output->id, 999999, twice->post->id};

    std::vector<float> pixels = run(out);
    EXPECT_NEAR(texel(pixels, 3, 3)[0], 2.0f, 2e-3f);
    run(out);
    EXPECT_EQ(log.count("carries resource type 8 where type 13 is expected"), 1);

    // A value pin on "img": the main output keeps what it had.
    auto* other = make<outputbufferfx>("other");
    other->imageInput->links = {value->output->id};
    other->RunPostChain(nullptr, Timestep{});
    EXPECT_EQ(other->mainOutput->texture, nullptr);
    EXPECT_TRUE(log.contains("carries resource type 8 where type 14 is expected"));
}

TEST_F(PostEffects, TonemapMapsKnownValuesAsItsCurvesSay)
{
    struct Case {
        float type, exposure, blend, input, expected;
    };
    const Case cases[] = {
        {0, 1, 1, 1.0f, 1.0f - std::exp(-1.0f)},   // simple
        {1, 1, 1, 1.0f, 2.54f / 3.16f},            // ACES fit
        {3, 1, 1, 3.0f, 0.75f},                    // Reinhard
        {3, 2, 1, 1.0f, 2.0f / 3.0f},              // exposure first
        {3.9f, 1, 1, 1.0f, 0.5f},                  // the type's integer part
        {3, 1, 0, 3.0f, 3.0f},                     // blend 0: graded image only
        {4, 1, 1, 1.0f, 6.64850f / 7.90370f},      // Hejl-Dawson, x = 0.996
    };
    for (const Case& c : cases) {
        project.components.clear(); // the previous case's components are deleted below
        auto* tonemap = make<posttonemapfx>("tonemap");
        tonemap->type.value[0] = c.type;
        tonemap->exposure.value[0] = c.exposure;
        tonemap->blend.value[0] = c.blend;
        outputbufferfx* out = chain(flat(c.input), {tonemap});
        const std::vector<float> pixels = run(out);
        EXPECT_NEAR(texel(pixels, 10, 10)[0], c.expected, 3e-3f) << "type " << c.type << " input " << c.input;
        EXPECT_NEAR(texel(pixels, 10, 10)[3], 1.0f, 1e-3f);
        for (EngineComponent* component : project.components)
            delete component;
    }
    project.components.clear();
}

TEST_F(PostEffects, TonemapGradingOfTheWheels)
{
    const float zero[4] = {0, 0, 0, 0};
    TonemapGrading g = tonemapGrading(zero, zero, zero);
    for (int c = 0; c < 3; ++c) {
        EXPECT_FLOAT_EQ(g.lift[c], 0.0f);
        EXPECT_FLOAT_EQ(g.gain[c], 1.0f);
        EXPECT_FLOAT_EQ(g.invGamma[c], 1.0f);
    }
    EXPECT_FLOAT_EQ(g.invGamma[3], 1.0f);

    // Colour offsets around the mean plus the master value.
    const float lift[4] = {0.3f, 0.0f, 0.0f, 0.1f};
    const float gain[4] = {0.0f, 0.0f, 0.6f, 0.5f};
    g = tonemapGrading(lift, zero, gain);
    EXPECT_NEAR(g.lift[0], 0.3f, 1e-6f);
    EXPECT_NEAR(g.lift[1], 0.0f, 1e-6f);
    EXPECT_NEAR(g.gain[2], 1.9f, 1e-6f);
    EXPECT_NEAR(g.gain[0], 1.3f, 1e-6f);
    EXPECT_NEAR(g.invGamma[0], 1.0 / (std::log(0.2 / 1.0) / std::log(0.5)), 1e-4);
}

TEST_F(PostEffects, GlowBrightensAroundABrightSpotOnly)
{
    EXPECT_EQ(postglowfx::PassCount(0.0f), 1);
    EXPECT_EQ(postglowfx::PassCount(0.5f), 1);
    EXPECT_EQ(postglowfx::PassCount(24.7f), 24);
    EXPECT_EQ(postglowfx::PassCount(100.0f), 32);
    EXPECT_EQ(postglowfx::PassCount(NAN), 1);

    // A 4 x 4 spot of 4.0 in the middle of black.
    Texture* source = image([](int x, int y) {
        const bool spot = x >= 30 && x < 34 && y >= 16 && y < 20;
        return spot ? Rgba{4, 4, 4, 1} : Rgba{0, 0, 0, 1};
    });
    auto* glow = make<postglowfx>("glow");
    glow->passes.value[0] = 2.0f;
    outputbufferfx* out = chain(source, {glow});
    const std::vector<float> pixels = run(out);

    EXPECT_GT(texel(pixels, 35, 17)[0], 0.05f);  // next to the spot
    EXPECT_GT(texel(pixels, 31, 21)[1], 0.05f);
    EXPECT_GE(texel(pixels, 31, 17)[0], 4.0f);   // the spot keeps its own light
    EXPECT_NEAR(texel(pixels, 2, 2)[0], 0.0f, 1e-3f); // far away: untouched
    EXPECT_NEAR(texel(pixels, 60, 33)[2], 0.0f, 1e-3f);
    ASSERT_NE(glow->blurA, nullptr);
    EXPECT_EQ(glow->blurA->images[0]->width, kW / 2);
    EXPECT_EQ(glow->blurA->images[0]->height, kH / 2);
    EXPECT_EQ(glow->lastBlur, glow->blurB); // two passes end on B

    glow->passes.value[0] = 3.0f;
    run(out);
    EXPECT_EQ(glow->lastBlur, glow->blurA);

    // Above the threshold only: a dim image gets no glow.
    glow->threshold.value[0] = glow->threshold.value[1] = glow->threshold.value[2] = 0.5f;
    out->imageInput->links.clear();
    auto* dim = add(new ImageProducer("dim", flat(0.25f)));
    out->imageInput->links = {dim->outputs[0]->id};
    EXPECT_NEAR(texel(run(out), 31, 17)[0], 0.25f, 1e-3f);
}

TEST_F(PostEffects, GlowBlurTexturesAreHalfAnOddSourceRoundedDown)
{
    auto* glow = make<postglowfx>("glow");
    Framebuffer* src = fbCreate("odd src");
    Framebuffer* dst = fbCreate("odd dst");
    Texture* in = image([](int, int) { return Rgba{0, 0, 0, 1}; }, 65, 37);
    Texture* result = image([](int, int) { return Rgba{0, 0, 0, 1}; }, 65, 37);
    fbAttach(src, FB_ATTACHMENT_COLOR0, in);
    fbAttach(dst, FB_ATTACHMENT_COLOR0, result);
    glow->Apply(nullptr, src, dst, Renderer::PASS_DEFERRED, Timestep{});
    ASSERT_NE(glow->blurA, nullptr);
    EXPECT_EQ(glow->blurA->images[0]->width, 32);
    EXPECT_EQ(glow->blurA->images[0]->height, 18);
    fbDestroy(src);
    fbDestroy(dst);
}

TEST_F(PostEffects, AberrationShiftsRedAndBlueApartAlongTheRadius)
{
    // A white bar right of the centre.
    Texture* source = image([](int x, int) { return x >= 48 && x < 52 ? Rgba{1, 1, 1, 1} : Rgba{0, 0, 0, 1}; });
    auto* aberration = make<postaberrationfx>("aberration");
    aberration->strength.value[0] = 10.0f;
    outputbufferfx* out = chain(source, {aberration});
    const std::vector<float> pixels = run(out);

    const Rgba outside = texel(pixels, 53, 18); // outwards of the bar: red pulled out, no blue
    EXPECT_GT(outside[0], 0.2f);
    EXPECT_NEAR(outside[1], 0.0f, 1e-3f);
    EXPECT_NEAR(outside[2], 0.0f, 1e-3f);
    const Rgba inside = texel(pixels, 46, 18); // towards the centre: blue pulled in, no red
    EXPECT_GT(inside[2], 0.2f);
    EXPECT_NEAR(inside[0], 0.0f, 1e-3f);
    EXPECT_NEAR(texel(pixels, 50, 18)[1], 1.0f, 1e-3f); // green stays
}

TEST_F(PostEffects, CustomProgramRebuildsFiftySetupsAfterTheLastEdit)
{
    LogCapture log;
    auto* custom = make<postcustomfx>("custom");
    custom->setup_frame(nullptr, Timestep{});
    ASSERT_NE(custom->userProgram, nullptr);
    EXPECT_EQ(custom->userProgram->errors, 0u);

    for (int i = 0; i < 10; ++i) {
        custom->OnCvarChanged(&custom->program);
        custom->setup_frame(nullptr, Timestep{});
    }
    // The last edit set 50; its own set-up call took it to 49; the rebuild comes at the 50th.
    for (int i = 1; i < 49; ++i)
        custom->setup_frame(nullptr, Timestep{});
    EXPECT_EQ(custom->rebuildCountdown, 1);
    EXPECT_EQ(log.count("Compiled shader from:"), 1);
    custom->setup_frame(nullptr, Timestep{});
    EXPECT_EQ(log.count("Compiled shader from:"), 2);
    EXPECT_EQ(custom->rebuildCountdown, 0);

    // A failed rebuild replaces the program, and the effect then draws nothing: the destination keeps its content.
    custom->program.text = "#version 430\nthis does not compile\n" + shadertest::uniqueTag();
    custom->rebuildCountdown = 1;
    custom->setup_frame(nullptr, Timestep{});
    EXPECT_NE(custom->userProgram->errors, 0u);
    Framebuffer* src = fbCreate("custom src");
    Framebuffer* dst = fbCreate("custom dst");
    Texture* result = flat(0.3f);
    fbAttach(src, FB_ATTACHMENT_COLOR0, flat(0.9f));
    fbAttach(dst, FB_ATTACHMENT_COLOR0, result);
    custom->Apply(nullptr, src, dst, Renderer::PASS_DEFERRED, Timestep{});
    EXPECT_NEAR(texel(readBack(result), 4, 4)[0], 0.3f, 1e-3f);
    fbDestroy(src);
    fbDestroy(dst);
}

TEST_F(PostEffects, CustomBindsNamedTextureResources)
{
    Texture* extra = flat(0.75f);
    project.store.add_texture("extra", extra);
    auto* custom = make<postcustomfx>("custom");
    custom->program.text = R"(#version 430
in vec2 vTexcoord0;
uniform sampler2D s_texture0;
uniform sampler2D sImage1;
layout(location = 0) out vec4 outColor;
void main() { outColor = texture(s_texture0, vTexcoord0) + texture(sImage1, vTexcoord0); }
)" + shadertest::uniqueTag();
    custom->texture1.text = "extra";
    outputbufferfx* out = chain(flat(0.5f), {custom});
    EXPECT_NEAR(texel(run(out), 7, 7)[0], 1.25f, 2e-3f);
}

} // namespace
