#include "jni/engine/grd_shader_source.h"

#include "app/data_files.h"
#include "editor/event_log.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <unistd.h>

using testutil::readFile;
using testutil::TempDir;

namespace {

class ShaderSource : public ::testing::Test {
protected:
    TempDir dir{"shadersrc"};
    std::string oldBase = dataBasePath();
    EventLog events;
    EventLog* oldEvents = uiEventLog;

    void SetUp() override
    {
        dataSetBasePath(dir.str());
        uiEventLog = &events;
        ui_event_log_connect();
    }
    void TearDown() override
    {
        dataSetBasePath(oldBase);
        uiEventLog = oldEvents;
    }

    void write(const std::string& name, const std::string& text) { testutil::writeFile(dir.path() / name, text); }

    // The loaded text, or "<null>".
    std::string load(const std::string& path, const ShaderDefines& defines = {})
    {
        files.clear();
        char* text = shaderLoadPreprocessInclude(path, defines, files);
        if (!text)
            return "<null>";
        std::string copy = text;
        std::free(text);
        return copy;
    }

    ShaderPreprocessResult expandText(const std::string& source, const ShaderDefines& defines = {})
    {
        files.clear();
        return shaderPreprocessInclude(source.c_str(), "<text>", defines, files);
    }

    std::vector<std::string> files;
};

using Files = std::vector<std::string>;

} // namespace

TEST_F(ShaderSource, TextWithoutDirectivesOnlyGainsLineFeeds)
{
    const struct {
        const char* source;
        const char* expected;
    } cases[] = {
        {"", ""},
        {"a\nb", "a\nb\n"},
        {"a\r\nb\r\n", "a\r\nb\r\n"},   // a carriage return before the line feed stays
        {"a\n\rb\n", "a\nb\n"},         // one after it goes with it
        {"\n\nx", "\n\nx\n"},
        {"  #include <x.glsl>\n", "  #include <x.glsl>\n"}, // indented directives are ordinary lines
        {"\t#inline <INLINE_A>", "\t#inline <INLINE_A>\n"},
        {"#version 450\n#define A 1\n#if A\n#endif", "#version 450\n#define A 1\n#if A\n#endif\n"},
        {"/* unterminated comment\nvoid main(){}", "/* unterminated comment\nvoid main(){}\n"},
    };
    for (const auto& c : cases) {
        const ShaderPreprocessResult r = expandText(c.source, {{"INLINE_A", "x"}});
        EXPECT_TRUE(r.ok) << c.source;
        EXPECT_EQ(r.text, c.expected) << c.source;
        EXPECT_TRUE(r.messages.empty());
    }
    EXPECT_TRUE(files.empty());
}

TEST_F(ShaderSource, NestedIncludesCarryLineDirectivesAndListFilesInnermostFirst)
{
    write("shaders/main.glsl", "m1\n#include \"a.glsl\"\nm3");
    write("shaders/a.glsl", "a1\n#include <shaders/lib/b.glsl>\na3\n");
    write("shaders/lib/b.glsl", "b1\n");

    EXPECT_EQ(load("shaders/main.glsl"), "m1\n"
                                         "// -- Include file a.glsl follows:\n"
                                         "#line 1 1\n"
                                         "a1\n"
                                         "// -- Include file shaders/lib/b.glsl follows:\n"
                                         "#line 1 0\n"
                                         "b1\n"
                                         "// -- Include file shaders/lib/b.glsl done\n"
                                         "#line 2 0\n"
                                         "a3\n"
                                         "// -- Include file a.glsl done\n"
                                         "#line 2 0\n"
                                         "m3\n");
    EXPECT_EQ(files, (Files{"shaders/lib/b.glsl", "shaders/a.glsl"}));
    EXPECT_TRUE(events.text.empty());
}

