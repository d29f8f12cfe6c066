#include "app/data_files.h"
#include "project/curves.h"
#include "project/cvars.h"
#include "project/project.h"

#include "project_test_util.h"
#include "test_helpers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <memory>

using nlohmann::json;
using projtest::LogCapture;
using testutil::readFile;
using testutil::TempDir;
using testutil::writeFile;

namespace {

// A detached branch for one test, the way a component keeps its own.
struct Branch {
    std::unique_ptr<CvarTreeNode> node;
    explicit Branch(const std::string& name = "branch") : node(std::make_unique<CvarTreeNode>(name, nullptr)) {}
    CvarTreeNode* operator->() { return node.get(); }
    CvarTreeNode* get() { return node.get(); }
};

// A tree-owned placeholder as the loader makes them.
Cvar* placeholder(CvarTreeNode* node, const std::string& name, float v0, float v1 = 0, float v2 = 0, float v3 = 0)
{
    std::string text = json{{"branch_name", node->name},
                            {"variables",
                             {{{"name", name},
                               {"type", CvarType::Color},
                               {"value", {{"r", v0}, {"g", v1}, {"b", v2}, {"a", v3}}}}}}}
                           .dump();
    EXPECT_NE(CvarTreeLoadFromJson(text, CvarScope::Node, node), nullptr);
    for (Cvar* c : node->cvars)
        if (c->name == name)
            return c;
    return nullptr;
}

class CvarTree : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(cvarTreeCurrentBranch, &cvarTreeRoot); }
    void TearDown() override { EXPECT_EQ(cvarTreeCurrentBranch, &cvarTreeRoot) << "a test left the current branch"; }
};

} // namespace

// ---- Registration and take-over ----

