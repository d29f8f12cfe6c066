// Key lookup, sampling of animations, the rig's pose and the GPU skinning pass against its CPU reference.
#include "render/animation.h"

#include "gl_context.h"
#include "jni/engine/grd_buffer.h"
#include "jni/engine/grd_geometry.h"
#include "render/entities.h"
#include "test_helpers.h"

#include <glbinding/gl/gl.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

using namespace gl;

namespace {

AnimationChannel channel(std::vector<float> times, std::vector<float> values, int components, int interpolation,
                         int path, SceneNode* target)
{
    AnimationChannel c;
    c.times = std::move(times);
    c.values = std::move(values);
    c.components = components;
    c.interpolation = interpolation;
    c.path = path;
    c.target = target;
    return c;
}

TEST(AnimationKeys, FindKeysTable)
{
    const AnimationChannel three = channel({1, 2, 4}, {10, 20, 40}, 1, ANIMATION_LINEAR, 0, nullptr);
    const AnimationChannel single = channel({3}, {7}, 1, ANIMATION_LINEAR, 0, nullptr);
    struct Case {
        const AnimationChannel* c;
        float time;
        int stride;
        float t;
        size_t o0, o1;
    } cases[] = {
        {&three, 0.0f, 1, 0.0f, 0, 0},     // before the first key: the first key
        {&three, 1.0f, 1, 0.0f, 0, 1},     // exactly on a key
        {&three, 1.5f, 1, 0.5f, 0, 1},     // between
        {&three, 3.0f, 1, 0.5f, 1, 2},     // between, wider gap
        {&three, 4.0f, 1, 0.0f, 2, 2},     // on the last key
        {&three, 9.0f, 1, 0.0f, 2, 2},     // after the last key
        {&single, -5.0f, 1, 0.0f, 0, 0},   // a single key always
        {&single, 50.0f, 1, 0.0f, 0, 0},
    };
    for (const Case& c : cases) {
        AnimationKeys k;
        ASSERT_TRUE(Animation::FindKeys(*c.c, c.time, c.stride, &k)) << c.time;
        EXPECT_FLOAT_EQ(k.t, c.t) << c.time;
        EXPECT_EQ(k.offset0, c.o0) << c.time;
        EXPECT_EQ(k.offset1, c.o1) << c.time;
    }
    // Cubic keys are three values wide.
    const AnimationChannel cubic = channel({0, 1}, std::vector<float>(18, 0.0f), 3, ANIMATION_CUBIC, 0, nullptr);
    AnimationKeys k;
    ASSERT_TRUE(Animation::FindKeys(cubic, 0.5f, 3, &k));
    EXPECT_EQ(k.offset1, 9u);
    // Nothing to sample: no keys, or fewer values than the keys need.
    EXPECT_FALSE(Animation::FindKeys(channel({}, {}, 3, 0, 0, nullptr), 1.0f, 1, &k));
    EXPECT_FALSE(Animation::FindKeys(channel({0, 1}, {1, 2, 3}, 3, 0, 0, nullptr), 1.0f, 1, &k));
    EXPECT_FALSE(Animation::FindKeys(cubic, 0.5f, 4, &k));
}

TEST(AnimationEvaluate, InterpolationTable)
{
    SceneNode node;
    const float q90z[4] = {0, 0, 0.7071068f, 0.7071068f};
    struct Case {
        const char* name;
        AnimationChannel c;
        float time; // seconds of the animation (Evaluate takes 100 x)
        float expect[4];
    } cases[] = {
        {"linear translation", channel({0, 2}, {0, 0, 0, 4, 8, -2}, 3, ANIMATION_LINEAR, 0, &node), 0.5f,
         {1, 2, -0.5f, 0}},
        {"step translation", channel({0, 2}, {1, 1, 1, 4, 8, -2}, 3, ANIMATION_STEP, 0, &node), 1.9f, {1, 1, 1, 0}},
        {"linear scale", channel({0, 1}, {1, 1, 1, 3, 3, 3}, 3, ANIMATION_LINEAR, 2, &node), 0.25f,
         {1.5f, 1.5f, 1.5f, 0}},
        // Hermite with zero tangents: the smoothstep of the values; at t = 0.25, 0.15625.
        {"cubic translation",
         channel({0, 1}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0}, 3, ANIMATION_CUBIC, 0, &node), 0.25f,
         {0.15625f, 0.15625f, 0.15625f, 0}},
        // Cubic with an out-tangent of 1 at key 0: h10 x dt adds 0.140625 at t = 0.25.
        {"cubic tangent",
         channel({0, 1}, {0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 3, ANIMATION_CUBIC, 0, &node), 0.25f,
         {0.140625f, 0.140625f, 0.140625f, 0}},
        {"slerp halfway", channel({0, 1}, {0, 0, 0, 1, q90z[0], q90z[1], q90z[2], q90z[3]}, 4, ANIMATION_LINEAR, 1, &node),
         0.5f, {0, 0, 0.3826834f, 0.9238795f}},
        // The second key is the same rotation negated: the short way is no rotation at all.
        {"slerp shorter arc", channel({0, 1}, {0, 0, 0, 1, 0, 0, 0, -1}, 4, ANIMATION_LINEAR, 1, &node), 0.5f,
         {0, 0, 0, 1}},
    };
    for (Case& c : cases) {
        node = SceneNode();
        Animation animation;
        animation.duration = 10.0f;
        animation.channels = {c.c};
        animation.targets = {&node};
        animation.Evaluate(c.time * 100.0f);
        if (c.c.path == ANIMATION_PATH_ROTATION) {
            const Matrix expected = matrixFromQuaternion(c.expect[0], c.expect[1], c.expect[2], c.expect[3]);
            for (int i = 0; i < 16; ++i)
                EXPECT_NEAR(node.rotation.m[i], expected.m[i], 1e-5f) << c.name << " element " << i;
        } else {
            const float* got = c.c.path == ANIMATION_PATH_SCALE ? node.scale : node.translation;
            for (int i = 0; i < 3; ++i)
                EXPECT_NEAR(got[i], c.expect[i], 1e-5f) << c.name << " component " << i;
        }
        // local = T * R * S
        EXPECT_EQ(node.local.m[3], node.translation[0]) << c.name;
    }
}

TEST(AnimationEvaluate, TimeWrapsIntoTheDurationAndZeroDurationStaysFinite)
{
    SceneNode node;
    Animation animation;
    animation.channels = {channel({0, 1, 2}, {0, 0, 0, 5, 0, 0, 9, 0, 0}, 3, ANIMATION_LINEAR, 0, &node)};
    animation.targets = {&node};
    animation.duration = 2.0f;
    // 250 -> fmod(2.5, 20) = 2.5: past the last key.
    animation.Evaluate(250.0f);
    EXPECT_FLOAT_EQ(node.translation[0], 9.0f);
    animation.Evaluate(2050.0f); // 20.5 wraps to 0.5
    EXPECT_FLOAT_EQ(node.translation[0], 2.5f);
    animation.duration = 0.0f;
    animation.Evaluate(123.0f);
    EXPECT_TRUE(std::isfinite(node.translation[0]));
    EXPECT_FLOAT_EQ(node.translation[0], 0.0f);
    // A channel without keys leaves its target alone.
    node.translation[0] = 42.0f;
    animation.channels = {channel({}, {}, 3, ANIMATION_LINEAR, 0, &node)};
    animation.Evaluate(50.0f);
    EXPECT_FLOAT_EQ(node.translation[0], 42.0f);
}

// A two-joint chain: hip at the origin, spine 2 up whose rotation about z is animated 0 -> 90 degrees.
struct Chain {
    AnimationRig rig;
    SceneNode* hip = new SceneNode;
    SceneNode* spine = new SceneNode;

