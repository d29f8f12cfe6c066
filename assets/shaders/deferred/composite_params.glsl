// "CompositeParamsBuffer" (96 bytes, std140): the scene player's composite settings, shared by the composite and
// the temporal resolve.

#ifndef DEFERRED_COMPOSITE_PARAMS_GLSL
#define DEFERRED_COMPOSITE_PARAMS_GLSL

layout(std140) uniform CompositeParamsBuffer
{
    vec4 ambient;                 // rgb colour, a intensity
    vec4 fill;                    // rgb colour from above, a intensity
    vec4 fogColor;                // rgb colour, a the largest share fog may take
    float fogRange;               // distance over which the fog thickens by e
    float fogHeight;              // height over which the fog thins out
    float fogHeightDensity;       // how quickly it thins with height
    float one;
    float ssrStrength;
    float vxOcclusionStrength;
    float vxIlluminationStrength;
    float volumetricFogStrength;
    float volumetricFogIntensity;
    float newFrameBlendFactor;    // share of the new frame in the temporal resolve
    float neighborhoodClampGamma; // history clamp: the neighbourhood mean +- gamma standard deviations
    int view;                     // the editor's "Main" view, 0 the composite
} composite;

const int kViewComposite = 0;
const int kViewAlbedo = 1;
const int kViewNormals = 2;
const int kViewRoughness = 3;
const int kViewLighting = 4;
const int kViewVXLighting = 5;
const int kViewLightingVXLighting = 6;
const int kViewVXOcclusion = 7;
const int kViewMaterial = 8;
const int kViewRTMask = 9;
const int kViewRaytrace = 10;
const int kViewVolumetricFog = 11;
const int kViewParticles = 12;

#endif // DEFERRED_COMPOSITE_PARAMS_GLSL
