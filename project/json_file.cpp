#include "project/json_file.h"

#include "app/log.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

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

int lineAt(std::string_view text, size_t offset)
{
    offset = std::min(offset, text.size());
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

// Offset of the first bracket that opens a level deeper than kMaxDepth, or npos. Brackets inside strings do not
// count; text that is not JSON at all is left for the parser to report.
size_t tooDeepAt(std::string_view text)
{
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth)
                return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return std::string_view::npos;
}

std::string compact(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The library's pretty form down to kIndentedLevels, the compact form below.
void write(std::string& out, const nlohmann::json& value, int indent, int depth)
{
    if (!value.is_structured() || value.empty() || depth >= kIndentedLevels) {
        out += compact(value);
        return;
    }
    const bool object = value.is_object();
    out += object ? "{\n" : "[\n";
    const std::string pad(static_cast<size_t>(indent) * static_cast<size_t>(depth + 1), ' ');
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (it != value.begin())
            out += ",\n";
        out += pad;
        if (object) {
            out += compact(nlohmann::json(it.key()));
            out += ": ";
        }
        write(out, *it, indent, depth + 1);
    }
    out += '\n';
    out.append(static_cast<size_t>(indent) * static_cast<size_t>(depth), ' ');
    out += object ? '}' : ']';
}

// JSON pointer of the first number under doc that JSON cannot hold (NaN or infinite), or "" when there is none.
std::string lostNumberAt(const nlohmann::json& doc)
{
    std::vector<std::pair<const nlohmann::json*, std::string>> stack{{&doc, ""}};
    while (!stack.empty()) {
        auto [value, where] = std::move(stack.back());
        stack.pop_back();
        if (value->is_number_float() && !std::isfinite(value->get<double>()))
            return where.empty() ? "/" : where;
        if (value->is_object())
            for (auto it = value->begin(); it != value->end(); ++it)
                stack.emplace_back(&*it, where + "/" + it.key());
        else if (value->is_array())
            for (size_t i = 0; i < value->size(); ++i)
                stack.emplace_back(&(*value)[i], where + "/" + std::to_string(i));
    }
    return {};
}

} // namespace

bool parse(std::string_view text, const std::string& source, nlohmann::json& out)
{
    if (size_t deep = tooDeepAt(text); deep != std::string_view::npos) {
        LOG_ERROR("Failed to parse <%s>: line %d: nested deeper than %d levels", source.c_str(), lineAt(text, deep),
                  kMaxDepth);
        return false;
    }
    try {
        out = nlohmann::json::parse(text.begin(), text.end());
        return true;
    } catch (const nlohmann::json::parse_error& e) {
        // e.byte is the 1-based offset of the byte that stopped the parser.
        LOG_ERROR("Failed to parse <%s>: line %d: %s", source.c_str(), lineAt(text, e.byte > 0 ? e.byte - 1 : 0),
                  e.what());
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
    if (indent < 0)
        return compact(value);
    std::string out;
    write(out, value, indent, 0);
    return out;
}

bool save(const std::string& path, const nlohmann::json& doc, int indent)
{
    const std::string text = dump(doc, indent);
    if (const std::string where = lostNumberAt(doc); !where.empty()) {
        LOG_ERROR("Not saving <%s>: the number at %s cannot be written in JSON; the old file is kept", path.c_str(),
                  where.c_str());
        return false;
    }
    if (nlohmann::json::parse(text, nullptr, false).is_discarded()) {
        LOG_ERROR("Not saving <%s>: the text to be written does not read back; the old file is kept", path.c_str());
        return false;
    }
    return writeAtomic(path, text);
}

void clampToFloat(nlohmann::json& value, const std::string& source)
{
    std::vector<nlohmann::json*> stack{&value};
    while (!stack.empty()) {
        nlohmann::json* v = stack.back();
        stack.pop_back();
        if (v->is_structured()) {
            for (auto& child : *v)
                stack.push_back(&child);
        } else if (v->is_number() && std::fabs(v->get<double>()) > FLT_MAX) {
            const double limit = std::copysign(static_cast<double>(FLT_MAX), v->get<double>());
            LOG_WARNING("<%s>: %s is beyond the range of a float; read as %s", source.c_str(), compact(*v).c_str(),
                        compact(nlohmann::json(limit)).c_str());
            *v = limit;
        }
    }
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
