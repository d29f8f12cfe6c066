// The surface of the material fragment stages: the material record of "materialIndex" (or "colorDiffuse" without
// MATERIAL_PROPERTIES_BINDING), its textures, the override hooks, and what each pass writes:
//   DEFERRED_PASS               the four G-buffer targets (layout in gbuffer.glsl)
//   SHADOWMAP_PASS, GEOMETRY_PASS  nothing (depth only; the geometry pass exports in its geometry stage)
//   otherwise                   one colour target: the unlit surface colour plus emission
// MATERIAL_PROPERTIES_BINDING 1 samples the record's textures; 2 uses its constant values only.
// MATERIAL_TEXTURE_MASK, when defined, keeps only the texture lookups of its bits (1 albedo, 2 emissive, 4 normal,
// 8 metallic-roughness): the variant for records without the others, which need no code for them. Undefined: all four.
// Include after commons.glsl, the fragment input block `vtx_input` and material_overrides.glsl.

#ifndef MATERIALS_MATERIAL_FRAGMENT_GLSL
#define MATERIALS_MATERIAL_FRAGMENT_GLSL

uniform int materialIndex = 0;
uniform vec4 colorDiffuse = vec4(1.0, 1.0, 1.0, 1.0);

#if defined(SHADOWMAP_PASS) || defined(GEOMETRY_PASS)

void materialFragment()
{
}

#else

#ifdef DEFERRED_PASS
layout(location = 0) out vec4 outAlbedo;
layout(location = 1) out uint outNormalMaterial;
layout(location = 2) out uvec4 outMetalnessRoughnessMaterialTags;
layout(location = 3) out vec4 outEmissive;
#else
layout(location = 0) out vec4 outColor;
#endif

#ifndef MATERIAL_TEXTURE_MASK
#define MATERIAL_TEXTURE_MASK 15
#endif

#ifdef MATERIAL_PROPERTIES_BINDING
#if MATERIAL_PROPERTIES_BINDING == 1 && MATERIAL_TEXTURE_MASK != 0
#define MATERIAL_FRAGMENT_TEXTURES 1
#endif
#endif

MaterialPropertiesGPU materialForFragment()
{
#ifdef MATERIAL_PROPERTIES_BINDING
    // A negative row asks for the constant colour: the editor's outlines draw this way.
    if (materialIndex < 0) {
        MaterialPropertiesGPU m = materialDefaults();
        m.diffuse = colorDiffuse.rgb;
        m.flags = 0u;
        return m;
    }
    return materialLoad(materialIndex);
#else
    MaterialPropertiesGPU m = materialDefaults();
    m.diffuse = colorDiffuse.rgb;
    m.flags = 0u;
    return m;
#endif
}

#ifdef MATERIAL_FRAGMENT_TEXTURES
// Planar by uv0, or tri-planar in world space when the material asks for it.
vec4 materialTexture(int slot, MaterialPropertiesGPU m, vec3 worldPos, vec3 normal)
{
    if ((m.flags & MaterialFlag_TriPlanar) == 0u)
        return texture(material_textures[slot], vtx_input.vUV0);
    vec3 w = abs(normal);
    w /= max(w.x + w.y + w.z, 0.0001);
    vec3 p = worldPos * m.triplanar_mapping_scale;
    return texture(material_textures[slot], p.yz) * w.x + texture(material_textures[slot], p.xz) * w.y +
           texture(material_textures[slot], p.xy) * w.z;
}

// Tangent-space normal map without stored tangents: the frame comes from the screen-space derivatives.
vec3 materialPerturbNormal(vec3 n, vec3 worldPos, vec2 uv, vec3 mapNormal)
{
    vec3 dp1 = dFdx(worldPos);
    vec3 dp2 = dFdy(worldPos);
    vec2 duv1 = dFdx(uv);
    vec2 duv2 = dFdy(uv);
    vec3 dp2perp = cross(dp2, n);
    vec3 dp1perp = cross(n, dp1);
    vec3 t = dp2perp * duv1.x + dp1perp * duv2.x;
    vec3 b = dp2perp * duv1.y + dp1perp * duv2.y;
    float scale = max(dot(t, t), dot(b, b));
    if (scale <= 0.0)
        return n;
    float inv = inversesqrt(scale);
    return commonsSafeNormalize(mat3(t * inv, b * inv, n) * mapNormal, n);
}
#endif

vec3 materialSurfaceNormal(MaterialPropertiesGPU m, vec3 worldPos, bool backFace)
{
    vec3 interpolated = commonsSafeNormalize(vtx_input.vWorldNormal, vec3(0.0, 0.0, 1.0));
    vec3 n = interpolated;
    if ((m.flags & MaterialFlag_Flat) != 0u) {
        n = commonsSafeNormalize(cross(dFdy(worldPos), dFdx(worldPos)), interpolated);
        if (dot(n, interpolated) < 0.0)
            n = -n;
    }
    if (backFace && (m.flags & MaterialFlag_Doublesided) != 0u)
        n = -n;
    return n;
}

void materialFragment()
{
    MaterialPropertiesGPU m = materialForFragment();
    vec3 worldPos = vtx_input.vWorldPos;
    vec3 localPos = vtx_input.vLocalPos;
    bool backFace = !gl_FrontFacing;

    vec3 n = materialSurfaceNormal(m, worldPos, backFace);
    vec4 albedo = vec4(m.diffuse * vtx_input.vColor.rgb, 1.0);
    float metalness = m.metalness;
    float roughness = m.roughness;
    vec3 emissive = m.emissive * m.emissive_factor;

#ifdef MATERIAL_FRAGMENT_TEXTURES
#if (MATERIAL_TEXTURE_MASK & 1) != 0
    if (materialHasTexture(m.albedo_sampler))
        albedo *= materialTexture(m.albedo_sampler, m, worldPos, n);
#endif
#if (MATERIAL_TEXTURE_MASK & 8) != 0
    if (materialHasTexture(m.metallic_roughness_sampler)) {
        vec4 mr = materialTexture(m.metallic_roughness_sampler, m, worldPos, n);
        roughness *= mr.g;
        metalness *= mr.b;
    }
#endif
#if (MATERIAL_TEXTURE_MASK & 2) != 0
    if (materialHasTexture(m.emissive_sampler))
        emissive *= materialTexture(m.emissive_sampler, m, worldPos, n).rgb;
#endif
#if (MATERIAL_TEXTURE_MASK & 4) != 0
    if (materialHasTexture(m.normal_sampler)) {
        vec3 mapNormal = materialTexture(m.normal_sampler, m, worldPos, n).xyz * 2.0 - 1.0;
        mapNormal.xy *= m.normal_factor;
        n = materialPerturbNormal(n, worldPos, vtx_input.vUV0, mapNormal);
    }
#endif
#endif

    albedo = materialOverrideAlbedo(albedo, worldPos, localPos);
    roughness = materialOverrideRoughness(roughness, worldPos, localPos);
    metalness = materialOverrideMetalness(metalness, worldPos, localPos);

#ifdef DEFERRED_PASS
    outAlbedo = vec4(albedo.rgb, 1.0);
    outNormalMaterial = gbufferEncodeNormalMaterial(n, materialIndex);
    outMetalnessRoughnessMaterialTags = gbufferEncodeMetalnessRoughnessTags(metalness, roughness, m.flags, backFace);
    outEmissive = vec4(emissive, 1.0);
#else
    outColor = vec4(albedo.rgb + emissive, 1.0 - m.transparency);
#endif
}

#endif

#endif // MATERIALS_MATERIAL_FRAGMENT_GLSL
