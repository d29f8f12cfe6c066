#include "project/sequencer.h"

#include "app/data_files.h"
#include "app/log.h"
#include "project/component_table.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/json_file.h"
#include "project/music_device.h"
#include "project/project.h"
#include "project/project_json.h"

#include <imgui.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

using nlohmann::json;

Sequence* sequencer = nullptr;
std::string& audioTrackName = *new std::string();
uint32_t musicChannel = 0;
bool audioAvailable = false;
bool audioPaused = false;
bool syncToAudio = false;

namespace {

constexpr int kDefaultRowEnd = 300;

// ---- Timeline rows ----

int categoryOf(const EngineComponent* component)
{
    const int type = component ? component->typeIndex : -1;
    return type >= 0 && type < kComponentTypeCount ? componentTypeTable[type].category : 0;
}

uint32_t hsvColor(float h, float s, float v)
{
    float r = 0.0f, g = 0.0f, b = 0.0f;
    ImGui::ColorConvertHSVtoRGB(h, s, v, r, g, b);
    return ImGui::ColorConvertFloat4ToU32(ImVec4(r, g, b, 1.0f));
}

uint32_t projectRowColor()
{
    return ImGui::ColorConvertFloat4ToU32(ImVec4(0.8f, 0.6f, 0.45f, 1.0f));
}

int animatedParameterCount(EngineComponent* component)
{
    if (!component)
        return 0;
    int n = 0;
    for (Cvar* cvar : CvarTreeCollect(component->GetCvarTree(), -1))
        n += SequencerManager::HasTrack(cvar) ? 1 : 0;
    return n;
}

void forgetSelectedKeys(Cvar* cvar)
{
    if (!sequencer)
        return;
    auto& keys = sequencer->selectedKeys;
    keys.erase(std::remove_if(keys.begin(), keys.end(), [cvar](const SelectedKey& k) { return k.cvar == cvar; }),
               keys.end());
}

// ---- "sequencer.json" ----

// What a project's file held that this run cannot place: root keys other than ours, component entries whose
// uuid matches no component (their classes may not exist yet) and parameter entries whose uuid matches no
// parameter. Written back by the next save of that project, so nothing is lost.
struct KeptEntries {
    json rootKeys = json::object();
    std::vector<json> components;
    std::unordered_map<uint64_t, std::vector<json>> cvars; // by component uuid
};

std::unordered_map<Project*, KeptEntries>& keptEntries()
{
    static auto* kept = new std::unordered_map<Project*, KeptEntries>();
    return *kept;
}

bool isOneOf(const std::string& key, std::initializer_list<const char*> keys)
{
    return std::any_of(keys.begin(), keys.end(), [&](const char* k) { return key == k; });
}

// Checks the whole document before anything is taken from it, so a malformed file changes nothing.
class FileChecker {
public:
    std::string error;

    bool object(const json& value, const std::string& where)
    {
        return value.is_object() || fail(where, "must be an object");
    }
    bool array(const json& value, const std::string& where)
    {
        return value.is_array() || fail(where, "must be an array");
    }
    bool integer(const json& object, const char* key, const std::string& where, bool required)
    {
        if (!object.contains(key))
            return !required || fail(where + "." + key, "is missing");
        int32_t v = 0;
        return jsonfile::readInt32(object[key], v) || fail(where + "." + key, "must be a 32-bit integer");
    }
    bool uuid(const json& object, const std::string& where)
    {
        uint64_t v = 0;
        if (!object.contains("uuid"))
            return fail(where + ".uuid", "is missing");
        return jsonfile::readUint64(object["uuid"], v) || fail(where + ".uuid", "must be an unsigned integer");
    }
    bool boolean(const json& object, const char* key, const std::string& where)
    {
        return !object.contains(key) || object[key].is_boolean() || fail(where + "." + key, "must be a boolean");
    }
    bool string(const json& object, const char* key, const std::string& where, bool required)
    {
        if (!object.contains(key))
            return !required || fail(where + "." + key, "is missing");
        return object[key].is_string() || fail(where + "." + key, "must be a string");
    }
    bool number(const json& object, const char* key, const std::string& where)
    {
        if (!object.contains(key))
            return fail(where + "." + key, "is missing");
        return object[key].is_number() || fail(where + "." + key, "must be a number");
    }

