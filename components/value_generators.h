// Value generators: components that publish up to three animated numbers per frame on their "value" output, so that
// exposed parameters of other components move without keyframes. The graph copies the channels the mask enables
// into the linked parameter before its component executes.
#pragma once

#include "components/component_kit.h"

#include <memory>
#include <string>

class PerlinNoise;

// What the four generators share: the "value" output with its record, the OutputX/Y/Z channel mask and the
// link handling of value producers.
class ValueGenerator : public KitComponent {
public:
    void OnInputConnected(int32_t pinId) override;
    // Re-reads the inputs and tells the consumers, only when the first input changed.
    void OnInputChanged(int32_t pinId) override;

    // The record published on "value": three values and the channel mask.
    ValueResource* GetValue() const { return value.get(); }

    // The channel switches: which of the three values the consumers take.
    Cvar outputX, outputY, outputZ;

protected:
    using KitComponent::KitComponent;
    // Registers the three channel switches (the last parameters of every generator), closes the branch and creates
    // the "value" output with its record "{name}/internal/output".
    void FinishConstruction();
    // values = (x, y, z); mask from the channel switches.
    void Publish(float x, float y, float z);

    std::unique_ptr<ValueResource> value;
};

// values = (frequency x t [wrapped], x scale) + base, every frame.
class valuelinearfx : public ValueGenerator {
public:
    static constexpr int32_t kTypeIndex = 23;
    static EngineComponent* Create(const std::string& name) { return CreateComponent<valuelinearfx>(name); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    Cvar frequency, wrap, scale, base;

protected:
    explicit valuelinearfx(const std::string& name);
};

// values = "value 3" + "value 1" on every channel; no time term.
class valuemanualfx : public ValueGenerator {
public:
    static constexpr int32_t kTypeIndex = 24;
    static EngineComponent* Create(const std::string& name) { return CreateComponent<valuemanualfx>(name); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    Cvar value1, value3;

protected:
    explicit valuemanualfx(const std::string& name);
};

// Sine, triangle or sawtooth of frequency x t, times scale, on every channel.
class valuewavefx : public ValueGenerator {
public:
    static constexpr int32_t kTypeIndex = 22;
    static EngineComponent* Create(const std::string& name) { return CreateComponent<valuewavefx>(name); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    Cvar type, frequency, scale;

protected:
    explicit valuewavefx(const std::string& name);
};
extern const char* const valueWaveTypeOptions[]; // "sine", "triangle", "sawtooth"

// (Noise(Frequency x Phase) + Base) x Scale, optionally its absolute value, on every channel; no time term.
class valuenoisefx : public ValueGenerator {
public:
    static constexpr int32_t kTypeIndex = 25;
    static EngineComponent* Create(const std::string& name) { return CreateComponent<valuenoisefx>(name); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // The process's one noise table, built on first use.
    static const PerlinNoise& Noise();

    Cvar frequency, scale, base, absoluteValue, phase;

protected:
    explicit valuenoisefx(const std::string& name);
};
