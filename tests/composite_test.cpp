#include "render/composite.h"

#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_state.h"
#include "jni/engine/grd_texture.h"
#include "render/render_graph.h"
#include "render/shader_inputs.h"

#include "shader_test_util.h"
#include "timeline_test_util.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace gl;
using projtest::LogCapture;

namespace {

const std::string kAssets = std::string(ENGINE_SOURCE_DIR) + "assets/";

// An RGBA8 texture whose texel (x, y) is (x * 20, y * 40, x + y * width, 255): no two texels alike, so a flip,
// a transpose or an offset shows.
Texture* patternTexture(int width, int height)
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, width, height, IMAGE_TYPE_RGBA8);
    uint8_t* texels = texture->images[0]->levels[0];
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* t = texels + 4 * (y * width + x);
            t[0] = static_cast<uint8_t>(x * 20);
            t[1] = static_cast<uint8_t>(y * 40);
            t[2] = static_cast<uint8_t>(x + y * width);
            t[3] = 255;
        }
    }
    txtSetupForGL(texture);
    return texture;
}

Texture* solidTexture(uint8_t red)
{
    Texture* texture = txtCreate(TEXTURE_TYPE_2D, 2, 2, IMAGE_TYPE_RGBA8);
    for (int i = 0; i < 4; ++i) {
        uint8_t* t = texture->images[0]->levels[0] + 4 * i;
        t[0] = red;
        t[3] = 255;
    }
    txtSetupForGL(texture);
    return texture;
}

// A framebuffer with an RGBA8 colour target, and optionally a depth target, cleared to (1, 2, 3, 4) / 255.
struct Target {
    Framebuffer* framebuffer = nullptr;
    Texture* color = nullptr;
    Texture* depth = nullptr;
    int width = 0;
    int height = 0;

    Target(const char* name, int w, int h, bool withDepth = false) : width(w), height(h)
    {
        framebuffer = fbCreate(name);
        color = txtCreate(TEXTURE_TYPE_2D, w, h, IMAGE_TYPE_RGBA8);
        fbAttach(framebuffer, FB_ATTACHMENT_COLOR0, color);
        if (withDepth) {
            depth = txtCreate(TEXTURE_TYPE_2D, w, h, IMAGE_TYPE_DEPTH32F);
            fbAttach(framebuffer, FB_ATTACHMENT_DEPTH, depth);
        }
        // Attachments reach GL when the framebuffer is first bound.
        fbPush();
        fbBind(framebuffer);
        const float clear[4] = {1 / 255.0f, 2 / 255.0f, 3 / 255.0f, 4 / 255.0f};
        glClearNamedFramebufferfv(framebuffer->glId, GL_COLOR, 0, clear);
        fbPop();
    }
    ~Target()
    {
        if (fbCurrent == framebuffer)
            fbBind(nullptr);
        fbDestroy(framebuffer);
        txtDestroy(color);
        txtDestroy(depth);
    }
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    std::vector<uint8_t> pixels() const
    {
        std::vector<uint8_t> out(static_cast<size_t>(width) * height * 4);
        glGetTextureImage(color->glId, 0, GL_RGBA, GL_UNSIGNED_BYTE, static_cast<GLsizei>(out.size()), out.data());
        return out;
    }
};

class Composite : public shadertest::ShaderGLTest {
protected:
    std::vector<Texture*> textures;

    void SetUp() override
    {
        ShaderGLTest::SetUp();
        dataSetBasePath(kAssets);
        rendererInitGlobalInputs();
        fbBind(nullptr);
    }
    void TearDown() override
    {
        for (Texture* texture : textures)
            txtDestroy(texture);
        EXPECT_EQ(fbStackTop, 0);
        ShaderGLTest::TearDown();
    }
    Texture* keepTexture(Texture* texture)
    {
        textures.push_back(texture);
        return texture;
    }
    // A program on the composite's own vertex stage with the given fragment stage.
    ShaderProgram* quadProgram(const std::string& fragment)
    {
        const DataBlob vertex = dataLoadFile("shaders/composite_copy.vsh");
        EXPECT_TRUE(vertex);
        ShaderProgram* program =
            keep(shaderBuildProgramFromStrings("composite test", vertex.text(), shadertest::uniqueTag() + fragment, {}));
        EXPECT_FALSE(program->errors);
        return program;
    }
};

