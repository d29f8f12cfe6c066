#include "jni/engine/grd_program_cache.h"

#include "app/log.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <unistd.h>

using namespace gl;

ProgramCacheCounters programCacheCounters;

namespace {

// Bumped whenever the entry layout changes, so old entries read as stale rather than as garbage.
constexpr char kMagic[8] = {'P', 'R', 'O', 'G', 'B', 'I', 'N', '1'};

struct EntryHeader {
    char magic[8];
    uint64_t key;
    uint64_t driver;
    uint32_t format;
    uint32_t length;
    uint64_t checksum; // FNV-1a of the binary
};

// Larger than any program binary a driver hands out; a header claiming more is damaged.
constexpr uint32_t kMaxBinaryBytes = 64u << 20;

std::string cacheFolder;
uint64_t driverKey = 0;
bool driverKeyTaken = false;

uint64_t fnv1a(const void* data, size_t size, uint64_t hash = 14695981039346656037ull)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string envOrEmpty(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

void programCacheSetFolder(const std::string& folder)
{
    cacheFolder = folder;
    driverKeyTaken = false;
    if (folder.empty())
        return;
    GLint formats = 0;
    glGetIntegerv(GL_NUM_PROGRAM_BINARY_FORMATS, &formats);
    if (formats <= 0) {
        LOG_WARNING("The GL driver has no program binary formats; programs are not cached");
        cacheFolder.clear();
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        LOG_WARNING("Program cache folder <%s> cannot be made (%s); programs are not cached", folder.c_str(),
                    error.message().c_str());
        cacheFolder.clear();
        return;
    }
    LOG_INFO("Program cache in <%s> (%d binary formats)", folder.c_str(), formats);
}

const std::string& programCacheFolder()
{
    return cacheFolder;
}

bool programCacheEnabled()
{
    return !cacheFolder.empty();
}

std::string programCacheDefaultFolder()
{
    if (std::string own = envOrEmpty("DEMOENGINE_PROGRAM_CACHE"); !own.empty())
        return own;
    if (std::string xdg = envOrEmpty("XDG_CACHE_HOME"); !xdg.empty())
        return xdg + "/demoengine/programs";
    if (std::string home = envOrEmpty("HOME"); !home.empty())
        return home + "/.cache/demoengine/programs";
    return {};
}

uint64_t programCacheDriverKey()
{
    if (!driverKeyTaken) {
        uint64_t hash = fnv1a(kMagic, sizeof kMagic);
        for (GLenum name : {GL_VENDOR, GL_RENDERER, GL_VERSION}) {
            const auto* text = reinterpret_cast<const char*>(glGetString(name));
            const std::string value = text ? text : "";
            hash = fnv1a(value.data(), value.size() + 1, hash); // with the zero, so "ab"+"c" != "a"+"bc"
        }
        driverKey = hash;
        driverKeyTaken = true;
    }
    return driverKey;
}

std::string programCacheFile(uint64_t key)
{
    return fmt::format("{0}/{1:016x}.bin", cacheFolder, key);
}

bool programCacheLoad(uint64_t key, ProgramCacheEntry& entry)
{
    if (!programCacheEnabled())
        return false;
    const std::string path = programCacheFile(key);
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        ++programCacheCounters.misses;
        return false;
    }
    const std::streamoff size = file.tellg();
    file.seekg(0);
    EntryHeader header{};
    const char* reason = nullptr;
    if (size < static_cast<std::streamoff>(sizeof header) || !file.read(reinterpret_cast<char*>(&header), sizeof header))
        reason = "shorter than its header";
    else if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0)
        reason = "not a program entry of this version";
    else if (header.key != key)
        reason = "made for other sources";
    else if (header.driver != programCacheDriverKey())
        reason = "made by another driver";
    else if (header.length == 0 || header.length > kMaxBinaryBytes ||
             size != static_cast<std::streamoff>(sizeof header + header.length))
        reason = "cut short or too long";
    if (!reason) {
        entry.format = header.format;
        entry.binary.resize(header.length);
        if (!file.read(reinterpret_cast<char*>(entry.binary.data()), header.length))
            reason = "cut short or too long";
        else if (fnv1a(entry.binary.data(), entry.binary.size()) != header.checksum)
            reason = "damaged";
    }
    if (reason) {
        LOG_WARNING("Program cache entry <%s> is %s; building from source", path.c_str(), reason);
        entry = {};
        ++programCacheCounters.rejected;
        return false;
    }
    ++programCacheCounters.hits;
    return true;
}

bool programCacheStore(uint64_t key, const ProgramCacheEntry& entry)
{
    if (!programCacheEnabled() || entry.binary.empty() || entry.binary.size() > kMaxBinaryBytes)
        return false;
    EntryHeader header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.key = key;
    header.driver = programCacheDriverKey();
    header.format = entry.format;
    header.length = static_cast<uint32_t>(entry.binary.size());
    header.checksum = fnv1a(entry.binary.data(), entry.binary.size());

    // A reader never sees half an entry: the whole file is written aside and renamed into place.
    const std::string path = programCacheFile(key);
    const std::string temporary = fmt::format("{0}.{1}.tmp", path, static_cast<long>(getpid()));
    bool written = false;
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (file) {
            file.write(reinterpret_cast<const char*>(&header), sizeof header);
            file.write(reinterpret_cast<const char*>(entry.binary.data()),
                       static_cast<std::streamsize>(entry.binary.size()));
            file.close();
            written = static_cast<bool>(file);
        }
    }
    std::error_code error;
    if (written)
        std::filesystem::rename(temporary, path, error);
    if (!written || error) {
        std::filesystem::remove(temporary, error);
        LOG_WARNING("Program cache entry <%s> could not be written", path.c_str());
        return false;
    }
    ++programCacheCounters.stored;
    return true;
}