TEST_F(CvarTree, TakeOverPerTypeFromAStoredColour)
{
    struct Case {
        const char* what;
        void (*reg)(Cvar*, CvarTreeNode*);
        int32_t type;
        float expect[4];
        float min, max;
    };
    const Case cases[] = {
        {"float keeps the stored value unclamped",
         [](Cvar* c, CvarTreeNode* n) { CvarTreeRegisterFloat(c, "v", 0.5f, 0, 1, CvarScope::Node, n); },
         CvarType::Float, {2.7f, 0, 0, 0}, 0, 1},
        {"int truncates toward zero",
         [](Cvar* c, CvarTreeNode* n) { CvarTreeRegisterInt(c, "v", 9, CvarScope::Node, n); }, CvarType::Int,
         {2, 0, 0, 0}, 0, 0},
        {"bool", [](Cvar* c, CvarTreeNode* n) { CvarTreeRegisterBool(c, "v", 0, CvarScope::Node, n); },
         CvarType::Bool, {2.7f, 0, 0, 0}, 0, 1},
        {"colour takes all four",
         [](Cvar* c, CvarTreeNode* n) { CvarTreeRegisterColor(c, "v", 0, 0, 0, 0, CvarScope::Node, n); },
         CvarType::Color, {2.7f, 0.25f, 0.5f, 0.75f}, 0, 0},
        {"vec3 takes the first three",
         [](Cvar* c, CvarTreeNode* n) { CvarTreeRegisterVec3(c, "v", 9, 9, 9, CvarScope::Node, n); },
         CvarType::Vec3, {2.7f, 0.25f, 0.5f, 0}, 0, 0},
        {"vec2 takes the first two",
         [](Cvar* c, CvarTreeNode* n) { CvarTreeRegisterVec2(c, "v", 9, 9, CvarScope::Node, n); }, CvarType::Vec2,
         {2.7f, 0.25f, 0, 0}, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Branch b;
        Cvar* stored = placeholder(b.get(), "v", 2.7f, 0.25f, 0.5f, 0.75f);
        ASSERT_NE(stored, nullptr);
        EXPECT_TRUE(stored->unclaimed);
        Cvar mine;
        k.reg(&mine, b.get());
        EXPECT_EQ(mine.type, k.type);
        for (int i = 0; i < 4; ++i)
            EXPECT_FLOAT_EQ(mine.value[i], k.expect[i]) << i;
        EXPECT_EQ(mine.min, k.min);
        EXPECT_EQ(mine.max, k.max);
        EXPECT_FALSE(mine.unclaimed);
        ASSERT_EQ(b->cvars.size(), 1u);
        EXPECT_EQ(b->cvars[0], &mine);
    }
}

TEST_F(CvarTree, IntTakeOverTruncatesNegativeTowardZero)
{
    Branch b;
    placeholder(b.get(), "n", -2.7f);
    Cvar n;
    CvarTreeRegisterInt(&n, "n", 0, CvarScope::Node, b.get());
    EXPECT_EQ(n.value[0], -2.0f);
}

TEST_F(CvarTree, DefaultsWithoutStoredValueAndOwnerFlagsKept)
{
    Branch b;
    Cvar text, res;
    text.uuid = 77;
    text.animatable = true;
    text.readOnly = true;
    CvarTreeRegisterText(&text, "t", "hello", CvarScope::Node, b.get());
    CvarTreeRegisterResource(&res, "r", "env_texture::default", ResourceType::Envmap, CvarScope::Node, b.get());
    EXPECT_EQ(text.text, "hello");
    EXPECT_EQ(text.uuid, 77u);
    EXPECT_TRUE(text.animatable);
    EXPECT_TRUE(text.readOnly);
    EXPECT_EQ(res.text, "env_texture::default");
    EXPECT_EQ(res.resourceType, ResourceType::Envmap);
    EXPECT_EQ(CvarTreeCollect(b.get(), -1), (std::vector<Cvar*>{&text, &res}));
}

TEST_F(CvarTree, SecondOwnerTakesOverAndFirstOwnersCvarSurvives)
{
    Branch b;
    Cvar first, second;
    CvarTreeRegisterFloat(&first, "x", 3.0f, 0, 10, CvarScope::Node, b.get());
    CvarTreeRegisterFloat(&second, "x", 1.0f, 0, 10, CvarScope::Node, b.get());
    EXPECT_EQ(second.value[0], 3.0f);
    ASSERT_EQ(b->cvars.size(), 1u);
    EXPECT_EQ(b->cvars[0], &second);
    EXPECT_EQ(first.name, "x"); // not destroyed, only forgotten

    // Registering the same object again keeps its value and moves it to the end.
    Cvar other;
    CvarTreeRegisterFloat(&other, "y", 0, 0, 1, CvarScope::Node, b.get());
    second.value[0] = 4.0f;
    CvarTreeRegisterFloat(&second, "x", 1.0f, 0, 10, CvarScope::Node, b.get());
    EXPECT_EQ(second.value[0], 4.0f);
    EXPECT_EQ(b->cvars, (std::vector<Cvar*>{&other, &second}));
}

TEST_F(CvarTree, DuplicateNamesOnlyFirstIsTakenOver)
{
    Branch b;
    Cvar a, c;
    a.value[0] = 1;
    c.value[0] = 2;
    a.name = c.name = "dup";
    b->cvars = {&a, &c};
    Cvar mine;
    CvarTreeRegisterFloat(&mine, "dup", 0, 0, 1, CvarScope::Node, b.get());
    EXPECT_EQ(mine.value[0], 1.0f);
    EXPECT_EQ(b->cvars, (std::vector<Cvar*>{&c, &mine}));
}

TEST_F(CvarTree, ButtonLandsInCurrentBranchAndTakesNothing)
{
    Branch b;
    placeholder(b.get(), "press", 5.0f);
    cvarTreeCurrentBranch = b.get();
    Cvar button;
    CvarTreeRegisterButton(&button, "press");
    CvarTreePopBranch();
    EXPECT_EQ(button.type, CvarType::Button);
    EXPECT_EQ(button.value[0], 0.0f);
    EXPECT_EQ(button.max, 1.0f);
    EXPECT_EQ(b->cvars, (std::vector<Cvar*>{&button}));
}

TEST_F(CvarTree, EnumTakeOverIsClampedToTheOptionTable)
{
    static const char* const options[] = {"a", "b", "c", nullptr};
    for (float stored : {7.0f, -3.0f, 1.9f}) {
        Branch b;
        placeholder(b.get(), "mode", stored);
        Cvar mode;
        CvarTreeRegisterEnum(&mode, "mode", options, 0, CvarScope::Node, b.get());
        EXPECT_GE(mode.value[0], 0.0f) << stored;
        EXPECT_LE(mode.value[0], 2.0f) << stored;
        EXPECT_EQ(mode.enumOptions, options);
    }
    // Loading into an existing Enum cvar clamps as well.
    Branch b;
    Cvar mode;
    CvarTreeRegisterEnum(&mode, "mode", options, 1, CvarScope::Node, b.get());
    CvarTreeLoadFromJson(R"({"branch_name":"branch","variables":[{"name":"mode","type":6,"value":{"v":99}}]})",
                         CvarScope::Node, b.get());
    EXPECT_EQ(mode.value[0], 2.0f);
}

TEST_F(CvarTree, CurveTakeOverAdoptsTheStoredCurve)
{
    Branch b;
    CvarTreeLoadFromJson(
        R"({"branch_name":"branch","variables":[{"name":"falloff","type":7,"value":{"interpolation":0,"keys":[{"x":0,"y":1},{"x":1,"y":0}]}}]})",
        CvarScope::Node, b.get());
    Curve own;
    Cvar falloff;
    CvarTreeRegisterCurve(&falloff, "falloff", &own, CvarScope::Node, b.get());
    ASSERT_NE(falloff.curve, nullptr);
    EXPECT_NE(falloff.curve, &own);
    EXPECT_EQ(falloff.curve->interpolation, 0);
    EXPECT_EQ(falloff.curve->points.size(), 2u);
}

std::vector<Cvar*> destroyedCvars;
void recordDestroyed(Cvar* c) { destroyedCvars.push_back(c); }

TEST_F(CvarTree, DestroyedPlaceholdersAreAnnounced)
{
    // Tracks and selections keyed by a cvar listen here, so they can drop it with the cvar.
    destroyedCvars.clear();
    CvarAddDestroyedListener(&recordDestroyed);
    {
        Branch b;
        Cvar* stored = placeholder(b.get(), "gone", 1.0f);
        Cvar mine;
        CvarTreeRegisterColor(&mine, "gone", 0, 0, 0, 0, CvarScope::Node, b.get());
        ASSERT_EQ(destroyedCvars.size(), 1u);
        EXPECT_EQ(destroyedCvars[0], stored);
        CvarTreeNode* child = new CvarTreeNode("child", b.get());
        b->children.push_back(child);
        Cvar* orphan = placeholder(child, "orphan", 1.0f);
        CvarTreeRemoveUnclaimed(b.get());
        ASSERT_EQ(destroyedCvars.size(), 2u);
        EXPECT_EQ(destroyedCvars[1], orphan);
    }
    CvarRemoveDestroyedListener(&recordDestroyed);
    const size_t seen = destroyedCvars.size();
    { Cvar temporary; }
    EXPECT_EQ(destroyedCvars.size(), seen);
}

TEST_F(CvarTree, ScopesPushAndPop)
{
    LogCapture log;
    CvarTreeNode* a = CvarTreePushBranch("test_push_a");
    EXPECT_EQ(CvarTreePushBranch("inner")->parent, a);
    EXPECT_EQ(CvarTreePopBranch(), a);
    EXPECT_EQ(CvarTreePopBranch(), &cvarTreeRoot);
    EXPECT_EQ(CvarTreePushBranch("test_push_a"), a); // found again, not duplicated
    CvarTreePopBranch();
    EXPECT_EQ(CvarTreeFindBranch("test_push_a", CvarScope::Root), a);
    EXPECT_EQ(CvarTreeFindBranch("inner", CvarScope::Node, a), a->children[0]);
    EXPECT_EQ(CvarTreeFindBranch("inner", CvarScope::Node, nullptr), nullptr);

    // Popping a detached branch returns to the root silently; popping the root warns and stays.
    Branch detached;
    cvarTreeCurrentBranch = detached.get();
    EXPECT_EQ(CvarTreePopBranch(), &cvarTreeRoot);
    EXPECT_FALSE(log.contains("Reached tree root node"));
    EXPECT_EQ(CvarTreePopBranch(), &cvarTreeRoot);
    EXPECT_TRUE(log.contains("Reached tree root node. Can not go to parent"));

    auto& children = cvarTreeRoot.children;
    children.erase(std::remove(children.begin(), children.end(), a), children.end());
    delete a;
}

TEST_F(CvarTree, FindByUuidCollectAndRemoveUnclaimed)
{
    Branch b;
    Cvar a, bb, c;
    a.uuid = 5;
    CvarTreeRegisterFloat(&a, "A", 0, 0, 1, CvarScope::Node, b.get());
    CvarTreeRegisterInt(&bb, "B", 0, CvarScope::Node, b.get());
    auto* child = new CvarTreeNode("child", b.get());
    b->children.push_back(child);
    c.uuid = 9;
    CvarTreeRegisterFloat(&c, "C", 0, 0, 1, CvarScope::Node, child);

    EXPECT_EQ(CvarTreeFindByUuid(9, b.get()), &c);
    EXPECT_EQ(CvarTreeFindByUuid(0, b.get()), &bb); // the first without a uuid
    EXPECT_EQ(CvarTreeFindByUuid(1, b.get()), nullptr);
    EXPECT_EQ(CvarTreeCollect(b.get(), -1), (std::vector<Cvar*>{&a, &bb, &c}));
    EXPECT_EQ(CvarTreeCollect(b.get(), CvarType::Int), (std::vector<Cvar*>{&bb}));

    // A child holding only placeholders goes; one that keeps a grandchild stays.
    auto* onlyPlaceholders = new CvarTreeNode("p", b.get());
    b->children.push_back(onlyPlaceholders);
    placeholder(onlyPlaceholders, "x", 1);
    auto* keeps = new CvarTreeNode("k", b.get());
    b->children.push_back(keeps);
    auto* grandchild = new CvarTreeNode("g", keeps);
    keeps->children.push_back(grandchild);
    Cvar kept;
    CvarTreeRegisterFloat(&kept, "kept", 0, 0, 1, CvarScope::Node, grandchild);
    placeholder(b.get(), "stale", 1);
    CvarTreeRemoveUnclaimed(b.get());
    EXPECT_EQ(b->children, (std::vector<CvarTreeNode*>{child, keeps}));
    EXPECT_EQ(b->cvars, (std::vector<Cvar*>{&a, &bb}));
}

TEST_F(CvarTree, FindOwnerWalksUpToTheComponent)
{
    Branch b;
    auto* fakeOwner = reinterpret_cast<EngineComponent*>(0x1000);
    b->owner = fakeOwner;
    auto* child = new CvarTreeNode("child", b.get());
    b->children.push_back(child);
    EXPECT_EQ(CvarTreeNode::FindOwner(child), fakeOwner);
    EXPECT_EQ(CvarTreeNode::FindOwner(&cvarTreeRoot), nullptr);
}

// ---- The JSON form ----

TEST_F(CvarTree, ColourText)
{
    float rgba[4] = {1, 0, 0, 0.5f};
    EXPECT_EQ(CvarColorToText(rgba), "#ff00007f");
    CvarColorFromText("#ff000080", rgba);
    EXPECT_FLOAT_EQ(rgba[3], 128.0f / 255.0f);
    float partial[4] = {9, 9, 9, 9};
    CvarColorFromText("#ff", partial);
    EXPECT_EQ(partial[0], 1.0f);
    EXPECT_EQ(partial[1], 0.0f);
    float wild[4] = {-1, 7, NAN, 0};
    EXPECT_EQ(CvarColorToText(wild), "#00ff0000");
    // Every byte value survives a read and a write.
    for (int k = 0; k < 256; ++k) {
        char text[16];
        std::snprintf(text, sizeof(text), "#%02x%02x%02x%02x", k, k, 255 - k, k);
        float c[4];
        CvarColorFromText(text, c);
        ASSERT_EQ(CvarColorToText(c), text);
    }
}

TEST_F(CvarTree, EveryTypeRoundTripsThroughText)
{
    Branch b("component");
    b->color[0] = 1;
    b->color[3] = 0.5f;
    Cvar f, i, button, color, v3, e, curve, material, boolean, res, v2, text, hidden;
    static const char* const options[] = {"one", "two", nullptr};
    Curve steps;
    steps.points = {{0, 0}, {0.5f, 0.1f}, {1, 1}};
    steps.interpolation = 2;
    f.uuid = 123456789012345ull;
    f.graph_exposed = true;
    CvarTreeRegisterFloat(&f, "f", 0.1f, 0, 1, CvarScope::Node, b.get());
    CvarTreeRegisterInt(&i, "i", 3, CvarScope::Node, b.get());
    cvarTreeCurrentBranch = b.get();
    CvarTreeRegisterButton(&button, "button");
    CvarTreePopBranch();
    CvarTreeRegisterColor(&color, "color", 0.1f, 0.2f, 0.3f, 0.4f, CvarScope::Node, b.get());
    CvarTreeRegisterVec3(&v3, "v3", -1, 1e-7f, 3e8f, CvarScope::Node, b.get());
    CvarTreeRegisterEnum(&e, "e", options, 1, CvarScope::Node, b.get());
    CvarTreeRegisterCurve(&curve, "curve", &steps, CvarScope::Node, b.get());
    CvarTreeRegisterMaterial(&material, "material", nullptr, CvarScope::Node, b.get());
    material.materialName = "flat";
    CvarTreeRegisterBool(&boolean, "bool", 1, CvarScope::Node, b.get());
    CvarTreeRegisterResource(&res, "res", "sky", ResourceType::Envmap, CvarScope::Node, b.get());
    CvarTreeRegisterVec2(&v2, "v2", 0.25f, 0.75f, CvarScope::Node, b.get());
    CvarTreeRegisterText(&text, "text", "\"quoted\"\n\xc3\xa9", CvarScope::Node, b.get());
    hidden.readOnly = true;
    CvarTreeRegisterFloat(&hidden, "hidden", 1, 0, 1, CvarScope::Node, b.get());
    auto* child = new CvarTreeNode("child", b.get());
    b->children.push_back(child);
    child->open = false;
    auto* unsaved = new CvarTreeNode("unsaved", b.get());
    unsaved->save = false;
    b->children.push_back(unsaved);

    const std::string saved = CvarTreeToJson(b.get());
    const json j = json::parse(saved);
    EXPECT_EQ(j["color"], "#ff00007f");
    EXPECT_EQ(j["children"].size(), 1u); // "unsaved" left out with its subtree
    EXPECT_FALSE(j["children"][0].contains("variables"));
    EXPECT_FALSE(j["children"][0].contains("children"));
    EXPECT_EQ(j["variables"].size(), 12u); // the read-only one is not written
    EXPECT_EQ(j["variables"][0]["value"]["v"].get<double>(), static_cast<double>(0.1f));
    EXPECT_NE(saved.find("0.10000000149011612"), std::string::npos);
    EXPECT_EQ(j["variables"][1]["value"]["v"].dump(), "3.0");
    EXPECT_FALSE(j["variables"][2].contains("value")); // Button
    EXPECT_FALSE(j["variables"][1].contains("uuid"));
    EXPECT_FALSE(j["variables"][1].contains("graph_exposed"));
    EXPECT_EQ(j["variables"][0]["uuid"].get<uint64_t>(), 123456789012345ull);
    // Keys in byte order, indent 4.
    EXPECT_EQ(saved.rfind("{\n    \"branch_name\": \"component\",\n    \"children\"", 0), 0u) << saved;

    // Into a fresh branch: everything but the Button becomes a placeholder that reads back to the same text.
    Branch again("component");
    ASSERT_EQ(CvarTreeLoadFromJson(saved, CvarScope::Node, again.get()), again.get());
    json withoutButton = j;
    withoutButton["variables"].erase(2);
    EXPECT_EQ(json::parse(CvarTreeToJson(again.get())), withoutButton);
    EXPECT_EQ(again->cvars.size(), 11u);
    for (Cvar* c : again->cvars)
        EXPECT_TRUE(c->unclaimed && c->ownedByTree) << c->name;

    // Into the registered branch: values land in the existing cvars.
    f.value[0] = 9;
    color.value[2] = 9;
    e.value[0] = 0;
    text.text = "changed";
    f.uuid = 0;
    ASSERT_EQ(CvarTreeLoadFromJson(saved, CvarScope::Node, b.get()), b.get());
    EXPECT_EQ(f.value[0], 0.1f);
    EXPECT_EQ(f.uuid, 123456789012345ull);
    EXPECT_EQ(color.value[2], 0.3f);
    EXPECT_EQ(e.value[0], 1.0f);
    EXPECT_EQ(text.text, "\"quoted\"\n\xc3\xa9");
    ASSERT_NE(curve.curve, &steps);
    EXPECT_EQ(curve.curve->points.size(), 3u);
    EXPECT_EQ(CvarTreeToJson(b.get()), saved);
}

// Channels an animation wrote in the current frame are saved with their registered or loaded value; the others,
// and every channel once a frame passes without the animation, with the value itself.
TEST_F(CvarTree, AnimatedChannelsSaveTheirRestValue)
{
    Branch branch;
    Cvar position, speed;
    CvarTreeRegisterVec3(&position, "position", 1, 2, 3, CvarScope::Node, branch.get());
    CvarTreeRegisterFloat(&speed, "speed", 0.5f, 0, 10, CvarScope::Node, branch.get());
    ASSERT_NE(CvarTreeLoadFromJson(R"({"branch_name": "branch", "variables": [
        {"name": "speed", "type": 0, "value": {"v": 4.0}}]})", CvarScope::Node, branch.get()), nullptr);
    const uint32_t savedFrame = cvarAnimationFrame;
    auto saved = [&] { return CvarTreeToJsonValue(branch.get())["variables"]; };

    cvarAnimationFrame = 41;
    position.value[0] = 9.0f; // the user's own edit: kept
    position.value[1] = 7.0f;
    CvarMarkDriven(&position, 0x2u); // y driven by a linked value
    speed.value[0] = 8.0f;
    CvarMarkDriven(&speed, 0xFu); // keyed
    json v = saved();
    EXPECT_EQ(v[0]["value"], (json{{"x", 9.0}, {"y", 2.0}, {"z", 3.0}}));
    EXPECT_EQ(v[1]["value"], (json{{"v", 4.0}})) << "the loaded value, not the animated one";

    // Another project played since: this project's last frame still drove those channels.
    Project played;
    played.animationFrame = 41;
    Project* const shown = currentProject;
    currentProject = &played;
    cvarAnimationFrame = 90;
    EXPECT_EQ(saved()[1]["value"], (json{{"v", 4.0}}));
    currentProject = shown;

    cvarAnimationFrame = 42; // a frame without the animation: the values are the user's again
    v = saved();
    EXPECT_EQ(v[0]["value"], (json{{"x", 9.0}, {"y", 7.0}, {"z", 3.0}}));
    EXPECT_EQ(v[1]["value"], (json{{"v", 8.0}}));
    cvarAnimationFrame = savedFrame;
}

