#version 430
// Copy: reproduces "s_texture0", scaled to the output when the sizes differ.

uniform sampler2D s_texture0;

in vec2 texcoord;
out vec4 outColor;

void main()
{
    outColor = texture(s_texture0, texcoord);
}
