#include "app/data_files.h"
#include "jni/engine/grd_texture.h"
#include "project/resources.h"

#include "gl_context.h"
#include "project_test_util.h"
#include "test_helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>

using nlohmann::json;
using projtest::LogCapture;
using projtest::ScopedProject;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

namespace {

// Stand-in loaders that count their calls and hand out recognisable pointers.
struct FakeLoads {
    static inline std::vector<std::string> objects, scenes, envmaps, textures;
    static inline std::vector<std::pair<Texture*, std::string>> labels;

    template <typename T>
    static T* fake(const std::string& path)
    {
        // A distinct, never dereferenced address per path.
        return reinterpret_cast<T*>(0x100000 + (std::hash<std::string>{}(path) & 0xFFFF) * 16);
    }
    static Object* object(const std::string& p)
    {
        objects.push_back(p);
        return p.find("broken") == std::string::npos ? fake<Object>(p) : nullptr;
    }
    static bool scene(const std::string& p)
    {
        scenes.push_back(p);
        return true;
    }
    static Texture* envmap(const std::string& p)
    {
        envmaps.push_back(p);
        return fake<Texture>("env:" + p);
    }
    static Texture* texture(const std::string& p)
    {
        textures.push_back(p);
        return p.find("missing") == std::string::npos ? fake<Texture>(p) : nullptr;
    }
    static void label(Texture* t, const std::string& l) { labels.emplace_back(t, l); }
};

class ResourceFiles : public ::testing::Test {
protected:
    TempDir dir{"resources"};
    std::string oldBase = dataBasePath();
    ResourceLoaders savedLoaders = resourceLoaders;
    ScopedProject project;

    void SetUp() override
    {
        dataSetBasePath(dir.str());
        resourceLoaders = {&FakeLoads::object, &FakeLoads::scene, &FakeLoads::envmap, &FakeLoads::texture,
                           &FakeLoads::label};
        FakeLoads::objects.clear();
        FakeLoads::scenes.clear();
        FakeLoads::envmaps.clear();
        FakeLoads::textures.clear();
        FakeLoads::labels.clear();
    }
    void TearDown() override
    {
        resourceLoaders = savedLoaders;
        dataSetBasePath(oldBase);
        // The caches live for the process; forget the fake pointers of this test.
        for (const std::string& p : FakeLoads::textures)
            textureFileCache.erase(p);
        for (const std::string& p : FakeLoads::envmaps)
            envmapFileCache.erase(p);
    }
    std::string write(const std::string& name, const std::string& text)
    {
        writeFile(dir.path() / name, text);
        return name;
    }
    std::string full(const std::string& name) { return (dir.path() / name).string(); }
    const std::string fixture = readFile(std::string(TEST_DATA_DIR) + "projects/roundtrip/resources.json");
};

} // namespace

TEST(Resources, RecordsAndLookups)
{
    ScopedProject project;
    ResourceManagerStorage& store = project.store;
    FileResource* a = store.add_texture("a", nullptr);
    EXPECT_EQ(a->type, ResourceType::Texture);
    EXPECT_TRUE(a->path.empty());
    FileResource* again = store.add_object("a", nullptr);
    EXPECT_NE(again, a);
    again->set_path("lost.lwo");
    EXPECT_EQ(store.get_by_name("a"), a); // the first record stays
    store.add_envmap("c", nullptr);
    store.add_object("b", nullptr);
    Resource published(ResourceType::Image, "main output");
    EXPECT_TRUE(store.add(&published));
    EXPECT_FALSE(store.add(&published));

    LogCapture log;
    EXPECT_EQ(store.get_by_name("nothing"), nullptr);
    EXPECT_TRUE(log.contains("Resource <nothing> not found"));
    EXPECT_EQ(store.get_by_name_type("a", ResourceType::Object), nullptr);
    EXPECT_TRUE(log.contains("Resource <a> found but with different type. Found: 15, requested: 5"));
    LogCapture quiet;
    EXPECT_EQ(store.get_by_name_type("nothing", ResourceType::Object), nullptr);
    EXPECT_FALSE(quiet.contains("nothing"));
    EXPECT_EQ(store.get_by_name_type("a", ResourceType::Texture), a);

    // Name lookups go to the current store whatever store they are called on; type lookups stay local.
    ResourceManagerStorage other;
    other.add_texture("only there", nullptr);
    EXPECT_EQ(other.get_by_name_type("a", ResourceType::Texture), a);
    EXPECT_EQ(other.get_by_type(ResourceType::Texture).size(), 1u);
    std::vector<Resource*> all;
    for (int32_t type : {ResourceType::Object, ResourceType::Envmap, ResourceType::Texture})
        for (Resource* r : store.get_by_type(type))
            all.push_back(r);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]->name, "b");

    FileResource* texture = a;
    EXPECT_EQ(texture->GetObject(), nullptr);
    published.set_path("ignored"); // not a file-backed kind: a warning, nothing else
}

