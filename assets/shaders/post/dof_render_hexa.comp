#version 430
// Hexagonal depth of field in two passes. A hexagon is the union of three rhombi, and a rhombus is two one-sided
// line blurs along its two edges. With edges up (u), down-left (l) and down-right (r):
//   pass 1 (DOF_HEXA_PASS1): V = line(source, u) and VD = V + line(source, l);
//   pass 2 (DOF_HEXA_PASS2): (line(V, l) + line(VD, r)) / 3 = the rhombi (u, l), (u, r) and (l, r).
// Each line is as long as the pixel's COC; samples are weighted as in the round gather (as far as their own COC
// reaches, never further than the pixel's), so sharp surfaces stay sharp and blurred highlights spread as hexagons.

layout(local_size_x = 16, local_size_y = 16) in;

#include <shaders/post/dof_common.glsl>

uniform sampler2D s_sourceColor;
uniform sampler2D s_sourceCOC;
uniform sampler2D s_sourceDepth;
#ifdef DOF_HEXA_PASS1
layout(rgba16f) writeonly uniform image2D outVertical;
layout(rgba16f) writeonly uniform image2D outDiagonal;
#else
layout(rgba16f) writeonly uniform image2D outColor;
uniform sampler2D s_sourceBlurVertical;
uniform sampler2D s_sourceBlurVerticalDiagonal;
uniform int show_coc;
#endif

const int kLineSamples = 16;
const vec2 kUp = vec2(0.0, 1.0);
const vec2 kDownLeft = vec2(-0.8660254, -0.5);
const vec2 kDownRight = vec2(0.8660254, -0.5);

// Average of the image along a segment of length c from the pixel (one side only), about a tap per pixel.
vec4 lineBlur(sampler2D image, ivec2 p, vec2 direction, float c)
{
    vec2 size = vec2(textureSize(image, 0));
    vec4 sum = texelFetch(image, p, 0);
    float weightSum = 1.0;
    int samples = clamp(int(ceil(c)), 4, kLineSamples);
    for (int i = 1; i <= samples; ++i) {
        float t = c * float(i) / float(samples);
        vec2 position = vec2(p) + 0.5 + direction * t;
        float reach = min(texelFetch(s_sourceCOC, dofClampPixel(ivec2(floor(position))), 0).r, c);
        float w = clamp(reach - t + 1.0, 0.0, 1.0);
        sum += textureLod(image, position / size, 0.0) * w;
        weightSum += w;
    }
    return sum / weightSum;
}

void main()
{
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    if (dofOutside(p)) // the last groups are partial
        return;
    // The smoothed COC, never above the pixel's own (see the round gather).
    float c = min(texelFetch(s_sourceCOC, p, 0).r,
                  dofCocOfDistance(dofViewDistance(texelFetch(s_sourceDepth, p, 0).r)));
#ifdef DOF_HEXA_PASS1
    if (c < 0.5) { // sharp: both lines are the pixel itself
        vec4 centre = texelFetch(s_sourceColor, p, 0);
        imageStore(outVertical, p, centre);
        imageStore(outDiagonal, p, 2.0 * centre);
        return;
    }
    vec4 vertical = lineBlur(s_sourceColor, p, kUp, c);
    imageStore(outVertical, p, vertical);
    imageStore(outDiagonal, p, vertical + lineBlur(s_sourceColor, p, kDownLeft, c));
#else
    vec4 centre = texelFetch(s_sourceColor, p, 0);
    if (show_coc != 0) {
        imageStore(outColor, p, vec4(vec3(c / max(max_radius, 1e-4)), 1.0));
        return;
    }
    if (c < 0.5) { // sharp: the pixel as it is
        imageStore(outColor, p, centre);
        return;
    }
    vec4 sum = lineBlur(s_sourceBlurVertical, p, kDownLeft, c) +
               lineBlur(s_sourceBlurVerticalDiagonal, p, kDownRight, c);
    imageStore(outColor, p, vec4(sum.rgb / 3.0, centre.a));
#endif
}
