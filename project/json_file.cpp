#include "project/json_file.h"

#include "app/log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace jsonfile {

namespace {

std::set<std::string>& unreadableFiles()
{
    // Never destroyed: the exit savers consult it after function-local statics are gone.
    static auto& files = *new std::set<std::string>();
    return files;
}

std::string normalisedPath(const std::string& path)
{
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec)
        return path;
    return absolute.lexically_normal().string();
}

// The file a save lands in: symbolic links are followed to their target, so a linked project file stays a link.
// False for a chain that never ends in a name (a loop).
bool followLinks(const std::string& path, std::string& target)
{
    namespace fs = std::filesystem;
    fs::path at = path;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!fs::is_symlink(at, ec)) {
            target = at.string();
            return true;
        }
        const fs::path next = fs::read_symlink(at, ec);
        if (ec)
            return false;
        at = next.is_absolute() ? next : at.parent_path() / next;
    }
    return false;
}

// Whether the file exists and holds exactly these bytes.
bool holdsBytes(const std::string& path, std::string_view bytes)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    char buffer[1 << 16];
    size_t offset = 0;
    bool same = true;
    while (same) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, file);
        if (got == 0)
            break;
        same = got <= bytes.size() - offset && std::memcmp(buffer, bytes.data() + offset, got) == 0;
        offset += got;
    }
    same = same && !std::ferror(file) && offset == bytes.size();
    std::fclose(file);
    return same;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

} // namespace

bool parse(std::string_view text, const std::string& source, nlohmann::json& out)
{
    try {
        out = nlohmann::json::parse(text.begin(), text.end());
        return true;
    } catch (const nlohmann::json::parse_error& e) {
        // e.byte is the 1-based offset of the byte that stopped the parser.
        size_t end = std::min<size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
        int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + end, '\n'));
        LOG_ERROR("Failed to parse <%s>: line %d: %s", source.c_str(), line, e.what());
    } catch (const std::exception& e) {
        LOG_ERROR("Failed to parse <%s>: %s", source.c_str(), e.what());
    }
    return false;
}

void reportContentError(const std::string& source, const std::string& what)
{
    LOG_ERROR("Failed to read <%s>: %s", source.c_str(), what.c_str());
}

std::string dump(const nlohmann::json& value, int indent)
{
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool writeAtomic(const std::string& path, std::string_view bytes)
{
    std::string target;
    if (!followLinks(path, target)) {
        LOG_ERROR("Failed to replace <%s>: its symbolic links do not end in a file", path.c_str());
        return false;
    }
    if (holdsBytes(target, bytes))
        return true; // an unchanged file keeps its time stamp

    struct stat old {};
    const bool replacing = ::stat(target.c_str(), &old) == 0;
    const std::string temp = target + ".tmp";
    ::unlink(temp.c_str()); // a stale one from an interrupted save, or a link planted there, is not written through
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        LOG_ERROR("Failed to open <%s> for writing", temp.c_str());
        return false;
    }
    bool ok = writeAll(fd, bytes);
    if (ok && replacing && ::fchmod(fd, old.st_mode & 07777) != 0)
        LOG_WARNING("<%s> is saved without its old permissions: %s", target.c_str(), std::strerror(errno));
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        LOG_ERROR("Failed to write <%s>", temp.c_str());
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        LOG_ERROR("Failed to replace <%s>: %s", target.c_str(), std::strerror(errno));
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void markUnreadable(const std::string& path) { unreadableFiles().insert(normalisedPath(path)); }

void markFailedRead(const std::string& path, bool missing)
{
    if (missing)
        clearUnreadable(path);
    else
        markUnreadable(path);
}

DataBlob readFile(const std::string& path)
{
    DataBlob blob = dataLoadFile(path);
    if (!blob)
        markFailedRead(dataPath(path), blob.missing);
    return blob;
}

void clearUnreadable(const std::string& path) { unreadableFiles().erase(normalisedPath(path)); }

bool isUnreadable(const std::string& path) { return unreadableFiles().count(normalisedPath(path)) != 0; }

bool readInt32(const nlohmann::json& value, int32_t& out)
{
    if (value.is_number_unsigned()) {
        uint64_t v = value.get<uint64_t>();
        if (v > 0xFFFFFFFFull)
            return false;
        out = static_cast<int32_t>(static_cast<uint32_t>(v));
        return true;
    }
    if (value.is_number_integer()) {
        int64_t v = value.get<int64_t>();
        if (v < INT32_MIN || v > INT32_MAX)
            return false;
        out = static_cast<int32_t>(v);
        return true;
    }
    return false;
}

bool readUint64(const nlohmann::json& value, uint64_t& out)
{
    if (value.is_number_unsigned()) {
        out = value.get<uint64_t>();
        return true;
    }
    if (value.is_number_integer() && value.get<int64_t>() >= 0) {
        out = static_cast<uint64_t>(value.get<int64_t>());
        return true;
    }
    return false;
}

} // namespace jsonfile
