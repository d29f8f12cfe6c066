// The timeline: project frame ranges, the current frame, keyframes and the music it follows.
#pragma once

#include <string>
#include <unordered_map>

struct Project;
class EngineComponent;

// One timeline row; frames are hundredths of a second, the range is start <= frame < end.
struct SequenceItem {
    int type = 0;
    int start = 0;
    int end = 300;
    bool expanded = true;
    int indent = 0;
    EngineComponent* component = nullptr;
    Project* project = nullptr;
};

class Sequence {
public:
    int frameCount = 300;
    int framesPerSecond = 100;
    int currentFrame = 0;
    // The timeline provides the global time and picks the current project.
    bool exportTimeToGlobal = false;
    int loopStart = 0;
    int loopEnd = 0;
    bool loop = false;

    // The project's row, created as 0..300 when missing.
    SequenceItem& GetOrAddProjectItem(Project* project);
    // The project's row, or null when the timeline has none for it.
    SequenceItem* GetProjectItem(Project* project);

private:
    std::unordered_map<Project*, SequenceItem> projectItems_;
};

// The one timeline, created by the first SequencerManager::Load.
extern Sequence* sequencer;
// The timeline writes its keyframed values into the parameters every processed frame.
extern bool exportVariables;
// The frame time follows the music.
extern bool syncToAudio;

namespace SequencerManager {

// Reads a project's "sequencer.json" (relative to the asset base path) with that project current.
bool Load(const std::string& path);
// Writes the keyframed values of frame into the parameters.
void Apply(int frame);
// Starts the music; a failing audio initialisation ends the process.
void StartAudio();
// The music position in seconds.
double GetMusicPosition();

} // namespace SequencerManager
