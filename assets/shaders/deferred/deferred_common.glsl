// Shared by the deferred renderer's full-screen passes: the frame record "BasicDeferredParamsBuffer" (224 bytes,
// filled by deferredFillBasicParams) and the reconstruction of view and world positions from the G-buffer depth.
//
// Depth convention: projections map view depth z (distance along the camera's forward axis) to
// d = (f + n) / (f - n) - 2 f n / ((f - n) z), and the clip range is 0 .. 1, so the stored depth is d itself and
// z = 2 f n / (f + n - d (f - n)).

#ifndef DEFERRED_COMMON_GLSL
#define DEFERRED_COMMON_GLSL

layout(std140, row_major) uniform BasicDeferredParamsBuffer
{
    mat4 mDeferredFixedDepth;    // rows (1,0,0,0) (0,1,0,0) (0,0,1,-1) (0,0,0,1)
    mat4 mDeferredCameraWorld;   // camera to world; identity without camera
    mat4 mDeferredFixedScreen;   // rows (2,0,0,0) (0,-2,0,0) (0,0,-0.005,0.5) (0,0,0,1)
    vec4 vDeferredNearFar;       // (near, far, 2 near far, far - near); (0, 1, 0, 1) without camera
    vec4 vDeferredCameraPosition; // (x, y, z, 1); zero without camera
};

// View depth of a stored depth value; 0 without camera.
float deferredLinearDepth(float d)
{
    float denominator = vDeferredNearFar.x + vDeferredNearFar.y - d * vDeferredNearFar.w;
    return vDeferredNearFar.z / max(denominator, 1e-20);
}

// View-space position of the pixel whose interpolated projection-plane direction is `plane`.
vec3 deferredViewPosition(vec3 plane, float d)
{
    float z = deferredLinearDepth(d);
    return vec3(plane.xy * z, z);
}

vec3 deferredWorldPosition(vec3 plane, float d)
{
    return (mDeferredCameraWorld * vec4(deferredViewPosition(plane, d), 1.0)).xyz;
}

// Where the camera is in the world (the translation of its world matrix).
vec3 deferredCameraWorldPosition()
{
    return mDeferredCameraWorld[3].xyz;
}

// World-space direction of the view ray through the pixel.
vec3 deferredWorldRay(vec3 plane)
{
    return normalize(mat3(mDeferredCameraWorld) * vec3(plane.xy, 1.0));
}

#endif // DEFERRED_COMMON_GLSL
