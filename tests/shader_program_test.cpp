#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_image.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "shader_test_util.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace gl;
using shadertest::ColorTarget;
using shadertest::kFullscreenVertex;
using shadertest::LogCapture;
using shadertest::uniqueTag;

namespace {

class ShaderCache : public shadertest::ShaderGLTest {};
class ShaderProgramBuild : public shadertest::ShaderGLTest {};
class ShaderReload : public shadertest::ShaderGLTest {};
class ShaderUniformUpload : public shadertest::ShaderGLTest {};

const std::string kComputeBody = "layout(local_size_x = 1) in;\nvoid main() {}\n";

GLenum objectType(const ShaderStage* stage)
{
    GLint type = 0;
    glGetShaderiv(stage->glShaderId, GL_SHADER_TYPE, &type);
    return static_cast<GLenum>(type);
}

std::vector<int> glInts(const ShaderProgram* program, const char* name, int count)
{
    std::vector<int> values(static_cast<size_t>(count), -7);
    const GLint location = glGetUniformLocation(program->glProgramId, name);
    for (int i = 0; i < count; ++i)
        glGetUniformiv(program->glProgramId, location + i, &values[static_cast<size_t>(i)]);
    return values;
}

float glFloat(const ShaderProgram* program, const char* name)
{
    float value = -99.0f;
    glGetUniformfv(program->glProgramId, glGetUniformLocation(program->glProgramId, name), &value);
    return value;
}

int unitOf(const ShaderProgram* program, const char* name, int element = 0)
{
    const auto found = program->uniforms.find(name);
    return found == program->uniforms.end() ? -1 : static_cast<const int*>(found->second->value)[element];
}

const std::string kRed = "#version 430\nout vec4 color;\nvoid main() { color = vec4(1.0, 0.0, 0.0, 1.0); }\n";
const std::string kGreen = "#version 430\nout vec4 color;\nvoid main() { color = vec4(0.0, 1.0, 0.0, 1.0); }\n";
const std::string kBroken = "#version 430\nout vec4 color;\nvoid main() { color = vec4(0.0, 0.0, 1.0, 1.0) }\n";

using Pixel = std::array<uint8_t, 4>;

} // namespace

// ---- Compile cache ----

TEST_F(ShaderCache, SameTextBuiltTwiceCompilesOnce)
{
    const std::string text = uniqueTag() + "uniform float gain = 0.5;\n" + kComputeBody;
    LogCapture log;
    ShaderStage* first = shaderBuildGenericFromString("twice", text, GL_COMPUTE_SHADER, {});
    ShaderStage* second = shaderBuildGenericFromString("twice", text, GL_COMPUTE_SHADER, {});
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->compileFailed, 0u);
    EXPECT_EQ(second->glShaderId, first->glShaderId);
    EXPECT_EQ(log.count("Compiling shader <twice>"), 1);
    ASSERT_EQ(second->uniforms.size(), 1u);
    EXPECT_NE(second->uniforms[0], first->uniforms[0]);
    EXPECT_EQ(second->uniforms[0]->name, "gain");
    EXPECT_EQ(second->uniforms[0]->type, UNIFORM_TYPE_FLOAT);
    EXPECT_NE(second->uniforms[0]->value, first->uniforms[0]->value);
    EXPECT_FALSE(second->uniforms[0]->active);
    delete first;
    delete second;
}

// Regression: the stage type is part of the key, so one text as two stage types gives objects of both types.
TEST_F(ShaderCache, KeyHoldsDefinesAndStageType)
{
    const std::string text = uniqueTag() + "#ifdef VALUE\nconst int v = VALUE;\n#endif\nvoid main() {}\n";
    const ShaderDefines one{{"VALUE", "1"}, {"OTHER", "2"}};
    ShaderDefines reordered;
    reordered["OTHER"] = "2";
    reordered["VALUE"] = "1";
    const ShaderDefines changed{{"VALUE", "3"}, {"OTHER", "2"}};

    ShaderStage* vertex = shaderBuildGenericFromString("key", text, GL_VERTEX_SHADER, one);
    ShaderStage* sameEntries = shaderBuildGenericFromString("key", text, GL_VERTEX_SHADER, reordered);
    ShaderStage* otherValue = shaderBuildGenericFromString("key", text, GL_VERTEX_SHADER, changed);
    ShaderStage* fragment = shaderBuildGenericFromString("key", text, GL_FRAGMENT_SHADER, one);
    EXPECT_EQ(sameEntries->glShaderId, vertex->glShaderId);
    EXPECT_NE(otherValue->glShaderId, vertex->glShaderId);
    EXPECT_NE(fragment->glShaderId, vertex->glShaderId);
    EXPECT_EQ(objectType(vertex), GL_VERTEX_SHADER);
    EXPECT_EQ(objectType(fragment), GL_FRAGMENT_SHADER);
    EXPECT_EQ(fragment->compileFailed, 0u);

    ShaderCacheKey a{text, one, GL_VERTEX_SHADER};
    ShaderCacheKey b{text, one, GL_FRAGMENT_SHADER};
    EXPECT_NE(ShaderCacheKeyHash{}(a), ShaderCacheKeyHash{}(b));
    EXPECT_FALSE(a == b);
    for (ShaderStage* stage : {vertex, sameEntries, otherValue, fragment})
        delete stage;
}

