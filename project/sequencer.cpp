#include "project/sequencer.h"

Sequence* sequencer = nullptr;
bool exportVariables = false;
bool syncToAudio = false;

SequenceItem& Sequence::GetOrAddProjectItem(Project* project)
{
    auto [it, created] = projectItems_.try_emplace(project);
    if (created)
        it->second.project = project;
    return it->second;
}

SequenceItem* Sequence::GetProjectItem(Project* project)
{
    auto it = projectItems_.find(project);
    return it == projectItems_.end() ? nullptr : &it->second;
}

namespace SequencerManager {

bool Load(const std::string& path)
{
    if (!sequencer)
        sequencer = new Sequence();
    // The file format is not read yet: the timeline keeps its defaults and no project has a row.
    return false;
}

void Apply(int frame)
{
    // No keyframe tracks exist yet.
}

void StartAudio()
{
    // No audio output yet: nothing plays, and start-up goes on.
}

double GetMusicPosition()
{
    return 0.0;
}

} // namespace SequencerManager
