#include "project/components.h"

#include "app/log.h"
#include "project/component_table.h"
#include "project/cvars.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/timestep.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <unordered_set>

int32_t nextObjectId = 1;
std::atomic<uint64_t> nextUuid{1};

void componentsSeedUuid() { nextUuid.exchange(static_cast<uint64_t>(std::time(nullptr)) << 10); }

uint64_t componentsNextUuid() { return nextUuid.fetch_add(1); }

InputPin::InputPin(const std::string& name, std::vector<int32_t> acceptedTypes, bool severalLinks)
    : id(nextObjectId++), severalLinks(severalLinks), name(name), acceptedTypes(std::move(acceptedTypes))
{
}

bool InputPin::Accepts(int32_t resourceType) const
{
    return std::find(acceptedTypes.begin(), acceptedTypes.end(), resourceType) != acceptedTypes.end();
}

EngineComponent::EngineComponent(int32_t typeIndex, const std::string& name)
    : typeIndex(typeIndex), id(nextObjectId++), uuid(componentsNextUuid()), name(name)
{
}

EngineComponent::~EngineComponent()
{
    std::unordered_set<InputPin*> ins(declaredInputs.begin(), declaredInputs.end());
    ins.insert(cvarInputs.begin(), cvarInputs.end());
    if (childPin)
        ins.insert(childPin);
    for (InputPin* pin : ins)
        delete pin;
    std::unordered_set<OutputPin*> outs(declaredOutputs.begin(), declaredOutputs.end());
    outs.insert(extraOutputs.begin(), extraOutputs.end());
    for (OutputPin* pin : outs)
        delete pin;
    if (entityPin) {
        delete entityPin->payload;
        delete entityPin;
    }
}

bool EngineComponent::GetTransformCvars(Cvar**, Cvar**, Cvar**) { return false; }

std::string EngineComponent::GetTypeName()
{
    int index = typeIndex >= 0 && typeIndex < kComponentTypeCount ? typeIndex : kComponentTypeInvalid;
    return componentTypeTable[index].typeName;
}

InputPin* EngineComponent::FindInput(const std::string& pinName)
{
    const std::vector<InputPin*> snapshot = inputs;
    for (InputPin* pin : snapshot)
        if (pin->name == pinName)
            return pin;
    return nullptr;
}

bool EngineComponent::ConnectInput(const std::string& inputName, int32_t outputId)
{
    for (InputPin* pin : inputs) {
        if (pin->name != inputName)
            continue;
        if (std::find(pin->links.begin(), pin->links.end(), outputId) == pin->links.end()) {
            pin->links.push_back(outputId);
            SortInputs();
        }
        return true;
    }
    LOG_WARNING("No pin %s found in component %s", inputName.c_str(), name.c_str());
    return false;
}

void EngineComponent::ResolveInputs() {}

void EngineComponent::Init() {}

void EngineComponent::Execute(RenderItemBuilder&, Timestep) {}

void EngineComponent::AddRenderPasses(RenderItemBuilder&, std::vector<RenderPassItem>&) {}

void EngineComponent::OnCvarChanged(Cvar*) {}

void EngineComponent::ToggleCvarInput(Cvar* cvar)
{
    if (!cvar)
        return;
    if (cvar->graph_exposed) {
        if (cvar->uuid == 0)
            cvar->uuid = componentsNextUuid();
        AddCvarInput(cvar);
        return;
    }
    auto found = std::find_if(inputs.begin(), inputs.end(), [&](InputPin* pin) { return pin->cvar == cvar; });
    if (found == inputs.end())
        return;
    InputPin* pin = *found;
    bool owned = std::find(cvarInputs.begin(), cvarInputs.end(), pin) != cvarInputs.end();
    cvarInputs.erase(std::remove(cvarInputs.begin(), cvarInputs.end(), pin), cvarInputs.end());
    RebuildPinLists();
    if (owned)
        delete pin; // its links go with it
}

void EngineComponent::OnInputChanged(int32_t) {}

