#include "project/curves.h"

#include <nlohmann/json.hpp>

const char* const curveInterpolationNames[7] = {
    "Discreete",
    "Linear",
    "Cubic",
    "Predefined Linear 0-1 Range",
    "Predefined Quadratic 0-1 Range",
    "Predefined Smoothstep 0-1 Range",
    nullptr,
};

bool operator==(const CurvePoint& a, const CurvePoint& b) { return a.x == b.x && a.y == b.y; }

bool operator==(const Curve& a, const Curve& b)
{
    return a.points == b.points && a.interpolation == b.interpolation && a.row == b.row;
}

std::string Curve::CheckJson(const nlohmann::json& value)
{
    if (!value.is_object())
        return "curve value is not an object";
    auto keys = value.find("keys");
    if (keys == value.end())
        return {};
    if (!keys->is_array())
        return "curve \"keys\" is not an array";
    for (const auto& key : *keys) {
        if (!key.is_object())
            return "curve key is not an object";
        auto x = key.find("x");
        auto y = key.find("y");
        if (x == key.end() || !x->is_number() || y == key.end() || !y->is_number())
            return "curve key needs numbers \"x\" and \"y\"";
    }
    auto interpolation = value.find("interpolation");
    if (interpolation == value.end() || !interpolation->is_number_integer())
        return "curve \"interpolation\" is missing or not an integer";
    int64_t code = interpolation->get<int64_t>();
    if (code < INT32_MIN || code > INT32_MAX)
        return "curve \"interpolation\" is out of range";
    return {};
}

Curve Curve::FromJson(const nlohmann::json& value)
{
    Curve curve;
    curve.points.clear();
    auto keys = value.find("keys");
    if (keys == value.end() || !keys->is_array()) {
        // A value without points reads as the flat curve, whatever its interpolation says.
        curve.points = {{0.0f, 0.0f}, {1.0f, 0.0f}};
        return curve;
    }
    for (const auto& key : *keys)
        curve.points.push_back({key.at("x").get<float>(), key.at("y").get<float>()});
    curve.interpolation = static_cast<int32_t>(value.at("interpolation").get<int64_t>());
    return curve;
}

nlohmann::json Curve::ToJson(const Curve& curve)
{
    nlohmann::json keys = nlohmann::json::array();
    for (const CurvePoint& p : curve.points)
        keys.push_back({{"x", static_cast<double>(p.x)}, {"y", static_cast<double>(p.y)}});
    return {{"interpolation", curve.interpolation}, {"keys", std::move(keys)}};
}

float Curve::Evaluate(float t) const
{
    switch (interpolation) {
    case CurveInterpolation::PredefinedLinear:
        return t;
    case CurveInterpolation::PredefinedQuadratic:
        return t * t;
    case CurveInterpolation::PredefinedSmoothstep:
        return (3.0f - 2.0f * t) * t * t;
    default:
        break;
    }
    const size_t n = points.size();
    if (n == 0)
        return 0.0f;
    size_t i = 0;
    while (i < n && !(t <= points[i].x))
        ++i;
    const size_t lo = i == 0 ? 0 : i - 1;
    const size_t hi = lo + 1;
    if (hi >= n)
        return points[lo].y;
    const float dx = points[hi].x - points[lo].x;
    // Two points on the same x (a step): the segment has no width, so the value is already the right point's.
    // Dividing by its width would give NaN.
    if (!(dx != 0.0f))
        return points[hi].y;
    const float u = (t - points[lo].x) / dx;
    switch (interpolation) {
    case CurveInterpolation::Discreete:
        return points[lo].y;
    case CurveInterpolation::Linear:
        return (1.0f - u) * points[lo].y + u * points[hi].y;
    case CurveInterpolation::Cubic: {
        const float y0 = lo == 0 ? points[0].y : points[lo - 1].y;
        const float y1 = points[lo].y;
        const float y2 = points[hi].y;
        const float y3 = hi + 1 == n ? points[n - 1].y : points[hi + 1].y;
        const float a0 = y3 - y2 - y0 + y1;
        const float a1 = y0 - y1 - a0;
        const float a2 = y2 - y0;
        return a0 * u * u * u + a1 * u * u + a2 * u + y1;
    }
    default:
        return 0.0f;
    }
}
