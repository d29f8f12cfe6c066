// The component classes' factories, installed into the type table's rows, whose names the graph owns.
#include "components/component_table.h"

#include "components/audio_loopback.h"
#include "components/camera_component.h"
#include "components/destroy_modifier.h"
#include "components/light_component.h"
#include "components/mesh_renderer.h"
#include "components/material_node.h"
#include "components/output_buffer.h"
#include "components/post_effects.h"
#include "components/primitive_renderer.h"
#include "components/raymarcher.h"
#include "components/raytracer.h"
#include "components/scene_player.h"
#include "components/text_object.h"
#include "components/texture_components.h"
#include "components/transform_components.h"
#include "components/voxelizer.h"
#include "components/value_generators.h"
#include "components/vertex_modifiers.h"

#include "project/component_table.h"
#include "render/mesh_import.h"

void componentTypesInstallFactories()
{
    static constexpr struct {
        int32_t row;
        ComponentFactory factory;
    } factories[] = {
        {0, sceneplayerfx::Create}, // "Sceneplayer"
        {1, meshrendererfx::Create}, // "Meshrenderer"
        {3, destroy_modifier::Create}, // "DestroyModifier"
        {4, raytracerfx::Create}, // "Raytracer"
        {5, voxelizationfx::Create}, // "Voxelizer"
        {6, lightcomponent::Create}, // "Light"
        {8, camerafx::Create}, // "Camera"
        {9, nullcomponent::Create}, // "Null"
        {22, valuewavefx::Create}, // "ValueWave"
        {23, valuelinearfx::Create}, // "ValueLinear"
        {24, valuemanualfx::Create}, // "ValueManual"
        {25, valuenoisefx::Create}, // "ValueNoise"
        {29, textobjectfx::Create}, // "TextObject"
        {30, primitivefx::Create}, // "Primitive"
        {31, materialnode::Create}, // "Material"
        {32, postcustomfx::Create}, // "PostCustom"
        {33, posttonemapfx::Create}, // "PostTonemap"
        {34, postaberrationfx::Create}, // "PostAberration"
        {35, postglowfx::Create}, // "PostGlow"
        {36, outputbufferfx::Create}, // "OutputBuffer"
        {37, raymarchproceduralfx::Create}, // "RaymarchProcedural"
        {38, vertexmodifiernoisefx::Create}, // "VertexModifierNoise"
        {39, vertexmodifiertwistfx::Create}, // "VertexModifierTwist"
        {40, vertexmodifiercustomfx::Create}, // "VertexModifierCustom"
        {41, vertexmodifieruvfx::Create}, // "VertexModifierUV"
        {42, vertexmodifierdisplacefx::Create}, // "VertexModifierDisplace"
        {43, vertexmodifiertexturedisplacefx::Create}, // "VertexModifierTextureDisplace"
        {44, texgenkinectfx::Create}, // "TextureGeneratorKinect"
        {45, texgencustomfx::Create}, // "TextureGeneratorCustom"
        {46, texgenloopbackfx::Create}, // "TextureGeneratorLoopback"
        {47, scenegroupfx::Create}, // "SceneGroup"
        {49, texprocesscustomfx::Create}, // "TexProcessCustom"
        {50, texprocessmergefx::Create}, // "TexProcessMerge"
    };
    for (const auto& entry : factories)
        componentTypeTable[entry.row].factory = entry.factory;
    meshInstallResourceLoaders();
    // Renderer slots reach material nodes' blocks through their records.
    materialResourceBlock = materialNodeBlock;
}