TEST_F(ShaderCache, Fnv1aUsesThePublishedConstants)
{
    EXPECT_EQ(shaderHashFnv1a("", 0), 14695981039346656037ull);
    EXPECT_EQ(shaderHashFnv1a("a", 1), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(shaderHashFnv1a("foobar", 6), 0x85944171f73967e8ull);
}

TEST_F(ShaderCache, VersionLineMovesToTheFront)
{
    struct Case {
        const char* label;
        std::string text;
    };
    const std::string body = "void main() {}\n";
    const Case cases[] = {
        // The compiler sees its own "#version 450" first although it sits on line 3.
        {"own", uniqueTag() + "// line 2\n#version 450\n#if __VERSION__ != 450\n#error wrong version\n#endif\n" + body},
        {"default", uniqueTag() + "#if __VERSION__ != 430\n#error wrong version\n#endif\n" + body},
        {"no line feed", uniqueTag() + body + "#version 450"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        ShaderStage* stage = compile_shader(c.label, "<text>", text, GL_FRAGMENT_SHADER, {}, {});
        ASSERT_TRUE(stage) << c.label;
        EXPECT_EQ(stage->compileFailed, 0u) << c.label;
        EXPECT_EQ(stage->source, c.text) << c.label;
        if (c.text.find("#version") != std::string::npos) {
            EXPECT_NE(text.find("//ersion 450"), std::string::npos) << c.label;
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), std::count(c.text.begin(), c.text.end(), '\n'));
        }
        delete stage;
    }

    // A directive longer than the 255-character version buffer is refused, never cut or overrun.
    std::string longText = uniqueTag() + "#version 430 " + std::string(300, ' ') + "\n" + body;
    LogCapture log;
    ShaderStage* stage = compile_shader("long", "<text>", longText, GL_FRAGMENT_SHADER, {}, {});
    ASSERT_TRUE(stage);
    EXPECT_EQ(stage->compileFailed, 1u);
    EXPECT_EQ(stage->glShaderId, SHADER_NO_OBJECT);
    EXPECT_TRUE(log.contains("#version line is longer than 255"));
    delete stage;
}

TEST_F(ShaderCache, FailedTextIsReportedAndCompiledAgain)
{
    const std::string text = uniqueTag() + "void main() { undefined_call(); }\n";
    LogCapture log;
    ShaderStage* first = shaderBuildGenericFromString("broken", text, GL_FRAGMENT_SHADER, {});
    ShaderStage* second = shaderBuildGenericFromString("broken", text, GL_FRAGMENT_SHADER, {});
    EXPECT_EQ(first->compileFailed, 1u);
    EXPECT_EQ(second->compileFailed, 1u);
    EXPECT_NE(second->glShaderId, first->glShaderId);
    EXPECT_EQ(log.count("Compiling shader <broken>"), 2);
    // An error line (red) that names where the text came from.
    EXPECT_EQ(log.count("\033[31m[shaderstatus"), 2) << log.text();
    EXPECT_EQ(log.count("Could not compile shader:"), 2);
    EXPECT_EQ(log.count(std::string(", in <") + SHADER_TEXT_PATH + ">"), 2) << log.text();
    EXPECT_NE(events.text.find("0:broken\n"), std::string::npos);
    EXPECT_NE(events.text.find("undefined_call"), std::string::npos);
    delete first;
    delete second;
}

