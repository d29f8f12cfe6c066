// The test runner's entry: ctest starts many test processes at once in one folder, so each process works in a
// folder of its own; its "app_log.txt" and scratch files are then its alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::current_path() / ("proc_" + std::to_string(getpid()));
    std::error_code ec;
    fs::create_directories(dir, ec);
    const bool moved = !ec && chdir(dir.c_str()) == 0;

    // Mesa's and the audio device's threads may exist by the time a death test forks, and a forked copy of a
    // threaded process can hang: death tests start the binary afresh for the one test.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();

    if (moved && chdir("..") == 0)
        fs::remove_all(dir, ec);
    return result;
}
