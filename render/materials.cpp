#include "render/materials.h"

#include "app/log.h"
#include "jni/engine/grd_shader.h"
#include "project/cvars.h"
#include "render/deferred_records.h"

#include <unordered_map>
#include <utility>

const char* const materialShaderTemplate = "\n"
                                           "//#define MATERIAL_OVERRIDE_ALBEDO\n"
                                           "//vec4 getMaterialAlbedo(vec3 worldCoords, vec3 localCoords)\n"
                                           "//{\n"
                                           "//\treturn vec4(1.0);\n"
                                           "//}\n"
                                           "\n"
                                           "//#define MATERIAL_OVERRIDE_ROUGHNESS\n"
                                           "//float getMaterialRoughness(vec3 worldCoords, vec3 localCoords)\n"
                                           "//{\n"
                                           "//\treturn 1.0;\n"
                                           "//}\n"
                                           "\n"
                                           "//#define MATERIAL_OVERRIDE_METALNESS\n"
                                           "//float getMaterialMetalness(vec3 worldCoords, vec3 localCoords)\n"
                                           "//{\n"
                                           "//\treturn 1.0;\n"
                                           "//}\n";

const char* const vertexColorAlbedoOverride =
    "\n"
    "\n"
    "#define MATERIAL_OVERRIDE_ALBEDO 1\n"
    "vec4 getMaterialAlbedo(vec4 albedo, vec3 worldCoords, vec3 localCoords)\n"
    "{\n"
    "\treturn vec4(vtx_input.vColor.rgb, 1.0);\n"
    "}\n"
    "\n";

const char* const kMaterialOverrideDefine = "INLINE_MATERIAL_OVERRIDE";
const char* const kMaterialGeometryPassStage = "shaders/materials/0texture_geometry_transformation.gsh";
const char* const kMaterialTextureMaskDefine = "MATERIAL_TEXTURE_MASK";

uint32_t materialTextureMask(const MaterialProperties& record)
{
    return (record.albedoTexture ? MATERIAL_TEXTURE_ALBEDO : 0u) |
           (record.emissiveTexture ? MATERIAL_TEXTURE_EMISSIVE : 0u) |
           (record.normalTexture ? MATERIAL_TEXTURE_NORMAL : 0u) |
           (record.metallicRoughnessTexture ? MATERIAL_TEXTURE_METALLIC_ROUGHNESS : 0u);
}

