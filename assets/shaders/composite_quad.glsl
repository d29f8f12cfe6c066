// Vertex stage of the full-screen composite: the quad (positions +-0.5, UVs 0..1) comes in through the geometry's
// storage blocks, and "mModelview" / "mProjection" (row-major, hence the vector on the left) map it onto the whole
// viewport. The projection flips y, so UV (0, 0) lands on the bottom-left pixel, where GL keeps row 0 of a
// texture: sampling with the UV as given reproduces a texture right side up.

layout(std430) readonly buffer VTXCoords
{
    float vtxCoords[];
};

layout(std430) readonly buffer VTXUV0
{
    float vtxUV0[];
};

uniform mat4 mModelview;
uniform mat4 mProjection;

out vec2 texcoord;

void main()
{
    const int v = gl_VertexID;
    vec4 position = vec4(vtxCoords[3 * v], vtxCoords[3 * v + 1], vtxCoords[3 * v + 2], 1.0);
    gl_Position = position * mModelview * mProjection;
    texcoord = vec2(vtxUV0[2 * v], vtxUV0[2 * v + 1]);
}
