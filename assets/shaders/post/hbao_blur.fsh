#version 430
// One direction of the ambient-occlusion blur: a 9-tap Gaussian that ignores samples lying at another depth, so
// occlusion does not bleed across silhouettes. "vBlurDirection" is one texel along x or y.

uniform sampler2D s_texture0; // G-buffer depth
uniform sampler2D s_texture1; // occlusion to blur
uniform vec2 vBlurDirection;
uniform vec4 vNearFarPlane;   // (n, f, 2 n f, f - n)
uniform vec2 vResolution;

layout(location = 0) out vec4 outColor;

const int kRadius = 4;
const float kSharpness = 40.0;

float linearDepthAt(vec2 uv)
{
    ivec2 size = textureSize(s_texture0, 0);
    float d = texelFetch(s_texture0, clamp(ivec2(uv * vec2(size)), ivec2(0), size - 1), 0).r;
    return vNearFarPlane.z / max(vNearFarPlane.x + vNearFarPlane.y - d * vNearFarPlane.w, 1e-6);
}

float occlusionAt(vec2 uv)
{
    ivec2 size = textureSize(s_texture1, 0);
    return texelFetch(s_texture1, clamp(ivec2(uv * vec2(size)), ivec2(0), size - 1), 0).r;
}

void main()
{
    vec2 uv = gl_FragCoord.xy / max(vResolution, vec2(1.0));
    float centreDepth = linearDepthAt(uv);
    float sum = occlusionAt(uv);
    float weights = 1.0;
    float sigma = float(kRadius) * 0.5 + 0.5;
    for (int i = -kRadius; i <= kRadius; ++i) {
        if (i == 0)
            continue;
        vec2 sampleUV = uv + vBlurDirection * float(i);
        float depthDelta = (linearDepthAt(sampleUV) - centreDepth) / max(centreDepth, 1e-4);
        float w = exp(-float(i * i) / (2.0 * sigma * sigma) - depthDelta * depthDelta * kSharpness * kSharpness);
        sum += occlusionAt(sampleUV) * w;
        weights += w;
    }
    float ao = sum / weights;
    outColor = vec4(ao, ao, ao, 1.0);
}