TEST_F(ShaderCache, FileStageTableAndRefusedRequests)
{
    write("shaders/inc.glsl", "void helper() { missing_thing(); }\n");
    write("shaders/stage.glsl", uniqueTag() + "#include \"inc.glsl\"\nvoid main() { helper(); }\n");
    ShaderStage* stage = shaderBuildGenericFromFile("shaders/stage.glsl", GL_FRAGMENT_SHADER, {});
    ASSERT_TRUE(stage);
    EXPECT_EQ(stage->compileFailed, 1u);
    EXPECT_EQ(stage->includedFiles, std::vector<std::string>{"shaders/inc.glsl"});
    // File stages have no name, so the table starts with a bare "0:".
    EXPECT_EQ(events.text.rfind("0:\n0:shaders/inc.glsl\n", 0), 0u) << events.text;
    delete stage;

    LogCapture log;
    std::string empty;
    ShaderStage* none = compile_shader("empty", "<text>", empty, GL_VERTEX_SHADER, {}, {});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->compileFailed, 1u);
    EXPECT_EQ(none->glShaderId, SHADER_NO_OBJECT);
    EXPECT_EQ(log.text(), "");
    delete none;

    std::string text = "void main() {}\n";
    EXPECT_EQ(compile_shader("bad", "<text>", text, GL_TEXTURE_2D, {}, {}), nullptr);
    EXPECT_TRUE(log.contains("Incorrect shader type:0xde1"));

    ShaderStage* missing = shaderBuildGenericFromFile("nope.glsl", GL_FRAGMENT_SHADER, {});
    EXPECT_EQ(missing->compileFailed, 1u);
    EXPECT_EQ(missing->glShaderId, SHADER_NO_OBJECT);
    delete missing;
}

// ---- Programs: reflection ----

TEST_F(ShaderProgramBuild, UnboundBlocksGetTheirBindingPoints)
{
    write("blocks.glsl", uniqueTag() + R"(layout(local_size_x = 1) in;
layout(std430, binding = 0) buffer ExplicitZero { uint zero[]; };
layout(std430) buffer Unbound { uint unbound[]; };
layout(std430, binding = 3) buffer Three { uint three[]; };
layout(std140) uniform UniformUnbound { vec4 uu; };
layout(std140, binding = 2) uniform UniformTwo { vec4 u2; };
void main() { zero[0] = unbound[0] + three[0] + uint(uu.x + u2.x); }
)");
    ShaderProgram* program = keep(shaderLoadProgramCompute("blocks.glsl", {}));
    ASSERT_EQ(program->errors, 0u);
    auto binding = [&](const auto& map, const char* name) {
        const auto found = map.find(name);
        return found == map.end() ? -1 : static_cast<int>(found->second->binding);
    };
    const int a = binding(program->storageBlocks, "ExplicitZero");
    const int b = binding(program->storageBlocks, "Unbound");
    EXPECT_EQ(std::min(a, b), 4);
    EXPECT_EQ(std::max(a, b), 5);
    EXPECT_EQ(binding(program->storageBlocks, "Three"), 3);
    EXPECT_EQ(binding(program->uniformBlocks, "UniformUnbound"), 16);
    EXPECT_EQ(binding(program->uniformBlocks, "UniformTwo"), 2);
    EXPECT_TRUE(program->storageBlocks.at("Unbound")->referenced);
    EXPECT_FALSE(program->uniformBlocks.at("UniformTwo")->referenced);

    // GL agrees with the reflection.
    for (const auto& [name, block] : program->storageBlocks) {
        const GLenum prop = GL_BUFFER_BINDING;
        GLint value = -1;
        glGetProgramResourceiv(program->glProgramId, GL_SHADER_STORAGE_BLOCK, block->blockIndex, 1, &prop, 1, nullptr,
                               &value);
        EXPECT_EQ(value, static_cast<GLint>(block->binding)) << name;
    }
}

// Regression: integer samplers, shadow cube and 2D-array shadow samplers and indented declarations get units of
// their own instead of sitting on unit 0 beside a float sampler.
TEST_F(ShaderProgramBuild, EverySamplerAndImageGetsAUnit)
{
    const std::string fragment = uniqueTag() + R"(#version 430
uniform sampler2D first;
uniform sampler2D second;
uniform sampler2D several[3];
uniform isampler2D integers;
uniform samplerCubeShadow cubeShadow;
uniform sampler2DArrayShadow layersShadow;
    uniform sampler2D indented;
layout(rgba8) uniform image2D picture;
out vec4 color;
void main()
{
    color = texture(first, vec2(0.5)) + texture(second, vec2(0.5)) + texture(several[0], vec2(0.5))
          + texture(several[1], vec2(0.5)) + texture(several[2], vec2(0.5)) + vec4(texelFetch(integers, ivec2(0), 0))
          + vec4(texture(cubeShadow, vec4(1.0))) + vec4(texture(layersShadow, vec4(0.5)))
          + texture(indented, vec2(0.5)) + imageLoad(picture, ivec2(0));
}
)";
    ShaderProgram* program = fromStrings(fragment);
    ASSERT_EQ(program->errors, 0u);
    ASSERT_TRUE(shaderUseProgram(program));

    std::vector<int> units;
    for (const char* name : {"first", "second", "integers", "cubeShadow", "layersShadow", "indented"})
        units.push_back(unitOf(program, name));
    for (int e = 0; e < 3; ++e)
        units.push_back(unitOf(program, "several", e));
    std::sort(units.begin(), units.end());
    EXPECT_EQ(units, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(program->samplerUnits, 9);
    EXPECT_EQ(unitOf(program, "several", 1), unitOf(program, "several") + 1);
    EXPECT_EQ(unitOf(program, "picture"), 0);
    EXPECT_EQ(program->imageUnits, 1);
    EXPECT_TRUE(program->uniforms.at("integers")->active);

    // The units reached GL: every sampler on a unit of its own.
    EXPECT_EQ(glInts(program, "integers", 1)[0], unitOf(program, "integers"));
    EXPECT_EQ(glInts(program, "several", 3),
              (std::vector<int>{unitOf(program, "several"), unitOf(program, "several") + 1,
                                unitOf(program, "several") + 2}));
}

