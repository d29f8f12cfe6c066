#include "components/instance_randomizer.h"

#include "app/log.h"
#include "jni/engine/grd_buffer.h"
#include "project/curve_texture.h"
#include "project/gradients.h"
#include "project/project.h"
#include "render/selection_bounds.h"

#include <glbinding/gl/gl.h>

#include <cstring>

using namespace gl;

namespace {

constexpr float kDegreesToRadians = 3.1415927f / 180.0f;

// Global scope of the modifier pass: the shared functions, then this modifier's block.
constexpr const char* kParamsTemplate = "\n"
                                        "#include <shaders/instance_modifiers/randomizer_inl.comp>\n"
                                        "layout (std140, row_major) buffer {Name}\n"
                                        "{\n"
                                        "    InstanceModifierRandomizer_Params {Name}_params;\n"
                                        "};\n";
constexpr const char* kTransformTemplate = "    {\n"
                                           "        instance_modifier_randomizer({Name}_params, instance, id);\n"
                                           "    }\n";

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

void copy3(float (&out)[3], const Cvar& cvar, float scale = 1.0f)
{
    for (int i = 0; i < 3; ++i)
        out[i] = cvar.value[i] * scale;
}

} // namespace

instancemodifierrandomizerfx::instancemodifierrandomizerfx(const std::string& name)
    : KitComponent(kTypeIndex, name), payload("instancemodifierrandomizerfx/" + name)
{
    ownCurve.interpolation = CurveInterpolation::Linear;
    ownCurve.points = {{0.0f, 0.0f}, {1.0f, 1.0f}};
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&falloffRadius, "Falloff Radius", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterCurve(&falloffCurve, "Falloff Curve", &ownCurve);
    CvarTreeRegisterBool(&inverseFalloff, "Inverse Falloff", 0.0f);
    CvarTreeRegisterBool(&replaceRotationScale, "Replace Rotation/Scale", 0.0f);
    CvarTreeRegisterFloat(&randomness, "Randomness", 1.0f, 0.0f, 100.0f);
    CvarTreeRegisterVec3(&positionBase, "Position Modifier Base", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&positionRange, "Position Modifier Range", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&rotationBase, "Rotation Modifier Base", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&rotationRange, "Rotation Modifier Range", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&scaleBase, "Scale Modifier Base", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&scaleRange, "Scale Modifier Range", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterResource(&colorGradient, "Color Gradient", "", ResourceType::Gradient);
    CloseBranch();
    for (Cvar* keyed : {&position, &falloffRadius, &randomness, &positionBase, &positionRange, &rotationBase,
                        &rotationRange, &scaleBase, &scaleRange})
        keyed->animatable = true;

    payload.paramsBlock = kParamsTemplate;
    payload.transformBlock = kTransformTemplate;
    AddOutput("im", ResourceType::InstanceModifier)->payload = &payload;
}

instancemodifierrandomizerfx::~instancemodifierrandomizerfx()
{
    if (buffer) // built without GL objects: no GL call
        boDelete(buffer);
}

bool instancemodifierrandomizerfx::CreateGpuObjects()
{
    buffer = boCreate(payload.name.c_str(), sizeof(RandomizerParams));
    if (!buffer) {
        LOG_ERROR("Instance randomizer %s: no parameter buffer", name.c_str());
        return false;
    }
    return true;
}

bool instancemodifierrandomizerfx::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = nullptr;
    *s = &falloffRadius;
    return true;
}

void instancemodifierrandomizerfx::Publish()
{
    payload.paramsBuffer = buffer;
    payload.paramsBlock = kParamsTemplate;
    payload.transformBlock = kTransformTemplate;
}

void instancemodifierrandomizerfx::Init() { Publish(); }

RandomizerParams instancemodifierrandomizerfx::BuildParams()
{
    RandomizerParams p{};
    copy3(p.position, position);
    Curve* curve = falloffCurve.curve ? falloffCurve.curve : &ownCurve;
    p.curveRow = curveTextureAddRow(*curve);
    copy3(p.halfRadius, falloffRadius, 0.5f);
    p.inverseFalloff = isSet(inverseFalloff) ? 1 : 0;
    copy3(p.positionBase, positionBase);
    copy3(p.positionRange, positionRange);
    p.replaceRotationScale = isSet(replaceRotationScale) ? 1 : 0;
    copy3(p.rotationBase, rotationBase, kDegreesToRadians);
    copy3(p.rotationRange, rotationRange, kDegreesToRadians);
    copy3(p.scaleBase, scaleBase);
    copy3(p.scaleRange, scaleRange);
    p.randomness = randomness.value[0];
    p.gradientRow = -1;
    if (!colorGradient.text.empty() && currentResources) {
        // A name of another type is reported by the store.
        auto* record = resourceCast<GradientResource>(
            currentResources->get_by_name_type(colorGradient.text, ResourceType::Gradient), ResourceType::Gradient);
        if (record && record->gradient)
            p.gradientRow = record->gradient->row;
    }
    return p;
}

Matrix instancemodifierrandomizerfx::FalloffMatrix() const
{
    Matrix m = Matrix::Scale(falloffRadius.value[0], falloffRadius.value[1], falloffRadius.value[2]);
    m.m[3] = position.value[0];
    m.m[7] = position.value[1];
    m.m[11] = position.value[2];
    return m;
}

void instancemodifierrandomizerfx::Execute(RenderItemBuilder& builder, Timestep)
{
    const RandomizerParams params = BuildParams();
    if (buffer) {
        std::memcpy(buffer->hostCopy, &params, sizeof params);
        glNamedBufferSubData(buffer->glId, 0, sizeof params, buffer->hostCopy);
    }
    builder.AddItem(RenderItem(
        [this](Camera* camera, const Matrix* world, Renderer::Pass pass, Timestep time) {
            RegisterBounds(camera, world, pass, time);
        },
        this, FalloffMatrix()));
    Publish();
}

void instancemodifierrandomizerfx::RegisterBounds(Camera*, const Matrix* model, Renderer::Pass, Timestep)
{
    const float box[6] = {};
    RegisterSelectedBounds(this, nullptr, FalloffMatrix(), model ? *model : Matrix(), box,
                           SelectedBoundsKind::Circles);
}
