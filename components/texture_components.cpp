#include "components/texture_components.h"

#include "app/log.h"
#include "app/timing.h"
#include "components/instance_buffers.h"
#include "components/primitive_renderer.h"
#include "jni/engine/grd_framebuffer.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_source.h"
#include "jni/engine/grd_texture.h"
#include "project/graph.h"
#include "project/project.h"
#include "render/composite.h"
#include "render/render_graph.h"
#include "render/shader_inputs.h"

#include <glbinding/gl/gl.h>

#include <algorithm>

using namespace gl;

namespace {

constexpr int kKinectRow = 44;
constexpr int kCustomRow = 45;
constexpr int kProcessCustomRow = 49;
constexpr int kProcessMergeRow = 50;
constexpr int kGroupSize = 8;

const char* const kGeneratorTypes[] = {"RGBA8", "RGBA16", nullptr};
const char* const kProcessTypes[] = {"Inherit", "Override as RGBA8", "Override as RGBA16", "Override as R8",
                                     "Override as R16", nullptr};
const char* const kMergeOperations[] = {"Replace", "Add", "Multiply", nullptr};

// Opens the GL debug group "{name}:Generate" and closes it however the job ends.
class GenerateGroup {
public:
    explicit GenerateGroup(const std::string& name)
    {
        const std::string label = name + ":Generate";
        glPushDebugGroup(GL_DEBUG_SOURCE_APPLICATION, 1, static_cast<GLsizei>(label.size()), label.c_str());
    }
    ~GenerateGroup() { glPopDebugGroup(); }
    GenerateGroup(const GenerateGroup&) = delete;
    GenerateGroup& operator=(const GenerateGroup&) = delete;
};

ImageType generatorFormat(float typeValue)
{
    return static_cast<int>(typeValue) == 1 ? IMAGE_TYPE_RGBA16F : IMAGE_TYPE_RGBA8;
}

int atLeastOne(Cvar& cvar)
{
    if (!(cvar.value[0] >= 1.0f))
        cvar.value[0] = 1.0f;
    cvar.value[0] = std::min(cvar.value[0], static_cast<float>(IMAGE_MAX_DIMENSION));
    return static_cast<int>(cvar.value[0]);
}

ImageType formatOf(const Texture* texture)
{
    return texture && texture->imageCount > 0 ? texture->images[0]->type : 0;
}

} // namespace

// ---- Exported record ----

TextureExport::TextureExport(std::string className, EngineComponent* owner, std::string suffix)
    : className_(std::move(className)), owner_(owner), suffix_(std::move(suffix))
{
}

TextureExport::~TextureExport() { Withdraw(); }

std::string TextureExport::Name() const { return className_ + "/" + owner_->name + "/" + suffix_; }

FileResource* TextureExport::Publish(Texture* texture)
{
    if (!record_)
        record_ = std::make_unique<FileResource>(ResourceType::Texture, Name(), nullptr);
    record_->object = texture;
    if (!registeredIn_ && currentResources && currentResources->add(record_.get()))
        registeredIn_ = currentResources;
    return record_.get();
}

void TextureExport::Withdraw()
{
    if (!record_)
        return;
    // The store may have been replaced (another project) since: only take out what is still ours.
    if (registeredIn_ && registeredIn_ == currentResources) {
        const auto found = registeredIn_->resources.find(record_->name);
        if (found != registeredIn_->resources.end() && found->second == record_.get())
            registeredIn_->remove(record_.get());
    }
    registeredIn_ = nullptr;
    record_.reset();
}

void TextureExport::Rename()
{
    if (!record_)
        return;
    if (registeredIn_ && registeredIn_ == currentResources)
        registeredIn_->rename(record_.get(), Name());
    else
        record_->name = Name();
}

Texture* linkedTexture(const InputPin* pin)
{
    if (!pin || pin->links.empty())
        return nullptr;
    OutputPin* source = GraphManager::FindOutputPin(pin->links.front());
    auto* record = source ? resourceCast<FileResource>(source->payload, ResourceType::Texture) : nullptr;
    Texture* texture = record ? record->GetTexture() : nullptr;
    return texture && texture->imageCount > 0 && texture->images[0] ? texture : nullptr;
}

