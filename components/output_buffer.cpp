#include "components/output_buffer.h"

#include "app/log.h"
#include "components/instance_buffers.h"
#include "components/post_effects.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "project/project.h"

#include <utility>

namespace {

constexpr int kOutputBufferRow = 36;

} // namespace

// No parameters: the branch is never made current.
outputbufferfx::outputbufferfx(const std::string& name)
    : KitComponent(kOutputBufferRow, name, Registration::None)
{
    mainOutput = new ImageResource("main output");
    // Only the first output buffer of a project is the project's image; the others still publish on "img".
    if (currentResources && currentResources->add(mainOutput))
        registeredIn_ = currentResources;

    imageInput = new InputPin("img", {ResourceType::Image}, false);
    postInput = new InputPin("post", {ResourceType::PostEffect}, true);
    declaredInputs.push_back(imageInput);
    declaredInputs.push_back(postInput);
    imageOutput = AddOutput("img", ResourceType::Image);
    imageOutput->payload = mainOutput;
    RebuildPinLists();
}

outputbufferfx::~outputbufferfx()
{
    // The store must not keep a record that is about to go.
    if (registeredIn_ && registeredIn_ == currentResources) {
        const auto found = registeredIn_->resources.find(mainOutput->name);
        if (found != registeredIn_->resources.end() && found->second == mainOutput)
            registeredIn_->remove(mainOutput);
    }
    fbDestroy(source);
    fbDestroy(destination);
    delete mainOutput;
}

void outputbufferfx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

void outputbufferfx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.functionItems.emplace_back([this](Camera* camera, Timestep time) { RunPostChain(camera, time); }, this);
}

template <typename T>
T* outputbufferfx::linkedPayload(int32_t linkId, int32_t type)
{
    OutputPin* pin = GraphManager::FindOutputPin(linkId);
    if (!pin || !pin->payload)
        return nullptr;
    T* payload = resourceCast<T>(pin->payload, type);
    if (!payload && reportedLinks_.insert(linkId).second)
        LOG_WARNING("%s: link %d carries resource type %d where type %d is expected; ignored", name.c_str(), linkId,
                    pin->payload->type, type);
    return payload;
}

void outputbufferfx::RunPostChain(Camera*, Timestep time)
{
    if (!source) {
        source = fbCreate((name + "/src").c_str());
        destination = fbCreate((name + "/dst").c_str());
    }
    if (imageInput->links.empty())
        return;
    auto* image = linkedPayload<ImageResource>(imageInput->links.front(), ResourceType::Image);
    if (!image || !image->texture)
        return;
    if (postInput->links.empty()) {
        mainOutput->texture = image->texture;
        return;
    }

    Texture* colorIn = image->texture;
    Texture* depthIn = nullptr; // producers hand no depth in this system
    Texture* colorOut = txtGetCachedTexture(screenWidth, screenHeight, IMAGE_TYPE_RGBA16F);
    Texture* depthOut = txtGetCachedTexture(screenWidth, screenHeight, IMAGE_TYPE_DEPTH32F);
    if (!colorOut) {
        LOG_ERROR("%s: no %dx%d scratch texture for the post chain", name.c_str(), screenWidth, screenHeight);
        return;
    }
    int applied = 0;
    for (int32_t link : postInput->links) {
        auto* effect = linkedPayload<PostEffectResource>(link, ResourceType::PostEffect);
        if (!effect)
            continue;
        if (effect->setup)
            effect->setup(nullptr, time);
        fbAttach(source, FB_ATTACHMENT_COLOR0, colorIn);
        fbAttach(source, FB_ATTACHMENT_DEPTH, depthIn);
        fbAttach(destination, FB_ATTACHMENT_COLOR0, colorOut);
        fbAttach(destination, FB_ATTACHMENT_DEPTH, depthOut);
        if (effect->apply)
            effect->apply(nullptr, source, destination, Renderer::PASS_DEFERRED, time);
        std::swap(colorIn, colorOut);
        std::swap(depthIn, depthOut);
        // The producer's own image is never written: the second effect gets a fresh scratch pair.
        if (applied == 0) {
            colorOut = txtGetCachedTexture(screenWidth, screenHeight, IMAGE_TYPE_RGBA16F);
            depthOut = txtGetCachedTexture(screenWidth, screenHeight, IMAGE_TYPE_DEPTH32F);
        }
        ++applied;
    }
    mainOutput->texture = colorIn;
}
