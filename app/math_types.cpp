#include "app/math_types.h"

#include "app/log.h"

#include <cmath>

namespace {

constexpr float kDegreesToRadians = 0.017453292f;

} // namespace

float Vector3::Length() const
{
    return std::sqrt(x * x + y * y + z * z);
}

Vector3 Vector3::Normalized() const
{
    const float length = Length();
    if (length == 0.0f)
        return *this;
    return *this * (1.0f / length);
}

void Vector3::RotateAroundAxis(const Vector3& a, float degrees)
{
    const float theta = static_cast<float>(degrees / 180.0 * M_PI);
    const float c = std::cos(theta);
    const float s = std::sin(theta);
    const float t = 1.0f - c;
    const Vector3 v = *this;
    x = (c + t * a.x * a.x) * v.x + (t * a.x * a.y - s * a.z) * v.y + (t * a.x * a.z + s * a.y) * v.z;
    y = (t * a.x * a.y + s * a.z) * v.x + (c + t * a.y * a.y) * v.y + (t * a.y * a.z - s * a.x) * v.z;
    z = (t * a.x * a.z - s * a.y) * v.x + (t * a.y * a.z + s * a.x) * v.y + (c + t * a.z * a.z) * v.z;
}

Matrix Matrix::Translation(float x, float y, float z)
{
    Matrix r;
    r.m[3] = x;
    r.m[7] = y;
    r.m[11] = z;
    return r;
}

Matrix Matrix::Scale(float x, float y, float z)
{
    Matrix r;
    r.m[0] = x;
    r.m[5] = y;
    r.m[10] = z;
    return r;
}

void Matrix::MultiplyTo(const Matrix& other, Matrix& out) const
{
    // Built in a temporary so out may be either operand.
    Matrix product;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k)
                sum += m[k * 4 + j] * other.m[i * 4 + k];
            product.m[i * 4 + j] = sum;
        }
    out = product;
}

Matrix Matrix::Multiply(const Matrix& other) const
{
    Matrix out;
    MultiplyTo(other, out);
    return out;
}

bool Matrix::InverseAffine(Matrix& out) const
{
    bool invertible = true;
    Matrix inv;
    for (int r = 0; r < 3; ++r) {
        const float lengthSq = m[r] * m[r] + m[r + 4] * m[r + 4] + m[r + 8] * m[r + 8];
        // A scale of 0 is a legitimate keyed value; collapse that axis instead of producing infinities.
        float k = 0.0f;
        if (lengthSq > 0.0f)
            k = 1.0f / lengthSq;
        else
            invertible = false;
        inv.m[r * 4 + 0] = k * m[r];
        inv.m[r * 4 + 1] = k * m[r + 4];
        inv.m[r * 4 + 2] = k * m[r + 8];
        inv.m[r * 4 + 3] = -(m[3] * inv.m[r * 4 + 0] + m[7] * inv.m[r * 4 + 1] + m[11] * inv.m[r * 4 + 2]);
    }
    out = inv;
    return invertible;
}

Matrix Matrix::InverseAffine() const
{
    Matrix out;
    InverseAffine(out);
    return out;
}

Matrix Matrix::Transposed() const
{
    Matrix t;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            t.m[c * 4 + r] = m[r * 4 + c];
    return t;
}

Matrix Matrix::FromEulerDegrees(float x, float y, float z)
{
    if (x == 0.0f && y == 0.0f && z == 0.0f)
        return Identity();
    const float ax = x * kDegreesToRadians, ay = y * kDegreesToRadians, az = z * kDegreesToRadians;
    const float cx = std::cos(ax), sx = std::sin(ax);
    const float cy = std::cos(ay), sy = std::sin(ay);
    const float cz = std::cos(az), sz = std::sin(az);
    Matrix r;
    r.m[0] = cy * cz + sy * sx * sz;
    r.m[1] = sy * sx * cz - cy * sz;
    r.m[2] = sy * cx;
    r.m[4] = cx * sz;
    r.m[5] = cx * cz;
    r.m[6] = -sx;
    r.m[8] = cy * sx * sz - sy * cz;
    r.m[9] = cy * sx * cz + sy * sz;
    r.m[10] = cy * cx;
    return r;
}

