#include "render/selection_bounds.h"

#include "project_test_util.h"
#include "render/entities.h"

#include <gtest/gtest.h>

namespace {

class Selectable : public projtest::TestComponentBase {
public:
    explicit Selectable(const std::string& name) : TestComponentBase(9, name) {}
};

class SelectionBounds : public ::testing::Test {
protected:
    void SetUp() override { selectedBoundsMap.clear(); }
    void TearDown() override { selectedBoundsMap.clear(); }
};

} // namespace

TEST_F(SelectionBounds, OnlySelectedComponentsRegisterAndTheLastRegistrationWins)
{
    Selectable a("a"), b("b");
    const float unit[6] = {-1, -1, -1, 1, 1, 1};
    const float wide[6] = {-5, 0, 0, 5, 1, 2};
    Camera camera;

    // Not selected: nothing, however often its callback runs.
    for (int i = 0; i < 3; ++i)
        RegisterSelectedBounds(&a, nullptr, Matrix(), Matrix(), unit, SelectedBoundsKind::Box);
    EXPECT_TRUE(selectedBoundsMap.empty());

    a.selected = b.selected = true;
    RegisterSelectedBounds(&a, nullptr, Matrix::Translation(1, 0, 0), Matrix(), unit, SelectedBoundsKind::Box);
    // Once per pass: the values of the last registration stay.
    RegisterSelectedBounds(&a, &camera, Matrix::Translation(2, 0, 0), Matrix::Scale(3, 3, 3), wide,
                           SelectedBoundsKind::Cone);
    RegisterSelectedBounds(&b, nullptr, Matrix(), Matrix(), nullptr, SelectedBoundsKind::Circles);
    ASSERT_EQ(selectedBoundsMap.size(), 2u);
    const SelectedBounds& entry = selectedBoundsMap.at(static_cast<uint32_t>(a.id));
    EXPECT_EQ(entry.camera, &camera);
    EXPECT_EQ(entry.local.m[3], 2.0f);
    EXPECT_EQ(entry.world.m[0], 3.0f);
    EXPECT_EQ(entry.kind, SelectedBoundsKind::Cone);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(entry.box[i], wide[i]) << i;
    // No box given: an empty one.
    for (float v : selectedBoundsMap.at(static_cast<uint32_t>(b.id)).box)
        EXPECT_EQ(v, 0.0f);

    // Deselecting keeps the entry until the viewport clears the map; a null component is ignored.
    a.selected = false;
    RegisterSelectedBounds(&a, nullptr, Matrix(), Matrix(), unit, SelectedBoundsKind::Box);
    RegisterSelectedBounds(nullptr, nullptr, Matrix(), Matrix(), unit, SelectedBoundsKind::Box);
    EXPECT_EQ(selectedBoundsMap.size(), 2u);
    EXPECT_EQ(selectedBoundsMap.at(static_cast<uint32_t>(a.id)).kind, SelectedBoundsKind::Cone);
}
