#version 430
// Scatters instances over exported faces: instance i lands on a face picked from the seed and its index, at a
// uniformly random point of that face, lifted by "surface distance" along the face normal, y axis along the
// normal, unit scale, white. One invocation per instance; the dispatch rounds up to whole groups.

layout(local_size_x = 32) in;

#define RT_BUFFERS_VERTICES 1
#include <shaders/materials/raytrace_buffers.glsl>
#include <shaders/materials/raytrace_commons.glsl>
#define INSTANCE_BUFFERS_WRITABLE 1
#include <shaders/materials/instance_buffers.glsl>
#include <shaders/instancing/placement_common.glsl>

layout(std430) readonly buffer InstancingGeneratorParamsBuffer
{
    int seed;
    int replicas;
    int firstFace;
    int faceCount;
    float surfaceDistance;
};

void main()
{
    int id = int(gl_GlobalInvocationID.x);
    if (id >= instance_params.x || id >= replicas || faceCount <= 0)
        return;

    vec2 pick = placementRandom(seed, id, 0);
    vec2 b = placementRandom(seed, id, 1);
    int face = firstFace + min(int(pick.x * float(faceCount)), faceCount - 1);
    vec3 p0, p1, p2;
    rtFetchFace(face, p0, p1, p2);

    // Uniform over the triangle.
    float r = sqrt(b.x);
    vec3 at = p0 * (1.0 - r) + p1 * (r * (1.0 - b.y)) + p2 * (r * b.y);
    vec3 normal = placementNormal(cross(p1 - p0, p2 - p0), vec3(0.0, 1.0, 0.0));
    instanceStore(id, placementFrame(at + normal * surfaceDistance, normal, 1.0), vec4(1.0));
}
