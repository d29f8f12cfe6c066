#include "project/graph.h"

#include "app/data_files.h"
#include "app/log.h"
#include "project/component_table.h"
#include "project/cvars.h"
#include "project/json_file.h"
#include "project/project.h"
#include "project/timestep.h"

#include <algorithm>
#include <set>
#include <unordered_set>

using nlohmann::json;

GraphManager graphManager;
GraphHooks graphHooks = {nullptr, nullptr, nullptr};

namespace {

// A component whose type has no class in this build (or whose factory declined). It stands in the list with
// pins mirroring the stored ones, so links to and from it survive id translation, and is written back as it
// was read.
class KeptComponent : public EngineComponent {
public:
    explicit KeptComponent(const json& stored)
        : EngineComponent(kComponentTypeInvalid, stored.at("name").get<std::string>()), stored_(stored),
          typeName_(stored.at("type").get<std::string>())
    {
        if (auto it = stored.find("outputs"); it != stored.end())
            for (size_t i = 0; i < it->size(); ++i) {
                auto* pin = new OutputPin();
                pin->id = nextObjectId++;
                declaredOutputs.push_back(pin);
            }
        if (auto it = stored.find("inputs"); it != stored.end())
            for (const json& input : *it) {
                auto* pin = new InputPin(input.at("name").get<std::string>(), {}, true);
                if (auto links = input.find("outputs"); links != input.end())
                    for (const json& link : *links) {
                        int32_t id = 0;
                        jsonfile::readInt32(link, id);
                        pin->links.push_back(id);
                    }
                int32_t single = 0;
                if (auto one = input.find("output"); one != input.end())
                    jsonfile::readInt32(*one, single);
                singleLinks_.push_back(single);
                declaredInputs.push_back(pin);
            }
        RebuildPinLists();
    }

    CvarTreeNode* GetCvarTree() override { return nullptr; }
    void OnInputConnected(int32_t) override {}
    void OnInputDisconnected(int32_t) override {}
    std::string GetTypeName() override { return typeName_; }

