#version 430
// The fragment stage of the "flat" material family and of the grid visualisations. A material's override text is
// inlined here, after the input block it may read (vtx_input.vColor and friends).

#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_data.glsl>

in VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_input;

#inline <INLINE_MATERIAL_OVERRIDE>

#include <shaders/materials/material_overrides.glsl>
#include <shaders/materials/material_fragment.glsl>

void main()
{
    materialFragment();
}
