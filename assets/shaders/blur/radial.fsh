#version 430
// Chromatic aberration: red and blue are sampled along the ray from the image centre, red inwards and blue
// outwards, by "strength" x "spread" (a few taps each, so the fringe is soft); green stays in place.

uniform sampler2D s_texture0;
uniform float strength;
uniform float spread;

in vec2 texcoord;
out vec4 outColor;

const int kTaps = 4;

void main()
{
    vec2 ray = (texcoord - 0.5) * 0.02 * strength;
    vec3 sum = vec3(0.0);
    for (int i = 1; i <= kTaps; ++i) {
        float t = spread * float(i) / float(kTaps);
        sum.r += texture(s_texture0, texcoord - ray * t).r;
        sum.b += texture(s_texture0, texcoord + ray * t).b;
    }
    vec4 center = texture(s_texture0, texcoord);
    outColor = vec4(sum.r / float(kTaps), center.g, sum.b / float(kTaps), center.a);
}
