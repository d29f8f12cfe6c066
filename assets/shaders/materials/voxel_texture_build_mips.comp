#version 430
// Levels 3 and 4 of the voxel textures from level 2: one invocation takes a 4^3 block of level 2 and writes its
// 2^3 averages into level 3 and its average into level 4. "voxelResolution" is the side of level 0.

layout(local_size_x = 4, local_size_y = 4, local_size_z = 4) in;

uniform int voxelResolution = 256;

layout(rgba8) readonly uniform image3D imSourceColor;
layout(rgba8) writeonly uniform image3D imTarget0Color;
layout(rgba8) writeonly uniform image3D imTarget1Color;
layout(r8) readonly uniform image3D imSourceOccupancy;
layout(r8) writeonly uniform image3D imTarget0Occupancy;
layout(r8) writeonly uniform image3D imTarget1Occupancy;

void main()
{
    ivec3 block = ivec3(gl_GlobalInvocationID);
    int sourceSide = voxelResolution / 4;
    if (any(greaterThanEqual(block * 4, ivec3(sourceSide))))
        return;

    vec4 colorSum4 = vec4(0.0);
    float occupancySum4 = 0.0;
    for (int h = 0; h < 8; ++h) {
        ivec3 level3 = block * 2 + ivec3(h & 1, (h >> 1) & 1, h >> 2);
        vec4 colorSum3 = vec4(0.0);
        float occupancySum3 = 0.0;
        for (int k = 0; k < 8; ++k) {
            ivec3 source = level3 * 2 + ivec3(k & 1, (k >> 1) & 1, k >> 2);
            colorSum3 += imageLoad(imSourceColor, source);
            occupancySum3 += imageLoad(imSourceOccupancy, source).r;
        }
        imageStore(imTarget0Color, level3, colorSum3 / 8.0);
        imageStore(imTarget0Occupancy, level3, vec4(occupancySum3 / 8.0));
        colorSum4 += colorSum3;
        occupancySum4 += occupancySum3;
    }
    imageStore(imTarget1Color, block, colorSum4 / 64.0);
    imageStore(imTarget1Occupancy, block, vec4(occupancySum4 / 64.0));
}
