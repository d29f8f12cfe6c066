#include "project/cvars.h"

#include "app/data_files.h"
#include "app/log.h"
#include "project/curves.h"
#include "project/json_file.h"
#include "project/project.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

using nlohmann::json;

// ---- Destroy listeners ----

namespace {

std::vector<CvarDestroyedListener>& destroyedListeners()
{
    // Never destroyed: cvars of process-wide objects die during static destruction.
    static auto* listeners = new std::vector<CvarDestroyedListener>();
    return *listeners;
}

std::vector<std::unique_ptr<Curve>>& keptCurves()
{
    static auto* curves = new std::vector<std::unique_ptr<Curve>>();
    return *curves;
}

// float -> int the way a cast truncates, without the undefined behaviour of NaN or out-of-range values.
int truncateToInt(float v)
{
    if (!(v == v))
        return 0;
    if (v >= 2147483520.0f)
        return INT32_MAX;
    if (v <= -2147483648.0f)
        return INT32_MIN;
    return static_cast<int>(v);
}

// Enum indices loaded from files index option tables: keep them inside the table.
float clampEnumIndex(float v, const char* const* options)
{
    if (!options)
        return v;
    int count = CvarEnumOptionCount(options);
    if (count == 0 || !(v == v) || v < 0.0f)
        return 0.0f;
    int index = truncateToInt(v);
    return static_cast<float>(std::min(index, count - 1));
}

Material* stubFindMaterial(const std::string& rootName, const std::string& materialName)
{
    LOG_ERROR("Failed to acquire maternal <%s> for root: <%s>", materialName.c_str(), rootName.c_str());
    return nullptr;
}

std::string stubMaterialName(const Material*) { return {}; }

} // namespace

CvarMaterialHooks cvarMaterialHooks = {&stubFindMaterial, &stubMaterialName};

Cvar::~Cvar()
{
    for (CvarDestroyedListener listener : destroyedListeners())
        listener(this);
}

void CvarAddDestroyedListener(CvarDestroyedListener listener) { destroyedListeners().push_back(listener); }

void CvarRemoveDestroyedListener(CvarDestroyedListener listener)
{
    auto& list = destroyedListeners();
    list.erase(std::remove(list.begin(), list.end(), listener), list.end());
}

int CvarEnumOptionCount(const char* const* options)
{
    int count = 0;
    while (options && options[count])
        ++count;
    return count;
}

Curve* CvarTreeKeepCurve(const Curve& curve)
{
    keptCurves().push_back(std::make_unique<Curve>(curve));
    return keptCurves().back().get();
}

// ---- Branches ----

CvarTreeNode& cvarTreeRoot = *new CvarTreeNode("", nullptr);
CvarTreeNode* cvarTreeCurrentBranch = &cvarTreeRoot;

CvarTreeNode::CvarTreeNode(const std::string& name, CvarTreeNode* parent) : name(name), parent(parent) {}

CvarTreeNode::~CvarTreeNode()
{
    for (CvarTreeNode* child : children)
        delete child;
    for (Cvar* cvar : cvars)
        if (cvar->ownedByTree)
            delete cvar;
    if (cvarTreeCurrentBranch == this)
        cvarTreeCurrentBranch = &cvarTreeRoot;
}

EngineComponent* CvarTreeNode::FindOwner(CvarTreeNode* branch)
{
    for (CvarTreeNode* node = branch; node; node = node->parent)
        if (node->owner)
            return node->owner;
    return nullptr;
}

namespace {

CvarTreeNode* scopeNode(int scope, CvarTreeNode* node)
{
    switch (scope) {
    case CvarScope::Root:
        return &cvarTreeRoot;
    case CvarScope::Current:
        return cvarTreeCurrentBranch;
    case CvarScope::Node:
        return node;
    default:
        return nullptr;
    }
}

// The first cvar of that name, or null.
Cvar* findCvar(CvarTreeNode* node, const std::string& name)
{
    for (Cvar* cvar : node->cvars)
        if (cvar->name == name)
            return cvar;
    return nullptr;
}

} // namespace

