#include "jni/engine/grd_program_cache.h"

#include "shader_test_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

using namespace gl;
using namespace shadertest;
namespace fs = std::filesystem;

namespace {

class ProgramCacheTest : public ShaderGLTest {
protected:
    testutil::TempDir cache{"programs"};

    void SetUp() override
    {
        ShaderGLTest::SetUp();
        programCacheSetFolder(cache.str());
        programCacheCounters = {};
    }
    void TearDown() override
    {
        programCacheSetFolder("");
        ShaderGLTest::TearDown();
    }

    std::vector<fs::path> entries() const
    {
        std::vector<fs::path> files;
        for (const auto& item : fs::directory_iterator(cache.path()))
            files.push_back(item.path());
        return files;
    }

    // A fragment stage of its own (the in-process compile cache must not hide a compilation) with a uniform.
    std::string tinted() const
    {
        return uniqueTag() + "uniform vec4 tint;\nout vec4 color;\nvoid main() { color = tint; }\n";
    }

    // Draws with the program and a tint; the centre pixel.
    std::array<uint8_t, 4> drawTinted(ShaderProgram* program, float red)
    {
        ColorTarget target;
        const float tint[4] = {red, 0.0f, 1.0f, 1.0f};
        shaderSetUniform(program, "tint", UNIFORM_TYPE_VEC4, tint, sizeof tint);
        EXPECT_TRUE(shaderUseProgram(program));
        return target.draw();
    }
};

} // namespace

TEST_F(ProgramCacheTest, WarmStartLinksFromTheEntryAndCompilesNothing)
{
    GLint formats = 0;
    glGetIntegerv(GL_NUM_PROGRAM_BINARY_FORMATS, &formats);
    ASSERT_GT(formats, 0) << "the driver offers no program binaries";
    ASSERT_TRUE(programCacheEnabled());

    const std::string fragment = tinted();
    write("cached.comp", "layout(local_size_x = 4) in;\nlayout(std430) buffer Out { uint values[]; };\n"
                         "void main() { values[gl_GlobalInvocationID.x] = 7u; }\n" + uniqueTag());
    {
        LogCapture cold;
        ShaderProgram* program = fromStrings(fragment, {{"COLD", "1"}});
        ShaderProgram* compute = keep(shaderLoadProgramCompute("cached.comp", {}));
        ASSERT_EQ(program->errors, 0u);
        ASSERT_EQ(compute->errors, 0u);
        EXPECT_GE(cold.count("Compiling shader"), 2); // the shared vertex text may be compiled already
        EXPECT_EQ(drawTinted(program, 1.0f), (std::array<uint8_t, 4>{255, 0, 255, 255}));
    }
    EXPECT_EQ(programCacheCounters.misses, 2);
    EXPECT_EQ(programCacheCounters.stored, 2);
    EXPECT_EQ(entries().size(), 2u);

    // The next start: the same texts and defines find their entries.
    LogCapture warm;
    ShaderProgram* program = fromStrings(fragment, {{"COLD", "1"}});
    ShaderProgram* compute = keep(shaderLoadProgramCompute("cached.comp", {}));
    EXPECT_EQ(warm.count("Compiling shader"), 0) << warm.text();
    EXPECT_EQ(warm.count("Program cache entry"), 0) << warm.text();
    EXPECT_EQ(programCacheCounters.hits, 2);
    EXPECT_EQ(program->errors, 0u);
    EXPECT_EQ(program->fragment->glShaderId, 0u) << "no shader object was made";
    EXPECT_EQ(program->fragment->source.find("uniform vec4 tint;") != std::string::npos, true);
    ASSERT_NE(compute->compute, nullptr);
    EXPECT_EQ(compute->storageBlocks.count("Out"), 1u) << "reflection works on a program from the cache";
    // Uniform lookup and upload work on it as on a compiled one.
    EXPECT_EQ(drawTinted(program, 0.0f), (std::array<uint8_t, 4>{0, 0, 255, 255}));

    // Other defines are other programs.
    ShaderProgram* other = fromStrings(fragment, {{"COLD", "2"}});
    EXPECT_EQ(other->errors, 0u);
    EXPECT_EQ(programCacheCounters.misses, 3);
    EXPECT_EQ(entries().size(), 3u);
    EXPECT_EQ(glGetError(), GL_NO_ERROR);
}

