// The surface hooks a material's override text may define, and what a surface gets when it defines none.
// Include after the override text ("#inline <INLINE_MATERIAL_OVERRIDE>") and call the materialOverride* functions.
//
// An override defines MATERIAL_OVERRIDE_ALBEDO, MATERIAL_OVERRIDE_ROUGHNESS or MATERIAL_OVERRIDE_METALNESS and the
// matching function, in one of two forms:
//   defined without a value:  vec4 getMaterialAlbedo(vec3 worldCoords, vec3 localCoords)
//                             float getMaterialRoughness(vec3 worldCoords, vec3 localCoords)
//                             float getMaterialMetalness(vec3 worldCoords, vec3 localCoords)
//   defined as a non-zero number (for example 1): the same functions with the material's own value first,
//                             e.g. vec4 getMaterialAlbedo(vec4 albedo, vec3 worldCoords, vec3 localCoords)

#ifndef MATERIALS_MATERIAL_OVERRIDES_GLSL
#define MATERIALS_MATERIAL_OVERRIDES_GLSL

vec4 materialOverrideAlbedo(vec4 albedo, vec3 worldCoords, vec3 localCoords)
{
#ifdef MATERIAL_OVERRIDE_ALBEDO
#if (MATERIAL_OVERRIDE_ALBEDO + 0)
    return getMaterialAlbedo(albedo, worldCoords, localCoords);
#else
    return getMaterialAlbedo(worldCoords, localCoords);
#endif
#else
    return albedo;
#endif
}

float materialOverrideRoughness(float roughness, vec3 worldCoords, vec3 localCoords)
{
#ifdef MATERIAL_OVERRIDE_ROUGHNESS
#if (MATERIAL_OVERRIDE_ROUGHNESS + 0)
    return getMaterialRoughness(roughness, worldCoords, localCoords);
#else
    return getMaterialRoughness(worldCoords, localCoords);
#endif
#else
    return roughness;
#endif
}

float materialOverrideMetalness(float metalness, vec3 worldCoords, vec3 localCoords)
{
#ifdef MATERIAL_OVERRIDE_METALNESS
#if (MATERIAL_OVERRIDE_METALNESS + 0)
    return getMaterialMetalness(metalness, worldCoords, localCoords);
#else
    return getMaterialMetalness(worldCoords, localCoords);
#endif
#else
    return metalness;
#endif
}

#endif // MATERIALS_MATERIAL_OVERRIDES_GLSL
