// Reading the timeline's and the gradients' JSON files the same careful way.
#pragma once

#include "app/data_files.h"
#include "project/json_file.h"

#include <string>

// Reads a data file (relative to the asset base path) and parses it; check(doc) returns what is wrong with its
// content, or "". A file that exists but cannot be read, parsed or checked is logged and marked, so no save
// overwrites it; one that passes loses an earlier mark. False for a missing, unparsable or malformed file.
template <typename Check>
bool projectJsonRead(const std::string& path, Check check, nlohmann::json& doc)
{
    DataBlob blob = jsonfile::readFile(path);
    if (!blob)
        return false;
    const std::string fullPath = dataPath(path);
    if (!jsonfile::parse(std::string_view(blob.text(), blob.size), fullPath, doc)) {
        jsonfile::markUnreadable(fullPath);
        return false;
    }
    const std::string error = check(doc);
    if (!error.empty()) {
        jsonfile::reportContentError(fullPath, error);
        jsonfile::markUnreadable(fullPath);
        return false;
    }
    jsonfile::clearUnreadable(fullPath);
    return true;
}
