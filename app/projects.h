// The production's projects: each a folder of data files with its own resource store and component list.
#pragma once

#include "project/cvars.h"

#include <string>
#include <vector>

struct ResourceManagerStorage;
class EngineComponent;
class Object;

struct Project {
    std::string name;
    std::string path; // "projects/{name}", relative to the asset base path
    ResourceManagerStorage* resources = nullptr;
    std::vector<EngineComponent*>* components = nullptr;
    Object* nullObject = nullptr; // "global/null_object", an empty object made by ProjectLoading
};

// The content projects in load and play order; "global" is not among them.
extern std::vector<Project*>& projectList;
// "global": the gradients every project shares.
extern Project* globalProject;
// Always switched together, through projSetCurrent.
extern Project* currentProject;
extern ResourceManagerStorage* currentResources;
extern std::vector<EngineComponent*>* currentComponents;

// The project whose "variables.json" the parameter tree was read from; the exit writes the tree back there.
extern Project* cvarTreeProject;

// A new project "projects/{name}" with an empty resource store and component list. Lives until the process ends.
Project* projCreate(const std::string& name);
// Frees a project with its store, components and list; the engine's own projects live for the whole run, so only
// tools and tests that make projects of their own call it.
void projDestroy(Project* project);
// Makes the project current together with its store and component list; null clears all three.
void projSetCurrent(Project* project);
// The project of that name: "global" or one of projectList; null when there is none.
Project* projFind(const std::string& name);

// What ProjectLoading leaves for the run.
struct ProjectLoadingState {
    int width = 0;
    int height = 0;
    // "globals/fx_cam_idx" and "globals/fx_cam_time": shown in the editor and stored, read by nothing.
    Cvar fxCamIdx;
    Cvar fxCamTime;
};

// Reads every project's files once, before the first frame; the current project is the same afterwards.
ProjectLoadingState* ProjectLoading(int width, int height);
// The record of the start-up ProjectLoading, kept for the run.
extern ProjectLoadingState* projectLoadingState;