// Regression: with an isampler2D on unit 0 beside a sampler2D, the draw failed with GL_INVALID_OPERATION.
TEST_F(ShaderProgramBuild, IntegerAndFloatSamplersDrawTogether)
{
    ShaderProgram* program = fromStrings(uniqueTag() + R"(#version 430
uniform sampler2D colors;
uniform isampler2D counts;
out vec4 color;
void main() { color = texture(colors, vec2(0.5)) * float(texelFetch(counts, ivec2(0), 0).r); }
)");
    ASSERT_EQ(program->errors, 0u);
    GLuint textures[2];
    glCreateTextures(GL_TEXTURE_2D, 2, textures);
    glTextureStorage2D(textures[0], 1, GL_RGBA8, 1, 1);
    glTextureStorage2D(textures[1], 1, GL_R32I, 1, 1);
    const uint8_t rgba[4] = {0, 255, 0, 255};
    const int32_t count = 1;
    glTextureSubImage2D(textures[0], 0, 0, 0, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
    glTextureSubImage2D(textures[1], 0, 0, 0, 1, 1, GL_RED_INTEGER, GL_INT, &count);
    for (GLuint texture : textures) {
        glTextureParameteri(texture, GL_TEXTURE_MIN_FILTER, static_cast<GLint>(GL_NEAREST));
        glTextureParameteri(texture, GL_TEXTURE_MAG_FILTER, static_cast<GLint>(GL_NEAREST));
    }

    ColorTarget target;
    shaderUseProgram(program);
    TextureBindings bindings;
    bindings["colors"] = TextureBinding{IMAGE_TYPE_RGBA8, 0, textures[0], 0};
    bindings["counts"] = TextureBinding{IMAGE_TYPE_R32UI, 0, textures[1], 0};
    EXPECT_TRUE(shaderBindTextures(program, bindings));
    EXPECT_EQ(target.draw(), (Pixel{0, 255, 0, 255}));
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
    glDeleteTextures(2, textures);
}

// Regression: the initial values come from the linked program, so binding never overwrites the source's own.
TEST_F(ShaderProgramBuild, InitialValuesComeFromTheLinkedProgram)
{
    const std::string vertex = uniqueTag() + R"(#version 430
uniform float gain = -1.0;
uniform vec3 tint = vec3(0.5);
uniform int mode = 2;
uniform float bias = 3.0;
void main() { gl_Position = vec4(gain, tint.x + float(mode), bias, 1.0); }
)";
    const std::string fragment = uniqueTag() + R"(#version 430
uniform float bias = 3.0;
uniform float weights[3] = float[3](0.25, 0.5, 0.75);
out vec4 color;
void main() { color = vec4(bias + weights[0] + weights[1] + weights[2]); }
)";
    ShaderProgram* program = keep(shaderBuildProgramFromStrings("init", vertex, fragment, {}));
    ASSERT_EQ(program->errors, 0u);
    auto floats = [&](const char* name) { return static_cast<const float*>(program->uniforms.at(name)->value); };
    EXPECT_FLOAT_EQ(floats("gain")[0], -1.0f);
    EXPECT_FLOAT_EQ(floats("tint")[2], 0.5f);
    EXPECT_EQ(static_cast<const int*>(program->uniforms.at("mode")->value)[0], 2);
    EXPECT_FLOAT_EQ(floats("weights")[2], 0.75f);
    // A name both stages declare is entered once: the vertex stage's descriptor.
    const ShaderUniform* bias = program->uniforms.at("bias");
    EXPECT_EQ(std::count(program->vertex->uniforms.begin(), program->vertex->uniforms.end(), bias), 1);

    shaderUseProgram(program);
    EXPECT_FLOAT_EQ(glFloat(program, "gain"), -1.0f);
    EXPECT_FLOAT_EQ(glFloat(program, "weights[1]"), 0.5f);
}

