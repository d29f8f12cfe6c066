#include "components/raymarcher.h"

#include "app/log.h"
#include "components/instance_buffers.h"
#include "components/primitive_shapes.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "render/entities.h"
#include "render/materials.h"
#include "render/scene.h"

namespace {

constexpr int kRaymarchRow = 37;

} // namespace

const char* const raymarchproceduralfx::kVertexTemplate = R"(#version 430
#include <shaders/materials/commons.glsl>

uniform int g_instances_stride = 0;

layout(std430) readonly buffer InstanceBuffer
{
    vec4 transformation[];
};

layout(std430) readonly buffer VTXCoords
{
    float coords[];
};
layout(std430) readonly buffer VTXNormals
{
    float normals[];
};
layout(std430) readonly buffer VTXAlbedo
{
    float albedo[];
};

vec3 loadCoords(int v) { return vec3(coords[3 * v], coords[3 * v + 1], coords[3 * v + 2]); }
vec3 loadNormal(int v) { return vec3(normals[3 * v], normals[3 * v + 1], normals[3 * v + 2]); }
vec3 loadAlbedo(int v) { return vec3(albedo[3 * v], albedo[3 * v + 1], albedo[3 * v + 2]); }

// Bit 1 normals, bit 2 albedo (the built-in attribute codes).
uniform int vtx_builtin_buffers = 0;

uniform mat4 vModelview;
uniform mat4 mModel;
uniform mat4 mProjection;

out vec4 vCoords;
out vec3 vNorm;
out vec3 vWorldNorm;
out vec3 vLocalPos;
out vec4 vWorldPos;
out vec4 vsColor;

void main()
{
    vec3 position = loadCoords(gl_VertexID);
    vec3 normal = (vtx_builtin_buffers & 2) != 0 ? loadNormal(gl_VertexID) : vec3(1.0, 0.0, 0.0);

    // Three rows of the instance's affine transform.
    int base = gl_InstanceID * g_instances_stride;
    if (g_instances_stride > 0 && base + 2 < transformation.length())
        position = vec3(dot(transformation[base], vec4(position, 1.0)),
                        dot(transformation[base + 1], vec4(position, 1.0)),
                        dot(transformation[base + 2], vec4(position, 1.0)));
    vLocalPos = position;

    vec4 viewPos = vec4(dot(vModelview[0], vec4(position, 1.0)), dot(vModelview[1], vec4(position, 1.0)),
                        dot(vModelview[2], vec4(position, 1.0)), 1.0);
    vWorldPos = mModel * vec4(position, 1.0);
    vWorldNorm = normalize((mModel * vec4(normal, 0.0)).xyz);
    vNorm = normal;
    vCoords = viewPos;
    gl_Position = mProjection * viewPos;
    vsColor = (vtx_builtin_buffers & 4) != 0 ? vec4(loadAlbedo(gl_VertexID), 1.0) : vec4(1.0);
}
)";

const char* const raymarchproceduralfx::kFragmentTemplate = R"(#version 430
#include <shaders/materials/commons.glsl>
#include <shaders/materials/material_overrides.glsl>

in vec4 vCoords;
in vec3 vNorm;
in vec3 vWorldNorm;
in vec3 vLocalPos;
in vec4 vWorldPos;
in vec4 vsColor;

uniform vec4 colorDiffuse;
uniform int materialId;
uniform int materialIndex;
uniform vec3 vCameraPosition;
uniform int gUseDerivedNormal = 0;
uniform int gMaterialMode = 0;

#ifndef SHADOWMAP_PASS
layout(location = 0) out vec4 outAlbedo;
layout(location = 1) out uint outNormalMaterial;
layout(location = 2) out uvec4 outMetalnessRoughnessMaterialTags;
layout(location = 3) out vec4 outEmissive;
#endif