namespace {

// Whatever a root was first registered with stays; roots live for the whole run.
std::unordered_map<std::string, Material*>& rootRegistry()
{
    static auto* roots = new std::unordered_map<std::string, Material*>();
    return *roots;
}

bool usable(const ShaderProgram* program)
{
    return program && program->errors == 0;
}

// A file-built program whose fragment stage takes the material record's textures (material_fragment.glsl with
// MATERIAL_PROPERTIES_BINDING 1): the only kind a texture mask changes.
bool samplesMaterialTextures(const ShaderProgram* program)
{
    if (!program || !program->vertex || !program->fragment || program->vertex->path == SHADER_TEXT_PATH ||
        program->fragment->path == SHADER_TEXT_PATH)
        return false;
    const auto binding = program->defines.find("MATERIAL_PROPERTIES_BINDING");
    if (binding == program->defines.end() || binding->second != "1")
        return false;
    for (const std::string& file : program->fragment->includedFiles)
        if (file.find("material_fragment.glsl") != std::string::npos)
            return true;
    return false;
}

std::string stagePath(const ShaderStage* stage)
{
    return stage ? stage->path : std::string();
}

// Copies of both programs, or neither: a half-copied material would go on writing into its root's defines.
bool copyPrograms(ShaderProgram* deferred, ShaderProgram* shadowmap, ShaderProgram*& deferredCopy,
                  ShaderProgram*& shadowmapCopy)
{
    deferredCopy = deferred ? shaderCloneProgram(deferred) : nullptr;
    shadowmapCopy = shadowmap ? shaderCloneProgram(shadowmap) : nullptr;
    if ((deferred && !deferredCopy) || (shadowmap && !shadowmapCopy)) {
        shaderDeleteProgram(deferredCopy);
        shaderDeleteProgram(shadowmapCopy);
        deferredCopy = shadowmapCopy = nullptr;
        return false;
    }
    return true;
}

void setInlineDefine(ShaderProgram* program, const char* define, const std::string& text)
{
    if (!program)
        return;
    if (text.empty())
        program->defines.erase(define);
    else
        program->defines[define] = text;
}

void setOverrideDefine(ShaderProgram* program, const std::string& text)
{
    setInlineDefine(program, kMaterialOverrideDefine, text);
}

constexpr const char* kVertexModifierDefines[3] = {"INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK",
                                                   "INLINE_VERTEX_MODIFIERS_TRANSFORM_LOCAL_BLOCK",
                                                   "INLINE_VERTEX_MODIFIERS_TRANSFORM_WORLD_BLOCK"};

// ---- Built-in roots ----

struct RootStages {
    const char* vertex = "";
    const char* fragment = "";
    const char* tessControl = "";
    const char* tessEvaluation = "";
    const char* geometry = "";
    ShaderDefines defines;
};

struct RootDescription {
    const char* name;
    int id;
    RootStages deferred;
    bool hasShadowmap;
    RootStages shadowmap;
};

constexpr const char* kTextureVs = "shaders/materials/0texture.vsh";
constexpr const char* kTextureFs = "shaders/materials/0texture.fsh";
constexpr const char* kRaytraceVs = "shaders/materials/raytrace_simple.vsh";
constexpr const char* kRaytraceFs = "shaders/materials/raytrace_simple.fsh";
constexpr const char* kPartitionGs = "shaders/materials/partition_geometry.gsh";

RootStages stages(const char* vertex, const char* fragment, ShaderDefines defines)
{
    RootStages result;
    result.vertex = vertex;
    result.fragment = fragment;
    result.defines = std::move(defines);
    return result;
}

RootStages stagesWithGeometry(const char* vertex, const char* fragment, const char* geometry, ShaderDefines defines)
{
    RootStages result = stages(vertex, fragment, std::move(defines));
    result.geometry = geometry;
    return result;
}

RootStages terrainStages(ShaderDefines defines)
{
    RootStages result = stagesWithGeometry("shaders/materials/flatterrain.vsh", "shaders/materials/flatterrain.fsh",
                                           "shaders/materials/flatterrain.gsh", std::move(defines));
    result.tessControl = "shaders/materials/flatterrain.tcsh";
    result.tessEvaluation = "shaders/materials/flatterrain.tesh";
    return result;
}

const std::vector<RootDescription>& builtinRoots()
{
    static const std::vector<RootDescription> roots = [] {
        std::vector<RootDescription> list;
        list.push_back({"flat", 0,
                        stages(kTextureVs, kTextureFs, {{"MATERIAL_PROPERTIES_BINDING", "1"}, {"DEFERRED_PASS", "1"}}),
                        true,
                        stages(kTextureVs, kTextureFs, {{"SHADOWMAP_PASS", "1"}, {"MATERIAL_PROPERTIES_BINDING", "1"}})});
        list.push_back({"cubemap", 1,
                        stages("shaders/materials/cubemap.vsh", "shaders/materials/cubemap.fsh", {{"DEFERRED_PASS", "1"}}),
                        true,
                        stages("shaders/materials/shadowmap.vsh", "shaders/materials/shadowmap.fsh",
                               {{"SHADOWMAP_PASS", "1"}})});
        list.push_back({"flatterrain", 2, terrainStages({{"HAS_GEOMETRY_SHADER", "1"}, {"DEFERRED_PASS", "1"}}), true,
                        terrainStages({{"HAS_GEOMETRY_SHADER", "1"}, {"SHADOWMAP_PASS", "1"}})});
        list.push_back({"flat_pathdeform", 3, stages(kTextureVs, kTextureFs, {{"MATERIAL_PROPERTIES_BINDING", "2"}}),
                        true, stages(kTextureVs, kTextureFs, {{"SHADOWMAP_PASS", "1"}})});
        const char* cubeVs = "shaders/materials/0texture_cube_instancing.vsh";
        list.push_back({"flat_cube_instancing", 0,
                        stages(cubeVs, kTextureFs, {{"MATERIAL_PROPERTIES_BINDING", "1"}, {"DEFERRED_PASS", "1"}}), true,
                        stages(cubeVs, kTextureFs, {{"MATERIAL_PROPERTIES_BINDING", "1"}, {"SHADOWMAP_PASS", "1"}})});
        const char* lineVs = "shaders/materials/0texture_line_particle.vsh";
        list.push_back({"flat_line_particle", 0, stages(lineVs, kTextureFs, {{"MATERIAL_PROPERTIES_BINDING", "2"}}),
                        true, stages(lineVs, kTextureFs, {{"SHADOWMAP_PASS", "1"}})});
        const char* ribbonVs = "shaders/materials/0texture_ribbon_particle.vsh";
        list.push_back({"flat_ribbon_particle", 0,
                        stages(ribbonVs, kTextureFs, {{"MATERIAL_PROPERTIES_BINDING", "1"}, {"DEFERRED_PASS", "1"}}),
                        true,
                        stages(ribbonVs, kTextureFs, {{"MATERIAL_PROPERTIES_BINDING", "1"}, {"SHADOWMAP_PASS", "1"}})});
        const char* quadVs = "shaders/materials/0texture_quad_instancing.vsh";
        list.push_back({"flat_quad_instancing", 0,
                        stages(quadVs, kTextureFs, {{"MATERIAL_PROPERTIES_BINDING", "2"}, {"DEFERRED_PASS", "1"}}), true,
                        stages(quadVs, kTextureFs, {{"SHADOWMAP_PASS", "1"}})});
        const ShaderDefines raytraceShadow = {
            {"SHADOWMAP_PASS", "1"}, {"LIGHT_PROPERTIES_BINDING", "1"}, {"MATERIAL_PROPERTIES_BINDING", "1"}};
        list.push_back({"raytrace_simple", 2,
                        stages(kRaytraceVs, kRaytraceFs,
                               {{"MATERIAL_PROPERTIES_BINDING", "1"},
                                {"LIGHT_PROPERTIES_BINDING", "1"},
                                {"RAYTRACE_PASS", "1"}}),
                        true, stages(kRaytraceVs, kRaytraceFs, raytraceShadow)});
        list.push_back({"raytrace_proxy", 2,
                        stages(kRaytraceVs, kRaytraceFs,
                               {{"PROXY_PASS", "1"},
                                {"LIGHT_PROPERTIES_BINDING", "1"},
                                {"MATERIAL_PROPERTIES_BINDING", "1"}}),
                        true, stages(kRaytraceVs, kRaytraceFs, raytraceShadow)});
        list.push_back({"raytrace_partitioning", 2,
                        stagesWithGeometry(kRaytraceVs, "shaders/materials/partition_raytrace.fsh", kPartitionGs,
                                           {{"INSERT_PASS", "1"},
                                            {"LIGHT_PROPERTIES_BINDING", "1"},
                                            {"MATERIAL_PROPERTIES_BINDING", "1"},
                                            {"PARTITION_RAYTRACE", "1"}}),
                        false, {}});
        list.push_back({"raytrace_partitioning_visualize", 2,
                        stages(kRaytraceVs, kTextureFs, {{"VISUALIZE_RAYTRACE_GRID", "1"}}), false, {}});
        list.push_back({"voxelization_partitioning", 2,
                        stagesWithGeometry(kRaytraceVs, "shaders/materials/partition_voxelize.fsh", kPartitionGs,
                                           {{"LIGHT_PROPERTIES_BINDING", "1"},
                                            {"MATERIAL_PROPERTIES_BINDING", "2"},
                                            {"PARTITION_VOXELIZE", "1"}}),
                        false, {}});
        list.push_back({"voxelization_partitioning_visualize", 2,
                        stages(kRaytraceVs, kTextureFs,
                               {{"VISUALIZE_VOXELIZATION_GRID", "1"},
                                {"MATERIAL_PROPERTIES_BINDING", "2"},
                                {"DEFERRED_PASS", "1"}}),
                        false, {}});
        return list;
    }();
    return roots;
}

ShaderProgram* loadRootProgram(const RootStages& s)
{
    return shaderLoadProgramStages(s.vertex, s.fragment, s.tessControl, s.tessEvaluation, s.geometry, s.defines);
}

std::string cvarMaterialName(const Material* material)
{
    return material ? material->name : std::string();
}

void installRegistrySeams()
{
    cvarMaterialHooks.findMaterial = &MaterialManager::findMaterial;
    cvarMaterialHooks.materialName = &cvarMaterialName;
}

// The parameter tree finds materials through the registry from the start, whoever registers the roots.
[[maybe_unused]] const bool seamsInstalled = (installRegistrySeams(), true);

} // namespace

