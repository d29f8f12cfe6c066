#version 430
// Fast approximate anti-aliasing of "s_texture0": the luma gradient of the four diagonal neighbours gives the
// edge direction, along which two short and two long taps are averaged; the long average is dropped when its
// luma leaves the neighbourhood's range (it crossed the edge).

uniform sampler2D s_texture0;
uniform vec2 vResolutionInv;

in vec2 texcoord;
out vec4 outColor;

#define FXAA_REDUCE_MIN (1.0 / 128.0)
#define FXAA_REDUCE_MUL (1.0 / 8.0)
#define FXAA_SPAN_MAX 8.0

float luma(vec3 color)
{
    return dot(color, vec3(0.299, 0.587, 0.114));
}

vec3 tap(vec2 offset)
{
    return texture(s_texture0, texcoord + offset).rgb;
}

void main()
{
    vec2 texel = vResolutionInv;
    vec4 centre = texture(s_texture0, texcoord);
    float lumaNW = luma(tap(vec2(-1.0, -1.0) * texel));
    float lumaNE = luma(tap(vec2(1.0, -1.0) * texel));
    float lumaSW = luma(tap(vec2(-1.0, 1.0) * texel));
    float lumaSE = luma(tap(vec2(1.0, 1.0) * texel));
    float lumaM = luma(centre.rgb);
    float lumaMin = min(lumaM, min(min(lumaNW, lumaNE), min(lumaSW, lumaSE)));
    float lumaMax = max(lumaM, max(max(lumaNW, lumaNE), max(lumaSW, lumaSE)));

    vec2 direction = vec2(-((lumaNW + lumaNE) - (lumaSW + lumaSE)), (lumaNW + lumaSW) - (lumaNE + lumaSE));
    float reduce = max((lumaNW + lumaNE + lumaSW + lumaSE) * (0.25 * FXAA_REDUCE_MUL), FXAA_REDUCE_MIN);
    float scale = 1.0 / (min(abs(direction.x), abs(direction.y)) + reduce);
    direction = clamp(direction * scale, vec2(-FXAA_SPAN_MAX), vec2(FXAA_SPAN_MAX)) * texel;

    vec3 near = 0.5 * (tap(direction * (1.0 / 3.0 - 0.5)) + tap(direction * (2.0 / 3.0 - 0.5)));
    vec3 far = near * 0.5 + 0.25 * (tap(direction * -0.5) + tap(direction * 0.5));
    float lumaFar = luma(far);
    outColor = vec4((lumaFar < lumaMin || lumaFar > lumaMax) ? near : far, centre.a);
}
