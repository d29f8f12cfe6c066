// Small helpers shared by the tests.
#pragma once

#include "app/data_files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unistd.h>

namespace testutil {

// What the body logged to the console (the log writes every line there too).
inline std::string captureLog(const std::function<void()>& body)
{
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}

inline size_t countOf(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// For death-test children, which run the test again in a process and folder of their own: checks what the exit
// work left once it is done. Registered before that work, it runs after it, and its verdict is the exit code: 0 when
// `check` returns no complaint, 1 (with the complaint on stderr) otherwise.
inline void checkAtExit(std::function<std::string()> check)
{
    static std::function<std::string()> pending;
    pending = std::move(check);
    std::atexit([] {
        const std::string complaint = pending();
        std::fputs(complaint.c_str(), stderr);
        std::_Exit(complaint.empty() ? 0 : 1);
    });
}

// A fresh directory under the working directory, removed when the test ends. The process id keeps tests that
// ctest runs in parallel apart.
class TempDir {
public:
    explicit TempDir(const std::string& name) : path_(std::filesystem::absolute("tmp_" + name + "_" + std::to_string(getpid())))
    {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

// The hot-reload watch list as the test's own while it lives: empty at the start (the watches of programs that live
// for the whole run, such as the material roots', are set aside) and put back afterwards.
class OwnWatchList {
public:
    OwnWatchList() : savedNext_(resWatchNext)
    {
        saved_.swap(resWatchList);
        resWatchNext = 0;
    }
    ~OwnWatchList()
    {
        resClearAll();
        resWatchList.swap(saved_);
        resWatchNext = savedNext_;
    }
    OwnWatchList(const OwnWatchList&) = delete;
    OwnWatchList& operator=(const OwnWatchList&) = delete;

private:
    std::vector<ResourceWatch*> saved_;
    int savedNext_;
};

} // namespace testutil
