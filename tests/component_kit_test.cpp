#include "components/audio_loopback.h"
#include "components/camera_component.h"
#include "components/destroy_modifier.h"
#include "components/component_kit.h"
#include "components/geometry_mirror.h"
#include "components/instance_randomizer.h"
#include "components/instancing_generators.h"
#include "components/light_component.h"
#include "components/material_node.h"
#include "components/output_buffer.h"
#include "components/particles.h"
#include "components/post_effects.h"
#include "components/mesh_renderer.h"
#include "components/primitive_renderer.h"
#include "components/raymarcher.h"
#include "components/raytracer.h"
#include "components/scene_player.h"
#include "components/shadowmap_capture.h"
#include "components/text_object.h"
#include "components/texture_components.h"
#include "components/transform_components.h"
#include "components/value_generators.h"
#include "components/vertex_modifiers.h"
#include "components/voxelizer.h"

#include "egl_context.h"
#include "project/component_table.h"
#include "project_test_util.h"
#include "render/deferred_records.h"

#include <EGL/egl.h>
#include <glbinding/AbstractFunction.h>
#include <glbinding/CallbackMask.h>
#include <glbinding/FunctionCall.h>
#include <glbinding/callbacks.h>
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// ---- Building without GL ----

// No context is current while it lives, and every GL call made through the engine's bindings is counted.
class NoGLContext {
public:
    NoGLContext()
    {
        // Binds the GL entry points once, so that a stray call is counted instead of crashing the run.
        eglSurfacelessContextCurrent();
        display_ = eglGetCurrentDisplay();
        context_ = eglGetCurrentContext();
        if (display_ != EGL_NO_DISPLAY)
            eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        calls = 0;
        glbinding::setCallbackMask(glbinding::CallbackMask::Before | glbinding::CallbackMask::Unresolved);
        glbinding::setBeforeCallback([](const glbinding::FunctionCall& call) {
            ++calls;
            ADD_FAILURE() << call.function->name() << " called";
        });
        glbinding::setUnresolvedCallback([](const glbinding::AbstractFunction&) { ++calls; });
    }
    ~NoGLContext()
    {
        glbinding::setCallbackMask(glbinding::CallbackMask::None);
        if (display_ != EGL_NO_DISPLAY)
            eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_);
    }
    NoGLContext(const NoGLContext&) = delete;
    NoGLContext& operator=(const NoGLContext&) = delete;

    static inline int calls = 0;

private:
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
};

template <typename C>
std::unique_ptr<EngineComponent> build(const std::string& name)
{
    return BuildComponent<C>(name);
}

struct ComponentLayout {
    int typeIndex;
    std::unique_ptr<EngineComponent> (*build)(const std::string& name);
    std::vector<std::string> parameters; // the branch's own cvars, in registration order
    std::vector<std::string> children;   // its child branches, in order
};

