// Shared plumbing of the project files (graph.json, resources.json, variables.json): parsing with a report that
// names file and line, writing through a temporary file, and the list of files that must not be overwritten
// because they exist but could not be read.
#pragma once

#include "app/data_files.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace jsonfile {

// Parses text; on failure logs "<source>: line N: what" and returns false (never throws). Nesting deeper than
// kMaxDepth is refused before parsing: the copies and writers of a value recurse once per level.
constexpr int kMaxDepth = 1000;
bool parse(std::string_view text, const std::string& source, nlohmann::json& out);

// Logs a content error of a parsed file the same way ("<source>: what").
void reportContentError(const std::string& source, const std::string& what);

// Serialises without throwing: invalid UTF-8 in strings is replaced rather than aborting the save. Levels
// below kIndentedLevels are written without indentation, so a deeply nested kept value stays about its size.
constexpr int kIndentedLevels = 64;
std::string dump(const nlohmann::json& value, int indent);

// Dumps doc and writes it with writeAtomic, after checking that the text reads back with every number in it
// (a number JSON cannot hold would be written as null, which the loaders reject). Logs and returns false, leaving
// the old file, when the check fails.
bool save(const std::string& path, const nlohmann::json& doc, int indent);

// Clamps every number under value that lies beyond float range to the largest float, with a line naming source
// and the value: a float field holding it would otherwise save as null. Call on parts that hold floats only.
void clampToFloat(nlohmann::json& value, const std::string& source);

// Writes the bytes to a temporary file beside the target and renames it over the target, so a crash mid-save never
// leaves half a file. A symlink is written through (it stays a link), the file keeps its mode, and a file that
// already holds these bytes is not touched. Logs and returns false on failure; the old file then stays as it was.
bool writeAtomic(const std::string& path, std::string_view bytes);

// A file that exists but failed to parse is kept as the user left it: savers ask before overwriting it.
void markUnreadable(const std::string& path);
// After a failed read (path with the base path): something there that could not be read (no permission, a dangling
// link, a directory) is kept like a file that fails to parse; a missing file loses an earlier mark.
void markFailedRead(const std::string& path, bool missing);
// Reads a project file named relative to the asset base path, marking it when it is there but cannot be read.
DataBlob readFile(const std::string& path);
void clearUnreadable(const std::string& path);
bool isUnreadable(const std::string& path);

// Reads an integral JSON number into a 32-bit signed field the way the files store it (unsigned 32-bit values).
bool readInt32(const nlohmann::json& value, int32_t& out);
bool readUint64(const nlohmann::json& value, uint64_t& out);

} // namespace jsonfile
