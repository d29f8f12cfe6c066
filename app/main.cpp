// The engine executable: start-up, the frame loop, and the way out.
#include "app/data_files.h"
#include "app/engine_display.h"
#include "app/frame_loop.h"
#include "app/log.h"
#include "app/projects.h"
#include "app/timing.h"
#include "components/component_table.h"
#include "components/raytracer.h"
#include "jni/engine/grd_program_cache.h"
#include "jni/engine/grd_texture.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"
#include "render/layer_compositor.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace {

// The editor works on the development copy beside the build when there is one, else on the shipped assets.
const char* chooseDataFolder(bool editor)
{
    const char* development = "../Pelmora1/assets/";
    std::error_code error;
    const char* chosen = editor && std::filesystem::is_directory(development, error) ? development : "assets/";
    LOG_INFO("Data folder: %s", chosen);
    return chosen;
}

// Seconds since `since`; the start-up steps log theirs so a slow start shows where it went.
double secondsSince(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The warm-up's output size is the window's divided by this on each side.
constexpr int kWarmUpDivisor = 4;

// Published images that still point at destroyed textures are emptied; their producers set them every frame.
void forgetTextures(const std::vector<const Texture*>& destroyed)
{
    if (destroyed.empty())
        return;
    std::vector<Project*> projects = projectList;
    projects.push_back(globalProject);
    for (Project* project : projects) {
        if (!project || !project->resources)
            continue;
        for (Resource* resource : project->resources->get_by_type(ResourceType::Image)) {
            auto* image = dynamic_cast<ImageResource*>(resource);
            if (image && std::find(destroyed.begin(), destroyed.end(), image->texture) != destroyed.end())
                image->texture = nullptr;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    // A fixed sequence for the later users of rand(): they start at its 1,025th value.
    const auto start = std::chrono::steady_clock::now();
    std::srand(static_cast<unsigned>(-1));
    for (int i = 0; i < 1024; ++i)
        std::rand();

    componentsSeedUuid();
    componentTypesInstallFactories();
    engineSetArguments(argc, argv);
    const bool editor = engineEditorMode();
    // Only the editor's GPU view reads the timing scopes.
    timerSetGpuScopesEnabled(editor);

    globalProject = projCreate("global");
    for (const char* name : {"instancing", "abstract_1", "room", "walk_particles", "room_rt"})
        projectList.push_back(projCreate(name));
    projSetCurrent(projFind("room"));

    dataSetBasePath(chooseDataFolder(editor));
    engine_install_signal_handlers();

    // Linked programs from earlier runs: a second start compiles nothing.
    engineProgramCacheFolder = programCacheDefaultFolder();
    if (!engine_init_display())
        return 1;
    LOG_INFO("Start-up: window and projects loaded after %.2f s", secondsSince(start));

    exportVariables = true;
    syncToAudio = true;
    if (sequencer)
        sequencer->exportTimeToGlobal = true;
    hotReloadEnabled = false;

    if (!editor) {
        // Warm-up: every project renders twice before the first frame, so the first real frames do not stall. The
        // program variants do not depend on the output size, so it draws at a quarter on each side: the same
        // programs and resources at a sixteenth of the pixels.
        const int fullWidth = engineFullOutputWidth();
        const int fullHeight = engineFullOutputHeight();
        engineSetOutputSize(fullWidth / kWarmUpDivisor, fullHeight / kWarmUpDivisor);
        for (Project* project : projectList) {
            const SequenceItem* row = sequencer ? &sequencer->GetProjectItem(project) : nullptr;
            if (!row) {
                LOG_WARNING("No timeline row for project %s; no warm-up render for it", project->name.c_str());
                continue;
            }
            const auto warmUpStart = std::chrono::steady_clock::now();
            for (float seconds : projectWarmUpTimes(*row))
                fx_layers_render(seconds);
            LOG_INFO("Start-up: warm-up of %s took %.2f s", project->name.c_str(), secondsSince(warmUpStart));
        }
        // Full size again: the targets follow on their next use. The small scratch textures are not used again.
        engineSetOutputSize(fullWidth, fullHeight);
        txtReleaseCachedTextures();
        forgetTextures(txtDestroyCachedTexturesOfSize(fullWidth / kWarmUpDivisor, fullHeight / kWarmUpDivisor));
        // The first project played has no use for what the raytracer's warm-up frames wrote; its next frame
        // writes it again.
        RaytraceSceneBuffers::ReleaseMemory(sharedRaytraceSceneBuffers);
        LOG_INFO("Start-up: warm-up done after %.2f s", secondsSince(start));
    }

    SequencerManager::StartAudio();
    LOG_INFO("Start-up: music started after %.2f s", secondsSince(start));
    engine_main_loop();

    // Back into the folder the values were read from, whichever project the timeline left current.
    if (cvarTreeProject)
        CvarTreeSave(&cvarTreeRoot, cvarTreeProject->path + "/variables.json");
    return 0;
}
