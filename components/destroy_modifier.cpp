#include "components/destroy_modifier.h"

#include "app/log.h"
#include "components/instance_buffers.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_source.h"
#include "project/components.h"
#include "project/graph.h"
#include "project/project.h"
#include "project/resources.h"
#include "render/entities.h"

#include <glbinding/gl/gl.h>

#include <algorithm>

using namespace gl;

ShaderProgram* destroyModifierProgram = nullptr;

namespace {

constexpr int kDestroyRow = 3;
constexpr const char* kProgramPath = "shaders/effects/destroy_modifier_transform_geometry.comp";

// Records rounded up to whole groups of 32, and at least one group, so no buffer is made empty.
uint64_t groupedBytes(uint64_t records, uint32_t recordBytes)
{
    const uint64_t grouped = std::max<uint64_t>((records + 31) & ~uint64_t(31), 32);
    return grouped * recordBytes;
}

// The project's empty object; null without a project or record.
Object* emptyObject()
{
    Resource* empty =
        currentResources ? currentResources->get_by_name_type("global/null_object", ResourceType::Object) : nullptr;
    auto* file = resourceCast<FileResource>(empty, ResourceType::Object);
    return file ? file->GetObject() : nullptr;
}

void deleteObject(Object*& object)
{
    if (!object)
        return;
    geomDelete(object->geometry);
    delete object;
    object = nullptr;
}

} // namespace

destroy_modifier::destroy_modifier(const std::string& name) : KitComponent(kDestroyRow, name)
{
    CvarTreeRegisterFloat(&scale, "scale", 1.0f, 0.0f, 100.0f);
    CvarTreeRegisterFloat(&spread, "spread", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&rotation, "rotation", 0.0f, -0.1f, 0.1f);
    CvarTreeRegisterFloat(&distance, "distance", 0.5f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&rad, "rad", 0.5f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&time, "time", 0.0f, 0.0f, 100.0f);
    CvarTreeRegisterVec3(&sourcePos, "source pos", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&areaSpread, "area spread", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&delayScale, "delay scale", 0.0f, 0.0f, 15.0f);
    CvarTreeRegisterVec3(&delayCenter, "delay center", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&delaySpread, "delay spread", 0.0f, 0.0f, 15.0f);
    CvarTreeRegisterFloat(&power, "power", 0.0f, 0.0f, 15.0f);
    CloseBranch();

    objPin = new InputPin("obj", {ResourceType::Object}, false);
    declaredInputs.push_back(objPin);
    RebuildPinLists();
    AddOutput("obj", ResourceType::Object);
    output = new FileResource(ResourceType::Object, name + "/internal/output", emptyObject());
}

bool destroy_modifier::CreateGpuObjects()
{
    if (!destroyModifierProgram) {
        ShaderProgram* program = shaderLoadProgramCompute(kProgramPath, shaderGlobalDefines);
        if (!program || program->errors || !program->linked) {
            LOG_ERROR("Destroy modifier %s: its program <%s> does not build", name.c_str(), kProgramPath);
            shaderDeleteProgram(program);
            return false;
        }
        destroyModifierProgram = program;
    }
    return true;
}

destroy_modifier::~destroy_modifier()
{
    for (OutputPin* pin : outputs)
        if (pin->payload == output)
            pin->payload = nullptr;
    delete output;
    ReleaseCopies();
    ReleaseBuffers();
}

void destroy_modifier::ReleaseCopies()
{
    deleteObject(working);
    deleteObject(published);
}

void destroy_modifier::ReleaseBuffers()
{
    // A component built without its GL objects has no buffers, and needs no GL to go.
    if (pieceBuffer)
        boDelete(pieceBuffer);
    if (vertexBuffer)
        boDelete(vertexBuffer);
    pieceBuffer = vertexBuffer = nullptr;
    vertexRecords.clear();
}

void destroy_modifier::BuildPieces(Object* copy)
{
    ReleaseBuffers();
    if (!copy || !copy->geometry)
        return;
    const uint32_t vertices = copy->geometry->vertexCount;
    vertexRecords.assign(size_t(vertices) * kDestroyVertexBytes, 0);
    pieceBuffer = boCreate("", groupedBytes(pieceCount, kDestroyPieceBytes));
    if (pieceBuffer && !pieces.empty())
        glNamedBufferSubData(pieceBuffer->glId, 0,
                             GLsizeiptr(std::min<uint64_t>(pieces.size() * sizeof(float), pieceBuffer->size)),
                             pieces.data());
    vertexBuffer = boCreate("", groupedBytes(vertices, kDestroyVertexBytes));
    if (vertexBuffer && !vertexRecords.empty())
        glNamedBufferSubData(vertexBuffer->glId, 0, GLsizeiptr(vertexRecords.size()), vertexRecords.data());
}

void destroy_modifier::Init()
{
    ReleaseCopies();
    if (objPin && !objPin->links.empty()) {
        OutputPin* pin = GraphManager::FindOutputPin(objPin->links.front());
        auto* file = pin ? resourceCast<FileResource>(pin->payload, ResourceType::Object) : nullptr;
        if (Object* input = file ? file->GetObject() : nullptr)
            working = input->Clone();
    }
    if (working)
        BuildPieces(working);
    if (working && working->geometry) {
        published = working->Clone();
        published->name = working->name + ":Destroy";
        output->object = published;
    } else {
        output->object = emptyObject();
    }
    if (!outputs.empty())
        outputs[0]->payload = output;
}

void destroy_modifier::OnInputChanged(int32_t)
{
    Init();
    if (!outputs.empty())
        GraphManager::NotifyOutputChanged(outputs[0]->id);
}
