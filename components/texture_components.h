// Texture components: each produces or transforms a 2D texture every frame and hands it on through its output pin
// "txt color" and, while exported, as the project resource "{class}/{name}/Color" that materials look up by name.
// Generators draw from nothing (a user fragment program, an audio spectrum); processors run a compute program
// over the texture of another texture component. Main thread only.
#pragma once

#include "components/component_kit.h"
#include "components/user_program.h"
#include "project/resources.h"

#include <memory>
#include <string>

struct Framebuffer;
struct RenderItemBuilder;
struct Texture;

// The record a texture component exports and publishes on "txt color". The component owns it; while registered
// the project's store lists it under its name.
class TextureExport {
public:
    TextureExport(std::string className, EngineComponent* owner, std::string suffix = "Color");
    ~TextureExport();
    TextureExport(const TextureExport&) = delete;
    TextureExport& operator=(const TextureExport&) = delete;

    // "{class}/{component name}/{suffix}"
    std::string Name() const;
    // Registers the record (made on first use) with the texture as its object; a taken name keeps the store's
    // record, while this one is still published on the pin.
    FileResource* Publish(Texture* texture);
    // Unregisters and forgets the record (pin payloads must be cleared by the caller).
    void Withdraw();
    // Moves the registered record to the component's current name.
    void Rename();

    FileResource* record() const { return record_.get(); }

private:
    std::string className_;
    EngineComponent* owner_;
    std::string suffix_;
    std::unique_ptr<FileResource> record_;
    ResourceManagerStorage* registeredIn_ = nullptr;
};

// The texture of a "txt color" input: the payload of the output pin its first link names, when that is a texture
// record with a texture. Null otherwise.
Texture* linkedTexture(const InputPin* pin);

// The fragment program's transform block as the generator fills it (464 bytes): identity matrices, a projection
// that maps the unit quad onto the whole target, camera at the origin.
struct TransformParams;
TransformParams texgenTransformParams();

class texgencustomfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<texgencustomfx>(name); }
    ~texgencustomfx() override;

    void OnInputConnected(int32_t pinId) override;
    void Init() override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    void OnCvarChanged(Cvar* cvar) override;
    void OnRenamed() override;
    bool IsDependencyOnly() override { return false; }

    // Remakes the output at "Width" x "Height" (each at least 1, written back) in the format of "Type".
    void RecreateOutput();
    // The frame's job: (re)builds the program when due and draws it into the output.
    void process_frame(Timestep time);

    static const char* const kVertexTemplate;
    static const char* const kDefaultProgram;

    Cvar width;
    Cvar height;
    Cvar type;
    Cvar program;
    TextureExport exported;
    OutputPin* output = nullptr;
    Texture* texture = nullptr;
    Framebuffer* framebuffer = nullptr;
    UserProgram userProgram;

protected:
    explicit texgencustomfx(const std::string& name);
    bool CreateGpuObjects() override;
};

// Publishes a colour and a depth texture that nothing fills; its parameters are kept for the project files.
class texgenkinectfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<texgenkinectfx>(name); }
    ~texgenkinectfx() override;

    void OnInputConnected(int32_t pinId) override;
    bool IsDependencyOnly() override { return false; }

    Cvar cropRatio;
    Cvar depthFocus;
    Cvar depthRange;
    Cvar depthBias;
    Cvar depthTracking;
    Cvar depthTrackingCenter;
    Cvar depthTrackingRadius;
    Cvar depthTrackingSpeed;
    TextureExport exportedColor;
    TextureExport exportedDepth;
    OutputPin* colorOutput = nullptr;
    OutputPin* depthOutput = nullptr;
    Texture* colorTexture = nullptr;
    Texture* depthTexture = nullptr;

protected:
    explicit texgenkinectfx(const std::string& name);
    bool CreateGpuObjects() override;
};

// The output format a processor's "Type" asks for: 0 the input's, then RGBA8, RGBA16F, R8, R16F; anything else
// RGBA8.
int texprocessFormat(float typeValue, int inputFormat);

// What the two processors share: the output texture follows the (first) input's size and the chosen format, and
// exists only while there is an input; "Export" registers the record, fills the pin and makes it a frame root.
class texprocessfx : public KitComponent {
public:
    ~texprocessfx() override;

    void OnInputConnected(int32_t pinId) override;
    void OnInputDisconnected(int32_t pinId) override;
    void OnInputChanged(int32_t pinId) override;
    void Init() override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    void OnCvarChanged(Cvar* cvar) override;
    void OnRenamed() override;
    bool IsDependencyOnly() override { return !(exportFlag.value[0] > 0.5f); }

    // Follows the input texture (null: release everything).
    void UpdateOutput(Texture* input);
    virtual void process_frame(Timestep time) = 0;
    // The texture of the pin that gives the output its size.
    virtual Texture* PrimaryInput() const = 0;
    // Dispatches a compute program over the output: ceil(size / 8) groups, then a barrier so that the next
    // reader (sampler or image) sees the writes.
    void DispatchOverOutput();

    Cvar type;
    Cvar exportFlag;
    TextureExport exported;
    OutputPin* output = nullptr;
    Texture* texture = nullptr;
    UserProgram userProgram;

protected:
    texprocessfx(int32_t typeIndex, const std::string& name, const char* className);
    // The output pin; subclasses declare their inputs after it.
    void DeclareOutput();

    const char* className_;
};

class texprocesscustomfx : public texprocessfx {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<texprocesscustomfx>(name); }

    void OnCvarChanged(Cvar* cvar) override;
    void process_frame(Timestep time) override;
    Texture* PrimaryInput() const override { return linkedTexture(input); }

    static const char* const kDefaultProgram;

    Cvar program;
    InputPin* input = nullptr;

protected:
    explicit texprocesscustomfx(const std::string& name);
};

class texprocessmergefx : public texprocessfx {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<texprocessmergefx>(name); }

    void process_frame(Timestep time) override;
    Texture* PrimaryInput() const override { return linkedTexture(input1); }
    bool UsesOutputAsSource2() const { return useOutputAsSource2.value[0] > 0.5f; }

    Cvar source1Factor;
    Cvar source2Factor;
    Cvar operation;
    Cvar useOutputAsSource2;
    InputPin* input1 = nullptr;
    InputPin* input2 = nullptr;

protected:
    explicit texprocessmergefx(const std::string& name);
};

// "TextureProcessParamsBuffer" of the merge program (std140).
struct TextureMergeParams {
    int32_t width = 0;
    int32_t height = 0;
    float widthInv = 0.0f;
    float heightInv = 0.0f;
    int32_t operation = 0;
    int32_t useOutputAsSource2 = 0;
    float source1Factor = 1.0f;
    float source2Factor = 1.0f;
};
static_assert(sizeof(TextureMergeParams) == 32);
