#version 430
// One light bounce over the voxel grid: every occupied voxel adds to its own colour the light that reaches it from
// the six axis directions, read from the coarse filtered colours a few voxels away. The debug view shows the
// result ("render_debug_bounce").

layout(local_size_x = 8, local_size_y = 8, local_size_z = 8) in;

uniform int voxelResolution = 256;
uniform float bounceStrength = 0.5;

uniform sampler3D s_voxel_colors;          // level 0, nearest
uniform sampler3D s_voxel_colors_filtered; // the built levels, trilinear
layout(rgba8) writeonly uniform image3D imTargetBounce;

const vec3 kDirections[6] = vec3[6](vec3(1, 0, 0), vec3(-1, 0, 0), vec3(0, 1, 0), vec3(0, -1, 0), vec3(0, 0, 1),
                                    vec3(0, 0, -1));
const float kGatherLevel = 2.0;
const float kGatherDistance = 4.0; // level-0 voxels, one texel of the gather level

void main()
{
    ivec3 voxel = ivec3(gl_GlobalInvocationID);
    if (any(greaterThanEqual(voxel, ivec3(voxelResolution))))
        return;
    vec4 own = texelFetch(s_voxel_colors, voxel, 0);
    if (own.a <= 0.0) {
        imageStore(imTargetBounce, voxel, vec4(0.0));
        return;
    }
    vec3 centre = (vec3(voxel) + 0.5) / float(voxelResolution);
    vec3 gathered = vec3(0.0);
    for (int i = 0; i < 6; ++i) {
        vec3 uvw = centre + kDirections[i] * (kGatherDistance / float(voxelResolution));
        gathered += textureLod(s_voxel_colors_filtered, uvw, kGatherLevel).rgb;
    }
    imageStore(imTargetBounce, voxel, vec4(min(own.rgb + gathered / 6.0 * bounceStrength, vec3(1.0)), own.a));
}
