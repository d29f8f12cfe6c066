#include "editor/ui_state.h"

#include "app/data_files.h"
#include "app/log.h"
#include "project/json_file.h"
#include "project/project.h"
#include "render/deferred_composite.h"
#include "render/selection_bounds.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <limits>

using nlohmann::json;

UiGroupStatus** uiGroupStatus = nullptr;
char uiVariableFilter[kUiVariableFilterSize] = {};
bool uiUseRocket = true;
bool uiGlDebug = false;

namespace {

// What the start-up read found, so the exit write keeps what the engine does not know and writes a shortened
// filter back whole while nobody changed it.
struct LoadedState {
    std::string path; // with the base path; empty when nothing was read
    json document;
    std::string variableFilter;
};
LoadedState loaded;

std::string statePath(const Project* project)
{
    return project->path + "/ui_state.json";
}

// "open" is an int in the file; booleans and numbers that fit are taken.
bool readOpen(const json& value, int& out)
{
    if (value.is_boolean()) {
        out = value.get<bool>() ? 1 : 0;
        return true;
    }
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (!std::isfinite(number) || number < std::numeric_limits<int>::min() ||
            number > std::numeric_limits<int>::max())
            return false;
        out = static_cast<int>(number);
        return true;
    }
    int32_t integer = 0;
    if (!value.is_number() || !jsonfile::readInt32(value, integer))
        return false;
    out = integer;
    return true;
}

// Empty when every known member has its type; else what is wrong. Checked before anything is taken, so a bad
// file changes no setting.
std::string checkDocument(const json& doc)
{
    if (!doc.is_object())
        return "the document is not an object";
    auto member = [](const json& object, const char* name) -> const json* {
        auto it = object.find(name);
        return it == object.end() ? nullptr : &*it;
    };
    if (const json* ui = member(doc, "ui")) {
        if (!ui->is_object())
            return "\"ui\" is not an object";
        if (const json* groups = member(*ui, "groups")) {
            if (!groups->is_array())
                return "\"ui\".\"groups\" is not an array";
            for (const json& group : *groups) {
                int open = 0;
                if (!group.is_object() || !group.contains("name") || !group["name"].is_string() ||
                    !group.contains("open") || !readOpen(group["open"], open))
                    return "a group of \"ui\".\"groups\" lacks a string \"name\" or a numeric \"open\"";
            }
        }
        if (const json* filter = member(*ui, "variable_filter"); filter && !filter->is_string())
            return "\"ui\".\"variable_filter\" is not a string";
        if (const json* rocket = member(*ui, "use_rocket"); rocket && !rocket->is_boolean())
            return "\"ui\".\"use_rocket\" is not a boolean";
    }
    if (const json* opengl = member(doc, "opengl")) {
        if (!opengl->is_object())
            return "\"opengl\" is not an object";
        if (const json* debug = member(*opengl, "debug"); debug && !debug->is_boolean())
            return "\"opengl\".\"debug\" is not a boolean";
    }
    if (const json* rendering = member(doc, "rendering")) {
        if (!rendering->is_object())
            return "\"rendering\" is not an object";
        int32_t unused = 0;
        for (const char* name : {"bbox", "main"})
            if (const json* value = member(*rendering, name); value && !jsonfile::readInt32(*value, unused))
                return std::string("\"rendering\".\"") + name + "\" is not an integer";
    }
    return {};
}

// The longest prefix that fits the 256-byte field, cut at a character boundary.
std::string fitFilter(const std::string& text)
{
    if (text.size() < kUiVariableFilterSize)
        return text;
    size_t length = kUiVariableFilterSize - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
        --length;
    return text.substr(0, length);
}

void takeDocument(const json& doc, const std::string& source)
{
    const json ui = doc.value("ui", json::object());
    for (const json& group : ui.value("groups", json::array())) {
        int open = 0;
        readOpen(group["open"], open);
        ui_group_status_set(group["name"].get<std::string>(), open);
    }
    if (ui.contains("variable_filter")) {
        const std::string filter = ui["variable_filter"].get<std::string>();
        const std::string fitted = fitFilter(filter);
        if (fitted.size() != filter.size())
            LOG_WARNING("%s: \"ui\".\"variable_filter\" is %zu bytes; the editor keeps the first %zu", source.c_str(),
                        filter.size(), fitted.size());
        std::memcpy(uiVariableFilter, fitted.c_str(), fitted.size() + 1);
        loaded.variableFilter = filter;
    }
    uiUseRocket = ui.value("use_rocket", true);
    uiGlDebug = doc.value("opengl", json::object()).value("debug", false);
    if (doc.contains("rendering")) {
        const json& rendering = doc["rendering"];
        if (rendering.contains("bbox"))
            jsonfile::readInt32(rendering["bbox"], renderingBBox);
        if (rendering.contains("main"))
            jsonfile::readInt32(rendering["main"], renderingMain);
    }
}

} // namespace