    const json& stored() const { return stored_; }
    std::vector<int32_t>& singleLinks() { return singleLinks_; }

private:
    json stored_;
    std::string typeName_;
    std::vector<int32_t> singleLinks_; // the older single "output" of each stored input, translated like links
};

// Stored ids of loaded components and output pins, by their id in this run. Save writes these back, so an
// unchanged project saves to the same bytes it was loaded from.
std::unordered_map<int32_t, int32_t>& savedIds()
{
    // Never destroyed: the exit save runs after function-local statics are gone.
    static auto& ids = *new std::unordered_map<int32_t, int32_t>();
    return ids;
}

// Stored uuids of cvar inputs whose cvar was never found, so the input is saved as a cvar input again.
std::unordered_map<int32_t, uint64_t>& unboundCvarUuids()
{
    static auto& uuids = *new std::unordered_map<int32_t, uint64_t>();
    return uuids;
}

// Keys of a component entry this reader does not know, by component id; written back with the component.
std::unordered_map<int32_t, json>& extraComponentKeys()
{
    static auto& keys = *new std::unordered_map<int32_t, json>();
    return keys;
}

const std::set<std::string> kComponentKeys = {"type",   "id",        "uuid", "name", "parent_id", "visual",
                                              "inputs", "variables", "tags", "outputs"};

// ---- Validation: a graph is read only when every entry has the JSON types the writer produces ----

std::string checkComponent(const json& c)
{
    if (!c.is_object())
        return "not an object";
    auto type = c.find("type");
    if (type == c.end() || !type->is_string())
        return "\"type\" is missing or not a string";
    auto name = c.find("name");
    if (name == c.end() || !name->is_string())
        return "\"name\" is missing or not a string";
    int32_t i32 = 0;
    uint64_t u64 = 0;
    auto id = c.find("id");
    if (id == c.end() || !jsonfile::readInt32(*id, i32))
        return "\"id\" is missing or not a 32-bit integer";
    if (auto it = c.find("uuid"); it != c.end() && !jsonfile::readUint64(*it, u64))
        return "\"uuid\" is not an unsigned integer";
    if (auto it = c.find("parent_id"); it != c.end() && !jsonfile::readInt32(*it, i32))
        return "\"parent_id\" is not a 32-bit integer";
    if (auto visual = c.find("visual"); visual != c.end()) {
        if (!visual->is_object())
            return "\"visual\" is not an object";
        if (auto pos = visual->find("position"); pos != visual->end()) {
            if (!pos->is_object() || !pos->contains("x") || !pos->contains("y") || !(*pos)["x"].is_number() ||
                !(*pos)["y"].is_number())
                return "\"visual\"/\"position\" needs numbers \"x\" and \"y\"";
        }
        if (auto col = visual->find("collapsed"); col != visual->end()) {
            if (!col->is_object() || (col->contains("v") && !(*col)["v"].is_boolean()))
                return "\"visual\"/\"collapsed\" needs a boolean \"v\"";
        }
    }
    if (auto ins = c.find("inputs"); ins != c.end()) {
        if (!ins->is_array())
            return "\"inputs\" is not an array";
        for (const json& in : *ins) {
            if (!in.is_object())
                return "an input is not an object";
            auto pinName = in.find("name");
            if (pinName == in.end() || !pinName->is_string())
                return "an input's \"name\" is missing or not a string";
            if (auto links = in.find("outputs"); links != in.end()) {
                if (!links->is_array())
                    return "an input's \"outputs\" is not an array";
                for (const json& link : *links)
                    if (!jsonfile::readInt32(link, i32))
                        return "an input's \"outputs\" holds a value that is not a 32-bit integer";
            }
            if (auto one = in.find("output"); one != in.end() && !jsonfile::readInt32(*one, i32))
                return "an input's \"output\" is not a 32-bit integer";
            if (auto cu = in.find("cvar_uuid"); cu != in.end() && !jsonfile::readUint64(*cu, u64))
                return "an input's \"cvar_uuid\" is not an unsigned integer";
        }
    }
    if (auto outs = c.find("outputs"); outs != c.end()) {
        if (!outs->is_array())
            return "\"outputs\" is not an array";
        for (const json& out : *outs)
            if (!out.is_object() || !out.contains("id") || !jsonfile::readInt32(out["id"], i32))
                return "an output needs a 32-bit integer \"id\"";
    }
    if (auto vars = c.find("variables"); vars != c.end() && !vars->is_null()) {
        std::string error = CvarTreeCheckJson(*vars);
        if (!error.empty())
            return "\"variables\"" + error;
    }
    if (auto tags = c.find("tags"); tags != c.end()) {
        if (!tags->is_array())
            return "\"tags\" is not an array";
        for (const json& tag : *tags)
            if (!tag.is_object() || !tag.contains("tag") || !tag["tag"].is_string())
                return "a tag needs a string \"tag\"";
    }
    return {};
}

int32_t lookup(const std::map<int32_t, int32_t>& map, int32_t key)
{
    auto it = map.find(key);
    return it == map.end() ? 0 : it->second;
}

OutputPin* outputOf(EngineComponent* component, int32_t id)
{
    for (OutputPin* pin : component->outputs)
        if (pin && pin->id == id)
            return pin;
    return nullptr;
}

bool hasPin(EngineComponent* component, int32_t id)
{
    for (InputPin* pin : component->inputs)
        if (pin->id == id)
            return true;
    return outputOf(component, id) != nullptr;
}

// Pin id -> owner, while a load or one ExecuteRoots runs: every link is looked up there, and a walk over the whole
// list for each made long chains quadratic. Components are not deleted meanwhile; a pin added later is not indexed
// and is found by the walk. Pin ids start at 1, so an id of 0 or less (a link whose output was missing) names none.
class PinIndex {
public:
    PinIndex() : outer_(active)
    {
        if (currentComponents)
            for (EngineComponent* component : *currentComponents) {
                if (!component)
                    continue;
                // emplace keeps the first holder, as the walk over the list would find it.
                for (InputPin* pin : component->inputs)
                    owners_.emplace(pin->id, component);
                for (OutputPin* pin : component->outputs)
                    if (pin)
                        owners_.emplace(pin->id, component);
            }
        active = this;
    }
    ~PinIndex() { active = outer_; }
    PinIndex(const PinIndex&) = delete;
    PinIndex& operator=(const PinIndex&) = delete;

