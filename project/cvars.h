// Typed parameters (Cvar) and the tree of branches that holds them, with the JSON form of "variables.json".
//
// Owners keep their Cvar objects and register each one into a branch. Loading a file creates placeholder
// cvars for stored values whose owners have not registered yet; a later registration of the same name in the
// same branch adopts the stored value and destroys the placeholder.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>
#include <vector>

class EngineComponent;
struct Curve;
struct Material;

namespace CvarType {
enum : int32_t {
    Unregistered = -1,
    Float = 0,
    Int = 1,
    Button = 2,
    Color = 4,
    Vec3 = 5,
    Enum = 6,
    Curve = 7,
    Material = 8,
    Bool = 9,
    Resource = 10,
    Vec2 = 11,
    Text = 12,
};
}

// Scopes of the registration and lookup functions.
namespace CvarScope {
enum : int { Root = 0, Current = 1, Node = 2 };
}

struct Cvar {
    uint64_t uuid = 0;
    std::string name;
    std::string text; // Text value, or the resource name of a Resource cvar
    float min = 0.0f;
    float max = 0.0f;
    int32_t type = CvarType::Unregistered;
    float value[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    bool alphaEditable = true;
    bool unclaimed = false;
    bool readOnly = false;
    bool ownedByTree = false;
    bool graph_exposed = false;
    bool animatable = false;
    const char* const* enumOptions = nullptr; // null-terminated; not owned
    Material* rootMaterial = nullptr;
    Material* material = nullptr;
    std::string materialName;
    int32_t resourceType = 0;
    Curve* curve = nullptr; // not owned
    // The value as registered or last loaded. Channels an animation drove in the current frame are saved with
    // it, so playing a project never rewrites its files with passing values.
    float restValue[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    uint32_t drivenFrame = 0; // cvarAnimationFrame when drivenMask was last written
    uint32_t drivenMask = 0;  // bit i: channel i was written by an animation in drivenFrame

    Cvar() = default;
    Cvar(const Cvar&) = default;
    Cvar& operator=(const Cvar&) = default;
    // Tells the destroy listeners, so tracks and selections keyed by this cvar go with it.
    ~Cvar();
};

// Processed frames so far; GraphProcessing counts one up before it animates anything. 0: nothing animated yet.
extern uint32_t cvarAnimationFrame;
// Records that an animation (the timeline, a linked value, a following camera controller) wrote these channels
// in the current frame.
void CvarMarkDriven(Cvar* cvar, uint32_t channelMask);
// The value a save writes for channel i: the rest value while an animation drives it, else the value.
float CvarSavedValue(const Cvar* cvar, int channel);

// Called with every Cvar that is being destroyed. Listeners must stay valid for the whole process (cvars may die
// during static destruction).
using CvarDestroyedListener = void (*)(Cvar* cvar);
void CvarAddDestroyedListener(CvarDestroyedListener listener);
void CvarRemoveDestroyedListener(CvarDestroyedListener listener);

// Number of names in a null-terminated option table (0 for null).
int CvarEnumOptionCount(const char* const* options);

class CvarTreeNode {
public:
    CvarTreeNode(const std::string& name, CvarTreeNode* parent);
    // Destroys the child branches and the tree-owned cvars; owners' cvars are only forgotten.
    ~CvarTreeNode();
    CvarTreeNode(const CvarTreeNode&) = delete;
    CvarTreeNode& operator=(const CvarTreeNode&) = delete;

    // The owner of the branch or of its nearest ancestor with one; null for global branches.
    static EngineComponent* FindOwner(CvarTreeNode* branch);

    std::string caption;
    std::string name;
    std::vector<Cvar*> cvars;
    std::vector<CvarTreeNode*> children;
    CvarTreeNode* parent = nullptr;
    bool open = true;
    bool save = true;
    bool visible = true;
    float color[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    EngineComponent* owner = nullptr;
};

// The process-wide root (never destroyed) and the branch that scope-1 registrations use.
extern CvarTreeNode& cvarTreeRoot;
extern CvarTreeNode* cvarTreeCurrentBranch;

CvarTreeNode* CvarTreeFindBranch(const std::string& name, int scope, CvarTreeNode* node = nullptr);
CvarTreeNode* CvarTreePushBranch(const std::string& name);
CvarTreeNode* CvarTreePopBranch();

void CvarTreeRegisterFloat(Cvar* cvar, const std::string& name, float value, float min, float max, int scope = 1,
                           CvarTreeNode* node = nullptr);
void CvarTreeRegisterInt(Cvar* cvar, const std::string& name, int value, int scope = 1, CvarTreeNode* node = nullptr);
void CvarTreeRegisterButton(Cvar* cvar, const std::string& name);
void CvarTreeRegisterColor(Cvar* cvar, const std::string& name, float r, float g, float b, float a, int scope = 1,
                           CvarTreeNode* node = nullptr);
void CvarTreeRegisterVec3(Cvar* cvar, const std::string& name, float x, float y, float z, int scope = 1,
                          CvarTreeNode* node = nullptr);
void CvarTreeRegisterEnum(Cvar* cvar, const std::string& name, const char* const* options, int index, int scope = 1,
                          CvarTreeNode* node = nullptr);
void CvarTreeRegisterCurve(Cvar* cvar, const std::string& name, Curve* curve, int scope = 1,
                           CvarTreeNode* node = nullptr);
void CvarTreeRegisterMaterial(Cvar* cvar, const std::string& name, Material* root, int scope = 1,
                              CvarTreeNode* node = nullptr);
void CvarTreeRegisterBool(Cvar* cvar, const std::string& name, float value, int scope = 1, CvarTreeNode* node = nullptr);
void CvarTreeRegisterResource(Cvar* cvar, const std::string& name, const std::string& defaultName, int resourceType,
                              int scope = 1, CvarTreeNode* node = nullptr);
void CvarTreeRegisterVec2(Cvar* cvar, const std::string& name, float x, float y, int scope = 1,
                          CvarTreeNode* node = nullptr);
void CvarTreeRegisterText(Cvar* cvar, const std::string& name, const std::string& text, int scope = 1,
                          CvarTreeNode* node = nullptr);

// Depth first: the branch's own cvars, then each child in order.
Cvar* CvarTreeFindByUuid(uint64_t uuid, CvarTreeNode* node);
// Drops the unclaimed placeholders of a branch and below, then the child branches left empty.
void CvarTreeRemoveUnclaimed(CvarTreeNode* node);
// Pre-order collection of the cvars of that type (-1: all).
std::vector<Cvar*> CvarTreeCollect(CvarTreeNode* node, int type);

// ---- "variables.json" form ----

// The branch as JSON text (indent 4), or "" when its save flag is clear.
std::string CvarTreeToJson(CvarTreeNode* node);
// The same as a JSON value (null when the save flag is clear); graph.json embeds it.
nlohmann::json CvarTreeToJsonValue(CvarTreeNode* node);
// Writes CvarTreeToJson to the path (the asset base path is put in front unless the path is absolute).
bool CvarTreeSave(CvarTreeNode* node, const std::string& path);
// Merges the text into the scope's branch; returns the branch that received the top-level object, or null when
// the text is not a well-formed branch (then nothing is merged). Empty text (a branch that does not save) merges
// nothing, quietly.
CvarTreeNode* CvarTreeLoadFromJson(const std::string& text, int scope, CvarTreeNode* node = nullptr);
// The same for an already parsed value; source names the file in error messages.
CvarTreeNode* CvarTreeLoadFromJsonValue(const nlohmann::json& value, int scope, CvarTreeNode* node,
                                        const std::string& source);
// Empty when the value is a well-formed branch; otherwise where and what is wrong.
std::string CvarTreeCheckJson(const nlohmann::json& value);
// Reads a data file (relative to the asset base path) into cvarTreeRoot. False when unreadable or malformed.
bool CvarTreeLoad(const std::string& path);

// "#rrggbbaa" of a colour, and back.
std::string CvarColorToText(const float rgba[4]);
void CvarColorFromText(const std::string& text, float rgba[4]);

// ---- Seams to the material manager (installed by the renderer; stand-ins find nothing) ----
struct CvarMaterialHooks {
    // MaterialManager::findMaterial(root name, material name)
    Material* (*findMaterial)(const std::string& rootName, const std::string& materialName);
    // The material's name
    std::string (*materialName)(const Material* material);
};
extern CvarMaterialHooks cvarMaterialHooks;

// Curves created by loading are kept here for the life of the process: a take-over or a later load may leave
// them without a cvar, and nothing else owns them.
Curve* CvarTreeKeepCurve(const Curve& curve);
