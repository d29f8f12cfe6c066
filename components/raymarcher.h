// A procedural object whose vertex and fragment programs the user writes (typically a raymarched surface drawn on
// a proxy box). It publishes an effect entity on "fx"; the entity's build callback places it and (re)builds the
// programs in a G-buffer and a shadow-map variant. Nothing in the renderer draws effect entities yet, so the
// proxy cube and the programs are made but not drawn.
#pragma once

#include "components/component_kit.h"
#include "components/user_program.h"
#include "project/resources.h"
#include "render/material_block.h"

#include <string>

class EffectEntity;
struct Geometry;
struct Material;

// Kind 4: the payload of "fx".
struct EffectEntityResource : Resource {
    EffectEntity* entity = nullptr;
    EffectEntityResource(std::string name, EffectEntity* entity)
        : Resource(ResourceType::EffectEntity, std::move(name)), entity(entity)
    {
    }
};

class raymarchproceduralfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<raymarchproceduralfx>(name); }
    ~raymarchproceduralfx() override;

    void OnInputConnected(int32_t pinId) override;
    void Init() override;
    // "Program" or "Program Vertex": both programs are rebuilt 50 build calls after the last edit.
    void OnCvarChanged(Cvar* cvar) override;
    void OnSelectionChanged(bool selected) override;

    // The entity's build callback: transform and hidden flag from the parameters, then the programs when due.
    void setup_frame();

    static const char* const kVertexTemplate;
    static const char* const kFragmentTemplate;

    Geometry* proxy = nullptr;
    Material* material = nullptr;
    EffectEntity* entity = nullptr;
    EffectEntityResource* record = nullptr;
    Cvar scale;
    Cvar position;
    Cvar rotation;
    Cvar outputDepth;
    Cvar program;
    Cvar programVertex;
    Cvar hidden;
    UserProgram deferredProgram;
    UserProgram shadowProgram;
    MaterialCvarBlock slot;
    OutputPin* fx = nullptr;

protected:
    explicit raymarchproceduralfx(const std::string& name);
    bool CreateGpuObjects() override;
};