void EngineComponent::OnSelectionChanged(bool) {}

void EngineComponent::OnRenamed() {}

bool EngineComponent::IsDependencyOnly() { return true; }

std::vector<GeometryExportRecord*> EngineComponent::GetGeometries() { return {}; }

OutputPin* EngineComponent::AddOutput(const std::string& pinName, int32_t resourceType)
{
    auto* pin = new OutputPin();
    pin->id = nextObjectId++;
    pin->name = pinName;
    pin->resourceType = resourceType;
    declaredOutputs.push_back(pin);
    RebuildPinLists();
    return pin;
}

void EngineComponent::RebuildPinLists()
{
    inputs.clear();
    inputs.insert(inputs.end(), declaredInputs.begin(), declaredInputs.end());
    inputs.insert(inputs.end(), cvarInputs.begin(), cvarInputs.end());
    if (childPin)
        inputs.push_back(childPin);
    outputs.clear();
    outputs.insert(outputs.end(), declaredOutputs.begin(), declaredOutputs.end());
    outputs.insert(outputs.end(), extraOutputs.begin(), extraOutputs.end());
    if (entityPin)
        outputs.push_back(entityPin);
}

InputPin* EngineComponent::AddCvarInput(Cvar* cvar)
{
    auto* pin = new InputPin(cvar ? cvar->name : "<dummy>", {ResourceType::Value}, false);
    pin->cvar = cvar;
    cvarInputs.push_back(pin);
    RebuildPinLists();
    return pin;
}

namespace {

bool hasTransform(EngineComponent* component)
{
    Cvar *position = nullptr, *rotation = nullptr, *scale = nullptr;
    return component->GetTransformCvars(&position, &rotation, &scale);
}

} // namespace

InputPin* EngineComponent::CreateChildPin()
{
    if (!hasTransform(this))
        return nullptr;
    if (childPin)
        return childPin;
    childPin = new InputPin("child", {ResourceType::Entity}, true);
    RebuildPinLists();
    return childPin;
}

OutputPin* EngineComponent::CreateEntityPin()
{
    if (!hasTransform(this))
        return nullptr;
    if (entityPin)
        return entityPin;
    entityPin = new OutputPin();
    entityPin->id = nextObjectId++;
    entityPin->name = "entity";
    entityPin->resourceType = ResourceType::Entity;
    entityPin->payload = new ECResource(this);
    RebuildPinLists();
    return entityPin;
}

bool EngineComponent::SortInputs()
{
    bool changed = false;
    struct Key {
        int32_t link;
        bool missing;
        float y;
    };
    std::vector<Key> keys;
    for (InputPin* pin : inputs) {
        if (pin->links.size() < 2)
            continue;
        keys.clear();
        for (int32_t link : pin->links) {
            EngineComponent* owner = GraphManager::FindComponentByPinId(link);
            keys.push_back({link, owner == nullptr, owner ? owner->y : 0.0f});
        }
        // Stable, with missing owners (and NaN heights) last: a strict weak order whatever the input.
        std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
            const bool aLast = a.missing || std::isnan(a.y);
            const bool bLast = b.missing || std::isnan(b.y);
            if (aLast != bLast)
                return bLast;
            return !aLast && a.y < b.y;
        });
        for (size_t i = 0; i < keys.size(); ++i) {
            if (pin->links[i] != keys[i].link) {
                pin->links[i] = keys[i].link;
                changed = true;
            }
        }
    }
    return changed;
}

bool EngineComponent::HasTag(const std::string& tag) const
{
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

std::vector<std::string> EngineComponent::GetTags() const { return tags; }

EngineComponent* EngineComponent::GetParent()
{
    if (!entityPin || !currentComponents)
        return nullptr;
    for (EngineComponent* component : *currentComponents) {
        InputPin* child = component->childPin;
        if (child && std::find(child->links.begin(), child->links.end(), entityPin->id) != child->links.end())
            return component;
    }
    return nullptr;
}
