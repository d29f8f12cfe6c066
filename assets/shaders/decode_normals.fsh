#version 430
// Preview of the G-buffer's normal target (R32UI normal + material, decoded by the G-buffer include): the
// world-space normal mapped from -1..1 to 0..1; pixels no surface wrote stay black.

#include <shaders/materials/gbuffer.glsl>

uniform usampler2D s_texture0;

in vec2 texcoord;
out vec4 outColor;

void main()
{
    // Integer textures are not filtered: fetch the texel under the UV.
    ivec2 size = textureSize(s_texture0, 0);
    ivec2 texel = clamp(ivec2(texcoord * vec2(size)), ivec2(0), size - 1);
    uint bits = texelFetch(s_texture0, texel, 0).r;
    if (!gbufferHasSurface(bits)) {
        outColor = vec4(0.0, 0.0, 0.0, 1.0);
        return;
    }
    outColor = vec4(gbufferDecodeNormal(bits) * 0.5 + 0.5, 1.0);
}
