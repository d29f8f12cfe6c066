#version 430
// The vertex stage of the "flat" material family: every mesh the renderer components draw goes through it, in
// the deferred, shadow-map and geometry passes (the pass only changes the fragment and geometry stages).
//
// Per draw the renderer binds the geometry's attribute buffers, the instance set, "TransformParamsBuffer" and
// the material record row "materialIndex" (see vertex_buffers.glsl and commons.glsl). Vertex modifiers arrive as
// three inline texts: their parameter blocks at global scope, and statement blocks that edit `vtx_input`, first
// in object space, then (after the instance and model transforms) in world space.

#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_buffers.glsl>
#include <shaders/materials/vertex_data.glsl>

uniform int materialIndex = 0;

out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_output;

#inline <INLINE_VERTEX_MODIFIERS_PARAMS_BLOCK>

void main()
{
    VertexRecord vtx_input = vtxLoad(gl_VertexID);
    {
#inline <INLINE_VERTEX_MODIFIERS_TRANSFORM_LOCAL_BLOCK>
    }
    VertexRecord local = vtx_input;

    vtx_input = vtxObjectToWorld(vtx_input, gl_InstanceID);
    {
#inline <INLINE_VERTEX_MODIFIERS_TRANSFORM_WORLD_BLOCK>
    }

    VERTEX_DATA_WRITE(vtx_output, local, vtx_input, gl_InstanceID)
    gl_Position = vtxWorldToClip(vtx_input.pos);
}
