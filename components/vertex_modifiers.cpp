#include "components/vertex_modifiers.h"

#include "app/log.h"
#include "components/instance_buffers.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "project/components.h"
#include "project/curve_texture.h"
#include "project/graph.h"
#include "render/material_block.h"
#include "render/materials.h"
#include "render/selection_bounds.h"

#include <fmt/format.h>
#include <glbinding/gl/gl.h>

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

// ---- Noise modifier ----

const char* const vertexModifierDisplacementModes[] = {"Along Normal", "Radial", nullptr};

namespace {

constexpr int kNoiseRow = 38;
// std140 rounds the block holding the struct up to 16 bytes; the buffer covers all of it.
constexpr uint32_t kNoiseBufferBytes = (sizeof(VertexModifierNoiseParams) + 15) / 16 * 16;

const char* const kNoiseParamsTemplate = "\n#include <shaders/vertex_modifiers/noise_modifier.glsl>\n"
                                         "layout (std140, row_major) uniform {Name}\n"
                                         "{\n"
                                         "    VertexModifierNoiseParams {Name}_params;\n"
                                         "};\n\n";
const char* const kNoiseTransformTemplate = "\n    {\n"
                                            "        vertex_modifier_noise_apply({Name}_params, vtx_input);\n"
                                            "    }\n\n";

bool isOn(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

} // namespace

vertexmodifiernoisefx::vertexmodifiernoisefx(const std::string& name) : KitComponent(kNoiseRow, name)
{
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&rotation, "Rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&radius, "Radius", 1.0f, 1.0f, 1.0f);
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

    // Until Init the record is the factory's: world space, no buffer.
    record = new VertexModifierResource("vertexmodifiernoisefx/" + name);
    record->paramsBlock = kNoiseParamsTemplate;
    record->transformBlock = kNoiseTransformTemplate;
    AddOutput("vm", ResourceType::VertexModifier)->payload = record;
}

bool vertexmodifiernoisefx::CreateGpuObjects()
{
    paramsBuffer = boCreate(record->name.c_str(), kNoiseBufferBytes);
    if (!paramsBuffer) {
        LOG_ERROR("Vertex modifier %s: no parameter buffer", name.c_str());
        return false;
    }
    return true;
}

vertexmodifiernoisefx::~vertexmodifiernoisefx()
{
    for (OutputPin* pin : outputs)
        if (pin->payload == record)
            pin->payload = nullptr;
    delete record;
    // Built without its GL objects (no buffer), the component needs no GL to go.
    if (paramsBuffer)
        boDelete(paramsBuffer);
}

bool vertexmodifiernoisefx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = nullptr;
    return true;
}

void vertexmodifiernoisefx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

void vertexmodifiernoisefx::CompleteRecord()
{
    record->space = VERTEX_MODIFIER_LOCAL;
    record->paramsBuffer = paramsBuffer;
    record->paramsBlock = kNoiseParamsTemplate;
    record->transformBlock = kNoiseTransformTemplate;
}

void vertexmodifiernoisefx::Init() { CompleteRecord(); }

Matrix vertexmodifiernoisefx::GetLocalMatrix() const
{
    Matrix local = Matrix::FromEulerDegrees(rotation.value[0], rotation.value[1], rotation.value[2]);
    local.m[3] = position.value[0];
    local.m[7] = position.value[1];
    local.m[11] = position.value[2];
    return local;
}

VertexModifierNoiseParams vertexmodifiernoisefx::ParamsFor(const Matrix& world) const
{
    VertexModifierNoiseParams p;
    p.world = world;
    p.worldInverse = world.InverseAffine();
    p.local = GetLocalMatrix();
    p.localInverse = p.local.InverseAffine();
    p.frame = p.localInverse.Multiply(world); // W x inverse of L
    p.frameInverse = p.frame.InverseAffine();
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

void vertexmodifiernoisefx::Execute(RenderItemBuilder& builder, Timestep)
{
    // Once per frame, not per pass: the texture's rows are handed out anew each render and would run out.
    curveRow = curveTextureAddRow(falloff);
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time) {
            Render(camera, model, pass, time);
        },
        this, GetLocalMatrix()));
}

void vertexmodifiernoisefx::Render(Camera*, const Matrix* model, Renderer::Pass, Timestep)
{
    const Matrix world = model ? *model : GetLocalMatrix();
    const VertexModifierNoiseParams params = ParamsFor(world);
    if (paramsBuffer && paramsBuffer->hostCopy && paramsBuffer->glId != 0) {
        std::memcpy(paramsBuffer->hostCopy, &params, sizeof params);
        glNamedBufferSubData(paramsBuffer->glId, 0, sizeof params, &params);
        paramsBuffer->dirty = false;
    }
    CompleteRecord();
    const float box[6] = {-radius.value[0], -radius.value[1], -radius.value[2],
                          radius.value[0],  radius.value[1],  radius.value[2]};
    RegisterSelectedBounds(this, nullptr, GetLocalMatrix(), world, box, 1);
}