    bool document(const json& doc)
    {
        if (!object(doc, "root"))
            return false;
        if (doc.contains("global")) {
            const json& g = doc["global"];
            if (!object(g, "global"))
                return false;
            for (const char* key : {"frame_start", "frame_end", "frame_current", "loop_start", "loop_end"})
                if (!integer(g, key, "global", false))
                    return false;
            if (!string(g, "audio_track_name", "global", false))
                return false;
        }
        if (doc.contains("projects")) {
            if (!array(doc["projects"], "projects"))
                return false;
            for (size_t i = 0; i < doc["projects"].size(); ++i) {
                const json& p = doc["projects"][i];
                const std::string at = "projects[" + std::to_string(i) + "]";
                if (!object(p, at) || !string(p, "name", at, true) || !integer(p, "frame_start", at, true) ||
                    !integer(p, "frame_end", at, true))
                    return false;
            }
        }
        if (doc.contains("components")) {
            if (!array(doc["components"], "components"))
                return false;
            for (size_t i = 0; i < doc["components"].size(); ++i)
                if (!component(doc["components"][i], "components[" + std::to_string(i) + "]"))
                    return false;
        }
        return true;
    }

private:
    bool fail(const std::string& where, const char* what)
    {
        if (error.empty())
            error = where + " " + what;
        return false;
    }

