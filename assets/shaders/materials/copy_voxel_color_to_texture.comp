#version 430
// Voxel buffers to voxel textures: one invocation takes a 4^3 block of the grid, writes its 64 voxels into
// level 0, their 2^3 averages into level 1 and the block's average into level 2, and zeroes the buffer words it
// read, so the next frame's voxelization starts from an empty grid (a moving object leaves no trail).
//
// "ColorInputData" holds packed RGBA8 words (rtPackColor) (alpha 0 for an empty voxel), "OcclusionInputData" the number of
// fragments that covered each voxel; voxel (x, y, z) is word x + n y + n^2 z for a grid of n = voxelResolution.
// Levels 1 and 2 are plain averages: an empty voxel counts as black and open.

layout(local_size_x = 4, local_size_y = 4, local_size_z = 4) in;

uniform int voxelResolution = 256;

layout(std430) buffer ColorInputData
{
    uint color_input[];
};

layout(std430) buffer OcclusionInputData
{
    uint occlusion_input[];
};

layout(rgba8) writeonly uniform image3D imTarget0Color;
layout(rgba8) writeonly uniform image3D imTarget1Color;
layout(rgba8) writeonly uniform image3D imTarget2Color;
layout(r8) writeonly uniform image3D imTarget0Occupancy;
layout(r8) writeonly uniform image3D imTarget1Occupancy;
layout(r8) writeonly uniform image3D imTarget2Occupancy;

void main()
{
    ivec3 block = ivec3(gl_GlobalInvocationID);
    int n = voxelResolution;
    if (any(greaterThanEqual(block * 4, ivec3(n))))
        return;

    vec4 colorSum2 = vec4(0.0);
    float occupancySum2 = 0.0;
    for (int oz = 0; oz < 2; ++oz)
        for (int oy = 0; oy < 2; ++oy)
            for (int ox = 0; ox < 2; ++ox) {
                ivec3 half1 = block * 2 + ivec3(ox, oy, oz);
                vec4 colorSum1 = vec4(0.0);
                float occupancySum1 = 0.0;
                for (int k = 0; k < 8; ++k) {
                    ivec3 voxel = half1 * 2 + ivec3(k & 1, (k >> 1) & 1, k >> 2);
                    int index = voxel.x + n * (voxel.y + n * voxel.z);
                    vec4 color = vec4(0.0);
                    float occupancy = 0.0;
                    if (index < color_input.length() && index < occlusion_input.length()) {
                        color = unpackUnorm4x8(color_input[index]); // as rtPackColor packs it
                        occupancy = occlusion_input[index] > 0u ? 1.0 : 0.0;
                        color_input[index] = 0u;
                        occlusion_input[index] = 0u;
                    }
                    imageStore(imTarget0Color, voxel, color);
                    imageStore(imTarget0Occupancy, voxel, vec4(occupancy));
                    colorSum1 += color;
                    occupancySum1 += occupancy;
                }
                imageStore(imTarget1Color, half1, colorSum1 / 8.0);
                imageStore(imTarget1Occupancy, half1, vec4(occupancySum1 / 8.0));
                colorSum2 += colorSum1;
                occupancySum2 += occupancySum1;
            }
    imageStore(imTarget2Color, block, colorSum2 / 64.0);
    imageStore(imTarget2Occupancy, block, vec4(occupancySum2 / 64.0));
}