TEST_F(ShaderProgramBuild, SameFilesTwiceShareShaderObjects)
{
    write("v.glsl", uniqueTag() + kFullscreenVertex);
    write("f.glsl", uniqueTag() + kRed);
    ShaderProgram* a = keep(shaderLoadProgram("v.glsl", "f.glsl", {}));
    ShaderProgram* b = keep(shaderLoadProgram("v.glsl", "f.glsl", {}));
    EXPECT_EQ(a->errors | b->errors, 0u);
    EXPECT_NE(a->serial, b->serial);
    EXPECT_NE(a->glProgramId, b->glProgramId);
    EXPECT_EQ(a->vertex->glShaderId, b->vertex->glShaderId);
    EXPECT_EQ(a->fragment->glShaderId, b->fragment->glShaderId);
    EXPECT_EQ(a->fragment->path, "f.glsl");
}

TEST_F(ShaderProgramBuild, FailuresGiveAProgramWithErrors)
{
    LogCapture log;
    // Compile failure: a program comes back, marked, and binding it binds nothing.
    ShaderProgram* broken = fromStrings(uniqueTag() + kBroken);
    ASSERT_NE(broken, nullptr);
    EXPECT_NE(broken->errors, 0u);
    EXPECT_FALSE(shaderUseProgram(broken));
    EXPECT_EQ(shaderCurrentProgram, nullptr);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);

    // Link failure: the fragment stage reads an input no earlier stage writes.
    ShaderProgram* unlinked = fromStrings(uniqueTag() + "#version 430\nin vec3 neverWritten;\nout vec4 color;\n"
                                                        "void main() { color = vec4(neverWritten, 1.0); }\n");
    EXPECT_NE(unlinked->errors, 0u);
    EXPECT_TRUE(log.contains("Could not link program vs:<text> fs:<text> gs:none : "));
    EXPECT_NE(events.text.find("Could not link program vs:<text>"), std::string::npos);

    // A missing vertex file fails the program without stopping anything.
    ShaderProgram* missing = keep(shaderLoadProgram("absent.glsl", "absent_too.glsl", {}));
    EXPECT_NE(missing->errors, 0u);
}

// ---- Reload ----

TEST_F(ShaderReload, BrokenFragmentKeepsTheOldProgramDrawing)
{
    write("shaders/v.glsl", uniqueTag() + kFullscreenVertex);
    write("shaders/common.glsl", "// shared\n");
    write("shaders/f.glsl", uniqueTag() + kRed);
    ShaderProgram* program = keep(shaderLoadProgram("shaders/v.glsl", "shaders/f.glsl", {}));
    ASSERT_EQ(program->errors, 0u);
    ColorTarget target;
    shaderUseProgram(program);
    EXPECT_EQ(target.draw(), (Pixel{255, 0, 0, 255}));
    const GLuint firstId = program->glProgramId;

    LogCapture log;
    write("shaders/f.glsl", "#include \"common.glsl\"\n" + kBroken);
    EXPECT_FALSE(shaderReloadProgram(program));
    EXPECT_NE(program->errors, 0u);
    EXPECT_EQ(program->glProgramId, firstId);
    EXPECT_TRUE(log.contains("Keeping old shader running"));
    // Code that does not test `errors` still draws with the old program.
    shaderUseProgram(program);
    EXPECT_EQ(target.draw(), (Pixel{255, 0, 0, 255}));
    // The watches follow the new file set and point at the program the callers hold.
    std::vector<std::string> watched;
    for (const ResourceWatch* watch : resWatchList)
        if (watch->userData == program)
            watched.push_back(watch->path);
    std::sort(watched.begin(), watched.end());
    EXPECT_EQ(watched, (std::vector<std::string>{"shaders/common.glsl", "shaders/f.glsl", "shaders/v.glsl"}));

    // Fixing the file reloads through the hot-reload watch.
    write("shaders/f.glsl", uniqueTag() + kGreen + "// now green\n");
    for (int frame = 0; frame < 4; ++frame)
        resUpdateAll();
    EXPECT_EQ(program->errors, 0u);
    EXPECT_NE(program->glProgramId, firstId);
    EXPECT_NE(events.text.find("Shader reloaded successfully: shaders/f.glsl\n"), std::string::npos);
    // It was current, so GL now has the new program bound.
    GLint current = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &current);
    EXPECT_EQ(static_cast<GLuint>(current), program->glProgramId);
    EXPECT_EQ(target.draw(), (Pixel{0, 255, 0, 255}));
}