CvarTreeNode* CvarTreeFindBranch(const std::string& name, int scope, CvarTreeNode* node)
{
    CvarTreeNode* parent = scopeNode(scope, node);
    if (!parent)
        return nullptr;
    for (CvarTreeNode* child : parent->children)
        if (child->name == name)
            return child;
    return nullptr;
}

CvarTreeNode* CvarTreePushBranch(const std::string& name)
{
    CvarTreeNode* branch = CvarTreeFindBranch(name, CvarScope::Current);
    if (!branch) {
        branch = new CvarTreeNode(name, cvarTreeCurrentBranch);
        cvarTreeCurrentBranch->children.push_back(branch);
    }
    cvarTreeCurrentBranch = branch;
    return branch;
}

CvarTreeNode* CvarTreePopBranch()
{
    if (cvarTreeCurrentBranch->parent)
        cvarTreeCurrentBranch = cvarTreeCurrentBranch->parent;
    else if (cvarTreeCurrentBranch == &cvarTreeRoot)
        LOG_WARNING("Reached tree root node. Can not go to parent");
    else
        cvarTreeCurrentBranch = &cvarTreeRoot;
    return cvarTreeCurrentBranch;
}

// ---- Registration ----

namespace {

// Steps shared by every member: find the branch, take the old entry of that name out of it (handing it to
// takeOver before it may be destroyed), then set the common fields and append the cvar.
template <typename TakeOver>
void registerCvar(Cvar* cvar, const std::string& name, int32_t type, int scope, CvarTreeNode* node,
                  TakeOver&& takeOver)
{
    if (!cvar) {
        LOG_ERROR("Null cvar registered as <%s>", name.c_str());
        return;
    }
    CvarTreeNode* branch = scopeNode(scope, node);
    if (!branch) {
        LOG_ERROR("No branch for cvar <%s> (scope %d)", name.c_str(), scope);
        return;
    }
    Cvar* old = findCvar(branch, name);
    takeOver(old);
    if (old) {
        auto& list = branch->cvars;
        list.erase(std::remove(list.begin(), list.end(), old), list.end());
        if (old->ownedByTree && old != cvar)
            delete old;
    }
    cvar->type = type;
    cvar->name = name;
    cvar->unclaimed = false;
    branch->cvars.push_back(cvar);
}

void setValue(Cvar* cvar, float a, float b, float c, float d)
{
    cvar->value[0] = a;
    cvar->value[1] = b;
    cvar->value[2] = c;
    cvar->value[3] = d;
    std::copy(cvar->value, cvar->value + 4, cvar->restValue);
}

} // namespace

void CvarTreeRegisterFloat(Cvar* cvar, const std::string& name, float value, float min, float max, int scope,
                           CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Float, scope, node, [&](Cvar* old) {
        setValue(cvar, old ? old->value[0] : value, 0, 0, 0);
        cvar->text.clear();
        cvar->min = min;
        cvar->max = max;
    });
}

void CvarTreeRegisterInt(Cvar* cvar, const std::string& name, int value, int scope, CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Int, scope, node, [&](Cvar* old) {
        setValue(cvar, static_cast<float>(old ? truncateToInt(old->value[0]) : value), 0, 0, 0);
        cvar->text.clear();
        cvar->min = cvar->max = 0.0f;
    });
}

void CvarTreeRegisterButton(Cvar* cvar, const std::string& name)
{
    registerCvar(cvar, name, CvarType::Button, CvarScope::Current, nullptr, [&](Cvar*) {
        setValue(cvar, 0, 0, 0, 0);
        cvar->text.clear();
        cvar->min = 0.0f;
        cvar->max = 1.0f;
    });
}

void CvarTreeRegisterColor(Cvar* cvar, const std::string& name, float r, float g, float b, float a, int scope,
                           CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Color, scope, node, [&](Cvar* old) {
        if (old)
            setValue(cvar, old->value[0], old->value[1], old->value[2], old->value[3]);
        else
            setValue(cvar, r, g, b, a);
        cvar->text.clear();
        cvar->min = cvar->max = 0.0f;
    });
}

