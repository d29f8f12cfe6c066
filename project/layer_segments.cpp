#include "project/layer_segments.h"

#include "app/data_files.h"
#include "app/log.h"
#include "project/json_file.h"

#include <fmt/format.h>
#include <imgui.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

FxLayerType fxLayerTypes[kFxLayerTypeCount];
int fxLayerTypeMaxIndex = 0;
FxSegment fxSegments[kFxSegmentCount];
bool fxSegmentsDirty = false;
std::string fxSegmentsPath;

namespace {

constexpr int kMaxFields = 16;
constexpr int kDefaultChain[] = {2, 5, 7, 6, 11, 8, 10, 9, 3, 4, 12, 13, 15, 16, 17};

// atoi without its undefined behaviour on out-of-range text: the value saturates instead.
int textToInt(const char* text)
{
    const long v = std::strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

// A file line cut at its first line feed and first carriage return, split at colons into at most 16 fields (the
// last keeps any further colons).
struct Fields {
    std::vector<std::string> items;

    explicit Fields(const char* line)
    {
        std::string_view text(line);
        text = text.substr(0, text.find('\n'));
        text = text.substr(0, text.find('\r'));
        while (static_cast<int>(items.size()) < kMaxFields - 1) {
            const size_t colon = text.find(':');
            if (colon == std::string_view::npos)
                break;
            items.emplace_back(text.substr(0, colon));
            text.remove_prefix(colon + 1);
        }
        items.emplace_back(text);
    }
    size_t count() const { return items.size(); }
    const std::string& operator[](size_t i) const
    {
        static const std::string empty;
        return i < items.size() ? items[i] : empty;
    }
    bool is(const char* keyword) const { return items[0] == keyword; }
};

class LineReader {
public:
    explicit LineReader(DataFile* file) : file_(file) {}
    // False at the end of the file.
    bool next() { return file_ && dataFileReadLine(file_, buffer_) != nullptr; }
    const char* line() const { return buffer_; }

private:
    DataFile* file_;
    char buffer_[512] = {};
};

bool slotInRange(long long value) { return value >= 0 && value < kFxLayerSlots; }

void setSlotParams(FxSegment& segment, int slot, FxLayerType* type)
{
    segment.type[slot] = type;
    segment.params[slot].reset(type->prototype ? type->prototype->Clone() : nullptr);
}

// A layer block; target null reads past a block whose slot is out of range.
void load_layer(LineReader& reader, FxSegment* segment, int slot)
{
    while (reader.next()) {
        const Fields f(reader.line());
        if (f.is("LAYER_END"))
            return;
        if (!segment)
            continue;
        if (f.is("NAME")) {
            FxLayerType* type = fx_layer_type_find(f[1].c_str());
            if (!type) {
                LOG_ERROR("Failed to setup layer name. Ignoring:%s\\n", f[1].c_str());
                continue;
            }
            setSlotParams(*segment, slot, type);
        } else if (f.is("ENABLED")) {
            segment->enabled[slot] = textToInt(f[1].c_str());
        } else if (f.is("PARAMS")) {
            if (!f[1].empty() && segment->params[slot])
                segment->params[slot]->Parse(f[1]);
        }
    }
}

void fx_segments_load_segment(LineReader& reader, FxSegment* segment, const char* path)
{
    while (reader.next()) {
        const Fields f(reader.line());
        if (f.is("SEGMENT_END"))
            return;
        if (f.is("NAME")) {
            if (segment)
                segment->name = f[1];
        } else if (f.is("LAYER")) {
            const double number = std::strtod(f[1].c_str(), nullptr);
            const bool inRange = std::isfinite(number) && slotInRange(static_cast<long long>(std::trunc(number)));
            if (segment && !inRange)
                LOG_WARNING("<%s>: layer slot %s is out of range (0 to %d); the block is ignored", path, f[1].c_str(),
                            kFxLayerSlots - 1);
            load_layer(reader, inRange ? segment : nullptr, inRange ? static_cast<int>(number) : 0);
        }
    }
}

void saveAtExit()
{
    fx_segments_save(fxSegmentsPath.c_str());
}

} // namespace

// ---- Layer parameters ----

void FxLayerDOFParams::DrawEditor()
{
    ImGui::SliderFloat("Far dist", &farDist, 0.0f, 1000.0f, "%.3f");
    ImGui::SliderFloat("Far plane", &farPlane, 0.0f, 1.0f, "%.3f");
    ImGui::SliderFloat("Size", &size, 0.0f, 5.0f, "%.3f");
    ImGui::SliderFloat("Steepnes", &steepness, 0.0f, 4.0f, "%.3f");
    bool show = showCOC != 0;
    if (ImGui::Checkbox("ShowCOC", &show))
        showCOC = show ? 1 : 0;
}

void FxLayerDOFParams::Parse(const std::string& text)
{
    size = 3.0f;
    farPlane = 0.9f;
    steepness = 1.0f;
    farDist = 1000.0f;
    showCOC = 0;
    if (text.empty())
        return;
    // Empty pieces between neighbouring spaces are skipped; a piece after a trailing space still counts.
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        const size_t space = text.find(' ', start);
        const bool last = space == std::string::npos;
        std::string piece = text.substr(start, last ? std::string::npos : space - start);
        if (!piece.empty() || last)
            pieces.push_back(std::move(piece));
        if (last)
            break;
        start = space + 1;
    }
    auto value = [&](size_t i, float& out) {
        if (i < pieces.size())
            out = static_cast<float>(std::strtod(pieces[i].c_str(), nullptr));
    };
    value(0, farPlane);
    value(1, size);
    value(2, steepness);
    value(3, farDist);
    if (pieces.size() > 4)
        showCOC = textToInt(pieces[4].c_str()) != 0 ? 1 : 0;
}