TEST_F(ShaderReload, RunTimeValuesSurviveUnlessTheTypeChanges)
{
    const std::string head = "#version 430\nout vec4 color;\n";
    write("v.glsl", uniqueTag() + kFullscreenVertex);
    write("f.glsl", uniqueTag() + head + "uniform float level = 0.25;\nuniform float other = 0.5;\n"
                                         "void main() { color = vec4(level, other, 0.0, 1.0); }\n");
    ShaderProgram* program = keep(shaderLoadProgram("v.glsl", "f.glsl", {}));
    ASSERT_EQ(program->errors, 0u);
    const float value = 0.7f;
    shaderSetUniform(program, "level", UNIFORM_TYPE_FLOAT, &value, sizeof(value));
    shaderSetUniform(program, "other", UNIFORM_TYPE_FLOAT, &value, sizeof(value));

    write("f.glsl", uniqueTag() + head + "uniform float level = 0.25;\nuniform vec2 other = vec2(0.125, 1.0);\n"
                                         "void main() { color = vec4(level, other, 1.0); }\n");
    ASSERT_TRUE(shaderReloadProgram(program));
    EXPECT_FLOAT_EQ(*static_cast<const float*>(program->uniforms.at("level")->value), 0.7f);
    const auto* other = static_cast<const float*>(program->uniforms.at("other")->value);
    EXPECT_FLOAT_EQ(other[0], 0.125f);
    EXPECT_FLOAT_EQ(other[1], 1.0f);
    shaderUseProgram(program);
    EXPECT_FLOAT_EQ(glFloat(program, "level"), 0.7f);
}

// Regression: programs built from strings were rebuilt from the path "<text>" and broke.
TEST_F(ShaderReload, StringProgramsReloadAndCloneFromTheirTexts)
{
    write("tint.glsl", "const vec4 tint = vec4(0.0, 0.0, 1.0, 1.0);\n");
    ShaderProgram* program = fromStrings(uniqueTag() + "#include \"tint.glsl\"\nout vec4 color;\n"
                                                       "void main() { color = tint; }\n");
    ASSERT_EQ(program->errors, 0u);
    LogCapture log;
    EXPECT_TRUE(shaderReloadProgram(program));
    EXPECT_EQ(program->errors, 0u);
    EXPECT_FALSE(log.contains("Could not"));

    ShaderProgram* clone = keep(shaderCloneProgram(program));
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->errors, 0u);
    EXPECT_NE(clone->glProgramId, program->glProgramId);
    ColorTarget target;
    shaderUseProgram(clone);
    EXPECT_EQ(target.draw(), (Pixel{0, 0, 255, 255}));

    // The included file is watched for both; changing it reloads through the watch.
    write("tint.glsl", "const vec4 tint = vec4(1.0, 1.0, 0.0, 1.0); // yellow\n");
    for (int frame = 0; frame < 4; ++frame)
        resUpdateAll();
    shaderUseProgram(program);
    EXPECT_EQ(target.draw(), (Pixel{255, 255, 0, 255}));
}

TEST_F(ShaderReload, CloneTakesTheDefinesAndComputeProgramsReload)
{
    write("c.glsl", uniqueTag() + "layout(local_size_x = 1) in;\nlayout(std430) buffer Out { int result[]; };\n"
                                  "void main() { result[0] = VALUE; }\n");
    ShaderProgram* program = keep(shaderLoadProgramCompute("c.glsl", {{"VALUE", "5"}}));
    ASSERT_EQ(program->errors, 0u);
    ShaderProgram* clone = keep(shaderCloneProgram(program));
    EXPECT_EQ(clone->defines, program->defines);
    EXPECT_EQ(clone->compute->glShaderId, program->compute->glShaderId);
    EXPECT_TRUE(shaderReloadProgram(program));
    EXPECT_EQ(program->compute->path, "c.glsl");
    EXPECT_NE(events.text.find("Shader reloaded successfully: c.glsl\n"), std::string::npos);
}

// ---- Use and upload ----