TEST_F(CvarTree, LoadEdgeCases)
{
    Branch b("node");
    Cvar i, button, mismatched;
    CvarTreeRegisterInt(&i, "i", 0, CvarScope::Node, b.get());
    cvarTreeCurrentBranch = b.get();
    CvarTreeRegisterButton(&button, "button");
    CvarTreePopBranch();
    CvarTreeRegisterFloat(&mismatched, "m", 0, 0, 1, CvarScope::Node, b.get());
    i.uuid = 44;
    LogCapture log;
    CvarTreeLoadFromJson(R"({"branch_name":"node","variables":[
        {"name":"i","type":1,"value":{"v":2.9}},
        {"name":"p","type":1,"value":{"v":2.9}},
        {"name":"button","type":2,"uuid":7,"graph_exposed":true},
        {"name":"newbutton","type":2},
        {"name":"m","type":5,"value":{"x":4,"y":5,"z":6}},
        {"name":"odd","type":3}]})",
                         CvarScope::Node, b.get());
    EXPECT_FLOAT_EQ(i.value[0], 2.9f); // an existing Int takes the stored float as it is
    EXPECT_EQ(i.uuid, 0u);             // no "uuid" resets it
    Cvar* p = b->cvars.back();
    EXPECT_EQ(p->name, "p");
    EXPECT_EQ(p->value[0], 2.0f);
    EXPECT_EQ(button.uuid, 7u);
    EXPECT_TRUE(button.graph_exposed);
    EXPECT_EQ(b->cvars.size(), 4u); // no cvar for the new Button or for code 3
    EXPECT_TRUE(log.contains("Mismatch loaded variable type 5 vs existing 0 for variable m"));
    EXPECT_EQ(mismatched.value[1], 5.0f);
    EXPECT_FALSE(b->open); // "open" missing reads as false

    // A different top-level name goes into a child of that name, at every depth.
    CvarTreeNode* got = CvarTreeLoadFromJson(
        R"({"branch_name":"other","children":[{"branch_name":"other"}]})", CvarScope::Node, b.get());
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->parent, b.get());
    EXPECT_EQ(got->name, "other");
    ASSERT_EQ(got->children.size(), 1u);
    EXPECT_EQ(got->children[0]->name, "other");
    // Merging the same text again creates nothing new.
    CvarTreeLoadFromJson(R"({"branch_name":"other","children":[{"branch_name":"other"}]})", CvarScope::Node, b.get());
    EXPECT_EQ(b->children.size(), 1u);
    EXPECT_EQ(got->children.size(), 1u);
}

