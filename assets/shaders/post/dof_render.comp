#version 430
// Round depth of field: every pixel gathers the source over a disc of its own COC. A sample counts as far as its
// own COC reaches (a blurred highlight spreads as a disc, which gives round bokeh) but never further than the
// pixel's own COC: blur grows with distance behind the focus, so a sharp surface never takes on the blur behind it.

layout(local_size_x = 16, local_size_y = 16) in;

#include <shaders/post/dof_common.glsl>

layout(r16f) readonly uniform image2D inCOC; // smoothed COC
layout(rgba16f) writeonly uniform image2D outColor;
uniform sampler2D s_sourceColor;
uniform sampler2D s_sourceDepth;
uniform int show_coc;

const int kMaxSamples = 48;
const float kGoldenAngle = 2.39996323;


void main()
{
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    if (dofOutside(p)) // the last groups are partial
        return;
    vec4 centre = texelFetch(s_sourceColor, p, 0);
    // The smoothed COC, never above the pixel's own: smoothing softens the blur's edges without spreading it onto
    // sharp neighbours.
    float c = min(imageLoad(inCOC, p).r, dofCocOfDistance(dofViewDistance(texelFetch(s_sourceDepth, p, 0).r)));
    if (show_coc != 0) {
        imageStore(outColor, p, vec4(vec3(c / max(max_radius, 1e-4)), 1.0));
        return;
    }
    if (c < 0.5) { // sharp: the pixel as it is
        imageStore(outColor, p, centre);
        return;
    }
    // About one tap per two square pixels of the disc: small discs cost little.
    int samples = clamp(int(ceil(c * c * 0.5)), 12, kMaxSamples);
    vec3 sum = centre.rgb;
    float weightSum = 1.0;
    for (int i = 0; i < samples; ++i) {
        float r = c * sqrt((float(i) + 0.5) / float(samples));
        float phi = float(i) * kGoldenAngle;
        vec2 position = vec2(p) + 0.5 + r * vec2(cos(phi), sin(phi));
        float reach = min(imageLoad(inCOC, dofClampPixel(ivec2(floor(position)))).r, c);
        float w = clamp(reach - r + 1.0, 0.0, 1.0);
        sum += textureLod(s_sourceColor, position * vResolutionInv, 0.0).rgb * w;
        weightSum += w;
    }
    imageStore(outColor, p, vec4(sum / weightSum, centre.a));
}
