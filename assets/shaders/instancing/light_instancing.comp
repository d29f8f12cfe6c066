#version 430
// Places instances where a shadow-map capture's light sees a surface. Instance i tries a few points of the
// shadow map drawn from the seed and its index and takes the first one that the mask covers (and, with "only on
// mask edge", that lies on the mask's border) and whose depth lies within the near and far plane scales of the
// light's depth range. That shadow-map texel is taken back to the light's space (spot: through the inverse
// projection; directional: x and y through the shadow-to-light matrix, depth through the inverse projection)
// and into the world by the capture matrix. The instance stands on the surface, y axis along the normal the
// neighbouring texels give, lifted by "surface distance"; its scale is 1, or the mask value with "modulate size
// by mask". An instance that finds no point is parked at the capture with zero scale and transparent.
// One invocation per instance; the dispatch rounds up to whole groups.

layout(local_size_x = 32) in;

#define INSTANCE_BUFFERS_WRITABLE 1
#include <shaders/materials/instance_buffers.glsl>
#include <shaders/instancing/placement_common.glsl>

layout(std430, row_major) readonly buffer InstancingGeneratorParamsBuffer
{
    mat4 lightProjection;
    mat4 shadowToLight;      // directional captures only
    mat4 captureMatrix;      // spot: includes the view volume's extent at the far plane
    vec3 captureTranslation;
    int seed;
    int replicas;
    float surfaceDistance;
    int modulateSizeByMask;
    int onlyOnMaskEdge;
    float nearPlaneScale;
    float farPlaneScale;
    ivec2 reserved;
};

uniform sampler2D sDepth;
uniform sampler2D sMask;

const int kAttempts = 16;
const float kCoveredDepth = 0.99999;

bool isPerspective() { return lightProjection[2][3] != 0.0; }

// The light-space point of a shadow-map position (0..1) and its depth.
vec3 lightPoint(vec2 uv, float depth)
{
    vec4 v = inverse(lightProjection) * vec4(uv * 2.0 - 1.0, depth, 1.0);
    vec3 p = v.xyz / v.w;
    if (!isPerspective())
        p.xy = (shadowToLight * vec4(uv, depth, 1.0)).xy;
    return p;
}

float depthAt(ivec2 texel)
{
    ivec2 size = textureSize(sDepth, 0);
    return texelFetch(sDepth, clamp(texel, ivec2(0), size - 1), 0).r;
}

vec3 pointAt(ivec2 texel)
{
    vec2 uv = (vec2(texel) + 0.5) / vec2(textureSize(sDepth, 0));
    return lightPoint(uv, depthAt(texel));
}

// The neighbour along `step` or against it, whichever lies in the map with the depth closer to `depth`, as an
// offset along +step (the point is mirrored when the one against the step is taken), so a silhouette does not
// tilt the normal.
vec3 nearerNeighbour(ivec2 texel, ivec2 step, float depth)
{
    ivec2 size = textureSize(sDepth, 0);
    ivec2 ahead = texel + step;
    ivec2 behind = texel - step;
    bool aheadIn = all(lessThan(ahead, size));
    bool behindIn = all(greaterThanEqual(behind, ivec2(0)));
    vec3 p = pointAt(texel);
    if (!behindIn || (aheadIn && abs(depthAt(ahead) - depth) <= abs(depthAt(behind) - depth)))
        return pointAt(ahead);
    return 2.0 * p - pointAt(behind);
}

bool onMaskEdge(vec2 uv)
{
    vec2 step = 1.0 / vec2(textureSize(sMask, 0));
    bool centre = texture(sMask, uv).r > 0.5;
    return (texture(sMask, uv + vec2(step.x, 0.0)).r > 0.5) != centre ||
           (texture(sMask, uv - vec2(step.x, 0.0)).r > 0.5) != centre ||
           (texture(sMask, uv + vec2(0.0, step.y)).r > 0.5) != centre ||
           (texture(sMask, uv - vec2(0.0, step.y)).r > 0.5) != centre;
}

// Light-space to world: undoes the spot extent folded into the capture matrix.
vec3 lightToWorldScale()
{
    if (!isPerspective())
        return vec3(1.0);
    float farDistance = lightProjection[3][2] / (1.0 - lightProjection[2][2]);
    float side = 2.0 * farDistance / lightProjection[1][1];
    return 1.0 / vec3(side, side, farDistance);
}

void main()
{
    int id = int(gl_GlobalInvocationID.x);
    if (id >= instance_params.x || id >= replicas)
        return;

    ivec2 size = textureSize(sDepth, 0);
    float zNear = lightPoint(vec2(0.5), 0.0).z;
    float zFar = lightPoint(vec2(0.5), 1.0).z;
    vec3 toWorld = lightToWorldScale();

    for (int k = 0; k < kAttempts; ++k) {
        vec2 uv = placementRandom(seed, id, k);
        ivec2 texel = min(ivec2(uv * vec2(size)), size - 1);
        uv = (vec2(texel) + 0.5) / vec2(size);
        float coverage = texture(sMask, uv).r;
        float depth = depthAt(texel);
        if (coverage <= 0.5 || depth >= kCoveredDepth)
            continue;
        if (onlyOnMaskEdge != 0 && !onMaskEdge(uv))
            continue;
        vec3 p = pointAt(texel);
        float range = (p.z - zNear) / max(zFar - zNear, 1e-6);
        if (range < nearPlaneScale || range > farPlaneScale)
            continue;

        // Normal from the neighbours on the same surface (the side whose depth is closer), towards the light.
        vec3 ex = nearerNeighbour(texel, ivec2(1, 0), depth) - p;
        vec3 ey = nearerNeighbour(texel, ivec2(0, 1), depth) - p;
        vec3 n = cross(ex, ey);
        vec3 towardsLight = isPerspective() ? -p : vec3(0.0, 0.0, -1.0);
        n = placementNormal(n, placementNormal(towardsLight, vec3(0.0, 0.0, -1.0)));
        if (dot(n, towardsLight) < 0.0)
            n = -n;

        vec3 world = (captureMatrix * vec4(p * toWorld, 1.0)).xyz;
        vec3 worldNormal = placementNormal(mat3(captureMatrix) * (n * toWorld), vec3(0.0, 1.0, 0.0));
        float scale = modulateSizeByMask != 0 ? coverage : 1.0;
        instanceStore(id, placementFrame(world + worldNormal * surfaceDistance, worldNormal, scale), vec4(1.0));
        return;
    }
    instanceStore(id, placementFrame(captureTranslation, vec3(0.0, 1.0, 0.0), 0.0), vec4(0.0));
}
