#include "app/log.h"

#include "test_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

using testutil::readFile;

// Other test processes share the working directory, so the file checks run in a child inside a private folder.
TEST(LogDeathTest, FileLinesCarryPrefixMessageAndNoReset)
{
    testutil::TempDir dir("logfile");
    EXPECT_EXIT(
        {
            if (chdir(dir.path().c_str()) != 0)
                std::exit(2);
            LOG_ERROR("path %s", "a%d.png");
            LOG_INFO("Ready");
            const std::string log = readFile("app_log.txt");
            dup2(2, 1);
            std::fputs(log.c_str(), stdout);
            std::fflush(stdout);
            const bool ok = log.rfind("\033[31m[TestBody : ", 0) == 0 &&
                            log.find("\"path a%d.png\"\n[TestBody : ") != std::string::npos &&
                            log.find("\"Ready\"\n") != std::string::npos && log.find("\033[39m") == std::string::npos;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Log, LineNumberIsRightAlignedInFourColumns)
{
    testing::internal::CaptureStdout();
    LOG_WARNING("x");
    const std::string out = testing::internal::GetCapturedStdout();
    const int line = __LINE__ - 2;
    char expected[64];
    std::snprintf(expected, sizeof(expected), "\033[33m[TestBody : %4d]\"x\"\033[39m\n", line);
    EXPECT_EQ(out, expected);
}

TEST(Log, LongMessagesAreCut)
{
    const std::string huge(100000, 'z');
    testing::internal::CaptureStdout();
    LOG_INFO("%s", huge.c_str());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.size(), 32767u + std::string("\033[39m\n").size());
}

TEST(LogDeathTest, UnwritableLogFileFallsBackToConsole)
{
    // A directory named like the log file makes the first open fail, even as root. The threadsafe style re-runs
    // the binary for this test alone, so the child's log has not been opened yet.
    testutil::TempDir dir("logdir");
    std::filesystem::create_directories(dir.path() / "app_log.txt");
    EXPECT_EXIT(
        {
            if (chdir(dir.path().c_str()) != 0)
                std::exit(2);
            dup2(2, 1); // the matcher reads stderr
            LOG_INFO("still here");
            std::exit(0);
        },
        testing::ExitedWithCode(0), "Failed to initialize log file <app_log.txt>.*\n.*still here");
}

TEST(ScopedTimer, MessageUsesWholeMilliseconds)
{
    using namespace std::chrono;
    struct Case {
        nanoseconds elapsed;
        const char* expected;
    } cases[] = {
        {microseconds(1234567), "Load : 1234ms : 1.2340s"},
        {microseconds(400), "Load : 0ms : 0.0000s"},
        {milliseconds(5000), "Load : 5000ms : 5.0000s"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ScopedTimer::formatMessage("Load", c.elapsed), c.expected);
}