TEST(Resources, RenameAndRemove)
{
    ScopedProject project;
    ResourceManagerStorage& store = project.store;
    FileResource* a = store.add_texture("a", nullptr);
    FileResource* b = store.add_texture("b", nullptr);
    FileResource* outside = store.add_texture("a", nullptr);

    store.rename(outside, "z"); // not registered under its name: unchanged
    EXPECT_EQ(outside->name, "a");
    EXPECT_EQ(store.resources.count("z"), 0u);
    store.rename(a, "b"); // replaces what was stored there
    EXPECT_EQ(a->name, "b");
    EXPECT_EQ(store.resources.at("b"), a);
    EXPECT_EQ(store.resources.count("a"), 0u);
    store.rename(nullptr, "x");

    store.remove(b); // b is no longer stored under its name
    EXPECT_EQ(store.resources.at("b"), a);
    store.remove(a);
    EXPECT_TRUE(store.resources.empty());
    EXPECT_EQ(a->name, "b"); // still allocated
    store.remove(nullptr);
}

TEST_F(ResourceFiles, FixtureLoadsAndSavesByteForByte)
{
    ASSERT_FALSE(fixture.empty());
    const std::string path = write("projects/p/resources.json", fixture);
    ASSERT_TRUE(project.store.load_json(path));
    auto& r = project.store.resources;
    ASSERT_EQ(r.size(), 7u);
    // A mesh that fails to load keeps its record and path, so the entry is not lost at the next save.
    auto* broken = static_cast<FileResource*>(r.at("broken"));
    EXPECT_EQ(broken->type, ResourceType::Object);
    EXPECT_EQ(broken->GetObject(), nullptr);
    EXPECT_EQ(broken->path, "meshes/broken.lwo");
    EXPECT_NE(static_cast<FileResource*>(r.at("cube"))->GetObject(), nullptr);
    EXPECT_EQ(static_cast<FileResource*>(r.at("missing"))->GetTexture(), nullptr);
    EXPECT_EQ(static_cast<FileResource*>(r.at("logo"))->path, "textures/logo.png");
    auto* later = static_cast<SceneUriResource*>(r.at("later"));
    auto* room = static_cast<SceneUriResource*>(r.at("room"));
    EXPECT_FALSE(later->load_on_startup);
    EXPECT_TRUE(room->load_on_startup);
    EXPECT_EQ(FakeLoads::scenes, std::vector<std::string>{"scenes/room.gltf"}); // only the one marked
    EXPECT_EQ(FakeLoads::labels.size(), 2u);                                     // logo and the envmap

    // Records published by components (no path) are not written.
    Resource published(ResourceType::Image, "main output");
    project.store.add(&published);
    project.store.add_object("global/null_object", nullptr);
    ASSERT_TRUE(project.store.save_json(full(path)));
    EXPECT_EQ(readFile(full(path)), fixture);
}