Vector3 Matrix::ToEulerDegrees() const
{
    // Unit columns; a zero column (scale 0) leaves that column as it is rather than dividing by zero.
    float r[9];
    for (int c = 0; c < 3; ++c) {
        const float len = std::sqrt(m[c] * m[c] + m[4 + c] * m[4 + c] + m[8 + c] * m[8 + c]);
        const float inv = len > 0.0f ? 1.0f / len : 1.0f;
        for (int row = 0; row < 3; ++row)
            r[row * 3 + c] = m[row * 4 + c] * inv;
    }
    // Ry * Rx * Rz: row 1 is (cx sz, cx cz, -sx), column 2 is (sy cx, -sx, cy cx).
    const float cx = std::sqrt(r[3] * r[3] + r[4] * r[4]);
    const float x = std::atan2(-r[5], cx);
    float y, z;
    if (cx > 1e-6f) {
        y = std::atan2(r[2], r[8]);
        z = std::atan2(r[3], r[4]);
    } else {
        // Gimbal lock: only y - z or y + z is defined; put it all in the yaw.
        z = 0.0f;
        y = std::atan2(-r[6], r[0]);
    }
    return {x / kDegreesToRadians, y / kDegreesToRadians, z / kDegreesToRadians};
}

Matrix Matrix::Orthographic(float l, float r, float b, float t, float n, float f)
{
    if (r == l || t == b || f == n) {
        LOG_ERROR("Orthographic projection with an empty box (%g..%g, %g..%g, %g..%g)", l, r, b, t, n, f);
        return Identity();
    }
    Matrix p;
    p.m[0] = 2.0f / (r - l);
    p.m[3] = -(l + r) / (r - l);
    p.m[5] = 2.0f / (t - b);
    p.m[7] = -(b + t) / (t - b);
    p.m[10] = 1.0f / (f - n);
    p.m[11] = -n / (f - n);
    return p;
}

Matrix Matrix::LookAt(const Vector3& eye, const Vector3& target, float rollDegrees)
{
    const Vector3 f = (target - eye).Normalized();
    if (f.x == 0.0f && f.y == 0.0f && f.z == 0.0f) {
        LOG_WARNING("LookAt with the eye on the target (%g, %g, %g)", eye.x, eye.y, eye.z);
        return Identity();
    }
    const float roll = rollDegrees * kDegreesToRadians;
    const Vector3 up0{std::sin(roll), std::cos(roll), 0.0f};
    Vector3 up = up0 - f * up0.Dot(f);
    // Looking (nearly) along the rolled up vector, as a light looking straight down does, leaves nothing to
    // build the frame from; the rolled side axis is perpendicular to it and gives the limit from positive roll.
    constexpr float kMinUpLengthSq = 1e-6f;
    if (up.Dot(up) < kMinUpLengthSq) {
        const Vector3 side0{std::cos(roll), -std::sin(roll), 0.0f};
        up = side0 - f * side0.Dot(f);
    }
    up = up.Normalized();
    const Vector3 s = up.Cross(f);
    Matrix v;
    v.m[0] = s.x, v.m[1] = s.y, v.m[2] = s.z;
    v.m[4] = up.x, v.m[5] = up.y, v.m[6] = up.z;
    v.m[8] = f.x, v.m[9] = f.y, v.m[10] = f.z;
    return v;
}

Vector3 Matrix::TransformPoint(const Vector3& p) const
{
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3], m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
        m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}

Vector3 Matrix::TransformDirection(const Vector3& d) const
{
    return {m[0] * d.x + m[1] * d.y + m[2] * d.z, m[4] * d.x + m[5] * d.y + m[6] * d.z,
        m[8] * d.x + m[9] * d.y + m[10] * d.z};
}

