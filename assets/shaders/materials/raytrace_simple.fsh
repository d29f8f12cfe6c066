#version 430
// Fragment stage of the raytracer's materials.
//   RAYTRACE_PASS            full-screen: for every G-buffer surface, a reflection ray is traced through the
//                            partition grid; hits are shaded with their material and the frame lights, misses
//                            sample the environment ("s_reflection"). Writes (colour, Fresnel weight).
//                            GLASS_REFLECTION_PASS writes the glass layer that the reflection pass then reads
//                            back as "sFresnelReflection".
//   PROXY_PASS               the proxy step draws nothing of its own yet: every fragment is dropped
//   SHADOWMAP_PASS, GEOMETRY_PASS  depth only / export only

#define RT_BUFFERS_VERTICES 1
#define RT_BUFFERS_GRID 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_data.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/materials/raytrace_commons.glsl>

#if defined(SHADOWMAP_PASS) || defined(GEOMETRY_PASS)

void main()
{
}

#elif defined(PROXY_PASS)

void main()
{
    discard;
}

#else

in VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_input;

// 180 bytes of host data.
layout(std430, row_major) readonly buffer RTSetupBuffer
{
    mat4 rt_projection;
    mat4 rt_world;       // camera to world
    vec3 rt_position;
    float rt_reserved;
    vec4 rt_fov;         // 2 tan(fov / 2) x 16/9, 2 tan(fov / 2)
    vec4 rt_near_far;    // near, far, 2 near far, far - near
    float rt_trace_range;
};

layout(r32ui) readonly uniform uimage2D imNormalMaterial;
layout(rgba16ui) readonly uniform uimage2D imMetalnessRoughnessMaterialTags;
layout(rgba16f) readonly uniform image2D imAlbedo;
uniform sampler2D sTextureDepth;
uniform samplerCube s_reflection;
uniform sampler2D sFresnelReflection;
uniform int numFaces = 0;
uniform float gridSize = 0.25;
uniform vec4 vNearFarPlane = vec4(0.1, 1000.0, 200.0, 999.9);

layout(location = 0) out vec4 outColor;

vec3 shadeHit(RTHit hit, vec3 rayDir)
{
    RTExportedVertex s = rtHitSurface(hit);
    MaterialPropertiesGPU m = materialDefaults();
#ifdef MATERIAL_PROPERTIES_BINDING
    m = materialLoad(s.material);
#endif
    vec3 n = dot(s.normal, rayDir) > 0.0 ? -s.normal : s.normal;
    vec3 light = textureLod(s_reflection, n, 6.0).rgb;
#ifdef LIGHT_PROPERTIES_BINDING
    for (int i = 0; i < lightCount(); ++i)
        light += lightDiffuse(lights.light_properties[i], s.position, n);
#endif
    return m.diffuse * light + m.emissive * m.emissive_factor;
}

void main()
{
    ivec2 pixel = ivec2(gl_FragCoord.xy);
    uint normalMaterial = imageLoad(imNormalMaterial, pixel).r;
    if (!gbufferHasSurface(normalMaterial))
        discard;

    vec2 size = vec2(imageSize(imNormalMaterial));
    float depth = texelFetch(sTextureDepth, pixel, 0).r;
    vec4 clip = vec4((vec2(pixel) + 0.5) / size * 2.0 - 1.0, depth, 1.0);
    vec4 view = inverse(rt_projection) * clip;
    vec3 worldPos = (rt_world * vec4(view.xyz / view.w, 1.0)).xyz;

    vec3 n = gbufferDecodeNormal(normalMaterial);
    uvec4 tags = imageLoad(imMetalnessRoughnessMaterialTags, pixel);
    float roughness = gbufferDecodeRoughness(tags);
    float metalness = gbufferDecodeMetalness(tags);
    vec3 albedo = imageLoad(imAlbedo, pixel).rgb;

    vec3 toSurface = commonsSafeNormalize(worldPos - rt_position, vec3(0.0, 0.0, 1.0));
    vec3 rayDir = reflect(toSurface, n);
    float offset = max(length(grid_bounds[RT_GRID_TRACE].cell_size.xyz) * max(gridSize, 0.01), 0.001);

    vec3 color;
    RTHit hit;
    hit.hit = false;
    if (numFaces > 0)
        hit = rtTraceGrid(worldPos + n * offset, rayDir, rt_trace_range);
    if (hit.hit)
        color = shadeHit(hit, rayDir);
    else
        color = textureLod(s_reflection, rayDir, roughness * 8.0).rgb;

    vec3 f0 = mix(vec3(0.04), albedo, metalness);
    float cosTheta = clamp(dot(-toSurface, n), 0.0, 1.0);
    vec3 fresnel = f0 + (1.0 - f0) * pow(1.0 - cosTheta, 5.0);
    float weight = dot(fresnel, vec3(0.3333));

#ifdef GLASS_REFLECTION_PASS
    outColor = vec4(color, weight);
#else
    uint flags = gbufferDecodeMaterialFlags(tags);
    if ((flags & MaterialFlag_Transparent) != 0u) {
        vec4 glass = texelFetch(sFresnelReflection, pixel, 0);
        color = mix(glass.rgb, color, weight);
    }
    outColor = vec4(color, weight);
#endif
}

#endif
