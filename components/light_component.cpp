#include "components/light_component.h"

#include "components/transform_components.h"
#include "jni/engine/grd_framebuffer.h"
#include "project/graph.h"
#include "render/entities.h"
#include "render/selection_bounds.h"

#include <cmath>

namespace {

constexpr int kLightRow = 6;

const char* const kTypeOptions[] = {"Point", "Spot", "Directional", nullptr};
const char* const kResolutionOptions[] = {"512x512", "1024x1024", "2048x2048", "4096x4096", "8192x8192", nullptr};
const char* const kCullingOptions[] = {"None", "Front", "Back (Default)", nullptr};

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

// Out-of-range and non-finite values fold to the first or last size.
unsigned int shadowMapSize(float value)
{
    int index = 0;
    if (value >= 4.0f)
        index = 4;
    else if (value >= 1.0f)
        index = static_cast<int>(value);
    return 512u << index;
}

} // namespace

lightcomponent::lightcomponent(const std::string& name) : KitComponent(kLightRow, name)
{
    CvarTreeRegisterEnum(&type, "type", kTypeOptions, 0);
    CvarTreeRegisterEnum(&shadowmapResolution, "shadowmap resolution", kResolutionOptions, 2);
    CvarTreeRegisterEnum(&culling, "culling", kCullingOptions, 2);
    CvarTreeRegisterVec3(&position, "position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&rotation, "rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&dimensions, "dimensions", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterColor(&color, "color", 0.0f, 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&intensity, "intensity", 1.0f, 0.0f, 100.0f);
    CvarTreeRegisterFloat(&roughnessModifier, "roughness modifier", 1.0f, 0.0f, 100.0f);
    CvarTreeRegisterFloat(&range, "range", 200.0f, 0.0f, 800.0f);
    CvarTreeRegisterFloat(&rangeNear, "range near", 0.1f, 0.001f, 800.0f);
    CvarTreeRegisterFloat(&fov, "fov", 90.0f, 5.0f, 90.0f);
    CvarTreeRegisterBool(&area, "area", 0.0f);
    CvarTreeRegisterBool(&shadowcasting, "shadowcasting", 0.0f);
    CvarTreeRegisterBool(&volumetric, "volumetric", 0.0f);
    CvarTreeRegisterText(&excludedTags, "excluded tags", "");
    CloseBranch();
    color.alphaEditable = false;
    for (Cvar* keyed : {&intensity, &fov, &range, &rangeNear, &position, &rotation, &dimensions, &roughnessModifier})
        keyed->animatable = true;

    // Stands in until Init builds the Light the stored parameters ask for.
    light = entCreateLightPoint(range.value[0], isSet(shadowcasting), 0, 0);
    light->owner = this;
    payload = new LightResource(name + "/light", light);
    AddOutput("light", ResourceType::Light)->payload = payload;
}

lightcomponent::~lightcomponent()
{
    for (Light* old : initReplaced_)
        DestroyLight(old);
    DestroyLight(light);
    delete payload;
}

void lightcomponent::DestroyLight(Light* victim)
{
    if (!victim)
        return;
    for (Framebuffer* framebuffer : victim->shadowFramebuffers)
        fbDestroy(framebuffer);
    for (Light* face : victim->faceLights)
        DestroyLight(face);
    delete victim;
}

bool lightcomponent::GetTransformCvars(Cvar** p, Cvar** r, Cvar** s)
{
    *p = &position;
    *r = &rotation;
    *s = isSet(area) ? &dimensions : nullptr;
    return true;
}

Light* lightcomponent::BuildLight()
{
    const float t = type.value[0];
    const int lightType = t < 1.0f ? LIGHT_TYPE_POINT : t < 2.0f ? LIGHT_TYPE_SPOT : t < 3.0f ? LIGHT_TYPE_DIRECTIONAL
                                                                                            : LIGHT_TYPE_POINT;
    const unsigned int size = shadowMapSize(shadowmapResolution.value[0]);
    const bool casts = isSet(shadowcasting);

    Light* built = nullptr;
    switch (lightType) {
    case LIGHT_TYPE_SPOT: built = entCreateLightSpot(fov.value[0], casts, size, size); break;
    case LIGHT_TYPE_DIRECTIONAL: built = entCreateLightDirectional(10.0f, 10.0f, casts, size, size); break;
    default: built = entCreateLightPoint(range.value[0], casts, size, size); break;
    }
    built->owner = this;
    built->selected = selected;

    Light* previous = light;
    light = built;
    payload->light = built;
    return previous;
}

void lightcomponent::ApplyParameters()
{
    light->fov = fov.value[0];
    light->position = {position.value[0], position.value[1], position.value[2]};
    light->rotation = {rotation.value[0], rotation.value[1], rotation.value[2]};
    light->color[0] = color.value[0];
    light->color[1] = color.value[1];
    light->color[2] = color.value[2];
    light->color[3] = 0.0f;
    light->intensity = intensity.value[0];
    light->dimensions[0] = dimensions.value[0];
    light->dimensions[1] = dimensions.value[1];
    light->volumetric = isSet(volumetric);
    light->roughnessModifier = roughnessModifier.value[0];
    light->area = isSet(area);
    light->excludedTags = excludedTags.text;
    entSetLightShadowShape(light, culling.value[0], dimensions.value[0], dimensions.value[1]);
    entSetLightRange(light, rangeNear.value[0], range.value[0]);
}

void lightcomponent::Init()
{
    // A consumer that resolved before this component (a link cycle through "child") may hold the stand-in, so it
    // stays allocated, unchanged, for the component's life.
    if (Light* previous = BuildLight())
        initReplaced_.push_back(previous);
    ApplyParameters();
    outputs[0]->payload = payload;
}

void lightcomponent::Execute(RenderItemBuilder& builder, Timestep)
{
    addBoundsItem(builder, this, GetViewMatrix());
}

void lightcomponent::OnCvarChanged(Cvar* cvar)
{
    Light* previous = nullptr;
    if (cvar == &shadowcasting || cvar == &type || cvar == &shadowmapResolution)
        previous = BuildLight();
    ApplyParameters();
    GraphManager::NotifyOutputChanged(outputs[0]->id);
    // The consumers have re-read the payload; nothing holds the old Light any more.
    DestroyLight(previous);
}

void lightcomponent::OnSelectionChanged(bool isSelected) { light->selected = isSelected; }

Matrix lightcomponent::GetViewMatrix() const
{
    const bool scaled = isSet(area);
    return composeTransform(position.value, rotation.value, scaled ? light->dimensions[0] : 1.0f,
                            scaled ? light->dimensions[1] : 1.0f, 1.0f);
}

void lightcomponent::RegisterBounds(Camera*, const Matrix* model, Renderer::Pass, Timestep)
{
    const Matrix world = model ? *model : Matrix();
    const float farPlane = light->farPlane;
    if (isSet(area)) {
        const float box[6] = {-0.5f, -0.5f, -0.5f, 0.5f, 0.5f, 0.5f};
        RegisterSelectedBounds(this, nullptr, GetViewMatrix(), world, box, SelectedBoundsKind::Box);
    } else if (light->lightType == LIGHT_TYPE_SPOT) {
        const float h = static_cast<float>(std::tan(light->fov / 180.0 * M_PI / 2.0) * 2.0 * farPlane);
        const float box[6] = {-h / 2, -h / 2, 0.0f, h / 2, h / 2, farPlane};
        RegisterSelectedBounds(this, nullptr, GetViewMatrix(), world, box, SelectedBoundsKind::Cone);
    } else if (light->lightType == LIGHT_TYPE_DIRECTIONAL) {
        const float dx = dimensions.value[0];
        const float dy = dimensions.value[1];
        const float box[6] = {-dx / 2, -dy / 2, 0.0f, dx / 2, dy / 2, farPlane};
        RegisterSelectedBounds(this, nullptr, GetViewMatrix(), world, box, SelectedBoundsKind::Box);
    }
}
