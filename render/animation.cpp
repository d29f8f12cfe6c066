#include "render/animation.h"

#include "app/log.h"
#include "jni/engine/grd_geometry.h"
#include "jni/engine/grd_shader.h"
#include "jni/engine/grd_shader_bindings.h"
#include "jni/engine/grd_shader_source.h"
#include "render/entities.h"

#include <glbinding/gl/gl.h>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace gl;

// ---- Matrices ----

Matrix matrixFromQuaternion(float x, float y, float z, float w)
{
    Matrix r;
    r.m[0] = 1 - 2 * y * y - 2 * z * z;
    r.m[1] = 2 * x * y - 2 * z * w;
    r.m[2] = 2 * x * z + 2 * y * w;
    r.m[4] = 2 * x * y + 2 * z * w;
    r.m[5] = 1 - 2 * x * x - 2 * z * z;
    r.m[6] = 2 * y * z - 2 * x * w;
    r.m[8] = 2 * x * z - 2 * y * w;
    r.m[9] = 2 * y * z + 2 * x * w;
    r.m[10] = 1 - 2 * x * x - 2 * y * y;
    return r;
}

Vector3 eulerDegreesFromRotation(const Matrix& r)
{
    // FromEulerDegrees builds Ry * Rx * Rz: m[6] = -sin x, m[2] / m[10] = tan y, m[4] / m[5] = tan z.
    constexpr float kDegrees = 57.29577951308232f;
    const float sx = std::clamp(-r.m[6], -1.0f, 1.0f);
    Vector3 e;
    e.x = std::asin(sx) * kDegrees;
    if (std::fabs(sx) < 0.99999f) {
        e.y = std::atan2(r.m[2], r.m[10]) * kDegrees;
        e.z = std::atan2(r.m[4], r.m[5]) * kDegrees;
    } else {
        // Gimbal lock: only y - z (or y + z) is defined; put it all into y.
        e.y = std::atan2(-r.m[8], r.m[0]) * kDegrees;
        e.z = 0.0f;
    }
    return e;
}

Matrix nodeLocalMatrix(const float t[3], const Matrix& rotation, const float s[3])
{
    Matrix m = rotation;
    for (int row = 0; row < 3; ++row) {
        for (int col = 0; col < 3; ++col)
            m.m[row * 4 + col] = rotation.m[row * 4 + col] * s[col];
        m.m[row * 4 + 3] = t[row];
    }
    m.m[12] = m.m[13] = m.m[14] = 0.0f;
    m.m[15] = 1.0f;
    return m;
}

// ---- Nodes ----

void SceneNode::UpdateWorld()
{
    // Iterative, so a deep chain cannot exhaust the stack; the importer refuses cycles.
    std::vector<SceneNode*> pending{this};
    while (!pending.empty()) {
        SceneNode* node = pending.back();
        pending.pop_back();
        for (SceneNode* child : node->children) {
            child->local = child->local.Multiply(node->local); // parent applies after the child
            pending.push_back(child);
        }
    }
}

// ---- Sampling ----

bool Animation::FindKeys(const AnimationChannel& channel, float time, int keyStride, AnimationKeys* keys)
{
    const size_t n = channel.times.size();
    if (n == 0 || channel.components <= 0)
        return false;
    const size_t keyFloats = size_t(channel.components) * size_t(keyStride);
    if (channel.values.size() < n * keyFloats)
        return false;
    long lo = 0, hi = long(n) - 1, mid = 0;
    bool found = false;
    while (lo <= hi) {
        mid = (lo + hi) / 2;
        if (time < channel.times[size_t(mid)])
            hi = mid - 1;
        else if (time > channel.times[size_t(mid)])
            lo = mid + 1;
        else {
            found = true;
            break;
        }
    }
    if (!found)
        mid = hi;
    const size_t k0 = size_t(std::max(mid, 0L));
    const size_t k1 = size_t(std::min(mid + 1, long(n) - 1));
    keys->t0 = channel.times[k0];
    keys->t1 = channel.times[k1];
    keys->t = 0.0f;
    if (k0 != k1 && keys->t1 > keys->t0)
        keys->t = std::clamp((time - keys->t0) / (keys->t1 - keys->t0), 0.0f, 1.0f);
    keys->offset0 = k0 * keyFloats;
    keys->offset1 = k1 * keyFloats;
    return true;
}