TEST_F(CvarTree, LoadingKeepsTheCurrentBranch)
{
    // A merge that enters child branches used to leave the current branch there, so registrations that follow
    // (such as "fx_cam_time" into "globals") went astray.
    Branch b("comp");
    cvarTreeCurrentBranch = b.get();
    CvarTreeLoadFromJson(R"({"branch_name":"comp","children":[{"branch_name":"sub","children":[{"branch_name":"x"}]}]})",
                         CvarScope::Node, b.get());
    EXPECT_EQ(cvarTreeCurrentBranch, b.get());
    CvarTreePopBranch();
}

TEST_F(CvarTree, MalformedTextIsReportedAndMergesNothing)
{
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"{\n\"branch_name\": \"b\",\n\"open\": tru }", "line 3"},
        {R"({"open": true})", "branch_name"},
        {R"({"branch_name":"b","variables":[{"name":"x","type":0,"value":{"v":"1"}}]})", "/variables/0"},
        {R"({"branch_name":"b","variables":[{"name":"x","type":"0"}]})", "type"},
        {R"({"branch_name":"b","children":[{"branch_name":"c","variables":[{"name":"y","type":4,"value":{"r":1}}]}]})",
         "/children/0/variables/0"},
        {R"({"branch_name":"b","variables":[{"name":"c","type":7,"value":{"keys":[{"x":0}],"interpolation":1}}]})",
         "curve key"},
        {R"({"branch_name":"b","variables":[{"name":"x","type":0,"uuid":-4,"value":{"v":1}}]})", "uuid"},
        {"[1,2]", "not an object"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        Branch b("b");
        LogCapture log;
        EXPECT_EQ(CvarTreeLoadFromJson(k.text, CvarScope::Node, b.get()), nullptr);
        EXPECT_TRUE(b->cvars.empty());
        EXPECT_TRUE(b->children.empty());
        EXPECT_TRUE(log.contains(k.message)) << log.text();
    }
    // Deep nesting is refused rather than recursed into.
    std::string deep;
    for (int n = 0; n < 5000; ++n)
        deep += R"({"branch_name":"d","children":[)";
    deep += R"({"branch_name":"d"})";
    for (int n = 0; n < 5000; ++n)
        deep += "]}";
    Branch b("d");
    EXPECT_EQ(CvarTreeLoadFromJson(deep, CvarScope::Node, b.get()), nullptr);
}