void main()
{
#ifndef SHADOWMAP_PASS
#ifdef MATERIAL_PROPERTIES_BINDING
    MaterialPropertiesGPU material = materialLoad(materialIndex);
#else
    MaterialPropertiesGPU material = materialDefaults();
    material.diffuse = colorDiffuse.rgb;
    material.flags = 0u;
#endif
    vec3 worldPos = vWorldPos.xyz;
    vec3 normal = normalize(vWorldNorm);
    if ((material.flags & MaterialFlag_Flat) != 0u)
        normal = normalize(cross(dFdy(worldPos), dFdx(worldPos)));

    vec4 albedo = materialOverrideAlbedo(vec4(material.diffuse, 1.0) * vsColor, worldPos, vLocalPos);
    float roughness = materialOverrideRoughness(material.roughness, worldPos, vLocalPos);
    float metalness = materialOverrideMetalness(material.metalness, worldPos, vLocalPos);

    outAlbedo = vec4(albedo.rgb, 1.0);
    outNormalMaterial = gbufferEncodeNormalMaterial(normal, materialIndex);
    outMetalnessRoughnessMaterialTags =
        gbufferEncodeMetalnessRoughnessTags(metalness, roughness, material.flags, !gl_FrontFacing);
    outEmissive = vec4(material.emissive * material.emissive_factor, 0.0);
#endif
}
)";

raymarchproceduralfx::raymarchproceduralfx(const std::string& name) : KitComponent(kRaymarchRow, name)
{
    material = materialCreateFromRoot("flat");
    slot.material = material;
    slot.SetDefaults();
    slot.Register();
    CvarTreeRegisterVec3(&scale, "Scale", 1.0f, 1.0f, 1.0f);
    CvarTreeRegisterVec3(&rotation, "Rotation", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterVec3(&position, "Position", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterBool(&outputDepth, "Output Depth", 1.0f);
    CvarTreeRegisterBool(&hidden, "Hidden", 0.0f);
    CvarTreeRegisterText(&program, "Program", kFragmentTemplate);
    CvarTreeRegisterText(&programVertex, "Program Vertex", kVertexTemplate);
    CloseBranch();

    entity = new EffectEntity();
    entity->flags = 7;
    entity->owner = this;
    entity->build = [this](Camera*, const Matrix*, Timestep, RenderItemBuilder&) { setup_frame(); };
    entity->draw = [](Camera*, const Matrix*, Renderer::Pass, Timestep) {};
    record = new EffectEntityResource(name + "/internal/output_fx", entity);
    fx = AddOutput("fx", ResourceType::EffectEntity);
    // Nothing runs the programs until the first build call, so the first edit-free build happens there.
    deferredProgram.countdown = 0;
    shadowProgram.countdown = 0;
}

bool raymarchproceduralfx::CreateGpuObjects()
{
    proxy = CreateSplitFaceCubeGeometry(1.0f, 1);
    return true;
}

raymarchproceduralfx::~raymarchproceduralfx()
{
    if (fx)
        fx->payload = nullptr;
    delete record;
    delete entity;
    if (proxy)
        geomDelete(proxy);
    delete material;
}

void raymarchproceduralfx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

void raymarchproceduralfx::Init() { fx->payload = record; }

void raymarchproceduralfx::OnCvarChanged(Cvar* cvar)
{
    if (cvar == &program || cvar == &programVertex) {
        deferredProgram.Edited();
        shadowProgram.Edited();
    }
}

void raymarchproceduralfx::OnSelectionChanged(bool isSelected)
{
    if (entity)
        entity->selected = isSelected;
}

void raymarchproceduralfx::setup_frame()
{
    entity->hidden = hidden.value[0] > 0.5f;
    entity->scale = Vector3{scale.value[0], scale.value[1], scale.value[2]};
    entity->rotation = Vector3{rotation.value[0], rotation.value[1], rotation.value[2]};
    entity->position = Vector3{position.value[0], position.value[1], position.value[2]};
    entSetupTransformation(entity);

    const bool logBuild = deferredProgram.countdown == 1 || (!deferredProgram.program && !deferredProgram.waitingForEdit);
    deferredProgram.Update(name, [this] {
        return shaderBuildProgramFromStrings(name, programVertex.text, program.text,
                                             ShaderDefines{{"MATERIAL_PROPERTIES_BINDING", "2"}});
    });
    shadowProgram.Update(name + " (shadow map)", [this] {
        return shaderBuildProgramFromStrings(name, programVertex.text, program.text,
                                             ShaderDefines{{"MATERIAL_PROPERTIES_BINDING", "2"}, {"SHADOWMAP_PASS", "1"}});
    });
    if (logBuild)
        LOG_INFO("Compiled shader from:<%s>", program.text.c_str());
}
