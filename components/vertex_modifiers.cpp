#include "components/vertex_modifiers.h"

#include "app/log.h"
#include "components/instance_buffers.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_messages.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_texture.h"
#include "project/components.h"
#include "project/curve_texture.h"
#include "project/graph.h"
#include "project/project.h"
#include "render/deferred_records.h"
#include "render/deferred_targets.h"
#include "render/material_block.h"
#include "render/materials.h"
#include "render/selection_bounds.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cstring>

using namespace gl;

VertexModifierBlocks JoinVertexModifiers(const InputPin* pin)
{
    VertexModifierBlocks blocks;
    if (!pin)
        return blocks;
    for (size_t i = 0; i < pin->links.size(); ++i) {
        OutputPin* output = GraphManager::FindOutputPin(pin->links[i]);
        auto* modifier =
            output ? resourceCast<VertexModifierResource>(output->payload, ResourceType::VertexModifier) : nullptr;
        if (!modifier)
            continue;
        const std::string name = fmt::format("VM{0}", i);
        blocks.params += ReplaceNamePlaceholder(modifier->paramsBlock, name);
        if (modifier->space == VERTEX_MODIFIER_LOCAL)
            blocks.local += ReplaceNamePlaceholder(modifier->transformBlock, name);
        else if (modifier->space == VERTEX_MODIFIER_WORLD)
            blocks.world += ReplaceNamePlaceholder(modifier->transformBlock, name);
        blocks.buffers.resize(i + 1, nullptr);
        blocks.buffers[i] = modifier->paramsBuffer;
    }
    return blocks;
}

void InjectVertexModifiers(const InputPin* vmPin, size_t surfaces,
                           const std::vector<std::unique_ptr<MaterialCvarBlock>>& slots,
                           std::vector<BufferObject*>& buffers)
{
    VertexModifierBlocks blocks = JoinVertexModifiers(vmPin);
    for (size_t i = 0; i < surfaces && i < slots.size(); ++i)
        if (Material* material = slots[i]->material)
            material->setVertexModifierBlocks(blocks.params, blocks.local, blocks.world);
    buffers = std::move(blocks.buffers);
}

bool VertexModifierCountdownExpired(int& countdown)
{
    if (countdown <= 0)
        return false;
    return --countdown == 0;
}

// ---- Modifiers placed as a volume ----

namespace {

bool isOn(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

// std140 rounds a block holding a struct up to 16 bytes; the buffer covers all of it.
uint32_t std140BlockBytes(uint32_t structBytes) { return (structBytes + 15) / 16 * 16; }

template <typename Params>
std::vector<uint8_t> bytesOf(const Params& params)
{
    std::vector<uint8_t> bytes(sizeof params);
    std::memcpy(bytes.data(), &params, sizeof params);
    return bytes;
}

} // namespace

VertexModifierComponent::VertexModifierComponent(int32_t typeIndex, const std::string& name, const char* className,
                                                 const char* paramsTemplate, const char* transformTemplate,
                                                 uint32_t blockBytes)
    : KitComponent(typeIndex, name), paramsTemplate_(paramsTemplate), transformTemplate_(transformTemplate),
      blockBytes_(blockBytes)
{
    // Until Init the record is the factory's: world space, no buffer.
    record = new VertexModifierResource(fmt::format("{0}/{1}", className, name));
    record->paramsBlock = paramsTemplate_;
    record->transformBlock = transformTemplate_;
    AddOutput("vm", ResourceType::VertexModifier)->payload = record;
}

bool VertexModifierComponent::CreateGpuObjects()
{
    paramsBuffer = boCreate(record->name.c_str(), std140BlockBytes(blockBytes_));
    if (!paramsBuffer) {
        LOG_ERROR("Vertex modifier %s: no parameter buffer", name.c_str());
        return false;
    }
    return true;
}

VertexModifierComponent::~VertexModifierComponent()
{
    for (OutputPin* pin : outputs)
        if (pin->payload == record)
            pin->payload = nullptr;
    delete record;
    // Built without its GL objects (no buffer), the component needs no GL to go.
    if (paramsBuffer)
        boDelete(paramsBuffer);
}

void VertexModifierComponent::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

void VertexModifierComponent::Upload(const std::vector<uint8_t>& block)
{
    if (paramsBuffer && paramsBuffer->hostCopy && paramsBuffer->glId != 0 && block.size() <= paramsBuffer->size) {
        std::memcpy(paramsBuffer->hostCopy, block.data(), block.size());
        glNamedBufferSubData(paramsBuffer->glId, 0, GLsizeiptr(block.size()), block.data());
        paramsBuffer->dirty = false;
    }
}

void VertexModifierComponent::CompleteRecord(int space)
{
    record->space = space;
    record->paramsBuffer = paramsBuffer;
    record->paramsBlock = paramsTemplate_;
    record->transformBlock = transformTemplate_;
}

VolumeVertexModifier::VolumeVertexModifier(int32_t typeIndex, const std::string& name, const char* className,
                                           const char* paramsTemplate, const char* transformTemplate,
                                           uint32_t blockBytes, bool withScale)
    : VertexModifierComponent(typeIndex, name, className, paramsTemplate, transformTemplate, blockBytes)
{
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&rotation, "Rotation", 0.0f, 0.0f, 0.0f);
    if (withScale)
        CvarTreeRegisterVec2(&scale, "Scale", 1.0f, 1.0f);
    CvarTreeRegisterVec3(&radius, "Radius", 1.0f, 1.0f, 1.0f);
}