    // The indexed owner when it still holds the pin; nullptr sends the caller to the walk.
    static EngineComponent* indexedOwner(int32_t id)
    {
        if (!active)
            return nullptr;
        auto it = active->owners_.find(id);
        return it != active->owners_.end() && hasPin(it->second, id) ? it->second : nullptr;
    }
    static bool namesNoPin(int32_t id) { return active && id <= 0; }

private:
    static inline const PinIndex* active = nullptr;
    std::unordered_map<int32_t, EngineComponent*> owners_;
    const PinIndex* outer_;
};

OutputPin* findOutputPin(int32_t id, EngineComponent** owner = nullptr)
{
    if (!currentComponents || PinIndex::namesNoPin(id))
        return nullptr;
    if (EngineComponent* indexed = PinIndex::indexedOwner(id))
        if (OutputPin* pin = outputOf(indexed, id)) {
            if (owner)
                *owner = indexed;
            return pin;
        }
    for (EngineComponent* component : *currentComponents) {
        if (!component)
            continue;
        if (OutputPin* pin = outputOf(component, id)) {
            if (owner)
                *owner = component;
            return pin;
        }
    }
    return nullptr;
}

// Depth-first over the components feeding `root` through its links, sources before consumers, with an explicit
// stack: a chain of tens of thousands of linked components would overflow the call stack. enter(component) starts a
// visit (false: skip it); source(pin, link) names the component to visit for a link, or null; leave(component) runs
// once all its sources are done. Pins and links are copied as the visit reaches them, since visits may change them.
template <class Enter, class Source, class Leave>
void walkSources(EngineComponent* root, Enter enter, Source source, Leave leave)
{
    struct Visit {
        explicit Visit(EngineComponent* c) : component(c), pins(c->inputs) {}
        EngineComponent* component;
        std::vector<InputPin*> pins;
        size_t pin = 0;
        std::vector<int32_t> links;
        size_t link = 0;
        bool linksTaken = false;
    };
    if (!enter(root))
        return;
    std::vector<Visit> stack;
    stack.emplace_back(root);
    while (!stack.empty()) {
        Visit& visit = stack.back();
        if (visit.pin == visit.pins.size()) {
            EngineComponent* done = visit.component;
            stack.pop_back();
            leave(done);
            continue;
        }
        InputPin* pin = visit.pins[visit.pin];
        if (!visit.linksTaken) {
            visit.links = pin->links;
            visit.link = 0;
            visit.linksTaken = true;
        }
        if (visit.link == visit.links.size()) {
            ++visit.pin;
            visit.linksTaken = false;
            continue;
        }
        EngineComponent* next = source(pin, visit.links[visit.link++]);
        if (next && enter(next))
            stack.emplace_back(next); // `visit` is not used past this point
    }
}

// Components cast payloads by pin: a link whose output type the input does not accept must not survive.
void dropMismatchedLinks(EngineComponent* component)
{
    for (InputPin* pin : component->inputs) {
        auto& links = pin->links;
        links.erase(std::remove_if(links.begin(), links.end(),
                                   [&](int32_t link) {
                                       EngineComponent* owner = nullptr;
                                       OutputPin* out = findOutputPin(link, &owner);
                                       if (!out || GraphManager::IsKeptComponent(owner) || pin->Accepts(out->resourceType))
                                           return false;
                                       LOG_WARNING("Link from <%s> of <%s> (type %d) to <%s> of <%s> dropped: the "
                                                   "input does not accept that type",
                                                   out->name.c_str(), owner->name.c_str(), out->resourceType,
                                                   pin->name.c_str(), component->name.c_str());
                                       return true;
                                   }),
                    links.end());
    }
}

// Ids written by Save: stored ids where the component or pin has one (and it is still unique in this file),
// otherwise the id of this run, or a fresh number when that collides.
std::unordered_map<int32_t, int32_t> assignSaveIds(const std::vector<EngineComponent*>& components)
{
    std::vector<int32_t> ids;
    for (EngineComponent* component : components) {
        ids.push_back(component->id);
        for (OutputPin* pin : component->outputs)
            ids.push_back(pin->id);
    }
    std::unordered_map<int32_t, int32_t> result;
    std::unordered_set<int32_t> used;
    std::vector<int32_t> pending;
    int32_t highest = 0;
    for (int32_t id : ids) {
        auto it = savedIds().find(id);
        if (it != savedIds().end() && it->second != 0 && used.insert(it->second).second) {
            result[id] = it->second;
            highest = std::max(highest, it->second);
        } else {
            pending.push_back(id);
        }
    }
    for (int32_t id : pending) {
        int32_t chosen = id;
        if (chosen <= 0 || used.count(chosen)) {
            do {
                chosen = highest < INT32_MAX ? highest + 1 : 1;
                highest = chosen;
            } while (used.count(chosen));
        }
        used.insert(chosen);
        highest = std::max(highest, chosen);
        result[id] = chosen;
        savedIds()[id] = chosen;
    }
    return result;
}

json idJson(int32_t id) { return static_cast<uint32_t>(id); }

} // namespace

