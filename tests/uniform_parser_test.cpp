#include "jni/engine/grd_shader_uniforms.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

struct Parsed {
    std::unique_ptr<ShaderUniform> uniform = std::make_unique<ShaderUniform>();
    bool ok = false;
};

Parsed parse(const std::string& declaration)
{
    Parsed p;
    p.ok = glslParseUniformDeclaration(declaration.c_str(), *p.uniform);
    return p;
}

// Runs the line scanner with the log captured.
std::vector<std::unique_ptr<ShaderUniform>> scan(const char* text, std::string* log = nullptr)
{
    testing::internal::CaptureStdout();
    std::vector<ShaderUniform*> raw = shaderParseUniformDeclarations(text);
    const std::string out = testing::internal::GetCapturedStdout();
    if (log)
        *log = out;
    std::vector<std::unique_ptr<ShaderUniform>> owned;
    for (ShaderUniform* u : raw)
        owned.emplace_back(u);
    return owned;
}

std::vector<std::string> names(const std::vector<std::unique_ptr<ShaderUniform>>& uniforms)
{
    std::vector<std::string> result;
    for (const auto& u : uniforms)
        result.push_back(u->name);
    return result;
}

} // namespace

TEST(UniformParser, DeclarationsGiveNameTypeSizeAndBinding)
{
    const struct {
        const char* declaration;
        const char* name;
        UniformType type;
        bool isArray;
        int arraySize;
        int byteSize;
        int element0; // the int in element 0 (image bindings); every other byte stays zero
    } cases[] = {
        {"uniform int vtx_builtin_buffers = 0;", "vtx_builtin_buffers", UNIFORM_TYPE_INT, false, 1, 4, 0},
        {"uniform mat4 mProjection;", "mProjection", UNIFORM_TYPE_MAT4, false, 1, 64, 0},
        {"uniform mat3 normalMatrix;", "normalMatrix", UNIFORM_TYPE_MAT3, false, 1, 36, 0},
        {"uniform mat4x4 m;", "m", UNIFORM_TYPE_MAT4, false, 1, 64, 0},
        {"uniform float exposure = -1.0;", "exposure", UNIFORM_TYPE_FLOAT, false, 1, 4, 0},
        {"uniform uint count = 3;", "count", UNIFORM_TYPE_UINT, false, 1, 4, 0},
        {"uniform vec2 uv = vec2(1.0, 2.0) * 0.5 + vec2(a.x, b[1]);", "uv", UNIFORM_TYPE_VEC2, false, 1, 8, 0},
        {"uniform vec3 tint = vec3(0.5);", "tint", UNIFORM_TYPE_VEC3, false, 1, 12, 0},
        {"uniform highp vec4 c = flag ? vec4(1.0) : vec4(2.0, 3.0, -4.0, 5.0);", "c", UNIFORM_TYPE_VEC4, false, 1, 16, 0},
        {"uniform vec4 colors[2] = vec4[2](vec4(1.0), vec4(2.0));", "colors", UNIFORM_TYPE_VEC4, true, 2, 32, 0},
        {"uniform float weights[3] = {1.0, 2.0, 3.0,};", "weights", UNIFORM_TYPE_FLOAT, true, 3, 12, 0},
        {"uniform float[4] taps;", "taps", UNIFORM_TYPE_FLOAT, true, 4, 16, 0},
        {"uniform float grid[2][5];", "grid", UNIFORM_TYPE_FLOAT, true, 2, 8, 0},
        {"uniform float sized[KERNEL_SIZE];", "sized", UNIFORM_TYPE_FLOAT, true, 1, 4, 0},
        {"uniform float open[];", "open", UNIFORM_TYPE_FLOAT, true, 1, 4, 0},
        {"uniform float a, b;", "a", UNIFORM_TYPE_FLOAT, false, 1, 4, 0},
        {"uniform float a, b[8] = float[8](0.0);", "a", UNIFORM_TYPE_FLOAT, false, 1, 4, 0},
        {"layout(location = 2) uniform float attribute;", "attribute", UNIFORM_TYPE_FLOAT, false, 1, 4, 0},
        {"uniform /* the ; in here */ float commented;\r", "commented", UNIFORM_TYPE_FLOAT, false, 1, 4, 0},
        {"uniform sampler2D tex;", "tex", UNIFORM_TYPE_SAMPLER2D, false, 1, 4, 0},
        {"uniform usampler2D ids;", "ids", UNIFORM_TYPE_SAMPLER2D, false, 1, 4, 0},
        {"uniform sampler2DShadow shadow;", "shadow", UNIFORM_TYPE_SAMPLER2D, false, 1, 4, 0},
        {"layout(binding = 3) uniform sampler2D bound;", "bound", UNIFORM_TYPE_SAMPLER2D, false, 1, 4, 0},
        {"uniform sampler2D layers[3];", "layers", UNIFORM_TYPE_SAMPLER2D, true, 3, 12, 0},
        {"uniform samplerCube env;", "env", UNIFORM_TYPE_SAMPLERCUBE, false, 1, 4, 0},
        {"uniform usampler3D vox;", "vox", UNIFORM_TYPE_SAMPLER3D, false, 1, 4, 0},
        {"uniform sampler2DArrayShadow cascades;", "cascades", UNIFORM_TYPE_SAMPLER2DARRAY, false, 1, 4, 0},
        {"layout(binding = 3) uniform image2D outImage;", "outImage", UNIFORM_TYPE_IMAGE2D, false, 1, 4, 3},
        {"layout(r32ui, binding = 5) uniform coherent uimage3D vol;", "vol", UNIFORM_TYPE_IMAGE3D, false, 1, 4, 5},
        {"layout(binding = 2, binding = 7) uniform image2D last;", "last", UNIFORM_TYPE_IMAGE2D, false, 1, 4, 7},
        {"layout(binding = 1 + 1) uniform image2D expr;", "expr", UNIFORM_TYPE_IMAGE2D, false, 1, 4, 0},
        {"layout(rgba8, BINDING = 4) uniform image2D cased;", "cased", UNIFORM_TYPE_IMAGE2D, false, 1, 4, 0},
        {"uniform bool flag;", "flag", UNIFORM_TYPE_UNKNOWN, false, 1, 0, 0},
        {"uniform ivec2 size;", "size", UNIFORM_TYPE_UNKNOWN, false, 1, 0, 0},
        {"uniform LightData light;", "light", UNIFORM_TYPE_UNKNOWN, false, 1, 0, 0},
        {"uniform isampler2D counts;", "counts", UNIFORM_TYPE_UNKNOWN, false, 1, 0, 0},
        {"uniform struct S { float x; vec2 y[2]; } s;", "s", UNIFORM_TYPE_UNKNOWN, false, 1, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.declaration);
        const Parsed p = parse(c.declaration);
        ASSERT_TRUE(p.ok);
        const ShaderUniform& u = *p.uniform;
        EXPECT_EQ(u.name, c.name);
        EXPECT_EQ(u.type, c.type);
        EXPECT_EQ(u.isArray, c.isArray);
        EXPECT_EQ(u.arraySize, c.arraySize);
        EXPECT_EQ(u.byteSize, c.byteSize);
        EXPECT_EQ(u.location, 0);
        EXPECT_FALSE(u.active);
        if (c.byteSize == 0) {
            EXPECT_EQ(u.value, nullptr);
            continue;
        }
        ASSERT_NE(u.value, nullptr);
        int element0 = 0;
        std::memcpy(&element0, u.value, 4);
        EXPECT_EQ(element0, c.element0);
        // Initializers never reach the value: the linked program supplies the real defaults.
        const auto* bytes = static_cast<const unsigned char*>(u.value);
        for (int i = 4; i < u.byteSize; ++i)
            ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }
}