void VolumeVertexModifier::Init() { CompleteRecord(VERTEX_MODIFIER_LOCAL); }

Matrix VolumeVertexModifier::GetLocalMatrix() const
{
    Matrix local = Matrix::FromEulerDegrees(rotation.value[0], rotation.value[1], rotation.value[2]);
    local.m[3] = position.value[0];
    local.m[7] = position.value[1];
    local.m[11] = position.value[2];
    return local;
}

VertexModifierFrames VolumeVertexModifier::FramesFor(const Matrix& world) const
{
    VertexModifierFrames f;
    f.world = world;
    f.worldInverse = world.InverseAffine();
    f.local = GetLocalMatrix();
    f.localInverse = f.local.InverseAffine();
    f.frame = f.localInverse.Multiply(world); // W x inverse of L
    f.frameInverse = f.frame.InverseAffine();
    return f;
}

void VolumeVertexModifier::Execute(RenderItemBuilder& builder, Timestep)
{
    // Once per frame, not per pass: the texture's rows are handed out anew each render and would run out.
    curveRow = curveTextureAddRow(falloff);
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            Render(camera, model, pass, time);
        },
        this, GetLocalMatrix()));
}

void VolumeVertexModifier::Render(Camera*, const Matrix* model, Renderer::Pass, Timestep)
{
    const Matrix world = model ? *model : GetLocalMatrix();
    Upload(BlockFor(world));
    CompleteRecord(VERTEX_MODIFIER_LOCAL);
    const float box[6] = {unitBox[0] * radius.value[0], unitBox[1] * radius.value[1], unitBox[2] * radius.value[2],
                          unitBox[3] * radius.value[0], unitBox[4] * radius.value[1], unitBox[5] * radius.value[2]};
    RegisterSelectedBounds(this, nullptr, GetLocalMatrix(), world, box, 1);
}

// ---- Noise modifier ----

const char* const vertexModifierDisplacementModes[] = {"Along Normal", "Radial", nullptr};

namespace {

constexpr int kNoiseRow = 38;

const char* const kNoiseParamsTemplate = "\n#include <shaders/vertex_modifiers/noise_modifier.glsl>\n"
                                         "layout (std140, row_major) uniform {Name}\n"
                                         "{\n"
                                         "    VertexModifierNoiseParams {Name}_params;\n"
                                         "};\n\n";
const char* const kNoiseTransformTemplate = "\n    {\n"
                                            "        vertex_modifier_noise_apply({Name}_params, vtx_input);\n"
                                            "    }\n\n";

} // namespace

