#include "project/component_table.h"

// Factories stay null here: the components install theirs at start-up (componentTypesInstallFactories), so the
// graph creates what lives above it without naming it.
ComponentTypeInfo componentTypeTable[kComponentTypeCount] = {
    /*  0 */ {"Sceneplayer", ComponentCategory::Scene, "Sceneplayer", nullptr},
    /*  1 */ {"Meshrenderer", ComponentCategory::Geometry, "Renderer: Mesh", nullptr},
    /*  2 */ {"Object", ComponentCategory::Geometry, "Object", nullptr},
    /*  3 */ {"DestroyModifier", ComponentCategory::Scene, "Mesh Modifier: Destroy", nullptr},
    /*  4 */ {"Raytracer", ComponentCategory::Scene, "Raytracer", nullptr},
    /*  5 */ {"Voxelizer", ComponentCategory::Scene, "Voxelizer", nullptr},
    /*  6 */ {"Light", ComponentCategory::Scene, "Light", nullptr},
    /*  7 */ {"ShadowmapCapture", ComponentCategory::Scene, "Shadowmap Capture", nullptr},
    /*  8 */ {"Camera", ComponentCategory::Scene, "Camera", nullptr},
    /*  9 */ {"Null", ComponentCategory::Scene, "Null", nullptr},
    /* 10 */ {"GlobalParticles", ComponentCategory::Particles, "Global Particles", nullptr},
    /* 11 */ {"ParticleContainer", ComponentCategory::Particles, "Particle Container", nullptr},
    /* 12 */ {"ParticleEmitterPrimitive", ComponentCategory::Particles, "Particle Emitter: Primitive", nullptr},
    /* 13 */ {"ParticleEmitterGeometry", ComponentCategory::Particles, "Particle Emitter: Geometry", nullptr},
    /* 14 */ {"ParticleEmitterInstances", ComponentCategory::Particles, "Particle Emitter: Instances", nullptr},
    /* 15 */ {"ParticleRendererInstanced", ComponentCategory::Particles, "Particle Renderer: Instanced", nullptr},
    /* 16 */ {"ParticleRendererBlended", ComponentCategory::Particles, "Particle Renderer: Blended", nullptr},
    /* 17 */ {"ParticleRendererRibbon", ComponentCategory::Particles, "Particle Renderer: Ribbon", nullptr},
    /* 18 */ {"ParticleRendererTrails", ComponentCategory::Particles, "Particle Renderer: Trails", nullptr},
    /* 19 */ {"ParticleModifierVelocity", ComponentCategory::Particles, "Particle Modifier: Velocity", nullptr},
    /* 20 */ {"ParticleModifierCurl", ComponentCategory::Particles, "Particle Modifier: Curl", nullptr},
    /* 21 */ {"ParticleModifierPrimitiveConstraint", ComponentCategory::Particles,
              "Particle Modifier: Primitive Constraint", nullptr},
    /* 22 */ {"ValueWave", ComponentCategory::Value, "Value: Wave", nullptr},
    /* 23 */ {"ValueLinear", ComponentCategory::Value, "Value: Linear", nullptr},
    /* 24 */ {"ValueManual", ComponentCategory::Value, "Value: Manual", nullptr},
    /* 25 */ {"ValueNoise", ComponentCategory::Value, "Value: Noise", nullptr},
    /* 26 */ {"Replicator", ComponentCategory::Instancing, "Instancing: Replicator", nullptr},
    /* 27 */ {"InstancingGeometry", ComponentCategory::Instancing, "Instancing: Geometry", nullptr},
    /* 28 */ {"InstancingLight", ComponentCategory::Instancing, "Instancing: Light", nullptr},
    /* 29 */ {"TextObject", ComponentCategory::Geometry, "Object: Test", nullptr},
    /* 30 */ {"Primitive", ComponentCategory::Geometry, "Renderer: Primitive", nullptr},
    /* 31 */ {"Material", ComponentCategory::Scene, "Material", nullptr},
    /* 32 */ {"PostCustom", ComponentCategory::Image, "Post: Custom", nullptr},
    /* 33 */ {"PostTonemap", ComponentCategory::Image, "Post: Tonemap", nullptr},
    /* 34 */ {"PostAberration", ComponentCategory::Image, "Post: Aberration", nullptr},
    /* 35 */ {"PostGlow", ComponentCategory::Image, "Post: Glow", nullptr},
    /* 36 */ {"OutputBuffer", ComponentCategory::Image, "Image Output Buffer", nullptr},
    /* 37 */ {"RaymarchProcedural", ComponentCategory::Scene, "Raymarcher: Custom", nullptr},
    /* 38 */ {"VertexModifierNoise", ComponentCategory::Geometry, "Vertex Modifier: Noise", nullptr},
    /* 39 */ {"VertexModifierTwist", ComponentCategory::Geometry, "Vertex Modifier: Twist", nullptr},
    /* 40 */ {"VertexModifierCustom", ComponentCategory::Geometry, "Vertex Modifier: Custom", nullptr},
    /* 41 */ {"VertexModifierUV", ComponentCategory::Geometry, "Vertex Modifier: UV", nullptr},
    /* 42 */ {"VertexModifierDisplace", ComponentCategory::Geometry, "Vertex Modifier: Displace", nullptr},
    /* 43 */ {"VertexModifierTextureDisplace", ComponentCategory::Geometry, "Vertex Modifier: Texture Displace",
              nullptr},
    /* 44 */ {"TextureGeneratorKinect", ComponentCategory::Image, "Texture Generator: Kinect", nullptr},
    /* 45 */ {"TextureGeneratorCustom", ComponentCategory::Image, "Texture Generator: Custom", nullptr},
    /* 46 */ {"TextureGeneratorLoopback", ComponentCategory::Image, "Texture Generator: Audio Loopback", nullptr},
    /* 47 */ {"SceneGroup", ComponentCategory::Geometry, "Scene Group", nullptr},
    /* 48 */ {"InstanceModifierRandomizer", ComponentCategory::Instancing, "Instance Randomizer", nullptr},
    /* 49 */ {"TexProcessCustom", ComponentCategory::Image, "Texture Modifier: Custom", nullptr},
    /* 50 */ {"TexProcessMerge", ComponentCategory::Image, "Texture Modifier: Merge", nullptr},
    /* 51 */ {"GeometryMirrot", ComponentCategory::Geometry, "Geometry: Mirror", nullptr},
    /* 52 */ {"Invalid", ComponentCategory::Scene, "Invalid", nullptr},
};

int componentTypeFind(const std::string& typeName)
{
    for (int i = 0; i < kComponentTypeCount; ++i)
        if (typeName == componentTypeTable[i].typeName)
            return i;
    return -1;
}