bool GraphManager::IsKeptComponent(const EngineComponent* component)
{
    return dynamic_cast<const KeptComponent*>(component) != nullptr;
}

// ---- Queries ----

EngineComponent* GraphManager::FindComponentByPinId(int32_t id)
{
    if (!currentComponents || PinIndex::namesNoPin(id))
        return nullptr;
    if (EngineComponent* indexed = PinIndex::indexedOwner(id))
        return indexed;
    for (EngineComponent* component : *currentComponents)
        if (component && hasPin(component, id))
            return component;
    return nullptr;
}

bool GraphManager::IsOutputIdUsed(int32_t id) { return findOutputPin(id) != nullptr; }

OutputPin* GraphManager::FindOutputPin(int32_t id) { return findOutputPin(id); }

std::vector<EngineComponent*> GraphManager::FindComponentsByType(int32_t typeIndex)
{
    std::vector<EngineComponent*> out;
    if (currentComponents)
        for (EngineComponent* component : *currentComponents)
            if (component->typeIndex == typeIndex)
                out.push_back(component);
    return out;
}

void GraphManager::NotifyOutputChanged(int32_t outputId)
{
    if (!currentComponents)
        return;
    // A change travels down the links; a cycle of links would bring it back here for ever.
    static std::vector<int32_t> inProgress;
    if (std::find(inProgress.begin(), inProgress.end(), outputId) != inProgress.end()) {
        static std::unordered_set<int32_t> reported;
        if (reported.insert(outputId).second)
            LOG_WARNING("Change of output %d came back to itself through a cycle of links; not passed on again",
                        outputId);
        return;
    }
    // Consumers pass the change on from their own callbacks, so it travels on the call stack: bounded, as a long
    // chain of links would overflow it.
    constexpr size_t kMaxNotifyDepth = 1000;
    if (inProgress.size() >= kMaxNotifyDepth) {
        static bool reported = false;
        if (!reported)
            LOG_WARNING("Change of output %d is %zu links away from where it started; not passed on further",
                        outputId, inProgress.size());
        reported = true;
        return;
    }
    std::vector<std::pair<EngineComponent*, int32_t>> targets;
    for (EngineComponent* component : *currentComponents)
        for (InputPin* pin : component->inputs)
            if (std::find(pin->links.begin(), pin->links.end(), outputId) != pin->links.end())
                targets.emplace_back(component, pin->id);
    inProgress.push_back(outputId);
    for (auto& [component, pinId] : targets)
        component->OnInputChanged(pinId);
    inProgress.pop_back();
}

void GraphManager::OnResourceModified(Resource*)
{
    if (!currentComponents)
        return;
    for (size_t i = 0; i < currentComponents->size(); ++i) {
        EngineComponent* component = (*currentComponents)[i];
        CvarTreeNode* branch = component->GetCvarTree();
        if (!branch)
            continue;
        for (Cvar* cvar : CvarTreeCollect(branch, CvarType::Resource))
            component->OnCvarChanged(cvar);
    }
}

void GraphManager::RegisterResourceListener()
{
    if (currentResources)
        currentResources->listeners.push_back(&graphManager);
}

// ---- Resolution ----

