#version 430
// Vertex stage of the deferred full-screen passes. Draws the renderer's projection-plane quad (or the composite's
// quad) over the whole viewport with the composite's orientation: quad y is flipped, so UV (0, 0) lands on the
// bottom-left pixel where GL keeps row 0 of a texture.
//
// "VTXDeferredProjectionPlane" holds, per corner, the camera-space direction through that screen corner at unit
// view depth, (x, y) = NDC corner times (tan(fov / 2) * aspect, tan(fov / 2)). Interpolated, it gives each pixel's
// view ray: view position = (plane.xy * depth, depth) with depth the distance along the camera's forward axis.
// A quad without that attribute (the composite's) gets the same ray from a 90-degree square frustum.

layout(std430) readonly buffer VTXCoords
{
    float vtxCoords[];
};

layout(std430) readonly buffer VTXUV0
{
    float vtxUV0[];
};

layout(std430) readonly buffer VTXDeferredProjectionPlane
{
    float vtxProjectionPlane[];
};

out vec2 texcoord;
out vec3 vProjectionPlane;

void main()
{
    const int v = gl_VertexID;
    vec2 ndc = vec2(vtxCoords[3 * v], -vtxCoords[3 * v + 1]) * 2.0;
    gl_Position = vec4(ndc, 0.0, 1.0);
    texcoord = vec2(vtxUV0[2 * v], vtxUV0[2 * v + 1]);
    if (vtxProjectionPlane.length() >= 3 * v + 3)
        vProjectionPlane = vec3(vtxProjectionPlane[3 * v], vtxProjectionPlane[3 * v + 1], vtxProjectionPlane[3 * v + 2]);
    else
        vProjectionPlane = vec3(ndc, -1.0);
}
