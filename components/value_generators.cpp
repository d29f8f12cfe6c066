#include "components/value_generators.h"

#include "components/instance_buffers.h"
#include "components/perlin_noise.h"
#include "project/resources.h"
#include "render/render_graph.h"

#include <cmath>

const char* const valueWaveTypeOptions[] = {"sine", "triangle", "sawtooth", nullptr};

namespace {

bool isSet(const Cvar& cvar) { return cvar.value[0] > 0.5f; }

void registerAnimatableFloat(Cvar& cvar, const std::string& name, float value, float min, float max)
{
    CvarTreeRegisterFloat(&cvar, name, value, min, max);
    cvar.animatable = true;
}

} // namespace

// ---- Shared ----

void ValueGenerator::FinishConstruction()
{
    CvarTreeRegisterBool(&outputX, "OutputX", 1.0f);
    CvarTreeRegisterBool(&outputY, "OutputY", 1.0f);
    CvarTreeRegisterBool(&outputZ, "OutputZ", 1.0f);
    CloseBranch();
    value = std::make_unique<ValueResource>(name + "/internal/output");
    AddOutput("value", ResourceType::Value)->payload = value.get();
}

void ValueGenerator::Publish(float x, float y, float z)
{
    value->values.assign({x, y, z});
    value->mask = (isSet(outputX) ? 1u : 0u) | (isSet(outputY) ? 2u : 0u) | (isSet(outputZ) ? 4u : 0u);
}

void ValueGenerator::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

void ValueGenerator::OnInputChanged(int32_t pinId) { RebindAndNotifyOnFirstInput(this, pinId); }

// ---- Linear ----

valuelinearfx::valuelinearfx(const std::string& name) : ValueGenerator(kTypeIndex, name)
{
    CvarTreeRegisterVec3(&base, "base", 0.0f, 0.0f, 0.0f);
    base.animatable = true;
    CvarTreeRegisterFloat(&frequency, "frequency", 1.0f, 0.0f, 100.0f);
    registerAnimatableFloat(scale, "scale", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&wrap, "wrap ar", 0.0f, 0.0f, 100.0f);
    FinishConstruction();
}

void valuelinearfx::Execute(RenderItemBuilder&, Timestep time)
{
    float a = frequency.value[0] * time.time;
    if (wrap.value[0] > 0.0f)
        a = std::fmod(a, wrap.value[0]);
    a *= scale.value[0];
    Publish(a + base.value[0], a + base.value[1], a + base.value[2]);
}

// ---- Manual ----

valuemanualfx::valuemanualfx(const std::string& name) : ValueGenerator(kTypeIndex, name)
{
    registerAnimatableFloat(value1, "value 1", 0.0f, 0.0f, 1000.0f);
    CvarTreeRegisterVec3(&value3, "value 3", 0.0f, 0.0f, 0.0f);
    value3.animatable = true;
    FinishConstruction();
}

void valuemanualfx::Execute(RenderItemBuilder&, Timestep)
{
    const float add = value1.value[0];
    Publish(value3.value[0] + add, value3.value[1] + add, value3.value[2] + add);
}

// ---- Wave ----

valuewavefx::valuewavefx(const std::string& name) : ValueGenerator(kTypeIndex, name)
{
    CvarTreeRegisterFloat(&frequency, "frequency", 1.0f, 0.0f, 100.0f);
    CvarTreeRegisterFloat(&scale, "scale", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterEnum(&type, "type", valueWaveTypeOptions, 0);
    FinishConstruction();
}

void valuewavefx::Execute(RenderItemBuilder&, Timestep time)
{
    // The integer part of the stored value; a value no int holds (a hand-edited file) is no known wave.
    const float stored = type.value[0];
    const int k = std::isfinite(stored) && std::fabs(stored) < 1.0e9f ? static_cast<int>(stored) : -1;
    const float p = frequency.value[0] * time.time;
    float v = value->values.empty() ? 0.0f : value->values[0];
    switch (k) {
    case 0:
        v = std::sin(p) * scale.value[0];
        break;
    case 1: {
        const float c = std::fmod(p, 2.0f);
        v = (c > 1.0f ? 1.0f - (c - 1.0f) : c) * scale.value[0];
        break;
    }
    case 2:
        v = std::fmod(p, 1.0f) * scale.value[0];
        break;
    default:
        break; // the values of the previous frame stay
    }
    Publish(v, v, v);
}

// ---- Noise ----

valuenoisefx::valuenoisefx(const std::string& name) : ValueGenerator(kTypeIndex, name)
{
    CvarTreeRegisterFloat(&frequency, "Frequency", 1.0f, 0.0f, 100.0f);
    CvarTreeRegisterFloat(&scale, "Scale", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterVec3(&phase, "Phase", 0.0f, 0.0f, 0.0f);
    CvarTreeRegisterFloat(&base, "Base", 0.0f, -10.0f, 10.0f);
    CvarTreeRegisterBool(&absoluteValue, "Absolute Value", 0.0f);
    FinishConstruction();
}

const PerlinNoise& valuenoisefx::Noise()
{
    static const PerlinNoise noise;
    return noise;
}

void valuenoisefx::Execute(RenderItemBuilder&, Timestep)
{
    const float f = frequency.value[0];
    const float point[3] = {f * phase.value[0], f * phase.value[1], f * phase.value[2]};
    float v = (Noise().Noise(point) + base.value[0]) * scale.value[0];
    if (isSet(absoluteValue))
        v = std::fabs(v);
    Publish(v, v, v);
}
