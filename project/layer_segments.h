// The post-effect layer stacks of the 32 segments and their text file "layers.segments".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

constexpr int kFxSegmentCount = 32;
constexpr int kFxLayerSlots = 24;
constexpr int kFxLayerTypeCount = 24;

// The parameters of one layer.
class FxLayerParams {
public:
    virtual ~FxLayerParams() = default;
    virtual void DrawEditor() = 0;
    virtual void Parse(const std::string& text) = 0;
    // Empty when there is nothing to store.
    virtual std::string Serialize() = 0;
    virtual FxLayerParams* Clone() = 0;
};

// A "DOF" layer's settings; held, read and written with the layer.
class FxLayerDOFParams : public FxLayerParams {
public:
    float size = 0.0f;
    float farPlane = 0.0f;
    float steepness = 0.0f;
    float farDist = 0.0f;
    int32_t showCOC = 0;

    void DrawEditor() override;
    // "farPlane size, steepness farDist showCOC"; missing pieces keep the defaults 0.9, 3, 1, 1000, 0.
    void Parse(const std::string& text) override;
    std::string Serialize() override;
    FxLayerParams* Clone() override;
};

// Every other layer type: nothing to store.
class FxLayerDummyParams : public FxLayerParams {
public:
    void DrawEditor() override {}
    void Parse(const std::string&) override {}
    std::string Serialize() override { return {}; }
    FxLayerParams* Clone() override { return new FxLayerDummyParams(); }
};

struct FxLayerType {
    char name[64] = {};
    FxLayerParams* prototype = nullptr; // null: not registered
};

// Indexed by type index; 18 registered (0 "None" to 17 "DOF").
extern FxLayerType fxLayerTypes[kFxLayerTypeCount];
extern int fxLayerTypeMaxIndex;

struct FxSegment {
    std::string name;
    FxLayerType* type[kFxLayerSlots] = {}; // null: empty slot
    int enabled[kFxLayerSlots] = {};
    std::unique_ptr<FxLayerParams> params[kFxLayerSlots];
    int nextLegacyLayer = 0; // next slot the older file form fills
};

extern FxSegment fxSegments[kFxSegmentCount];

// One slot as the compositor and the editor see it.
struct FxLayerSlot {
    uint8_t typeIndex = 0;
    uint8_t enabled = 0;
    FxLayerParams* params = nullptr;
};

// The segments changed since the last save.
extern bool fxSegmentsDirty;
// The file the exit save writes (relative to the asset base path).
extern std::string fxSegmentsPath;

// Registers the layer types, gives every segment the default chain, reads the file and arranges its save at
// process exit.
void fx_segments_init(const std::string& path);
// The registration and default-chain steps of fx_segments_init.
void fx_segments_register_types();
void fx_segments_set_default_chain();
// Puts a type into a slot and enables it; out-of-range numbers are refused with a log line.
void fx_segments_set_layer(uint32_t segment, uint32_t slot, uint32_t typeIndex);
// The 24 slots of a segment in one shared array, overwritten by every call; null for a bad segment number.
FxLayerSlot* fx_segments_get_layers(uint32_t segment);
// Reads the file (relative to the asset base path), either form.
void fx_segments_load(const char* path);
void fx_segments_load_legacy(const char* path);
// Writes the file when the segments changed. False (after a log line) when it could not be written or must not be
// overwritten; the segments then stay marked as changed.
bool fx_segments_save(const char* name);
// The file's text for the segments as they are.
std::string fx_segments_text();
// The registered type of that name, or null.
FxLayerType* fx_layer_type_find(const char* name);
