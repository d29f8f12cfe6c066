#include "components/texture_components.h"

#include "components/primitive_renderer.h"
#include "jni/engine/grd_texture.h"
#include "render/shader_inputs.h"

#include "project_test_util.h"
#include "shader_test_util.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <array>
#include <vector>

using namespace gl;

namespace {

const std::string kAssets = std::string(ENGINE_SOURCE_DIR) + "assets/";

using Rgba8 = std::array<uint8_t, 4>;

std::vector<float> readFloats(const Texture* texture)
{
    const int w = texture->images[0]->width;
    const int h = texture->images[0]->height;
    std::vector<float> out(static_cast<size_t>(4 * w * h));
    glGetTextureImage(texture->glId, 0, GL_RGBA, GL_FLOAT, static_cast<GLsizei>(out.size() * sizeof(float)),
                      out.data());
    return out;
}

std::vector<uint8_t> readBytes(const Texture* texture)
{
    const int w = texture->images[0]->width;
    const int h = texture->images[0]->height;
    std::vector<uint8_t> out(static_cast<size_t>(4 * w * h));
    glGetTextureImage(texture->glId, 0, GL_RGBA, GL_UNSIGNED_BYTE, static_cast<GLsizei>(out.size()), out.data());
    return out;
}

// Fills with a constant colour; the tag keeps the text out of other tests' compile cache entries.
std::string constantProgram(float r, float g, float b, float a)
{
    return "#version 430\nlayout(location = 0) out vec4 outColor;\nvoid main() { outColor = vec4(" +
           std::to_string(r) + ", " + std::to_string(g) + ", " + std::to_string(b) + ", " + std::to_string(a) +
           "); }\n" + shadertest::uniqueTag();
}

class TextureComponents : public shadertest::ShaderGLTest {
protected:
    projtest::ScopedProject project;

    void SetUp() override
    {
        ShaderGLTest::SetUp();
        dataSetBasePath(kAssets);
        rendererInitGlobalInputs();
    }
    void TearDown() override
    {
        for (EngineComponent* component : project.components)
            delete component;
        project.components.clear();
        ShaderGLTest::TearDown();
    }

    template <typename T>
    T* make(const std::string& name)
    {
        auto* component = static_cast<T*>(T::Create(name));
        project.components.push_back(component);
        return component;
    }
    texgencustomfx* generator(const std::string& name, int w, int h, const std::string& program = {},
                              int type = 0)
    {
        auto* gen = make<texgencustomfx>(name);
        gen->width.value[0] = static_cast<float>(w);
        gen->height.value[0] = static_cast<float>(h);
        gen->type.value[0] = static_cast<float>(type);
        if (!program.empty())
            gen->program.text = program;
        gen->Init();
        return gen;
    }
    static void link(InputPin* input, OutputPin* output) { input->links = {output->id}; }
    static void frame(std::initializer_list<EngineComponent*> jobs)
    {
        for (EngineComponent* component : jobs) {
            if (auto* gen = dynamic_cast<texgencustomfx*>(component))
                gen->process_frame(Timestep{});
            else if (auto* processor = dynamic_cast<texprocessfx*>(component))
                processor->process_frame(Timestep{});
        }
    }
    static GLint debugDepth()
    {
        GLint depth = 0;
        glGetIntegerv(GL_DEBUG_GROUP_STACK_DEPTH, &depth);
        return depth;
    }
};

TEST_F(TextureComponents, DefaultGeneratorFillsEveryTexelUpToTheEdges)
{
    // 100 x 60 is no multiple of anything the GPU groups work by.
    texgencustomfx* gen = generator("gen", 100, 60);
    frame({gen});
    ASSERT_NE(gen->texture, nullptr);
    const std::vector<uint8_t> pixels = readBytes(gen->texture);
    for (const auto& [x, y] : {std::pair{0, 0}, {99, 0}, {0, 59}, {99, 59}, {50, 30}}) {
        const uint8_t* p = pixels.data() + 4 * (y * 100 + x);
        EXPECT_EQ((Rgba8{p[0], p[1], p[2], p[3]}), (Rgba8{255, 0, 128, 255})) << x << "," << y;
    }
    // The exported record and the pin carry the same texture.
    auto* record = resourceCast<FileResource>(project.store.get_by_name_type("texgencustomfx/gen/Color",
                                                                             ResourceType::Texture),
                                              ResourceType::Texture);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->GetTexture(), gen->texture);
    EXPECT_EQ(gen->output->payload, record);
    EXPECT_FALSE(gen->IsDependencyOnly());
}

