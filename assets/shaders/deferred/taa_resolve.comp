#version 430
// Temporal resolve: blends this frame's composite into the previous result, found where the pixel's surface was
// on the previous frame's screen. The history is first clamped to this frame's 3 x 3 neighbourhood (mean +- gamma
// standard deviations, widened to contain the pixel itself), so stale colours cannot linger; on a still scene the
// result therefore converges to the current composite. History that is off screen or not finite is replaced.

layout(local_size_x = 8, local_size_y = 8) in;

#include <shaders/deferred/compute_params.glsl>
#include <shaders/deferred/composite_params.glsl>

uniform sampler2D sTargetCurrent;  // this frame's composite
uniform sampler2D sTargetPrevious; // the previous result
uniform sampler2D sTextureDepth;
writeonly uniform image2D imTarget;

bool finite3(vec3 v)
{
    return !any(isnan(v)) && !any(isinf(v));
}

void main()
{
    ivec2 pixel = ivec2(gl_GlobalInvocationID.xy);
    if (any(greaterThanEqual(pixel, ivec2(deferred.vTargetSize.xy))))
        return;
    vec2 uv = deferredPixelUV(pixel);
    ivec2 currentSize = textureSize(sTargetCurrent, 0);
    ivec2 centre = deferredTexelAt(uv, currentSize);

    vec3 current = texelFetch(sTargetCurrent, centre, 0).rgb;
    vec3 m1 = vec3(0.0);
    vec3 m2 = vec3(0.0);
    for (int y = -1; y <= 1; ++y)
        for (int x = -1; x <= 1; ++x) {
            vec3 c = texelFetch(sTargetCurrent, clamp(centre + ivec2(x, y), ivec2(0), currentSize - 1), 0).rgb;
            m1 += c;
            m2 += c * c;
        }
    vec3 mean = m1 / 9.0;
    vec3 sigma = sqrt(max(m2 / 9.0 - mean * mean, vec3(0.0)));
    float gamma = max(composite.neighborhoodClampGamma, 0.0);
    vec3 boxMin = min(mean - gamma * sigma, current);
    vec3 boxMax = max(mean + gamma * sigma, current);

    float depth = texelFetch(sTextureDepth, deferredTexelAt(uv, textureSize(sTextureDepth, 0)), 0).r;
    vec3 world = deferredWorldPosition(uv, depth);
    vec2 previousUV;
    float previousDepth;
    vec3 history = current;
    if (deferredPreviousUV(world, previousUV, previousDepth)) {
        vec3 previous = textureLod(sTargetPrevious, previousUV, 0.0).rgb;
        if (finite3(previous))
            history = clamp(previous, boxMin, boxMax);
    }

    // A zero factor would freeze the image; the floor keeps it converging.
    float blend = clamp(composite.newFrameBlendFactor, 1.0 / 64.0, 1.0);
    vec3 result = mix(history, current, blend);
    imageStore(imTarget, pixel, deferredFinite(vec4(max(result, vec3(0.0)), 1.0)));
}
