#include "app/data_files.h"

#include "test_helpers.h"

#include <gtest/gtest.h>
#include <cstring>
#include <thread>

using testutil::TempDir;
using testutil::writeFile;

namespace {

class DataFiles : public ::testing::Test {
protected:
    TempDir dir{"data"};
    testutil::OwnWatchList watches;
    std::string oldBase = dataBasePath();
    void SetUp() override { dataSetBasePath(dir.str()); }
    void TearDown() override
    {
        resSetShaderReloadHandler(nullptr);
        dataSetBasePath(oldBase);
    }
};

std::vector<ShaderProgram*> reloaded;
void recordReload(ShaderProgram* p)
{
    reloaded.push_back(p);
}

ShaderProgram* fakeProgram(intptr_t n)
{
    return reinterpret_cast<ShaderProgram*>(n);
}

} // namespace

TEST_F(DataFiles, LoadFileAppendsFourZerosAndReportsSize)
{
    writeFile(dir.path() / "shaders/a.fsh", "void main(){}");
    DataBlob blob = dataLoadFile("shaders/a.fsh");
    ASSERT_TRUE(blob);
    EXPECT_EQ(blob.size, 13u);
    EXPECT_STREQ(blob.text(), "void main(){}");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(blob.data()[13 + i], '\0');
    EXPECT_EQ(dataFileSize("shaders/a.fsh"), 13u);

    EXPECT_FALSE(dataLoadFile("missing.txt"));
    EXPECT_EQ(dataFileSize("missing.txt"), 0u);
    EXPECT_EQ(dataFileOpen("missing.txt"), nullptr);
}

TEST_F(DataFiles, PathsAreIndependentAndCutAt1024)
{
    const std::string a = dataPath("a");
    const std::string b = dataPath("b");
    EXPECT_EQ(a, dir.str() + "a");
    EXPECT_EQ(b, dir.str() + "b");
    EXPECT_EQ(dataPath(std::string(5000, 'x')).size(), 1024u);
}

TEST_F(DataFiles, ReadLineSplitsLongLinesAndHandlesMissingFinalNewline)
{
    writeFile(dir.path() / "lines.txt", std::string(600, 'a') + "\nlast");
    DataFile* f = dataFileOpen("lines.txt");
    ASSERT_NE(f, nullptr);
    char buffer[512];
    ASSERT_NE(dataFileReadLine(f, buffer), nullptr);
    EXPECT_EQ(std::strlen(buffer), 511u);
    ASSERT_NE(dataFileReadLine(f, buffer), nullptr);
    EXPECT_EQ(std::string(buffer), std::string(89, 'a') + "\n");
    ASSERT_NE(dataFileReadLine(f, buffer), nullptr);
    EXPECT_STREQ(buffer, "last");
    EXPECT_EQ(dataFileReadLine(f, buffer), nullptr);
    EXPECT_EQ(dataFileReadLine(nullptr, buffer), nullptr);
    EXPECT_EQ(dataFileRead(f, nullptr, 4), 0);
    dataFileClose(f);
}

TEST_F(DataFiles, StatReportsFilesAndDirectories)
{
    writeFile(dir.path() / "d/f.txt", "12345");
    DataFileStatus st;
    ASSERT_EQ(dataFileStat("d/f.txt", &st), 1);
    EXPECT_EQ(st.size, 5u);
    EXPECT_FALSE(st.isDirectory);
    ASSERT_EQ(dataFileStat("d", &st), 1);
    EXPECT_TRUE(st.isDirectory);
    EXPECT_EQ(dataFileStat("nope", &st), 0);
}

TEST_F(DataFiles, RegisterRefusesDuplicatesAndMissingFiles)
{
    writeFile(dir.path() / "s.glsl", "x");
    EXPECT_TRUE(resRegister("s.glsl", fakeProgram(1)));
    EXPECT_FALSE(resRegister("s.glsl", fakeProgram(1)));
    EXPECT_TRUE(resRegister("s.glsl", fakeProgram(2)));
    EXPECT_FALSE(resRegister("missing.glsl", fakeProgram(1)));
    EXPECT_FALSE(resRegister("", fakeProgram(1)));
    EXPECT_EQ(resWatchList.size(), 2u);
    resUnregister("s.glsl", fakeProgram(1));
    ASSERT_EQ(resWatchList.size(), 1u);
    EXPECT_EQ(resWatchList[0]->userData, fakeProgram(2));
}

TEST_F(DataFiles, ScanVisits128WatchesPerCall)
{
    for (int i = 0; i < 300; ++i) {
        const std::string name = "w" + std::to_string(i);
        writeFile(dir.path() / name, "x");
        ASSERT_TRUE(resRegister(name, fakeProgram(i + 1)));
    }
    resUpdateAll();
    EXPECT_EQ(resWatchNext, 128);
    resUpdateAll();
    EXPECT_EQ(resWatchNext, 256);
    resUpdateAll();
    EXPECT_EQ(resWatchNext, 0);
    resUpdateAll();
    EXPECT_EQ(resWatchNext, 128);
}

TEST_F(DataFiles, ChangedFileReloadsAfterTwoQuietScans)
{
    reloaded.clear();
    resSetShaderReloadHandler(recordReload);
    writeFile(dir.path() / "s.glsl", "one");
    ASSERT_TRUE(resRegister("s.glsl", fakeProgram(7)));

    writeFile(dir.path() / "s.glsl", "two!");
    resUpdateAll(); // change seen
    writeFile(dir.path() / "s.glsl", "three");
    resUpdateAll(); // changed again: countdown restarts
    resUpdateAll(); // quiet 1
    EXPECT_TRUE(reloaded.empty());
    resUpdateAll(); // quiet 2: settled
    ASSERT_EQ(reloaded.size(), 1u);
    EXPECT_EQ(reloaded[0], fakeProgram(7));
    resUpdateAll();
    resUpdateAll();
    EXPECT_EQ(reloaded.size(), 1u);
}

TEST_F(DataFiles, DirectoryWatchSeesNewFiles)
{
    reloaded.clear();
    resSetShaderReloadHandler(recordReload);
    writeFile(dir.path() / "inc/a.glsl", "a");
    ASSERT_TRUE(resRegister("inc", fakeProgram(3)));
    writeFile(dir.path() / "inc/b.glsl", "bb");
    resUpdateAll();
    resUpdateAll();
    resUpdateAll();
    EXPECT_EQ(reloaded.size(), 1u);
    EXPECT_EQ(hashdirectory(dir.str() + "does-not-exist"), 0u);
}
