#version 430
// Tonemap: exposure, lift / gamma / gain grading, contrast and saturation, then one of five curves, blended
// with the graded image by "tonemap_blend". Curves by "tonemap_type": 0 simple (1 - e^-x), 1 ACES fit,
// 2 Uncharted filmic, 3 Reinhard, 4 Hejl-Dawson (gamma included).

uniform sampler2D s_texture0;
uniform vec4 color_lift;
uniform vec4 color_inv_gamma;
uniform vec4 color_gain;
uniform vec4 color_contrast;
uniform float color_saturation;
uniform float exposure;
uniform float tonemap_blend;
uniform int tonemap_type;

in vec2 texcoord;
out vec4 outColor;

vec3 uncharted(vec3 x)
{
    const float A = 0.15, B = 0.50, C = 0.10, D = 0.20, E = 0.02, F = 0.30;
    return ((x * (A * x + C * B) + D * E) / (x * (A * x + B) + D * F)) - E / F;
}

vec3 curve(vec3 c)
{
    if (tonemap_type == 1)
        return clamp((c * (2.51 * c + 0.03)) / (c * (2.43 * c + 0.59) + 0.14), 0.0, 1.0);
    if (tonemap_type == 2)
        return uncharted(2.0 * c) / uncharted(vec3(11.2));
    if (tonemap_type == 3)
        return c / (1.0 + c);
    if (tonemap_type == 4) {
        vec3 x = max(vec3(0.0), c - 0.004);
        return (x * (6.2 * x + 0.5)) / (x * (6.2 * x + 1.7) + 0.06);
    }
    return 1.0 - exp(-c);
}

void main()
{
    vec4 source = texture(s_texture0, texcoord);
    vec3 c = max(source.rgb * exposure, vec3(0.0));
    c = color_gain.rgb * c + color_lift.rgb * (1.0 - c);
    c = pow(max(c, vec3(0.0)), color_inv_gamma.rgb);
    vec3 contrast = color_contrast.rgb - (color_contrast.r + color_contrast.g + color_contrast.b) / 3.0 +
                    color_contrast.w;
    c = max((c - 0.18) * contrast + 0.18, vec3(0.0));
    float luma = dot(c, vec3(0.2126, 0.7152, 0.0722));
    c = max(mix(vec3(luma), c, color_saturation), vec3(0.0));
    outColor = vec4(mix(c, curve(c), tonemap_blend), source.a);
}
