#include "components/post_effects.h"

#include "app/log.h"
#include "app/timing.h"
#include "components/instance_buffers.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_source.h"
#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "render/composite.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace gl;

namespace {

constexpr int kCustomRow = 32;
constexpr int kTonemapRow = 33;
constexpr int kAberrationRow = 34;
constexpr int kGlowRow = 35;

const char* const kTonemapTypes[] = {"Simple", "ACES", "Uncharted", "Reinhardt", "Haarm", nullptr};

// Opens the GL debug group with the effect's label and closes it however the apply ends.
class DebugGroup {
public:
    explicit DebugGroup(const std::string& label)
    {
        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, static_cast<GLsizei>(label.size()), label.c_str());
    }
    ~DebugGroup() { glPopDebugGroup(); }
    DebugGroup(const DebugGroup&) = delete;
    DebugGroup& operator=(const DebugGroup&) = delete;
};

Texture* colorOf(Framebuffer* framebuffer)
{
    return framebuffer ? framebuffer->slots[FB_ATTACHMENT_COLOR0].texture : nullptr;
}

float mean3(const float v[4]) { return (v[0] + v[1] + v[2]) / 3.0f; }

constexpr ParameterBinding<postcustomfx, PostprocessParams> kCustomParams[] = {
    {&postcustomfx::param1, KIT_FIELD(PostprocessParams, param1)},
    {&postcustomfx::param2, KIT_FIELD(PostprocessParams, param2)},
};
static_assert(bindingsFit(kCustomParams));

} // namespace

// ---- Shared frame ----

posteffectfx::posteffectfx(int32_t typeIndex, const std::string& name, const char* className)
    : KitComponent(typeIndex, name), className_(className)
{
}

posteffectfx::~posteffectfx() { delete payload; }

void posteffectfx::Publish(RenderFunctionCallback setup)
{
    payload = new PostEffectResource(Label());
    payload->setup = setup ? std::move(setup) : [](Camera*, Timestep) {};
    payload->apply = [this](Camera* camera, Framebuffer* source, Framebuffer* destination, Renderer::Pass pass,
                            Timestep time) { Apply(camera, source, destination, pass, time); };
    post = AddOutput("post", ResourceType::PostEffect);
    post->payload = payload;
}

void posteffectfx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

std::string posteffectfx::Label() const { return std::string(className_) + ":" + name; }

// ---- Glow ----

