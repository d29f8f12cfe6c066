#version 430
// Turns a primitive count that an earlier compute pass left in a GPU buffer into one GL indirect draw command,
// so the count never has to come back to the CPU.
//
// The file is built twice. The define whose value is "main" makes one of the two entry functions below the
// compute entry point:
//   MAIN_BUILD_DRAW_ELEMENTS_INDIRECT_FROM_BUFFER  writes a draw-elements command (five uints)
//   MAIN_BUILD_DRAW_ARRAYS_INDIRECT_FROM_BUFFER    writes a draw-arrays command (four uints)
// Each command block is declared only for its own entry point, so a build never holds a block it does not use.
//
// One work group of one invocation writes one command. Indices outside the bound buffers write nothing (command)
// or count as zero primitives (source).

layout(local_size_x = 1, local_size_y = 1, local_size_z = 1) in;

// x: index of the command to write (in commands), y: index of the count in DrawIndirectSourceBuffer (in uints),
// z: vertices per counted primitive (3: triangles), w: instance count.
layout(std430) readonly buffer BuildDrawIndirectFromBufferParamsBuffer
{
    ivec4 buildParams;
};

layout(std430) readonly buffer DrawIndirectSourceBuffer
{
    uint sourceValues[];
};

// Vertices or indices to draw: the source count times the vertices per primitive.
uint buildVertexCount()
{
    int sourceIndex = buildParams.y;
    if (sourceIndex < 0 || uint(sourceIndex) >= uint(sourceValues.length()))
        return 0u;
    return sourceValues[sourceIndex] * uint(max(buildParams.z, 0));
}

// First uint of the command, or -1 when the whole command does not fit the bound buffer.
int commandStart(uint commandUints, int bufferUints)
{
    int commandIndex = buildParams.x;
    // Compared by division, so a huge index cannot wrap around into the buffer.
    if (commandIndex < 0 || uint(commandIndex) >= uint(bufferUints) / commandUints)
        return -1;
    return int(uint(commandIndex) * commandUints);
}

#ifdef MAIN_BUILD_DRAW_ELEMENTS_INDIRECT_FROM_BUFFER

// GL's DrawElementsIndirectCommand, packed: count, instanceCount, firstIndex, baseVertex, baseInstance.
layout(std430) buffer DrawElementsIndirectParamsBuffer
{
    uint elementsCommands[];
};

const uint ELEMENTS_COMMAND_UINTS = 5u;

void MAIN_BUILD_DRAW_ELEMENTS_INDIRECT_FROM_BUFFER()
{
    int start = commandStart(ELEMENTS_COMMAND_UINTS, elementsCommands.length());
    if (start < 0)
        return;
    elementsCommands[start + 0] = buildVertexCount();
    elementsCommands[start + 1] = uint(max(buildParams.w, 0));
    elementsCommands[start + 2] = 0u; // first index
    elementsCommands[start + 3] = 0u; // base vertex
    elementsCommands[start + 4] = 0u; // base instance
}

#endif // MAIN_BUILD_DRAW_ELEMENTS_INDIRECT_FROM_BUFFER

#ifdef MAIN_BUILD_DRAW_ARRAYS_INDIRECT_FROM_BUFFER

// GL's DrawArraysIndirectCommand, packed: count, instanceCount, first, baseInstance.
layout(std430) buffer DrawArraysIndirectParamsBuffer
{
    uint arraysCommands[];
};

const uint ARRAYS_COMMAND_UINTS = 4u;

void MAIN_BUILD_DRAW_ARRAYS_INDIRECT_FROM_BUFFER()
{
    int start = commandStart(ARRAYS_COMMAND_UINTS, arraysCommands.length());
    if (start < 0)
        return;
    arraysCommands[start + 0] = buildVertexCount();
    arraysCommands[start + 1] = uint(max(buildParams.w, 0));
    arraysCommands[start + 2] = 0u; // first vertex
    arraysCommands[start + 3] = 0u; // base instance
}

#endif // MAIN_BUILD_DRAW_ARRAYS_INDIRECT_FROM_BUFFER