    bool component(const json& c, const std::string& at)
    {
        if (!object(c, at) || !uuid(c, at) || !integer(c, "frame_start", at, true) ||
            !integer(c, "frame_end", at, true))
            return false;
        if (!c.contains("cvars"))
            return true;
        if (!array(c["cvars"], at + ".cvars"))
            return false;
        for (size_t j = 0; j < c["cvars"].size(); ++j) {
            const json& v = c["cvars"][j];
            const std::string vat = at + ".cvars[" + std::to_string(j) + "]";
            if (!object(v, vat) || !uuid(v, vat) || !boolean(v, "active", vat) || !boolean(v, "interpolated", vat) ||
                !boolean(v, "linear", vat))
                return false;
            if (!v.contains("keyframes"))
                continue;
            if (!array(v["keyframes"], vat + ".keyframes"))
                return false;
            for (size_t k = 0; k < v["keyframes"].size(); ++k) {
                const json& key = v["keyframes"][k];
                const std::string kat = vat + ".keyframes[" + std::to_string(k) + "]";
                if (!object(key, kat) || !integer(key, "frame", kat, true))
                    return false;
                for (const char* channel : {"v0", "v1", "v2", "v3"})
                    if (!number(key, channel, kat))
                        return false;
            }
        }
        return true;
    }
};

int32_t int32Of(const json& value)
{
    int32_t v = 0;
    jsonfile::readInt32(value, v);
    return v;
}

uint64_t uint64Of(const json& value)
{
    uint64_t v = 0;
    jsonfile::readUint64(value, v);
    return v;
}

bool boolOr(const json& object, const char* key, bool fallback)
{
    return object.contains(key) ? object[key].get<bool>() : fallback;
}

EngineComponent* findComponent(uint64_t uuid)
{
    if (!currentComponents)
        return nullptr;
    for (EngineComponent* component : *currentComponents)
        if (component && component->uuid == uuid)
            return component;
    return nullptr;
}

// Keys and switches of one parameter entry of a matched component; source names the file in messages.
void loadParameter(EngineComponent* component, const json& entry, KeptEntries& kept, const std::string& source)
{
    CvarTreeNode* branch = component->GetCvarTree();
    const uint64_t uuid = uint64Of(entry["uuid"]);
    Cvar* cvar = CvarTreeFindByUuid(uuid, branch);
    if (!cvar) {
        LOG_WARNING("Variable with UUID <%llx> not found, in <%s>", static_cast<unsigned long long>(uuid),
                    source.c_str());
        for (Cvar* c : CvarTreeCollect(branch, -1))
            std::printf("<%s> : %lld\n", c->name.c_str(), static_cast<long long>(c->uuid));
        kept.cvars[component->uuid].push_back(entry);
        return;
    }
    if (entry.contains("keyframes")) {
        for (const json& key : entry["keyframes"]) {
            const float value[4] = {key["v0"].get<float>(), key["v1"].get<float>(), key["v2"].get<float>(),
                                    key["v3"].get<float>()};
            SequencerManager::SetKeyValue(cvar, int32Of(key["frame"]), value);
        }
    }
    if (!SequencerManager::HasTrack(cvar))
        return;
    SequencerManager::SetTrackActive(cvar, boolOr(entry, "active", true));
    SequencerManager::SetTrackInterpolated(cvar, boolOr(entry, "interpolated", true));
    SequencerManager::SetTrackLinear(cvar, boolOr(entry, "linear", false));
}

void loadDocument(const json& doc, KeptEntries& kept, const std::string& source)
{
    for (auto it = doc.begin(); it != doc.end(); ++it)
        if (!isOneOf(it.key(), {"global", "projects", "components"}))
            kept.rootKeys[it.key()] = it.value();

    if (doc.contains("global")) {
        const json& g = doc["global"];
        if (g.contains("frame_current"))
            sequencer->currentFrame = int32Of(g["frame_current"]);
        if (g.contains("frame_end"))
            sequencer->frameCount = int32Of(g["frame_end"]);
        if (g.contains("loop_start"))
            sequencer->loopStart = int32Of(g["loop_start"]);
        if (g.contains("loop_end"))
            sequencer->loopEnd = int32Of(g["loop_end"]);
        audioTrackName = g.contains("audio_track_name") ? g["audio_track_name"].get<std::string>() : std::string();
    }

    if (doc.contains("projects")) {
        for (const json& entry : doc["projects"]) {
            const std::string name = entry["name"].get<std::string>();
            for (Project* project : projectList) {
                if (project && project->name == name) {
                    SequenceItem& row = sequencer->GetOrAddProjectItem(project);
                    row.start = int32Of(entry["frame_start"]);
                    row.end = int32Of(entry["frame_end"]);
                    break;
                }
            }
        }
    }

    if (doc.contains("components")) {
        for (const json& entry : doc["components"]) {
            const uint64_t uuid = uint64Of(entry["uuid"]);
            EngineComponent* component = findComponent(uuid);
            if (!component) {
                LOG_WARNING("No component with UUID %lld found, in <%s>", static_cast<long long>(uuid),
                            source.c_str());
                kept.components.push_back(entry);
                continue;
            }
            SequenceItem& row = sequencer->GetOrAddComponentItem(component);
            row.start = int32Of(entry["frame_start"]);
            row.end = int32Of(entry["frame_end"]);
            if (entry.contains("cvars"))
                for (const json& cvarEntry : entry["cvars"])
                    loadParameter(component, cvarEntry, kept, source);
        }
    }
}

json globalSection()
{
    json g = json::object();
    g["frame_start"] = 0;
    g["frame_end"] = static_cast<uint32_t>(sequencer->frameCount);
    g["frame_current"] = sequencer->currentFrame;
    g["loop_start"] = static_cast<uint32_t>(sequencer->loopStart);
    g["loop_end"] = static_cast<uint32_t>(sequencer->loopEnd);
    g["audio_track_name"] = audioTrackName;
    return g;
}

json projectsSection()
{
    json projects = json::array();
    for (Project* project : projectList) {
        if (!project)
            continue;
        const SequenceItem& row = sequencer->GetProjectItem(project);
        projects.push_back({{"name", project->name}, {"frame_start", row.start}, {"frame_end", row.end}});
    }
    return projects;
}

json trackEntry(Cvar* cvar, const KeyframeTrack& track)
{
    json keys = json::array();
    for (const Keyframe& key : track.keys)
        keys.push_back({{"frame", key.frame},
                        {"v0", static_cast<double>(key.v0)},
                        {"v1", static_cast<double>(key.v1)},
                        {"v2", static_cast<double>(key.v2)},
                        {"v3", static_cast<double>(key.v3)}});
    return {{"uuid", cvar->uuid},
            {"active", track.active},
            {"interpolated", track.interpolated},
            {"linear", track.linear},
            {"keyframes", std::move(keys)}};
}

json componentsSection(const KeptEntries* kept)
{
    json components = json::array();
    if (currentComponents) {
        for (EngineComponent* component : *currentComponents) {
            if (!component)
                continue;
            // A component added after loading gets the default row.
            const SequenceItem& row = sequencer->GetOrAddComponentItem(component);
            json entry = {{"uuid", component->uuid}, {"frame_start", row.start}, {"frame_end", row.end}};
            json cvars = json::array();
            std::vector<uint64_t> written;
            for (Cvar* cvar : CvarTreeCollect(component->GetCvarTree(), -1)) {
                const KeyframeTrack* track = SequencerManager::FindTrack(cvar);
                if (!track || track->keys.empty())
                    continue;
                cvars.push_back(trackEntry(cvar, *track));
                written.push_back(cvar->uuid);
            }
            if (kept) {
                auto it = kept->cvars.find(component->uuid);
                if (it != kept->cvars.end())
                    for (const json& old : it->second)
                        if (std::find(written.begin(), written.end(), uint64Of(old["uuid"])) == written.end())
                            cvars.push_back(old);
            }
            if (!cvars.empty())
                entry["cvars"] = std::move(cvars);
            components.push_back(std::move(entry));
        }
    }
    if (kept) {
        for (const json& old : kept->components)
            if (!findComponent(uint64Of(old["uuid"])))
                components.push_back(old);
    }
    return components;
}

std::string samePathKey(const std::string& path)
{
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

// Gives another project's file the shared sections; its own sections stay as they are.
bool shareSections(const std::string& path, const json& global, const json& projects)
{
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return true; // that project has no timeline file; loading it changes nothing either
    if (jsonfile::isUnreadable(path)) {
        LOG_ERROR("<%s> could not be read at load; its timeline sections are not updated", path.c_str());
        return false;
    }
    DataBlob blob = dataLoadFileAbsolute(path);
    json doc;
    if (!blob || !jsonfile::parse(std::string_view(blob.text(), blob.size), path, doc) || !doc.is_object()) {
        LOG_ERROR("<%s> is not a timeline file; its timeline sections are not updated", path.c_str());
        return false;
    }
    const json* oldProjects = doc.contains("projects") ? &doc["projects"] : nullptr;
    const bool sameProjects = oldProjects ? *oldProjects == projects : projects.empty();
    if (doc.contains("global") && doc["global"] == global && sameProjects)
        return true;
    doc["global"] = global;
    if (projects.empty())
        doc.erase("projects");
    else
        doc["projects"] = projects;
    return jsonfile::save(path, doc, 2);
}

} // namespace

// ---- Sequence ----

Sequence::Sequence()
{
    static bool listening = false;
    if (!listening) {
        CvarAddDestroyedListener(&forgetSelectedKeys);
        listening = true;
    }
}

SequenceItem* Sequence::row(int index) const
{
    return index >= 0 && static_cast<size_t>(index) < items.size() ? items[static_cast<size_t>(index)] : nullptr;
}

int Sequence::GetFrameMin() const { return 0; }
int Sequence::GetFrameMax() const { return frameCount; }
int Sequence::GetItemCount() const { return static_cast<int>(items.size()); }
void Sequence::BeginEdit(int) {}
void Sequence::EndEdit() {}
int Sequence::GetItemTypeCount() const { return 9; }

const char* Sequence::GetItemTypeName(int type) const
{
    return type >= 0 && type < kComponentTypeCount ? componentTypeTable[type].typeName : "";
}

const char* Sequence::GetItemLabel(int index) const
{
    static char buffer[512];
    const SequenceItem* item = row(index);
    const char* name = "";
    if (item && item->component)
        name = item->component->name.c_str();
    else if (item && item->project)
        name = item->project->name.c_str();
    std::snprintf(buffer, sizeof(buffer), "[%02d] %s", index, name);
    return buffer;
}

int Sequence::GetItemIndent(int index) const
{
    const SequenceItem* item = row(index);
    return item ? item->indent : 0;
}

uint32_t Sequence::GetItemLabelColor(int index) const
{
    const SequenceItem* item = row(index);
    if (item && item->component)
        return hsvColor(static_cast<float>(categoryOf(item->component)) / 6.0f, 0.3f, 1.0f);
    return projectRowColor();
}

void Sequence::Get(int index, int** start, int** end, int* type, uint32_t* color)
{
    SequenceItem* item = row(index);
    if (!item)
        return;
    if (item->component && item->project) {
        const SequenceItem& projectRow = GetProjectItem(item->project);
        item->start = projectRow.start;
        item->end = projectRow.end;
    }
    if (start)
        *start = &item->start;
    if (end)
        *end = &item->end;
    if (type)
        *type = item->type;
    if (color)
        *color = item->component ? hsvColor(static_cast<float>(categoryOf(item->component)) / 6.0f, 0.3f, 0.5f)
                                 : projectRowColor();
}

void Sequence::Add(int) {}
void Sequence::Del(int) {}
void Sequence::Duplicate(int) {}
void Sequence::Copy() {}
void Sequence::Paste() {}

size_t Sequence::GetCustomHeight(int index)
{
    const SequenceItem* item = row(index);
    if (!item)
        return 0;
    if (!item->component)
        return 15;
    return item->expanded ? 15 * static_cast<size_t>(animatedParameterCount(item->component)) : 0;
}

void Sequence::DoubleClick(int index)
{
    if (SequenceItem* item = row(index))
        item->expanded = !item->expanded;
}

void SequencerManager::ForgetProject(Project* project)
{
    keptEntries().erase(project);
    if (!sequencer || !project)
        return;
    const auto owned = [&](const EngineComponent* component) {
        return project->components &&
               std::find(project->components->begin(), project->components->end(), component) !=
                   project->components->end();
    };
    std::vector<SequenceItem*>& items = sequencer->items;
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const SequenceItem* item) {
                                   return item->project == project || (item->component && owned(item->component));
                               }),
                items.end());
    if (project->components)
        for (EngineComponent* component : *project->components)
            sequencer->componentItems.erase(component);
    sequencer->projectItems.erase(project);
}