void resolve_for_component(EngineComponent* root, const GraphStoredVariables& variables)
{
    auto enter = [](EngineComponent* component) {
        // A component already resolving is on the walk's path: the link that led here closes a cycle.
        if (component->state == ComponentState::Resolving)
            return false;
        if (component->state < ComponentState::Resolving)
            component->state = ComponentState::Resolving;
        LOG_INFO("Resolving dependencies for %d : <%s>", component->id, component->name.c_str());
        return true;
    };
    auto source = [](InputPin* pin, int32_t link) -> EngineComponent* {
        EngineComponent* owner = GraphManager::FindComponentByPinId(link);
        LOG_INFO("  Input <%s> required. ID:%d", pin->name.c_str(), link);
        if (!owner) {
            LOG_WARNING("    Missing dependency component");
            return nullptr;
        }
        return owner->state == ComponentState::Created ? owner : nullptr;
    };
    auto leave = [&variables](EngineComponent* component) {
        LOG_INFO("Resolving dependencies for %d : <%s> done. Loading configuration", component->id,
                 component->name.c_str());
        if (component->state > 3)
            return;
        component->ResolveInputs();
        if (component->state > 3)
            return;
        auto stored = variables.find(component);
        CvarTreeNode* branch = component->GetCvarTree();
        if (stored != variables.end() && branch)
            CvarTreeLoadFromJsonValue(stored->second, CvarScope::Node, branch, "variables of " + component->name);
        component->Init();
        component->state = ComponentState::Resolved;
    };
    walkSources(root, enter, source, leave);
}

void GraphManager::BindCvarInputs(EngineComponent* component, const GraphStoredCvarUuids& uuids)
{
    CvarTreeNode* branch = component->GetCvarTree();
    for (InputPin* pin : component->inputs) {
        auto it = uuids.find(pin->id);
        if (it == uuids.end())
            continue;
        Cvar* cvar = branch ? CvarTreeFindByUuid(it->second, branch) : nullptr;
        if (!cvar) {
            unboundCvarUuids()[pin->id] = it->second;
            continue;
        }
        cvar->graph_exposed = true;
        pin->cvar = cvar;
        pin->name = cvar->name;
        unboundCvarUuids().erase(pin->id);
    }
}

// ---- graph.json ----