namespace {

void normalise(float* q, int n)
{
    float length = 0.0f;
    for (int i = 0; i < n; ++i)
        length += q[i] * q[i];
    length = std::sqrt(length);
    if (length > 0.0f)
        for (int i = 0; i < n; ++i)
            q[i] /= length;
}

void slerp(const float* a, const float* b, float t, float* out)
{
    float q0[4] = {a[0], a[1], a[2], a[3]};
    float d = q0[0] * b[0] + q0[1] * b[1] + q0[2] * b[2] + q0[3] * b[3];
    if (d < 0.0f) {
        for (float& v : q0)
            v = -v;
        d = -d;
    }
    float w0 = 1.0f - t, w1 = t;
    if (d < 0.999f) {
        const float theta = std::acos(std::min(d, 1.0f));
        const float s = std::sin(theta);
        w0 = std::sin((1.0f - t) * theta) / s;
        w1 = std::sin(t * theta) / s;
    }
    for (int i = 0; i < 4; ++i)
        out[i] = w0 * q0[i] + w1 * b[i];
    normalise(out, 4);
}

} // namespace

void Animation::Evaluate(float time)
{
    // A zero (or broken) duration samples the first keys instead of fmod's NaN.
    float s = 0.0f;
    if (duration > 0.0f && std::isfinite(duration) && std::isfinite(time))
        s = std::fmod(time * 0.01f, duration * 10.0f);
    for (const AnimationChannel& channel : channels) {
        if (!channel.target || channel.components < 1 || channel.components > 4)
            continue;
        const int stride = channel.interpolation == ANIMATION_CUBIC ? 3 : 1;
        AnimationKeys k;
        if (!FindKeys(channel, s, stride, &k))
            continue;
        const float* v = channel.values.data();
        const int c = channel.components;
        float out[4] = {0, 0, 0, 1};
        if (channel.interpolation == ANIMATION_STEP) {
            std::copy(v + k.offset0, v + k.offset0 + c, out);
        } else if (channel.interpolation == ANIMATION_CUBIC) {
            const float t = k.t, t2 = t * t, t3 = t2 * t, dt = k.t1 - k.t0;
            const float h00 = 2 * t3 - 3 * t2 + 1, h10 = t3 - 2 * t2 + t, h01 = 3 * t2 - 2 * t3, h11 = t3 - t2;
            for (int i = 0; i < c; ++i)
                out[i] = h00 * v[k.offset0 + c + i] + h10 * dt * v[k.offset0 + 2 * c + i] +
                         h01 * v[k.offset1 + c + i] + h11 * dt * v[k.offset1 + i];
            if (channel.path == ANIMATION_PATH_ROTATION)
                normalise(out, c);
        } else if (channel.path == ANIMATION_PATH_ROTATION && c == 4) {
            slerp(v + k.offset0, v + k.offset1, k.t, out);
        } else {
            for (int i = 0; i < c; ++i)
                out[i] = k.t * v[k.offset1 + i] + (1.0f - k.t) * v[k.offset0 + i];
        }
        SceneNode* node = channel.target;
        if (channel.path == ANIMATION_PATH_TRANSLATION && c >= 3)
            std::copy(out, out + 3, node->translation);
        else if (channel.path == ANIMATION_PATH_ROTATION && c == 4)
            node->rotation = matrixFromQuaternion(out[0], out[1], out[2], out[3]);
        else if (channel.path == ANIMATION_PATH_SCALE && c >= 3)
            std::copy(out, out + 3, node->scale);
    }
    for (SceneNode* node : targets)
        node->local = nodeLocalMatrix(node->translation, node->rotation, node->scale);
}

// ---- Rig ----

AnimationRig::~AnimationRig()
{
    for (SceneNode* node : nodes)
        delete node;
    for (Animation* animation : animations)
        delete animation;
    for (Skin* skin : skins)
        delete skin;
}

