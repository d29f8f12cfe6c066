#version 430
// Glow. PASS_BLUR: one blur step at half resolution; the first step keeps only what exceeds "vGlowThreshold",
// later steps widen the kernel with "vGlowIteration". PASS_MERGE: the source plus the blurred image tinted by
// "vGlowColor".

uniform sampler2D s_texture0;
uniform sampler2D s_texture1;
uniform vec2 vResolutionInv;
uniform float vGlowIteration;
uniform vec3 vGlowThreshold;
uniform vec3 vGlowColor;

in vec2 texcoord;
out vec4 outColor;

#if defined(PASS_BLUR)
vec3 bright(vec2 uv)
{
    return max(texture(s_texture0, uv).rgb - vGlowThreshold, vec3(0.0));
}
#endif

void main()
{
#if defined(PASS_BLUR)
    // 3 x 3 tent whose taps spread further every iteration.
    vec2 step = vResolutionInv * (1.0 + vGlowIteration);
    vec3 sum = vec3(0.0);
    float weights = 0.0;
    for (int y = -1; y <= 1; ++y) {
        for (int x = -1; x <= 1; ++x) {
            float w = (2.0 - abs(float(x))) * (2.0 - abs(float(y)));
            sum += w * bright(texcoord + vec2(x, y) * step);
            weights += w;
        }
    }
    outColor = vec4(sum / weights, 1.0);
#elif defined(PASS_MERGE)
    vec4 source = texture(s_texture0, texcoord);
    vec3 glow = texture(s_texture1, texcoord).rgb * vGlowColor;
    outColor = vec4(source.rgb + glow, source.a);
#else
    outColor = texture(s_texture0, texcoord);
#endif
}