bool GraphManager::Load(const std::string& path)
{
    LOG_INFO("------------ Loading Graph for %s --------------------------", path.c_str());
    DataBlob blob = jsonfile::readFile(path);
    if (!blob)
        return false;
    if (!currentComponents) {
        LOG_ERROR("No current project to load <%s> into", path.c_str());
        return false;
    }
    const std::string fullPath = dataPath(path);
    json root;
    if (!jsonfile::parse(std::string_view(blob.text(), blob.size), fullPath, root)) {
        jsonfile::markUnreadable(fullPath);
        return false;
    }

    // Everything is checked before anything is created, so a malformed file changes nothing.
    const json* components = nullptr;
    std::string error;
    if (root.is_object()) {
        auto it = root.find("components");
        if (it != root.end() && !it->is_null()) {
            if (it->is_array())
                components = &*it;
            else
                error = "\"components\" is not an array";
        }
    } else if (!root.is_null()) {
        error = "the root is not an object";
    }
    for (size_t i = 0; error.empty() && components && i < components->size(); ++i) {
        std::string e = checkComponent((*components)[i]);
        if (!e.empty())
            error = "/components/" + std::to_string(i) + ": " + e;
    }
    if (!error.empty()) {
        jsonfile::reportContentError(fullPath, error);
        jsonfile::markUnreadable(fullPath);
        return false;
    }
    jsonfile::clearUnreadable(fullPath);

    std::map<int32_t, int32_t> componentIds;
    std::map<int32_t, int32_t> outputIds;
    GraphStoredVariables variables;
    GraphStoredCvarUuids cvarUuids;
    std::vector<EngineComponent*> loaded;
    // Links of the created components in file order, still holding stored ids.
    std::vector<std::pair<InputPin*, std::vector<int32_t>>> storedLinks;

    for (size_t i = 0; components && i < components->size(); ++i) {
        const json& c = (*components)[i];
        const std::string type = c["type"].get<std::string>();
        const std::string name = c["name"].get<std::string>();
        const int row = componentTypeFind(type);
        EngineComponent* component = nullptr;
        if (row >= 0 && componentTypeTable[row].factory)
            component = componentTypeTable[row].factory(name);
        KeptComponent* kept = nullptr;
        if (!component) {
            LOG_WARNING("Component <%s> of type <%s> cannot be created in this build; kept as stored", name.c_str(),
                        type.c_str());
            component = kept = new KeptComponent(c);
        } else {
            component->CreateChildPin();
            component->CreateEntityPin();
        }
        currentComponents->push_back(component);
        loaded.push_back(component);

        int32_t storedId = 0;
        jsonfile::readInt32(c["id"], storedId);
        componentIds[storedId] = component->id;
        savedIds()[component->id] = storedId;
        if (auto it = c.find("parent_id"); it != c.end())
            jsonfile::readInt32(*it, component->parent_id);
        if (auto it = c.find("uuid"); it != c.end())
            jsonfile::readUint64(*it, component->uuid);
        if (auto visual = c.find("visual"); visual != c.end()) {
            if (auto pos = visual->find("position"); pos != visual->end()) {
                json position = *pos;
                jsonfile::clampToFloat(position, fullPath);
                component->x = position["x"].get<float>();
                component->y = position["y"].get<float>();
            }
            // Read back as well, so a reload does not unfold every collapsed node.
            if (auto col = visual->find("collapsed"); col != visual->end() && col->contains("v"))
                component->collapsed = (*col)["v"].get<bool>();
        }
        LOG_INFO("Created component %d : <%s>", component->id, component->name.c_str());

        if (auto outs = c.find("outputs"); outs != c.end())
            for (size_t k = 0; k < outs->size() && k < component->outputs.size(); ++k) {
                int32_t stored = 0;
                jsonfile::readInt32((*outs)[k]["id"], stored);
                outputIds[stored] = component->outputs[k]->id;
                savedIds()[component->outputs[k]->id] = stored;
            }
        if (kept)
            continue; // pins, links, tags and variables stay in the stored entry

        json extra = json::object();
        for (auto it = c.begin(); it != c.end(); ++it)
            if (!kComponentKeys.count(it.key()))
                extra[it.key()] = it.value();
        if (!extra.empty())
            extraComponentKeys()[component->id] = std::move(extra);

        if (auto tags = c.find("tags"); tags != c.end())
            for (const json& tag : *tags) {
                std::string text = tag["tag"].get<std::string>();
                if (!component->HasTag(text))
                    component->tags.push_back(text);
            }
        if (auto vars = c.find("variables"); vars != c.end() && !vars->is_null()) {
            variables[component] = *vars;
            jsonfile::clampToFloat(variables[component], fullPath);
        }
        if (auto ins = c.find("inputs"); ins != c.end())
            for (const json& in : *ins) {
                const std::string pinName = in["name"].get<std::string>();
                uint64_t cvarUuid = 0;
                if (auto cu = in.find("cvar_uuid"); cu != in.end())
                    jsonfile::readUint64(*cu, cvarUuid);
                if (cvarUuid != 0) {
                    InputPin* pin = component->AddCvarInput(nullptr);
                    pin->name = pinName;
                    cvarUuids[pin->id] = cvarUuid;
                }
                std::vector<int32_t> links;
                int32_t link = 0;
                if (auto one = in.find("output"); one != in.end() && jsonfile::readInt32(*one, link) && link != 0)
                    links.push_back(link);
                if (auto many = in.find("outputs"); many != in.end())
                    for (const json& l : *many)
                        if (jsonfile::readInt32(l, link) && link != 0)
                            links.push_back(link);
                if (links.empty())
                    continue;
                InputPin* pin = component->FindInput(pinName);
                if (!pin) {
                    LOG_WARNING("No pin %s found in component %s", pinName.c_str(), component->name.c_str());
                    continue;
                }
                storedLinks.emplace_back(pin, std::move(links));
            }
    }

    // Translate stored ids to this run's ids; links are sorted only now that they name real pins.
    for (auto& [pin, links] : storedLinks)
        for (int32_t link : links) {
            int32_t id = lookup(outputIds, link);
            if (id == 0)
                LOG_WARNING("Input <%s> links to output %d, which no component has, in <%s>", pin->name.c_str(), link,
                            fullPath.c_str());
            if (std::find(pin->links.begin(), pin->links.end(), id) == pin->links.end())
                pin->links.push_back(id);
        }
    for (EngineComponent* component : loaded) {
        if (auto* kept = dynamic_cast<KeptComponent*>(component)) {
            for (InputPin* pin : kept->inputs)
                for (int32_t& link : pin->links)
                    link = lookup(outputIds, link);
            for (int32_t& link : kept->singleLinks())
                link = lookup(outputIds, link);
        }
        if (component->parent_id != 0)
            component->parent_id = lookup(componentIds, component->parent_id);
    }
    const PinIndex pinIndex; // every link is looked up from here on
    for (EngineComponent* component : loaded)
        if (!IsKeptComponent(component)) {
            dropMismatchedLinks(component);
            component->SortInputs();
        }

    // Ids are unique by construction; this only reports a broken counter.
    std::unordered_map<int32_t, EngineComponent*> pinOwners;
    std::unordered_set<int32_t> outputsInUse;
    for (EngineComponent* component : *currentComponents) {
        for (InputPin* pin : component->inputs)
            pinOwners.emplace(pin->id, component);
        for (OutputPin* pin : component->outputs) {
            pinOwners.emplace(pin->id, component);
            outputsInUse.insert(pin->id);
        }
    }
    for (EngineComponent* component : loaded)
        for (InputPin* pin : component->inputs) {
            auto owner = pinOwners.find(pin->id);
            if (owner != pinOwners.end() && owner->second != component && outputsInUse.count(pin->id))
                LOG_ERROR("would assign ID = %d", nextObjectId);
        }

    for (EngineComponent* component : loaded)
        resolve_for_component(component, variables);
    for (EngineComponent* component : loaded)
        BindCvarInputs(component, cvarUuids);

    LOG_ERROR("would assign ID = %d", nextObjectId);
    if (graphHooks.loadNodePositions)
        graphHooks.loadNodePositions();
    RegisterResourceListener();
    LOG_INFO("------------ Loading Graph for %s Done----------------------", path.c_str());
    return true;
}

