#version 430
// Fragment stage of the "cubemap" material: the cube map seen along the view ray, written as emission (the
// surface reflects nothing), so the lighting pass passes it through unchanged.

#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_buffers.glsl>
#include <shaders/materials/vertex_data.glsl>

#if defined(SHADOWMAP_PASS) || defined(GEOMETRY_PASS)

void main()
{
}

#else

in VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_input;

uniform samplerCube s_cubemap;
uniform float cubemap_intensity = 1.0;
uniform int materialIndex = 0;

#ifdef DEFERRED_PASS
layout(location = 0) out vec4 outAlbedo;
layout(location = 1) out uint outNormalMaterial;
layout(location = 2) out uvec4 outMetalnessRoughnessMaterialTags;
layout(location = 3) out vec4 outEmissive;
#else
layout(location = 0) out vec4 outColor;
#endif

void main()
{
    vec3 ray = commonsSafeNormalize(vtx_input.vWorldPos - transform_params.vCameraPosition, vec3(0.0, 0.0, 1.0));
    vec3 color = texture(s_cubemap, ray).rgb * cubemap_intensity * vtx_input.vColor.rgb;
#ifdef DEFERRED_PASS
    outAlbedo = vec4(0.0, 0.0, 0.0, 1.0);
    outNormalMaterial = gbufferEncodeNormalMaterial(-ray, materialIndex);
    outMetalnessRoughnessMaterialTags = gbufferEncodeMetalnessRoughnessTags(0.0, 1.0, 0u, !gl_FrontFacing);
    outEmissive = vec4(color, 1.0);
#else
    outColor = vec4(color, 1.0);
#endif
}

#endif