TEST_F(TextureComponents, GeneratorSizeAndFormatFollowTheParameters)
{
    struct Case {
        float width, height, type;
        int expectedWidth, expectedHeight;
        ImageType expectedFormat;
    };
    const Case cases[] = {
        {64, 32, 0, 64, 32, IMAGE_TYPE_RGBA8},
        {0, 16, 1, 1, 16, IMAGE_TYPE_RGBA16F},
        {-5, -1, 7, 1, 1, IMAGE_TYPE_RGBA8},
        {8, 8, 1.5f, 8, 8, IMAGE_TYPE_RGBA16F},
    };
    texgencustomfx* gen = generator("gen", 4, 4);
    for (const Case& c : cases) {
        gen->width.value[0] = c.width;
        gen->height.value[0] = c.height;
        gen->type.value[0] = c.type;
        gen->OnCvarChanged(&gen->type);
        ASSERT_NE(gen->texture, nullptr);
        EXPECT_EQ(gen->texture->images[0]->width, c.expectedWidth);
        EXPECT_EQ(gen->texture->images[0]->height, c.expectedHeight);
        EXPECT_EQ(gen->texture->images[0]->type, c.expectedFormat);
        // The raised values are written back.
        EXPECT_EQ(gen->width.value[0], static_cast<float>(c.expectedWidth));
        EXPECT_EQ(gen->height.value[0], static_cast<float>(c.expectedHeight));
        EXPECT_EQ(gen->exported.record()->GetTexture(), gen->texture);
    }
    // The remade texture is drawn into, not the one it replaced.
    frame({gen});
    const std::vector<float> pixels = readFloats(gen->texture);
    EXPECT_NEAR(pixels[2], 0.5f, 1e-3f);
}

TEST_F(TextureComponents, RenamedGeneratorIsFoundUnderItsNewName)
{
    texgencustomfx* gen = generator("before", 4, 4);
    gen->name = "after";
    gen->OnRenamed();
    EXPECT_EQ(project.store.get_by_name("texgencustomfx/before/Color"), nullptr);
    EXPECT_EQ(project.store.get_by_name("texgencustomfx/after/Color"), gen->exported.record());
}

TEST_F(TextureComponents, BrokenProgramKeepsTheLastWorkingOneAndIsNotRetriedEveryFrame)
{
    texgencustomfx* gen = generator("gen", 8, 8, constantProgram(0, 1, 0, 1));
    frame({gen});
    EXPECT_EQ(readBytes(gen->texture)[1], 255);

    // Typing: nothing is rebuilt until 50 frames after the last edit.
    gen->program.text = "#version 430\nthis does not compile\n" + shadertest::uniqueTag();
    gen->OnCvarChanged(&gen->program);
    const int buildsBefore = gen->userProgram.builds;
    for (int i = 0; i < 49; ++i)
        frame({gen});
    EXPECT_EQ(gen->userProgram.builds, buildsBefore);
    const size_t eventsBefore = events.text.size();
    frame({gen});
    EXPECT_EQ(gen->userProgram.builds, buildsBefore + 1);
    const std::string reported = events.text.substr(eventsBefore);
    EXPECT_NE(reported.find("gen: the edited program does not build; the last working one stays"), std::string::npos);

    // Still green, and no further attempt while the text stays as it is.
    for (int i = 0; i < 20; ++i)
        frame({gen});
    EXPECT_EQ(gen->userProgram.builds, buildsBefore + 1);
    EXPECT_EQ(readBytes(gen->texture)[1], 255);

    // A fixed text takes over after its own delay.
    gen->program.text = constantProgram(0, 0, 1, 1);
    gen->OnCvarChanged(&gen->program);
    for (int i = 0; i < 50; ++i)
        frame({gen});
    const std::vector<uint8_t> pixels = readBytes(gen->texture);
    EXPECT_EQ(pixels[1], 0);
    EXPECT_EQ(pixels[2], 255);
}