bool GraphManager::Save(const std::string& path)
{
    if (jsonfile::isUnreadable(path)) {
        LOG_ERROR("Not saving <%s>: it failed to load and is kept as it is", path.c_str());
        return false;
    }
    static const std::vector<EngineComponent*> none;
    const std::vector<EngineComponent*>& list = currentComponents ? *currentComponents : none;

    const std::unordered_map<int32_t, int32_t> ids = assignSaveIds(list);
    auto saveId = [&](int32_t id) -> json {
        auto it = ids.find(id);
        return idJson(it == ids.end() ? 0 : it->second);
    };
    // A link is written only when its output still exists; anything else would name some other pin on reload.
    std::unordered_map<int32_t, int32_t> liveOutputs;
    std::unordered_map<int32_t, int32_t> liveComponents;
    for (EngineComponent* component : list) {
        liveComponents[component->id] = ids.at(component->id);
        for (OutputPin* pin : component->outputs)
            liveOutputs[pin->id] = ids.at(pin->id);
    }
    auto linkId = [&](int32_t id) -> json {
        auto it = liveOutputs.find(id);
        return idJson(it == liveOutputs.end() ? 0 : it->second);
    };
    auto parentId = [&](int32_t id) -> json {
        auto it = liveComponents.find(id);
        return idJson(it == liveComponents.end() ? 0 : it->second);
    };

    json components = json::array();
    for (EngineComponent* component : list) {
        if (auto* kept = dynamic_cast<KeptComponent*>(component)) {
            json c = kept->stored();
            c["id"] = saveId(component->id);
            if (c.contains("parent_id") || component->parent_id != 0)
                c["parent_id"] = parentId(component->parent_id);
            if (auto outs = c.find("outputs"); outs != c.end())
                for (size_t k = 0; k < outs->size() && k < component->outputs.size(); ++k)
                    (*outs)[k]["id"] = saveId(component->outputs[k]->id);
            if (auto ins = c.find("inputs"); ins != c.end())
                for (size_t k = 0; k < ins->size() && k < component->declaredInputs.size(); ++k) {
                    json& in = (*ins)[k];
                    const InputPin* pin = component->declaredInputs[k];
                    if (in.contains("outputs") || !pin->links.empty()) {
                        json links = json::array();
                        for (int32_t link : pin->links)
                            links.push_back(linkId(link));
                        in["outputs"] = std::move(links);
                    }
                    if (in.contains("output"))
                        in["output"] = linkId(kept->singleLinks()[k]);
                }
            components.push_back(std::move(c));
            continue;
        }

        json c;
        if (auto extra = extraComponentKeys().find(component->id); extra != extraComponentKeys().end())
            c = extra->second;
        c["type"] = component->GetTypeName();
        c["id"] = saveId(component->id);
        c["uuid"] = component->uuid;
        c["name"] = component->name;
        c["parent_id"] = component->parent_id != 0 ? parentId(component->parent_id) : idJson(0);
        c["visual"] = {{"position", {{"x", static_cast<double>(component->x)}, {"y", static_cast<double>(component->y)}}},
                       {"collapsed", {{"v", component->collapsed}}}};
        if (!component->inputs.empty()) {
            json inputs = json::array();
            for (const InputPin* pin : component->inputs) {
                json in;
                in["name"] = pin->name;
                if (!pin->links.empty()) {
                    json links = json::array();
                    for (int32_t link : pin->links)
                        links.push_back(linkId(link));
                    in["outputs"] = std::move(links);
                }
                const bool isCvarInput = std::find(component->cvarInputs.begin(), component->cvarInputs.end(), pin) !=
                                         component->cvarInputs.end();
                if (isCvarInput) {
                    uint64_t uuid = 0;
                    if (pin->cvar)
                        uuid = pin->cvar->uuid;
                    else if (auto it = unboundCvarUuids().find(pin->id); it != unboundCvarUuids().end())
                        uuid = it->second;
                    in["cvar_uuid"] = uuid;
                }
                inputs.push_back(std::move(in));
            }
            c["inputs"] = std::move(inputs);
        }
        if (!component->outputs.empty()) {
            json outputs = json::array();
            for (const OutputPin* pin : component->outputs)
                outputs.push_back({{"id", saveId(pin->id)}});
            c["outputs"] = std::move(outputs);
        }
        if (CvarTreeNode* branch = component->GetCvarTree()) {
            json vars = CvarTreeToJsonValue(branch);
            if (!vars.is_null())
                c["variables"] = std::move(vars);
        }
        if (!component->tags.empty()) {
            json tags = json::array();
            for (const std::string& tag : component->GetTags())
                tags.push_back({{"tag", tag}});
            c["tags"] = std::move(tags);
        }
        components.push_back(std::move(c));
    }
    json root;
    root["components"] = components.empty() ? json(nullptr) : std::move(components);
    return jsonfile::save(path, root, 2);
}