postglowfx::postglowfx(const std::string& name) : posteffectfx(kGlowRow, name, "postglowfx")
{
    CvarTreeRegisterFloat(&intensity, "Intensity", 1.0f, 0.0f, 5.0f);
    CvarTreeRegisterFloat(&passes, "Passes", 1.0f, 0.0f, 24.0f);
    CvarTreeRegisterColor(&color, "Color", 1.0f, 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterColor(&threshold, "Threshold", 0.1f, 0.1f, 0.1f, 1.0f);
    CloseBranch();
    Publish();
}

bool postglowfx::CreateGpuObjects()
{
    work = fbCreate((name + "/temp/framebuffer").c_str());
    blurProgram = shaderLoadProgramStages("shaders/basic.vsh", "shaders/post/glow.fsh", "", "", "",
                                          ShaderDefines{{"PASS_BLUR", "1"}});
    mergeProgram = shaderLoadProgramStages("shaders/basic.vsh", "shaders/post/glow.fsh", "", "", "",
                                           ShaderDefines{{"PASS_MERGE", "1"}});
    return true;
}

postglowfx::~postglowfx()
{
    shaderDeleteProgram(blurProgram);
    shaderDeleteProgram(mergeProgram);
    txtDestroy(blurA);
    txtDestroy(blurB);
    fbDestroy(work);
}

int postglowfx::PassCount(float value)
{
    if (!(value >= 1.0f))
        return 1;
    return static_cast<int>(std::min(value, 32.0f));
}

void postglowfx::Apply(Camera*, Framebuffer* source, Framebuffer* destination, Renderer::Pass, Timestep time)
{
    const std::string label = Label();
    DebugGroup group(label);
    if (!source)
        return;

    // The source's size is known only after its attachments were set up.
    if (fbCurrent == source) {
        setcurrent(source);
    } else {
        fbPush();
        setcurrent(source);
        fbPop();
    }
    const int w = source->width >> 1;
    const int h = source->height >> 1;
    if (w < 1 || h < 1)
        return;
    if (!blurA || blurA->images[0]->width != w || blurA->images[0]->height != h) {
        txtDestroy(blurA);
        txtDestroy(blurB);
        blurA = txtCreateTarget("Glow blur A", w, h, IMAGE_TYPE_RGBA16F);
        blurB = txtCreateTarget("Glow blur B", w, h, IMAGE_TYPE_RGBA16F);
        if (!blurA || !blurB) {
            txtDestroy(blurA);
            txtDestroy(blurB);
            blurA = blurB = nullptr;
            return;
        }
    }
    // A program that failed to build would only fill the log every frame.
    if (!blurProgram || blurProgram->errors)
        return;

    ScopedGpuTimer timer(label, true);
    const int n = PassCount(passes.value[0]);
    shaderUseProgram(blurProgram);
    Texture* read = colorOf(source);
    for (int i = 0; i < n; ++i) {
        Texture* target = (i & 1) ? blurB : blurA;
        fbAttach(work, FB_ATTACHMENT_COLOR0, target);
        const float iteration = static_cast<float>(i);
        shaderSetUniform(blurProgram, "vGlowIteration", UNIFORM_TYPE_FLOAT, &iteration, sizeof iteration);
        const float none[3] = {0.0f, 0.0f, 0.0f};
        shaderSetUniform(blurProgram, "vGlowThreshold", UNIFORM_TYPE_VEC3, i == 0 ? threshold.value : none,
                         3 * sizeof(float));
        composite(work, blurProgram, &time, read, nullptr);
        read = target;
    }
    lastBlur = read;

    if (!mergeProgram || mergeProgram->errors)
        return;
    shaderUseProgram(mergeProgram);
    const float k = intensity.value[0];
    const float glowColor[3] = {color.value[0] * k, color.value[1] * k, color.value[2] * k};
    shaderSetUniform(mergeProgram, "vGlowColor", UNIFORM_TYPE_VEC3, glowColor, sizeof glowColor);
    composite(destination, mergeProgram, &time, colorOf(source), read, nullptr);
}

// ---- Tonemap ----

TonemapGrading tonemapGrading(const float lift[4], const float gamma[4], const float gain[4])
{
    TonemapGrading g{};
    const float ml = mean3(lift);
    const float mg = mean3(gamma);
    const float mn = mean3(gain);
    for (int c = 0; c < 3; ++c) {
        g.lift[c] = lift[c] - ml + lift[3];
        g.gain[c] = gain[c] - mn + gain[3] + 1.0f;
        const float quotient = std::log((0.5f - g.lift[c]) / (g.gain[c] - g.lift[c])) /
                               std::log(gamma[c] - mg + gamma[3] + 0.5f);
        g.invGamma[c] = static_cast<float>(1.0 / static_cast<double>(quotient));
    }
    g.invGamma[3] = 1.0f;
    return g;
}

posttonemapfx::posttonemapfx(const std::string& name) : posteffectfx(kTonemapRow, name, "posttonemapfx")
{
    CvarTreeRegisterEnum(&type, "Type", kTonemapTypes, 0);
    CvarTreeRegisterColor(&lift, "Lift", 0.0f, 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterColor(&gamma, "Gamma", 0.0f, 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterColor(&gain, "Gain", 0.0f, 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterColor(&contrast, "Contrast", 0.0f, 0.0f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&exposure, "Exposure", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&blend, "Blend", 1.0f, 0.0f, 2.0f);
    CvarTreeRegisterFloat(&saturation, "Saturation", 1.0f, 0.0f, 2.0f);
    lift.animatable = gamma.animatable = gain.animatable = contrast.animatable = true;
    exposure.animatable = saturation.animatable = true;
    CloseBranch();
    Publish();
}

bool posttonemapfx::CreateGpuObjects()
{
    program = shaderLoadProgram("shaders/basic.vsh", "shaders/post/tonemap.fsh", shaderGlobalDefines);
    return true;
}

posttonemapfx::~posttonemapfx() { shaderDeleteProgram(program); }

void posttonemapfx::Apply(Camera*, Framebuffer* source, Framebuffer* destination, Renderer::Pass, Timestep time)
{
    DebugGroup group(Label());
    if (!program || program->errors)
        return;
    const TonemapGrading g = tonemapGrading(lift.value, gamma.value, gain.value);
    const float liftU[4] = {g.lift[0], g.lift[1], g.lift[2], 0.0f};
    const float gainU[4] = {g.gain[0], g.gain[1], g.gain[2], 0.0f};
    const int typeIndex = static_cast<int>(type.value[0]);
    shaderUseProgram(program);
    shaderSetUniform(program, "color_lift", UNIFORM_TYPE_VEC4, liftU, sizeof liftU);
    shaderSetUniform(program, "color_inv_gamma", UNIFORM_TYPE_VEC4, g.invGamma, sizeof g.invGamma);
    shaderSetUniform(program, "color_gain", UNIFORM_TYPE_VEC4, gainU, sizeof gainU);
    shaderSetUniform(program, "color_contrast", UNIFORM_TYPE_VEC4, contrast.value, sizeof contrast.value);
    shaderSetUniform(program, "color_saturation", UNIFORM_TYPE_FLOAT, saturation.value, sizeof(float));
    shaderSetUniform(program, "exposure", UNIFORM_TYPE_FLOAT, exposure.value, sizeof(float));
    shaderSetUniform(program, "tonemap_blend", UNIFORM_TYPE_FLOAT, blend.value, sizeof(float));
    shaderSetUniform(program, "tonemap_type", UNIFORM_TYPE_INT, &typeIndex, sizeof typeIndex);
    composite(destination, program, &time, colorOf(source), nullptr);
}

// ---- Custom ----

const char* const postcustomfx::kVertexTemplate = R"(#version 430
#include <shaders/materials/commons.glsl>

layout(std430) readonly buffer VTXCoords
{
    float coords[];
};

layout(std430) readonly buffer VTXUV0
{
    float uv0[];
};

vec3 loadCoords(int v) { return vec3(coords[3 * v], coords[3 * v + 1], coords[3 * v + 2]); }
vec2 loadUV0(int v) { return vec2(uv0[2 * v], uv0[2 * v + 1]); }

uniform mat4 mModelview;
uniform mat4 mProjection;

out vec2 vTexcoord0;

void main()
{
    // The engine's matrices are row-major: the vector goes on the left.
    gl_Position = vec4(loadCoords(gl_VertexID), 1.0) * mModelview * mProjection;
    vTexcoord0 = loadUV0(gl_VertexID);
}
)";

const char* const postcustomfx::kDefaultProgram = R"(#version 430

in vec2 vTexcoord0;

uniform sampler2D s_texture0;
uniform vec2 vResolution;
uniform vec2 vResolutionInv;

layout(location = 0) out vec4 outColor;

void main()
{
    outColor = texture(s_texture0, vTexcoord0);
}
)";

postcustomfx::postcustomfx(const std::string& name) : posteffectfx(kCustomRow, name, "postcustomfx")
{
    CvarTreeRegisterFloat(&param1, "Param1", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&param2, "Param2", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterResource(&texture1, "Texture1", "", ResourceType::Texture);
    CvarTreeRegisterResource(&texture2, "Texture2", "", ResourceType::Texture);
    CvarTreeRegisterText(&program, "program", kDefaultProgram);
    param1.animatable = param2.animatable = true;
    CloseBranch();
    Publish([this](Camera* camera, Timestep time) { setup_frame(camera, time); });
}

postcustomfx::~postcustomfx() { shaderDeleteProgram(userProgram); }

void postcustomfx::OnCvarChanged(Cvar* cvar)
{
    if (cvar == &program)
        rebuildCountdown = 50;
}

void postcustomfx::setup_frame(Camera*, Timestep)
{
    if (rebuildCountdown == 1 || !userProgram) {
        // The replaced program has no other user, so it goes now rather than leaking per edit.
        shaderDeleteProgram(userProgram);
        userProgram = shaderBuildProgramFromStrings(name, kVertexTemplate, program.text, shaderGlobalDefines);
        rebuildCountdown = 0;
        LOG_INFO("Compiled shader from:<%s>", program.text.c_str());
    }
    if (rebuildCountdown > 0)
        --rebuildCountdown;
}

PostprocessParams postcustomfx::Params() const
{
    PostprocessParams params;
    writeParameters(*this, kCustomParams, params);
    return params;
}

void postcustomfx::Apply(Camera*, Framebuffer* source, Framebuffer* destination, Renderer::Pass, Timestep time)
{
    const std::string label = Label();
    DebugGroup group(label);
    if (!userProgram || userProgram->errors)
        return;

    TextureBindings textures;
    const std::pair<Cvar*, const char*> samplers[] = {{&texture1, "sImage1"}, {&texture2, "sImage2"}};
    for (const auto& [cvar, sampler] : samplers) {
        if (cvar->text.empty() || !currentResources)
            continue;
        auto* record = resourceCast<FileResource>(
            currentResources->get_by_name_type(cvar->text, ResourceType::Texture), ResourceType::Texture);
        Texture* texture = record ? record->GetTexture() : nullptr;
        if (texture && texture->imageCount > 0)
            textures[sampler] = TextureBinding{texture->images[0]->type, 0, texture->glId, texture->samplerType};
    }

    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    const PostprocessParams params = Params();
    shaderBindingsAddData(buffers, "PostprocessParams", &params, sizeof params);

    shaderUseProgram(userProgram);
    shaderBindBuffers(userProgram, buffers);
    shaderBindTextures(userProgram, textures);
    ScopedGpuTimer timer(label, true);
    composite(destination, userProgram, &time, colorOf(source), nullptr);
}

// ---- Aberration ----

postaberrationfx::postaberrationfx(const std::string& name) : posteffectfx(kAberrationRow, name, "postaberrationfx")
{
    CvarTreeRegisterFloat(&strength, "Strength", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&spread, "Spread", 1.0f, 0.0f, 10.0f);
    CloseBranch();
    Publish();
}

bool postaberrationfx::CreateGpuObjects()
{
    program = shaderLoadProgram("shaders/basic.vsh", "shaders/blur/radial.fsh", shaderGlobalDefines);
    return true;
}

postaberrationfx::~postaberrationfx() { shaderDeleteProgram(program); }

void postaberrationfx::Apply(Camera*, Framebuffer* source, Framebuffer* destination, Renderer::Pass, Timestep time)
{
    const std::string label = Label();
    DebugGroup group(label);
    if (!program || program->errors)
        return;
    ScopedGpuTimer timer(label, true);
    shaderUseProgram(program);
    shaderSetUniform(program, "strength", UNIFORM_TYPE_FLOAT, strength.value, sizeof(float));
    shaderSetUniform(program, "spread", UNIFORM_TYPE_FLOAT, spread.value, sizeof(float));
    composite(destination, program, &time, colorOf(source), nullptr);
}
