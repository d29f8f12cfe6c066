// The rows of the component type table: the components fill it, the graph (below them) creates through it.
#include "project/component_table.h"

#include "components/camera_component.h"
#include "components/light_component.h"
#include "components/output_buffer.h"
#include "components/post_effects.h"
#include "components/primitive_renderer.h"
#include "components/scene_player.h"
#include "components/transform_components.h"
#include "components/value_generators.h"

// A row's factory points at its class's Create once the class exists.
ComponentTypeInfo componentTypeTable[kComponentTypeCount] = {
    /*  0 */ {"Sceneplayer", ComponentCategory::Scene, "Sceneplayer", sceneplayerfx::Create},
    /*  1 */ {"Meshrenderer", ComponentCategory::Geometry, "Renderer: Mesh", nullptr},
    /*  2 */ {"Object", ComponentCategory::Geometry, "Object", nullptr},
    /*  3 */ {"DestroyModifier", ComponentCategory::Scene, "Mesh Modifier: Destroy", nullptr},
    /*  4 */ {"Raytracer", ComponentCategory::Scene, "Raytracer", nullptr},
    /*  5 */ {"Voxelizer", ComponentCategory::Scene, "Voxelizer", nullptr},
    /*  6 */ {"Light", ComponentCategory::Scene, "Light", lightcomponent::Create},
    /*  7 */ {"ShadowmapCapture", ComponentCategory::Scene, "Shadowmap Capture", nullptr},
    /*  8 */ {"Camera", ComponentCategory::Scene, "Camera", camerafx::Create},
    /*  9 */ {"Null", ComponentCategory::Scene, "Null", nullcomponent::Create},
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
    /* 22 */ {"ValueWave", ComponentCategory::Value, "Value: Wave", valuewavefx::Create},
    /* 23 */ {"ValueLinear", ComponentCategory::Value, "Value: Linear", valuelinearfx::Create},
    /* 24 */ {"ValueManual", ComponentCategory::Value, "Value: Manual", valuemanualfx::Create},
    /* 25 */ {"ValueNoise", ComponentCategory::Value, "Value: Noise", valuenoisefx::Create},
    /* 26 */ {"Replicator", ComponentCategory::Instancing, "Instancing: Replicator", nullptr},
    /* 27 */ {"InstancingGeometry", ComponentCategory::Instancing, "Instancing: Geometry", nullptr},
    /* 28 */ {"InstancingLight", ComponentCategory::Instancing, "Instancing: Light", nullptr},
    /* 29 */ {"TextObject", ComponentCategory::Geometry, "Object: Test", nullptr},
    /* 30 */ {"Primitive", ComponentCategory::Geometry, "Renderer: Primitive", primitivefx::Create},
    /* 31 */ {"Material", ComponentCategory::Scene, "Material", nullptr},
    /* 32 */ {"PostCustom", ComponentCategory::Image, "Post: Custom", postcustomfx::Create},
    /* 33 */ {"PostTonemap", ComponentCategory::Image, "Post: Tonemap", posttonemapfx::Create},
    /* 34 */ {"PostAberration", ComponentCategory::Image, "Post: Aberration", postaberrationfx::Create},
    /* 35 */ {"PostGlow", ComponentCategory::Image, "Post: Glow", postglowfx::Create},
    /* 36 */ {"OutputBuffer", ComponentCategory::Image, "Image Output Buffer", outputbufferfx::Create},
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
    /* 47 */ {"SceneGroup", ComponentCategory::Geometry, "Scene Group", scenegroupfx::Create},
    /* 48 */ {"InstanceModifierRandomizer", ComponentCategory::Instancing, "Instance Randomizer", nullptr},
    /* 49 */ {"TexProcessCustom", ComponentCategory::Image, "Texture Modifier: Custom", nullptr},
    /* 50 */ {"TexProcessMerge", ComponentCategory::Image, "Texture Modifier: Merge", nullptr},
    /* 51 */ {"GeometryMirrot", ComponentCategory::Geometry, "Geometry: Mirror", nullptr},
    /* 52 */ {"Invalid", ComponentCategory::Scene, "Invalid", nullptr},
};