// ---- Material ----

Material::Material(const std::string& name, int id, ShaderProgram* deferred, ShaderProgram* shadowmap)
    : id(id), name(name), deferredProgram(deferred), shadowmapProgram(shadowmap)
{
}

Material::~Material()
{
    releaseTextureVariants();
    shaderDeleteProgram(geometryProgram);
    if (ownsPrograms) {
        shaderDeleteProgram(deferredProgram);
        shaderDeleteProgram(shadowmapProgram);
    }
}

Material* Material::clone() const
{
    ShaderProgram* deferred = nullptr;
    ShaderProgram* shadowmap = nullptr;
    if (!copyPrograms(deferredProgram, shadowmapProgram, deferred, shadowmap)) {
        LOG_ERROR("Failed to copy the programs of material <%s>", name.c_str());
        return nullptr;
    }
    auto* copy = new Material(name, id, deferred, shadowmap);
    copy->parent = const_cast<Material*>(this);
    copy->ownsPrograms = true;
    return copy;
}

void Material::setOverrideSource(const std::string& text)
{
    std::string& current = overrideSources[0];
    if (current == text)
        return;
    rebuildCountdown = current.empty() ? 1 : kMaterialEditCountdown;
    current = text;
}

void Material::rebuild()
{
    rebuildCountdown = 0;
    // Built from the defines being replaced.
    releaseTextureVariants();
    // Private copies first: a define written into programs still shared with the root would reach every other
    // material of that root.
    if (!ownsPrograms) {
        ShaderProgram* deferred = nullptr;
        ShaderProgram* shadowmap = nullptr;
        if (!copyPrograms(deferredProgram, shadowmapProgram, deferred, shadowmap)) {
            LOG_ERROR("Failed to copy the programs of material <%s>; keeping the shared ones", name.c_str());
            return;
        }
        deferredProgram = deferred;
        shadowmapProgram = shadowmap;
        ownsPrograms = true;
    }
    // A cleared override leaves the programs, rather than compiling the previous text on.
    setOverrideDefine(deferredProgram, overrideSources[0]);
    setOverrideDefine(shadowmapProgram, overrideSources[0]);
    for (int k = 0; k < 3 && vertexModifiersGiven; ++k)
        for (ShaderProgram* program : {deferredProgram, shadowmapProgram})
            setInlineDefine(program, kVertexModifierDefines[k], vertexModifierBlocks[k]);
    if (deferredProgram)
        shaderReloadProgram(deferredProgram);
    if (shadowmapProgram)
        shaderReloadProgram(shadowmapProgram);
    buildGeometryPassProgram();
}

