// The instance randomizer: an instance modifier that moves, turns, scales and colours the instances inside a
// falloff volume. It computes nothing itself; it publishes a GLSL fragment and its 128-byte parameter buffer on
// "im", and the instancing component it feeds joins the fragment into its modifier pass. Main thread only.
#pragma once

#include "app/math_types.h"
#include "components/component_kit.h"
#include "components/instance_buffers.h"
#include "project/curves.h"
#include "render/render_graph.h"

#include <cstdint>
#include <string>

// "InstanceModifierRandomizer_Params" as the fragment reads it (std140: each vec3 shares 16 bytes with the word
// after it).
struct RandomizerParams {
    float position[3];
    int32_t curveRow;
    float halfRadius[3];
    int32_t inverseFalloff;
    float positionBase[3];
    int32_t reserved0;
    float positionRange[3];
    int32_t replaceRotationScale;
    float rotationBase[3]; // radians
    float reserved1;
    float rotationRange[3]; // radians
    float reserved2;
    float scaleBase[3];
    int32_t gradientRow; // -1: the colours stay
    float scaleRange[3];
    float randomness;
};
static_assert(sizeof(RandomizerParams) == 128);

class instancemodifierrandomizerfx : public KitComponent {
public:
    static constexpr int32_t kTypeIndex = 48;
    static EngineComponent* Create(const std::string& name)
    {
        return CreateComponent<instancemodifierrandomizerfx>(name);
    }
    ~instancemodifierrandomizerfx() override;

    // The gizmo moves and scales the falloff volume.
    bool GetTransformCvars(Cvar** position, Cvar** rotation, Cvar** scale) override;
    void OnInputConnected(int32_t pinId) override { RelayToOnInputChanged(this, pinId); }
    void Init() override;
    // Uploads this frame's parameters and adds the item that registers the falloff volume as selection bounds.
    void Execute(RenderItemBuilder& builder, Timestep time) override;

    // The block as the parameters give it; bakes the falloff curve into the next curve-texture row.
    RandomizerParams BuildParams();
    // rows (r.x, 0, 0, p.x), (0, r.y, 0, p.y), (0, 0, r.z, p.z) from "Falloff Radius" and "Position".
    Matrix FalloffMatrix() const;
    void RegisterBounds(Camera* camera, const Matrix* model, Renderer::Pass pass, Timestep time);

    // In registration order.
    Cvar position, falloffRadius, falloffCurve, inverseFalloff, replaceRotationScale, randomness;
    Cvar positionBase, positionRange, rotationBase, rotationRange, scaleBase, scaleRange, colorGradient;

    Curve ownCurve; // the curve until a stored one takes its place in the cvar
    BufferObject* buffer = nullptr;
    InstanceModifierResource payload;

protected:
    explicit instancemodifierrandomizerfx(const std::string& name);
    bool CreateGpuObjects() override;

private:
    void Publish();
};