TEST_F(TextureComponents, FirstProgramThatFailsWaitsForAnEdit)
{
    texgencustomfx* gen = generator("gen", 8, 8, "#version 430\nbroken(\n" + shadertest::uniqueTag());
    for (int i = 0; i < 5; ++i)
        frame({gen});
    EXPECT_EQ(gen->userProgram.builds, 1);
    EXPECT_EQ(gen->userProgram.program, nullptr);
    EXPECT_NE(events.text.find("gen: the program does not build; waiting for an edit"), std::string::npos);
    EXPECT_EQ(debugDepth(), 1); // only the default group
}

TEST_F(TextureComponents, ProcessorsChainThroughExportAndCoverOddSizes)
{
    // red 0.25, green 1: the custom processor's default spreads red over every channel.
    texgencustomfx* gen = generator("gen", 100, 60, constantProgram(0.25f, 1, 0, 1), 1);
    auto* first = make<texprocesscustomfx>("first");
    link(first->input, gen->output);
    first->OnInputConnected(first->input->id);
    ASSERT_NE(first->texture, nullptr);
    EXPECT_EQ(first->texture->images[0]->width, 100);
    EXPECT_EQ(first->texture->images[0]->type, IMAGE_TYPE_RGBA16F); // inherited
    EXPECT_TRUE(first->IsDependencyOnly());

    // Without export the next processor gets nothing.
    auto* second = make<texprocesscustomfx>("second");
    link(second->input, first->output);
    second->OnInputConnected(second->input->id);
    EXPECT_EQ(second->texture, nullptr);
    EXPECT_EQ(project.store.get_by_name("texprocesscustomfx/first/Color"), nullptr);

    first->exportFlag.value[0] = 1.0f;
    first->OnCvarChanged(&first->exportFlag);
    EXPECT_FALSE(first->IsDependencyOnly());
    EXPECT_NE(project.store.get_by_name("texprocesscustomfx/first/Color"), nullptr);
    second->OnInputConnected(second->input->id);
    ASSERT_NE(second->texture, nullptr);

    frame({gen, first, second});
    const std::vector<float> pixels = readFloats(second->texture);
    // The last column and row are written too (the groups round up).
    for (const auto& [x, y] : {std::pair{0, 0}, {99, 59}, {96, 0}, {0, 56}, {99, 30}}) {
        const float* p = pixels.data() + 4 * (y * 100 + x);
        EXPECT_NEAR(p[0], 0.25f, 1e-3f) << x << "," << y;
        EXPECT_NEAR(p[1], 0.25f, 1e-3f) << x << "," << y;
    }

    // Export off again: the record goes and the pin empties.
    first->exportFlag.value[0] = 0.0f;
    first->OnCvarChanged(&first->exportFlag);
    EXPECT_EQ(project.store.get_by_name("texprocesscustomfx/first/Color"), nullptr);
    EXPECT_EQ(first->output->payload, nullptr);
    EXPECT_EQ(debugDepth(), 1); // only the default group
}