// Registration order is the order of "variables.json" and of the inspector, so it is spelled out here.
const std::vector<ComponentLayout>& componentLayouts()
{
    static const std::vector<std::string> outputs = {"OutputX", "OutputY", "OutputZ"};
    auto withOutputs = [](std::vector<std::string> names) {
        names.insert(names.end(), outputs.begin(), outputs.end());
        return names;
    };
    // The 23 parameters of a material block, between what a component registers before and after it.
    auto withBlock = [](std::vector<std::string> before, const std::vector<std::string>& after) {
        const std::vector<std::string> block = {
            "Material Override", "texture mapping mode", "diffuse", "emmisive", "transparency", "roughness",
            "metalness", "normal factor", "emissive factor", "temporal accumulation factor",
            "triplanar mapping scale", "shadowmap bias", "flat", "doublesided", "reflective", "ssr", "visible",
            "material", "albedo texture", "emissive texture", "metalic roughness texture", "normal texture", "shader"};
        before.insert(before.end(), block.begin(), block.end());
        before.insert(before.end(), after.begin(), after.end());
        return before;
    };
    static const std::vector<ComponentLayout> layouts = {
        {0,
         build<sceneplayerfx>,
         {"fov",
          "camera_idx",
          "near",
          "far",
          "time",
          "ambient",
          "fill",
          "fog color",
          "fog range",
          "fog height",
          "fog height density",
          "envmap",
          "envmap intensity",
          "shadowsplit",
          "Screen Space Reflections",
          "SSR Depth Thickness",
          "SSR Strength",
          "Screen Space Ambient Occlusion",
          "SSAO Intensity",
          "SSAO Bias",
          "SSAO Radius",
          "VX Occlusion Strength",
          "VX Illumination Strength"},
         {"controller", "Volumetric Fog", "TAA"}},
        {6,
         build<lightcomponent>,
         {"type", "shadowmap resolution", "culling", "position", "rotation", "dimensions", "color", "intensity",
          "roughness modifier", "range", "range near", "fov", "area", "shadowcasting", "volumetric", "excluded tags"},
         {}},
        {4,
         build<raytracerfx>,
         {"rotation", "scale", "grid size", "reflections", "transparencies", "trace range", "material_raytrace",
          "material_proxy", "envmap", "render_debug", "render_debug_bounce", "voxelization_method", "info",
          "half_rate", "enabled"},
         {}},
        {5,
         build<voxelizationfx>,
         {"Position", "Scale", "Automatic Bounding Box", "trace max range", "light smoothing position factor",
          "light smoothing normaln factor", "light smoothing color factor", "light falloff", "occlusion falloff",
          "light trace distance scale", "reprojection tolerance", "material_raytrace", "render_debug",
          "render_debug_bounce", "enabled"},
         {}},
        {7,
         build<shadowmapcapturefx>,
         {"type", "resolution", "culling", "position", "rotation", "dimensions", "near", "far", "fov", "excluded tags"},
         {}},
        {8, build<camerafx>, {"Type", "FOV", "Near", "Far", "Position", "Rotation"}, {"controller"}},
        {9, build<nullcomponent>, {"position", "rotation", "scale"}, {}},
        {11, build<particlecontainerfx>, {"max particles", "max lifetime"}, {}},
        {12,
         build<particleemitterprimitivefx>,
         {"radius", "rotation", "position", "emission rate", "size", "primitive", "lifetime", "lifetime randomness",
          "color", "seed", "perimeter only"},
         {}},
        {13, build<particleemittergeometryfx>, {"emission rate", "lifetime", "lifetime randomness", "color", "seed"}, {}},
        {14,
         build<particleemitterinstancesfx>,
         {"emission rate", "size", "lifetime", "lifetime randomness", "position randomness", "color", "seed"},
         {}},
        {15, build<particlerendererinstancedfx>, {"size"}, {"materials"}},
        {16, build<particlerendererblendedfx>, {"size"}, {"materials"}},
        {17, build<particlerendererribbonfx>, {"segments", "sampling time", "thickness"}, {"materials"}},
        {19, build<particlemodifiervelocityfx>, {"Position", "Radius", "Falloff", "Inverse Falloff", "Velocity"}, {}},
        {20,
         build<particlemodifiercurlfx>,
         {"Position", "Radius", "Falloff", "Inverse Falloff", "noise scale", "noise speed", "strength"},
         {}},
        {21, build<particlemodifierprimitiveconstraintfx>, {"size", "strength", "primitive"}, {}},
        {22, build<valuewavefx>, withOutputs({"frequency", "scale", "type"}), {}},
        {23, build<valuelinearfx>, withOutputs({"base", "frequency", "scale", "wrap ar"}), {}},
        {24, build<valuemanualfx>, withOutputs({"value 1", "value 3"}), {}},
        {25, build<valuenoisefx>, withOutputs({"Frequency", "Scale", "Phase", "Base", "Absolute Value"}), {}},
        {26,
         build<replicatorfx>,
         {"type", "instance position", "instance scale", "instance rotation", "replicas", "exterior only", "radius"},
         {}},
        {27, build<instancinggeometryfx>, {"replicas", "surface distance", "seed"}, {}},
        {28,
         build<instancinglightfx>,
         {"replicas", "surface distance", "seed", "near plane scale", "far plane scale", "modulate size by mask",
          "only on mask edge"},
         {}},
        {1,
         build<meshrendererfx>,
         {"scale", "rotation", "position", "raytrace", "voxelize", "reflect", "shadow cast", "shadow receive", "hidden",
          "animation time", "object"},
         {"materials"}},
        {29, build<textobjectfx>, {"size", "spacing", "depth", "text"}, {}},
        {30,
         build<primitivefx>,
         {"subdivisions 1", "subdivisions 2", "radius 1", "radius 2", "bevel size", "type", "scale", "rotation",
          "position", "raytrace", "voxelize", "reflect", "shadow cast", "shadow receive", "hidden"},
         {"materials"}},
        {31, build<materialnode>, withBlock({"Export to JSON"}, {}), {}},
        {32, build<postcustomfx>, {"Param1", "Param2", "Texture1", "Texture2", "program"}, {}},
        {33, build<posttonemapfx>, {"Type", "Lift", "Gamma", "Gain", "Contrast", "Exposure", "Blend", "Saturation"}, {}},
        {34, build<postaberrationfx>, {"Strength", "Spread"}, {}},
        {35, build<postglowfx>, {"Intensity", "Passes", "Color", "Threshold"}, {}},
        {36, build<outputbufferfx>, {}, {}},
        {37,
         build<raymarchproceduralfx>,
         withBlock({}, {"Scale", "Rotation", "Position", "Output Depth", "Hidden", "Program", "Program Vertex"}),
         {}},
        {3,
         build<destroy_modifier>,
         {"scale", "spread", "rotation", "distance", "rad", "time", "source pos", "area spread", "delay scale",
          "delay center", "delay spread", "power"},
         {}},
        {38,
         build<vertexmodifiernoisefx>,
         {"Position", "Rotation", "Radius", "Displacement Mode", "Falloff Curve", "Inverse Falloff",
          "Relative to Modifier", "Strength", "Noise Scale", "Noise Base", "Noise Phase 3D", "Noise Phase Time",
          "Absolute Noise Value"},
         {}},
        {39,
         build<vertexmodifiertwistfx>,
         {"Position", "Rotation", "Radius", "Blend Mode", "Falloff Curve", "Inverse Falloff", "Twist Axis", "Angle"},
         {}},
        {40,
         build<vertexmodifiercustomfx>,
         {"Strength", "Noise Scale", "Noise Phase 3D", "Noise Phase Time", "program"},
         {}},
        {41,
         build<vertexmodifieruvfx>,
         {"Position", "Stage", "Shift", "Scale", "Rotation", "Override Original", "Override Plane"},
         {}},
        {42, build<vertexmodifierdisplacefx>, {"Strength", "Normal Scale", "Texture"}, {}},
        {43,
         build<vertexmodifiertexturedisplacefx>,
         {"Position", "Rotation", "Scale", "Radius", "Displacement Mode", "Texture Clamp Mode", "Falloff Curve",
          "Inverse Falloff", "Strength", "Noise Base", "Absolute Value", "Radial Mapping", "Texture"},
         {}},
        {44,
         build<texgenkinectfx>,
         {"Crop Ratio", "Depth Focus", "Depth Range", "Depth Bias", "Depth Tracking", "Depth Tracking Center",
          "Depth Tracking Radius", "Depth Tracking Speed"},
         {}},
        {45, build<texgencustomfx>, {"Type", "Width", "Height", "Program"}, {}},
        {46, build<texgenloopbackfx>, {"Type", "Width", "Height"}, {}},
        {47, build<scenegroupfx>, {"scale", "rotation", "position"}, {}},
        {48,
         build<instancemodifierrandomizerfx>,
         {"Position", "Falloff Radius", "Falloff Curve", "Inverse Falloff", "Replace Rotation/Scale", "Randomness",
          "Position Modifier Base", "Position Modifier Range", "Rotation Modifier Base", "Rotation Modifier Range",
          "Scale Modifier Base", "Scale Modifier Range", "Color Gradient"},
         {}},
        {49, build<texprocesscustomfx>, {"Type", "Export", "Program"}, {}},
        {50,
         build<texprocessmergefx>,
         {"Type", "Export", "Operation", "Use Output As Source2", "Source1 Factor", "Source2 Factor"},
         {}},
        {51,
         build<geometrymirrorfx>,
         {"Mirroring Type", "Export", "Geometry Overprovisioning", "Position", "Rotation", "Object"},
         {}},
    };
    return layouts;
}

