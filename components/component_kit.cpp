#include "components/component_kit.h"

#include "app/log.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/resources.h"

#include <cstring>

KitComponent::KitComponent(int32_t typeIndex, const std::string& name, Registration registration)
    : EngineComponent(typeIndex, name), branch(new CvarTreeNode(name, nullptr))
{
    branch->owner = this;
    if (registration == Registration::Open)
        cvarTreeCurrentBranch = branch;
}

KitComponent::~KitComponent() { ReleaseBranch(); }

void KitComponent::ReleaseBranch()
{
    delete branch;
    branch = nullptr;
}

void KitComponent::CloseBranch() { CvarTreePopBranch(); }

bool writeRecordField(const Cvar& parameter, const RecordField& field, void* record, size_t recordSize)
{
    if (!recordFieldsFit(&field, 1, recordSize)) {
        LOG_ERROR("Parameter <%s> does not fit its record field (offset %zu, %zu bytes, record %zu bytes)",
                  parameter.name.c_str(), field.offset, field.Size(), recordSize);
        return false;
    }
    auto* target = static_cast<unsigned char*>(record) + field.offset;
    if (field.type == RecordFieldType::Bool) {
        const bool flag = parameter.value[0] > 0.5f;
        std::memcpy(target, &flag, sizeof flag);
    } else {
        std::memcpy(target, parameter.value, field.Size());
    }
    return true;
}

Object* linkedOrNamedObject(const InputPin* pin, const std::string& name)
{
    const Resource* found = nullptr;
    if (pin && !pin->links.empty()) {
        const OutputPin* output = GraphManager::FindOutputPin(pin->links.front());
        found = output ? output->payload : nullptr;
    } else if (!name.empty() && currentResources) {
        const auto named = currentResources->resources.find(name);
        found = named != currentResources->resources.end() ? named->second : nullptr;
    }
    const auto* file = resourceCast<FileResource>(found, ResourceType::Object);
    return file ? file->GetObject() : nullptr;
}