class CvarFiles : public CvarTree {
protected:
    TempDir dir{"cvarfiles"};
    std::string oldBase = dataBasePath();
    // What tests before this one left in the root (the layer compositor's "globals" outlives its test) is put
    // aside, so the files read and written here see only their own branches, and comes back afterwards.
    std::vector<CvarTreeNode*> savedChildren;
    std::vector<Cvar*> savedCvars;
    void SetUp() override
    {
        CvarTree::SetUp();
        dataSetBasePath(dir.str());
        savedChildren.swap(cvarTreeRoot.children);
        savedCvars.swap(cvarTreeRoot.cvars);
    }
    void TearDown() override
    {
        dataSetBasePath(oldBase);
        for (CvarTreeNode* child : cvarTreeRoot.children)
            delete child;
        cvarTreeRoot.children.clear();
        for (Cvar* c : cvarTreeRoot.cvars)
            if (c->ownedByTree)
                delete c;
        cvarTreeRoot.cvars.clear();
        cvarTreeRoot.children.swap(savedChildren);
        cvarTreeRoot.cvars.swap(savedCvars);
        CvarTree::TearDown();
    }
};

TEST_F(CvarFiles, VariablesFileRoundTripsByteForByte)
{
    const std::string fixture = readFile(std::string(TEST_DATA_DIR) + "projects/roundtrip/variables.json");
    ASSERT_FALSE(fixture.empty());
    writeFile(dir.path() / "projects/p/variables.json", fixture);
    // The layer compositor registers its globals before the file is read; the stored values land in its cvars
    // and the values nobody registered stay as placeholders, written back too.
    Cvar exposure;
    CvarTreeNode* globals = CvarTreePushBranch("globals");
    CvarTreeRegisterFloat(&exposure, "exposure", 1.0f, 0, 4);
    CvarTreePopBranch();
    ASSERT_TRUE(CvarTreeLoad("projects/p/variables.json"));
    EXPECT_FLOAT_EQ(exposure.value[0], 1.5f);
    ASSERT_TRUE(CvarTreeSave(&cvarTreeRoot, "projects/p/variables.json"));
    EXPECT_EQ(readFile(dir.path() / "projects/p/variables.json"), fixture);
    auto& cvars = globals->cvars;
    cvars.erase(std::remove(cvars.begin(), cvars.end(), &exposure), cvars.end());
}