void CvarTreeRegisterVec3(Cvar* cvar, const std::string& name, float x, float y, float z, int scope,
                          CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Vec3, scope, node, [&](Cvar* old) {
        if (old)
            setValue(cvar, old->value[0], old->value[1], old->value[2], 0);
        else
            setValue(cvar, x, y, z, 0);
        cvar->text.clear();
        cvar->min = cvar->max = 0.0f;
    });
}

void CvarTreeRegisterEnum(Cvar* cvar, const std::string& name, const char* const* options, int index, int scope,
                          CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Enum, scope, node, [&](Cvar* old) {
        cvar->enumOptions = old && old->enumOptions ? old->enumOptions : options;
        float v = old ? old->value[0] : static_cast<float>(index);
        setValue(cvar, clampEnumIndex(v, cvar->enumOptions), 0, 0, 0);
        cvar->text.clear();
        cvar->min = 0.0f;
        cvar->max = 1.0f;
    });
}

void CvarTreeRegisterCurve(Cvar* cvar, const std::string& name, Curve* curve, int scope, CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Curve, scope, node, [&](Cvar* old) {
        cvar->curve = old && old->curve ? old->curve : curve;
        setValue(cvar, 0, 0, 0, 0);
        cvar->text.clear();
        cvar->min = cvar->max = 0.0f;
        cvar->rootMaterial = cvar->material = nullptr;
    });
}

void CvarTreeRegisterMaterial(Cvar* cvar, const std::string& name, Material* root, int scope, CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Material, scope, node, [&](Cvar* old) {
        cvar->rootMaterial = root;
        cvar->material = root;
        if (old && root) {
            std::string rootName = cvarMaterialHooks.materialName(root);
            std::string stored = old->material ? cvarMaterialHooks.materialName(old->material) : old->materialName;
            Material* found = cvarMaterialHooks.findMaterial(rootName, stored);
            if (found) {
                cvar->material = found;
            } else {
                LOG_WARNING("Loaded material <%s> for root_material <%s> does not exist, ignoring", stored.c_str(),
                            rootName.c_str());
            }
        }
        cvar->text.clear();
        cvar->min = cvar->max = 0.0f;
    });
}

void CvarTreeRegisterBool(Cvar* cvar, const std::string& name, float value, int scope, CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Bool, scope, node, [&](Cvar* old) {
        setValue(cvar, old ? old->value[0] : value, 0, 0, 0);
        cvar->text.clear();
        cvar->min = 0.0f;
        cvar->max = 1.0f;
    });
}

void CvarTreeRegisterResource(Cvar* cvar, const std::string& name, const std::string& defaultName, int resourceType,
                              int scope, CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Resource, scope, node, [&](Cvar* old) {
        cvar->text = old ? old->text : defaultName;
        cvar->resourceType = resourceType;
        setValue(cvar, 0, 0, 0, 0);
        cvar->min = cvar->max = 0.0f;
        cvar->rootMaterial = cvar->material = nullptr;
    });
}

void CvarTreeRegisterVec2(Cvar* cvar, const std::string& name, float x, float y, int scope, CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Vec2, scope, node, [&](Cvar* old) {
        if (old)
            setValue(cvar, old->value[0], old->value[1], 0, 0);
        else
            setValue(cvar, x, y, 0, 0);
        cvar->text.clear();
        cvar->min = cvar->max = 0.0f;
    });
}

void CvarTreeRegisterText(Cvar* cvar, const std::string& name, const std::string& text, int scope,
                          CvarTreeNode* node)
{
    registerCvar(cvar, name, CvarType::Text, scope, node, [&](Cvar* old) {
        cvar->text = old ? old->text : text;
        setValue(cvar, 0, 0, 0, 0);
        cvar->min = cvar->max = 0.0f;
        cvar->rootMaterial = cvar->material = nullptr;
    });
}

// ---- Queries ----

