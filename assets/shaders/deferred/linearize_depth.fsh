#version 430
// Linear depth: the view distance of every G-buffer depth sample, for the screen-space passes that reconstruct
// positions. The projection keeps view distance z as d = (f + n) / (f - n) - 2 f n / ((f - n) z), so
// z = 2 n f / (f + n - d (f - n)). Reads only gl_FragCoord, so it works with any full-screen vertex stage.

uniform sampler2D s_texture0;         // G-buffer depth
uniform vec4 vCameraProjectionParams; // read by the occlusion pass; declared here for the shared uniform set
uniform float vNearPlane;
uniform float vFarPlane;
uniform vec4 vNearFarPlane;           // (n, f, 2 n f, f - n)
uniform vec2 vResolution;

layout(location = 0) out float outLinearDepth;

void main()
{
    ivec2 size = textureSize(s_texture0, 0);
    vec2 uv = gl_FragCoord.xy / max(vResolution, vec2(1.0));
    ivec2 texel = clamp(ivec2(uv * vec2(size)), ivec2(0), size - 1);
    float d = texelFetch(s_texture0, texel, 0).r;
    outLinearDepth = vNearFarPlane.z / max(vNearFarPlane.x + vNearFarPlane.y - d * vNearFarPlane.w, 1e-6);
}