TEST_F(ShaderSource, QuotedIncludesResolveNextToTheIncludingFile)
{
    write("shaders/post/commons.glsl", "post");
    write("shaders/materials/commons.glsl", "materials");
    write("commons.glsl", "root");
    write("shaders/post/dof_render.comp", "#include \"commons.glsl\"\n#include <shaders/materials/commons.glsl>\n"
                                          "#include \"commons.glsl\"\n");

    const std::string text = load("shaders/post/dof_render.comp");
    EXPECT_NE(text.find("#line 1 0\npost\n"), std::string::npos) << text;
    EXPECT_NE(text.find("#line 1 1\nmaterials\n"), std::string::npos) << text;
    EXPECT_NE(text.find("#line 1 2\npost\n// -- Include file commons.glsl done\n#line 3 0\n"), std::string::npos)
        << text;
    // A file included twice is listed twice.
    EXPECT_EQ(files, (Files{"shaders/post/commons.glsl", "shaders/materials/commons.glsl", "shaders/post/commons.glsl"}));

    // A source from a string has no folder: "/" and the name.
    const ShaderPreprocessResult r = expandText("#include \"commons.glsl\"\n");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.text, "// -- Include file commons.glsl follows:\n#line 1 0\nroot\n"
                      "// -- Include file commons.glsl done\n#line 1 0\n");
    EXPECT_EQ(files, (Files{"/commons.glsl"}));
}

TEST_F(ShaderSource, InlinesExpandDefinesAndSkipUnknownNames)
{
    write("shaders/near.glsl", "near");
    const ShaderDefines defines = {
        {"INLINE_MATERIAL_OVERRIDE", "albedo = vec3(1.0);"},
        {"INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK", "p1\n#include \"near.glsl\"\n"},
    };
    files.clear();
    const ShaderPreprocessResult r =
        shaderPreprocessInclude("l1\n#inline <INLINE_MATERIAL_OVERRIDE>\n#inline <INLINE_MISSING>\n#inline no name\n"
                                "#inline <INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK>\n#include <shaders/near.glsl>\n",
                                "shaders/main.glsl", defines, files);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.text, "l1\n"
                      "// -- Inline define _INLINE_MATERIAL_OVERRIDE_ follows\n"
                      "albedo = vec3(1.0);\n"
                      "// -- Inline file _INLINE_MATERIAL_OVERRIDE_ done\n"
                      "// -- Inline define _INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK_ follows\n"
                      "p1\n"
                      "// -- Include file near.glsl follows:\n#line 1 0\nnear\n"
                      "// -- Include file near.glsl done\n#line 2 0\n" // line 2 of the inline text
                      "// -- Inline file _INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK_ done\n"
                      "// -- Include file shaders/near.glsl follows:\n#line 1 1\nnear\n"
                      "// -- Include file shaders/near.glsl done\n#line 6 0\n"); // skipped inlines still count
    EXPECT_EQ(files, (Files{"shaders/near.glsl", "shaders/near.glsl"}));
}

TEST_F(ShaderSource, DefineBlockHasOneLinePerEntry)
{
    EXPECT_EQ(shaderMakeDefineBlock({}), "");
    EXPECT_EQ(shaderMakeDefineBlock({{"INLINE_MATERIAL_OVERRIDE", "albedo = vec3(1.0);"}}),
              "#define INLINE_MATERIAL_OVERRIDE 1\n");
    EXPECT_EQ(shaderMakeDefineBlock({{"MY_INLINE_X", "a b"}}), "#define MY_INLINE_X 1\n");
    const ShaderDefines two = {{"SAMPLES", "16"}, {"USE_FOG", ""}};
    std::string expected;
    for (const auto& [name, value] : two)
        expected += "#define " + name + " " + value + "\n";
    EXPECT_EQ(shaderMakeDefineBlock(two), expected);
    EXPECT_TRUE(shaderGlobalDefines.empty());
}

