// Per-surface indirect draw commands of a geometry, and the compute passes that turn a count held in a GPU
// buffer into one draw command without reading it back. Main thread only.
#pragma once

#include <cstdint>

struct BufferObject;
struct Geometry;
struct ShaderProgram;

// One GL draw-elements command: count, instance count, first index, base vertex, base instance.
constexpr uint32_t GEOMETRY_INDIRECT_COMMAND_SIZE = 20;
// Room for one command per surface of the largest geometry.
constexpr uint32_t GEOMETRY_INDIRECT_BUFFER_SIZE = 5120;

// Built once on first use from "shaders/materials/commons_indirect.glsl": 0 writes draw-elements commands,
// 1 draw-arrays commands.
extern ShaderProgram* geomIndirectPrograms[2];

// Gives a geometry without one its command buffer: {3 x triangles, 1, 0, 0, 0} per surface at 20 x i, zeros
// after the last surface. A geometry that has the buffer keeps it (and the counts written then).
void geomCreateIndirectBuffer(Geometry* geometry);

// Writes draw-elements command `commandIndex` of `commands` from the triangle count at uint `sourceIndex` of
// `source`. False when nothing was dispatched (no usable program, missing buffers).
bool geomBuildDrawElementsIndirect(BufferObject* commands, int commandIndex, BufferObject* source, int sourceIndex);
// Writes draw-arrays command 0 of `commands` from the triangle count at uint `sourceIndex` of `source`.
bool geomBuildDrawArraysIndirect(BufferObject* commands, BufferObject* source, int sourceIndex);

// Deletes both programs; the next builder call builds them again (tests, shutdown).
void geomIndirectProgramsRelease();