TEST_F(ResourceFiles, WrittenInNameOrderAndNullWhenEmpty)
{
    const std::string path = write("r.json", R"({"texture_resources": [
        {"name": "zeta", "path": "z.png"}, {"name": "alpha", "path": "a.png"}]})");
    ASSERT_TRUE(project.store.load_json(path));
    ASSERT_TRUE(project.store.save_json(full("out.json")));
    const json saved = json::parse(readFile(full("out.json")));
    EXPECT_EQ(saved["texture_resources"][0]["name"], "alpha");
    EXPECT_EQ(saved.size(), 1u); // empty sections are left out

    ScopedProject empty;
    empty.store.add_object("global/null_object", nullptr);
    ASSERT_TRUE(empty.store.save_json(full("null.json")));
    EXPECT_EQ(readFile(full("null.json")), "null");
    EXPECT_TRUE(empty.store.load_json("null.json"));
    EXPECT_EQ(empty.store.resources.size(), 1u);
    EXPECT_TRUE(empty.store.load_json("does/not/exist.json"));
}

TEST_F(ResourceFiles, PathCachesShareLoadsAcrossProjects)
{
    const std::string path = write("shared.json", R"({
        "texture_resources": [{"name": "first", "path": "t/shared.png"}, {"name": "missing", "path": "t/missing.png"},
                              {"name": "missing too", "path": "t/missing.png"}],
        "envmap_resources": [{"name": "sky", "path": "t/shared.png"}]})");
    ASSERT_TRUE(project.store.load_json(path));
    {
        ScopedProject second;
        ASSERT_TRUE(second.store.load_json(path));
        auto* mine = static_cast<FileResource*>(project.store.resources.at("first"));
        auto* theirs = static_cast<FileResource*>(second.store.resources.at("first"));
        EXPECT_NE(mine, theirs);
        EXPECT_EQ(mine->GetTexture(), theirs->GetTexture());
        // The environment map of the same file is a separate load with its own cache.
        EXPECT_NE(static_cast<FileResource*>(second.store.resources.at("sky"))->GetTexture(), theirs->GetTexture());
    }
    // One load per path, failures included.
    EXPECT_EQ(FakeLoads::textures, (std::vector<std::string>{"t/shared.png", "t/missing.png"}));
    EXPECT_EQ(FakeLoads::envmaps, std::vector<std::string>{"t/shared.png"});
    // Labelled once, with the name of the first record that loaded it; failed loads are not labelled.
    ASSERT_EQ(FakeLoads::labels.size(), 2u);
    EXPECT_EQ(FakeLoads::labels[0].second, "sky"); // environment maps are read before textures
    EXPECT_EQ(FakeLoads::labels[1].second, "first");
}

TEST_F(ResourceFiles, UnreadableFileIsReportedAndKept)
{
    const char* cases[] = {"{\n    \"texture_resources\": [\n        {\"name\": \"a\" \"path\": \"a.png\"}\n    ]\n}",
                           "[1, 2]"};
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        const std::string path = write("projects/p/resources.json", text);
        ScopedProject fresh;
        LogCapture log;
        EXPECT_FALSE(fresh.store.load_json(path));
        EXPECT_TRUE(fresh.store.resources.empty());
        EXPECT_TRUE(log.contains("resources.json>")) << log.text();
        fresh.store.add_texture("new", nullptr)->path = "new.png";
        EXPECT_FALSE(fresh.store.save_json(full(path)));
        EXPECT_EQ(readFile(full(path)), text);
    }
    LogCapture log;
    EXPECT_FALSE(project.store.load_json(write("line.json", "{\n\n  \"object_resources\": [,]\n}")));
    EXPECT_TRUE(log.contains("line.json>: line 3")) << log.text();
}

