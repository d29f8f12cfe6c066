#version 430
// Depth-only vertex stage for shadow maps of meshes whose own material has no shadow variant.

#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_buffers.glsl>
#include <shaders/materials/vertex_data.glsl>

out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_output;

void main()
{
    VertexRecord local = vtxLoad(gl_VertexID);
    VertexRecord world = vtxObjectToWorld(local, gl_InstanceID);
    VERTEX_DATA_WRITE(vtx_output, local, world, gl_InstanceID)
    gl_Position = vtxWorldToClip(world.pos);
}
