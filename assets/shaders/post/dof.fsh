#version 430
// Simple depth of field: "s_texture0" (colour) blurred by a disc whose radius grows with the distance of the
// depth in "s_texture1" from the focus depth.

uniform sampler2D s_texture0;
uniform sampler2D s_texture1;
uniform vec2 vResolutionInv;
uniform float focusDepth = 0.5;
uniform float focusRange = 0.1;
uniform float maxRadius = 8.0;

in vec2 texcoord;
out vec4 outColor;

const int kTaps = 12;

void main()
{
    float depth = texture(s_texture1, texcoord).r;
    float blur = clamp(abs(depth - focusDepth) / max(focusRange, 0.0001), 0.0, 1.0);
    vec2 radius = blur * maxRadius * vResolutionInv;
    vec4 sum = texture(s_texture0, texcoord);
    for (int i = 0; i < kTaps; ++i) {
        float angle = 6.2831853 * float(i) / float(kTaps);
        sum += texture(s_texture0, texcoord + vec2(cos(angle), sin(angle)) * radius);
    }
    outColor = sum / float(kTaps + 1);
}
