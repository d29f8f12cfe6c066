#version 430
// Preview of stored normals: maps each component from -1..1 to 0..1.

uniform sampler2D s_texture0;

in vec2 texcoord;
out vec4 outColor;

void main()
{
    vec3 normal = texture(s_texture0, texcoord).xyz;
    outColor = vec4(normal * 0.5 + 0.5, 1.0);
}
