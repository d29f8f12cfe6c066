// The test runner's entry: ctest starts many test processes at once in one folder, so each process works in a
// folder of its own; its "app_log.txt" and scratch files are then its alone.
#include "components/component_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

// Set for the processes this one starts: a death test's process (the binary started again, in the folder the
// binary was started in) makes its folder inside this process's, which goes when this process ends.
const char* const kProcessFolderVariable = "ENGINE_TESTS_PROCESS_FOLDER";

} // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    const char* parent = std::getenv(kProcessFolderVariable);
    const fs::path dir = (parent ? fs::path(parent) : fs::current_path()) / ("proc_" + std::to_string(getpid()));
    std::error_code ec;
    fs::create_directories(dir, ec);
    const bool moved = !ec && chdir(dir.c_str()) == 0;
    if (moved)
        setenv(kProcessFolderVariable, dir.c_str(), 1);

    // Mesa's and the audio device's threads may exist by the time a death test forks, and a forked copy of a
    // threaded process can hang: death tests start the binary afresh for the one test.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    componentTypesInstallFactories();
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();

    if (moved && chdir("..") == 0)
        fs::remove_all(dir, ec);
    return result;
}