// ---- Per-frame execution ----

void GraphManager::ExecuteComponent(RenderItemBuilder& builder, EngineComponent* component, Timestep time, int run)
{
    if (!component)
        return;
    auto enter = [run](EngineComponent* c) {
        if (c->lastRun == run)
            return false;
        if (c->executing) {
            static std::unordered_set<int32_t> reported;
            if (reported.insert(c->id).second)
                LOG_WARNING("Link cycle through component %d : <%s>; its consumers in the cycle run without waiting "
                            "for it",
                            c->id, c->name.c_str());
            return false;
        }
        c->executing = true;
        return true;
    };
    auto source = [run](InputPin*, int32_t link) -> EngineComponent* {
        EngineComponent* owner = FindComponentByPinId(link);
        return owner && owner->lastRun != run ? owner : nullptr;
    };
    auto leave = [&builder, time, run](EngineComponent* c) {
        for (InputPin* pin : c->inputs) {
            if (!pin->cvar || pin->links.empty())
                continue;
            OutputPin* out = findOutputPin(pin->links[0]);
            // Only Value payloads have the layout read here.
            const auto* value = out ? resourceCast<ValueResource>(out->payload, ResourceType::Value) : nullptr;
            if (!value)
                continue;
            const size_t count = value->values.size();
            if (count < 1 || count > 3)
                continue;
            uint32_t written = 0;
            for (size_t i = 0; i < count; ++i)
                if (value->mask & (1u << i)) {
                    pin->cvar->value[i] = value->values[i];
                    written |= 1u << i;
                }
            CvarMarkDriven(pin->cvar, written);
        }

        const bool scoped = graphHooks.executeScopeBegin && graphHooks.executeScopeEnd;
        if (scoped)
            graphHooks.executeScopeBegin("Component " + std::to_string(c->id) + ":" + c->name);
        c->Execute(builder, time);
        c->lastRun = run;
        c->executing = false;
        if (scoped)
            graphHooks.executeScopeEnd();
    };
    walkSources(component, enter, source, leave);
}

void GraphManager::ExecuteRoots(RenderItemBuilder& builder, Timestep time, int run)
{
    if (!currentComponents)
        return;
    const PinIndex index;
    for (size_t i = 0; i < currentComponents->size(); ++i) {
        EngineComponent* component = (*currentComponents)[i];
        if (!component->IsDependencyOnly())
            ExecuteComponent(builder, component, time, run);
    }
}
