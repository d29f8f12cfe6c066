#include "editor/sequencer_window.h"

#include "app/data_files.h"
#include "app/timing.h"
#include "editor/timeline_widget.h"
#include "project/keyframes.h"
#include "project/project.h"
#include "project/sequencer.h"

#include <imgui.h>

#include <cmath>
#include <cstdio>
#include <string>

bool sequencerWindowOpen = true;
int sequencerFrame = 0;
SequencerMusic sequencerMusic = {SequencerManager::GetMusicPosition, SequencerManager::SeekToFrame,
                                 SequencerManager::SetAudioPaused};

namespace {

constexpr int kLegendWidth = 300;

// Writes every project's file with that project current, then shows the one that was shown.
void saveAll()
{
    Project* shown = currentProject;
    for (Project* project : projectList) {
        if (!project)
            continue;
        projSetCurrent(project);
        sequencer->RebuildItems();
        SequencerManager::Save(dataPath(project->path + "/sequencer.json"));
    }
    projSetCurrent(shown);
    sequencer->RebuildItems();
}

bool inputFrames(const char* label, int* value)
{
    ImGui::PushItemWidth(100);
    const bool changed = ImGui::InputInt(label, value, 1, 100);
    ImGui::PopItemWidth();
    return changed;
}

void spacer()
{
    ImGui::SameLine();
    ImGui::Dummy(ImVec2(100, 0));
    ImGui::SameLine();
}

// The controls above the timeline; they change the sequence's fields in place.
void controls(Sequence& seq)
{
    int& f = seq.currentFrame;
    if (ImGui::Button("Save"))
        saveAll();
    ImGui::SameLine();
    ImGui::Checkbox("Export Time To Global", &seq.exportTimeToGlobal);
    ImGui::SameLine();
    ImGui::Checkbox("Export Variables", &exportVariables);
    ImGui::SameLine();
    ImGui::Checkbox("Print Debug Variables", &seq.printDebugVariables);
    ImGui::SameLine();
    if (ImGui::Button("ResetTime"))
        timerRestartClock();
    ImGui::SameLine();
    char track[1024];
    std::snprintf(track, sizeof(track), "%s", audioTrackName.c_str());
    ImGui::PushItemWidth(200);
    if (ImGui::InputText("Audio Track", track, sizeof(track)))
        audioTrackName = track;
    ImGui::PopItemWidth();

    inputFrames("Frame Count", &seq.frameCount);
    spacer();
    // A rate of 0 (or less) would divide by zero: read it as the usual 100.
    const int fps = seq.framesPerSecond > 0 ? seq.framesPerSecond : 100;
    const int t = f / fps;
    ImGui::Text("Current Frame:%d [%d:%02d]", f, t / 60, t % 60);
    ImGui::SameLine();
    if (ImGui::Button("<"))
        f = f >= 2 ? f - 1 : 0;
    ImGui::SameLine();
    if (ImGui::Button(">") && f < INT32_MAX)
        f = f + 1;
    if (!seq.selectedKeys.empty()) {
        ImGui::SameLine();
        if (ImGui::Button("SnapToSeleced"))
            f = seq.selectedKeys.front().frame;
    }
    ImGui::SameLine();
    if (ImGui::Button("Set Project Start") && currentProject)
        seq.GetOrAddProjectItem(currentProject).start = f;
    ImGui::SameLine();
    if (ImGui::Button("Set Project End") && currentProject)
        seq.GetOrAddProjectItem(currentProject).end = f;
    spacer();
    inputFrames("Loop Start", &seq.loopStart);
    ImGui::SameLine();
    inputFrames("Loop End", &seq.loopEnd);
    ImGui::SameLine();
    ImGui::Checkbox("Loop", &seq.loop);
    spacer();
    if (ImGui::Button("Start"))
        SequencerManager::StartAudio();
    if (audioAvailable) {
        ImGui::SameLine();
        if (ImGui::Button("Pause/Resume"))
            sequencerMusic.setPaused(!audioPaused);
        ImGui::SameLine();
        ImGui::Checkbox("Sync To Audio", &syncToAudio);
        ImGui::SameLine();
        const double p = sequencerMusic.position();
        ImGui::Text("Audio Position: %d : %02.03f", static_cast<int>(p) / 60, std::fmod(p, 60.0));
    }
}

} // namespace

void ui_sequencer_window()
{
    if (!sequencer)
        sequencer = new Sequence();
    Sequence& seq = *sequencer;
    seq.RebuildItems();
    ImGui::SetNextWindowSize(ImVec2(500, 400), ImGuiCond_FirstUseEver);
    const bool visible = ImGui::Begin("Sequencer", &sequencerWindowOpen);
    const int f0 = seq.currentFrame;
    if (visible)
        controls(seq);

    SequencerManager::Apply(seq.currentFrame);
    seq.RebuildItems();
    if (visible)
        ImSequencer::DrawTimeline(&seq, &seq.currentFrame, &seq.expanded, &seq.selectedEntry, &seq.firstFrame,
                                  ImSequencer::SEQUENCER_EDIT_STARTEND | ImSequencer::SEQUENCER_CHANGE_FRAME,
                                  kLegendWidth);

    int& f = seq.currentFrame;
    if (f != f0 && audioAvailable)
        sequencerMusic.seek(f);
    // Without an open stream there is no music position to follow.
    if (syncToAudio && !audioPaused && audioAvailable) {
        const int fps = seq.framesPerSecond > 0 ? seq.framesPerSecond : 100;
        const double frame = std::trunc(fps * sequencerMusic.position());
        f = frame >= INT32_MAX ? INT32_MAX : (frame <= INT32_MIN ? INT32_MIN : static_cast<int>(frame));
    }
    if (seq.loop && seq.loopEnd != seq.loopStart && f >= seq.loopEnd) {
        f = seq.loopStart;
        if (audioAvailable)
            sequencerMusic.seek(seq.loopStart);
    }
    sequencerFrame = static_cast<int>(static_cast<float>(f));

    for (Project* project : projectList) {
        if (!project)
            continue;
        const SequenceItem& row = seq.GetProjectItem(project);
        if (row.start <= f && f < row.end) {
            if (project != currentProject)
                projSetCurrent(project);
            break;
        }
    }
    ImGui::End();
}
