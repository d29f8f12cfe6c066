#version 430
// Circle of confusion of every pixel from the scene depth, before smoothing.

layout(local_size_x = 16, local_size_y = 16) in;

#include <shaders/post/dof_common.glsl>

uniform sampler2D s_sourceDepth;
writeonly uniform image2D outCOC; // r16f

void main()
{
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    if (dofOutside(p)) // the last groups are partial
        return;
    ivec2 depthSize = textureSize(s_sourceDepth, 0);
    float d = texelFetch(s_sourceDepth, clamp(p, ivec2(0), depthSize - 1), 0).r;
    imageStore(outCOC, p, vec4(dofCocOfDistance(dofViewDistance(d))));
}