TEST_F(CvarFiles, UnreadableFileIsReportedAndNeverOverwritten)
{
    const std::string broken = "{\n    \"branch_name\": \"\",\n    \"children\": [\n        {\"branch_name\": }\n]}";
    writeFile(dir.path() / "projects/p/variables.json", broken);
    LogCapture log;
    EXPECT_FALSE(CvarTreeLoad("projects/p/variables.json"));
    EXPECT_TRUE(log.contains("variables.json>: line 4")) << log.text();
    EXPECT_FALSE(CvarTreeSave(&cvarTreeRoot, "projects/p/variables.json"));
    EXPECT_EQ(readFile(dir.path() / "projects/p/variables.json"), broken);
    EXPECT_TRUE(log.contains("Saving cvar tree node <> to <"));

    // A missing file leaves the tree alone.
    EXPECT_FALSE(CvarTreeLoad("projects/none/variables.json"));
    EXPECT_TRUE(log.contains("Failed to load cvar file <projects/none/variables.json>"));

    // Once the file is mended, it loads and saves again.
    writeFile(dir.path() / "projects/p/variables.json", R"({"branch_name": ""})");
    EXPECT_TRUE(CvarTreeLoad("projects/p/variables.json"));
    EXPECT_TRUE(CvarTreeSave(&cvarTreeRoot, "projects/p/variables.json"));
}

