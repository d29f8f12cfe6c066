// Small helpers shared by the tests.
#pragma once

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

} // namespace testutil