TEST_F(TextureComponents, ProcessorTypeOverridesRemakeTheOutputAndItsProgram)
{
    texgencustomfx* gen = generator("gen", 16, 8, constantProgram(0.5f, 0, 0, 1), 1);
    auto* processor = make<texprocesscustomfx>("proc");
    link(processor->input, gen->output);
    processor->Init();
    struct Case {
        float type;
        ImageType format;
        float expectedRed; // what an 8-bit or half target holds of 0.5
    };
    const Case cases[] = {
        {0, IMAGE_TYPE_RGBA16F, 0.5f},
        {3, IMAGE_TYPE_R8, 128.0f / 255.0f},
        {1, IMAGE_TYPE_RGBA8, 128.0f / 255.0f},
        {4, IMAGE_TYPE_R16F, 0.5f},
        {0, IMAGE_TYPE_RGBA16F, 0.5f},
    };
    for (const Case& c : cases) {
        processor->type.value[0] = c.type;
        processor->OnCvarChanged(&processor->type);
        ASSERT_NE(processor->texture, nullptr);
        EXPECT_EQ(processor->texture->images[0]->type, c.format) << c.type;
        frame({gen, processor});
        ASSERT_NE(processor->userProgram.program, nullptr) << c.type;
        EXPECT_NEAR(readFloats(processor->texture)[0], c.expectedRed, 1e-3f) << c.type;
    }

    // Unlinked: output and record released, the debug groups stay balanced.
    processor->input->links.clear();
    processor->OnInputDisconnected(processor->input->id);
    EXPECT_EQ(processor->texture, nullptr);
    EXPECT_EQ(processor->output->payload, nullptr);
    frame({processor});
    EXPECT_EQ(debugDepth(), 1); // only the default group
}

TEST_F(TextureComponents, MergeCombinesTwoSourcesByOperation)
{
    texgencustomfx* a = generator("a", 20, 12, constantProgram(0.25f, 0.5f, 0.125f, 1), 1);
    texgencustomfx* b = generator("b", 20, 12, constantProgram(0.5f, 0.5f, 0.5f, 1), 1);
    auto* merge = make<texprocessmergefx>("merge");
    link(merge->input1, a->output);
    link(merge->input2, b->output);
    merge->Init();
    ASSERT_NE(merge->texture, nullptr);
    frame({a, b});

    struct Case {
        float operation, factor1, factor2;
        float expected[3];
    };
    const Case cases[] = {
        {1, 1, 1, {0.75f, 1.0f, 0.625f}},          // Add
        {1, 0.5f, 1, {0.625f, 0.75f, 0.5625f}},    // Add with a weight
        {2, 1, 1, {0.125f, 0.25f, 0.0625f}},       // Multiply
        {0, 1, 1, {0.25f, 0.5f, 0.125f}},          // Replace: all of source 1
        {0, 0, 0.5f, {0.25f, 0.25f, 0.25f}},       // Replace: all of source 2, weighted
    };
    for (const Case& c : cases) {
        merge->operation.value[0] = c.operation;
        merge->source1Factor.value[0] = c.factor1;
        merge->source2Factor.value[0] = c.factor2;
        frame({merge});
        const std::vector<float> pixels = readFloats(merge->texture);
        for (size_t at : {size_t(0), pixels.size() - 4}) // first and last texel
            for (int ch = 0; ch < 3; ++ch)
                EXPECT_NEAR(pixels[at + size_t(ch)], c.expected[ch], 1e-3f)
                    << "operation " << c.operation << " channel " << ch;
    }
}

TEST_F(TextureComponents, MergeWithItsOutputAsSecondSourceAccumulates)
{
    texgencustomfx* a = generator("a", 8, 8, constantProgram(0.125f, 0, 0, 1), 1);
    auto* merge = make<texprocessmergefx>("merge");
    link(merge->input1, a->output);
    merge->Init();
    merge->operation.value[0] = 1;
    merge->useOutputAsSource2.value[0] = 1;
    frame({a});
    for (int i = 0; i < 3; ++i)
        frame({merge});
    EXPECT_NEAR(readFloats(merge->texture)[0], 0.375f, 1e-3f);

    // Without that flag and without a second link the job stops.
    merge->useOutputAsSource2.value[0] = 0;
    frame({merge});
    EXPECT_NEAR(readFloats(merge->texture)[0], 0.375f, 1e-3f);
    EXPECT_EQ(debugDepth(), 1); // only the default group
}

