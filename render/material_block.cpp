#include "render/material_block.h"

#include "jni/engine/grd_texture.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/deferred_records.h"
#include "render/materials.h"

const char* const materialMappingModes[] = {"Planar", "TriPlanar", nullptr};

namespace {

void setValue(Cvar& cvar, float a, float b = 0.0f, float c = 0.0f, float d = 0.0f)
{
    cvar.value[0] = a;
    cvar.value[1] = b;
    cvar.value[2] = c;
    cvar.value[3] = d;
}

bool isOn(const Cvar& cvar)
{
    return cvar.value[0] > 0.5f;
}

// The texture a Texture resource of that name holds; null for an empty name, a missing record (silently) or a
// record of another type (the store warns).
Texture* textureNamed(const std::string& name)
{
    if (name.empty() || !currentResources)
        return nullptr;
    Resource* resource = currentResources->get_by_name_type(name, ResourceType::Texture);
    const auto* file = resourceCast<FileResource>(resource, ResourceType::Texture);
    return file ? file->GetTexture() : nullptr;
}

} // namespace

void MaterialCvarBlock::SetDefaults()
{
    materialOverride.text.clear();
    setValue(textureMappingMode, 0.0f);
    setValue(diffuse, 1.0f, 1.0f, 1.0f, 0.0f);
    setValue(emmisive, 0.0f, 0.0f, 0.0f, 0.0f);
    setValue(transparency, 0.0f);
    setValue(roughness, 0.5f);
    setValue(metalness, 0.0f);
    setValue(normalFactor, 1.0f);
    setValue(emissiveFactor, 1.0f);
    setValue(temporalAccumulationFactor, 1.0f);
    setValue(triplanarMappingScale, 1.0f);
    setValue(shadowmapBias, 0.0f);
    for (Cvar* flag : {&flat, &doublesided, &reflective, &ssr})
        setValue(*flag, 0.0f);
    setValue(visible, 1.0f);
    for (Cvar* texture : {&albedoTexture, &emissiveTexture, &metalicRoughnessTexture, &normalTexture})
        texture->text.clear();
    shader.text = materialShaderTemplate;
}

void MaterialCvarBlock::Register()
{
    CvarTreeRegisterResource(&materialOverride, "Material Override", "", ResourceType::Material);
    CvarTreeRegisterEnum(&textureMappingMode, "texture mapping mode", materialMappingModes,
                         int(textureMappingMode.value[0]));
    CvarTreeRegisterColor(&diffuse, "diffuse", diffuse.value[0], diffuse.value[1], diffuse.value[2], 0.0f);
    diffuse.alphaEditable = false;
    CvarTreeRegisterColor(&emmisive, "emmisive", emmisive.value[0], emmisive.value[1], emmisive.value[2],
                          emmisive.value[3]);
    emmisive.alphaEditable = false;

    struct FloatParameter {
        Cvar* cvar;
        const char* name;
        float min, max;
    };
    const FloatParameter floats[] = {
        {&transparency, "transparency", 0.0f, 1.0f},
        {&roughness, "roughness", 0.0f, 1.0f},
        {&metalness, "metalness", 0.0f, 1.0f},
        {&normalFactor, "normal factor", 0.0f, 1.0f},
        {&emissiveFactor, "emissive factor", 0.0f, 1.0f},
        {&temporalAccumulationFactor, "temporal accumulation factor", 0.0f, 1.0f},
        {&triplanarMappingScale, "triplanar mapping scale", 0.0f, 10.0f},
        {&shadowmapBias, "shadowmap bias", -10.0f, 10.0f},
    };
    for (const FloatParameter& p : floats)
        CvarTreeRegisterFloat(p.cvar, p.name, p.cvar->value[0], p.min, p.max);

    const std::pair<Cvar*, const char*> bools[] = {
        {&flat, "flat"}, {&doublesided, "doublesided"}, {&reflective, "reflective"}, {&ssr, "ssr"},
        {&visible, "visible"},
    };
    for (const auto& [cvar, name] : bools)
        CvarTreeRegisterBool(cvar, name, cvar->value[0]);

    CvarTreeRegisterMaterial(&materialParameter, "material", material);
    const std::pair<Cvar*, const char*> textures[] = {
        {&albedoTexture, "albedo texture"},
        {&emissiveTexture, "emissive texture"},
        {&metalicRoughnessTexture, "metalic roughness texture"},
        {&normalTexture, "normal texture"},
    };
    for (const auto& [cvar, name] : textures)
        CvarTreeRegisterResource(cvar, name, cvar->text, ResourceType::Texture);
    CvarTreeRegisterText(&shader, "shader", materialShaderTemplate);

    for (Cvar* cvar : {&diffuse, &emmisive, &emissiveFactor, &roughness, &metalness, &normalFactor, &transparency})
        cvar->animatable = true;
}

void MaterialCvarBlock::ToProperties(MaterialProperties& record) const
{
    for (int k = 0; k < 3; ++k) {
        record.diffuse[k] = diffuse.value[k];
        record.emissive[k] = emmisive.value[k];
    }
    record.transparency = transparency.value[0];
    record.roughness = roughness.value[0];
    record.metalness = metalness.value[0];
    record.normalFactor = normalFactor.value[0];
    record.emissiveFactor = emissiveFactor.value[0];
    record.temporalAccumulationFactor = temporalAccumulationFactor.value[0];
    record.triplanarMappingScale = triplanarMappingScale.value[0];
    record.shadowmapBias = shadowmapBias.value[0];
    record.reflective = isOn(reflective);
    record.doublesided = isOn(doublesided);
    record.ssr = isOn(ssr);
    record.flat = isOn(flat);
    record.visible = isOn(visible);
    record.textureMappingMode = int(textureMappingMode.value[0]);

    if (Texture* albedo = textureNamed(albedoTexture.text)) {
        // Albedo is stored in sRGB; its view lets the sampler linearise it.
        txtCreateSRGBView(albedo);
        record.albedoTexture = albedo;
    }
    if (Texture* texture = textureNamed(emissiveTexture.text))
        record.emissiveTexture = texture;
    if (Texture* texture = textureNamed(normalTexture.text))
        record.normalTexture = texture;
    if (Texture* texture = textureNamed(metalicRoughnessTexture.text))
        record.metallicRoughnessTexture = texture;
}

void MaterialCvarBlock::ApplyShaderOverride() const
{
    if (material)
        material->setOverrideSource(shader.text);
}
