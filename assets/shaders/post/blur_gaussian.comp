#version 430
// One step of a separable Gaussian blur: along vBlurDirection (one texel in x or in y), vKernelRadius texels to
// each side, weight exp(-i^2 * vBlurFalloff). A radius below half a texel copies. PIXEL_FORMAT is the output's
// image format and PIXEL_SAMPLES its channel count (1 or 4).

#ifndef PIXEL_SAMPLES
#define PIXEL_SAMPLES 4
#endif
#ifndef PIXEL_FORMAT
#define PIXEL_FORMAT rgba16f
#endif

layout(local_size_x = 16, local_size_y = 16) in;

uniform sampler2D s_source;
layout(PIXEL_FORMAT) writeonly uniform image2D outImage;
uniform vec2 vResolution;    // size of the area written
uniform vec2 vResolutionInv;
uniform vec2 vBlurDirection; // (1 / w, 0) or (0, 1 / h)
uniform float vBlurFalloff;  // 1 / (2 s^2)
uniform float vKernelRadius; // texels

vec4 fetch(ivec2 q)
{
    vec4 v = texelFetch(s_source, clamp(q, ivec2(0), ivec2(vResolution) - 1), 0);
#if PIXEL_SAMPLES == 1
    v = vec4(v.r, 0.0, 0.0, 0.0);
#endif
    return v;
}

void main()
{
    ivec2 p = ivec2(gl_GlobalInvocationID.xy);
    if (any(greaterThanEqual(p, ivec2(vResolution))))
        return;
    vec4 sum = fetch(p);
    if (vKernelRadius < 0.5 || vBlurFalloff <= 0.0) {
        imageStore(outImage, p, sum);
        return;
    }
    ivec2 step = ivec2(round(vBlurDirection * vResolution));
    int radius = int(ceil(vKernelRadius));
    float weightSum = 1.0;
    for (int i = 1; i <= radius; ++i) {
        float w = exp(-float(i * i) * vBlurFalloff);
        sum += (fetch(p + step * i) + fetch(p - step * i)) * w;
        weightSum += 2.0 * w;
    }
    imageStore(outImage, p, sum / weightSum);
}
