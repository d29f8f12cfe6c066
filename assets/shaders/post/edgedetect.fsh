#version 430
// Edge detection: the Sobel gradient of the luma of "s_texture0", as white edges over black.

uniform sampler2D s_texture0;
uniform vec2 vResolutionInv;

in vec2 texcoord;
out vec4 outColor;

float lumaAt(int x, int y)
{
    vec3 color = texture(s_texture0, texcoord + vec2(x, y) * vResolutionInv).rgb;
    return dot(color, vec3(0.299, 0.587, 0.114));
}

void main()
{
    float gx = -lumaAt(-1, -1) - 2.0 * lumaAt(-1, 0) - lumaAt(-1, 1) + lumaAt(1, -1) + 2.0 * lumaAt(1, 0) +
               lumaAt(1, 1);
    float gy = -lumaAt(-1, -1) - 2.0 * lumaAt(0, -1) - lumaAt(1, -1) + lumaAt(-1, 1) + 2.0 * lumaAt(0, 1) +
               lumaAt(1, 1);
    float edge = clamp(length(vec2(gx, gy)), 0.0, 1.0);
    outColor = vec4(vec3(edge), 1.0);
}