uint32_t ui_group_bucket(const std::string& name)
{
    uint32_t h = 5381;
    for (char c : name)
        h = (h * 33) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
    return h & (kUiGroupBuckets - 1);
}

UiGroupStatus* ui_group_status_find(const std::string& name)
{
    if (!uiGroupStatus)
        return nullptr;
    for (UiGroupStatus* record = uiGroupStatus[ui_group_bucket(name)]; record; record = record->next)
        if (record->name == name)
            return record;
    return nullptr;
}

void ui_group_status_set(const std::string& name, int open)
{
    if (!uiGroupStatus)
        uiGroupStatus = new UiGroupStatus*[kUiGroupBuckets]();
    if (UiGroupStatus* record = ui_group_status_find(name)) {
        record->open = open;
        return;
    }
    UiGroupStatus*& head = uiGroupStatus[ui_group_bucket(name)];
    head = new UiGroupStatus{name, open, head};
}

void ui_free_group_status(UiGroupStatus** table)
{
    if (!table)
        return;
    for (int bucket = 0; bucket < kUiGroupBuckets; ++bucket) {
        while (UiGroupStatus* record = table[bucket]) {
            table[bucket] = record->next;
            delete record;
        }
    }
    delete[] table;
}

void ui_reset_cvar_status()
{
    ui_free_group_status(uiGroupStatus);
    uiGroupStatus = nullptr;
    uiVariableFilter[0] = '\0';
    uiUseRocket = true;
    uiGlDebug = false;
    renderingBBox = RenderingBBox::Selected;
    renderingMain = 0;
    loaded = LoadedState();
}

void ui_load_cvar_status()
{
    ui_free_group_status(uiGroupStatus);
    uiGroupStatus = new UiGroupStatus*[kUiGroupBuckets]();
    loaded = LoadedState();
    if (!currentProject) {
        LOG_WARNING("No current project: the editor settings keep their defaults");
        return;
    }
    const std::string relative = statePath(currentProject);
    const std::string source = dataPath(relative);
    LOG_INFO("Loading ui_state.json file from %s", source.c_str());

    const DataBlob blob = jsonfile::readFile(relative);
    if (!blob)
        return;
    json doc;
    if (!jsonfile::parse(std::string_view(blob.text(), blob.size), source, doc)) {
        jsonfile::markUnreadable(source);
        return;
    }
    if (const std::string problem = checkDocument(doc); !problem.empty()) {
        jsonfile::reportContentError(source, problem + "; the editor settings keep their defaults");
        jsonfile::markUnreadable(source);
        return;
    }
    takeDocument(doc, source);
    loaded.path = source;
    loaded.document = std::move(doc);
}

void ui_save_cvar_status()
{
    if (!currentProject)
        return;
    const std::string path = dataPath(statePath(currentProject));
    if (jsonfile::isUnreadable(path)) {
        LOG_ERROR("Not saving <%s>: it failed to load and is kept as it is", path.c_str());
        return;
    }
    const bool sameFile = path == loaded.path;
    json doc = sameFile ? loaded.document : json::object();
    json& ui = doc["ui"];
    if (!ui.is_object())
        ui = json::object();

    json groups = json::array();
    if (uiGroupStatus)
        for (int bucket = 0; bucket < kUiGroupBuckets; ++bucket)
            for (const UiGroupStatus* record = uiGroupStatus[bucket]; record; record = record->next)
                groups.push_back({{"name", record->name}, {"open", record->open}});
    if (!groups.empty())
        ui["groups"] = std::move(groups);
    else if (!(ui.contains("groups") && ui["groups"].is_array() && ui["groups"].empty()))
        ui.erase("groups");

    // A filter shortened on load goes back whole while the kept part is unchanged.
    const bool filterKept = sameFile && fitFilter(loaded.variableFilter) == uiVariableFilter;
    ui["variable_filter"] = filterKept ? loaded.variableFilter : std::string(uiVariableFilter);
    ui["use_rocket"] = uiUseRocket;
    doc["rendering"]["bbox"] = renderingBBox;
    doc["rendering"]["main"] = renderingMain;
    doc["opengl"]["debug"] = uiGlDebug;
    jsonfile::save(path, doc, 4);
}