TEST_F(CvarFiles, SavePaths)
{
    Branch b("b");
    // Absolute paths (with a drive colon, or a leading slash) are used as they are.
    const std::string absolute = (dir.path() / "abs.json").string();
    ASSERT_EQ(absolute[0], '/');
    EXPECT_TRUE(CvarTreeSave(b.get(), absolute));
    EXPECT_EQ(json::parse(readFile(absolute))["branch_name"], "b");
    EXPECT_TRUE(CvarTreeSave(b.get(), "relative.json"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "relative.json"));
    // A branch that is not saved writes an empty file.
    b->save = false;
    EXPECT_TRUE(CvarTreeSave(b.get(), "relative.json"));
    EXPECT_EQ(readFile(dir.path() / "relative.json"), "");
    // A folder that does not exist: logged, false, nothing left behind.
    LogCapture log;
    EXPECT_FALSE(CvarTreeSave(b.get(), "missing/dir/x.json"));
    EXPECT_TRUE(log.contains("Failed to open file. Aborting"));
}

// ---- Curves ----

TEST(Curves, Evaluation)
{
    auto make = [](std::vector<CurvePoint> points, int code) {
        Curve c;
        c.points = std::move(points);
        c.interpolation = code;
        return c;
    };
    struct Case {
        Curve curve;
        float t, expect;
    };
    const Curve linear = make({{0, 0}, {1, 1}}, 1);
    const Curve steps = make({{0, 0}, {0.5f, 1}, {1, 2}}, 0);
    const Curve cubic = make({{0, 0}, {1, 1}}, 2);
    const Case cases[] = {
        {linear, 0.25f, 0.25f}, {linear, 2, 1},      {linear, -1, -1},  {steps, 0.5f, 0},
        {steps, 0.6f, 1},       {steps, 1, 1},       {steps, 1.5f, 2},  {steps, -1, 0},
        {cubic, 0.5f, 0.5f},    {make({}, 5), 2, -4}, {make({}, 4), -1, 1}, {make({}, 3), 7, 7},
        {make({{0, 3}}, 1), 9, 3}, {make({{0, 1}, {1, 2}}, 17), 0.5f, 0},
        // Two points on one x, and no points at all, stay finite; the step at that x already has the right
        // point's value.
        {make({{0, 1}, {0, 2}, {1, 3}}, 1), 0, 2}, {make({}, 1), 0.5f, 0},
    };
    for (const Case& k : cases)
        EXPECT_FLOAT_EQ(k.curve.Evaluate(k.t), k.expect) << "t=" << k.t << " code=" << k.curve.interpolation;
    const Curve four = make({{0, 0}, {1, 1}, {2, 0}, {3, 1}}, 2);
    EXPECT_FLOAT_EQ(four.Evaluate(1.0f), 1.0f);
    EXPECT_TRUE(std::isfinite(make({{0, 1}, {0, 2}}, 2).Evaluate(-1)));
}