vertexmodifiernoisefx::vertexmodifiernoisefx(const std::string& name)
    : VolumeVertexModifier(kNoiseRow, name, "vertexmodifiernoisefx", kNoiseParamsTemplate, kNoiseTransformTemplate,
                           sizeof(VertexModifierNoiseParams))
{
    CvarTreeRegisterEnum(&displacementMode, "Displacement Mode", vertexModifierDisplacementModes, 0);
    CvarTreeRegisterCurve(&falloffCurve, "Falloff Curve", &falloff);
    CvarTreeRegisterBool(&inverseFalloff, "Inverse Falloff", 0.0f);
    CvarTreeRegisterBool(&relativeToModifier, "Relative to Modifier", 1.0f);
    CvarTreeRegisterVec3(&strength, "Strength", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&noiseScale, "Noise Scale", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterFloat(&noiseBase, "Noise Base", 0.5f, 0.0f, 2.0f);
    CvarTreeRegisterVec3(&noisePhase3D, "Noise Phase 3D", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&noisePhaseTime, "Noise Phase Time", 0.0f, -100.0f, 100.0f);
    CvarTreeRegisterBool(&absoluteNoise, "Absolute Noise Value", 0.0f);
    for (Cvar* keyed : {&position, &rotation, &radius, &strength, &noiseScale, &noisePhaseTime})
        keyed->animatable = true;
    CloseBranch();
}

bool vertexmodifiernoisefx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = nullptr;
    return true;
}

VertexModifierNoiseParams vertexmodifiernoisefx::ParamsFor(const Matrix& world) const
{
    VertexModifierNoiseParams p;
    p.frames = FramesFor(world);
    std::copy(noisePhase3D.value, noisePhase3D.value + 3, p.phase);
    p.phase[3] = noisePhaseTime.value[0];
    std::copy(noiseScale.value, noiseScale.value + 3, p.noiseScale);
    p.curveRow = curveRow;
    std::copy(strength.value, strength.value + 3, p.strength);
    p.inverseFalloff = isOn(inverseFalloff) ? 1 : 0;
    std::copy(position.value, position.value + 3, p.position);
    p.relativeToModifier = int32_t(relativeToModifier.value[0]);
    std::copy(radius.value, radius.value + 3, p.radius);
    p.displacementMode = int32_t(displacementMode.value[0]);
    p.noiseBase = noiseBase.value[0];
    p.absoluteNoise = isOn(absoluteNoise) ? 1 : 0;
    return p;
}

std::vector<uint8_t> vertexmodifiernoisefx::BlockFor(const Matrix& world) const { return bytesOf(ParamsFor(world)); }

// ---- Twist modifier ----

const char* const vertexModifierTwistBlendModes[] = {"Blend Angle", "Blend Transformed Position", nullptr};

namespace {

constexpr int kTwistRow = 39;

const char* const kTwistParamsTemplate = "\n#include <shaders/vertex_modifiers/twist_modifier.glsl>\n"
                                         "layout (std140, row_major) uniform {Name}\n"
                                         "{\n"
                                         "    VertexModifierTwistParams {Name}_params;\n"
                                         "};\n\n";
const char* const kTwistTransformTemplate = "\n    {\n"
                                            "        vertex_modifier_twist_apply({Name}_params, vtx_input);\n"
                                            "    }\n\n";

} // namespace

vertexmodifiertwistfx::vertexmodifiertwistfx(const std::string& name)
    : VolumeVertexModifier(kTwistRow, name, "vertexmodifiertwistfx", kTwistParamsTemplate, kTwistTransformTemplate,
                           sizeof(VertexModifierTwistParams))
{
    CvarTreeRegisterEnum(&blendMode, "Blend Mode", vertexModifierTwistBlendModes, 0);
    CvarTreeRegisterCurve(&falloffCurve, "Falloff Curve", &falloff);
    CvarTreeRegisterBool(&inverseFalloff, "Inverse Falloff", 0.0f);
    CvarTreeRegisterVec3(&twistAxis, "Twist Axis", 0.0f, 0.0f, 1.0f);
    CvarTreeRegisterFloat(&angle, "Angle", 0.0f, -10.0f, 10.0f);
    CloseBranch();
}