TEST(UniformParser, InvalidDeclarationsAreRefused)
{
    const std::string deep = "uniform float x = " + std::string(100000, '(') + "1.0" + std::string(100000, ')') + ";";
    const std::string negated = "uniform float x = " + std::string(50000, '-') + "1.0;";
    const std::string cases[] = {
        "",
        ";",
        "uniform",
        "float x;",                      // no uniform qualifier
        "layout(location = 0) in vec3 uniformity;",
        "uniform float;",                // no name
        "uniform float x",               // no ";"
        "uniform float while;",          // a keyword as name
        "uniform vec3 = vec3(1.0);",
        "uniform float x y;",
        "uniform float x = ;",
        "uniform float x = (1.0;",
        "uniform int x = 1 +;",
        "uniform float x = a + b = 2.0;", // only a unary expression may be assigned to
        "uniform float x[2;",
        "uniform float x = 1.0f;",        // constants: digits "." digits, decimal integers, nothing else
        "uniform uint c = 2u;",
        "uniform float x = 1e5;",
        "uniform float x = 1.0e5;",
        "uniform float x = .5;",
        "uniform float x = 1.;",
        "uniform int x = 0x10;",
        "uniform int x = 99999999999;",
        "uniform float x[0];",
        "uniform float x[100000];",
        "uniform float x /* unterminated;",
        "uniform float x // no line feed;",
        "layout(binding = ) uniform image2D i;",
        "layout binding = 1 uniform image2D i;",
        "layout(std140) uniform Block {;",
        "layout(std140) uniform Params;",  // a block head whose brace is on the next line
        "uniform float f(float a);",       // a prototype declares no variable
        "@$\\`'\x01;",
        deep,
        negated,
    };
    for (const std::string& declaration : cases) {
        SCOPED_TRACE(declaration.substr(0, 80));
        EXPECT_FALSE(parse(declaration).ok);
    }
    ShaderUniform u;
    EXPECT_FALSE(glslParseUniformDeclaration(nullptr, u));
}

