#version 430
// Geometry stage of every material's geometry-pass variant: exports the drawn triangles, in world space, into the
// raytracer's scene buffers instead of rasterising them. Each triangle goes to slot
//     faces base + instance x "faces_per_instance" + primitive
// of the tracing copy ("OutVertexBufferRaytrace") and/or the voxelization copy ("OutVertexBufferVoxelize"), in the
// exported-vertex layout of raytrace_buffers.glsl; the first triangle of the draw also writes the export's record
// into "TransformedDataLocationBuffer".

layout(triangles) in;
layout(triangle_strip, max_vertices = 3) out;

#define RT_BUFFERS_EXPORT 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/instance_buffers.glsl>
#include <shaders/materials/vertex_data.glsl>
#include <shaders/materials/raytrace_buffers.glsl>

in VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_in[];

// Declared so the stage links with every material fragment stage; nothing is emitted.
out VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_output;

uniform int out_raytrace_faces_base = 0;
uniform int out_voxelize_faces_base = 0;
uniform int material_index = 0;
uniform int transform_normals = 1;
uniform int export_raytrace = 0;
uniform int export_voxelize = 0;
uniform int faces_per_instance = 0;

// x export index, y voxelize flag, z raytrace flag (without the reflect flag).
layout(std430) readonly buffer TransformGeometryParamsBuffer
{
    ivec4 transform_geometry_params;
};

void main()
{
    vec3 p0 = vtx_in[0].vWorldPos;
    vec3 p1 = vtx_in[1].vWorldPos;
    vec3 p2 = vtx_in[2].vWorldPos;
    vec3 faceNormal = commonsSafeNormalize(cross(p1 - p0, p2 - p0), vec3(0.0, 0.0, 1.0));
    int instance = vtx_in[0].vInstance;
    int face = instance * faces_per_instance + gl_PrimitiveIDIn;

    for (int k = 0; k < 3; ++k) {
        RTExportedVertex v;
        v.position = vtx_in[k].vWorldPos;
        v.normal = transform_normals != 0 ? commonsSafeNormalize(vtx_in[k].vWorldNormal, faceNormal) : faceNormal;
        v.uv0 = vtx_in[k].vUV0;
        v.material = material_index;
        if (export_raytrace != 0)
            rtExportVertexRaytrace((out_raytrace_faces_base + face) * 3 + k, v);
        if (export_voxelize != 0)
            rtExportVertexVoxelize((out_voxelize_faces_base + face) * 3 + k, v);
    }

    if (instance == 0 && gl_PrimitiveIDIn == 0) {
        int exportIndex = transform_geometry_params.x;
        int instances = instanceSetBound() ? max(instance_params.x, 0) : 1;
        int exported = instances * faces_per_instance;
        ivec4 record = ivec4(out_raytrace_faces_base, out_raytrace_faces_base + (export_raytrace != 0 ? exported : 0),
                             out_voxelize_faces_base, out_voxelize_faces_base + (export_voxelize != 0 ? exported : 0));
        if (exportIndex >= 0 && exportIndex < transformed_data_location.length())
            transformed_data_location[exportIndex] = record;
    }
}
