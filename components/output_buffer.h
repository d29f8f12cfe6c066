// The end of a project's image chain: takes one image, runs it through the post effects linked to "post" in
// link order, and publishes the result as the project's "main output" image, which the window shows.
#pragma once

#include "components/component_kit.h"
#include "project/resources.h"
#include "render/render_graph.h"

#include <set>
#include <string>

struct Framebuffer;

class outputbufferfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<outputbufferfx>(name); }
    ~outputbufferfx() override;

    void OnInputConnected(int32_t pinId) override;
    // One function item: the chain runs after the frame's scene passes.
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    bool IsDependencyOnly() override { return false; }

    void RunPostChain(Camera* camera, Timestep time);

    Framebuffer* source = nullptr;      // "{name}/src", made on the first chain run
    Framebuffer* destination = nullptr; // "{name}/dst"
    ImageResource* mainOutput = nullptr;
    OutputPin* imageOutput = nullptr;
    InputPin* postInput = nullptr;
    InputPin* imageInput = nullptr;

protected:
    explicit outputbufferfx(const std::string& name);

private:
    // The payload of the output pin a link names, as T when its type is `type`; a link to anything else is
    // reported once and treated as missing.
    template <typename T>
    T* linkedPayload(int32_t linkId, int32_t type);

    ResourceManagerStorage* registeredIn_ = nullptr;
    std::set<int32_t> reportedLinks_;
};