TransformParams texgenTransformParams()
{
    TransformParams params;
    // Row by row: the unit quad (-0.5 .. 0.5) covers clip space, y turned so that row 0 of the texture is v = 0.
    const float projection[16] = {2, 0, 0, 0, 0, -2, 0, 0, 0, 0, 0.5f, 0.5f, 0, 0, 0, 1};
    std::copy(projection, projection + 16, params.projection.m);
    return params;
}

// ---- Custom generator ----

const char* const texgencustomfx::kVertexTemplate = R"(#version 430
#include <shaders/materials/commons.glsl>

layout(std140, row_major) uniform TransformParamsBuffer
{
    EntityTransformParams transform_params;
};

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

out vec2 vTexcoord0;

void main()
{
    gl_Position = transform_params.mProjection * transform_params.mModelView * vec4(loadCoords(gl_VertexID), 1.0);
    vTexcoord0 = loadUV0(gl_VertexID);
}
)";

const char* const texgencustomfx::kDefaultProgram = R"(#version 430

in vec2 vTexcoord0;

uniform vec2 vResolution;
uniform vec2 vResolutionInv;

layout(location = 0) out vec4 outColor;

void main()
{
    outColor = vec4(1.0, 0.0, 0.5, 1.0);
}
)";

texgencustomfx::texgencustomfx(const std::string& name)
    : KitComponent(kCustomRow, name), exported("texgencustomfx", this)
{
    CvarTreeRegisterEnum(&type, "Type", kGeneratorTypes, 0);
    CvarTreeRegisterInt(&width, "Width", 256);
    CvarTreeRegisterInt(&height, "Height", 256);
    CvarTreeRegisterText(&program, "Program", kDefaultProgram);
    CloseBranch();
    output = AddOutput("txt color", ResourceType::Texture);
}

bool texgencustomfx::CreateGpuObjects()
{
    texture = txtCreateNamed((name + ":Output").c_str(), TEXTURE_TYPE_2D, 256, 256, IMAGE_TYPE_RGBA8);
    output->payload = exported.Publish(texture);
    framebuffer = fbCreate((name + ":Framebuffer").c_str());
    if (texture)
        fbAttach(framebuffer, FB_ATTACHMENT_COLOR0, texture);
    return true;
}

texgencustomfx::~texgencustomfx()
{
    if (output)
        output->payload = nullptr;
    exported.Withdraw();
    fbDestroy(framebuffer);
    txtDestroy(texture);
}

void texgencustomfx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

void texgencustomfx::Init() { RecreateOutput(); }

void texgencustomfx::RecreateOutput()
{
    const int w = atLeastOne(width);
    const int h = atLeastOne(height);
    txtDestroy(texture);
    texture = txtCreateNamed((name + ":Output").c_str(), TEXTURE_TYPE_2D, w, h, generatorFormat(type.value[0]));
    output->payload = exported.Publish(texture);
}

void texgencustomfx::OnCvarChanged(Cvar* cvar)
{
    if (cvar == &program)
        userProgram.Edited();
    else if (cvar == &width || cvar == &height || cvar == &type)
        RecreateOutput();
}

void texgencustomfx::OnRenamed() { exported.Rename(); }

void texgencustomfx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.functionItems.emplace_back([this](Camera*, Timestep time) { process_frame(time); }, this);
    builder.functionItems.back().beforeScene = true;
}

void texgencustomfx::process_frame(Timestep time)
{
    GenerateGroup group(name);
    ShaderProgram* active = userProgram.Update(name, [this] {
        LOG_INFO("Compiled shader from:<%s>", program.text.c_str());
        return shaderBuildProgramFromStrings(name, kVertexTemplate, program.text, shaderGlobalDefines);
    });
    if (!active || !texture || !framebuffer)
        return;

    ScopedGpuTimer timer("texgencustomfx:" + name, false);
    shaderUseProgram(active);
    TransformParams params = texgenTransformParams();
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    shaderBindingsAddData(buffers, "TransformParamsBuffer", &params, sizeof params);
    shaderBindBuffers(active, buffers);
    fbAttach(framebuffer, FB_ATTACHMENT_COLOR0, texture);
    composite(framebuffer, active, &time, nullptr);
}