TEST(Curves, Json)
{
    Curve c;
    c.points = {{0.1f, 2}, {0.5f, -1}};
    c.interpolation = 2;
    const json j = Curve::ToJson(c);
    EXPECT_EQ(j.dump(), R"({"interpolation":2,"keys":[{"x":0.10000000149011612,"y":2.0},{"x":0.5,"y":-1.0}]})");
    EXPECT_EQ(Curve::CheckJson(j), "");
    EXPECT_EQ(Curve::FromJson(j), c);
    // No keys: the flat curve, whatever the interpolation says.
    Curve flat = Curve::FromJson(json{{"interpolation", 4}});
    EXPECT_EQ(flat.points.size(), 2u);
    EXPECT_EQ(flat.points[1].x, 1.0f);
    EXPECT_EQ(flat.points[1].y, 0.0f);
    EXPECT_EQ(flat.interpolation, 1);
    EXPECT_EQ(flat.row, -1);
    EXPECT_NE(Curve::CheckJson(json{{"keys", json::array()}}), "");
    EXPECT_NE(Curve::CheckJson(json{{"keys", 3}, {"interpolation", 1}}), "");
}

// A stored value beyond float range is clamped with a line naming the file, and the saved file loads again to the
// same bytes (unclamped it would be saved as null and the next start would refuse the file).
TEST_F(CvarFiles, ValuesBeyondFloatRangeAreClampedWithALine)
{
    const std::string fixture = readFile(std::string(TEST_DATA_DIR) + "projects/roundtrip/variables.json");
    for (const std::string value : {"1e308", "-1e308", "1e39"}) {
        SCOPED_TRACE(value);
        const std::string text = fixture.substr(0, fixture.find("\"v\": 1.5")) + "\"v\": " + value +
                                 fixture.substr(fixture.find("\"v\": 1.5") + 8);
        writeFile(dir.path() / "projects/p/variables.json", text);
        LogCapture log;
        ASSERT_TRUE(CvarTreeLoad("projects/p/variables.json"));
        EXPECT_TRUE(log.contains("projects/p/variables.json>: " + json::parse(value).dump() +
                                 " is beyond the range of a float"))
            << log.text();
        ASSERT_TRUE(CvarTreeSave(&cvarTreeRoot, "projects/p/variables.json"));
        const std::string saved = readFile(dir.path() / "projects/p/variables.json");
        EXPECT_NE(saved.find(value[0] == '-' ? "-3.4028234663852886e+38" : " 3.4028234663852886e+38"),
                  std::string::npos);
        ASSERT_TRUE(CvarTreeLoad("projects/p/variables.json"));
        ASSERT_TRUE(CvarTreeSave(&cvarTreeRoot, "projects/p/variables.json"));
        EXPECT_EQ(readFile(dir.path() / "projects/p/variables.json"), saved);
    }
}

// The timeline drives every project's keyed parameters each frame; one whose project was last shown some frames ago
// still saves its rest value, not the value the timeline gave it since.
TEST(CvarSavedValues, ADriveAfterTheProjectsLastShownFrameSavesTheRestValue)
{
    Project* saved = currentProject;
    Project* project = projCreate("saved_values");
    projSetCurrent(project);
    {
        Cvar cvar;
        CvarTreeNode branch("saved_values", nullptr);
        CvarTreeRegisterFloat(&cvar, "v", 1.0f, 0.0f, 10.0f, CvarScope::Node, &branch);
        project->animationFrame = ++cvarAnimationFrame;
        cvar.value[0] = 2.0f;
        CvarMarkDriven(&cvar, 1u);
        EXPECT_FLOAT_EQ(CvarSavedValue(&cvar, 0), 1.0f);
        ++cvarAnimationFrame; // another project shown; this one's keys still applied
        cvar.value[0] = 3.0f;
        CvarMarkDriven(&cvar, 1u);
        EXPECT_FLOAT_EQ(CvarSavedValue(&cvar, 0), 1.0f);
        ++cvarAnimationFrame; // an edit with no drive since the last shown frame is saved as edited
        cvar.drivenFrame = 0;
        cvar.value[0] = 4.0f;
        EXPECT_FLOAT_EQ(CvarSavedValue(&cvar, 0), 4.0f);
    }
    projSetCurrent(saved);
    projDestroy(project);
}
