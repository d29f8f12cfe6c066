#include "app/data_files.h"

#include "app/log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace {

constexpr size_t kMaxPath = 1024;

std::string& basePathStorage()
{
    // Never destroyed: the exit savers build their paths from it.
    static auto& path = *new std::string("assets/");
    return path;
}

void (*shaderReloadHandler)(ShaderProgram*) = nullptr;

void shaderReloadCallback(ResourceWatch*, void* userData)
{
    if (shaderReloadHandler)
        shaderReloadHandler(static_cast<ShaderProgram*>(userData));
}

DataBlob readWholeFile(FILE* f)
{
    DataBlob blob;
    if (std::fseek(f, 0, SEEK_END) != 0)
        return blob;
    const long end = std::ftell(f);
    if (end < 0 || std::fseek(f, 0, SEEK_SET) != 0)
        return blob;
    const size_t size = static_cast<size_t>(end);
    std::unique_ptr<char[]> bytes(new (std::nothrow) char[size + 4]);
    if (!bytes)
        return blob;
    const size_t got = std::fread(bytes.get(), 1, size, f);
    if (std::ferror(f))
        return blob;
    // A file that shrank while being read keeps what was there; the zeros still terminate it.
    std::fill(bytes.get() + got, bytes.get() + size + 4, '\0');
    blob.bytes = std::move(bytes);
    blob.size = got;
    return blob;
}

// Opens a file for reading. On failure, logs "Failed to find a file" when nothing is at the path, and otherwise why
// what is there cannot be read, naming the full path: that file exists and must not be taken for an absent one.
FILE* openForReading(const std::string& fullPath, std::string_view name, bool* missing)
{
    if (missing)
        *missing = false;
    FILE* f = std::fopen(fullPath.c_str(), "rb");
    int error = f ? 0 : errno;
    struct stat st {};
    if (f && ::fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        f = nullptr;
        error = EISDIR;
    }
    if (f)
        return f;

    const bool linkThere = ::lstat(fullPath.c_str(), &st) == 0;
    if (!linkThere && (errno == ENOENT || errno == ENOTDIR)) {
        if (missing)
            *missing = true;
        LOG_ERROR("LoadFile: Failed to find a file: %.*s", static_cast<int>(name.size()), name.data());
        return nullptr;
    }
    const char* why = linkThere && S_ISLNK(st.st_mode) && error == ENOENT ? "broken link, its target does not exist"
                                                                          : std::strerror(error);
    LOG_ERROR("LoadFile: Failed to read a file: %s: %s", fullPath.c_str(), why);
    return nullptr;
}

DataBlob loadWholeFile(const std::string& fullPath, std::string_view name)
{
    DataBlob blob;
    FILE* f = openForReading(fullPath, name, &blob.missing);
    if (!f)
        return blob;
    blob = readWholeFile(f);
    std::fclose(f);
    if (!blob)
        LOG_ERROR("LoadFile: Failed to read a file: %s", fullPath.c_str());
    return blob;
}

} // namespace

// Never destroyed: programs that live for the whole run keep their watches until the process has ended.
std::vector<ResourceWatch*>& resWatchList = *new std::vector<ResourceWatch*>();
int resWatchNext = 0;
bool resWatchListChanged = false;
bool hotReloadEnabled = true;

const std::string& dataBasePath()
{
    return basePathStorage();
}

void dataSetBasePath(std::string_view path)
{
    basePathStorage() = std::string(path.substr(0, kMaxPath));
    LOG_INFO("New base path for assets:<%s>", basePathStorage().c_str());
}

std::string dataPath(std::string_view name)
{
    std::string full = basePathStorage();
    full.append(name);
    if (full.size() > kMaxPath)
        full.resize(kMaxPath);
    return full;
}

DataBlob dataLoadFileAbsolute(const std::string& fullPath)
{
    return loadWholeFile(fullPath, fullPath);
}

DataBlob dataLoadFile(std::string_view name)
{
    return loadWholeFile(dataPath(name), name);
}

uint32_t dataFileSize(std::string_view name)
{
    FILE* f = std::fopen(dataPath(name).c_str(), "rb");
    if (!f)
        return 0;
    std::fseek(f, 0, SEEK_END);
    const long end = std::ftell(f);
    std::fclose(f);
    return end < 0 ? 0 : static_cast<uint32_t>(end);
}

DataFile* dataFileOpen(std::string_view name, bool* missing)
{
    FILE* f = openForReading(dataPath(name), name, missing);
    return f ? new DataFile{f} : nullptr;
}

int dataFileRead(DataFile* file, void* destination, size_t n)
{
    if (!file || !file->file || !destination)
        return 0;
    return static_cast<int>(std::fread(destination, 1, n, file->file));
}