Cvar* CvarTreeFindByUuid(uint64_t uuid, CvarTreeNode* node)
{
    if (!node)
        return nullptr;
    for (Cvar* cvar : node->cvars)
        if (cvar->uuid == uuid)
            return cvar;
    for (CvarTreeNode* child : node->children)
        if (Cvar* found = CvarTreeFindByUuid(uuid, child))
            return found;
    return nullptr;
}

void CvarTreeRemoveUnclaimed(CvarTreeNode* node)
{
    if (!node)
        return;
    auto& list = node->cvars;
    auto kept = std::stable_partition(list.begin(), list.end(), [](Cvar* c) { return !c->unclaimed; });
    for (auto it = kept; it != list.end(); ++it)
        if ((*it)->ownedByTree)
            delete *it;
    list.erase(kept, list.end());

    for (CvarTreeNode* child : node->children)
        CvarTreeRemoveUnclaimed(child);

    auto& children = node->children;
    auto empty = std::stable_partition(children.begin(), children.end(),
                                       [](CvarTreeNode* c) { return !c->cvars.empty() || !c->children.empty(); });
    for (auto it = empty; it != children.end(); ++it)
        delete *it;
    children.erase(empty, children.end());
}

namespace {

void collect(CvarTreeNode* node, int type, std::vector<Cvar*>& out)
{
    for (Cvar* cvar : node->cvars)
        if (type == -1 || cvar->type == type)
            out.push_back(cvar);
    for (CvarTreeNode* child : node->children)
        collect(child, type, out);
}

} // namespace

std::vector<Cvar*> CvarTreeCollect(CvarTreeNode* node, int type)
{
    std::vector<Cvar*> out;
    if (node)
        collect(node, type, out);
    return out;
}

// ---- JSON form ----

std::string CvarColorToText(const float rgba[4])
{
    int c[4];
    for (int i = 0; i < 4; ++i) {
        // A hair above the product so that k/255 read from a file comes back as k (float rounding would otherwise
        // turn some of them into k - 1); 0.5 still gives 127.
        float scaled = rgba[i] * 255.0f + 1e-3f;
        c[i] = std::clamp(truncateToInt(scaled), 0, 255);
    }
    char text[16];
    std::snprintf(text, sizeof(text), "#%02x%02x%02x%02x", c[0], c[1], c[2], c[3]);
    return text;
}

uint32_t cvarAnimationFrame = 0;

void CvarMarkDriven(Cvar* cvar, uint32_t channelMask)
{
    if (!cvar)
        return;
    if (cvar->drivenFrame != cvarAnimationFrame) {
        cvar->drivenFrame = cvarAnimationFrame;
        cvar->drivenMask = 0;
    }
    cvar->drivenMask |= channelMask & 0xFu;
}

float CvarSavedValue(const Cvar* cvar, int channel)
{
    const uint32_t frame =
        currentProject && currentProject->animationFrame ? currentProject->animationFrame : cvarAnimationFrame;
    // Apply drives every project's keyed parameters each frame, shown or not: a drive at or after the project's
    // own last frame is still an animation's value, not an edit.
    const bool driven = frame != 0 && cvar->drivenFrame >= frame &&
                        (cvar->drivenMask & (1u << channel)) != 0;
    return driven ? cvar->restValue[channel] : cvar->value[channel];
}

void CvarColorFromText(const std::string& text, float rgba[4])
{
    unsigned c[4] = {0, 0, 0, 0};
    if (!text.empty())
        std::sscanf(text.c_str() + 1, "%02x%02x%02x%02x", &c[0], &c[1], &c[2], &c[3]);
    for (int i = 0; i < 4; ++i)
        rgba[i] = static_cast<float>(c[i]) / 255.0f;
}