std::string FxLayerDOFParams::Serialize()
{
    char buffer[256];
    std::snprintf(buffer, sizeof(buffer), "%f %f, %f %f %d", farPlane, size, steepness, farDist, showCOC != 0 ? 1 : 0);
    return buffer;
}

FxLayerParams* FxLayerDOFParams::Clone()
{
    return new FxLayerDOFParams(*this);
}

// ---- Types and slots ----

void fx_segments_register_types()
{
    // Never destroyed: the exit save may still clone from them.
    static FxLayerParams* const dummy = new FxLayerDummyParams();
    static FxLayerParams* const dof = new FxLayerDOFParams();
    static const char* const names[kFxLayerTypeCount] = {
        "None",   "Clear",      "Background", "Front image1", "Front image2", "Effect",       "EdgeDetect", "Blur",
        "Glow",   "Glitch",     "Pixelize",   "Aberration",   "Front image3", "Front image4", "FXAA",       "Tonemap",
        "RenderSetup", "DOF"};
    for (int index : {0, 1, 2, 3, 4, 12, 13, 5, 6, 7, 8, 9, 10, 11, 14, 15, 16, 17}) {
        FxLayerType& type = fxLayerTypes[index];
        std::snprintf(type.name, sizeof(type.name), "%s", names[index]);
        type.prototype = index == 17 ? dof : dummy;
        if (index >= 1 && index > fxLayerTypeMaxIndex)
            fxLayerTypeMaxIndex = index;
    }
}

FxLayerType* fx_layer_type_find(const char* name)
{
    for (FxLayerType& type : fxLayerTypes)
        if (type.prototype && std::strcmp(type.name, name) == 0)
            return &type;
    return nullptr;
}

void fx_segments_set_default_chain()
{
    for (uint32_t segment = 0; segment < kFxSegmentCount; ++segment)
        for (uint32_t slot = 0; slot < std::size(kDefaultChain); ++slot)
            fx_segments_set_layer(segment, slot, static_cast<uint32_t>(kDefaultChain[slot]));
}

void fx_segments_set_layer(uint32_t segment, uint32_t slot, uint32_t typeIndex)
{
    if (segment >= kFxSegmentCount || slot >= kFxLayerSlots || typeIndex >= kFxLayerTypeCount ||
        !fxLayerTypes[typeIndex].prototype) {
        LOG_ERROR("No layer slot %u:%u for type %u", segment, slot, typeIndex);
        return;
    }
    FxSegment& s = fxSegments[segment];
    FxLayerType* type = &fxLayerTypes[typeIndex];
    if (s.type[slot] != type)
        s.params[slot].reset(type->prototype->Clone());
    else if (s.enabled[slot] == 1)
        return;
    s.type[slot] = type;
    s.enabled[slot] = 1;
    fxSegmentsDirty = true;
}

FxLayerSlot* fx_segments_get_layers(uint32_t segment)
{
    static FxLayerSlot* const slots = new FxLayerSlot[kFxLayerSlots];
    if (segment >= kFxSegmentCount) {
        LOG_ERROR("No segment %u (there are %d)", segment, kFxSegmentCount);
        return nullptr;
    }
    const FxSegment& s = fxSegments[segment];
    for (int i = 0; i < kFxLayerSlots; ++i) {
        if (s.type[i]) {
            slots[i].typeIndex = static_cast<uint8_t>(s.type[i] - fxLayerTypes);
            slots[i].enabled = static_cast<uint8_t>(s.enabled[i] & 0xFF);
            slots[i].params = s.params[i].get();
        } else {
            slots[i] = FxLayerSlot();
        }
    }
    return slots;
}

// ---- The file ----

