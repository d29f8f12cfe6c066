#include "app/math_types.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

constexpr float kTol = 1e-5f;

::testing::AssertionResult vecNear(const Vector3& actual, const Vector3& expected, float tol = kTol)
{
    if (std::fabs(actual.x - expected.x) <= tol && std::fabs(actual.y - expected.y) <= tol &&
        std::fabs(actual.z - expected.z) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << actual.x << ", " << actual.y << ", " << actual.z << ") != ("
                                         << expected.x << ", " << expected.y << ", " << expected.z << ")";
}

::testing::AssertionResult matNear(const Matrix& actual, const Matrix& expected, float tol = kTol)
{
    for (int i = 0; i < 16; ++i)
        if (!(std::fabs(actual.m[i] - expected.m[i]) <= tol))
            return ::testing::AssertionFailure() << "element " << i << ": " << actual.m[i] << " != " << expected.m[i];
    return ::testing::AssertionSuccess();
}

Matrix fromRows(std::initializer_list<float> values)
{
    Matrix r;
    int i = 0;
    for (float v : values)
        r.m[i++] = v;
    return r;
}

Vector3 row(const Matrix& mat, int r)
{
    return {mat.m[r * 4], mat.m[r * 4 + 1], mat.m[r * 4 + 2]};
}

// The 3 x 3 part is a rotation: rows of unit length, pairwise perpendicular, right-handed; last row (0, 0, 0, 1).
::testing::AssertionResult isRotation(const Matrix& mat)
{
    for (int i = 0; i < 16; ++i)
        if (!std::isfinite(mat.m[i]))
            return ::testing::AssertionFailure() << "element " << i << " is not finite";
    const Vector3 r0 = row(mat, 0), r1 = row(mat, 1), r2 = row(mat, 2);
    const float checks[] = {r0.Dot(r0) - 1, r1.Dot(r1) - 1, r2.Dot(r2) - 1, r0.Dot(r1), r0.Dot(r2), r1.Dot(r2),
        r0.Cross(r1).Dot(r2) - 1, mat.m[3], mat.m[7], mat.m[11], mat.m[12], mat.m[13], mat.m[14], mat.m[15] - 1};
    for (float c : checks)
        if (std::fabs(c) > 1e-4f)
            return ::testing::AssertionFailure() << "not a rotation (deviation " << c << ")";
    return ::testing::AssertionSuccess();
}

} // namespace

// --- Matrix products -------------------------------------------------------------------------------------------

TEST(MathMatrix, MultiplyAppliesThisFirstThenOther)
{
    const Matrix t = Matrix::Translation(1, 2, 3);
    const Matrix s = Matrix::Scale(2, 2, 2);
    // Translate, then scale: the origin lands on (2, 4, 6).
    EXPECT_TRUE(vecNear(t.Multiply(s).TransformPoint({0, 0, 0}), {2, 4, 6}));
    // Scale, then translate: the origin lands on (1, 2, 3).
    EXPECT_TRUE(vecNear(s.Multiply(t).TransformPoint({0, 0, 0}), {1, 2, 3}));
}

