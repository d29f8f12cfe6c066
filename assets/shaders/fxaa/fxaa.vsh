#version 430
// FXAA vertex stage: one triangle whose middle covers the viewport (positions from the geometry's storage block;
// the covered square is -0.5..0.5), so the UV is the position moved to 0..1, with v = 0 on the bottom row.

layout(std430) readonly buffer VTXCoords
{
    float vtxCoords[];
};

out vec2 texcoord;

void main()
{
    const int v = gl_VertexID;
    vec2 position = vec2(vtxCoords[3 * v], vtxCoords[3 * v + 1]);
    gl_Position = vec4(position * 2.0, 0.0, 1.0);
    texcoord = position + 0.5;
}