TEST_F(ShaderUniformUpload, ValuesSetBeforeBindingReachGLOnBind)
{
    ShaderProgram* program = fromStrings(uniqueTag() + "#version 430\nuniform float level;\nout vec4 color;\n"
                                                       "void main() { color = vec4(level); }\n");
    ASSERT_EQ(program->errors, 0u);
    shaderUseProgram(nullptr);
    const float value = 0.375f;
    shaderSetUniform(program, "level", UNIFORM_TYPE_FLOAT, &value, sizeof(value));
    EXPECT_FLOAT_EQ(glFloat(program, "level"), 0.0f);
    shaderUseProgram(program);
    EXPECT_FLOAT_EQ(glFloat(program, "level"), 0.375f);

    // While bound, a setter uploads at once.
    const float next = 0.5f;
    shaderSetUniform(program, "level", UNIFORM_TYPE_FLOAT, &next, sizeof(next));
    EXPECT_FLOAT_EQ(glFloat(program, "level"), 0.5f);
}

// Regression: the requested type was ignored and callers wrote a mat4 into a float's four bytes.
TEST_F(ShaderUniformUpload, MissingOrMismatchedNamesGetPlaceholders)
{
    ShaderProgram* program = fromStrings(uniqueTag() + "#version 430\nuniform float level;\nuniform sampler2D tex;\n"
                                                       "out vec4 color;\n"
                                                       "void main() { color = vec4(level) + texture(tex, vec2(0)); }\n");
    ASSERT_EQ(program->errors, 0u);
    shaderUseProgram(program);
    LogCapture log;
    ShaderUniform* missing = shaderFindUniformByName(program, "absent", UNIFORM_TYPE_VEC4);
    EXPECT_EQ(shaderFindUniformByName(program, "absent", UNIFORM_TYPE_VEC4), missing);
    EXPECT_EQ(log.count("No uniform <absent> in shader program"), 1);
    EXPECT_EQ(missing->location, -1);
    EXPECT_EQ(missing->type, UNIFORM_TYPE_VEC4);
    EXPECT_EQ(missing->byteSize, 0);

    ShaderUniform* level = program->uniforms.at("level");
    ShaderUniform* asMatrix = shaderFindUniformByName(program, "level", UNIFORM_TYPE_MAT4);
    EXPECT_NE(asMatrix, level);
    EXPECT_EQ(shaderFindUniformByName(program, "level", UNIFORM_TYPE_MAT4), asMatrix);
    EXPECT_EQ(log.count("Uniform <level> of shader program"), 1);
    const float matrix[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    shaderSetUniform(program, "level", UNIFORM_TYPE_MAT4, matrix, sizeof(matrix));
    EXPECT_FLOAT_EQ(*static_cast<const float*>(level->value), 0.0f);
    EXPECT_EQ(shaderFindUniformByName(program, "level", UNIFORM_TYPE_FLOAT), level);

    // A sampler's unit is an int: an int request gets the sampler itself.
    EXPECT_EQ(shaderFindUniformByName(program, "tex", UNIFORM_TYPE_INT), program->uniforms.at("tex"));
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// Regression: a bool uniform logged "Unknown uniform type" on every bind, 60 times a second.
TEST_F(ShaderUniformUpload, UnknownTypeIsLoggedOncePerUniform)
{
    ShaderProgram* program = fromStrings(uniqueTag() + "#version 430\nuniform bool flag;\nout vec4 color;\n"
                                                       "void main() { color = vec4(flag ? 1.0 : 0.0); }\n");
    ASSERT_EQ(program->errors, 0u);
    LogCapture log;
    for (int frame = 0; frame < 3; ++frame)
        shaderUseProgram(program);
    EXPECT_EQ(log.count("Unknown uniform type:1 for uniform name:<flag>"), 1);
}

// Regression: an error left by unrelated GL work was reported as the program's upload error.
TEST_F(ShaderUniformUpload, StaleErrorsAreNotBlamedOnTheProgram)
{
    ShaderProgram* program = fromStrings(uniqueTag() + "#version 430\nuniform float level;\nout vec4 color;\n"
                                                       "void main() { color = vec4(level); }\n");
    ASSERT_EQ(program->errors, 0u);
    LogCapture log;
    glEnable(static_cast<GLenum>(0x1234)); // GL_INVALID_ENUM from someone else
    shaderUseProgram(program);
    EXPECT_EQ(program->uniformErrorReported, 0u);
    EXPECT_TRUE(log.contains("GLError:before uniform upload() : (0x500)"));
    EXPECT_FALSE(log.contains("UpdateUniformValue"));

    // A real upload error is reported once per program.
    program->uniforms.at("level")->type = UNIFORM_TYPE_VEC4;
    program->uniforms.at("level")->allocateValue(16);
    program->uniforms.at("level")->byteSize = 16;
    shaderUseProgram(program);
    shaderUseProgram(program);
    EXPECT_EQ(program->uniformErrorReported, 1u);
    EXPECT_EQ(log.count("GLError:UpdateUniformValue:level (program:<text>, <text>)() : (0x502)"), 1);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

TEST_F(ShaderUniformUpload, CheckGlErrorCutsLongMessages)
{
    LogCapture log;
    glEnable(static_cast<GLenum>(0x1234));
    const std::string longName(2000, 'x');
    EXPECT_EQ(checkGlError("%s", longName.c_str()), GL_INVALID_ENUM);
    EXPECT_TRUE(log.contains("GLError:" + std::string(511, 'x') + "() : (0x500)"));
    EXPECT_EQ(checkGlError("nothing pending"), GL_NO_ERROR);
}

TEST_F(ShaderUniformUpload, OrthographicAndBuiltinMask)
{
    ShaderProgram* program = keep(shaderBuildProgramFromStrings(
        "ortho", uniqueTag() + "#version 430\nuniform mat4 mModelview;\nuniform mat4 mProjection;\n"
                              "uniform int vtx_builtin_buffers;\n"
                              "void main() { gl_Position = mProjection * mModelview * vec4(float(vtx_builtin_buffers)); }\n",
        kGreen, {}));
    ASSERT_EQ(program->errors, 0u);
    shaderUseProgram(program);
    shaderSetOrthographic(program, 0, 0, 0, 1920, 1080, 1);
    const auto* m = static_cast<const float*>(program->uniforms.at("mProjection")->value);
    // Row-major, translation in elements 3, 7 and 11: the screen corners map to -1 and 1, depth to 0 .. 1.
    auto apply = [&](float x, float y, float z, int row) { return m[row * 4] * x + m[row * 4 + 1] * y + m[row * 4 + 2] * z + m[row * 4 + 3]; };
    EXPECT_FLOAT_EQ(apply(0, 0, 0, 0), -1.0f);
    EXPECT_FLOAT_EQ(apply(1920, 1080, 1, 0), 1.0f);
    EXPECT_FLOAT_EQ(apply(1920, 1080, 1, 1), 1.0f);
    EXPECT_FLOAT_EQ(apply(0, 0, 0, 2), 0.0f);
    EXPECT_FLOAT_EQ(apply(0, 0, 1, 2), 1.0f);
    EXPECT_FLOAT_EQ(static_cast<const float*>(program->uniforms.at("mModelview")->value)[11], -1.0f);
    float uploaded[16] = {};
    glGetUniformfv(program->glProgramId, glGetUniformLocation(program->glProgramId, "mProjection"), uploaded);
    EXPECT_EQ(std::memcmp(uploaded, m, sizeof(uploaded)), 0);

    Geometry* quad = geomCreateQuad(1.0f, 1.0f);
    ASSERT_NE(quad, nullptr);
    shaderSetBuiltinBuffersMask(quad, program);
    EXPECT_EQ(glInts(program, "vtx_builtin_buffers", 1)[0], 9);
    geomDelete(quad);
}

TEST_F(ShaderUniformUpload, AttributesFromGeometryBindTheirBlocks)
{
    ShaderProgram* program = keep(shaderBuildProgramFromStrings(
        "attributes", uniqueTag() + R"(#version 430
layout(std430) readonly buffer VTXCoords { float coords[]; };
layout(std430) readonly buffer VTXUV0 { float uvs[]; };
void main() { gl_Position = vec4(coords[gl_VertexID * 3], uvs[gl_VertexID * 2], 0.0, 1.0); }
)",
        kGreen, {}));
    ASSERT_EQ(program->errors, 0u);
    Geometry* quad = geomCreateQuad(1.0f, 1.0f);
    ASSERT_NE(quad, nullptr);
    quad->buffers[0]->dirty = true;
    LogCapture log;
    shaderUseProgram(program);
    shaderSetAttributesFromGeometry(program, quad);
    EXPECT_TRUE(log.contains("Geometry was marked as <dirty>. Allocating GPU buffers..\\n"));
    EXPECT_FALSE(quad->buffers[0]->dirty);
    for (const char* name : {"VTXCoords", "VTXUV0"}) {
        GLint bound = 0;
        glGetIntegeri_v(GL_SHADER_STORAGE_BUFFER_BINDING, program->storageBlocks.at(name)->binding, &bound);
        EXPECT_EQ(static_cast<GLuint>(bound), quad->FindAttributeBuffer(name)->glId) << name;
    }
    GLint vao = 0;
    glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &vao);
    EXPECT_EQ(static_cast<GLuint>(vao), quad->vao);
    glBindVertexArray(0);
    geomDelete(quad);
}