TEST_F(Composite, CopyDrawsTheTextureRightSideUp)
{
    // Not square, so swapped axes show as well as flips.
    constexpr int kWidth = 12;
    constexpr int kHeight = 5;
    Texture* source = keepTexture(patternTexture(kWidth, kHeight));
    Target target("composite copy", kWidth, kHeight);

    ASSERT_TRUE(compositeBuiltin(target.framebuffer, COMPOSITE_BUILTIN_COPY, source, nullptr));
    const std::vector<uint8_t> pixels = target.pixels();
    const uint8_t* expected = source->images[0]->levels[0];
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(pixels[4 * (y * kWidth + x) + c], expected[4 * (y * kWidth + x) + c])
                    << "pixel " << x << ", " << y << " channel " << c;
}

TEST_F(Composite, TexturesLandInTheirNumberedSamplersAndTheSizeIsGiven)
{
    ShaderProgram* program = quadProgram(R"(#version 430
uniform sampler2D s_texture0;
uniform sampler2D s_texture1;
uniform sampler2D s_texture2;
uniform vec2 vResolution;
uniform vec2 vResolutionInv;
in vec2 texcoord;
out vec4 color;
void main()
{
    color = vec4(texture(s_texture0, texcoord).r, texture(s_texture1, texcoord).r, texture(s_texture2, texcoord).r,
                 (vResolution.x * vResolutionInv.y) / 255.0);
}
)");
    Texture* a = keepTexture(solidTexture(10));
    Texture* b = keepTexture(solidTexture(20));
    Texture* c = keepTexture(solidTexture(30));
    Target target("composite three", 8, 4);
    const Timestep step{1.0f, 0.1f, false};

    ASSERT_TRUE(composite(target.framebuffer, program, &step, a, b, c, nullptr));
    const std::vector<uint8_t> pixels = target.pixels();
    EXPECT_EQ(pixels[0], 10);
    EXPECT_EQ(pixels[1], 20);
    EXPECT_EQ(pixels[2], 30);
    EXPECT_EQ(pixels[3], 2); // 8 x (1 / 4)
    const auto* resolution = static_cast<const float*>(program->uniforms.at("vResolutionInv")->value);
    EXPECT_FLOAT_EQ(resolution[0], 1.0f / 8);
    EXPECT_FLOAT_EQ(resolution[1], 1.0f / 4);
}

TEST_F(Composite, MoreThanTenTexturesAreRefusedWithNothingDrawn)
{
    ShaderProgram* copy = compositeBuiltinProgram(COMPOSITE_BUILTIN_COPY);
    Texture* t = keepTexture(solidTexture(200));
    Target target("composite eleven", 4, 4);
    Target previous("composite previous", 4, 4);
    fbBind(previous.framebuffer);

    LogCapture log;
    EXPECT_FALSE(composite(target.framebuffer, copy, nullptr, t, t, t, t, t, t, t, t, t, t, t, nullptr));
    EXPECT_TRUE(log.contains("at most 10 textures"));
    EXPECT_EQ(target.pixels()[0], 1); // still the clear colour
    EXPECT_EQ(fbCurrent, previous.framebuffer);
    EXPECT_EQ(fbStackTop, 0);

    // Ten is the most the names allow, and is drawn.
    EXPECT_TRUE(composite(target.framebuffer, copy, nullptr, t, t, t, t, t, t, t, t, t, t, nullptr));
    EXPECT_EQ(target.pixels()[0], 200);
    fbBind(nullptr);
}

TEST_F(Composite, ThePreviousFramebufferAndRenderStateComeBack)
{
    Texture* t = keepTexture(solidTexture(90));
    // The destination's depth is cleared to 0 and the state asks for depth testing and back-face culling: only a
    // pass that turns both off draws anything.
    Target target("composite state", 4, 4, true);
    const float zero = 0.0f;
    glClearNamedFramebufferfv(target.framebuffer->glId, GL_DEPTH, 0, &zero);
    Target previous("composite previous", 4, 4);
    fbBind(previous.framebuffer);
    RenderState state = renderStateDefault();
    state.cullMode = 1;
    state.depthTest = true;
    state.depthFunc = 3; // less
    renderStatePush(state);

    ASSERT_TRUE(compositeBuiltin(target.framebuffer, COMPOSITE_BUILTIN_COPY, t, nullptr));
    EXPECT_EQ(target.pixels()[0], 90);

    EXPECT_EQ(fbCurrent, previous.framebuffer);
    GLint bound = 0;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
    EXPECT_EQ(static_cast<unsigned int>(bound), previous.framebuffer->glId);
    EXPECT_EQ(renderStateStack.size(), 1u);
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_CULL_FACE));
    renderStatePop();
    fbBind(nullptr);
}

