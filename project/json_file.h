// Shared plumbing of the project files (graph.json, resources.json, variables.json): parsing with a report that
// names file and line, writing through a temporary file, and the list of files that must not be overwritten
// because they exist but could not be read.
#pragma once

#include "app/data_files.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace jsonfile {

// Parses text; on failure logs "<source>: line N: what" and returns false (never throws).
bool parse(std::string_view text, const std::string& source, nlohmann::json& out);

// Logs a content error of a parsed file the same way ("<source>: what").
void reportContentError(const std::string& source, const std::string& what);

// Serialises without throwing: invalid UTF-8 in strings is replaced rather than aborting the save.
std::string dump(const nlohmann::json& value, int indent);

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