void Material::setVertexModifierBlocks(const std::string& params, const std::string& local, const std::string& world)
{
    // Unchanged texts need no new programs (every renderer injects once after loading).
    if (vertexModifierBlocks[0] == params && vertexModifierBlocks[1] == local && vertexModifierBlocks[2] == world)
        return;
    vertexModifierBlocks[0] = params;
    vertexModifierBlocks[1] = local;
    vertexModifierBlocks[2] = world;
    vertexModifiersGiven = true;
    rebuildCountdown = 1;
}

ShaderProgram* Material::getProgram(Renderer::Pass pass)
{
    if (rebuildCountdown > 1)
        --rebuildCountdown;
    else if (rebuildCountdown == 1)
        rebuild();

    ShaderProgram* program = nullptr;
    switch (pass) {
    case Renderer::PASS_DEFERRED:
        program = deferredProgram;
        break;
    case Renderer::PASS_SHADOWMAP:
        program = shadowmapProgram;
        break;
    case Renderer::PASS_GEOMETRY:
        if (!geometryProgram)
            buildGeometryPassProgram();
        program = geometryProgram;
        break;
    default:
        return nullptr;
    }
    return usable(program) ? program : nullptr;
}

ShaderProgram* Material::getProgram(Renderer::Pass pass, uint32_t textureMask)
{
    ShaderProgram* program = getProgram(pass);
    textureMask &= MATERIAL_TEXTURES_ALL;
    if (!program || pass != Renderer::PASS_DEFERRED || textureMask == MATERIAL_TEXTURES_ALL ||
        !samplesMaterialTextures(program))
        return program;
    Material* holder = !ownsPrograms && parent && parent->deferredProgram == deferredProgram ? parent : this;
    ShaderProgram* variant = holder->textureVariant(textureMask);
    return variant ? variant : program;
}

