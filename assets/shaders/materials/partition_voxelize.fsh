#version 430
// Voxelization by rasterisation: every voxel of this fragment's column that the face passes through takes the
// face's lit material colour ("VoxelLightBuffer", the brightest writer wins) and counts one more covering
// fragment ("VoxelOcclusionBuffer").

#define RT_BUFFERS_VOXELS 1
#include <shaders/materials/commons.glsl>
#include <shaders/materials/vertex_data.glsl>
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/materials/raytrace_commons.glsl>

#ifdef GEOMETRY_PASS

void main()
{
}

#else

in VertexData
{
    VERTEX_DATA_MEMBERS
} vtx_input;

flat in int partitionFace;
flat in int partitionAxis;
flat in int partitionMaterial;
flat in vec3 partitionNormal;
flat in vec3 partitionGrid0;
flat in vec3 partitionGrid1;
flat in vec3 partitionGrid2;

uniform float gridSize = 0.25;

const int kMaxCellsPerFragment = 16;

vec4 voxelColor(vec3 worldPos)
{
    MaterialPropertiesGPU m = materialDefaults();
#ifdef MATERIAL_PROPERTIES_BINDING
    m = materialLoad(partitionMaterial);
#endif
    vec3 light = vec3(0.0);
#ifdef LIGHT_PROPERTIES_BINDING
    for (int i = 0; i < lightCount(); ++i) {
        LightProperties l = lights.light_properties[i];
        // Both sides: a voxel has no facing.
        light += max(lightDiffuse(l, worldPos, partitionNormal), lightDiffuse(l, worldPos, -partitionNormal));
    }
#endif
    return vec4(m.diffuse * light + m.emissive * m.emissive_factor, 1.0);
}

void main()
{
    vec4 color = voxelColor(vtx_input.vWorldPos);
    uint packedColor = rtPackColor(color);
    ivec2 range = rtColumnRange(gl_FragCoord.xy, partitionGrid0, partitionGrid1, partitionGrid2, partitionAxis,
                                gridSize);
    for (int d = range.x; d <= range.y && d < range.x + kMaxCellsPerFragment; ++d) {
        ivec3 cell = rtColumnCell(gl_FragCoord.xy, d, partitionAxis);
        int index = rtCellIndex(cell);
        if (index >= voxel_light.length() || index >= voxel_occlusion.length())
            continue;
        atomicMax(voxel_light[index], packedColor);
        atomicAdd(voxel_occlusion[index], 1u);
    }
}

#endif
