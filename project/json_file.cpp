#include "project/json_file.h"

#include "app/log.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

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
    std::string temp = path + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file) {
        LOG_ERROR("Failed to open <%s> for writing", temp.c_str());
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = (std::fflush(file) == 0) && ok;
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) {
        LOG_ERROR("Failed to write <%s>", temp.c_str());
        std::remove(temp.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        LOG_ERROR("Failed to replace <%s>: %s", path.c_str(), ec.message().c_str());
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

void markUnreadable(const std::string& path) { unreadableFiles().insert(normalisedPath(path)); }

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