TEST(UniformParser, ScannerReadsUnindentedUniformLinesOnly)
{
    const char* text = "#version 430\n"
                       "uniform float a;\r\n"
                       "\r\n"
                       "layout(binding = 1) uniform image2D img; // trailing ; comment\n"
                       "  uniform float indented;\n"
                       "const uniform float constFirst = 1.0;\n"
                       "layout(std140) uniform Params {\n"
                       "    float insideBlock;\n"
                       "};\n"
                       "layout(std140) uniform Allman\n"
                       "{\n"
                       "layout(location = 0) in vec3 uniformity;\n"
                       "uniform float split\n"
                       "    = 1.0;\n"
                       "uniform float\n"
                       "    splitBeforeName;\n"
                       "uniform vec2 b; uniform float sameLine;\n"
                       "void main() {}\n"
                       "uniform float noLineFeed;";
    std::string log;
    const auto uniforms = scan(text, &log);
    EXPECT_EQ(names(uniforms), (std::vector<std::string>{"a", "img", "split", "b"}));
    EXPECT_EQ(static_cast<int*>(uniforms[1]->value)[0], 1);
    // Block heads and split declarations are expected; they are skipped without a word.
    EXPECT_EQ(log, "");
}

TEST(UniformParser, ScannerWarnsAboutDeclarationsItCannotRead)
{
    const std::string longLine = "uniform float x = 1.0" + std::string(100000, ' ') + ";\n";
    const std::string text = "uniform float good;\n"
                             "uniform float x = 1.0f;\n"
                             "uniform float y /* open\n"
                             "layout(binding = 2) uniform image2D img = ;\n"
                             "uniform float big[1000000];\n" +
                             longLine +
                             "uniform float tail; // " + std::string(2000, '-') + "\n";
    std::string log;
    const auto uniforms = scan(text.c_str(), &log);
    EXPECT_EQ(names(uniforms), (std::vector<std::string>{"good", "tail"}));
    EXPECT_NE(log.find("\"Uniform declaration not read <uniform float x = 1.0f;>: unexpected 'f' at column 22\""),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("<uniform float y /* open;>: unterminated comment at column 17\""), std::string::npos) << log;
    EXPECT_NE(log.find("<layout(binding = 2) uniform image2D img = ;>: unexpected ';' at column 43\""),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("array size 1000000 outside 1 .. 65536"), std::string::npos) << log;
    EXPECT_NE(log.find("Uniform declaration of 100021 characters not read (at most 511)"), std::string::npos) << log;

    EXPECT_TRUE(scan("").empty());
    EXPECT_TRUE(scan(nullptr).empty());
    EXPECT_TRUE(scan("\n\r\n\r\n").empty());
}