TEST(MathMatrix, MultiplyMatchesHandComputedProduct)
{
    const Matrix a = fromRows({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    const Matrix b = fromRows({2, 0, 1, 0, 0, 1, 0, 3, 1, 0, 0, 0, 0, 2, 0, 1});
    // a.Multiply(b) is b * a in the usual row-by-column sense.
    const Matrix expected = fromRows({11, 14, 17, 20, 44, 48, 52, 56, 1, 2, 3, 4, 23, 26, 29, 32});
    EXPECT_TRUE(matNear(a.Multiply(b), expected));

    // The output may be either operand.
    Matrix intoThis = a;
    intoThis.MultiplyTo(b, intoThis);
    EXPECT_TRUE(matNear(intoThis, expected));
    Matrix intoOther = b;
    a.MultiplyTo(intoOther, intoOther);
    EXPECT_TRUE(matNear(intoOther, expected));
}

// --- Affine inverse ----------------------------------------------------------------------------------------------

TEST(MathMatrix, InverseAffineUndoesTransforms)
{
    struct Case {
        const char* name;
        Matrix m;
    };
    const Matrix rotation = Matrix::FromEulerDegrees(30, -45, 120);
    const Case cases[] = {
        {"identity", Matrix::Identity()},
        {"translation * uniform scale", Matrix::Scale(2, 2, 2).Multiply(Matrix::Translation(1, 2, 3))},
        {"rotation", rotation},
        {"T * R * non-uniform S",
            Matrix::Scale(0.5f, 3, 7).Multiply(rotation).Multiply(Matrix::Translation(-4, 5, 0.25f))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Matrix inv;
        EXPECT_TRUE(c.m.InverseAffine(inv));
        EXPECT_TRUE(matNear(inv.Multiply(c.m), Matrix::Identity(), 1e-5f));
        EXPECT_TRUE(matNear(c.m.Multiply(inv), Matrix::Identity(), 1e-5f));
        const Vector3 p{0.3f, -2, 9};
        EXPECT_TRUE(vecNear(inv.TransformPoint(c.m.TransformPoint(p)), p, 1e-4f));
    }
}

TEST(MathMatrix, InverseAffineOfTranslateScaleMapsTranslationToOrigin)
{
    const Matrix ts = Matrix::Scale(2, 2, 2).Multiply(Matrix::Translation(1, 2, 3)); // T(1, 2, 3) * S(2, 2, 2)
    EXPECT_TRUE(vecNear(ts.InverseAffine().TransformPoint({1, 2, 3}), {0, 0, 0}));

    // In place.
    Matrix m = ts;
    m.InverseAffine(m);
    EXPECT_TRUE(matNear(m, ts.InverseAffine()));
}

TEST(MathMatrix, InverseAffineOfZeroScaleStaysFinite)
{
    const Matrix flat = Matrix::Scale(1, 0, 2).Multiply(Matrix::Translation(1, 2, 3));
    Matrix inv;
    EXPECT_FALSE(flat.InverseAffine(inv));
    for (float v : inv.m)
        EXPECT_TRUE(std::isfinite(v));
    // The axes that do have a length are still inverted.
    EXPECT_TRUE(vecNear(inv.TransformPoint(flat.TransformPoint({5, 7, 9})), {5, 0, 9}));
}

// --- Euler rotations ---------------------------------------------------------------------------------------------

TEST(MathMatrix, FromEulerDegreesAxes)
{
    struct Case {
        Vector3 angles, in, out;
    };
    const Case cases[] = {
        {{0, 0, 0}, {0.3f, -1, 2}, {0.3f, -1, 2}},
        {{0, 90, 0}, {0, 0, 1}, {1, 0, 0}},   // yaw about y
        {{90, 0, 0}, {0, 0, 1}, {0, -1, 0}},  // pitch about x
        {{0, 0, 90}, {1, 0, 0}, {0, 1, 0}},   // roll about z
        {{0, 180, 0}, {1, 0, 0}, {-1, 0, 0}},
        {{90, 90, 0}, {0, 0, 1}, {0, -1, 0}}, // pitch first puts z on -y, which yaw leaves alone
        {{0, 90, 90}, {1, 0, 0}, {0, 1, 0}},  // roll first puts x on y, which yaw leaves alone
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "angles " << c.angles.x << ", " << c.angles.y << ", " << c.angles.z);
        const Matrix r = Matrix::FromEulerDegrees(c.angles.x, c.angles.y, c.angles.z);
        EXPECT_TRUE(isRotation(r));
        EXPECT_TRUE(vecNear(r.TransformPoint(c.in), c.out));
    }
    // Zero angles give the identity exactly.
    const Matrix id = Matrix::FromEulerDegrees(0, 0, 0);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(id.m[i], Matrix::Identity().m[i]);
}

TEST(MathMatrix, FromEulerDegreesRollsThenPitchesThenYaws)
{
    const float x = 25, y = -70, z = 140;
    const Matrix rx = Matrix::FromEulerDegrees(x, 0, 0);
    const Matrix ry = Matrix::FromEulerDegrees(0, y, 0);
    const Matrix rz = Matrix::FromEulerDegrees(0, 0, z);
    EXPECT_TRUE(matNear(Matrix::FromEulerDegrees(x, y, z), rz.Multiply(rx).Multiply(ry)));
}

// --- Projection --------------------------------------------------------------------------------------------------

TEST(MathMatrix, OrthographicMapsBoxToClipVolume)
{
    struct Case {
        float l, r, b, t, n, f;
    };
    const Case cases[] = {{-1, 1, -1, 1, 0, 10}, {0, 1920, 1080, 0, -1, 1}, {-5, 3, 2, 6, 0.5f, 200}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.l << " " << c.r << " " << c.b << " " << c.t << " " << c.n << " " << c.f);
        const Matrix p = Matrix::Orthographic(c.l, c.r, c.b, c.t, c.n, c.f);
        EXPECT_TRUE(vecNear(p.TransformPoint({c.l, c.b, c.n}), {-1, -1, 0}));
        EXPECT_TRUE(vecNear(p.TransformPoint({c.r, c.t, c.f}), {1, 1, 1}));
        EXPECT_TRUE(vecNear(p.TransformPoint({(c.l + c.r) / 2, (c.b + c.t) / 2, (c.n + c.f) / 2}), {0, 0, 0.5f}));
        EXPECT_EQ(p.m[15], 1.0f);
        EXPECT_EQ(p.m[14], 0.0f);
    }
}

TEST(MathMatrix, OrthographicOfEmptyBoxIsIdentity)
{
    EXPECT_TRUE(matNear(Matrix::Orthographic(1, 1, -1, 1, 0, 10), Matrix::Identity()));
    EXPECT_TRUE(matNear(Matrix::Orthographic(-1, 1, -1, 1, 5, 5), Matrix::Identity()));
}

// --- LookAt ------------------------------------------------------------------------------------------------------

TEST(MathMatrix, LookAtKnownFrames)
{
    // Looking along +z with no roll is the identity; a roll of 90 turns the up vector onto +x.
    EXPECT_TRUE(matNear(Matrix::LookAt({0, 0, 0}, {0, 0, 5}, 0), Matrix::Identity()));
    const Matrix rolled = Matrix::LookAt({1, 1, 1}, {1, 1, 2}, 90);
    EXPECT_TRUE(vecNear(row(rolled, 0), {0, -1, 0}));
    EXPECT_TRUE(vecNear(row(rolled, 1), {1, 0, 0}));
    EXPECT_TRUE(vecNear(row(rolled, 2), {0, 0, 1}));
}

TEST(MathMatrix, LookAtIsOrthonormalInEveryDirection)
{
    struct Case {
        const char* name;
        Vector3 eye, target;
        float roll;
    };
    const Case cases[] = {
        {"oblique", {1, 2, 3}, {-4, 0, 8}, 0},
        {"oblique rolled", {1, 2, 3}, {-4, 0, 8}, 33},
        {"light straight down", {0, 10, 0}, {0, 0, 0}, 0},
        {"straight up", {0, 0, 0}, {0, 10, 0}, 0},
        {"down, rolled half a turn", {2, 10, 2}, {2, -5, 2}, 180},
        {"along +x rolled onto it", {0, 0, 0}, {3, 0, 0}, 90},
        {"along -x rolled onto it", {0, 0, 0}, {-3, 0, 0}, -90},
        {"almost straight down", {0, 10, 0}, {1e-5f, 0, 0}, 0},
        {"slightly off straight down", {0, 10, 0}, {0.05f, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Matrix view = Matrix::LookAt(c.eye, c.target, c.roll);
        EXPECT_TRUE(isRotation(view));
        const Vector3 forward = (c.target - c.eye).Normalized();
        EXPECT_TRUE(vecNear(row(view, 2), forward));
        EXPECT_TRUE(vecNear(view.TransformDirection(forward), {0, 0, 1}, 1e-4f));
    }
}

TEST(MathMatrix, LookAtStraightDownMatchesSlightlyRolledFrame)
{
    // The fallback up vector continues the frame a small positive roll gives, so a light looking straight down
    // does not flip when its roll crosses 0.
    const Matrix down = Matrix::LookAt({0, 10, 0}, {0, 0, 0}, 0);
    const Matrix rolled = Matrix::LookAt({0, 10, 0}, {0, 0, 0}, 1);
    EXPECT_TRUE(matNear(down, rolled, 1e-4f));
}

TEST(MathMatrix, LookAtEyeOnTargetIsIdentity)
{
    EXPECT_TRUE(matNear(Matrix::LookAt({1, 2, 3}, {1, 2, 3}, 45), Matrix::Identity()));
}

// --- Vector3 -----------------------------------------------------------------------------------------------------

TEST(MathVector3, Normalized)
{
    struct Case {
        Vector3 in, out;
    };
    const Case cases[] = {
        {{0, 0, 0}, {0, 0, 0}},
        {{3, 4, 0}, {0.6f, 0.8f, 0}},
        {{0, 0, -2}, {0, 0, -1}},
        {{1e-30f, 0, 0}, {1e-30f, 0, 0}}, // length underflows to 0: returned unchanged
        {{1, 1, 1}, {0.57735027f, 0.57735027f, 0.57735027f}},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(vecNear(c.in.Normalized(), c.out)) << c.in.x << ", " << c.in.y << ", " << c.in.z;
}

TEST(MathVector3, RotateAroundAxis)
{
    const float d = 0.57735027f;
    struct Case {
        Vector3 v, axis;
        float degrees;
        Vector3 out;
    };
    const Case cases[] = {
        {{1, 0, 0}, {0, 0, 1}, 90, {0, 1, 0}}, // counter-clockwise seen from +z
        {{0, 1, 0}, {1, 0, 0}, 90, {0, 0, 1}},
        {{1, 0, 0}, {0, 1, 0}, 90, {0, 0, -1}},
        {{1, 0, 0}, {0, 0, 1}, -90, {0, -1, 0}},
        {{1, 0, 0}, {d, d, d}, 120, {0, 1, 0}}, // a third of a turn about the diagonal cycles the axes
        {{2, 2, 2}, {d, d, d}, 77, {2, 2, 2}},  // a vector on the axis stays put
        {{0, 3, 0}, {0, 0, 1}, 360, {0, 3, 0}},
    };
    for (const Case& c : cases) {
        Vector3 v = c.v;
        v.RotateAroundAxis(c.axis, c.degrees);
        EXPECT_TRUE(vecNear(v, c.out, 1e-5f)) << c.degrees << " degrees";
    }
}

TEST(MathVector3, RotateAroundAxisAgreesWithEulerYaw)
{
    for (float degrees : {-135.0f, -10.0f, 33.0f, 90.0f, 271.0f}) {
        Vector3 v{0.4f, -1.5f, 2.25f};
        const Vector3 expected = Matrix::FromEulerDegrees(0, degrees, 0).TransformPoint(v);
        v.RotateAroundAxis({0, 1, 0}, degrees);
        EXPECT_TRUE(vecNear(v, expected)) << degrees;
    }
}

// --- Colour spaces -----------------------------------------------------------------------------------------------

namespace {

struct ColorRef {
    const char* name;
    ColorSpace::Rgb rgb;
    ColorSpace::Xyz xyz;
    ColorSpace::Lab lab;
};

// Reference sRGB (D65) values as published, to two decimals.
const ColorRef kColorRefs[] = {
    {"white", {255, 255, 255}, {95.047, 100.0, 108.883}, {100.0, 0.0, 0.0}},
    {"black", {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
    {"red", {255, 0, 0}, {41.246, 21.267, 1.933}, {53.24, 80.09, 67.20}},
    {"green", {0, 255, 0}, {35.758, 71.515, 11.919}, {87.73, -86.18, 83.18}},
    {"blue", {0, 0, 255}, {18.044, 7.218, 95.030}, {32.30, 79.19, -107.86}},
    {"grey 128", {128, 128, 128}, {20.517, 21.586, 23.504}, {53.59, 0.0, 0.0}},
};

} // namespace

TEST(MathColorSpace, ConvertsToReferenceValues)
{
    for (const ColorRef& c : kColorRefs) {
        SCOPED_TRACE(c.name);
        const ColorSpace::Xyz xyz = ColorSpace::RgbToXyz(c.rgb);
        EXPECT_NEAR(xyz.x, c.xyz.x, 0.005);
        EXPECT_NEAR(xyz.y, c.xyz.y, 0.005);
        EXPECT_NEAR(xyz.z, c.xyz.z, 0.005);
        const ColorSpace::Lab lab = ColorSpace::RgbToLab(c.rgb);
        EXPECT_NEAR(lab.L, c.lab.L, 0.01);
        EXPECT_NEAR(lab.a, c.lab.a, 0.01);
        EXPECT_NEAR(lab.b, c.lab.b, 0.01);

        const ColorSpace::Rgb fromXyz = ColorSpace::XyzToRgb(c.xyz);
        const ColorSpace::Rgb fromLab = ColorSpace::LabToRgb(c.lab);
        // The references are rounded, and near 0 the curve is steep: a loose bound here, the round trips are exact.
        for (const ColorSpace::Rgb& back : {fromXyz, fromLab}) {
            EXPECT_NEAR(back.r, c.rgb.r, 0.2);
            EXPECT_NEAR(back.g, c.rgb.g, 0.2);
            EXPECT_NEAR(back.b, c.rgb.b, 0.2);
        }
    }
}

TEST(MathColorSpace, RoundTripsThroughEverySpace)
{
    // Includes the 0..1 colours gradients feed in, which stay on the linear parts of both curves.
    const ColorSpace::Rgb colours[] = {{1, 2, 3}, {10, 200, 30}, {255, 128, 0}, {64, 64, 250}, {0.2, 0.5, 1.0},
        {0.0, 0.01, 0.99}, {254.9, 0.1, 99.5}};
    ColorSpace::Rgb plain;
    ColorSpace::Xyz xyz;
    ColorSpace::Lab lab;
    ColorSpace::IColorSpace* spaces[] = {&plain, &xyz, &lab};
    for (const ColorSpace::Rgb& in : colours) {
        for (ColorSpace::IColorSpace* space : spaces) {
            SCOPED_TRACE(::testing::Message() << in.r << ", " << in.g << ", " << in.b);
            space->FromRgb(in);
            ColorSpace::Rgb out;
            space->ToRgb(out);
            EXPECT_NEAR(out.r, in.r, 1e-3);
            EXPECT_NEAR(out.g, in.g, 1e-3);
            EXPECT_NEAR(out.b, in.b, 1e-3);
        }
    }
}

TEST(MathColorSpace, OutOfGamutIsNotClamped)
{
    // A green more saturated than sRGB can show.
    const ColorSpace::Rgb rgb = ColorSpace::LabToRgb({90, -100, 100});
    EXPECT_LT(rgb.r, -100.0);
    EXPECT_GT(rgb.g, 255.0);
    EXPECT_LT(rgb.b, 0.0);
    // Channels beyond 255 give a lightness beyond 100.
    const ColorSpace::Lab lab = ColorSpace::RgbToLab({300, 300, 300});
    EXPECT_GT(lab.L, 100.0);
}

TEST(MathColorSpace, CopyToMovesComponentsUnchanged)
{
    const ColorSpace::Lab lab(50, 20, -30);
    ColorSpace::Rgb rgb;
    lab.CopyTo(rgb);
    EXPECT_EQ(rgb.r, 50.0);
    EXPECT_EQ(rgb.g, 20.0);
    EXPECT_EQ(rgb.b, -30.0);

    ColorSpace::Xyz xyz;
    rgb.CopyTo(xyz);
    EXPECT_EQ(xyz.x, 50.0);
    EXPECT_EQ(xyz.y, 20.0);
    EXPECT_EQ(xyz.z, -30.0);
}