// ---- Kinect generator ----

texgenkinectfx::texgenkinectfx(const std::string& name)
    : KitComponent(kKinectRow, name), exportedColor("texgenkinectfx", this), exportedDepth("texgenkinectfx", this, "Depth")
{
    CvarTreeRegisterVec2(&cropRatio, "Crop Ratio", 1.0f, 1.0f);
    CvarTreeRegisterFloat(&depthFocus, "Depth Focus", 0.0f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&depthRange, "Depth Range", 1.0f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&depthBias, "Depth Bias", 0.0f, -1.0f, 1.0f);
    CvarTreeRegisterBool(&depthTracking, "Depth Tracking", 1.0f);
    CvarTreeRegisterVec2(&depthTrackingCenter, "Depth Tracking Center", 0.5f, 0.5f);
    CvarTreeRegisterVec2(&depthTrackingRadius, "Depth Tracking Radius", 0.08f, 0.1f);
    CvarTreeRegisterFloat(&depthTrackingSpeed, "Depth Tracking Speed", 0.2f, 0.0f, 1.0f);
    CloseBranch();
    colorOutput = AddOutput("txt color", ResourceType::Texture);
    depthOutput = AddOutput("txt depth", ResourceType::Texture);
}

bool texgenkinectfx::CreateGpuObjects()
{
    colorTexture = txtCreate(TEXTURE_TYPE_2D, 640, 480, IMAGE_TYPE_RGBA8);
    depthTexture = txtCreate(TEXTURE_TYPE_2D, 640, 480, IMAGE_TYPE_R32F);
    txtSetupForGL(colorTexture);
    txtSetupForGL(depthTexture);
    // Published under both names, but the pins stay empty: there is no camera behind them.
    exportedColor.Publish(colorTexture);
    exportedDepth.Publish(depthTexture);
    return true;
}

texgenkinectfx::~texgenkinectfx()
{
    exportedColor.Withdraw();
    exportedDepth.Withdraw();
    txtDestroy(colorTexture);
    txtDestroy(depthTexture);
}

void texgenkinectfx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

// ---- Processors ----

int texprocessFormat(float typeValue, int inputFormat)
{
    switch (static_cast<int>(typeValue)) {
    case 0: return inputFormat;
    case 1: return IMAGE_TYPE_RGBA8;
    case 2: return IMAGE_TYPE_RGBA16F;
    case 3: return IMAGE_TYPE_R8;
    case 4: return IMAGE_TYPE_R16F;
    default: return IMAGE_TYPE_RGBA8;
    }
}

texprocessfx::texprocessfx(int32_t typeIndex, const std::string& name, const char* className)
    : KitComponent(typeIndex, name), exported(className, this), className_(className)
{
    CvarTreeRegisterEnum(&type, "Type", kProcessTypes, 0);
    CvarTreeRegisterBool(&exportFlag, "Export", 0.0f);
}

void texprocessfx::DeclareOutput() { output = AddOutput("txt color", ResourceType::Texture); }

texprocessfx::~texprocessfx()
{
    if (output)
        output->payload = nullptr;
    exported.Withdraw();
    txtDestroy(texture);
}

void texprocessfx::OnInputConnected(int32_t pinId) { OnInputChanged(pinId); }
void texprocessfx::OnInputDisconnected(int32_t pinId) { OnInputChanged(pinId); }
void texprocessfx::OnInputChanged(int32_t)
{
    UpdateOutput(PrimaryInput());
    userProgram.countdown = 1;
}
void texprocessfx::Init()
{
    UpdateOutput(PrimaryInput());
    userProgram.countdown = 1;
}

void texprocessfx::OnCvarChanged(Cvar*) { UpdateOutput(PrimaryInput()); }

void texprocessfx::OnRenamed() { exported.Rename(); }

