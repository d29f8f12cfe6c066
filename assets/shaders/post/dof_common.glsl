// Shared by the depth-of-field programs: the lens parameters, the circle of confusion (COC) and the pixel lookups.
// A COC is a blur radius in pixels. Only what lies beyond the focus distance blurs, growing like a thin lens's
// blur (1 - focus / z) and reaching max_radius at far_plane, so in-focus and nearer surfaces stay sharp.

uniform vec4 vNearFarPlane;  // (n, f, 2 n f, f - n) of the camera
uniform vec2 vResolution;    // size of the source image
uniform vec2 vResolutionInv;
uniform float max_radius;    // largest COC, pixels
uniform float far_factor;    // focus distance (the parameter times far_plane)
uniform float far_plane;     // distance at which the COC reaches max_radius

// View distance of a depth-buffer value; the projection keeps z as d = (f + n) / (f - n) - 2 f n / ((f - n) z).
float dofViewDistance(float d)
{
    return vNearFarPlane.z / max(vNearFarPlane.x + vNearFarPlane.y - d * vNearFarPlane.w, 1e-6);
}

float dofCocOfDistance(float z)
{
    float focus = far_factor;
    if (max_radius <= 0.0 || z <= focus)
        return 0.0;
    float range = 1.0 - focus / max(far_plane, 1e-4);
    if (range <= 1e-4)
        return max_radius; // the blur is full right behind the focus
    return clamp(max_radius * (1.0 - focus / z) / range, 0.0, max_radius);
}

ivec2 dofClampPixel(ivec2 q)
{
    return clamp(q, ivec2(0), ivec2(vResolution) - 1);
}

bool dofOutside(ivec2 p)
{
    return any(greaterThanEqual(p, ivec2(vResolution)));
}