// Whatever is wrong with an entry, it is never trusted: one log line, a build from source, and a fresh entry that
// the next build uses.
TEST_F(ProgramCacheTest, DamagedStaleAndRefusedEntriesAreRebuiltWithOneLogLine)
{
    struct Case {
        const char* name;
        const char* logged;
        std::function<void(const fs::path& entry, const fs::path& otherEntry)> damage;
    };
    auto resize = [](const fs::path& file, size_t bytes) { fs::resize_file(file, bytes); };
    const Case cases[] = {
        {"truncated", "cut short", [&](const fs::path& e, const fs::path&) { resize(e, fs::file_size(e) - 9); }},
        {"header only", "cut short", [&](const fs::path& e, const fs::path&) { resize(e, 40); }},
        {"empty", "shorter than its header", [&](const fs::path& e, const fs::path&) { resize(e, 0); }},
        {"other program's entry", "made for other sources",
         [](const fs::path& e, const fs::path& other) { fs::copy_file(other, e, fs::copy_options::overwrite_existing); }},
        {"flipped byte", "damaged",
         [](const fs::path& e, const fs::path&) {
             std::fstream file(e, std::ios::in | std::ios::out | std::ios::binary);
             file.seekg(-1, std::ios::end);
             const char last = static_cast<char>(file.get());
             file.seekp(-1, std::ios::end);
             file.put(static_cast<char>(last ^ 0x5a));
         }},
        {"not an entry", "not a program entry",
         [](const fs::path& e, const fs::path&) { testutil::writeFile(e, std::string(200, 'x')); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string fragment = tinted();
        keep(shaderBuildProgramFromStrings("other", kFullscreenVertex, tinted(), {}));
        const std::vector<fs::path> before = entries();
        keep(shaderBuildProgramFromStrings("test", kFullscreenVertex, fragment, {}));
        fs::path entry;
        for (const fs::path& file : entries())
            if (std::find(before.begin(), before.end(), file) == before.end())
                entry = file;
        ASSERT_FALSE(entry.empty());
        c.damage(entry, before.back());

        programCacheCounters = {};
        LogCapture log;
        ShaderProgram* rebuilt = fromStrings(fragment);
        EXPECT_EQ(log.count("Program cache entry"), 1) << log.text();
        EXPECT_TRUE(log.contains(c.logged)) << log.text();
        EXPECT_EQ(programCacheCounters.rejected, 1);
        EXPECT_EQ(programCacheCounters.stored, 1) << "the entry is written anew";
        EXPECT_EQ(rebuilt->errors, 0u);
        EXPECT_EQ(drawTinted(rebuilt, 1.0f), (std::array<uint8_t, 4>{255, 0, 255, 255}));

        LogCapture again;
        fromStrings(fragment);
        EXPECT_EQ(programCacheCounters.hits, 1);
        EXPECT_EQ(again.count("Program cache entry"), 0) << again.text();
    }
}

TEST_F(ProgramCacheTest, AnEntryTheDriverRefusesIsRebuilt)
{
    const std::string fragment = tinted();
    fromStrings(fragment);
    ASSERT_EQ(entries().size(), 1u);
    // Well formed and matching, but no binary the driver knows: only glProgramBinary can tell.
    const fs::path entry = entries().front();
    const uint64_t key = std::stoull(entry.stem().string(), nullptr, 16);
    ProgramCacheEntry junk;
    junk.format = 0x1234;
    junk.binary.assign(64, 0xab);
    ASSERT_TRUE(programCacheStore(key, junk));

    programCacheCounters = {};
    LogCapture log;
    ShaderProgram* rebuilt = fromStrings(fragment);
    EXPECT_EQ(log.count("Program cache entry"), 1) << log.text();
    EXPECT_TRUE(log.contains("refused by the driver")) << log.text();
    EXPECT_EQ(programCacheCounters.rejected, 1);
    EXPECT_EQ(programCacheCounters.hits, 0);
    EXPECT_EQ(rebuilt->errors, 0u);
    EXPECT_EQ(drawTinted(rebuilt, 1.0f), (std::array<uint8_t, 4>{255, 0, 255, 255}));
    while (glGetError() != GL_NO_ERROR) {
    }
}

TEST_F(ProgramCacheTest, FailedBuildsAndMissingFilesLeaveNoEntry)
{
    LogCapture log;
    ShaderProgram* broken = fromStrings(uniqueTag() + "void main() { this does not compile }\n");
    ShaderProgram* missing = keep(shaderLoadProgram("no/such.vsh", "no/such.fsh", {}));
    EXPECT_NE(broken->errors, 0u);
    EXPECT_NE(missing->errors, 0u);
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(programCacheCounters.stored, 0);
    for (const auto& item : fs::directory_iterator(cache.path()))
        EXPECT_EQ(item.path().extension(), ".bin") << "no temporary file is left behind";
}

TEST(ProgramCacheFolder, DefaultFolderFollowsTheEnvironment)
{
    struct Case {
        const char* own;
        const char* xdg;
        const char* home;
        const char* expected;
    };
    const Case cases[] = {
        {"/tmp/own", "/x", "/h", "/tmp/own"},
        {nullptr, "/x", "/h", "/x/demoengine/programs"},
        {nullptr, nullptr, "/h", "/h/.cache/demoengine/programs"},
        {nullptr, "", "/h", "/h/.cache/demoengine/programs"},
        {nullptr, nullptr, nullptr, ""},
    };
    const char* names[] = {"DEMOENGINE_PROGRAM_CACHE", "XDG_CACHE_HOME", "HOME"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i) {
        const char* value = std::getenv(names[i]);
        had[i] = value != nullptr;
        saved[i] = value ? value : "";
    }
    for (const Case& c : cases) {
        const char* values[] = {c.own, c.xdg, c.home};
        for (int i = 0; i < 3; ++i) {
            if (values[i])
                setenv(names[i], values[i], 1);
            else
                unsetenv(names[i]);
        }
        EXPECT_EQ(programCacheDefaultFolder(), c.expected);
    }
    for (int i = 0; i < 3; ++i) {
        if (had[i])
            setenv(names[i], saved[i].c_str(), 1);
        else
            unsetenv(names[i]);
    }
}