void fx_segments_init(const std::string& path)
{
    fx_segments_register_types();
    fx_segments_set_default_chain();
    fx_segments_load(path.c_str());
    fxSegmentsPath = path;
    static bool saveRegistered = false;
    if (!saveRegistered) {
        std::atexit(&saveAtExit);
        saveRegistered = true;
    }
}

void fx_segments_load(const char* path)
{
    for (int i = 0; i < kFxSegmentCount; ++i) {
        fxSegments[i].name = fmt::format("Segment {}", i);
        fxSegments[i].nextLegacyLayer = 0;
    }
    bool missing = false;
    DataFile* file = dataFileOpen(path, &missing);
    if (!file) {
        jsonfile::markFailedRead(dataPath(path), missing);
        return;
    }
    jsonfile::clearUnreadable(dataPath(path));
    LineReader reader(file);
    bool first = true;
    while (reader.next()) {
        const Fields f(reader.line());
        if (first && f[0].find("VERSION") == std::string::npos) {
            dataFileClose(file);
            fx_segments_load_legacy(path);
            return;
        }
        first = false;
        if (f.count() == 2 && f.is("SEGMENT")) {
            const int number = textToInt(f[1].c_str());
            const bool inRange = number >= 0 && number < kFxSegmentCount;
            if (!inRange)
                LOG_WARNING("<%s>: segment %s is out of range (0 to %d); the block is ignored", path, f[1].c_str(),
                            kFxSegmentCount - 1);
            fx_segments_load_segment(reader, inRange ? &fxSegments[number] : nullptr, path);
        }
    }
    dataFileClose(file);
}

void fx_segments_load_legacy(const char* path)
{
    for (FxSegment& segment : fxSegments)
        segment.nextLegacyLayer = 0;
    DataFile* file = dataFileOpen(path);
    if (!file)
        return;
    LineReader reader(file);
    int contentLines = 0;
    int layers = 0;
    while (reader.next()) {
        const Fields f(reader.line());
        if (f.count() > 1 || !f[0].empty())
            ++contentLines;
        if (f.count() < 3)
            continue;
        const int number = textToInt(f[0].c_str());
        if (number < 0 || number >= kFxSegmentCount) {
            LOG_WARNING("<%s>: segment %d is out of range (0 to %d); the line is ignored", path, number,
                        kFxSegmentCount - 1);
            continue;
        }
        FxLayerType* type = fx_layer_type_find(f[2].c_str());
        if (!type) {
            LOG_ERROR("Failed to setup layer name. Ignoring:%s\\n", f[2].c_str());
            continue;
        }
        FxSegment& segment = fxSegments[number];
        const int slot = segment.nextLegacyLayer;
        if (!slotInRange(slot)) {
            LOG_WARNING("<%s>: segment %d has more than %d layers; the line is ignored", path, number,
                        kFxLayerSlots);
            continue;
        }
        setSlotParams(segment, slot, type);
        segment.enabled[slot] = textToInt(f[1].c_str());
        if (f.count() > 3 && !f[3].empty() && segment.params[slot])
            segment.params[slot]->Parse(f[3]);
        ++segment.nextLegacyLayer;
        ++layers;
    }
    dataFileClose(file);
    if (contentLines > 0 && layers == 0) {
        // Nothing in it could be read: it is not ours to replace with the defaults.
        LOG_ERROR("<%s> holds no layer this engine can read; it will not be overwritten", path);
        jsonfile::markUnreadable(dataPath(path));
    }
}

std::string fx_segments_text()
{
    std::string text = "VERSION:2\n";
    for (int i = 0; i < kFxSegmentCount; ++i) {
        FxSegment& segment = fxSegments[i];
        text += fmt::format("SEGMENT:{}\nNAME:{}\n", i, segment.name);
        for (int slot = 0; slot < kFxLayerSlots; ++slot) {
            if (!segment.type[slot])
                continue;
            text += fmt::format("LAYER:{}\nENABLED:{}\nNAME:{}\n", slot, segment.enabled[slot],
                                segment.type[slot]->name);
            const std::string params = segment.params[slot] ? segment.params[slot]->Serialize() : std::string();
            if (!params.empty())
                text += fmt::format("PARAMS:{}\n", params);
            text += "LAYER_END\n";
        }
        text += "SEGMENT_END\n";
    }
    return text;
}

bool fx_segments_save(const char* name)
{
    if (!fxSegmentsDirty)
        return true;
    const std::string path = dataPath(name ? name : "");
    if (jsonfile::isUnreadable(path)) {
        LOG_ERROR("<%s> could not be read at start-up; not overwriting it", path.c_str());
        return false;
    }
    if (!jsonfile::writeAtomic(path, fx_segments_text()))
        return false;
    LOG_INFO("Saved segments definition to %s", name);
    fxSegmentsDirty = false;
    return true;
}
