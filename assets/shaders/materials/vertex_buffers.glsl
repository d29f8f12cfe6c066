// Vertex pulling for the material vertex shaders: a geometry's attribute buffers, the instance set and the
// per-draw transform block, all bound by name for each draw. Needs commons.glsl.
// Every declared storage block counts against the 16 blocks a stage may have, used or not, and wants a binding
// when drawing; include this only in vertex stages.
//
//   "VTXCoords", "VTXNormals", "VTXAlbedo"   three floats per vertex
//   "VTXUV0"                                  two floats per vertex (uv1 repeats uv0)
//   "vtx_builtin_buffers"                     which of them the geometry has (bit 0 coords ... bit 3 uv0)
//   the instance set                          instance_buffers.glsl
//   "TransformParamsBuffer"                   EntityTransformParams (464 bytes)

#ifndef MATERIALS_VERTEX_BUFFERS_GLSL
#define MATERIALS_VERTEX_BUFFERS_GLSL

#include <shaders/materials/instance_buffers.glsl>

layout(std430) readonly buffer VTXCoords
{
    float vtx_coords[];
};

layout(std430) readonly buffer VTXNormals
{
    float vtx_normals[];
};

layout(std430) readonly buffer VTXAlbedo
{
    float vtx_albedo[];
};

layout(std430) readonly buffer VTXUV0
{
    float vtx_uv0[];
};

uniform int vtx_builtin_buffers = 0;

const int VTX_BUILTIN_COORDS = 1;
const int VTX_BUILTIN_NORMALS = 2;
const int VTX_BUILTIN_ALBEDO = 4;
const int VTX_BUILTIN_UV0 = 8;

layout(std140, row_major) uniform TransformParamsBuffer
{
    EntityTransformParams transform_params;
};

bool vtxHas(int bit)
{
    return (vtx_builtin_buffers & bit) != 0;
}

vec3 vtxLoadVec3(int bit, int vertexId)
{
    int i = vertexId * 3;
    if (bit == VTX_BUILTIN_NORMALS)
        return vec3(vtx_normals[i], vtx_normals[i + 1], vtx_normals[i + 2]);
    if (bit == VTX_BUILTIN_ALBEDO)
        return vec3(vtx_albedo[i], vtx_albedo[i + 1], vtx_albedo[i + 2]);
    return vec3(vtx_coords[i], vtx_coords[i + 1], vtx_coords[i + 2]);
}

// The vertex as the geometry holds it; streams the geometry lacks get neutral values.
VertexRecord vtxLoad(int vertexId)
{
    VertexRecord v;
    v.pos = vtxHas(VTX_BUILTIN_COORDS) ? vtxLoadVec3(VTX_BUILTIN_COORDS, vertexId) : vec3(0.0);
    v.norm = vtxHas(VTX_BUILTIN_NORMALS) ? vtxLoadVec3(VTX_BUILTIN_NORMALS, vertexId) : vec3(0.0, 0.0, 1.0);
    v.color = vtxHas(VTX_BUILTIN_ALBEDO) ? vec4(vtxLoadVec3(VTX_BUILTIN_ALBEDO, vertexId), 1.0) : vec4(1.0);
    v.uv0 = vtxHas(VTX_BUILTIN_UV0) ? vec2(vtx_uv0[vertexId * 2], vtx_uv0[vertexId * 2 + 1]) : vec2(0.0);
    v.uv1 = v.uv0;
    return v;
}

vec3 transformPoint(mat4 m, vec3 p)
{
    return (m * vec4(p, 1.0)).xyz;
}

vec3 transformNormal(mat4 normalMatrix, vec3 n)
{
    return mat3(normalMatrix) * n;
}

// Object space to world space: the instance transform, then the model matrix; colour times the instance colour.
VertexRecord vtxObjectToWorld(VertexRecord v, int instance)
{
    v.pos = transformPoint(transform_params.mModel, instanceTransformPoint(instance, v.pos));
    v.norm = commonsSafeNormalize(transformNormal(transform_params.mModelInvTranspose,
                                                  instanceTransformNormal(instance, v.norm)),
                                  vec3(0.0, 0.0, 1.0));
    v.color *= instanceColor(instance);
    return v;
}

vec4 vtxWorldToClip(vec3 worldPos)
{
    return transform_params.mProjection * (transform_params.mView * vec4(worldPos, 1.0));
}

#endif // MATERIALS_VERTEX_BUFFERS_GLSL