TEST_F(ShaderSource, FailuresReturnNullAndReportToLogAndEventLog)
{
    const struct {
        const char* label;
        std::vector<std::pair<std::string, std::string>> files;
        ShaderDefines defines;
        std::string message;
    } cases[] = {
        {"missing include two levels deep",
         {{"shaders/main.glsl", "#include \"a.glsl\"\n"}, {"shaders/a.glsl", "x\n#include \"missing.glsl\"\n"}},
         {},
         "    Failed to load include file <missing.glsl> Base file:<shaders/a.glsl> Local base file:<shaders>"},
        {"unclosed quote", {{"shaders/main.glsl", "#include \"a.glsl\n"}}, {}, "Failed to parse #include line <#include \"a.glsl>\n"},
        {"unclosed angle", {{"shaders/main.glsl", "#include <a.glsl\r\n"}}, {}, "Failed to parse #include line <#include <a.glsl\r>\n"},
        {"empty name", {{"shaders/main.glsl", "#include <>\n"}}, {}, "Failed to parse #include line <#include <>>\n"},
        {"file including itself",
         {{"shaders/main.glsl", "#include \"main.glsl\"\n"}},
         {},
         "Include cycle: shaders/main.glsl -> shaders/main.glsl"},
        {"indirect cycle",
         {{"shaders/main.glsl", "#include \"a.glsl\"\n"},
          {"shaders/a.glsl", "#include <shaders/b.glsl>\n"},
          {"shaders/b.glsl", "#include \"a.glsl\"\n"}},
         {},
         "Include cycle: shaders/main.glsl -> shaders/a.glsl -> shaders/b.glsl -> shaders/a.glsl"},
        {"inline cycle through a file",
         {{"shaders/main.glsl", "#inline <INLINE_A>\n"}, {"shaders/a.glsl", "#inline <INLINE_A>\n"}},
         {{"INLINE_A", "#include \"a.glsl\""}},
         "Include cycle: shaders/main.glsl -> #inline <INLINE_A> -> shaders/a.glsl -> #inline <INLINE_A>"},
        {"inlines naming each other",
         {{"shaders/main.glsl", "#inline <INLINE_A>\n"}},
         {{"INLINE_A", "#inline <INLINE_B>"}, {"INLINE_B", "#inline <INLINE_A>"}},
         "Include cycle: shaders/main.glsl -> #inline <INLINE_A> -> #inline <INLINE_B> -> #inline <INLINE_A>"},
        // Another spelling of the same path hides the cycle from the chain check; the depth limit stops it.
        {"cycle through path spellings",
         {{"shaders/main.glsl", "#include \"./main.glsl\"\n"}},
         {},
         "Include depth limit of 32 reached: shaders/main.glsl -> shaders/./main.glsl -> shaders/././main.glsl"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(dir.path());
        for (const auto& [name, text] : c.files)
            write(name, text);
        ui_event_log_clear(&events);
        testing::internal::CaptureStdout();
        EXPECT_EQ(load("shaders/main.glsl", c.defines), "<null>");
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("\"Failed to preprocess: <shaders/main.glsl> base path:<shaders>\""), std::string::npos);
        const std::string first = c.message.substr(0, c.message.find('\n'));
        EXPECT_NE(log.find("\"  " + first), std::string::npos) << log;
        EXPECT_EQ(events.text.rfind("Failed to preprocess: <shaders/main.glsl> base path:<shaders>\n  " + c.message, 0), 0u)
            << events.text;
    }
}

TEST_F(ShaderSource, OverlongLinesFailWithoutReadingPastTheBuffer)
{
    const std::string longest(kShaderMaxLineLength, 'x');
    ShaderPreprocessResult r = expandText("a\n" + longest + "\nb");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.text, "a\n" + longest + "\nb\n");

    write("shaders/long.glsl", "ok\n" + std::string(100000, 'y') + "\n");
    write("shaders/main.glsl", "#include \"long.glsl\"\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load("shaders/main.glsl"), "<null>");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Line too long!:100000 <yyyy"), std::string::npos);
    EXPECT_NE(events.text.find("  Line 2 of <shaders/long.glsl> has 100000 characters; at most 8191 are allowed"),
              std::string::npos)
        << events.text;
    EXPECT_TRUE(files.empty());

    r = expandText(std::string(kShaderMaxLineLength + 1, 'z'));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages.size(), 1u);
}

