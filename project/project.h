// The production's projects: each a folder of data files with its own resource store and component list, and the
// project the engine currently shows.
#pragma once

#include <cstdint>
#include <memory>
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
    // "global/null_object", an empty object made by ProjectLoading; the shared pointer carries its deleter, so the
    // project frees it without knowing the renderer's Object.
    std::shared_ptr<Object> nullObject;
    // cvarAnimationFrame of the last frame that evaluated this project: what that frame's animations drove is
    // saved as its rest value even after other projects have played since.
    uint32_t animationFrame = 0;
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