SequenceItem& Sequence::GetOrAddComponentItem(EngineComponent* component)
{
    auto [it, created] = componentItems.try_emplace(component);
    if (created) {
        it->second.type = component ? component->typeIndex : 0;
        it->second.component = component;
    }
    return it->second;
}

SequenceItem& Sequence::GetOrAddProjectItem(Project* project)
{
    auto [it, created] = projectItems.try_emplace(project);
    if (created)
        it->second.project = project;
    return it->second;
}

SequenceItem& Sequence::GetProjectItem(Project* project)
{
    return GetOrAddProjectItem(project);
}

void Sequence::RebuildItems()
{
    items.clear();
    for (Project* project : projectList) {
        SequenceItem& projectRow = GetOrAddProjectItem(project);
        projectRow.indent = 0;
        items.push_back(&projectRow);
        if (project != currentProject || !currentComponents)
            continue;
        for (EngineComponent* component : *currentComponents) {
            if (animatedParameterCount(component) == 0)
                continue;
            SequenceItem& componentRow = GetOrAddComponentItem(component);
            componentRow.indent = 0;
            componentRow.project = project;
            componentRow.component = component;
            items.push_back(&componentRow);
        }
    }
}

// ---- Music ----

void die()
{
    LOG_ERROR("Failed to init bass!");
    std::exit(10);
}

