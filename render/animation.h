// The node hierarchy, skins and keyframed animations an imported scene brings, the sampling of an animation at a
// time and the per-frame skinning of a mesh (one compute dispatch over its vertices). One rig per imported file,
// shared by the meshes of that file. Main thread only: the node matrices are shared mutable state.
#pragma once

#include "app/math_types.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct FileResource;
class Object;
struct Skin;

// The skinning block holds this many matrices; joints past it are not skinned.
constexpr int kSkinMaxJoints = 1024;
// Vertices per skinning work group.
constexpr int kSkinningGroupSize = 32;

struct SceneNode {
    std::string name;
    std::vector<SceneNode*> children; // not owned (the rig owns every node)
    SceneNode* parent = nullptr;
    float scale[3] = {1.0f, 1.0f, 1.0f};
    float translation[3] = {0.0f, 0.0f, 0.0f};
    Matrix rotation;
    Matrix local; // after UpdateWorld the world matrix, during skinning a joint's skinning matrix
    Matrix rest;  // local as loaded
    FileResource* object = nullptr; // the node's mesh record
    Skin* skin = nullptr;

    // child.local = this.local * child.local for the whole subtree (the node itself is left as it is).
    void UpdateWorld();
};

struct Skin {
    std::string name;
    std::vector<Matrix> inverseBindMatrices; // one per joint
    std::vector<SceneNode*> joints;
};

enum AnimationPath : int32_t { ANIMATION_PATH_TRANSLATION = 0, ANIMATION_PATH_ROTATION = 1, ANIMATION_PATH_SCALE = 2 };
enum AnimationInterpolation : int32_t {
    ANIMATION_LINEAR = 0,
    ANIMATION_STEP = 1,
    ANIMATION_CUBIC = 2,
};

struct AnimationChannel {
    SceneNode* target = nullptr;
    std::vector<float> times;
    std::vector<float> values; // components x keys (x 3 for cubic: in-tangent, value, out-tangent)
    int32_t components = 3;
    int32_t interpolation = ANIMATION_LINEAR;
    int32_t path = ANIMATION_PATH_TRANSLATION;
};

struct AnimationKeys {
    float t = 0.0f;
    float t0 = 0.0f;
    float t1 = 0.0f;
    size_t offset0 = 0;
    size_t offset1 = 0;
};

struct Animation {
    std::string name;
    std::vector<SceneNode*> targets; // each driven node once, in first-driven order
    std::vector<AnimationChannel> channels;
    float duration = 0.0f;

    // The keys around `time` (the first key before it, the last key after it). False for a channel whose keys
    // cannot be sampled (no times, or values shorter than the keys need).
    static bool FindKeys(const AnimationChannel& channel, float time, int keyStride, AnimationKeys* keys);
    // Samples every channel at time x 0.01 (wrapped into the duration x 10) and rewrites the targets' local
    // matrices as T * R * S.
    void Evaluate(float time);
};

struct AnimationRig {
    std::vector<SceneNode*> roots;
    std::vector<SceneNode*> nodes;
    std::vector<Animation*> animations;
    std::vector<Skin*> skins;
    std::vector<Matrix> boneMatrices; // the joints' world matrices of the last pass

    AnimationRig() = default;
    ~AnimationRig();
    AnimationRig(const AnimationRig&) = delete;
    AnimationRig& operator=(const AnimationRig&) = delete;

    // Rest pose, the first animation at `time`, world matrices, then the first skin's skinning matrices (world x
    // inverse bind) in joint order, at most kSkinMaxJoints. False when there is no skin or no animation.
    bool Pose(float time, std::vector<Matrix>* skinning);
};

// Rotation of the unit quaternion (x, y, z, w) in the engine's matrix layout (not normalised first).
Matrix matrixFromQuaternion(float x, float y, float z, float w);
// Euler degrees (x, y, z) such that Matrix::FromEulerDegrees(x, y, z) gives the rotation back.
Vector3 eulerDegreesFromRotation(const Matrix& rotation);
// T * R * S of a node's parts.
Matrix nodeLocalMatrix(const float translation[3], const Matrix& rotation, const float scale[3]);

// The CPU reference of the skinning shader for one vertex: joints past jointCount and zero weights contribute
// nothing; a vertex with no valid weight keeps its bind position.
Vector3 skinPointReference(const Vector3& p, const uint16_t bonesWeights[8], const std::vector<Matrix>& skinning);

// The size of the skinning block: vertex count, joint count, padding, then kSkinMaxJoints matrices.
constexpr uint32_t kSkinningBlockBytes = 16 + 64 * kSkinMaxJoints;
