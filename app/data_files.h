// Data files named relative to the asset base path, and hot reload of the files shader programs were built from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct ShaderProgram;

// The asset base path, "assets/" until dataSetBasePath changes it (at most 1,024 characters).
const std::string& dataBasePath();
void dataSetBasePath(std::string_view path);

// Base path + relative name, cut at 1,024 characters. Each call returns its own string, so nested calls are safe.
std::string dataPath(std::string_view name);

// A whole file followed by 4 zero bytes, so text is terminated. Empty (false) when the file could not be read.
struct DataBlob {
    std::unique_ptr<char[]> bytes;
    size_t size = 0; // without the terminating zeros
    // Set on an empty blob when nothing is at the path. Otherwise something is there that could not be read (no
    // permission, a dangling link, a directory): a file that must not be replaced as if it were absent.
    bool missing = false;

    explicit operator bool() const { return bytes != nullptr; }
    const char* data() const { return bytes.get(); }
    const char* text() const { return bytes.get(); }
    const uint8_t* u8() const { return reinterpret_cast<const uint8_t*>(bytes.get()); }
};

DataBlob dataLoadFile(std::string_view name);
// The same from an absolute or working-directory path, without the base path.
DataBlob dataLoadFileAbsolute(const std::string& fullPath);

uint32_t dataFileSize(std::string_view name);

struct DataFile {
    FILE* file = nullptr;
};

// Null when the file cannot be opened; *missing (when given) tells whether nothing is at the path.
DataFile* dataFileOpen(std::string_view name, bool* missing = nullptr);
int dataFileRead(DataFile* file, void* destination, size_t n);
// Reads one line into a buffer of at least 512 bytes; null at end of file before any character.
char* dataFileReadLine(DataFile* file, char* buffer);
void dataFileClose(DataFile* file);

struct DataFileStatus {
    int64_t modificationTime = 0; // seconds since 1970
    uint32_t size = 0;
    bool isDirectory = false;
};

// 1 with the status filled, 0 when the file does not exist.
int dataFileStat(std::string_view name, DataFileStatus* status);

// ---- Hot reload ----

struct ResourceWatch;
using ResourceWatchCallback = void (*)(ResourceWatch* watch, void* userData);

struct ResourceWatch {
    ResourceWatchCallback callback = nullptr;
    void* userData = nullptr; // the ShaderProgram to rebuild
    std::string path;         // relative to the base path
    int64_t modificationTime = 0;
    uint32_t size = 0;
    int countdown = 0;
    bool isDirectory = false;
    uint32_t directoryHash = 0;
};

extern std::vector<ResourceWatch*>& resWatchList;
extern int resWatchNext;
extern bool resWatchListChanged;
extern bool hotReloadEnabled;

// The shader layer installs the function that rebuilds a program in place.
void resSetShaderReloadHandler(void (*handler)(ShaderProgram* program));

bool resRegister(const std::string& path, ShaderProgram* program);
void resUnregister(const std::string& path, ShaderProgram* program);
void resUpdateAll();
// Removes every watch (tests and shutdown).
void resClearAll();

// Sum of sizes and write times of the regular files directly in a directory; 0 (after a log line) when unreadable.
uint32_t hashdirectory(const std::string& fullPath);
