#include "render/graph_processing.h"

#include "app/timing.h"
#include "project/cvars.h"
#include "project/keyframes.h"
#include "project/project.h"
#include "project/sequencer.h"
#include "render/render_graph.h"

#include <climits>
#include <cmath>

int frameCounter = 0;

namespace {

float previousTime = 0.0f;
bool firstGraphProcessing = true;

// A timeline frame: hundredths of a second, truncated toward zero. Out-of-range times clamp instead of overflowing.
int frameOfTime(float time)
{
    const double frame = std::trunc(static_cast<double>(time) * 100.0);
    if (std::isnan(frame))
        return 0;
    if (frame >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (frame <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(frame);
}

} // namespace

int RenderFrame(float time)
{
    ScopedGpuTimer timer("RenderFrame", true);
    return GraphProcessing(time);
}

Timestep graphProcessingStep(float time)
{
    float previous = firstGraphProcessing ? time : previousTime;
    firstGraphProcessing = false;
    // A jump back (a seek, a loop) gives one frame of delta 0, never a negative delta.
    if (previous > time)
        previous = time;
    previousTime = time;
    Timestep step;
    step.time = time;
    step.delta = time - previous;
    step.flag = false;
    return step;
}

void graphProcessingReset()
{
    firstGraphProcessing = true;
    previousTime = 0.0f;
}

Project* projectForFrame(uint32_t frame)
{
    if (projectList.empty())
        return nullptr;
    if (sequencer) {
        for (Project* project : projectList) {
            const SequenceItem* row = &sequencer->GetProjectItem(project);
            if (!row)
                continue;
            if (static_cast<uint32_t>(row->start) <= frame && frame < static_cast<uint32_t>(row->end))
                return project;
        }
    }
    return projectList.front();
}

int GraphProcessing(float time)
{
    const Timestep step = graphProcessingStep(time);
    ++frameCounter;
    ++cvarAnimationFrame;

    ScopedGpuTimer timer("Graph Processing", true);
    const int frame = frameOfTime(time);
    if (sequencer && sequencer->exportTimeToGlobal) {
        if (Project* project = projectForFrame(static_cast<uint32_t>(frame)))
            projSetCurrent(project);
    }
    if (currentProject)
        currentProject->animationFrame = cvarAnimationFrame;
    if (exportVariables)
        SequencerManager::Apply(frame);
    Renderer::RenderGraph(step);
    return 1;
}
