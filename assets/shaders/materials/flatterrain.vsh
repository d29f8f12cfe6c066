#version 430
// The "flatterrain" material: patches tessellated and displaced by the shared noise into a faceted terrain.
// This stage only moves the control points to world space.

#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_buffers.glsl>
#include <shaders/materials/vertex_data.glsl>

uniform int materialIndex = 0;

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