namespace SequencerManager {

bool Load(const std::string& path)
{
    if (!sequencer)
        sequencer = new Sequence();
    json doc;
    auto check = [](const json& value) {
        FileChecker checker;
        checker.document(value);
        return checker.error;
    };
    if (!projectJsonRead(path, check, doc))
        return false;
    // Key values are floats; the other numbers of a component entry are integers.
    if (doc.contains("components"))
        jsonfile::clampToFloat(doc["components"], dataPath(path));
    KeptEntries& kept = keptEntries()[currentProject];
    kept = KeptEntries();
    loadDocument(doc, kept, dataPath(path));
    return true;
}

bool Save(const std::string& path)
{
    if (!sequencer)
        sequencer = new Sequence();
    if (jsonfile::isUnreadable(path)) {
        LOG_ERROR("<%s> could not be read at load; not overwriting it", path.c_str());
        return false;
    }
    auto keptIt = keptEntries().find(currentProject);
    const KeptEntries* kept = keptIt == keptEntries().end() ? nullptr : &keptIt->second;

    json doc = kept ? kept->rootKeys : json::object();
    const json global = globalSection();
    const json projects = projectsSection();
    const json components = componentsSection(kept);
    doc["global"] = global;
    if (!projects.empty())
        doc["projects"] = projects;
    if (!components.empty())
        doc["components"] = components;
    bool ok = jsonfile::save(path, doc, 2);
    if (!ok)
        return false;

    // Every project's file carries the shared sections and the last one loaded wins at start-up, so they must
    // agree, or this edit would be undone by another project's older copy.
    const std::string saved = samePathKey(path);
    for (Project* project : projectList) {
        if (!project)
            continue;
        const std::string other = dataPath(project->path + "/sequencer.json");
        if (samePathKey(other) != saved)
            ok = shareSections(other, global, projects) && ok;
    }
    return ok;
}

void StartAudio()
{
    if (!BASS_Init(-1, 44100, 0, nullptr, nullptr))
        die();
    if (musicChannel == 0) {
        if (audioTrackName.empty()) {
            LOG_WARNING("No music track is named; the timeline runs without music");
        } else {
            const std::string path = dataPath(audioTrackName);
            musicChannel = BASS_StreamCreateFile(false, path.c_str(), 0, 0, BASS_STREAM_PRESCAN);
            if (musicChannel != 0)
                LOG_INFO("Music <%s> opened", path.c_str());
        }
    }
    audioAvailable = musicChannel != 0;
    if (musicChannel != 0) {
        BASS_Start();
        BASS_ChannelPlay(musicChannel, false);
        audioPaused = false;
    }
}

double GetMusicPosition()
{
    return BASS_ChannelBytes2Seconds(musicChannel, BASS_ChannelGetPosition(musicChannel, BASS_POS_BYTE));
}

bool SeekToFrame(int frame)
{
    if (musicChannel == 0)
        return false;
    const int fps = sequencer && sequencer->framesPerSecond > 0 ? sequencer->framesPerSecond : 100;
    const double seconds = static_cast<double>(frame) / fps;
    return BASS_ChannelSetPosition(musicChannel, BASS_ChannelSeconds2Bytes(musicChannel, seconds), BASS_POS_BYTE);
}

void SetAudioPaused(bool paused)
{
    if (musicChannel == 0)
        return;
    if (paused)
        BASS_ChannelPause(musicChannel);
    else
        BASS_ChannelPlay(musicChannel, false);
    audioPaused = paused;
}

} // namespace SequencerManager
