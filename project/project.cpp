#include "project/project.h"

#include "app/log.h"
#include "project/components.h"
#include "project/resources.h"
#include "project/sequencer.h"

// Never destroyed: projects live until the process has ended, exit savers included.
std::vector<Project*>& projectList = *new std::vector<Project*>();
Project* globalProject = nullptr;
Project* currentProject = nullptr;
ResourceManagerStorage* currentResources = nullptr;
std::vector<EngineComponent*>* currentComponents = nullptr;
Project* cvarTreeProject = nullptr;

namespace {

// Project folders are made by hand; creating them is not supported.
void dirCreatePath(const std::string& path)
{
    LOG_ERROR("function not implemented\n");
}

} // namespace

Project* projCreate(const std::string& name)
{
    auto* project = new Project();
    project->name = name;
    project->path = "projects/" + name;
    dirCreatePath(project->path);
    project->resources = new ResourceManagerStorage();
    project->components = new std::vector<EngineComponent*>();
    return project;
}

void projDestroy(Project* project)
{
    if (!project)
        return;
    if (currentProject == project)
        projSetCurrent(nullptr);
    SequencerManager::ForgetProject(project);
    if (project->components) {
        for (EngineComponent* component : *project->components)
            delete component;
        delete project->components;
    }
    delete project->resources;
    delete project;
}

void projSetCurrent(Project* project)
{
    currentProject = project;
    currentResources = project ? project->resources : nullptr;
    currentComponents = project ? project->components : nullptr;
}

Project* projFind(const std::string& name)
{
    if (globalProject && globalProject->name == name)
        return globalProject;
    for (Project* project : projectList) {
        if (project->name == name)
            return project;
    }
    return nullptr;
}
