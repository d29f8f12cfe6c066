// Value generators: components that publish up to three animated numbers per frame on their "value" output, so that
// exposed parameters of other components move without keyframes. The graph copies the channels the mask enables
// into the linked parameter before its component executes.
#pragma once

#include "project/components.h"
#include "project/cvars.h"

#include <memory>
#include <string>

class PerlinNoise;

// What the four generators share: the "value" output with its record, the OutputX/Y/Z channel mask and the
// link handling of value producers.
class ValueGenerator : public EngineComponent {
public:
    CvarTreeNode* GetCvarTree() override { return branch.get(); }
    void OnInputConnected(int32_t pinId) override;
    void OnInputDisconnected(int32_t pinId) override {}
    // Re-reads the inputs and tells the consumers, only when the first input changed.
    void OnInputChanged(int32_t pinId) override;

    // The record published on "value": three values and the channel mask.
    ValueResource* GetValue() const { return value.get(); }

protected:
    // Opens the component's own branch for the class's registrations.
    ValueGenerator(int32_t typeIndex, const std::string& name);
    // Registers the three channel switches (the last parameters of every generator), closes the branch and creates
    // the "value" output with its record "{name}/internal/output".
    void FinishConstruction(Cvar& outputX, Cvar& outputY, Cvar& outputZ);
    // values = (x, y, z); mask from the channel switches.
    void Publish(float x, float y, float z, const Cvar& outputX, const Cvar& outputY, const Cvar& outputZ);

    // Subclasses reset the branch in their destructors: it lists their cvars, which die before this base does.
    std::unique_ptr<ValueResource> value;
    std::unique_ptr<CvarTreeNode> branch;
};

// values = (frequency x t [wrapped], x scale) + base, every frame.
class valuelinearfx : public ValueGenerator {
public:
    static constexpr int32_t kTypeIndex = 23;
    static EngineComponent* Create(const std::string& name);
    explicit valuelinearfx(const std::string& name);
    ~valuelinearfx() override { branch.reset(); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    Cvar frequency, wrap, scale, base, outputX, outputY, outputZ;
};

// values = "value 3" + "value 1" on every channel; no time term.
class valuemanualfx : public ValueGenerator {
public:
    static constexpr int32_t kTypeIndex = 24;
    static EngineComponent* Create(const std::string& name);
    explicit valuemanualfx(const std::string& name);
    ~valuemanualfx() override { branch.reset(); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    Cvar value1, value3, outputX, outputY, outputZ;
};

// Sine, triangle or sawtooth of frequency x t, times scale, on every channel.
class valuewavefx : public ValueGenerator {
public:
    static constexpr int32_t kTypeIndex = 22;
    static EngineComponent* Create(const std::string& name);
    explicit valuewavefx(const std::string& name);
    ~valuewavefx() override { branch.reset(); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    Cvar type, frequency, scale, outputX, outputY, outputZ;
};
extern const char* const valueWaveTypeOptions[]; // "sine", "triangle", "sawtooth"

// (Noise(Frequency x Phase) + Base) x Scale, optionally its absolute value, on every channel; no time term.
class valuenoisefx : public ValueGenerator {
public:
    static constexpr int32_t kTypeIndex = 25;
    static EngineComponent* Create(const std::string& name);
    explicit valuenoisefx(const std::string& name);
    ~valuenoisefx() override { branch.reset(); }
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // The process's one noise table, built on first use.
    static const PerlinNoise& Noise();

    Cvar frequency, scale, base, absoluteValue, phase, outputX, outputY, outputZ;
};
