#version 430
// Runs the instance modifiers joined into this build over one instance set, one invocation per instance.
//
// The joined modifiers arrive as two inline texts:
//   INLINE_MODIFIERS_PARAMS_BLOCK     global scope: each modifier's parameter block (named VM0, VM1, ...) and its
//                                     functions; it may use InstanceData below
//   INLINE_MODIFIERS_TRANSFORM_BLOCK  statements run for every instance; they change `instance` (its transform
//                                     and colour) for the instance index `id`
// Both are empty for an empty chain; the pass then writes every instance back unchanged.
//
// The dispatch covers ceil(count / 32) groups, folded into rows of work groups along y when there are more than
// one row holds, so the last group is usually partial: invocations at or past the count (or past the end of the
// bound buffers) change nothing.

layout(local_size_x = 32, local_size_y = 1, local_size_z = 1) in;

layout(std430) readonly buffer ProcessInstanceModifiersParamsBuffer
{
    int processInstanceCount;
};

// Three rows of a row-major 3 x 4 affine matrix per instance; each row's w is the translation along its axis.
layout(std430) buffer InstanceTransformBuffer
{
    vec4 instanceTransformRows[];
};

// Four half floats per instance: red and green in x, blue and alpha in y.
layout(std430) buffer InstanceColorBuffer
{
    uvec2 instanceColors[];
};

struct InstanceData
{
    mat4 transform; // transform * vec4(p, 1.0) places a point; the last row stays (0, 0, 0, 1)
    vec4 color;
};

#inline <INLINE_MODIFIERS_PARAMS_BLOCK>

void main()
{
    uint index = gl_WorkGroupID.y * gl_NumWorkGroups.x * gl_WorkGroupSize.x + gl_GlobalInvocationID.x;
    if (processInstanceCount <= 0 || index >= uint(processInstanceCount))
        return;
    // Compared by division, so a huge index cannot wrap around into the buffer.
    if (index >= uint(instanceTransformRows.length()) / 3u || index >= uint(instanceColors.length()))
        return;

    int id = int(index);
    uint row = index * 3u;
    InstanceData instance;
    instance.transform = transpose(mat4(instanceTransformRows[row], instanceTransformRows[row + 1u],
                                        instanceTransformRows[row + 2u], vec4(0.0, 0.0, 0.0, 1.0)));
    uvec2 packedColor = instanceColors[index];
    instance.color = vec4(unpackHalf2x16(packedColor.x), unpackHalf2x16(packedColor.y));

    {
#inline <INLINE_MODIFIERS_TRANSFORM_BLOCK>
    }

    mat4 rows = transpose(instance.transform);
    instanceTransformRows[row] = rows[0];
    instanceTransformRows[row + 1u] = rows[1];
    instanceTransformRows[row + 2u] = rows[2];
    instanceColors[index] = uvec2(packHalf2x16(instance.color.rg), packHalf2x16(instance.color.ba));
}
