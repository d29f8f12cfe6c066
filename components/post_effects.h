// Post effects: components that turn one colour image into another with full-screen passes. None draws by
// itself; each publishes a PostEffectResource on "post", and an image output buffer runs the linked effects in a
// chain between two framebuffers.
#pragma once

#include "components/component_kit.h"
#include "project/resources.h"
#include "render/render_graph.h"

#include <functional>
#include <string>

struct Framebuffer;
struct ShaderProgram;
struct Texture;

// Reads the source framebuffer's COLOR0 texture and draws the result into the destination.
using PostEffectCallback =
    std::function<void(Camera* camera, Framebuffer* source, Framebuffer* destination, Renderer::Pass pass, Timestep)>;

// Kind 13: payload of every "post" output. It carries the Resource head so a consumer can check the type of a
// hand-edited link before calling into it.
struct PostEffectResource : Resource {
    RenderFunctionCallback setup; // once per chain run, before apply
    PostEffectCallback apply;

    explicit PostEffectResource(std::string name) : Resource(ResourceType::PostEffect, std::move(name)) {}
};

// What the four effects share: the "post" pin with its record, and the debug label.
class posteffectfx : public KitComponent {
public:
    ~posteffectfx() override;

    void OnInputConnected(int32_t pinId) override;

    // "{class}:{name}"
    std::string Label() const;
    // The apply callback of the published record.
    virtual void Apply(Camera* camera, Framebuffer* source, Framebuffer* destination, Renderer::Pass pass,
                       Timestep time) = 0;

    OutputPin* post = nullptr;
    PostEffectResource* payload = nullptr;

protected:
    posteffectfx(int32_t typeIndex, const std::string& name, const char* className);
    // Registers the pin and record; apply calls Apply, set-up does nothing unless one is given.
    void Publish(RenderFunctionCallback setup = {});

private:
    const char* className_;
};

class postglowfx : public posteffectfx {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<postglowfx>(name); }
    ~postglowfx() override;

    void Apply(Camera* camera, Framebuffer* source, Framebuffer* destination, Renderer::Pass pass,
               Timestep time) override;
    // Blur passes for a "Passes" value: 1 below 1, else its integer part up to 32.
    static int PassCount(float passes);

    Cvar threshold;
    Cvar color;
    Cvar passes;
    Cvar intensity;
    ShaderProgram* blurProgram = nullptr;
    ShaderProgram* mergeProgram = nullptr;
    Texture* blurA = nullptr; // half the source size; made on the first apply
    Texture* blurB = nullptr;
    Framebuffer* work = nullptr;
    Texture* lastBlur = nullptr; // the texture the last merge read

protected:
    explicit postglowfx(const std::string& name);
    // The work framebuffer and the two programs; the blur textures follow the source's size.
    bool CreateGpuObjects() override;
};

// The uniforms the tonemap derives from its colour wheels.
struct TonemapGrading {
    float lift[4];
    float invGamma[4];
    float gain[4];
};
// lift_c = L.c - mean(L) + L.w; gain_c = N.c - mean(N) + N.w + 1;
// inv_gamma_c = 1 / (ln((0.5 - lift_c) / (gain_c - lift_c)) / ln(G.c - mean(G) + G.w + 0.5)).
TonemapGrading tonemapGrading(const float lift[4], const float gamma[4], const float gain[4]);

class posttonemapfx : public posteffectfx {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<posttonemapfx>(name); }
    ~posttonemapfx() override;

    void Apply(Camera* camera, Framebuffer* source, Framebuffer* destination, Renderer::Pass pass,
               Timestep time) override;

    Cvar lift;
    Cvar gamma;
    Cvar gain;
    Cvar type;
    Cvar contrast;
    Cvar blend;
    Cvar exposure;
    Cvar saturation;
    ShaderProgram* program = nullptr;

protected:
    explicit posttonemapfx(const std::string& name);
    bool CreateGpuObjects() override;
};

// The custom effect's "PostprocessParams" block (std140).
struct PostprocessParams {
    float param1 = 0.0f;
    float param2 = 0.0f;
    float reserved[2] = {0.0f, 0.0f};
};
static_assert(sizeof(PostprocessParams) == 16);

class postcustomfx : public posteffectfx {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<postcustomfx>(name); }
    ~postcustomfx() override;

    // An edit of "program" restarts the 50-frame countdown to the rebuild.
    void OnCvarChanged(Cvar* cvar) override;
    void setup_frame(Camera* camera, Timestep time);
    void Apply(Camera* camera, Framebuffer* source, Framebuffer* destination, Renderer::Pass pass,
               Timestep time) override;
    // "Param1" and "Param2" as the program reads them.
    PostprocessParams Params() const;

    static const char* const kVertexTemplate;
    static const char* const kDefaultProgram;

    Cvar program;
    Cvar texture1;
    Cvar texture2;
    Cvar param1;
    Cvar param2;
    ShaderProgram* userProgram = nullptr; // built from "program" by the first set-up
    int rebuildCountdown = 1;

protected:
    explicit postcustomfx(const std::string& name);
};

class postaberrationfx : public posteffectfx {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<postaberrationfx>(name); }
    ~postaberrationfx() override;

    void Apply(Camera* camera, Framebuffer* source, Framebuffer* destination, Renderer::Pass pass,
               Timestep time) override;

    Cvar strength;
    Cvar spread;
    ShaderProgram* program = nullptr;

protected:
    explicit postaberrationfx(const std::string& name);
    bool CreateGpuObjects() override;
};