TEST(ComponentKit, EveryTypeBuildsItsParametersWithoutAGLContext)
{
    std::set<int> listed;
    for (const ComponentLayout& layout : componentLayouts())
        listed.insert(layout.typeIndex);
    for (int row = 0; row < kComponentTypeCount; ++row)
        EXPECT_EQ(componentTypeTable[row].factory != nullptr, listed.count(row) == 1)
            << componentTypeTable[row].typeName << ": every type with a factory has a row here";

    NoGLContext noContext;
    ASSERT_EQ(eglGetCurrentContext(), EGL_NO_CONTEXT);
    for (const ComponentLayout& layout : componentLayouts()) {
        const char* typeName = componentTypeTable[layout.typeIndex].typeName;
        SCOPED_TRACE(typeName);
        std::unique_ptr<EngineComponent> component = layout.build(typeName);
        EXPECT_EQ(component->typeIndex, layout.typeIndex);
        CvarTreeNode* branch = component->GetCvarTree();
        ASSERT_NE(branch, nullptr);
        EXPECT_EQ(branch->name, typeName);
        EXPECT_EQ(branch->parent, nullptr);
        EXPECT_EQ(branch->owner, component.get());
        std::vector<std::string> parameters;
        for (const Cvar* cvar : branch->cvars)
            parameters.push_back(cvar->name);
        EXPECT_EQ(parameters, layout.parameters);
        std::vector<std::string> children;
        for (const CvarTreeNode* child : branch->children)
            children.push_back(child->name);
        EXPECT_EQ(children, layout.children);
        component.reset();
        EXPECT_EQ(NoGLContext::calls, 0) << "building or deleting the parameters called GL";
        NoGLContext::calls = 0;
    }
    cvarTreeCurrentBranch = &cvarTreeRoot;
}

