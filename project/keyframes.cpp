#include "project/keyframes.h"

#include "app/log.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/project.h"

#include <algorithm>

// Never destroyed: parameters of process-wide objects are destroyed during static destruction and tell us.
std::unordered_map<Cvar*, KeyframeTrack>& keyframeTracks = *new std::unordered_map<Cvar*, KeyframeTrack>();
bool exportVariables = false;

namespace {

void forgetDestroyedCvar(Cvar* cvar)
{
    keyframeTracks.erase(cvar);
}

KeyframeTrack& trackOf(Cvar* cvar)
{
    static bool listening = false;
    if (!listening) {
        CvarAddDestroyedListener(&forgetDestroyedCvar);
        listening = true;
    }
    return keyframeTracks[cvar];
}

std::array<float, 4> keyValue(const Keyframe& key)
{
    return {key.v0, key.v1, key.v2, key.v3};
}

std::array<float, 4> cvarValue(const Cvar* cvar)
{
    return {cvar->value[0], cvar->value[1], cvar->value[2], cvar->value[3]};
}

// The key at frame, or where a key at frame would go.
std::vector<Keyframe>::iterator keyAtOrAfter(std::vector<Keyframe>& keys, uint32_t frame)
{
    return std::lower_bound(keys.begin(), keys.end(), frame, [](const Keyframe& k, uint32_t f) { return k.frame < f; });
}

KeyframeTrack* keyedTrack(Cvar* cvar, const char* what)
{
    KeyframeTrack* track = SequencerManager::FindTrack(cvar);
    if (!track || track->keys.empty()) {
        LOG_WARNING("Cannot set %s of <%s>: it has no keys", what, cvar ? cvar->name.c_str() : "null");
        return nullptr;
    }
    return track;
}

// The parameters of a branch and its sub-branches, in CvarTreeCollect's order, that have keys to apply. Apply runs
// every frame over every parameter of every project, nearly all of them without keys: only these few are listed.
void collectAnimated(const CvarTreeNode* node, std::vector<Cvar*>& out)
{
    for (Cvar* cvar : node->cvars) {
        const KeyframeTrack* track = SequencerManager::FindTrack(cvar);
        if (track && !track->keys.empty() && track->active)
            out.push_back(cvar);
    }
    for (const CvarTreeNode* child : node->children)
        collectAnimated(child, out);
}

} // namespace

