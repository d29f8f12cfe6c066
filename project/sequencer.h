// The timeline: project frame ranges, the current frame, the loop range, the rows of the timeline widget,
// "sequencer.json" and the music the timeline follows.
#pragma once

#include "project/keyframes.h"
#include "project/timeline_interface.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct Project;
class EngineComponent;

// One timeline row; frames are hundredths of a second, the range is start <= frame < end.
struct SequenceItem {
    int type = 0; // the component's type index; 0 for a project row
    int start = 0;
    int end = 300;
    bool expanded = true;
    int indent = 0;
    EngineComponent* component = nullptr; // null for a project row
    Project* project = nullptr;           // a component row: the project it was last listed under
};

struct SelectedKey {
    Cvar* cvar = nullptr;
    int frame = 0;
};

// The timeline model behind the timeline widget. The widget's interface is the virtual operations below.
class Sequence : public ImSequencer::SequenceInterface {
public:
    Sequence();
    virtual ~Sequence() = default;
    Sequence(const Sequence&) = delete;
    Sequence& operator=(const Sequence&) = delete;

    virtual int GetFrameMin() const;
    virtual int GetFrameMax() const;
    virtual int GetItemCount() const;
    virtual void BeginEdit(int row);
    virtual void EndEdit();
    virtual int GetItemTypeCount() const;
    virtual const char* GetItemTypeName(int type) const;
    // "[%02d] %s" in one shared 512-byte buffer: each call overwrites the text of the previous one.
    virtual const char* GetItemLabel(int row) const;
    virtual int GetItemIndent(int row) const;
    virtual uint32_t GetItemLabelColor(int row) const;
    // Any out pointer may be null; start and end point at the row's own fields, which the widget edits in place.
    virtual void Get(int row, int** start, int** end, int* type, uint32_t* color);
    virtual void Add(int type);
    virtual void Del(int row);
    virtual void Duplicate(int row);
    virtual void Copy();
    virtual void Paste();
    virtual size_t GetCustomHeight(int row);
    virtual void DoubleClick(int row);
    // Component rows: one line per animated parameter with its switches and keys; key selection and deletion.
    void CustomDraw(int row, ImDrawList* drawList, const ImRect& rowRect, const ImRect& legendRect,
                    const ImRect& clipRect, const ImRect& legendClipRect) override;
    void CustomDrawCompact(int row, ImDrawList* drawList, const ImRect& rowRect, const ImRect& clipRect) override;

    SequenceItem& GetOrAddComponentItem(EngineComponent* component);
    SequenceItem& GetOrAddProjectItem(Project* project);
    // The project's row; a project without one gets the default row (0 to 300).
    SequenceItem& GetProjectItem(Project* project);
    // All projects in load order, each followed (when current) by its components that have animated parameters.
    void RebuildItems();

    int frameCount = 300;
    int framesPerSecond = 100;
    std::vector<SequenceItem*> items; // point into the maps below
    std::unordered_map<EngineComponent*, SequenceItem> componentItems;
    std::unordered_map<Project*, SequenceItem> projectItems;
    std::vector<SelectedKey> selectedKeys;
    int currentFrame = 0;
    int selectedEntry = -1;
    int firstFrame = 0;
    bool expanded = true;
    // The timeline provides the global time and picks the current project.
    bool exportTimeToGlobal = false;
    int loopStart = 0;
    int loopEnd = 0;
    bool loop = false;
    bool printDebugVariables = false;

private:
    SequenceItem* row(int index) const;
};

// The one timeline, created by the first SequencerManager::Load.
extern Sequence* sequencer;
// The music file, relative to the asset base path.
extern std::string& audioTrackName;

// ---- Music ----
// Handle of the opened music stream; 0 = none. Opened at most once per process.
extern uint32_t musicChannel;
// musicChannel was non-zero after the last StartAudio.
extern bool audioAvailable;
extern bool audioPaused;
// The frame time follows the music.
extern bool syncToAudio;

// Logs "Failed to init bass!" and ends the process with exit code 10 (exit handlers run).
[[noreturn]] void die();

namespace SequencerManager {

// Reads a project's "sequencer.json" (relative to the asset base path) with that project current. False when the
// file is missing or malformed; a malformed file changes nothing and is never overwritten by Save.
bool Load(const std::string& path);
// Writes the current project's "sequencer.json" to the complete path, then brings the shared "global" and
// "projects" sections of the other projects' files up to date. False (after a log line) when a file could not
// be written or refused to be overwritten.
bool Save(const std::string& path);

// Drops what the timeline holds for a project about to be destroyed: its row, its components' rows and what its
// file kept for writing back. Another project made later at the same address starts clean.
void ForgetProject(Project* project);

// Initialises the audio output (failure ends the process through die), opens the track once and plays it.
void StartAudio();
// The music position in seconds; 0 while no track is open.
double GetMusicPosition();
// Moves the music to frame / framesPerSecond seconds. False when no track is open or the position is refused.
bool SeekToFrame(int frame);
// Pauses or resumes the music at its current position ("Pause/Resume").
void SetAudioPaused(bool paused);

} // namespace SequencerManager
