// Project files that are there but cannot be read, and what a save keeps of the file it replaces.
#include "app/data_files.h"
#include "project/cvars.h"
#include "project/gradients.h"
#include "project/graph.h"
#include "project/json_file.h"
#include "project/layer_segments.h"
#include "project/resources.h"
#include "project/sequencer.h"

#include "test_helpers.h"
#include "timeline_test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;
using timelinetest::ConsoleLog;
using timelinetest::ScopedBasePath;
using timelinetest::ScopedProjects;

namespace {

// What stands where a project file should be.
struct Hostile {
    const char* name;
    const char* reason; // in the log line; null for a missing file
    bool needsNonRoot;  // root reads a file whatever its mode
    std::function<void(const fs::path&)> make;
    // "" when the thing at the path is still what make() put there.
    std::function<std::string(const fs::path&)> unchanged;
};

const std::string kUserBytes = "{ \"the user's\": \"work\" }\n";

std::string sameLink(const fs::path& path, const fs::path& target)
{
    if (!fs::is_symlink(fs::symlink_status(path)))
        return "no longer a link";
    if (fs::read_symlink(path) != target)
        return "the link points elsewhere";
    return "";
}

const std::vector<Hostile>& hostileKinds()
{
    static const std::vector<Hostile> kinds = {
        {"no read permission", "Permission denied", true,
         [](const fs::path& p) {
             writeFile(p, kUserBytes);
             fs::permissions(p, fs::perms::none);
         },
         [](const fs::path& p) {
             fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
             return readFile(p) == kUserBytes ? "" : "the bytes changed";
         }},
        {"dangling link", "broken link", false,
         [](const fs::path& p) {
             fs::create_directories(p.parent_path());
             fs::create_symlink("gone/elsewhere.json", p);
         },
         [](const fs::path& p) {
             std::string wrong = sameLink(p, "gone/elsewhere.json");
             if (wrong.empty() && fs::exists(p.parent_path() / "gone"))
                 wrong = "the link's target was created";
             return wrong;
         }},
        {"link loop", "Too many levels of symbolic links", false,
         [](const fs::path& p) {
             fs::create_directories(p.parent_path());
             fs::create_symlink(p.filename(), p);
         },
         [](const fs::path& p) { return sameLink(p, p.filename()); }},
        {"directory", "Is a directory", false,
         [](const fs::path& p) { writeFile(p / "inside.txt", kUserBytes); },
         [](const fs::path& p) {
             return fs::is_directory(p) && readFile(p / "inside.txt") == kUserBytes ? "" : "the directory changed";
         }},
        {"missing", nullptr, false, [](const fs::path& p) { fs::create_directories(p.parent_path()); },
         // The save creates it: nothing was there to lose.
         [](const fs::path& p) { return fs::is_regular_file(p) ? "" : "the save did not create the file"; }},
    };
    return kinds;
}

// One project file with its reader and its exit writer; paths relative to the asset base path.
struct ProjectFile {
    const char* path;
    std::function<void(const std::string& path)> load;
    std::function<bool(const std::string& fullPath)> save;
};

const std::vector<ProjectFile>& projectFiles()
{
    static const std::vector<ProjectFile> files = {
        {"projects/p/graph.json", [](const std::string& p) { GraphManager::Load(p); },
         [](const std::string& full) { return GraphManager::Save(full); }},
        {"projects/p/resources.json", [](const std::string& p) { currentResources->load_json(p); },
         [](const std::string& full) { return currentResources->save_json(full); }},
        {"projects/p/variables.json", [](const std::string& p) { CvarTreeLoad(p); },
         [](const std::string& full) { return CvarTreeSave(&cvarTreeRoot, full); }},
        {"projects/p/sequencer.json", [](const std::string& p) { SequencerManager::Load(p); },
         [](const std::string& full) { return SequencerManager::Save(full); }},
        {"projects/global/resources.json", [](const std::string& p) { load_gradients_json(p); },
         [](const std::string& full) { return save_gradients_json(full); }},
        {"layers.segments", [](const std::string& p) { fx_segments_load(p.c_str()); },
         [](const std::string&) {
             fxSegmentsDirty = true;
             const bool saved = fx_segments_save("layers.segments");
             fxSegmentsDirty = false;
             return saved;
         }},
    };
    return files;
}

// A project "p" under a scratch asset folder, with a timeline of its own.
class UnreadableProjectFiles : public ::testing::Test {
protected:
    TempDir dir{"unreadable"};
    ScopedBasePath base{dir.str()};
    ScopedProjects projects{{"p"}};
    Sequence* savedSequencer = sequencer;

    void SetUp() override { sequencer = nullptr; }
    void TearDown() override
    {
        delete sequencer;
        sequencer = savedSequencer;
    }
};

} // namespace