namespace {

constexpr int kMaxBranchDepth = 256;

json variableToJson(const Cvar* cvar)
{
    json v;
    v["name"] = cvar->name;
    v["type"] = cvar->type;
    if (cvar->graph_exposed)
        v["graph_exposed"] = true;
    if (cvar->uuid != 0)
        v["uuid"] = cvar->uuid;
    auto d = [cvar](int channel) { return static_cast<double>(CvarSavedValue(cvar, channel)); };
    switch (cvar->type) {
    case CvarType::Float:
    case CvarType::Int:
    case CvarType::Enum:
    case CvarType::Bool:
        v["value"] = {{"v", d(0)}};
        break;
    case CvarType::Color:
        v["value"] = {{"r", d(0)}, {"g", d(1)}, {"b", d(2)}, {"a", d(3)}};
        break;
    case CvarType::Vec3:
        v["value"] = {{"x", d(0)}, {"y", d(1)}, {"z", d(2)}};
        break;
    case CvarType::Vec2:
        v["value"] = {{"x", d(0)}, {"y", d(1)}};
        break;
    case CvarType::Curve:
        v["value"] = cvar->curve ? Curve::ToJson(*cvar->curve) : json::object();
        break;
    case CvarType::Material:
        v["value"] = {{"material_name",
                       cvar->material ? cvarMaterialHooks.materialName(cvar->material) : cvar->materialName}};
        break;
    case CvarType::Resource:
        v["value"] = {{"resource_name", cvar->text}, {"resource_type", cvar->resourceType}};
        break;
    case CvarType::Text:
        v["value"] = {{"text", cvar->text}};
        break;
    default:
        break;
    }
    return v;
}

json nodeToJson(const CvarTreeNode* node)
{
    json j;
    j["branch_name"] = node->name;
    j["open"] = node->open;
    j["color"] = CvarColorToText(node->color);
    json variables = json::array();
    for (const Cvar* cvar : node->cvars)
        if (!cvar->readOnly)
            variables.push_back(variableToJson(cvar));
    if (!variables.empty())
        j["variables"] = std::move(variables);
    json children = json::array();
    for (const CvarTreeNode* child : node->children)
        if (child->save)
            children.push_back(nodeToJson(child));
    if (!children.empty())
        j["children"] = std::move(children);
    return j;
}

// Which keys of "value" a stored type needs, and of which JSON type.
std::string checkValue(int64_t type, const json& variable)
{
    auto value = variable.find("value");
    auto need = [&](std::initializer_list<const char*> keys, bool (json::*is)() const noexcept,
                    const char* what) -> std::string {
        if (value == variable.end() || !value->is_object())
            return "\"value\" is missing or not an object";
        for (const char* key : keys) {
            auto it = value->find(key);
            if (it == value->end() || !((*it).*is)())
                return std::string("\"value\" needs ") + what + " \"" + key + "\"";
        }
        return {};
    };
    switch (type) {
    case CvarType::Float:
    case CvarType::Int:
    case CvarType::Enum:
    case CvarType::Bool:
        return need({"v"}, &json::is_number, "a number");
    case CvarType::Color:
        return need({"r", "g", "b", "a"}, &json::is_number, "a number");
    case CvarType::Vec3:
        return need({"x", "y", "z"}, &json::is_number, "a number");
    case CvarType::Vec2:
        return need({"x", "y"}, &json::is_number, "a number");
    case CvarType::Curve:
        if (value == variable.end())
            return "\"value\" is missing";
        return Curve::CheckJson(*value);
    case CvarType::Material:
        return need({"material_name"}, &json::is_string, "a string");
    case CvarType::Resource: {
        std::string error = need({"resource_name"}, &json::is_string, "a string");
        if (error.empty())
            error = need({"resource_type"}, &json::is_number_integer, "an integer");
        return error;
    }
    case CvarType::Text:
        return need({"text"}, &json::is_string, "a string");
    default:
        return {};
    }
}

std::string checkNode(const json& node, const std::string& where, int depth)
{
    if (depth > kMaxBranchDepth)
        return "branches nested deeper than " + std::to_string(kMaxBranchDepth) + " levels";
    if (!node.is_object())
        return where + ": branch is not an object";
    auto name = node.find("branch_name");
    if (name == node.end() || !name->is_string())
        return where + ": \"branch_name\" is missing or not a string";
    auto open = node.find("open");
    if (open != node.end() && !open->is_boolean())
        return where + ": \"open\" is not a boolean";
    auto color = node.find("color");
    if (color != node.end() && !color->is_string())
        return where + ": \"color\" is not a string";
    auto variables = node.find("variables");
    if (variables != node.end()) {
        if (!variables->is_array())
            return where + ": \"variables\" is not an array";
        for (size_t i = 0; i < variables->size(); ++i) {
            const json& v = (*variables)[i];
            std::string at = where + "/variables/" + std::to_string(i);
            if (!v.is_object())
                return at + ": not an object";
            auto vname = v.find("name");
            if (vname == v.end() || !vname->is_string())
                return at + ": \"name\" is missing or not a string";
            auto type = v.find("type");
            if (type == v.end() || !type->is_number_integer())
                return at + ": \"type\" is missing or not an integer";
            auto exposed = v.find("graph_exposed");
            if (exposed != v.end() && !exposed->is_boolean())
                return at + ": \"graph_exposed\" is not a boolean";
            auto uuid = v.find("uuid");
            uint64_t u;
            if (uuid != v.end() && !jsonfile::readUint64(*uuid, u))
                return at + ": \"uuid\" is not an unsigned integer";
            std::string error = checkValue(type->get<int64_t>(), v);
            if (!error.empty())
                return at + ": " + error;
        }
    }
    auto children = node.find("children");
    if (children != node.end()) {
        if (!children->is_array())
            return where + ": \"children\" is not an array";
        for (size_t i = 0; i < children->size(); ++i) {
            std::string error = checkNode((*children)[i], where + "/children/" + std::to_string(i), depth + 1);
            if (!error.empty())
                return error;
        }
    }
    return {};
}

float number(const json& value, const char* key) { return value.at(key).get<float>(); }

// Writes a stored value into a cvar that already exists (the stored type decides the form).
void applyToExisting(Cvar* cvar, int64_t type, const json& v)
{
    const json* value = v.contains("value") ? &v.at("value") : nullptr;
    switch (type) {
    case CvarType::Float:
    case CvarType::Int:
    case CvarType::Bool:
        cvar->value[0] = number(*value, "v");
        break;
    case CvarType::Enum:
        cvar->value[0] = clampEnumIndex(number(*value, "v"), cvar->enumOptions);
        break;
    case CvarType::Color:
        setValue(cvar, number(*value, "r"), number(*value, "g"), number(*value, "b"), number(*value, "a"));
        break;
    case CvarType::Vec3:
        cvar->value[0] = number(*value, "x");
        cvar->value[1] = number(*value, "y");
        cvar->value[2] = number(*value, "z");
        break;
    case CvarType::Vec2:
        cvar->value[0] = number(*value, "x");
        cvar->value[1] = number(*value, "y");
        break;
    case CvarType::Curve:
        cvar->curve = CvarTreeKeepCurve(Curve::FromJson(*value));
        break;
    case CvarType::Material:
        cvar->materialName = value->at("material_name").get<std::string>();
        cvar->material = cvar->rootMaterial ? cvarMaterialHooks.findMaterial(
                                                  cvarMaterialHooks.materialName(cvar->rootMaterial),
                                                  cvar->materialName)
                                            : nullptr;
        break;
    case CvarType::Resource:
        cvar->text = value->at("resource_name").get<std::string>();
        break;
    case CvarType::Text:
        cvar->text = value->at("text").get<std::string>();
        break;
    default:
        break;
    }
    std::copy(cvar->value, cvar->value + 4, cvar->restValue);
}

// A tree-owned placeholder for a stored value nobody has registered yet.
void createPlaceholder(CvarTreeNode* target, const std::string& name, int64_t type, const json& v, uint64_t uuid,
                       bool exposed)
{
    const json* value = v.contains("value") ? &v.at("value") : nullptr;
    switch (type) {
    case CvarType::Float:
    case CvarType::Int:
    case CvarType::Color:
    case CvarType::Vec3:
    case CvarType::Enum:
    case CvarType::Curve:
    case CvarType::Material:
    case CvarType::Bool:
    case CvarType::Resource:
    case CvarType::Vec2:
    case CvarType::Text:
        break;
    default:
        return; // Buttons and unknown codes hold nothing to keep
    }
    Cvar* cvar = new Cvar();
    cvar->ownedByTree = true;
    cvar->uuid = uuid;
    cvar->graph_exposed = exposed;
    constexpr int scope = CvarScope::Node;
    switch (type) {
    case CvarType::Float:
        CvarTreeRegisterFloat(cvar, name, number(*value, "v"), 0.0f, 1.0f, scope, target);
        break;
    case CvarType::Int:
        CvarTreeRegisterInt(cvar, name, truncateToInt(number(*value, "v")), scope, target);
        break;
    case CvarType::Color:
        CvarTreeRegisterColor(cvar, name, number(*value, "r"), number(*value, "g"), number(*value, "b"),
                              number(*value, "a"), scope, target);
        break;
    case CvarType::Vec3:
        CvarTreeRegisterVec3(cvar, name, number(*value, "x"), number(*value, "y"), number(*value, "z"), scope, target);
        break;
    case CvarType::Enum:
        CvarTreeRegisterEnum(cvar, name, nullptr, truncateToInt(number(*value, "v")), scope, target);
        break;
    case CvarType::Curve:
        CvarTreeRegisterCurve(cvar, name, CvarTreeKeepCurve(Curve::FromJson(*value)), scope, target);
        break;
    case CvarType::Material:
        CvarTreeRegisterMaterial(cvar, name, nullptr, scope, target);
        cvar->materialName = value->at("material_name").get<std::string>();
        break;
    case CvarType::Bool:
        CvarTreeRegisterBool(cvar, name, number(*value, "v"), scope, target);
        break;
    case CvarType::Resource: {
        int64_t resourceType = value->at("resource_type").get<int64_t>();
        CvarTreeRegisterResource(cvar, name, value->at("resource_name").get<std::string>(),
                                 static_cast<int32_t>(std::clamp<int64_t>(resourceType, INT32_MIN, INT32_MAX)), scope,
                                 target);
        break;
    }
    case CvarType::Vec2:
        CvarTreeRegisterVec2(cvar, name, number(*value, "x"), number(*value, "y"), scope, target);
        break;
    case CvarType::Text:
        CvarTreeRegisterText(cvar, name, value->at("text").get<std::string>(), scope, target);
        break;
    }
    cvar->unclaimed = true;
}

CvarTreeNode* mergeNode(const json& j, CvarTreeNode* branch, int depth)
{
    const std::string name = j.at("branch_name").get<std::string>();
    const bool open = j.contains("open") ? j.at("open").get<bool>() : false;
    const std::string color = j.contains("color") ? j.at("color").get<std::string>() : "#00000000";

    CvarTreeNode* target = nullptr;
    if (depth == 0 && name == branch->name) {
        target = branch;
    } else {
        target = CvarTreeFindBranch(name, CvarScope::Node, branch);
        if (!target) {
            target = new CvarTreeNode(name, branch);
            branch->children.push_back(target);
        }
    }
    target->open = open;
    CvarColorFromText(color, target->color);

    if (j.contains("variables")) {
        for (const json& v : j.at("variables")) {
            const std::string vname = v.at("name").get<std::string>();
            const int64_t type = v.at("type").get<int64_t>();
            const bool exposed = v.contains("graph_exposed") ? v.at("graph_exposed").get<bool>() : false;
            uint64_t uuid = 0;
            if (v.contains("uuid"))
                jsonfile::readUint64(v.at("uuid"), uuid);
            if (Cvar* existing = findCvar(target, vname)) {
                if (existing->type != type) {
                    LOG_WARNING("Mismatch loaded variable type %d vs existing %d for variable %s", static_cast<int>(type),
                                existing->type, vname.c_str());
                }
                existing->uuid = uuid;
                existing->graph_exposed = exposed;
                applyToExisting(existing, type, v);
            } else {
                createPlaceholder(target, vname, type, v, uuid, exposed);
            }
        }
    }
    if (j.contains("children"))
        for (const json& child : j.at("children"))
            mergeNode(child, target, depth + 1);
    return target;
}

} // namespace

