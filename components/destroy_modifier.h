// The destroy modifier: publishes on "obj" its own copy of the object linked to its "obj" input, named
// "{object}:Destroy", with the destruction data prepared for it (zeroed per-vertex records, per-piece records)
// and its compute program built. Nothing forms pieces or runs the program yet, so the copy shows the input mesh
// unchanged; without an input it publishes the project's empty object "global/null_object". Main thread only.
#pragma once

#include "components/component_kit.h"

#include <cstdint>
#include <string>
#include <vector>

class Object;
struct BufferObject;
struct FileResource;
struct InputPin;
struct ShaderProgram;

// Bytes of one piece record and of one vertex record.
constexpr uint32_t kDestroyPieceBytes = 64;
constexpr uint32_t kDestroyVertexBytes = 16;

class destroy_modifier : public KitComponent {
public:
    // Null when the compute program cannot be built (tried again at the next creation).
    static EngineComponent* Create(const std::string& name) { return CreateComponent<destroy_modifier>(name); }
    ~destroy_modifier() override;

    // Copies the linked object again (or takes the empty object) and publishes the result on "obj".
    void Init() override;
    // Init, then the consumers of "obj" are told.
    void OnInputChanged(int32_t pinId) override;
    // Fresh, zeroed destruction data for the working copy: the per-vertex records and both buffers, each sized
    // for its records in whole groups of 32.
    void BuildPieces(Object* working);

    FileResource* output = nullptr; // payload of "obj" once Init has run
    Object* working = nullptr;      // the copy of the input; owned with its geometry
    Object* published = nullptr;    // the copy on "obj"; owned with its geometry
    std::vector<float> pieces;      // 16 floats per piece; nothing forms pieces yet
    uint32_t pieceCount = 0;
    std::vector<uint8_t> vertexRecords; // kDestroyVertexBytes per vertex of the working copy, zero
    BufferObject* pieceBuffer = nullptr;
    BufferObject* vertexBuffer = nullptr;
    InputPin* objPin = nullptr;

    Cvar scale, spread, rotation, distance, rad, time, sourcePos, areaSpread, delayScale, delayCenter, delaySpread,
        power;

protected:
    explicit destroy_modifier(const std::string& name);
    bool CreateGpuObjects() override;

private:
    void ReleaseCopies();
    void ReleaseBuffers();
};

// Built once by the first destroy modifier; kept for the process.
extern ShaderProgram* destroyModifierProgram;