namespace ColorSpace {

namespace {

// D65 reference white on the 0..100 scale.
constexpr double kWhiteX = 95.047;
constexpr double kWhiteY = 100.0;
constexpr double kWhiteZ = 108.883;
// Below this the L*a*b* curve continues as a line instead of a cube root.
constexpr double kLabEpsilon = 0.008856;
constexpr double kLabSlope = 7.787;
constexpr double kLabOffset = 16.0 / 116.0;

double srgbToLinear(double channel)
{
    const double v = channel / 255.0;
    return v > 0.04045 ? std::pow((v + 0.055) / 1.055, 2.4) : v / 12.92;
}

double linearToSrgb(double v)
{
    return (v > 0.0031308 ? 1.055 * std::pow(v, 1.0 / 2.4) - 0.055 : 12.92 * v) * 255.0;
}

double labForward(double t)
{
    return t > kLabEpsilon ? std::cbrt(t) : kLabSlope * t + kLabOffset;
}

double labInverse(double t)
{
    const double cube = t * t * t;
    return cube > kLabEpsilon ? cube : (t - kLabOffset) / kLabSlope;
}

} // namespace

Xyz RgbToXyz(const Rgb& rgb)
{
    const double r = srgbToLinear(rgb.r) * 100.0;
    const double g = srgbToLinear(rgb.g) * 100.0;
    const double b = srgbToLinear(rgb.b) * 100.0;
    return {0.4124564 * r + 0.3575761 * g + 0.1804375 * b, 0.2126729 * r + 0.7151522 * g + 0.0721750 * b,
        0.0193339 * r + 0.1191920 * g + 0.9503041 * b};
}

Rgb XyzToRgb(const Xyz& xyz)
{
    const double x = xyz.x / 100.0, y = xyz.y / 100.0, z = xyz.z / 100.0;
    return {linearToSrgb(3.2404542 * x - 1.5371385 * y - 0.4985314 * z),
        linearToSrgb(-0.9692660 * x + 1.8760108 * y + 0.0415560 * z),
        linearToSrgb(0.0556434 * x - 0.2040259 * y + 1.0572252 * z)};
}

Lab RgbToLab(const Rgb& rgb)
{
    const Xyz xyz = RgbToXyz(rgb);
    const double fx = labForward(xyz.x / kWhiteX);
    const double fy = labForward(xyz.y / kWhiteY);
    const double fz = labForward(xyz.z / kWhiteZ);
    return {116.0 * fy - 16.0, 500.0 * (fx - fy), 200.0 * (fy - fz)};
}

Rgb LabToRgb(const Lab& lab)
{
    const double fy = (lab.L + 16.0) / 116.0;
    const double fx = lab.a / 500.0 + fy;
    const double fz = fy - lab.b / 200.0;
    return XyzToRgb({kWhiteX * labInverse(fx), kWhiteY * labInverse(fy), kWhiteZ * labInverse(fz)});
}

void IColorSpace::CopyTo(IColorSpace& other) const
{
    double c[3];
    GetComponents(c);
    other.SetComponents(c);
}

void Rgb::FromRgb(const Rgb& rgb)
{
    r = rgb.r, g = rgb.g, b = rgb.b;
}

void Rgb::ToRgb(Rgb& rgb) const
{
    rgb.r = r, rgb.g = g, rgb.b = b;
}

void Rgb::GetComponents(double out[3]) const
{
    out[0] = r, out[1] = g, out[2] = b;
}

void Rgb::SetComponents(const double in[3])
{
    r = in[0], g = in[1], b = in[2];
}

void Xyz::FromRgb(const Rgb& rgb)
{
    *this = RgbToXyz(rgb);
}

void Xyz::ToRgb(Rgb& rgb) const
{
    rgb = XyzToRgb(*this);
}

void Xyz::GetComponents(double out[3]) const
{
    out[0] = x, out[1] = y, out[2] = z;
}

void Xyz::SetComponents(const double in[3])
{
    x = in[0], y = in[1], z = in[2];
}

void Lab::FromRgb(const Rgb& rgb)
{
    *this = RgbToLab(rgb);
}

void Lab::ToRgb(Rgb& rgb) const
{
    rgb = LabToRgb(*this);
}

void Lab::GetComponents(double out[3]) const
{
    out[0] = L, out[1] = a, out[2] = b;
}

void Lab::SetComponents(const double in[3])
{
    L = in[0], a = in[1], b = in[2];
}

} // namespace ColorSpace
