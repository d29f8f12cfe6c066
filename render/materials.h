// Materials: a named bundle of GPU programs, one per render pass that draws geometry with it, plus a user GLSL
// override injected into those programs. Fourteen built-in root materials are registered at start-up; components
// make their own materials from a root and ask them for the program of the pass being drawn.
// Main thread only.
#pragma once

#include "render/render_graph.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct MaterialProperties;
struct ShaderProgram;

// The textures a material record has, as bits; a deferred program variant samples only those.
enum MaterialTextureBits : uint32_t {
    MATERIAL_TEXTURE_ALBEDO = 1,
    MATERIAL_TEXTURE_EMISSIVE = 2,
    MATERIAL_TEXTURE_NORMAL = 4,
    MATERIAL_TEXTURE_METALLIC_ROUGHNESS = 8,
    MATERIAL_TEXTURES_ALL = 15,
};
uint32_t materialTextureMask(const MaterialProperties& record);
// Define that carries the mask into the variants ("MATERIAL_TEXTURE_MASK").
extern const char* const kMaterialTextureMaskDefine;

// Default text of the "shader" parameter of material blocks: the hooks an override may define, commented out.
extern const char* const materialShaderTemplate;
// The voxelizer's override: the surface colour becomes the vertex colour.
extern const char* const vertexColorAlbedoOverride;

// Define that carries a material's override text into its programs ("#inline <INLINE_MATERIAL_OVERRIDE>").
extern const char* const kMaterialOverrideDefine;
// Geometry stage of every geometry-pass variant.
extern const char* const kMaterialGeometryPassStage;

// Override texts; only the first is used.
constexpr int kMaterialOverrideSourceCount = 6;
// An override edit is compiled on this many getProgram calls after it.
constexpr uint32_t kMaterialEditCountdown = 50;

struct Material {
    int id = 0;                      // carried unchanged from the root
    uint32_t rebuildCountdown = 0;   // 0 idle; n > 1 counts getProgram calls; 1 rebuilds at the next call
    std::string overrideSources[kMaterialOverrideSourceCount];
    // Joined vertex-modifier texts for "INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK", "..._TRANSFORM_LOCAL_BLOCK" and
    // "..._TRANSFORM_WORLD_BLOCK"; kept here so they reach the programs only once the material owns them.
    std::string vertexModifierBlocks[3];
    bool vertexModifiersGiven = false; // rebuilds leave the defines alone until blocks were first given
    bool ownsPrograms = false;       // deferred and shadow-map programs are private copies
    Material* parent = nullptr;      // not owned
    std::string name;                // the root's name
    std::vector<Material*> derivedMaterials; // searched by MaterialManager::findMaterial; not owned
    ShaderProgram* deferredProgram = nullptr;
    ShaderProgram* shadowmapProgram = nullptr; // null: the material casts no shadows
    ShaderProgram* geometryProgram = nullptr;  // built on first request; always the material's own

    // Shares the programs it is given until its first rebuild.
    Material(const std::string& name, int id, ShaderProgram* deferred, ShaderProgram* shadowmap);
    // Releases the geometry-pass program and, when the material owns them, the other two.
    ~Material();
    Material(const Material&) = delete;
    Material& operator=(const Material&) = delete;

    // Same name and id, parent = this, private copies of the deferred and shadow-map programs; no override.
    // Null (after a log line) when the programs cannot be copied.
    Material* clone() const;
    // A changed text is compiled at the next getProgram when the material had none before, else at the 50th.
    void setOverrideSource(const std::string& text);
    // Takes the three vertex-modifier texts (empty ones remove their define); changed texts rebuild at the next
    // getProgram.
    void setVertexModifierBlocks(const std::string& params, const std::string& local, const std::string& world);
    // Runs the rebuild countdown (every call counts), then the program of Deferred, Shadowmap or Geometry; null
    // for any other pass and for a program that is missing or failed to build.
    ShaderProgram* getProgram(Renderer::Pass pass);
    // The same, for a draw whose record has the textures of `textureMask` (materialTextureMask): in the "Deferred"
    // pass of a program that samples the material textures, the variant that samples only those, built on first
    // use. Materials still sharing their root's programs share its variants. The full program when the variant
    // does not build.
    ShaderProgram* getProgram(Renderer::Pass pass, uint32_t textureMask);
    // Texture variants this material holds.
    size_t textureVariantCount() const { return textureVariants.size(); }
    // The deferred program's files and defines with GEOMETRY_PASS instead of DEFERRED_PASS, plus the geometry stage
    // that exports the transformed triangles. Replaces (and releases) the previous one.
    void buildGeometryPassProgram();

private:
    void rebuild();
    ShaderProgram* textureVariant(uint32_t textureMask);
    void releaseTextureVariants();

    std::unordered_map<uint32_t, ShaderProgram*> textureVariants; // of deferredProgram, by mask; owned
};

// A new material sharing the programs of the named root, with the root as parent; null when there is no such
// root (logged by findRootMaterial). The caller owns it.
Material* materialCreateFromRoot(const std::string& rootName);

namespace MaterialManager {

// Enters a root under its name. False when the name is taken: the first root stays and the caller keeps `root`.
bool registerRoot(Material* root);
// Null, with an error line, when no root has the name.
Material* findRootMaterial(const std::string& name);
// The root itself when its name is the material name, else the first derived material of that name.
Material* findMaterial(const std::string& rootName, const std::string& materialName);
// The fourteen built-in roots, in their fixed order; roots already registered are left as they are. Also connects
// the parameter tree and the shared-inputs start-up to the registry.
void registerBuiltinRoots();
size_t rootCount();
// Deletes every root with its programs and empties the registry (process shutdown, test binaries). Materials
// made from a root share its programs, so all of them must be gone first.
void releaseRoots();
// Names of the built-in roots in registration order.
const std::vector<std::string>& builtinRootNames();

} // namespace MaterialManager
