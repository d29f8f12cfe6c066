// What every deferred compute dispatch receives: the block "DeferredParams" (384 bytes, std140, matrices as the
// engine writes its rows) with the frame's camera, the previous frame's camera and the size of the image the
// dispatch writes, and the helpers that turn depth samples into view and world positions and world positions into
// the previous frame's screen coordinates.
//
// Depth: this engine's perspective keeps view distance z (the camera looks along +z in view space) as the depth
// d = (f + n) / (f - n) - 2 f n / ((f - n) z), so z = 2 f n / (f + n - d (f - n)).
// Screen coordinates ("uv") run from 0 at the bottom-left corner to 1 at the top-right one, like texture rows.

#ifndef DEFERRED_COMPUTE_PARAMS_GLSL
#define DEFERRED_COMPUTE_PARAMS_GLSL

layout(std140, row_major) uniform DeferredParams
{
    mat4 mProjection;      // this frame's camera
    mat4 mWorld;           // camera to world
    mat4 mPreviousWorld;
    mat4 mViewInverse;     // view space to world space
    mat4 mPreviousView;    // world space to the previous frame's view space
    vec3 vCameraPosition;
    float reserved;
    vec4 vExtent;          // (v, u, v / 2, u / 2): u = 2 tan(fov / 2) is the view height at distance 1, v = u w / h
    vec4 vNearFar;         // (n, f, 2 n f, f - n)
    vec4 vTargetSize;      // (w, h, 1 / w, 1 / h) of the image the dispatch writes
} deferred;

// View distance of a depth sample; finite for every sample, also when near and far are unset.
float deferredLinearDepth(float depth)
{
    return deferred.vNearFar.z / max(deferred.vNearFar.x + deferred.vNearFar.y - depth * deferred.vNearFar.w, 1e-6);
}

// Centre of the written pixel in screen coordinates.
vec2 deferredPixelUV(ivec2 pixel)
{
    return (vec2(pixel) + 0.5) * deferred.vTargetSize.zw;
}

// The texel of a texture of another size under a screen coordinate.
ivec2 deferredTexelAt(vec2 uv, ivec2 size)
{
    return clamp(ivec2(uv * vec2(size)), ivec2(0), size - 1);
}

vec3 deferredViewPosition(vec2 uv, float linearDepth)
{
    return vec3((uv - 0.5) * deferred.vExtent.xy * linearDepth, linearDepth);
}

vec3 deferredWorldPosition(vec2 uv, float depth)
{
    vec3 view = deferredViewPosition(uv, deferredLinearDepth(depth));
    return (deferred.mViewInverse * vec4(view, 1.0)).xyz;
}

// Where a world point was on the previous frame's screen (that frame's camera with this frame's field of view),
// and its view distance there. False when it was behind that camera or off screen.
bool deferredPreviousUV(vec3 world, out vec2 uv, out float previousLinearDepth)
{
    vec3 view = (deferred.mPreviousView * vec4(world, 1.0)).xyz;
    previousLinearDepth = view.z;
    uv = vec2(-1.0);
    if (view.z <= 1e-4)
        return false;
    uv = view.xy / (view.z * max(deferred.vExtent.xy, vec2(1e-6))) + 0.5;
    return all(greaterThanEqual(uv, vec2(0.0))) && all(lessThanEqual(uv, vec2(1.0)));
}

// Replaces NaN and infinite components, so one bad input texel cannot spread through the history targets.
vec4 deferredFinite(vec4 v)
{
    for (int i = 0; i < 4; ++i)
        v[i] = (isnan(v[i]) || isinf(v[i])) ? 0.0 : clamp(v[i], -65504.0, 65504.0);
    return v;
}

// A cheap per-pixel jitter in 0 .. 1 (interleaved gradient noise), varied per frame by `frame`.
float deferredPixelNoise(ivec2 pixel, float frame)
{
    vec2 p = vec2(pixel) + frame * 5.588238;
    return fract(52.9829189 * fract(dot(p, vec2(0.06711056, 0.00583715))));
}

#endif // DEFERRED_COMPUTE_PARAMS_GLSL