bool vertexmodifiertwistfx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = nullptr;
    *s = &radius;
    return true;
}

VertexModifierTwistParams vertexmodifiertwistfx::ParamsFor(const Matrix& world) const
{
    VertexModifierTwistParams p;
    p.frames = FramesFor(world);
    std::copy(twistAxis.value, twistAxis.value + 3, p.axis);
    p.angle = float(double(angle.value[0] / 180.0f) * 3.141592653589793);
    std::copy(position.value, position.value + 3, p.position);
    p.blendMode = blendMode.value[0] >= 1.0f ? 1 : 0;
    std::copy(radius.value, radius.value + 3, p.radius);
    p.curveRow = curveRow;
    p.inverseFalloff = isOn(inverseFalloff) ? 1 : 0;
    return p;
}

std::vector<uint8_t> vertexmodifiertwistfx::BlockFor(const Matrix& world) const { return bytesOf(ParamsFor(world)); }

// ---- Displace modifier ----

namespace {

constexpr int kDisplaceRow = 42;

const char* const kDisplaceParamsTemplate = "\nstruct {Name}Params\n"
                                            "{\n"
                                            "    int materialIndex;\n"
                                            "    float normal_scale;\n"
                                            "    float _pad1;\n"
                                            "    float _pad2;\n"
                                            "    vec3 strength;\n"
                                            "};\n"
                                            "layout (std140, row_major) uniform {Name}\n"
                                            "{\n"
                                            "    {Name}Params {Name}_params;\n"
                                            "};\n\n";
// The red channel a texel to the right and one up gives the slope the normal is rebuilt from; level 0, as the
// vertex stage has no derivatives. Programs without the
// material records (some shadow variants) leave the vertex alone.
const char* const kDisplaceTransformTemplate =
    "\n#ifdef MATERIAL_PROPERTIES_BINDING\n"
    "    {\n"
    "        vec2 uv = vtx_input.uv0;\n"
    "        vec3 n = vtx_input.norm;\n"
    "        vec3 p = vtx_input.pos;\n"
    "        MaterialPropertiesGPU material = materialLoad({Name}_params.materialIndex);\n"
    "        if (material.albedo_sampler != -1) {\n"
    "            float b_x = materialSampleLod(material.albedo_sampler, uv + vec2(1.0 / 256.0, 0.0), 0.0).r;\n"
    "            float b_y = materialSampleLod(material.albedo_sampler, uv + vec2(0.0, 1.0 / 256.0), 0.0).r;\n"
    "            float b = materialSampleLod(material.albedo_sampler, uv, 0.0).r;\n"
    "            p += n * b * {Name}_params.strength;\n"
    "            n = normalize(cross(vec3(1.0, 0.0, {Name}_params.normal_scale * (b_x - b)),\n"
    "                                vec3(0.0, 1.0, {Name}_params.normal_scale * (b_y - b))));\n"
    "        }\n"
    "        vtx_input.pos = p;\n"
    "        vtx_input.norm = n;\n"
    "    }\n"
    "#endif\n\n";

// The material-table row this frame whose albedo is the texture named `name`; 0 when there is none or the
// table is full.
int32_t textureMaterialRow(const std::string& name)
{
    if (name.empty() || !currentResources)
        return 0;
    auto* record = resourceCast<FileResource>(currentResources->get_by_name_type(name, ResourceType::Texture),
                                              ResourceType::Texture);
    Texture* texture = record ? record->GetTexture() : nullptr;
    if (!texture)
        return 0;
    deferredRenderInit();
    MaterialProperties material;
    material.albedoTexture = texture;
    return std::max(materialTableAppend(material), 0);
}

} // namespace

