// The engine's 4 x 4 matrix, three-float vector and the sRGB / CIE XYZ / CIE L*a*b* colour conversions.
// All angles are in degrees.
#pragma once

#include <type_traits>

struct Vector3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    // Unit-length copy; a zero vector comes back unchanged.
    Vector3 Normalized() const;
    // Rotates this vector in place about a unit axis (Rodrigues); a positive angle turns counter-clockwise when
    // looking down the axis toward the origin.
    void RotateAroundAxis(const Vector3& axis, float degrees);

    float Dot(const Vector3& o) const { return x * o.x + y * o.y + z * o.z; }
    Vector3 Cross(const Vector3& o) const { return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x}; }
    float Length() const;

    Vector3 operator+(const Vector3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    Vector3 operator-(const Vector3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    Vector3 operator*(float s) const { return {x * s, y * s, z * s}; }
};

// Rows stored one after another, points are column vectors: p' = M * p, so an affine transform keeps its
// translation in m[3], m[7], m[11] and its last row is (0, 0, 0, 1). Default-constructed as the identity.
struct Matrix {
    float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

    static Matrix Identity() { return Matrix{}; }
    static Matrix Translation(float x, float y, float z);
    static Matrix Scale(float x, float y, float z);

    // out = other * this: this transform acts first, then other. out may alias either operand.
    void MultiplyTo(const Matrix& other, Matrix& out) const;
    Matrix Multiply(const Matrix& other) const;

    // Inverse of rotation * per-axis scale plus translation (no skew). out may alias this matrix. A column of
    // zero length (a scale of 0) cannot be inverted: that axis maps to 0 and false is returned, so the result
    // stays finite.
    bool InverseAffine(Matrix& out) const;
    Matrix InverseAffine() const;

    Matrix Transposed() const;

    // Ry(y) * Rx(x) * Rz(z): roll about z first, then pitch about x, then yaw about y.
    static Matrix FromEulerDegrees(float x, float y, float z);
    // The angles FromEulerDegrees takes back from the rotation part (columns normalised first, so a per-axis scale
    // does not matter). Pitch is kept within +-90 degrees; at +-90 the roll folds into the yaw.
    Vector3 ToEulerDegrees() const;
    // Depth maps near to 0 and far to 1 (the 0..1 clip range). An empty box logs an error and gives the identity.
    static Matrix Orthographic(float left, float right, float bottom, float top, float nearPlane, float farPlane);
    // Rotation-only view matrix whose rows are (side, up, forward): the view looks along +z. The eye position is
    // not applied. Looking along the rolled up vector picks another up vector instead of degenerating; eye equal
    // to target logs a warning and gives the identity.
    static Matrix LookAt(const Vector3& eye, const Vector3& target, float rollDegrees);

    // M * (p, 1) and M * (d, 0), without any perspective divide.
    Vector3 TransformPoint(const Vector3& p) const;
    Vector3 TransformDirection(const Vector3& d) const;
};

// Uploaded as-is into shader blocks.
static_assert(sizeof(Matrix) == 16 * sizeof(float) && std::is_standard_layout_v<Matrix>);
static_assert(sizeof(Vector3) == 3 * sizeof(float));

namespace ColorSpace {

struct Rgb;

// Three doubles in some colour space. No value is ever clamped: out-of-gamut colours convert to components
// outside their nominal range.
class IColorSpace {
public:
    virtual ~IColorSpace() = default;
    // Sets this colour from an sRGB colour.
    virtual void FromRgb(const Rgb& rgb) = 0;
    // Converts this colour to sRGB.
    virtual void ToRgb(Rgb& rgb) const = 0;
    // Copies the three components into another colour object unchanged, whatever its space.
    void CopyTo(IColorSpace& other) const;

protected:
    IColorSpace() = default;
    IColorSpace(const IColorSpace&) = default;
    IColorSpace& operator=(const IColorSpace&) = default;

    virtual void GetComponents(double out[3]) const = 0;
    virtual void SetComponents(const double in[3]) = 0;
};

// sRGB with channels on the 0..255 scale.
struct Rgb final : IColorSpace {
    double r = 0.0;
    double g = 0.0;
    double b = 0.0;

    Rgb() = default;
    Rgb(double r_, double g_, double b_) : r(r_), g(g_), b(b_) {}
    void FromRgb(const Rgb& rgb) override;
    void ToRgb(Rgb& rgb) const override;

protected:
    void GetComponents(double out[3]) const override;
    void SetComponents(const double in[3]) override;
};

// CIE XYZ on the 0..100 scale, D65 white.
struct Xyz final : IColorSpace {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    Xyz() = default;
    Xyz(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}
    void FromRgb(const Rgb& rgb) override;
    void ToRgb(Rgb& rgb) const override;

protected:
    void GetComponents(double out[3]) const override;
    void SetComponents(const double in[3]) override;
};

// CIE L*a*b* relative to D65.
struct Lab final : IColorSpace {
    double L = 0.0;
    double a = 0.0;
    double b = 0.0;

    Lab() = default;
    Lab(double L_, double a_, double b_) : L(L_), a(a_), b(b_) {}
    void FromRgb(const Rgb& rgb) override;
    void ToRgb(Rgb& rgb) const override;

protected:
    void GetComponents(double out[3]) const override;
    void SetComponents(const double in[3]) override;
};

Xyz RgbToXyz(const Rgb& rgb);
Rgb XyzToRgb(const Xyz& xyz);
Lab RgbToLab(const Rgb& rgb);
Rgb LabToRgb(const Lab& lab);

} // namespace ColorSpace
