#version 430
// Turns a shadow map into a coverage mask: 1 where the light saw a surface, 0 where its depth stayed cleared.
// One invocation per mask texel; the mask may differ in size from the depth map, which is then scaled over it.
// The dispatch rounds up to whole 8 x 8 groups, so invocations past the mask's edge do nothing.

layout(local_size_x = 8, local_size_y = 8) in;

layout(std430) readonly buffer DepthToMaskTransferParams
{
    float coveredDepth; // depths below this count as a surface
};

uniform sampler2D sTextureDepth;
layout(r8) uniform writeonly image2D imMask;

void main()
{
    ivec2 texel = ivec2(gl_GlobalInvocationID.xy);
    ivec2 maskSize = imageSize(imMask);
    if (texel.x >= maskSize.x || texel.y >= maskSize.y)
        return;
    ivec2 depthSize = textureSize(sTextureDepth, 0);
    ivec2 source = min(texel * depthSize / maskSize, depthSize - 1);
    float depth = texelFetch(sTextureDepth, source, 0).r;
    imageStore(imMask, texel, vec4(depth < coveredDepth ? 1.0 : 0.0));
}