// The branch goes before the cvars it lists: a value loaded for a name nothing registers (a cvar the tree owns) is
// freed with it, and the component's own cvars and its controller's are only forgotten.
TEST(ComponentKit, DeletingAComponentFreesTheBranchAndTheCvarsTheTreeOwns)
{
    for (const ComponentLayout& layout : componentLayouts()) {
        std::unique_ptr<EngineComponent> component = layout.build("made");
        auto* loaded = new Cvar();
        loaded->ownedByTree = true;
        CvarTreeRegisterFloat(loaded, "from an older file", 0.5f, 0.0f, 1.0f, CvarScope::Node,
                              component->GetCvarTree());
        loaded->unclaimed = true;
    }
    cvarTreeCurrentBranch = &cvarTreeRoot;
}

// ---- Parameter bindings ----

struct Probe {
    float a = 0.0f;
    float b[3] = {0.0f, 0.0f, 0.0f};
    bool flag = false;
    bool other = false;
};

constexpr RecordField kProbeFields[] = {KIT_FIELD(Probe, a), KIT_FIELD(Probe, b), KIT_FIELD(Probe, flag),
                                        KIT_FIELD(Probe, other)};
static_assert(recordFieldsFit(kProbeFields, 4, sizeof(Probe)));
static_assert(kProbeFields[1].type == RecordFieldType::Float && kProbeFields[1].count == 3);
static_assert(kProbeFields[2].type == RecordFieldType::Bool && kProbeFields[2].Size() == 1);