TEST_F(ShaderSource, MissingShaderFileAndNullSourceFail)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(load("shaders/none.glsl"), "<null>");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("\"Failed to load shader file <shaders/none.glsl>\""), std::string::npos) << log;

    const ShaderPreprocessResult r = shaderPreprocessInclude(nullptr, "<text>", {}, files);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages.size(), 1u);
}

TEST_F(ShaderSource, DumpRequestWritesThePreprocessedTextToTheWorkingDirectory)
{
    const std::filesystem::path oldCwd = std::filesystem::current_path();
    TempDir work("shadersrc_cwd");
    ASSERT_EQ(chdir(work.path().c_str()), 0);

    write("shaders/post/common.glsl", "#define DUMP_PREPROCESSED 1\n");
    write("shaders/post/dof_render.comp", "#include \"common.glsl\"\nvoid main() {}\n");
    testing::internal::CaptureStdout();
    const std::string first = load("shaders/post/dof_render.comp");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("\"Writing preprocessed shader source to <dof_render.comp.pp>\""), std::string::npos);
    EXPECT_EQ(readFile("dof_render.comp.pp"), first);

    // Every load rewrites it.
    write("shaders/post/dof_render.comp", "#include \"common.glsl\"\nvoid main() { return; }\n");
    const std::string second = load("shaders/post/dof_render.comp");
    EXPECT_NE(second, first);
    EXPECT_EQ(readFile("dof_render.comp.pp"), second);

    // A define handed in by the build is not part of the text.
    write("shaders/plain.glsl", "void main() {}\n");
    EXPECT_NE(load("shaders/plain.glsl", {{"DUMP_PREPROCESSED", "1"}}), "<null>");
    EXPECT_FALSE(std::filesystem::exists("plain.glsl.pp"));

    ASSERT_EQ(chdir(oldCwd.c_str()), 0);
}

// Each file includes the next one twice, 22 deep: expanded in full that is 2^21 copies of the last file.
TEST_F(ShaderSource, DoublingIncludesStopAtTheIncludeCountWithTheChain)
{
    constexpr int kDepth = 22;
    write("shaders/main.glsl", "#include \"f1.glsl\"\n#include \"f1.glsl\"\n");
    for (int i = 1; i < kDepth; ++i) {
        const std::string next = "f" + std::to_string(i + 1) + ".glsl";
        write("shaders/f" + std::to_string(i) + ".glsl", "x\n#include \"" + next + "\"\n#include \"" + next + "\"\n");
    }
    write("shaders/f" + std::to_string(kDepth) + ".glsl", "float leaf;\n");

    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(load("shaders/main.glsl"), "<null>");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
    const std::string chain = "shaders/main.glsl -> shaders/f1.glsl -> shaders/f2.glsl";
    EXPECT_NE(log.find("Include count limit of 4096 reached: " + chain), std::string::npos) << log.substr(0, 2000);
    EXPECT_NE(events.text.find("Include count limit of 4096 reached: " + chain), std::string::npos);
}

TEST_F(ShaderSource, ExpansionSizeIsBounded)
{
    // Few includes, but each inline line is long: the total, not the count, is what runs out.
    const std::string line(kShaderMaxLineLength, 'a');
    std::string body;
    for (int i = 0; i < 64; ++i)
        body += line + "\n";
    ShaderDefines defines = {{"INLINE_BIG", body}};
    std::string source;
    for (size_t i = 0; i * 64 * kShaderMaxLineLength <= kShaderMaxExpandedSize; ++i)
        source += "#inline <INLINE_BIG>\n";
    const ShaderPreprocessResult result = expandText(source, defines);
    EXPECT_FALSE(result.ok);
    ASSERT_FALSE(result.messages.empty());
    const std::string expected = "Expanded size limit of " + std::to_string(kShaderMaxExpandedSize) +
                                 " bytes reached: <text> -> #inline <INLINE_BIG>";
    EXPECT_EQ(result.messages[0], expected);
    EXPECT_LE(result.text.size(), kShaderMaxExpandedSize);
}