char* dataFileReadLine(DataFile* file, char* buffer)
{
    if (!file || !file->file || !buffer)
        return nullptr;
    int count = 0;
    while (count < 511) {
        const int c = std::fgetc(file->file);
        if (c == EOF)
            break;
        buffer[count++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buffer[count] = '\0';
    return count == 0 ? nullptr : buffer;
}

void dataFileClose(DataFile* file)
{
    if (!file)
        return;
    if (file->file)
        std::fclose(file->file);
    delete file;
}

int dataFileStat(std::string_view name, DataFileStatus* status)
{
    struct stat st {};
    if (::stat(dataPath(name).c_str(), &st) != 0)
        return 0;
    if (status) {
        status->modificationTime = static_cast<int64_t>(st.st_mtime);
        status->size = static_cast<uint32_t>(st.st_size);
        status->isDirectory = S_ISDIR(st.st_mode);
    }
    return 1;
}

void resSetShaderReloadHandler(void (*handler)(ShaderProgram*))
{
    shaderReloadHandler = handler;
}

bool resRegister(const std::string& path, ShaderProgram* program)
{
    for (const ResourceWatch* w : resWatchList)
        if (w->path == path && w->callback == shaderReloadCallback && w->userData == program)
            return false;

    DataFileStatus status;
    if (path.empty() || !dataFileStat(path, &status)) {
        LOG_ERROR("Failed to register resource:<%s>", path.c_str());
        return false;
    }

    auto* watch = new ResourceWatch;
    watch->path = path;
    watch->modificationTime = status.modificationTime;
    watch->size = status.size;
    watch->isDirectory = status.isDirectory;
    watch->callback = shaderReloadCallback;
    watch->userData = program;
    if (watch->isDirectory) {
        watch->directoryHash = hashdirectory(dataPath(path));
        LOG_INFO("Initial hash for directory <%s> : 0x%x", path.c_str(), watch->directoryHash);
    }
    resWatchList.push_back(watch);
    return true;
}

void resUnregister(const std::string& path, ShaderProgram* program)
{
    auto it = std::find_if(resWatchList.begin(), resWatchList.end(), [&](const ResourceWatch* w) {
        return w->path == path && w->callback == shaderReloadCallback && w->userData == program;
    });
    if (it == resWatchList.end())
        return;
    delete *it;
    resWatchList.erase(it);
    resWatchListChanged = true;
}

void resClearAll()
{
    for (ResourceWatch* w : resWatchList)
        delete w;
    resWatchList.clear();
    resWatchNext = 0;
    resWatchListChanged = false;
}

uint32_t hashdirectory(const std::string& fullPath)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(fullPath, ec);
    if (ec) {
        LOG_ERROR("Failed to inspect directory:%s", fullPath.c_str());
        return 0;
    }
    uint32_t hash = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        std::error_code entryError;
        if (it->is_directory(entryError))
            continue;
        const auto size = it->file_size(entryError);
        if (entryError)
            continue;
        const auto written = it->last_write_time(entryError);
        if (entryError)
            continue;
        // Write time in 100-nanosecond units; only equality of two hashes is ever compared.
        const auto ticks =
            std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, 10000000>>>(written.time_since_epoch())
                .count();
        hash += static_cast<uint32_t>(size) + static_cast<uint32_t>(ticks);
    }
    return hash;
}

void resUpdateAll()
{
    const int count = static_cast<int>(resWatchList.size());
    if (resWatchNext >= count) {
        resWatchNext = 0;
        return;
    }

    std::vector<ResourceWatch*> settled;
    int examined = 0;
    while (examined < 128 && resWatchNext < count) {
        ResourceWatch* watch = resWatchList[resWatchNext++];
        ++examined;
        DataFileStatus status;
        if (!dataFileStat(watch->path, &status))
            continue;
        const uint32_t hash = status.isDirectory ? hashdirectory(dataPath(watch->path)) : 0;
        if (hash != watch->directoryHash || status.size != watch->size ||
            status.modificationTime != watch->modificationTime) {
            watch->directoryHash = hash;
            watch->size = status.size;
            watch->modificationTime = status.modificationTime;
            watch->countdown = 2;
        } else if (watch->countdown > 0) {
            if (--watch->countdown == 0 && settled.size() < 256)
                settled.push_back(watch);
        }
    }
    if (resWatchNext >= count)
        resWatchNext = 0;

    for (ResourceWatch* watch : settled) {
        // A callback may unregister later watches of this same list.
        if (resWatchListChanged &&
            std::find(resWatchList.begin(), resWatchList.end(), watch) == resWatchList.end()) {
            LOG_INFO("Resource already removed from the list. No callback called");
            continue;
        }
        LOG_INFO("Reloading resource %p for path:<%s>", static_cast<void*>(watch), watch->path.c_str());
        watch->callback(watch, watch->userData);
    }
    resWatchListChanged = false;
}