TEST_F(TextureComponents, BrokenMergeFileIsKeptForHotReloadAndNothingIsDispatched)
{
    texgencustomfx* a = generator("a", 8, 8, constantProgram(0.25f, 0, 0, 1), 1);
    frame({a});
    // The merge program from a scratch asset folder whose copy of the file does not compile.
    const std::string good = testutil::readFile(kAssets + "shaders/texture_processing/texproc_merge.comp");
    write("shaders/texture_processing/texproc_merge.comp", "#version 430\nnot glsl\n" + shadertest::uniqueTag());
    dataSetBasePath(dir.str());
    auto* merge = make<texprocessmergefx>("merge");
    link(merge->input1, a->output);
    merge->useOutputAsSource2.value[0] = 1;
    merge->operation.value[0] = 1;
    merge->Init();
    for (int i = 0; i < 3; ++i)
        frame({merge});
    ASSERT_NE(merge->userProgram.program, nullptr);
    EXPECT_NE(merge->userProgram.program->errors, 0u);
    EXPECT_EQ(merge->userProgram.builds, 1);
    EXPECT_NE(events.text.find("merge: the program does not build; it reloads when its file is fixed"),
              std::string::npos);
    EXPECT_NEAR(readFloats(merge->texture)[0], 0.0f, 1e-6f);

    // Fixed on disk: the reload repairs the same program and the next frame merges.
    write("shaders/texture_processing/texproc_merge.comp", good + shadertest::uniqueTag());
    ASSERT_TRUE(shaderReloadProgram(merge->userProgram.program));
    frame({merge});
    EXPECT_NEAR(readFloats(merge->texture)[0], 0.25f, 1e-3f);
}

TEST_F(TextureComponents, KinectPublishesTwoRecordsAndEmptyPins)
{
    auto* kinect = make<texgenkinectfx>("cam");
    auto* color = resourceCast<FileResource>(project.store.get_by_name("texgenkinectfx/cam/Color"),
                                             ResourceType::Texture);
    auto* depth = resourceCast<FileResource>(project.store.get_by_name("texgenkinectfx/cam/Depth"),
                                             ResourceType::Texture);
    ASSERT_NE(color, nullptr);
    ASSERT_NE(depth, nullptr);
    EXPECT_EQ(color->GetTexture()->images[0]->type, IMAGE_TYPE_RGBA8);
    EXPECT_EQ(depth->GetTexture()->images[0]->type, IMAGE_TYPE_R32F);
    EXPECT_EQ(kinect->colorOutput->payload, nullptr);
    EXPECT_EQ(kinect->depthOutput->payload, nullptr);
    RenderItemBuilder builder;
    kinect->Execute(builder, Timestep{});
    EXPECT_TRUE(builder.functionItems.empty());

    // Deleting the component takes its records out of the store.
    project.components.pop_back();
    delete kinect;
    EXPECT_EQ(project.store.get_by_name("texgenkinectfx/cam/Color"), nullptr);
    EXPECT_EQ(project.store.get_by_name("texgenkinectfx/cam/Depth"), nullptr);
}

TEST(TextureComponentsTransform, GeneratorBlockMapsTheUnitQuadOntoTheTarget)
{
    const TransformParams params = texgenTransformParams();
    // Row-major: corner (x, y) of the quad lands at (2x, -2y) in clip space.
    const float* p = params.projection.m;
    for (const auto& [x, y] : {std::pair{-0.5f, -0.5f}, {0.5f, 0.5f}, {0.5f, -0.5f}}) {
        EXPECT_FLOAT_EQ(p[0] * x + p[1] * y + p[3], 2 * x);
        EXPECT_FLOAT_EQ(p[4] * x + p[5] * y + p[7], -2 * y);
        EXPECT_FLOAT_EQ(p[12] * x + p[13] * y + p[15], 1.0f);
    }
    EXPECT_EQ(params.model.m[0], 1.0f);
    EXPECT_EQ(params.cameraPosition[0], 0.0f);
}

} // namespace