TEST_F(ResourceFiles, WhatCannotBeReadIsWrittenBack)
{
    const std::string path = write("odd.json", R"({
        "gradient_resources": [{"name": "fire", "marks": [1, 2]}],
        "object_resources": [{"name": 7, "path": "x.lwo"}, {"name": "cube", "path": "a.lwo"}, {"name": "cube", "path": "b.lwo"}],
        "scene_uri_resources": [{"name": "s", "path": "s.gltf", "load_on_startup": "yes"}],
        "texture_resources": {"name": "not an array"}})");
    LogCapture log;
    ASSERT_TRUE(project.store.load_json(path));
    EXPECT_EQ(project.store.resources.size(), 1u);
    EXPECT_EQ(static_cast<FileResource*>(project.store.resources.at("cube"))->path, "a.lwo");
    EXPECT_TRUE(log.contains("resource <cube> is listed twice"));
    EXPECT_EQ(FakeLoads::objects, (std::vector<std::string>{"a.lwo", "b.lwo"}));
    ASSERT_TRUE(project.store.save_json(full("odd_saved.json")));
    const json saved = json::parse(readFile(full("odd_saved.json")));
    const json original = json::parse(readFile(full(path)));
    EXPECT_EQ(saved["gradient_resources"], original["gradient_resources"]);
    EXPECT_EQ(saved["texture_resources"], original["texture_resources"]);
    EXPECT_EQ(saved["scene_uri_resources"], original["scene_uri_resources"]);
    EXPECT_EQ(saved["object_resources"], json::parse(R"([{"name": "cube", "path": "a.lwo"}, {"name": 7, "path": "x.lwo"},
                                                           {"name": "cube", "path": "b.lwo"}])"));

    // Another load and save changes nothing more.
    ScopedProject second;
    ASSERT_TRUE(second.store.load_json("odd_saved.json"));
    ASSERT_TRUE(second.store.save_json(full("odd_again.json")));
    EXPECT_EQ(readFile(full("odd_again.json")), readFile(full("odd_saved.json")));
}

TEST_F(ResourceFiles, FailedSaveIsReported)
{
    project.store.add_texture("t", nullptr)->path = "t.png";
    LogCapture log;
    EXPECT_FALSE(project.store.save_json(full("no/such/folder/resources.json")));
    EXPECT_TRUE(log.contains("no/such/folder/resources.json.tmp"));
    EXPECT_FALSE(std::filesystem::exists(full("no/such/folder")));
}

namespace {

std::string solidPng(int w, int h, uint32_t rgba)
{
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, size_t size) {
            static_cast<std::string*>(png_get_io_ptr(p))->append(reinterpret_cast<const char*>(data), size);
        },
        nullptr);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    std::vector<uint8_t> row(static_cast<size_t>(w) * 4);
    for (int x = 0; x < w; ++x)
        for (int c = 0; c < 4; ++c)
            row[x * 4 + c] = static_cast<uint8_t>(rgba >> (24 - 8 * c));
    std::vector<png_bytep> rows(h, row.data());
    png_set_rows(png, info, rows.data());
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

class ResourceTextures : public GLTest {
protected:
    TempDir dir{"resource_textures"};
    std::string oldBase = dataBasePath();
    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(dir.str());
    }
    void TearDown() override
    {
        dataSetBasePath(oldBase);
        GLTest::TearDown();
    }
};

} // namespace

TEST_F(ResourceTextures, PngTexturesLoadOnceWithTheirMipChain)
{
    writeFile(dir.path() / "gl_test/solid.png", solidPng(16, 8, 0xFF8000FFu));
    writeFile(dir.path() / "r.json", R"({"texture_resources": [
        {"name": "solid", "path": "gl_test/solid.png"}, {"name": "same file", "path": "gl_test/solid.png"},
        {"name": "absent", "path": "gl_test/absent.png"}]})");
    ScopedProject project;
    ASSERT_TRUE(project.store.load_json("r.json"));
    auto* solid = static_cast<FileResource*>(project.store.resources.at("solid"));
    Texture* texture = solid->GetTexture();
    ASSERT_NE(texture, nullptr);
    EXPECT_NE(texture->glId, 0u);
    EXPECT_EQ(texture->type, TEXTURE_TYPE_2D);
    ASSERT_NE(texture->images[0], nullptr);
    EXPECT_EQ(static_cast<FileResource*>(project.store.resources.at("same file"))->GetTexture(), texture);
    EXPECT_EQ(static_cast<FileResource*>(project.store.resources.at("absent"))->GetTexture(), nullptr);
    EXPECT_EQ(project.store.get_by_type(ResourceType::Texture).size(), 3u);
    // The texture belongs to the process-wide cache, which outlives this test's project.
    textureFileCache.erase("gl_test/solid.png");
    textureFileCache.erase("gl_test/absent.png");
    txtDestroy(texture);
}
