// Shared pieces of the timeline tests: a project list of their own for one test.
#pragma once

#include "app/data_files.h"
#include "project/components.h"
#include "project/project.h"
#include "project/resources.h"
#include "project/sequencer.h"

#include <glbinding/gl/gl.h>
#include <gtest/gtest.h>

#include <cstdio>

#include <memory>
#include <string>
#include <vector>

namespace timelinetest {

// What the log printed to the console from construction to the first look at it. The console belongs to this
// process alone, unlike "app_log.txt", which every test process of a parallel run rewrites in the same folder.
class ConsoleLog {
public:
    ConsoleLog() { testing::internal::CaptureStdout(); }
    ~ConsoleLog() { text(); }
    ConsoleLog(const ConsoleLog&) = delete;
    ConsoleLog& operator=(const ConsoleLog&) = delete;

    // Ends the capture on the first call.
    const std::string& text()
    {
        if (capturing_) {
            std::fflush(stdout);
            text_ = testing::internal::GetCapturedStdout();
            capturing_ = false;
        }
        return text_;
    }
    bool contains(const std::string& what) { return text().find(what) != std::string::npos; }
    int count(const std::string& what)
    {
        int n = 0;
        for (size_t at = text().find(what); at != std::string::npos; at = text().find(what, at + what.size()))
            ++n;
        return n;
    }

private:
    bool capturing_ = true;
    std::string text_;
};

// Replaces projectList and the current project for one test with projects of the given names (each with its own
// store and component list, folder "projects/{name}"), the first one current; restores everything afterwards.
class ScopedProjects {
public:
    explicit ScopedProjects(const std::vector<std::string>& names)
        : savedList_(projectList), savedProject_(currentProject), savedResources_(currentResources),
          savedComponents_(currentComponents)
    {
        projectList.clear();
        for (const std::string& name : names) {
            auto project = std::make_unique<Project>();
            project->name = name;
            project->path = "projects/" + name;
            stores_.push_back(std::make_unique<ResourceManagerStorage>());
            lists_.push_back(std::make_unique<std::vector<EngineComponent*>>());
            project->resources = stores_.back().get();
            project->components = lists_.back().get();
            projectList.push_back(project.get());
            projects_.push_back(std::move(project));
        }
        projSetCurrent(projectList.empty() ? nullptr : projectList.front());
    }
    ~ScopedProjects()
    {
        // As projDestroy does: what the timeline kept for a project must not outlive it, or a later project at the
        // same address inherits it.
        for (auto& project : projects_)
            SequencerManager::ForgetProject(project.get());
        for (auto& list : lists_)
            for (EngineComponent* component : *list)
                delete component;
        projectList = savedList_;
        currentProject = savedProject_;
        currentResources = savedResources_;
        currentComponents = savedComponents_;
    }
    ScopedProjects(const ScopedProjects&) = delete;
    ScopedProjects& operator=(const ScopedProjects&) = delete;

    Project* operator[](size_t i) const { return projects_[i].get(); }

    // Creates a component in project i's list (owned by the list).
    template <typename T>
    T* add(size_t i, const std::string& name)
    {
        T* component = new T(name);
        projects_[i]->components->push_back(component);
        return component;
    }

private:
    std::vector<Project*> savedList_;
    Project* savedProject_;
    ResourceManagerStorage* savedResources_;
    std::vector<EngineComponent*>* savedComponents_;
    std::vector<std::unique_ptr<Project>> projects_;
    std::vector<std::unique_ptr<ResourceManagerStorage>> stores_;
    std::vector<std::unique_ptr<std::vector<EngineComponent*>>> lists_;
};

// The asset base path pointed at a folder for one test.
class ScopedBasePath {
public:
    explicit ScopedBasePath(const std::string& path) : saved_(dataBasePath()) { dataSetBasePath(path); }
    ~ScopedBasePath() { dataSetBasePath(saved_); }
    ScopedBasePath(const ScopedBasePath&) = delete;
    ScopedBasePath& operator=(const ScopedBasePath&) = delete;

private:
    std::string saved_;
};

// Size and internal format of level 0 of a GL texture.
struct TextureLevel {
    int width = 0;
    int height = 0;
    gl::GLenum format{};
};
inline TextureLevel textureLevel(unsigned int glId)
{
    gl::GLint width = 0, height = 0, format = 0;
    gl::glGetTextureLevelParameteriv(glId, 0, gl::GL_TEXTURE_WIDTH, &width);
    gl::glGetTextureLevelParameteriv(glId, 0, gl::GL_TEXTURE_HEIGHT, &height);
    gl::glGetTextureLevelParameteriv(glId, 0, gl::GL_TEXTURE_INTERNAL_FORMAT, &format);
    return {width, height, static_cast<gl::GLenum>(format)};
}

} // namespace timelinetest
