// Output of the build-time generators. Build folders sharing the source tree may run a generator at the same
// time, so each writes its own temporary file and renames it over the target: readers never see half a file.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include <unistd.h>

inline bool writeGeneratedFile(const std::filesystem::path& output, const void* data, size_t size, const char* tool)
{
    std::error_code error;
    if (output.has_parent_path())
        std::filesystem::create_directories(output.parent_path(), error);
    const std::filesystem::path temporary = output.string() + "." + std::to_string(getpid()) + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        std::fprintf(stderr, "%s: cannot write %s\n", tool, temporary.c_str());
        return false;
    }
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "%s: writing %s failed\n", tool, temporary.c_str());
        std::filesystem::remove(temporary, error);
        return false;
    }
    std::filesystem::rename(temporary, output, error);
    if (error) {
        std::fprintf(stderr, "%s: cannot rename to %s: %s\n", tool, output.c_str(), error.message().c_str());
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}