vertexmodifierdisplacefx::vertexmodifierdisplacefx(const std::string& name)
    : VertexModifierComponent(kDisplaceRow, name, "vertexmodifierdisplacefx", kDisplaceParamsTemplate,
                              kDisplaceTransformTemplate, sizeof(VertexModifierDisplaceParams))
{
    CvarTreeRegisterVec3(&strength, "Strength", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&normalScale, "Normal Scale", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterResource(&texture, "Texture", "", ResourceType::Texture);
    CloseBranch();
}

void vertexmodifierdisplacefx::Init() { CompleteRecord(VERTEX_MODIFIER_WORLD); }

void vertexmodifierdisplacefx::Execute(RenderItemBuilder&, Timestep)
{
    // The table is refilled every frame, so the row is looked up anew each time.
    params = VertexModifierDisplaceParams{};
    if (const int32_t row = textureMaterialRow(texture.text); row > 0) {
        params.materialIndex = row;
        params.normalScale = normalScale.value[0];
        std::copy(strength.value, strength.value + 3, params.strength);
    }
    Upload(bytesOf(params));
}

// ---- UV modifier ----

const char* const vertexModifierUVStages[] = {"Local Space", "World Space", nullptr};
const char* const vertexModifierUVPlanes[] = {"X-Y", "Y-Z", "X-Z", nullptr};

namespace {

constexpr int kUVRow = 41;

const char* const kUVParamsTemplate = "\nstruct {Name}Params\n"
                                      "{\n"
                                      "    mat4 transform;\n"
                                      "    bool override;\n"
                                      "    int  override_plane;\n"
                                      "};\n"
                                      "layout (std140, row_major) uniform {Name}\n"
                                      "{\n"
                                      "    {Name}Params {Name}_params;\n"
                                      "};\n\n";
const char* const kUVTransformTemplate = "\n    {\n"
                                         "        vec2 uv = vtx_input.uv0;\n"
                                         "        if ({Name}_params.override) {\n"
                                         "            if ({Name}_params.override_plane == 0)\n"
                                         "                uv = vtx_input.pos.xy;\n"
                                         "            else if ({Name}_params.override_plane == 1)\n"
                                         "                uv = vtx_input.pos.yz;\n"
                                         "            else\n"
                                         "                uv = vtx_input.pos.xz;\n"
                                         "        }\n"
                                         "        uv = ({Name}_params.transform * vec4(uv, 0.0, 1.0)).xy;\n"
                                         "        vtx_input.uv0 = uv;\n"
                                         "    }\n\n";

} // namespace

vertexmodifieruvfx::vertexmodifieruvfx(const std::string& name)
    : VertexModifierComponent(kUVRow, name, "vertexmodifieruvfx", kUVParamsTemplate, kUVTransformTemplate,
                              sizeof(VertexModifierUVParams))
{
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterEnum(&stage, "Stage", vertexModifierUVStages, 1);
    CvarTreeRegisterVec2(&shift, "Shift", 0.0f, 0.0f);
    CvarTreeRegisterVec2(&scale, "Scale", 1.0f, 1.0f);
    CvarTreeRegisterVec3(&rotation, "Rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterBool(&overrideOriginal, "Override Original", 0.0f);
    CvarTreeRegisterEnum(&overridePlane, "Override Plane", vertexModifierUVPlanes, 0);
    CloseBranch();
}

bool vertexmodifieruvfx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = &scale;
    return true;
}

void vertexmodifieruvfx::Init() { CompleteRecord(int(stage.value[0])); }

void vertexmodifieruvfx::OnCvarChanged(Cvar* cvar)
{
    record->space = int(stage.value[0]);
    if (cvar == &stage)
        for (OutputPin* pin : outputs)
            if (pin->payload == record)
                GraphManager::NotifyOutputChanged(pin->id);
}

Matrix vertexmodifieruvfx::GetLocalMatrix() const
{
    Matrix local = Matrix::FromEulerDegrees(rotation.value[0], rotation.value[1], rotation.value[2]);
    local.m[3] = position.value[0];
    local.m[7] = position.value[1];
    local.m[11] = position.value[2];
    return local.Multiply(Matrix::Scale(scale.value[0], scale.value[1], scale.value[2]));
}

VertexModifierUVParams vertexmodifieruvfx::Params() const
{
    // Turned and shifted first, then scaled.
    Matrix turned = Matrix::FromEulerDegrees(rotation.value[0], rotation.value[1], rotation.value[2]);
    turned.m[3] = shift.value[0];
    turned.m[7] = shift.value[1];
    turned.m[11] = 0.0f;
    VertexModifierUVParams p;
    turned.MultiplyTo(Matrix::Scale(scale.value[0], scale.value[1], 1.0f), p.transform);
    p.override[0] = isOn(overrideOriginal) ? 1 : 0;
    p.overridePlane = int32_t(overridePlane.value[0]);
    return p;
}

void vertexmodifieruvfx::Execute(RenderItemBuilder& builder, Timestep)
{
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            Render(camera, model, pass, time);
        },
        this, GetLocalMatrix()));
}

