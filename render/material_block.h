// One material slot of a renderer component: the parameters through which a user sets a surface's colours,
// factors, flags, textures and shader override, and the slot's own Material. Converted once per draw into the
// MaterialProperties record of the frame's material table. Main thread only.
#pragma once

#include "project/cvars.h"

struct Material;
struct MaterialProperties;

// "Planar", "TriPlanar".
extern const char* const materialMappingModes[];

struct MaterialCvarBlock {
    Cvar materialOverride;           // "Material Override": Resource, type 17
    Cvar diffuse;                    // "diffuse": Color
    Cvar emmisive;                   // "emmisive": Color
    Cvar transparency;               // "transparency"
    Cvar roughness;                  // "roughness"
    Cvar metalness;                  // "metalness"
    Cvar normalFactor;               // "normal factor"
    Cvar emissiveFactor;             // "emissive factor"
    Cvar flat;                       // "flat": Bool
    Cvar reflective;                 // "reflective": Bool
    Cvar ssr;                        // "ssr": Bool
    Cvar doublesided;                // "doublesided": Bool
    Cvar shader;                     // "shader": Text, the override source of `material`
    Cvar materialParameter;          // "material": Material, with `material` as root
    Cvar albedoTexture;              // "albedo texture": Resource, type 15
    Cvar emissiveTexture;            // "emissive texture"
    Cvar normalTexture;              // "normal texture"
    Cvar metalicRoughnessTexture;    // "metalic roughness texture"
    Cvar textureMappingMode;         // "texture mapping mode": Enum
    Cvar triplanarMappingScale;      // "triplanar mapping scale"
    Cvar visible;                    // "visible": Bool
    Cvar temporalAccumulationFactor; // "temporal accumulation factor"
    Cvar shadowmapBias;              // "shadowmap bias"
    Material* material = nullptr;    // the slot's own, made and owned by the component

    MaterialCvarBlock() = default;
    MaterialCvarBlock(const MaterialCvarBlock&) = delete;
    MaterialCvarBlock& operator=(const MaterialCvarBlock&) = delete;

    // The default values of every parameter.
    void SetDefaults();
    // Registers the 23 parameters into the current branch in the inspector's order; the owner opens a branch for
    // the slot first and pops it afterwards.
    void Register();
    // Fills the record's colours, factors, flags, mapping mode and textures from the parameters; the renderer's
    // own per-draw flags are left as the caller set them.
    void ToProperties(MaterialProperties& record) const;
    // Hands the "shader" text to the slot's Material (a changed text is compiled after its countdown).
    void ApplyShaderOverride() const;
};