    explicit Chain(int jointCount = 2)
    {
        hip->name = "hip";
        spine->name = "spine";
        spine->translation[1] = 2.0f;
        spine->local = spine->rest = nodeLocalMatrix(spine->translation, spine->rotation, spine->scale);
        hip->children = {spine};
        spine->parent = hip;
        rig.nodes = {hip, spine};
        rig.roots = {hip};
        auto* skin = new Skin;
        for (int j = 0; j < jointCount; ++j) {
            skin->joints.push_back(j % 2 ? spine : hip);
            skin->inverseBindMatrices.push_back(j % 2 ? Matrix::Translation(0, -2, 0) : Matrix());
        }
        rig.skins = {skin};
        auto* animation = new Animation;
        animation->duration = 1.0f;
        animation->channels = {channel({0, 1}, {0, 0, 0, 1, 0, 0, 0.7071068f, 0.7071068f}, 4, ANIMATION_LINEAR, 1,
                                       spine)};
        animation->targets = {spine};
        rig.animations = {animation};
    }
};

TEST(AnimationRigPose, SkinningMatricesAreWorldTimesInverseBind)
{
    Chain chain;
    std::vector<Matrix> skinning;
    ASSERT_TRUE(chain.rig.Pose(100.0f, &skinning)); // the last key: 90 degrees
    ASSERT_EQ(skinning.size(), 2u);
    // A point at the spine's bind position stays; one 1 above it swings to -x.
    const Vector3 atJoint = skinning[1].TransformPoint({0, 2, 0});
    EXPECT_NEAR(atJoint.y, 2.0f, 1e-5f);
    const Vector3 above = skinning[1].TransformPoint({0, 3, 0});
    EXPECT_NEAR(above.x, -1.0f, 1e-5f);
    EXPECT_NEAR(above.y, 2.0f, 1e-5f);
    EXPECT_NEAR(chain.rig.boneMatrices[1].m[7], 2.0f, 1e-5f);
    // Posing again starts from rest: the result does not accumulate.
    ASSERT_TRUE(chain.rig.Pose(100.0f, &skinning));
    EXPECT_NEAR(skinning[1].TransformPoint({0, 3, 0}).x, -1.0f, 1e-5f);

    // No animation: nothing is posed.
    AnimationRig empty;
    empty.skins = {new Skin};
    EXPECT_FALSE(empty.Pose(0.0f, &skinning));
}

TEST(AnimationRigPose, JointsPastTheBlockAreCut)
{
    Chain chain(kSkinMaxJoints + 5);
    std::vector<Matrix> skinning;
    ASSERT_TRUE(chain.rig.Pose(0.0f, &skinning));
    EXPECT_EQ(skinning.size(), size_t(kSkinMaxJoints));
}

class SkinningTest : public GLTest {
protected:
    std::string oldBase = dataBasePath();
    void SetUp() override
    {
        GLTest::SetUp();
        dataSetBasePath(ENGINE_SOURCE_DIR "assets/");
        constBufferRingShutdown();
        ASSERT_TRUE(constBufferRingInit(1 << 20));
    }
    void TearDown() override
    {
        constBufferRingShutdown();
        dataSetBasePath(oldBase);
        GLTest::TearDown();
    }
};

std::vector<VertexAttribute> skinnedAttributes()
{
    VertexAttribute bones = builtinVertexAttributes[VERTEX_ATTRIBUTE_BONES_WEIGHTS];
    bones.componentType = 2;
    bones.componentCount = 8;
    return {builtinVertexAttributes[VERTEX_ATTRIBUTE_NORMALS], builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS],
            bones, {VERTEX_ATTRIBUTE_CUSTOM, 0, 3, "VTXCoordsCopy"}, {VERTEX_ATTRIBUTE_CUSTOM, 0, 3, "VTXNormalsCopy"}};
}

