#include "components/material_node.h"

#include "app/data_files.h"
#include "app/log.h"
#include "components/instance_buffers.h"
#include "project/project.h"
#include "render/materials.h"

namespace {

constexpr int kMaterialRow = 31;
constexpr int kAnnounceDelay = 50;

} // namespace

FileNamePrompt materialExportPrompt = nullptr;

const MaterialCvarBlock* materialNodeBlock(Resource* material)
{
    auto* record = resourceCast<MaterialNodeResource>(material, ResourceType::Material);
    return record ? record->block : nullptr;
}

materialnode::materialnode(const std::string& name) : KitComponent(kMaterialRow, name)
{
    block.SetDefaults();
    CvarTreeRegisterButton(&exportButton, "Export to JSON");
    block.Register();
    CloseBranch();

    mat = AddOutput("mat", ResourceType::Material);
    record = new MaterialNodeResource("Material Nodes/" + name);
    record->block = &block;
    // A second node of the same name keeps the first one's record in the store but publishes its own.
    if (currentResources && currentResources->add(record))
        registeredIn_ = currentResources;
    mat->payload = record;
}

bool materialnode::CreateGpuObjects()
{
    // The node's own copy of the flat material, so its override does not reach other users of the root.
    if (!block.material)
        if (Material* derived = materialCreateFromRoot("flat")) {
            block.material = derived->clone();
            delete derived;
            block.material->setOverrideSource(block.shader.text);
        }
    return true;
}

materialnode::~materialnode()
{
    if (registeredIn_ && registeredIn_ == currentResources) {
        const auto found = registeredIn_->resources.find(record->name);
        if (found != registeredIn_->resources.end() && found->second == record)
            registeredIn_->remove(record);
    }
    mat->payload = nullptr;
    delete record;
    delete block.material;
}

void materialnode::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }
void materialnode::OnInputDisconnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

void materialnode::Init()
{
    if (block.material)
        block.material->setOverrideSource(block.shader.text);
    rebuildCountdown = 1;
}

void materialnode::Execute(RenderItemBuilder&, Timestep)
{
    if (rebuildCountdown < 1)
        return;
    if (--rebuildCountdown == 0 && currentResources) {
        ++announcements;
        // A copy: a listener may add or remove listeners.
        const std::vector<ResourceModifiedListener*> listeners = currentResources->listeners;
        for (ResourceModifiedListener* listener : listeners)
            listener->OnResourceModified(record);
    }
}

void materialnode::OnCvarChanged(Cvar* cvar)
{
    if (cvar == &block.shader) {
        rebuildCountdown = kAnnounceDelay;
        if (block.material)
            block.material->setOverrideSource(block.shader.text);
    } else if (cvar == &exportButton) {
        ExportToJson();
    }
}

void materialnode::ExportToJson()
{
    if (!materialExportPrompt) {
        LOG_WARNING("%s: no file prompt to export with", name.c_str());
        return;
    }
    // The prompt may answer in a later frame, when this node could be gone: it names the node, not a pointer.
    const int32_t nodeId = id;
    materialExportPrompt("Export to JSON", dataBasePath(), name + ".mat.json", [nodeId](const std::string& path) {
        if (!currentComponents)
            return;
        for (EngineComponent* component : *currentComponents)
            if (component->id == nodeId)
                if (auto* node = dynamic_cast<materialnode*>(component))
                    node->WriteJson(path);
    });
}

bool materialnode::WriteJson(const std::string& path)
{
    if (path.empty())
        return false;
    return CvarTreeSave(branch, path);
}
