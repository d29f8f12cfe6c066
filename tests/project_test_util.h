// Shared pieces of the project-model tests: a scoped current project, log capture and small test components.
#pragma once

#include "app/log.h"
#include "app/projects.h"
#include "project/component_table.h"
#include "project/components.h"
#include "project/cvars.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/render_graph.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace projtest {

// The text the log gained since construction (the log file is flushed after every line).
class LogCapture {
public:
    // Logs a line first: the log file is created (and emptied) by the first message of the run.
    LogCapture()
    {
        LOG_INFO("log capture");
        start_ = size();
    }
    std::string text() const
    {
        std::ifstream in("app_log.txt", std::ios::binary);
        in.seekg(static_cast<std::streamoff>(start_));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool contains(const std::string& what) const { return text().find(what) != std::string::npos; }
    int count(const std::string& what) const
    {
        const std::string all = text();
        int n = 0;
        for (size_t at = all.find(what); at != std::string::npos; at = all.find(what, at + what.size()))
            ++n;
        return n;
    }

private:
    static size_t size()
    {
        std::error_code ec;
        auto n = std::filesystem::file_size("app_log.txt", ec);
        return ec ? 0 : static_cast<size_t>(n);
    }
    size_t start_ = 0;
};

// A current project of its own for one test: empty component list and store, restored afterwards.
class ScopedProject {
public:
    ScopedProject()
        : savedProject_(currentProject), savedResources_(currentResources), savedComponents_(currentComponents)
    {
        currentProject = nullptr;
        currentResources = &store;
        currentComponents = &components;
    }
    ~ScopedProject()
    {
        for (EngineComponent* component : components)
            delete component;
        currentProject = savedProject_;
        currentResources = savedResources_;
        currentComponents = savedComponents_;
    }
    ScopedProject(const ScopedProject&) = delete;
    ScopedProject& operator=(const ScopedProject&) = delete;

    ResourceManagerStorage store;
    std::vector<EngineComponent*> components;

private:
    Project* savedProject_;
    ResourceManagerStorage* savedResources_;
    std::vector<EngineComponent*>* savedComponents_;
};

// Names of components in the order they executed or initialised.
// Deletes a ProjectLoading record (the engine keeps it for the run), taking its two camera parameters out of
// "globals" first: the branch outlives the test.
inline void releaseProjectLoading(ProjectLoadingState* state)
{
    if (CvarTreeNode* globals = CvarTreeFindBranch("globals", CvarScope::Root)) {
        auto& cvars = globals->cvars;
        cvars.erase(std::remove_if(cvars.begin(), cvars.end(),
                                   [&](Cvar* c) { return c == &state->fxCamIdx || c == &state->fxCamTime; }),
                    cvars.end());
    }
    delete state;
}

inline std::vector<std::string>& executionLog()
{
    static std::vector<std::string> log;
    return log;
}
inline std::vector<std::string>& initLog()
{
    static std::vector<std::string> log;
    return log;
}

// Builds its branch the way components do: detached, current while registering, owned by the component.
class TestComponentBase : public EngineComponent {
public:
    TestComponentBase(int32_t typeIndex, const std::string& name) : EngineComponent(typeIndex, name)
    {
        branch_ = new CvarTreeNode(name, nullptr);
        branch_->owner = this;
    }
    ~TestComponentBase() override { delete branch_; }
    CvarTreeNode* GetCvarTree() override { return branch_; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
    void Init() override { initLog().push_back(name); }
    void OnInputChanged(int32_t pinId) override { inputChanges.push_back(pinId); }
    void OnCvarChanged(Cvar* cvar) override { changedCvars.push_back(cvar); }

    std::vector<int32_t> inputChanges;
    std::vector<Cvar*> changedCvars;
    int executions = 0;

protected:
    void beginRegistration() { cvarTreeCurrentBranch = branch_; }
    void endRegistration() { CvarTreePopBranch(); }
    CvarTreeNode* branch_;
};

// A value generator: publishes its "value" cvar through a Value output with its "mask".
class TestProducer : public TestComponentBase {
public:
    static constexpr int kRow = 22; // "ValueWave"
    explicit TestProducer(const std::string& name) : TestComponentBase(kRow, name)
    {
        beginRegistration();
        CvarTreeRegisterVec3(&value, "value", 1.0f, 2.0f, 3.0f);
        CvarTreeRegisterInt(&mask, "mask", 7);
        endRegistration();
        output = AddOutput("value", ResourceType::Value);
        output->payload = &payload;
    }
    void Execute(RenderItemBuilder&, Timestep) override
    {
        ++executions;
        executionLog().push_back(name);
        payload.values.assign(value.value, value.value + 3);
        payload.mask = static_cast<uint32_t>(mask.value[0]);
    }
    void Init() override
    {
        TestComponentBase::Init();
        valueAtInit = value.value[0];
    }