TEST_F(SkinningTest, GpuSkinningMatchesTheCpuReference)
{
    // 33 vertices: two work groups, the second with one vertex.
    constexpr uint32_t kVertices = 33;
    Object* object = entCreateObject(kVertices, 1, skinnedAttributes());
    ASSERT_NE(object, nullptr);
    Geometry* g = object->geometry;
    auto* copy = reinterpret_cast<float*>(g->FindAttributeBuffer("VTXCoordsCopy")->hostCopy);
    auto* normalCopy = reinterpret_cast<float*>(g->FindAttributeBuffer("VTXNormalsCopy")->hostCopy);
    auto* bones = reinterpret_cast<uint16_t*>(g->FindAttributeBuffer("VTXBonesWeights")->hostCopy);
    for (uint32_t i = 0; i < kVertices; ++i) {
        copy[3 * i + 0] = 0.1f * float(i % 5);
        copy[3 * i + 1] = 4.0f * float(i) / float(kVertices);
        copy[3 * i + 2] = 0.5f;
        normalCopy[3 * i] = 1.0f;
        const float upper = std::fmin(1.0f, copy[3 * i + 1] / 4.0f);
        const uint16_t w1 = uint16_t(upper * 65535.0f);
        const uint16_t w0 = uint16_t(65535 - w1);
        // Every fifth vertex also names joint 900, which the skin does not have.
        const uint16_t packed[8] = {0, w0, 1, w1, uint16_t(i % 5 == 0 ? 900 : 0), uint16_t(i % 5 == 0 ? 30000 : 0), 0, 0};
        std::memcpy(bones + 8 * i, packed, sizeof packed);
    }
    for (BufferObject* buffer : g->buffers)
        buffer->dirty = true;
    geomUpdate(g);

    Chain chain;
    object->rig = &chain.rig;
    ASSERT_TRUE(object->ApplySkinning(50.0f)); // halfway: 45 degrees
    std::vector<Matrix> skinning;
    ASSERT_TRUE(chain.rig.Pose(50.0f, &skinning));

    std::vector<float> gpu(3 * kVertices);
    glGetNamedBufferSubData(g->FindAttributeBuffer("VTXCoords")->glId, 0, GLsizeiptr(gpu.size() * 4), gpu.data());
    for (uint32_t i = 0; i < kVertices; ++i) {
        const Vector3 expected = skinPointReference({copy[3 * i], copy[3 * i + 1], copy[3 * i + 2]}, bones + 8 * i, skinning);
        EXPECT_NEAR(gpu[3 * i + 0], expected.x, 1e-4f) << i;
        EXPECT_NEAR(gpu[3 * i + 1], expected.y, 1e-4f) << i;
        EXPECT_NEAR(gpu[3 * i + 2], expected.z, 1e-4f) << i;
    }
    // The top vertex really moved (the bend is not a no-op).
    EXPECT_LT(gpu[3 * (kVertices - 1)], -0.5f);

    // A mesh without bone weights is left alone even with a rig.
    Object* plain = entCreateObject(3, 1, {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS]});
    ASSERT_NE(plain, nullptr);
    plain->rig = &chain.rig;
    EXPECT_FALSE(plain->ApplySkinning(50.0f));
    geomDelete(plain->geometry);
    delete plain;
    geomDelete(g);
    delete object;
}

} // namespace
