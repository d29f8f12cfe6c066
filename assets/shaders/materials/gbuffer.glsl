// The G-buffer ("deferred_deep") and the one place that encodes and decodes it. Every pass that writes or reads
// the G-buffer goes through the functions below, so the layout can only change here.
//
//   colour 0  RGBA16F   albedo: rgb linear surface colour; a unused (surfaces write 1)
//   colour 1  R32UI     normal and material:
//                         bits  0-10  octahedral world-space normal, x (11-bit unorm over -1 .. 1)
//                         bits 11-21  octahedral world-space normal, y (11-bit unorm over -1 .. 1)
//                         bits 22-31  material index: the row of the frame's material table (0 .. 511) whose
//                                     record in "MaterialPropertiesDataBuffer" describes the surface
//                       The frame clear writes 0xC0000000, i.e. material index 768: no surface was drawn.
//   colour 2  RGBA16UI  metalness, roughness and material tags:
//                         r  metalness, 16-bit unorm
//                         g  roughness, 16-bit unorm
//                         b  the material's flag word (MaterialFlag_* bits of the material record)
//                         a  surface tags: 0x8000 drawn by a surface, 0x0002 seen from its back face
//                       The frame clear leaves r, g, b at 0 and a at 0 or 1 (never 0x8000).
//   colour 3  RGBA16F   emitted radiance rgb; a unused
//
// The octahedral encoding is also what the raytracer's exported vertices store as their two normal floats.

#ifndef MATERIALS_GBUFFER_GLSL
#define MATERIALS_GBUFFER_GLSL

const uint GBUFFER_NORMAL_BITS = 11u;
const uint GBUFFER_NORMAL_MAX = 2047u;
const uint GBUFFER_MATERIAL_SHIFT = 22u;
const uint GBUFFER_MATERIAL_MASK = 1023u;
const int GBUFFER_MATERIAL_ROWS = 512;
const uint GBUFFER_NO_SURFACE = 0xC0000000u;

const uint GBUFFER_TAG_BACK_FACE = 2u;
const uint GBUFFER_TAG_SURFACE = 32768u;

// -1 .. 1 square of a unit vector; any non-zero vector is accepted.
vec2 gbufferOctEncode(vec3 n)
{
    float l1 = abs(n.x) + abs(n.y) + abs(n.z);
    if (l1 < 0.000001)
        return vec2(0.0, 0.0); // +z
    n /= l1;
    if (n.z >= 0.0)
        return n.xy;
    vec2 signs = vec2(n.x >= 0.0 ? 1.0 : -1.0, n.y >= 0.0 ? 1.0 : -1.0);
    return (1.0 - abs(n.yx)) * signs;
}

vec3 gbufferOctDecode(vec2 e)
{
    vec3 n = vec3(e, 1.0 - abs(e.x) - abs(e.y));
    float t = max(-n.z, 0.0);
    n.x += n.x >= 0.0 ? -t : t;
    n.y += n.y >= 0.0 ? -t : t;
    return normalize(n);
}

uint gbufferEncodeNormalMaterial(vec3 normal, int materialIndex)
{
    vec2 e = clamp(gbufferOctEncode(normal) * 0.5 + 0.5, 0.0, 1.0);
    uvec2 q = uvec2(round(e * float(GBUFFER_NORMAL_MAX)));
    uint material = uint(clamp(materialIndex, 0, GBUFFER_MATERIAL_ROWS - 1));
    return q.x | (q.y << GBUFFER_NORMAL_BITS) | (material << GBUFFER_MATERIAL_SHIFT);
}

vec3 gbufferDecodeNormal(uint encoded)
{
    uvec2 q = uvec2(encoded & GBUFFER_NORMAL_MAX, (encoded >> GBUFFER_NORMAL_BITS) & GBUFFER_NORMAL_MAX);
    return gbufferOctDecode(vec2(q) / float(GBUFFER_NORMAL_MAX) * 2.0 - 1.0);
}

int gbufferDecodeMaterialIndex(uint encoded)
{
    return int((encoded >> GBUFFER_MATERIAL_SHIFT) & GBUFFER_MATERIAL_MASK);
}

// False for pixels no surface wrote this frame (the clear value).
bool gbufferHasSurface(uint encoded)
{
    return gbufferDecodeMaterialIndex(encoded) < GBUFFER_MATERIAL_ROWS;
}

uvec4 gbufferEncodeMetalnessRoughnessTags(float metalness, float roughness, uint materialFlags, bool backFace)
{
    uvec2 mr = uvec2(round(clamp(vec2(metalness, roughness), 0.0, 1.0) * 65535.0));
    uint tags = GBUFFER_TAG_SURFACE | (backFace ? GBUFFER_TAG_BACK_FACE : 0u);
    return uvec4(mr, materialFlags & 65535u, tags);
}

float gbufferDecodeMetalness(uvec4 encoded)
{
    return float(encoded.r) / 65535.0;
}

float gbufferDecodeRoughness(uvec4 encoded)
{
    return float(encoded.g) / 65535.0;
}

uint gbufferDecodeMaterialFlags(uvec4 encoded)
{
    return encoded.b;
}

#endif // MATERIALS_GBUFFER_GLSL
