// A named, shareable material: one parameter block published as "Material Nodes/{name}" (type 17), which renderer
// slots name in their "Material Override" to draw with this block instead of their own. Edits of its shader
// override are announced to the resource listeners once they settle; "Export to JSON" writes the block to a
// "*.mat.json" file whose name the user gives.
#pragma once

#include "components/component_kit.h"
#include "project/resources.h"
#include "render/material_block.h"

#include <functional>
#include <string>

// Kind 17: the payload of "mat" and the record in the project's store.
struct MaterialNodeResource : Resource {
    std::string text;
    MaterialCvarBlock* block = nullptr;

    explicit MaterialNodeResource(std::string name) : Resource(ResourceType::Material, std::move(name)) {}
};

// The block of a material record (null for any other record); what renderer slots draw with.
const MaterialCvarBlock* materialNodeBlock(Resource* material);

// Asks the user for a file name, proposing `proposed` in `folder`; calls `chosen` with the path when confirmed
// (never when cancelled). The editor installs a prompt; without one nothing is asked and nothing written.
using FileNamePrompt = void (*)(const std::string& title, const std::string& folder, const std::string& proposed,
                                std::function<void(const std::string& path)> chosen);
extern FileNamePrompt materialExportPrompt;

class materialnode : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<materialnode>(name); }
    ~materialnode() override;

    void OnInputConnected(int32_t pinId) override;
    void OnInputDisconnected(int32_t pinId) override;
    // Hands "shader" to the material and announces the record once, at the next execution.
    void Init() override;
    bool CreateGpuObjects() override;
    void Execute(RenderItemBuilder& builder, Timestep time) override;
    // "shader": new override source, announcement 50 executions after the last edit. "Export to JSON": the prompt.
    void OnCvarChanged(Cvar* cvar) override;

    // Asks for the file name ("{name}.mat.json" in the asset folder) and writes the branch there.
    void ExportToJson();
    // Writes the branch to the path (relative to the asset folder unless absolute) through the safe save.
    bool WriteJson(const std::string& path);

    MaterialNodeResource* record = nullptr;
    MaterialCvarBlock block;
    int rebuildCountdown = 0;
    Cvar exportButton;
    OutputPin* mat = nullptr;
    int announcements = 0; // times the listeners were told (tests)

protected:
    explicit materialnode(const std::string& name);

private:
    ResourceManagerStorage* registeredIn_ = nullptr;
};