ShaderProgram* Material::textureVariant(uint32_t textureMask)
{
    ShaderProgram*& variant = textureVariants[textureMask];
    if (!variant) {
        const ShaderProgram* base = deferredProgram;
        ShaderDefines defines = base->defines;
        defines[kMaterialTextureMaskDefine] = std::to_string(textureMask);
        const ShaderTessStages* tess = base->tessellation;
        variant = shaderLoadProgramStages(stagePath(base->vertex), stagePath(base->fragment),
                                          tess ? stagePath(tess->control) : "", tess ? stagePath(tess->evaluation) : "",
                                          stagePath(base->geometry), defines);
    }
    return usable(variant) ? variant : nullptr;
}

void Material::releaseTextureVariants()
{
    for (auto& [mask, program] : textureVariants)
        shaderDeleteProgram(program);
    textureVariants.clear();
}

void Material::buildGeometryPassProgram()
{
    const ShaderProgram* deferred = deferredProgram;
    if (!deferred || !deferred->vertex || !deferred->fragment || deferred->vertex->path == SHADER_TEXT_PATH ||
        deferred->fragment->path == SHADER_TEXT_PATH) {
        LOG_ERROR("Material <%s> has no file-built deferred program to derive its geometry pass from", name.c_str());
        return;
    }
    ShaderDefines defines = deferred->defines;
    defines.insert_or_assign("GEOMETRY_PASS", std::string(1, '1'));
    defines.erase("DEFERRED_PASS");
    ShaderProgram* built = shaderLoadProgramStages(deferred->vertex->path, deferred->fragment->path, "", "",
                                                   kMaterialGeometryPassStage, defines);
    shaderDeleteProgram(std::exchange(geometryProgram, built));
}

Material* materialCreateFromRoot(const std::string& rootName)
{
    Material* root = MaterialManager::findRootMaterial(rootName);
    if (!root)
        return nullptr;
    auto* material = new Material(root->name, root->id, root->deferredProgram, root->shadowmapProgram);
    material->parent = root;
    return material;
}

// ---- Registry ----

namespace MaterialManager {

bool registerRoot(Material* root)
{
    if (!root) {
        LOG_ERROR("No root material to register");
        return false;
    }
    return rootRegistry().emplace(root->name, root).second;
}

Material* findRootMaterial(const std::string& name)
{
    auto& roots = rootRegistry();
    auto found = roots.find(name);
    if (found == roots.end()) {
        LOG_ERROR("Failed to find root maternil <%s>\\n", name.c_str());
        return nullptr;
    }
    return found->second;
}

Material* findMaterial(const std::string& rootName, const std::string& materialName)
{
    if (Material* root = findRootMaterial(rootName)) {
        if (root->name == materialName)
            return root;
        for (Material* derived : root->derivedMaterials)
            if (derived && derived->name == materialName)
                return derived;
    }
    LOG_ERROR("Failed to acquire maternal <%s> for root: <%s>", materialName.c_str(), rootName.c_str());
    return nullptr;
}

void registerBuiltinRoots()
{
    installRegistrySeams();
    auto& roots = rootRegistry();
    for (const RootDescription& description : builtinRoots()) {
        if (roots.count(description.name))
            continue;
        ShaderProgram* deferred = loadRootProgram(description.deferred);
        ShaderProgram* shadowmap = description.hasShadowmap ? loadRootProgram(description.shadowmap) : nullptr;
        registerRoot(new Material(description.name, description.id, deferred, shadowmap));
    }
}

size_t rootCount()
{
    return rootRegistry().size();
}

void releaseRoots()
{
    for (auto& [name, root] : rootRegistry()) {
        if (!root->ownsPrograms) {
            shaderDeleteProgram(root->deferredProgram);
            shaderDeleteProgram(root->shadowmapProgram);
        }
        delete root; // its geometry-pass program, and the others when it owns them
    }
    rootRegistry().clear();
}

const std::vector<std::string>& builtinRootNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const RootDescription& description : builtinRoots())
            list.push_back(description.name);
        return list;
    }();
    return names;
}

} // namespace MaterialManager