void vertexmodifieruvfx::Render(Camera*, const Matrix* model, Renderer::Pass, Timestep)
{
    Upload(bytesOf(Params()));
    const Matrix local = GetLocalMatrix();
    RegisterSelectedBounds(this, nullptr, local, model ? *model : local, unitBox, 0);
}

// ---- Texture-displace modifier ----

const char* const vertexModifierTextureClampModes[] = {"Clamp UV", "Wrap UV", nullptr};

namespace {

constexpr int kTextureDisplaceRow = 43;

const char* const kTextureDisplaceParamsTemplate =
    "\n#include <shaders/vertex_modifiers/texture_displace_modifier.glsl>\n"
    "layout (std140, row_major) uniform {Name}\n"
    "{\n"
    "    VertexModifierTextureDisplaceParams {Name}_params;\n"
    "};\n\n";
const char* const kTextureDisplaceTransformTemplate =
    "\n    {\n"
    "        vertex_modifier_texture_displace_apply({Name}_params, vtx_input);\n"
    "    }\n\n";

} // namespace

vertexmodifiertexturedisplacefx::vertexmodifiertexturedisplacefx(const std::string& name)
    : VolumeVertexModifier(kTextureDisplaceRow, name, "vertexmodifiertexturedisplacefx",
                           kTextureDisplaceParamsTemplate, kTextureDisplaceTransformTemplate,
                           sizeof(VertexModifierTextureDisplaceParams), true)
{
    CvarTreeRegisterEnum(&displacementMode, "Displacement Mode", vertexModifierDisplacementModes, 0);
    // Shown and saved; the shader samples as the material sampler does.
    CvarTreeRegisterEnum(&textureClampMode, "Texture Clamp Mode", vertexModifierTextureClampModes, 0);
    CvarTreeRegisterCurve(&falloffCurve, "Falloff Curve", &falloff);
    CvarTreeRegisterBool(&inverseFalloff, "Inverse Falloff", 0.0f);
    CvarTreeRegisterVec3(&strength, "Strength", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterFloat(&noiseBase, "Noise Base", 0.5f, 0.0f, 2.0f);
    CvarTreeRegisterBool(&absoluteValue, "Absolute Value", 0.0f);
    CvarTreeRegisterBool(&radialMapping, "Radial Mapping", 0.0f);
    CvarTreeRegisterResource(&texture, "Texture", "", ResourceType::Texture);
    for (Cvar* keyed : {&position, &rotation, &scale, &radius, &strength})
        keyed->animatable = true;
    CloseBranch();
}

bool vertexmodifiertexturedisplacefx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = nullptr;
    return true;
}

void vertexmodifiertexturedisplacefx::Execute(RenderItemBuilder& builder, Timestep time)
{
    materialIndex = textureMaterialRow(texture.text);
    VolumeVertexModifier::Execute(builder, time);
}

VertexModifierTextureDisplaceParams vertexmodifiertexturedisplacefx::ParamsFor(const Matrix& world) const
{
    VertexModifierTextureDisplaceParams p;
    p.frames = FramesFor(world);
    std::copy(strength.value, strength.value + 3, p.strength);
    p.noiseBase = noiseBase.value[0];
    p.scale[0] = scale.value[0];
    p.scale[1] = scale.value[1];
    p.inverseFalloff = isOn(inverseFalloff) ? 1 : 0;
    std::copy(position.value, position.value + 3, p.position);
    p.displacementMode = int32_t(displacementMode.value[0]);
    std::copy(radius.value, radius.value + 3, p.radius);
    p.absoluteValue = isOn(absoluteValue) ? 1 : 0;
    p.curveRow = curveRow;
    p.materialIndex = materialIndex;
    p.radialMapping = isOn(radialMapping) ? 1 : 0;
    return p;
}