json CvarTreeToJsonValue(CvarTreeNode* node)
{
    if (!node || !node->save)
        return nullptr;
    return nodeToJson(node);
}

std::string CvarTreeToJson(CvarTreeNode* node)
{
    if (!node || !node->save)
        return "";
    return jsonfile::dump(nodeToJson(node), 4);
}

std::string CvarTreeCheckJson(const json& value) { return checkNode(value, "", 0); }

CvarTreeNode* CvarTreeLoadFromJsonValue(const json& value, int scope, CvarTreeNode* node, const std::string& source)
{
    CvarTreeNode* branch = scopeNode(scope, node);
    if (!branch) {
        LOG_ERROR("No branch to load <%s> into (scope %d)", source.c_str(), scope);
        return nullptr;
    }
    std::string error = CvarTreeCheckJson(value);
    if (!error.empty()) {
        jsonfile::reportContentError(source, error);
        return nullptr;
    }
    // Merging must not move the registration branch: callers register into it right after loading.
    CvarTreeNode* current = cvarTreeCurrentBranch;
    CvarTreeNode* result = nullptr;
    try {
        result = mergeNode(value, branch, 0);
    } catch (const std::exception& e) {
        jsonfile::reportContentError(source, e.what());
    }
    cvarTreeCurrentBranch = current;
    return result;
}