bool AnimationRig::Pose(float time, std::vector<Matrix>* skinning)
{
    if (skins.empty() || animations.empty() || !skins[0])
        return false;
    for (SceneNode* node : nodes)
        node->local = node->rest;
    animations[0]->Evaluate(time);
    for (SceneNode* root : roots)
        root->UpdateWorld();
    const Skin& skin = *skins[0];
    const size_t joints = std::min<size_t>(skin.joints.size(), kSkinMaxJoints);
    boneMatrices.resize(joints);
    skinning->resize(joints);
    for (size_t j = 0; j < joints; ++j) {
        SceneNode* joint = skin.joints[j];
        const Matrix world = joint ? joint->local : Matrix();
        boneMatrices[j] = world;
        const Matrix inverseBind = j < skin.inverseBindMatrices.size() ? skin.inverseBindMatrices[j] : Matrix();
        (*skinning)[j] = inverseBind.Multiply(world); // world * inverse bind
        if (joint)
            joint->local = (*skinning)[j];
    }
    return true;
}

Vector3 skinPointReference(const Vector3& p, const uint16_t bw[8], const std::vector<Matrix>& skinning)
{
    Vector3 sum;
    float total = 0.0f;
    for (int k = 0; k < 4; ++k) {
        const uint32_t joint = bw[2 * k];
        const float weight = float(bw[2 * k + 1]) / 65535.0f;
        if (joint >= skinning.size() || weight <= 0.0f)
            continue;
        const Vector3 q = skinning[joint].TransformPoint(p);
        sum = sum + q * weight;
        total += weight;
    }
    return total > 0.0f ? sum * (1.0f / total) : p;
}

// ---- GPU skinning ----

namespace {

ShaderProgram* skinningProgram = nullptr;
bool skinningProgramTried = false;

} // namespace

bool Object::ApplySkinning(float time)
{
    if (!skinningProgramTried) {
        skinningProgramTried = true;
        skinningProgram = shaderLoadProgramCompute("shaders/materials/geom_apply_skinning.comp", shaderGlobalDefines);
    }
    if (!rig || !geometry)
        return false;
    // Only meshes that carry weights and a bind pose are skinned: the others have no buffers for the shader.
    BufferObject* weights = geometry->FindAttributeBuffer("VTXBonesWeights");
    if (!weights || !geometry->FindAttributeBuffer("VTXCoordsCopy") || !geometry->FindAttributeBuffer("VTXNormalsCopy") ||
        !geometry->FindAttributeBuffer("VTXCoords") || !geometry->FindAttributeBuffer("VTXNormals"))
        return false;
    std::vector<Matrix> skinning;
    if (!rig->Pose(time, &skinning))
        return false;
    if (!skinningProgram || skinningProgram->errors || !skinningProgram->linked || geometry->vertexCount == 0)
        return false;
    geomUpdate(geometry);
    if (!shaderUseProgram(skinningProgram))
        return false;

    std::vector<uint8_t> block(kSkinningBlockBytes, 0);
    const uint32_t counts[2] = {geometry->vertexCount, uint32_t(skinning.size())};
    std::memcpy(block.data(), counts, sizeof counts);
    std::memcpy(block.data() + 16, skinning.data(), skinning.size() * sizeof(Matrix));
    BufferBindings bindings;
    shaderBindingsCreate(bindings);
    shaderBindingsAddGeometry(bindings, geometry);
    shaderBindingsAddData(bindings, "TransformParamsBuffer", block.data(), uint32_t(block.size()));
    if (!shaderBindBuffers(skinningProgram, bindings))
        return false;
    glDispatchCompute((geometry->vertexCount + kSkinningGroupSize - 1) / kSkinningGroupSize, 1, 1);
    // The draws that follow read the skinned vertices as storage blocks.
    glMemoryBarrier(GL_SHADER_STORAGE_BARRIER_BIT | GL_VERTEX_ATTRIB_ARRAY_BARRIER_BIT);
    return true;
}