std::vector<uint8_t> vertexmodifiertexturedisplacefx::BlockFor(const Matrix& world) const
{
    return bytesOf(ParamsFor(world));
}

// ---- Custom modifier ----

namespace {

constexpr int kCustomRow = 40;

const char* const kCustomParamsTemplate = "\nstruct {Name}Params\n"
                                          "{\n"
                                          "    vec4 noise_phase;\n"
                                          "    vec3 noise_scale;\n"
                                          "    vec3 scale;\n"
                                          "};\n"
                                          "layout (std140, row_major) uniform {Name}\n"
                                          "{\n"
                                          "    {Name}Params {Name}_params;\n"
                                          "};\n\n";

} // namespace

vertexmodifiercustomfx::vertexmodifiercustomfx(const std::string& name)
    : VertexModifierComponent(kCustomRow, name, "vertexmodifiercustomfx", kCustomParamsTemplate, "",
                              sizeof(VertexModifierCustomParams))
{
    CvarTreeRegisterVec3(&strength, "Strength", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&noiseScale, "Noise Scale", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&noisePhase3D, "Noise Phase 3D", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&noisePhaseTime, "Noise Phase Time", 0.0f, -100.0f, 100.0f);
    CvarTreeRegisterText(&program, "program", "\n\n\n\n");
    CloseBranch();
}

bool vertexmodifiercustomfx::ProgramCompiles(const std::string& text) const
{
    // The deferred variant of the plain material, with this modifier alone as link 0.
    const ShaderDefines defines = {
        {"MATERIAL_PROPERTIES_BINDING", "1"},
        {"DEFERRED_PASS", "1"},
        {"INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK", ReplaceNamePlaceholder(kCustomParamsTemplate, "VM0")},
        {"INLINE_VERTEX_MODIFIERS_TRANSFORM_WORLD_BLOCK", ReplaceNamePlaceholder(text, "VM0")},
    };
    ShaderProgram* check =
        shaderLoadProgram("shaders/materials/0texture.vsh", "shaders/materials/0texture.fsh", defines);
    const bool compiles = check && check->errors == 0;
    if (check)
        shaderDeleteProgram(check);
    return compiles;
}

void vertexmodifiercustomfx::Publish(bool notify)
{
    if (!ProgramCompiles(program.text)) {
        const std::string message =
            fmt::format("Vertex modifier {0}: \"program\" does not compile; the renderers keep its last working "
                        "program",
                        name);
        LOG_ERROR("%s", message.c_str());
        grdMessageLine(message);
        // Still wire the buffer, so a program that never compiled leaves a modifier that does nothing.
        record->paramsBuffer = paramsBuffer;
        return;
    }
    CompleteRecord(VERTEX_MODIFIER_WORLD);
    record->transformBlock = program.text;
    if (notify)
        for (OutputPin* pin : outputs)
            if (pin->payload == record)
                GraphManager::NotifyOutputChanged(pin->id);
}

void vertexmodifiercustomfx::Init() { Publish(false); }

void vertexmodifiercustomfx::OnCvarChanged(Cvar* cvar)
{
    if (cvar == &program)
        rebuildCountdown = kCustomModifierPublishDelay;
}

void vertexmodifiercustomfx::Execute(RenderItemBuilder&, Timestep)
{
    VertexModifierCustomParams p;
    std::copy(noisePhase3D.value, noisePhase3D.value + 3, p.noisePhase);
    p.noisePhase[3] = noisePhaseTime.value[0];
    std::copy(noiseScale.value, noiseScale.value + 3, p.noiseScale);
    std::copy(strength.value, strength.value + 3, p.strength);
    Upload(bytesOf(p));
    if (VertexModifierCountdownExpired(rebuildCountdown))
        Publish(true);
}
