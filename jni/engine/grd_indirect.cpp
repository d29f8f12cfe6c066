#include "jni/engine/grd_indirect.h"

#include "app/log.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"

#include <glbinding/gl/gl.h>

#include <cstring>
#include <vector>

using namespace gl;

ShaderProgram* geomIndirectPrograms[2] = {};

namespace {

constexpr const char* kIndirectSource = "shaders/materials/commons_indirect.glsl";
constexpr const char* kEntryDefines[2] = {"MAIN_BUILD_DRAW_ELEMENTS_INDIRECT_FROM_BUFFER",
                                          "MAIN_BUILD_DRAW_ARRAYS_INDIRECT_FROM_BUFFER"};
constexpr const char* kCommandBlocks[2] = {"DrawElementsIndirectParamsBuffer", "DrawArraysIndirectParamsBuffer"};

bool indirectProgramsBuilt = false;

// A failed build stays failed until a hot reload of the source fixes it; it is not retried on every call.
void buildIndirectPrograms()
{
    if (indirectProgramsBuilt)
        return;
    indirectProgramsBuilt = true;
    for (int i = 0; i < 2; ++i)
        geomIndirectPrograms[i] = shaderLoadProgramCompute(kIndirectSource, {{kEntryDefines[i], "main"}});
}

// One single-invocation dispatch with the parameter block {a, b, 3, 1}; the full barrier lets the following
// indirect draw see the command.
bool buildCommand(int kind, BufferObject* commands, int a, BufferObject* source, int b)
{
    if (!commands || !source) {
        LOG_ERROR("Indirect command build without a %s buffer", commands ? "source" : "command");
        return false;
    }
    buildIndirectPrograms();
    ShaderProgram* program = geomIndirectPrograms[kind];
    if (!program || program->errors)
        return false;

    const int32_t params[4] = {a, b, 3, 1};
    BufferBindings bindings;
    shaderBindingsAddData(bindings, "BuildDrawIndirectFromBufferParamsBuffer", params, sizeof(params));
    shaderBindingsAddBuffer(bindings, kCommandBlocks[kind], commands);
    shaderBindingsAddBuffer(bindings, "DrawIndirectSourceBuffer", source);

    bool dispatched = false;
    if (shaderUseProgram(program)) {
        // With a block left unbound the pass would write into whatever buffer its binding point holds.
        if (shaderBindBuffers(program, bindings)) {
            glDispatchCompute(1, 1, 1);
            glMemoryBarrier(GL_ALL_BARRIER_BITS);
            dispatched = true;
        } else {
            LOG_ERROR("Indirect command build: buffers could not be bound; nothing written");
        }
    }
    shaderUseProgram(nullptr);
    return dispatched;
}

} // namespace

void geomCreateIndirectBuffer(Geometry* geometry)
{
    if (!geometry || geometry->indirectBuffer)
        return;
    BufferObject* buffer = boCreate("", GEOMETRY_INDIRECT_BUFFER_SIZE);
    if (!buffer)
        return;
    const size_t maxCommands = GEOMETRY_INDIRECT_BUFFER_SIZE / GEOMETRY_INDIRECT_COMMAND_SIZE;
    if (geometry->surfaces.size() > maxCommands)
        LOG_WARNING("Geometry has %zu surfaces; indirect commands exist for the first %zu", geometry->surfaces.size(),
                    maxCommands);
    std::vector<uint32_t> block(GEOMETRY_INDIRECT_BUFFER_SIZE / 4, 0);
    for (size_t i = 0; i < geometry->surfaces.size() && i < maxCommands; ++i) {
        const GeometrySurface* surface = geometry->surfaces[i];
        block[i * 5 + 0] = surface ? 3 * surface->triangleCount : 0;
        block[i * 5 + 1] = 1;
    }
    glNamedBufferSubData(buffer->glId, 0, GEOMETRY_INDIRECT_BUFFER_SIZE, block.data());
    // The host copy matches the store, so a later upload or copy from it cannot wipe the commands.
    std::memcpy(buffer->hostCopy, block.data(), GEOMETRY_INDIRECT_BUFFER_SIZE);
    buffer->dirty = false;
    geometry->indirectBuffer = buffer;
}

bool geomBuildDrawElementsIndirect(BufferObject* commands, int commandIndex, BufferObject* source, int sourceIndex)
{
    return buildCommand(0, commands, commandIndex, source, sourceIndex);
}

bool geomBuildDrawArraysIndirect(BufferObject* commands, BufferObject* source, int sourceIndex)
{
    return buildCommand(1, commands, 0, source, sourceIndex);
}

void geomIndirectProgramsRelease()
{
    for (ShaderProgram*& program : geomIndirectPrograms) {
        shaderDeleteProgram(program);
        program = nullptr;
    }
    indirectProgramsBuilt = false;
}