namespace SequencerManager {

void SetKeyValue(Cvar* cvar, int frame, const float value[4])
{
    if (!cvar || !value)
        return;
    KeyframeTrack& track = trackOf(cvar);
    const uint32_t at = static_cast<uint32_t>(frame);
    const Keyframe key{value[0], value[1], value[2], value[3], at};
    // Keys are kept sorted: a binary search finds the key to replace or the new key's place. A load adds keys in
    // frame order, so the insert lands at the end.
    auto it = keyAtOrAfter(track.keys, at);
    if (it != track.keys.end() && it->frame == at)
        *it = key;
    else
        track.keys.insert(it, key);
}

void SetKey(Cvar* cvar, int frame)
{
    if (!cvar)
        return;
    const float value[4] = {cvar->value[0], cvar->value[1], cvar->value[2], cvar->value[3]};
    SetKeyValue(cvar, frame, value);
}

bool DeleteKey(Cvar* cvar, int frame)
{
    KeyframeTrack* track = FindTrack(cvar);
    if (!track)
        return false;
    auto it = keyAtOrAfter(track->keys, static_cast<uint32_t>(frame));
    if (it == track->keys.end() || it->frame != static_cast<uint32_t>(frame))
        return false;
    track->keys.erase(it);
    return true;
}

KeyframeTrack* FindTrack(Cvar* cvar)
{
    auto it = keyframeTracks.find(cvar);
    return it == keyframeTracks.end() ? nullptr : &it->second;
}

bool HasTrack(Cvar* cvar)
{
    const KeyframeTrack* track = FindTrack(cvar);
    return track && !track->keys.empty();
}

void SetTrackActive(Cvar* cvar, bool active)
{
    if (KeyframeTrack* track = keyedTrack(cvar, "active"))
        track->active = active;
}

void SetTrackInterpolated(Cvar* cvar, bool interpolated)
{
    if (KeyframeTrack* track = keyedTrack(cvar, "interpolated"))
        track->interpolated = interpolated;
}

void SetTrackLinear(Cvar* cvar, bool linear)
{
    if (KeyframeTrack* track = keyedTrack(cvar, "linear"))
        track->linear = linear;
}

std::array<float, 4> EvaluateTrack(Cvar* cvar, uint32_t frame)
{
    const KeyframeTrack* track = FindTrack(cvar);
    if (!track || track->keys.empty())
        return cvar ? cvarValue(cvar) : std::array<float, 4>{};
    const std::vector<Keyframe>& keys = track->keys;
    const size_t n = keys.size();
    if (n == 1 || frame < keys[0].frame)
        return keyValue(keys[0]);

    // d: the last key at or before the frame (keys[0] is, as frame >= keys[0].frame here).
    const auto after = std::upper_bound(keys.begin(), keys.end(), frame,
                                        [](uint32_t f, const Keyframe& k) { return f < k.frame; });
    const size_t d = static_cast<size_t>(after - keys.begin()) - 1;
    if (!track->interpolated && !track->linear)
        return keyValue(keys[d]);
    if (d == n - 1)
        return keyValue(keys[d]);

    const float t = static_cast<float>(frame - keys[d].frame) / static_cast<float>(keys[d + 1].frame - keys[d].frame);
    const std::array<float, 4> p1 = keyValue(keys[d]);
    const std::array<float, 4> p2 = keyValue(keys[d + 1]);
    std::array<float, 4> out{};
    if (n == 2 || track->linear) {
        for (int c = 0; c < 4; ++c)
            out[c] = p2[c] * t + p1[c] * (1.0f - t);
        return out;
    }
    const std::array<float, 4> p0 = keyValue(keys[d == 0 ? 0 : d - 1]);
    const std::array<float, 4> p3 = keyValue(keys[std::min(d + 2, n - 1)]);
    for (int c = 0; c < 4; ++c) {
        const float a0 = p3[c] - p2[c] - p0[c] + p1[c];
        const float a1 = p0[c] - p1[c] - a0;
        const float a2 = p2[c] - p0[c];
        out[c] = a0 * t * t * t + a1 * t * t + a2 * t + p1[c];
    }
    return out;
}

void Apply(int frame)
{
    if (!exportVariables || keyframeTracks.empty())
        return;
    Project* const savedProject = currentProject;
    ResourceManagerStorage* const savedResources = currentResources;
    std::vector<EngineComponent*>* const savedComponents = currentComponents;
    const std::vector<Project*> projects = projectList;
    std::vector<Cvar*> animated;

    for (Project* project : projects) {
        projSetCurrent(project);
        if (!project || !project->components)
            continue;
        const bool shown = project == savedProject;
        for (EngineComponent* component : *project->components) {
            if (!component)
                continue;
            CvarTreeNode* branch = component->GetCvarTree();
            if (!branch)
                continue;
            // Listed before any is applied: a change handler may add or remove parameters of the branch.
            animated.clear();
            collectAnimated(branch, animated);
            for (Cvar* cvar : animated) {
                // Looked up again: an earlier change handler may have destroyed the parameter and its track.
                const KeyframeTrack* track = FindTrack(cvar);
                if (!track || track->keys.empty() || !track->active)
                    continue;
                const std::array<float, 4> v = EvaluateTrack(cvar, static_cast<uint32_t>(frame));
                std::copy(v.begin(), v.end(), cvar->value);
                CvarMarkDriven(cvar, 0xFu);
                if (shown) {
                    if (EngineComponent* owner = CvarTreeNode::FindOwner(branch))
                        owner->OnCvarChanged(cvar);
                }
            }
        }
    }

    currentProject = savedProject;
    currentResources = savedResources;
    currentComponents = savedComponents;
}

} // namespace SequencerManager