TEST_F(UnreadableProjectFiles, AreReportedAndNeverOverwritten)
{
    for (const Hostile& kind : hostileKinds()) {
        if (kind.needsNonRoot && ::geteuid() == 0)
            continue; // root reads it anyway; the links and the directory stand in for it
        for (const ProjectFile& file : projectFiles()) {
            SCOPED_TRACE(std::string(kind.name) + ": " + file.path);
            const fs::path full = dir.path() / file.path;
            kind.make(full);
            ConsoleLog log;
            file.load(file.path);
            EXPECT_EQ(jsonfile::isUnreadable(full.string()), kind.reason != nullptr);
            const bool saved = file.save(full.string());
            if (kind.reason) {
                EXPECT_TRUE(log.contains("LoadFile: Failed to read a file: " + full.string() + ": " + kind.reason))
                    << log.text();
                EXPECT_FALSE(saved);
            } else {
                EXPECT_TRUE(log.contains(std::string("LoadFile: Failed to find a file: ") + file.path)) << log.text();
                EXPECT_TRUE(saved);
            }
            EXPECT_EQ(kind.unchanged(full), "");
            jsonfile::clearUnreadable(full.string());
            fs::remove_all(full);
            fs::remove_all(full.parent_path() / "gone");
        }
    }
}

TEST(DataFilesUnreadable, OpenTellsMissingFromUnreadable)
{
    TempDir dir{"open_missing"};
    ScopedBasePath base{dir.str()};
    fs::create_symlink("nowhere", dir.path() / "dangling");
    fs::create_directory(dir.path() / "folder");
    struct Case {
        const char* name;
        bool missing;
    };
    for (const Case& k : {Case{"absent", true}, Case{"no/such/folder/file", true}, Case{"dangling", false},
                          Case{"folder", false}}) {
        SCOPED_TRACE(k.name);
        const DataBlob blob = dataLoadFile(k.name);
        EXPECT_FALSE(blob);
        EXPECT_EQ(blob.missing, k.missing);
        bool missing = !k.missing;
        EXPECT_EQ(dataFileOpen(k.name, &missing), nullptr);
        EXPECT_EQ(missing, k.missing);
    }
}

// ---- Saves keep the file's link, mode and time stamp ----

namespace {

class AtomicSave : public ::testing::Test {
protected:
    TempDir dir{"atomic"};
    fs::path at(const std::string& name) const { return dir.path() / name; }
};

mode_t modeOf(const fs::path& p)
{
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST_F(AtomicSave, WritesThroughLinksToTheTarget)
{
    // A relative link into another folder, and a link to that link.
    writeFile(at("store/graph.json"), "old");
    fs::create_directories(at("project"));
    fs::create_symlink("../store/graph.json", at("project/graph.json"));
    fs::create_symlink("graph.json", at("project/again.json"));

    ASSERT_TRUE(jsonfile::writeAtomic(at("project/again.json").string(), "new"));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(at("project/again.json"))));
    EXPECT_EQ(fs::read_symlink(at("project/graph.json")), "../store/graph.json");
    EXPECT_EQ(readFile(at("store/graph.json")), "new");
    EXPECT_FALSE(fs::exists(at("project/graph.json.tmp")));
    EXPECT_FALSE(fs::exists(at("store/graph.json.tmp")));

    // A loop never ends in a file: nothing is written.
    fs::create_symlink("loop.json", at("loop.json"));
    EXPECT_FALSE(jsonfile::writeAtomic(at("loop.json").string(), "x"));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(at("loop.json"))));
}

TEST_F(AtomicSave, KeepsTheModeAndCreatesNewFilesAsUsual)
{
    for (const mode_t mode : {0600, 0640, 0444}) {
        SCOPED_TRACE(mode);
        writeFile(at("f.json"), "old");
        ::chmod(at("f.json").c_str(), mode);
        ASSERT_TRUE(jsonfile::writeAtomic(at("f.json").string(), "new"));
        EXPECT_EQ(readFile(at("f.json")), "new");
        EXPECT_EQ(modeOf(at("f.json")), mode);
        fs::remove(at("f.json"));
    }
    const mode_t mask = ::umask(022);
    ASSERT_TRUE(jsonfile::writeAtomic(at("fresh.json").string(), "x"));
    ::umask(mask);
    EXPECT_EQ(modeOf(at("fresh.json")), 0644u);
}

TEST_F(AtomicSave, LeavesAnUnchangedFileUntouched)
{
    writeFile(at("f.json"), "same");
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365);
    fs::last_write_time(at("f.json"), old);
    struct stat before {};
    ::stat(at("f.json").c_str(), &before);

    ASSERT_TRUE(jsonfile::writeAtomic(at("f.json").string(), "same"));
    struct stat after {};
    ::stat(at("f.json").c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(fs::last_write_time(at("f.json")), old);

    // Bytes that differ only past the old end, or a shorter text, are a change.
    for (const char* text : {"same and more", "sam", ""}) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(jsonfile::writeAtomic(at("f.json").string(), text));
        EXPECT_EQ(readFile(at("f.json")), text);
    }
}

TEST_F(AtomicSave, APlantedTemporaryLinkIsNotWrittenThrough)
{
    writeFile(at("victim.txt"), "keep me");
    writeFile(at("f.json"), "old");
    fs::create_symlink(at("victim.txt"), at("f.json.tmp"));
    ASSERT_TRUE(jsonfile::writeAtomic(at("f.json").string(), "new"));
    EXPECT_EQ(readFile(at("f.json")), "new");
    EXPECT_EQ(readFile(at("victim.txt")), "keep me");
    EXPECT_FALSE(fs::exists(fs::symlink_status(at("f.json.tmp"))));
}
