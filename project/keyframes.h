// Keyframe tracks: the animation of one parameter along the timeline, and the per-frame application of all tracks.
// Frames are hundredths of a second.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

struct Cvar;

// A whole parameter value (the layout of Cvar::value) at one frame.
struct Keyframe {
    float v0 = 0.0f;
    float v1 = 0.0f;
    float v2 = 0.0f;
    float v3 = 0.0f;
    uint32_t frame = 0;
};

struct KeyframeTrack {
    std::vector<Keyframe> keys; // ascending frames, no two equal
    bool highlighted = true;    // timeline label colour only; not stored
    bool active = true;         // only active tracks are applied
    // interpolated && !linear: cubic through four keys; linear: linear; neither: step.
    bool interpolated = true;
    bool linear = false;
};

// Every track of the process, by parameter object. A track goes when its parameter is destroyed, so a new
// parameter that happens to reuse the address never inherits it.
extern std::unordered_map<Cvar*, KeyframeTrack>& keyframeTracks;

// While false, SequencerManager::Apply changes no parameter.
extern bool exportVariables;

namespace SequencerManager {

// Sets (or replaces) the key at frame to the parameter's current value; creates the track when missing.
void SetKey(Cvar* cvar, int frame);
void SetKeyValue(Cvar* cvar, int frame, const float value[4]);
// Removes the key at frame; false when there is none.
bool DeleteKey(Cvar* cvar, int frame);
// A track exists and holds at least one key.
bool HasTrack(Cvar* cvar);
// The track of the parameter, or null.
KeyframeTrack* FindTrack(Cvar* cvar);

// Switches of a track with keys; a parameter without keys is left alone with a warning.
void SetTrackActive(Cvar* cvar, bool active);
void SetTrackInterpolated(Cvar* cvar, bool interpolated);
void SetTrackLinear(Cvar* cvar, bool linear);

// The track's value at frame; the parameter's own value when it has no keys.
std::array<float, 4> EvaluateTrack(Cvar* cvar, uint32_t frame);

// Writes every active track's value at frame into its parameter, for every project; only the components of the
// project that was current are told through OnCvarChanged. The current project is the same afterwards.
void Apply(int frame);

} // namespace SequencerManager