void texprocessfx::UpdateOutput(Texture* input)
{
    const bool exporting = exportFlag.value[0] > 0.5f;
    if (!input) {
        txtDestroy(texture);
        texture = nullptr;
        exported.Withdraw();
        output->payload = nullptr;
        return;
    }
    const Image* source = input->images[0];
    const int wanted = texprocessFormat(type.value[0], source->type);
    const bool remake = !texture || (exporting != (exported.record() != nullptr)) ||
                        texture->images[0]->width != source->width || texture->images[0]->height != source->height ||
                        formatOf(texture) != wanted;
    if (remake) {
        const bool formatChanged = formatOf(texture) != wanted;
        txtDestroy(texture);
        exported.Withdraw();
        texture = txtCreateNamed((name + ":Output").c_str(), TEXTURE_TYPE_2D, source->width, source->height, wanted);
        if (exporting && texture)
            exported.Publish(texture);
        // The image format is compiled into the program.
        if (formatChanged)
            userProgram.Invalidate();
        else
            userProgram.countdown = 1;
    }
    output->payload = exported.record();
}

void texprocessfx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.functionItems.emplace_back([this](Camera*, Timestep time) { process_frame(time); }, this);
    builder.functionItems.back().beforeScene = true;
}

void texprocessfx::DispatchOverOutput()
{
    const Image* image = texture->images[0];
    const GLuint groupsX = static_cast<GLuint>((image->width + kGroupSize - 1) / kGroupSize);
    const GLuint groupsY = static_cast<GLuint>((image->height + kGroupSize - 1) / kGroupSize);
    glDispatchCompute(groupsX, groupsY, 1);
    // Consumers sample the result or read it as an image in the same frame.
    glMemoryBarrier(GL_SHADER_IMAGE_ACCESS_BARRIER_BIT | GL_TEXTURE_FETCH_BARRIER_BIT |
                    GL_TEXTURE_UPDATE_BARRIER_BIT | GL_FRAMEBUFFER_BARRIER_BIT);
}

// ---- Custom processor ----

const char* const texprocesscustomfx::kDefaultProgram = R"(#version 430

layout(local_size_x = 8, local_size_y = 8) in;

struct TextureProcessParams {
    int width;
    int height;
    float width_inv;
    float height_inv;
};

layout(std140, row_major) uniform TextureProcessParamsBuffer
{
    TextureProcessParams texture_process_params;
};

uniform sampler2D sSource;
// Format will be replaced by caller/preprocessor based on actual output texture
layout(OUTPUT_FORMAT) uniform writeonly image2D imDest;

void main()
{
    ivec2 pixel = ivec2(gl_WorkGroupID.xy * gl_WorkGroupSize.xy + gl_LocalInvocationID.xy);
    // The last groups reach past the edges of sizes that are not multiples of 8.
    if (pixel.x >= texture_process_params.width || pixel.y >= texture_process_params.height)
        return;
    float red = texelFetch(sSource, pixel, 0).r;
    imageStore(imDest, pixel, vec4(red));
}
)";

texprocesscustomfx::texprocesscustomfx(const std::string& name)
    : texprocessfx(kProcessCustomRow, name, "texprocesscustomfx")
{
    CvarTreeRegisterText(&program, "Program", kDefaultProgram);
    CloseBranch();
    DeclareOutput();
    input = new InputPin("txt color", {ResourceType::Texture}, false);
    declaredInputs.push_back(input);
    RebuildPinLists();
}

void texprocesscustomfx::OnCvarChanged(Cvar* cvar)
{
    if (cvar == &program)
        userProgram.Edited();
    texprocessfx::OnCvarChanged(cvar);
}