CvarTreeNode* CvarTreeLoadFromJson(const std::string& text, int scope, CvarTreeNode* node)
{
    // What CvarTreeToJson gives for a branch that does not save: nothing to merge.
    if (text.empty())
        return nullptr;
    json value;
    if (!jsonfile::parse(text, "cvar tree text", value))
        return nullptr;
    jsonfile::clampToFloat(value, "cvar tree text");
    return CvarTreeLoadFromJsonValue(value, scope, node, "cvar tree text");
}

bool CvarTreeLoad(const std::string& path)
{
    const std::string fullPath = dataPath(path);
    LOG_INFO("Loading cvar tree from <%s>", fullPath.c_str());
    DataBlob blob = jsonfile::readFile(path);
    if (!blob) {
        LOG_ERROR("Failed to load cvar file <%s>", path.c_str());
        return false;
    }
    json value;
    bool ok = jsonfile::parse(std::string_view(blob.text(), blob.size), fullPath, value);
    if (ok) {
        jsonfile::clampToFloat(value, fullPath); // a tree holds no other numbers written as floats
        ok = CvarTreeLoadFromJsonValue(value, CvarScope::Root, nullptr, fullPath) != nullptr;
    }
    if (!ok) {
        jsonfile::markUnreadable(fullPath);
        return false;
    }
    jsonfile::clearUnreadable(fullPath);
    return true;
}

bool CvarTreeSave(CvarTreeNode* node, const std::string& path)
{
    const bool absolute = path.find(":\\") != std::string::npos || path.find(":/") != std::string::npos ||
                          (!path.empty() && path[0] == '/');
    const std::string fileName = absolute ? path : dataPath(path);
    LOG_INFO("Saving cvar tree node <%s> to <%s>", node ? node->name.c_str() : "", fileName.c_str());
    if (jsonfile::isUnreadable(fileName)) {
        LOG_ERROR("Not saving <%s>: it failed to load and is kept as it is", fileName.c_str());
        return false;
    }
    // A branch that is not saved writes an empty file.
    const bool saved = node && node->save ? jsonfile::save(fileName, nodeToJson(node), 4)
                                          : jsonfile::writeAtomic(fileName, "");
    if (!saved) {
        LOG_ERROR("Failed to open file. Aborting");
        return false;
    }
    return true;
}
