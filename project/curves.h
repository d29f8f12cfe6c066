// Curve parameters: a list of points with an interpolation code, evaluated on the CPU (the shared curve texture
// is baked from these evaluations elsewhere).
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>
#include <vector>

struct CurvePoint {
    float x = 0.0f;
    float y = 0.0f;
};

namespace CurveInterpolation {
enum : int32_t {
    Discreete = 0,
    Linear = 1,
    Cubic = 2,
    PredefinedLinear = 3,
    PredefinedQuadratic = 4,
    PredefinedSmoothstep = 5,
};
}

// Names the editor shows for codes 0..5.
extern const char* const curveInterpolationNames[7];

struct Curve {
    std::vector<CurvePoint> points{{0.0f, 0.0f}, {1.0f, 1.0f}};
    int32_t interpolation = CurveInterpolation::Linear;
    int32_t row = -1; // "CurveTexture" row of the last baking

    // The JSON value of a Curve cvar. Call CheckJson first: FromJson assumes a well-formed value.
    static Curve FromJson(const nlohmann::json& value);
    static nlohmann::json ToJson(const Curve& curve);
    // Empty when the value can be read; otherwise what is wrong with it.
    static std::string CheckJson(const nlohmann::json& value);

    float Evaluate(float t) const;
};

bool operator==(const CurvePoint& a, const CurvePoint& b);
bool operator==(const Curve& a, const Curve& b);
