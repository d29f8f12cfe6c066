// What the two instance placement shaders share: the random stream of an instance and the frame an instance is
// placed with (its y axis along the surface normal).

#ifndef INSTANCING_PLACEMENT_COMMON_GLSL
#define INSTANCING_PLACEMENT_COMMON_GLSL

// Uniform values in 0 .. 1 for instance `id`, attempt `k` and a seed (integer hashing: no float precision loss for
// large ids).
vec2 placementRandom(int seed, int id, int k)
{
    uvec3 v = uvec3(uint(id), uint(seed), uint(k)) * uvec3(1664525u, 22695477u, 747796405u) + 1013904223u;
    v.x += v.y * v.z;
    v.y += v.z * v.x;
    v.z += v.x * v.y;
    v ^= v >> 16u;
    v.x += v.y * v.z;
    v.y += v.z * v.x;
    return vec2(v.xy >> 8u) / 16777216.0;
}

// v normalised, or the fallback for a degenerate (zero-area) direction.
vec3 placementNormal(vec3 v, vec3 fallback)
{
    float len2 = dot(v, v);
    return len2 > 1e-20 ? v * inversesqrt(len2) : fallback;
}

// Translation `at`, y axis along the normal, uniform scale.
mat4 placementFrame(vec3 at, vec3 normal, float scale)
{
    vec3 y = normal;
    vec3 helper = abs(y.y) < 0.99 ? vec3(0.0, 1.0, 0.0) : vec3(1.0, 0.0, 0.0);
    vec3 x = normalize(cross(helper, y));
    vec3 z = cross(x, y);
    return mat4(vec4(x * scale, 0.0), vec4(y * scale, 0.0), vec4(z * scale, 0.0), vec4(at, 1.0));
}

#endif // INSTANCING_PLACEMENT_COMMON_GLSL