TEST_F(Composite, IncompleteDestinationIsReportedAndNothingChanges)
{
    Framebuffer* empty = fbCreate("composite empty");
    Target previous("composite previous", 4, 4);
    fbBind(previous.framebuffer);
    Texture* t = keepTexture(solidTexture(50));

    LogCapture log;
    EXPECT_FALSE(compositeBuiltin(empty, COMPOSITE_BUILTIN_COPY, t, nullptr));
    EXPECT_TRUE(log.contains("Destination framebuffer composite empty not valid"));
    EXPECT_EQ(fbCurrent, previous.framebuffer);
    EXPECT_EQ(fbStackTop, 0);
    fbBind(nullptr);
    fbDestroy(empty);
    while (glGetError() != GL_NO_ERROR) {
    }
}

TEST_F(Composite, BuiltinProgramsAndBadCalls)
{
    ShaderProgram* decode = compositeBuiltinProgram(COMPOSITE_BUILTIN_DECODE_NORMALS);
    ASSERT_NE(decode, nullptr);
    EXPECT_FALSE(decode->errors);
    EXPECT_EQ(decode->fragment->path, "shaders/decode_normals.fsh");
    EXPECT_EQ(compositeBuiltinProgram(COMPOSITE_BUILTIN_COPY)->fragment->path, "shaders/basic.fsh");
    EXPECT_EQ(compositeBuiltinProgram(2), nullptr);

    Target target("composite bad", 4, 4);
    LogCapture log;
    EXPECT_FALSE(compositeBuiltin(target.framebuffer, 2, nullptr));
    EXPECT_FALSE(compositeBuiltin(target.framebuffer, -1, nullptr));
    EXPECT_FALSE(composite(target.framebuffer, nullptr, nullptr, nullptr));
    EXPECT_EQ(log.count("\033[31m"), 3);
    EXPECT_EQ(target.pixels()[0], 1);
    EXPECT_EQ(fbStackTop, 0);
}

TEST_F(Composite, DecodeNormalsShowsTheStoredNormalsOfTheGBuffer)
{
    // R32UI: x and y of the octahedral normal in 11 bits each over -1..1, the material index above.
    const auto pack = [](uint32_t x, uint32_t y, uint32_t material) { return x | (y << 11) | (material << 22); };
    const uint32_t texels[4] = {
        pack(1024, 1024, 3), // +z
        pack(2047, 1024, 0), // +x
        pack(1024, 0, 7),    // -y
        0xC0000000u,         // the frame clear: no surface
    };
    Texture* normals = keepTexture(txtCreate(TEXTURE_TYPE_2D, 4, 1, IMAGE_TYPE_R32UI));
    std::memcpy(normals->images[0]->levels[0], texels, sizeof texels);
    txtSetupForGL(normals);
    Target target("composite normals", 4, 1);

    ASSERT_TRUE(compositeBuiltin(target.framebuffer, COMPOSITE_BUILTIN_DECODE_NORMALS, normals, nullptr));
    const std::vector<uint8_t> pixels = target.pixels();
    const int expected[4][3] = {{128, 128, 255}, {255, 128, 128}, {128, 0, 128}, {0, 0, 0}};
    for (int i = 0; i < 4; ++i)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(pixels[4 * i + c], expected[i][c], 2) << "texel " << i << " channel " << c;
}

TEST_F(Composite, AFullFramebufferStackIsLeftAsItWas)
{
    Texture* t = keepTexture(solidTexture(70));
    Target target("composite deep", 4, 4);
    Target previous("composite previous", 4, 4);
    fbBind(previous.framebuffer);
    for (int i = 0; i < FB_STACK_CAPACITY; ++i)
        fbPush();

    EXPECT_TRUE(compositeBuiltin(target.framebuffer, COMPOSITE_BUILTIN_COPY, t, nullptr));
    EXPECT_EQ(target.pixels()[0], 70);
    EXPECT_EQ(fbStackTop, FB_STACK_CAPACITY);
    EXPECT_EQ(fbCurrent, previous.framebuffer);
    while (fbStackTop > 0)
        fbPop();
    fbBind(nullptr);
}

} // namespace