void texprocesscustomfx::process_frame(Timestep time)
{
    if (!texture)
        return;
    GenerateGroup group(name);
    const char* formatWord = txtGetInternalFormatName(formatOf(texture));
    ShaderProgram* active = userProgram.Update(name, [this, formatWord] {
        LOG_INFO("Compiled shader from:<%s>", program.text.c_str());
        ShaderStage* stage = shaderBuildGenericFromString(name, program.text, GL_COMPUTE_SHADER,
                                                          ShaderDefines{{"OUTPUT_FORMAT", formatWord}});
        return shaderBuildProgramCompute(stage);
    });
    Texture* source = linkedTexture(input);
    if (!active || !source)
        return;

    ScopedGpuTimer timer(std::string(className_) + ":" + name, false);
    shaderUseProgram(active);
    rendererBindGlobalInputs(active, time);
    const Image* out = texture->images[0];
    struct {
        int32_t width, height;
        float widthInv, heightInv;
    } params{out->width, out->height, 1.0f / static_cast<float>(out->width), 1.0f / static_cast<float>(out->height)};
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    shaderBindingsAddData(buffers, "TextureProcessParamsBuffer", &params, sizeof params);
    shaderBindBuffers(active, buffers);
    TextureBindings textures;
    textures["sSource"] = TextureBinding{formatOf(source), 0, source->glId, SAMPLER_LINEAR_CLAMP};
    textures["imDest"] = TextureBinding{formatOf(texture), 0, texture->glId, texture->samplerType};
    shaderBindTextures(active, textures);
    DispatchOverOutput();
}

// ---- Merge ----

texprocessmergefx::texprocessmergefx(const std::string& name)
    : texprocessfx(kProcessMergeRow, name, "texprocessmergefx")
{
    CvarTreeRegisterEnum(&operation, "Operation", kMergeOperations, 0);
    CvarTreeRegisterBool(&useOutputAsSource2, "Use Output As Source2", 0.0f);
    CvarTreeRegisterFloat(&source1Factor, "Source1 Factor", 1.0f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&source2Factor, "Source2 Factor", 1.0f, 0.0f, 1.0f);
    source1Factor.animatable = source2Factor.animatable = true;
    CloseBranch();
    DeclareOutput();
    userProgram.keepFailedBuilds = true;
    input1 = new InputPin("txt color 1", {ResourceType::Texture}, false);
    input2 = new InputPin("txt color 2", {ResourceType::Texture}, false);
    declaredInputs.push_back(input1);
    declaredInputs.push_back(input2);
    RebuildPinLists();
}

void texprocessmergefx::process_frame(Timestep time)
{
    if (!texture)
        return;
    GenerateGroup group(name);
    const char* formatWord = txtGetInternalFormatName(formatOf(texture));
    ShaderProgram* active = userProgram.Update(name, [formatWord] {
        return shaderLoadProgramCompute("shaders/texture_processing/texproc_merge.comp",
                                        ShaderDefines{{"OUTPUT_FORMAT", formatWord}});
    });
    Texture* source1 = linkedTexture(input1);
    Texture* source2 = UsesOutputAsSource2() ? nullptr : linkedTexture(input2);
    if (!active || active->errors || !source1 || (!source2 && !UsesOutputAsSource2()))
        return;

    ScopedGpuTimer timer(std::string(className_) + ":" + name, false);
    shaderUseProgram(active);
    rendererBindGlobalInputs(active, time);
    const Image* out = texture->images[0];
    TextureMergeParams params;
    params.width = out->width;
    params.height = out->height;
    params.widthInv = 1.0f / static_cast<float>(out->width);
    params.heightInv = 1.0f / static_cast<float>(out->height);
    params.operation = static_cast<int32_t>(operation.value[0]);
    params.useOutputAsSource2 = UsesOutputAsSource2() ? 1 : 0;
    params.source1Factor = source1Factor.value[0];
    params.source2Factor = source2Factor.value[0];
    BufferBindings buffers;
    shaderBindingsCreate(buffers);
    shaderBindingsAddData(buffers, "TextureProcessParamsBuffer", &params, sizeof params);
    shaderBindBuffers(active, buffers);
    TextureBindings textures;
    textures["sSource1"] = TextureBinding{formatOf(source1), 0, source1->glId, SAMPLER_LINEAR_CLAMP};
    if (source2)
        textures["sSource2"] = TextureBinding{formatOf(source2), 0, source2->glId, SAMPLER_LINEAR_CLAMP};
    textures["imDest"] = TextureBinding{formatOf(texture), 0, texture->glId, texture->samplerType};
    shaderBindTextures(active, textures);
    DispatchOverOutput();
}
