// Colour gradients: resources of kind 19 shared by every project, stored under "gradient_resources" in the
// "global" project's "resources.json", evaluated as a CIE L*a*b* spline and baked into "ColorGradientTexture".
#pragma once

#include "app/math_types.h"
#include "project/resources.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Texture;

struct GradientMark {
    float red = 0.0f;
    float green = 0.0f;
    float blue = 0.0f;
    float alpha = 1.0f;
    float position = 0.0f;
};

namespace GradientInterpolation {
enum : int32_t { Linear = 0, LABSpline = 1 };
}

struct Gradient {
    std::vector<GradientMark> marks; // ascending position
    int32_t interpolation = GradientInterpolation::Linear;
    int32_t row = -1; // "ColorGradientTexture" row; -1 until baked
};

// Kind 19. The gradient belongs to the shared set, not to the record's store.
struct GradientResource : Resource {
    Gradient* gradient = nullptr;
    GradientResource(std::string name, Gradient* gradient)
        : Resource(ResourceType::Gradient, std::move(name)), gradient(gradient)
    {
    }
};

struct GradientColor {
    float red = 0.0f;
    float green = 0.0f;
    float blue = 0.0f;
    float alpha = 1.0f;
};

class GradientEvaluator {
public:
    virtual ~GradientEvaluator() = default;
    virtual GradientColor Evaluate(float t, const Gradient& gradient) const = 0;
};

class GradientCieLABCurveEvaluator : public GradientEvaluator {
public:
    GradientColor Evaluate(float t, const Gradient& gradient) const override;
};

// The L*a*b* spline over any list of marks (the editor's gradients keep theirs elsewhere): markAt(i) gives mark i
// as a GradientMark, in ascending position. Colour through the marks' red, green and blue; alpha is the first
// mark's. Marks at equal positions give a flat tangent there instead of a division by zero.
template <typename MarkAt>
GradientColor gradientLabSpline(size_t count, MarkAt markAt, float t)
{
    t = t > 0.0f ? (t < 1.0f ? t : 1.0f) : 0.0f; // NaN reads as 0
    if (count == 0)
        return {0.0f, 0.0f, 0.0f, 1.0f};
    // below: greatest position < t; above: smallest position >= t; the first found wins among equals.
    size_t below = count, above = count;
    for (size_t i = 0; i < count; ++i) {
        const float p = markAt(i).position;
        if (p < t) {
            if (below == count || p > markAt(below).position)
                below = i;
        } else if (p >= t) {
            if (above == count || p < markAt(above).position)
                above = i;
        }
    }
    if (above == count)
        above = below;
    if (below == count)
        below = above;
    const float alpha = markAt(0).alpha;
    if (below == count) // no mark has a usable position
        below = above = 0;
    const GradientMark p1 = markAt(below);
    if (below == above)
        return {p1.red, p1.green, p1.blue, alpha};

    const GradientMark p2 = markAt(above);
    GradientMark p0 = markAt(0);
    p0.position = -0.1f;
    if (below > 0)
        p0 = markAt(below - 1);
    GradientMark p3 = markAt(count - 1);
    p3.position = 1.1f;
    if (above + 1 < count)
        p3 = markAt(above + 1);

    auto lab = [](const GradientMark& m) { return ColorSpace::RgbToLab(ColorSpace::Rgb(m.red, m.green, m.blue)); };
    const ColorSpace::Lab l0 = lab(p0), l1 = lab(p1), l2 = lab(p2), l3 = lab(p3);
    // Centripetal knots; a gap that is not positive (equal or unordered positions) counts as 0.
    auto gap = [](float from, float to) {
        const float d = to - from;
        return d > 0.0f ? std::sqrt(d) : 0.0f;
    };
    const float t0 = 0.0f;
    const float t1 = t0 + gap(p0.position, p1.position);
    const float t2 = t1 + gap(p1.position, p2.position);
    const float t3 = t2 + gap(p2.position, p3.position);
    auto slope = [](float dc, float dt) { return dt > 0.0f ? dc / dt : 0.0f; };
    const float u = (t - p1.position) / (p2.position - p1.position);
    auto segment = [&](double c0d, double c1d, double c2d, double c3d) {
        const float c0 = static_cast<float>(c0d), c1 = static_cast<float>(c1d), c2 = static_cast<float>(c2d),
                    c3 = static_cast<float>(c3d);
        const float m1 = (slope(c1 - c0, t1 - t0) - slope(c2 - c0, t2 - t0) + slope(c2 - c1, t2 - t1)) * (t2 - t1);
        const float m2 = (slope(c2 - c1, t2 - t1) - slope(c3 - c1, t3 - t1) + slope(c3 - c2, t3 - t2)) * (t2 - t1);
        return (2.0f * c1 - 2.0f * c2 + m1 + m2) * u * u * u + (-3.0f * c1 + 3.0f * c2 - 2.0f * m1 - m2) * u * u +
               m1 * u + c1;
    };
    const ColorSpace::Lab out(segment(l0.L, l1.L, l2.L, l3.L), segment(l0.a, l1.a, l2.a, l3.a),
                              segment(l0.b, l1.b, l2.b, l3.b));
    const ColorSpace::Rgb rgb = ColorSpace::LabToRgb(out);
    return {static_cast<float>(rgb.r), static_cast<float>(rgb.g), static_cast<float>(rgb.b), alpha};
}

// ---- The shared set ----
// One record per name for the whole process; every project's store holds the same records, so an edit made
// while any project is current is the one that is saved.

// The shared record of that name, or null.
GradientResource* gradientsFind(const std::string& name);
// A new gradient (one opaque white mark at 0) entered in the shared set and in every project's store and the
// current store; null (after a log line) when the name is taken in the set.
GradientResource* gradientsAdd(const std::string& name);
// Takes the gradient out of the set, every project's store and the current store, and frees it. False when the
// set has no such name.
bool gradientsRemove(const std::string& name);
// Gives the shared record a new name in the set and in every store that holds it. Refused (false, after a log
// line) for an empty name, an unknown record, or a name that any project's store or the set already uses.
bool gradientsRename(const std::string& name, const std::string& newName);
// The shared records in name order.
std::vector<GradientResource*> gradientsAll();

// Reads "gradient_resources" of the file (relative to the asset base path) into the shared set and offers the
// records to the current project's store; a name taken there by another record keeps that record. False when
// the file is missing or malformed; a malformed file adds nothing and is never overwritten.
bool load_gradients_json(const std::string& path);
// Writes the shared set to the complete path (indent 4, through a temporary file; a gradient without marks gets an
// empty "entries"). False (after a log line) when the file could not be written or failed to load earlier.
bool save_gradients_json(const std::string& path);

// "%02x%02x%02x%02x" of a mark's colour, and the mark colour of such a text.
std::string gradientColorText(const GradientMark& mark);
void gradientColorFromText(const std::string& text, GradientMark& mark);

// ---- The texture ----

constexpr int kGradientTextureWidth = 128;
constexpr int kGradientTextureRows = 256;

// "ColorGradientTexture": 128 x 256 RGBA half floats; null until the first gradientTextureUpdate.
extern Texture* colorGradientTexture;

// Creates the texture when missing and bakes gradient k of the list into row k. Gradients past row 255 get row -1
// and are not baked.
void gradientTextureUpdate(const std::vector<Gradient*>& gradients);