    float valueAtInit = -1.0f;
    Cvar value, mask;
    ValueResource payload{"test/value"};
    OutputPin* output;
};

// A frame root reading values and images, with an exposed-capable Vec3 and a resource parameter.
class TestConsumer : public TestComponentBase {
public:
    static constexpr int kRow = 0; // "Sceneplayer"
    explicit TestConsumer(const std::string& name) : TestComponentBase(kRow, name)
    {
        beginRegistration();
        CvarTreeRegisterVec3(&amount, "amount", 0.0f, 0.0f, 0.0f);
        CvarTreeRegisterResource(&texture, "texture", "none", ResourceType::Texture);
        CvarTreePushBranch("extra");
        CvarTreeRegisterFloat(&deep, "deep", 0.5f, 0.0f, 1.0f);
        CvarTreePopBranch();
        endRegistration();
        input = new InputPin("in", {ResourceType::Value, ResourceType::Image}, true);
        declaredInputs.push_back(input);
        RebuildPinLists();
        output = AddOutput("img", ResourceType::Image);
    }
    void Execute(RenderItemBuilder&, Timestep) override
    {
        ++executions;
        executionLog().push_back(name);
    }
    bool IsDependencyOnly() override { return !root; }

    bool root = true;
    Cvar amount, texture, deep;
    InputPin* input;
    OutputPin* output;
};

// A component with a transform, so it gets the "child" and "entity" pins.
class TestTransform : public TestComponentBase {
public:
    static constexpr int kRow = 9; // "Null"
    explicit TestTransform(const std::string& name) : TestComponentBase(kRow, name)
    {
        beginRegistration();
        CvarTreeRegisterVec3(&position, "position", 0, 0, 0);
        CvarTreeRegisterVec3(&rotation, "rotation", 0, 0, 0);
        CvarTreeRegisterVec3(&scale, "scale", 1, 1, 1);
        endRegistration();
    }
    bool GetTransformCvars(Cvar** p, Cvar** r, Cvar** s) override
    {
        *p = &position;
        *r = &rotation;
        *s = &scale;
        return true;
    }
    void Execute(RenderItemBuilder&, Timestep) override
    {
        ++executions;
        executionLog().push_back(name);
    }
    bool IsDependencyOnly() override { return !root; }

    bool root = false;
    Cvar position, rotation, scale;
};

// Puts the test classes behind their rows of the type table while it lives.
class ScopedTestFactories {
public:
    ScopedTestFactories()
    {
        for (int row : {TestProducer::kRow, TestConsumer::kRow, TestTransform::kRow})
            saved_.push_back(componentTypeTable[row].factory);
        componentTypeTable[TestProducer::kRow].factory = [](const std::string& n) -> EngineComponent* {
            return new TestProducer(n);
        };
        componentTypeTable[TestConsumer::kRow].factory = [](const std::string& n) -> EngineComponent* {
            return new TestConsumer(n);
        };
        componentTypeTable[TestTransform::kRow].factory = [](const std::string& n) -> EngineComponent* {
            return new TestTransform(n);
        };
        executionLog().clear();
        initLog().clear();
    }
    ~ScopedTestFactories()
    {
        int i = 0;
        for (int row : {TestProducer::kRow, TestConsumer::kRow, TestTransform::kRow})
            componentTypeTable[row].factory = saved_[i++];
    }

private:
    std::vector<ComponentFactory> saved_;
};

// Components only pass the builder on; the tests never look into it.
inline RenderItemBuilder& dummyBuilder()
{
    alignas(std::max_align_t) static unsigned char storage[4096];
    return *reinterpret_cast<RenderItemBuilder*>(storage);
}

// Creates a component the way the graph loader and the toolbox do (through its type's factory, when it has one), and
// appends it to the current list.
template <typename T>
T* addComponent(const std::string& name)
{
    T* component = nullptr;
    if constexpr (requires { T::Create(name); })
        component = static_cast<T*>(T::Create(name));
    else
        component = new T(name);
    component->CreateChildPin();
    component->CreateEntityPin();
    currentComponents->push_back(component);
    return component;
}

} // namespace projtest