TEST(ParameterBindings, TablesThatWriteOutsideOrOverFieldsAreRefused)
{
    const struct {
        const char* what;
        RecordField fields[2];
        size_t count;
    } cases[] = {
        {"three floats from the record's last float", {{12, RecordFieldType::Float, 3}}, 1},
        {"a field past the end", {{sizeof(Probe) + 4, RecordFieldType::Float, 1}}, 1},
        {"a bool after the last byte", {{sizeof(Probe), RecordFieldType::Bool, 1}}, 1},
        {"a misaligned float", {{2, RecordFieldType::Float, 1}}, 1},
        {"no channel", {{0, RecordFieldType::Float, 0}}, 1},
        {"five channels", {{0, RecordFieldType::Float, 5}}, 1},
        {"two parameters on one float", {{4, RecordFieldType::Float, 2}, {8, RecordFieldType::Float, 1}}, 2},
        {"a huge offset that wraps", {{~size_t(0) - 1, RecordFieldType::Float, 1}}, 1},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(recordFieldsFit(c.fields, c.count, sizeof(Probe))) << c.what;
}

TEST(ParameterBindings, AWriteTouchesOnlyItsFieldAndNeverPassesTheRecord)
{
    struct Guarded {
        Probe probe;
        unsigned char guard[32];
    };
    Cvar parameter;
    parameter.name = "probe";
    std::copy_n(std::begin({1.5f, 2.5f, 3.5f, 4.5f}), 4, parameter.value);

    const struct {
        RecordField field;
        bool written;
        size_t from, to; // the bytes that may change
    } cases[] = {
        {KIT_FIELD(Probe, a), true, offsetof(Probe, a), offsetof(Probe, a) + 4},
        {KIT_FIELD(Probe, b), true, offsetof(Probe, b), offsetof(Probe, b) + 12},
        {KIT_FIELD(Probe, flag), true, offsetof(Probe, flag), offsetof(Probe, flag) + 1},
        {{offsetof(Probe, b) + 4, RecordFieldType::Float, 4}, false, 0, 0},
        {{sizeof(Probe), RecordFieldType::Float, 1}, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.field.offset << ", " << int(c.field.count));
        Guarded record;
        std::memset(static_cast<void*>(&record), 0xAB, sizeof record);
        Guarded before = record;
        projtest::LogCapture log;
        EXPECT_EQ(writeRecordField(parameter, c.field, &record.probe, sizeof(Probe)), c.written);
        EXPECT_EQ(log.contains("Parameter <probe> does not fit its record field"), !c.written);
        const auto* now = reinterpret_cast<const unsigned char*>(&record);
        const auto* was = reinterpret_cast<const unsigned char*>(&before);
        for (size_t i = 0; i < sizeof record; ++i) {
            if (i < c.from || i >= c.to) {
                EXPECT_EQ(now[i], was[i]) << "byte " << i;
            }
        }
    }
}

TEST(ParameterBindings, FlagsAreSetAboveOneHalf)
{
    const struct {
        float value;
        bool flag;
    } cases[] = {{0.0f, false}, {0.5f, false}, {0.51f, true}, {1.0f, true}, {-3.0f, false}};
    for (const auto& c : cases) {
        Cvar parameter;
        parameter.value[0] = c.value;
        Probe probe;
        probe.flag = !c.flag;
        ASSERT_TRUE(writeRecordField(parameter, KIT_FIELD(Probe, flag), &probe, sizeof probe));
        EXPECT_EQ(probe.flag, c.flag) << c.value;
    }
}

// Distinct values in every channel of every parameter, so a table row that names the wrong field shows.
void fillDistinct(std::initializer_list<Cvar*> parameters)
{
    float next = 1.0f;
    for (Cvar* cvar : parameters)
        for (float& channel : cvar->value)
            channel = next++;
}

TEST(ParameterBindings, ScenePlayerCompositeAndFogRecordsTakeTheirOwnParameters)
{
    const auto player = BuildComponent<sceneplayerfx>("player");
    sceneplayerfx& p = *player;
    fillDistinct({&p.ambient, &p.fill, &p.fogColor, &p.fogRange, &p.fogHeight, &p.fogHeightDensity,
                  &p.vxOcclusionStrength, &p.vxIlluminationStrength, &p.ssrStrength, &p.fogStrength, &p.fogIntensity,
                  &p.taaBlendFactor, &p.taaClampGamma, &p.fogScattering, &p.fogTraceStep, &p.fogSamplingMip});

    const DeferredCompositeParams c = p.CompositeParams();
    const struct {
        const float* field;
        const Cvar& parameter;
        int channels;
    } composite[] = {
        {c.ambient, p.ambient, 4},
        {c.fill, p.fill, 4},
        {c.fogColor, p.fogColor, 4},
        {&c.fogRange, p.fogRange, 1},
        {&c.fogHeight, p.fogHeight, 1},
        {&c.fogHeightDensity, p.fogHeightDensity, 1},
        {&c.vxOcclusionStrength, p.vxOcclusionStrength, 1},
        {&c.vxIlluminationStrength, p.vxIlluminationStrength, 1},
        {&c.ssrStrength, p.ssrStrength, 1},
        {&c.volumetricFogStrength, p.fogStrength, 1},
        {&c.volumetricFogIntensity, p.fogIntensity, 1},
        {&c.newFrameBlendFactor, p.taaBlendFactor, 1},
        {&c.neighborhoodClampGamma, p.taaClampGamma, 1},
    };
    for (const auto& row : composite)
        for (int i = 0; i < row.channels; ++i)
            EXPECT_EQ(row.field[i], row.parameter.value[i]) << row.parameter.name << " channel " << i;

    // The voxelizer's latched words stay; only the fog's three are the player's.
    for (int i = 0; i < 12; ++i)
        reinterpret_cast<float*>(&p.voxelSettings)[i] = -1.0f - float(i);
    p.voxelSettings.voxelized = 1;
    const VoxelLightingSettings s = p.HandedVoxelSettings();
    EXPECT_EQ(s.scattering, p.fogScattering.value[0]);
    EXPECT_EQ(s.traceStep, p.fogTraceStep.value[0]);
    EXPECT_EQ(s.samplingMip, p.fogSamplingMip.value[0]);
    EXPECT_EQ(s.lightSmoothingPositionFactor, -1.0f);
    EXPECT_EQ(s.traceMaxRange, -8.0f);
    EXPECT_EQ(s.voxelized, 1u);
    cvarTreeCurrentBranch = &cvarTreeRoot;
}

TEST(ParameterBindings, CustomEffectParamsAndPrimitiveFlagsTakeTheirOwnParameters)
{
    const auto custom = BuildComponent<postcustomfx>("custom");
    custom->param1.value[0] = 0.25f;
    custom->param2.value[0] = 7.0f;
    const PostprocessParams params = custom->Params();
    EXPECT_EQ(params.param1, 0.25f);
    EXPECT_EQ(params.param2, 7.0f);
    EXPECT_EQ(params.reserved[0], 0.0f);
    EXPECT_EQ(params.reserved[1], 0.0f);

    const auto primitive = BuildComponent<primitivefx>("primitive");
    const struct {
        Cvar primitivefx::*parameter;
        bool MaterialProperties::*flag;
    } flags[] = {
        {&primitivefx::raytrace, &MaterialProperties::flagBit2},
        {&primitivefx::voxelize, &MaterialProperties::flagBit16},
        {&primitivefx::reflect, &MaterialProperties::flagBit4},
        {&primitivefx::shadowCast, &MaterialProperties::flagBit256},
        {&primitivefx::shadowReceive, &MaterialProperties::flagBit512},
    };
    for (const auto& set : flags) {
        for (const auto& row : flags)
            ((*primitive).*row.parameter).value[0] = &row == &set ? 1.0f : 0.0f;
        MaterialProperties record;
        primitive->WriteSurfaceFlags(record);
        SCOPED_TRACE(((*primitive).*set.parameter).name);
        for (const auto& row : flags)
            EXPECT_EQ(record.*row.flag, &row == &set) << ((*primitive).*row.parameter).name;
        EXPECT_TRUE(record.visible);
        EXPECT_FALSE(record.reflective || record.ssr || record.doublesided || record.flat);
    }
    cvarTreeCurrentBranch = &cvarTreeRoot;
}

} // namespace
