#version 430
// Skins a mesh: every vertex's bind-pose position and normal (VTXCoordsCopy, VTXNormalsCopy) is moved by up to
// four joints and written to VTXCoords / VTXNormals, which the draws that follow read.
//
// One invocation per vertex, 32 per work group; the dispatch covers ceil(vertex count / 32) groups, so the last
// group's invocations past the vertex count do nothing.

layout(local_size_x = 32, local_size_y = 1, local_size_z = 1) in;

// Vertex count, joint count, then the skinning matrix (world x inverse bind) of each joint, stored row after row
// the way the engine keeps its matrices.
layout(std430) readonly buffer TransformParamsBuffer
{
    uint skinVertexCount;
    uint skinJointCount;
    uint skinPadding0;
    uint skinPadding1;
    mat4 skinMatrices[1024];
};

layout(std430) buffer VTXCoords
{
    float vtx_coords[];
};

layout(std430) buffer VTXNormals
{
    float vtx_normals[];
};

layout(std430) readonly buffer VTXCoordsCopy
{
    float vtx_coords_copy[];
};

layout(std430) readonly buffer VTXNormalsCopy
{
    float vtx_normals_copy[];
};

// Eight 16-bit values per vertex: joint 0, weight 0, ... joint 3, weight 3 (weights normalised to 65535).
layout(std430) readonly buffer VTXBonesWeights
{
    uint vtx_bones_weights[];
};

void main()
{
    uint i = gl_GlobalInvocationID.x;
    if (i >= skinVertexCount || 3u * i + 2u >= uint(vtx_coords.length()) || 3u * i + 2u >= uint(vtx_normals.length())
        || 3u * i + 2u >= uint(vtx_coords_copy.length()) || 3u * i + 2u >= uint(vtx_normals_copy.length())
        || 4u * i + 3u >= uint(vtx_bones_weights.length()))
        return;

    vec4 p = vec4(vtx_coords_copy[3u * i], vtx_coords_copy[3u * i + 1u], vtx_coords_copy[3u * i + 2u], 1.0);
    vec4 n = vec4(vtx_normals_copy[3u * i], vtx_normals_copy[3u * i + 1u], vtx_normals_copy[3u * i + 2u], 0.0);

    vec3 skinnedP = vec3(0.0);
    vec3 skinnedN = vec3(0.0);
    float total = 0.0;
    uint joints = min(skinJointCount, 1024u);
    for (uint k = 0u; k < 4u; ++k) {
        uint pair = vtx_bones_weights[4u * i + k];
        uint joint = pair & 0xFFFFu;
        float weight = float(pair >> 16u) / 65535.0;
        // Joints the skin does not have would read matrices nobody wrote.
        if (joint >= joints || weight <= 0.0)
            continue;
        // The matrices arrive row by row, so GLSL sees each transposed: multiply from the left.
        mat4 m = skinMatrices[joint];
        skinnedP += weight * (p * m).xyz;
        skinnedN += weight * (n * m).xyz;
        total += weight;
    }
    if (total <= 0.0) {
        skinnedP = p.xyz;
        skinnedN = n.xyz;
    } else {
        skinnedP /= total;
    }
    float len = length(skinnedN);
    if (len > 0.0)
        skinnedN /= len;

    vtx_coords[3u * i] = skinnedP.x;
    vtx_coords[3u * i + 1u] = skinnedP.y;
    vtx_coords[3u * i + 2u] = skinnedP.z;
    vtx_normals[3u * i] = skinnedN.x;
    vtx_normals[3u * i + 1u] = skinnedN.y;
    vtx_normals[3u * i + 2u] = skinnedN.z;
}
