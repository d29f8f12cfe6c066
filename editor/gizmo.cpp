#include "editor/gizmo.h"

#include "app/math_types.h"

#include <imgui.h>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace gizmo {
namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kPickPixels = 7.0f;   // how close the mouse must be to a handle
constexpr int kRingSegments = 48;
constexpr float kScreenRingFactor = 1.2f; // the screen ring sits just outside the axis rings

const ImU32 kAxisColours[3] = {IM_COL32(230, 60, 60, 255), IM_COL32(60, 200, 60, 255), IM_COL32(70, 110, 240, 255)};
const ImU32 kHighlight = IM_COL32(255, 210, 40, 255);
const ImU32 kScreenColour = IM_COL32(220, 220, 220, 255);

enum class Handle { None, Translate, Rotate, RotateScreen, Scale };

struct Hit {
    Handle handle = Handle::None;
    int axis = 0;
    float distance = 1e30f;
};

struct Vec4 {
    float x, y, z, w;
};

// Everything one Manipulate call derives from its matrices.
struct Frame {
    Matrix view, viewProjection, inverseViewProjection;
    Vector3 origin;
    Vector3 axes[3];      // unit directions of the translate and rotate handles
    Vector3 localAxes[3]; // unit directions of the model's own axes (the scale handles)
    float length = 0.0f;  // world length of an axis drawn kAxisPixels long
    float axisPixels = 0.0f;
    ImVec2 originScreen;
    bool visible = false;
};

struct Drag {
    int id = 0;
    Handle handle = Handle::None;
    int axis = 0;
    Matrix startModel;
    Vector3 origin;
    Vector3 direction;   // translate axis, rotation normal or scale axis in world space
    float startParam = 0.0f;  // translate: position of the grab point along the axis
    Vector3 startVector;      // rotate: grab point minus origin, on the rotation plane
    ImVec2 screenOrigin;      // scale: the origin and the axis on screen
    ImVec2 screenDirection;
    float startDistance = 1.0f;
};

struct State {
    int id = 0;
    ImDrawList* drawList = nullptr;
    float x = 0.0f, y = 0.0f, width = 0.0f, height = 0.0f;
    bool dragging = false;
    Drag drag;
    bool clickTaken = false; // a handle took this frame's click; the gizmos after it leave it
    bool over = false;
};

State g;

Matrix fromColumnMajor(const float* a)
{
    Matrix m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m.m[r * 4 + c] = a[c * 4 + r];
    return m;
}

void toColumnMajor(const Matrix& m, float* a)
{
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            a[c * 4 + r] = m.m[r * 4 + c];
}

// a x b for full 4 x 4 matrices (projections are not affine).
Matrix product(const Matrix& a, const Matrix& b) { return b.Multiply(a); }

// General inverse by cofactors; false for a singular matrix.
bool invert(const Matrix& in, Matrix& out)
{
    const float* m = in.m;
    float inv[16];
    inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
             m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
    inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] -
             m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
    inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
             m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
    inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] -
              m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
    inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] -
             m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
    inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
             m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
    inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
             m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
    inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
              m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
    inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
             m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
    inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
             m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
    inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
              m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
    inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
              m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
    inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] -
             m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
    inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
             m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
    inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
              m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
    inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] +
              m[8] * m[1] * m[6] - m[8] * m[2] * m[5];
    const float det = m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
    if (!std::isfinite(det) || std::fabs(det) < 1e-20f)
        return false;
    for (int i = 0; i < 16; ++i)
        out.m[i] = inv[i] / det;
    return true;
}

Vec4 transform(const Matrix& m, const Vector3& p, float w)
{
    const float* a = m.m;
    return {a[0] * p.x + a[1] * p.y + a[2] * p.z + a[3] * w, a[4] * p.x + a[5] * p.y + a[6] * p.z + a[7] * w,
            a[8] * p.x + a[9] * p.y + a[10] * p.z + a[11] * w, a[12] * p.x + a[13] * p.y + a[14] * p.z + a[15] * w};
}

float length(const Vector3& v) { return std::sqrt(v.Dot(v)); }

Vector3 normalized(const Vector3& v, const Vector3& fallback)
{
    const float len = length(v);
    return len > 1e-12f ? v * (1.0f / len) : fallback;
}

float length(const ImVec2& v) { return std::sqrt(v.x * v.x + v.y * v.y); }
ImVec2 sub(const ImVec2& a, const ImVec2& b) { return ImVec2(a.x - b.x, a.y - b.y); }
float dot(const ImVec2& a, const ImVec2& b) { return a.x * b.x + a.y * b.y; }

// Screen position of a world point; false behind the eye.
bool project(const Frame& f, const Vector3& p, ImVec2& out)
{
    const Vec4 clip = transform(f.viewProjection, p, 1.0f);
    if (!(clip.w > 1e-6f))
        return false;
    const float nx = clip.x / clip.w, ny = clip.y / clip.w;
    out = ImVec2(g.x + (nx * 0.5f + 0.5f) * g.width, g.y + (0.5f - ny * 0.5f) * g.height);
    return std::isfinite(out.x) && std::isfinite(out.y);
}

// The world ray under a screen position: from the near plane (depth 0) towards the far plane (depth 1).
bool mouseRay(const Frame& f, const ImVec2& mouse, Vector3& origin, Vector3& direction)
{
    if (g.width <= 0.0f || g.height <= 0.0f)
        return false;
    const float nx = (mouse.x - g.x) / g.width * 2.0f - 1.0f;
    const float ny = 1.0f - (mouse.y - g.y) / g.height * 2.0f;
    const Vec4 n = transform(f.inverseViewProjection, {nx, ny, 0.0f}, 1.0f);
    const Vec4 e = transform(f.inverseViewProjection, {nx, ny, 1.0f}, 1.0f);
    if (std::fabs(n.w) < 1e-12f || std::fabs(e.w) < 1e-12f)
        return false;
    origin = {n.x / n.w, n.y / n.w, n.z / n.w};
    const Vector3 end{e.x / e.w, e.y / e.w, e.z / e.w};
    direction = normalized(end - origin, {0.0f, 0.0f, 0.0f});
    return length(direction) > 0.5f;
}

float segmentDistance(const ImVec2& p, const ImVec2& a, const ImVec2& b)
{
    const ImVec2 ab = sub(b, a);
    const float len2 = dot(ab, ab);
    float t = len2 > 0.0f ? dot(sub(p, a), ab) / len2 : 0.0f;
    t = std::clamp(t, 0.0f, 1.0f);
    const ImVec2 q(a.x + ab.x * t, a.y + ab.y * t);
    return length(sub(p, q));
}

void perpendicularBasis(const Vector3& n, Vector3& u, Vector3& v)
{
    const Vector3 helper = std::fabs(n.x) < 0.9f ? Vector3{1.0f, 0.0f, 0.0f} : Vector3{0.0f, 1.0f, 0.0f};
    u = normalized(n.Cross(helper), {0.0f, 1.0f, 0.0f});
    v = n.Cross(u);
}

// The ring of one rotation axis on screen; false when any point is behind the eye.
bool ringPoints(const Frame& f, int axis, ImVec2 (&points)[kRingSegments])
{
    Vector3 u, v;
    perpendicularBasis(f.axes[axis], u, v);
    for (int k = 0; k < kRingSegments; ++k) {
        const float angle = 2.0f * kPi * float(k) / float(kRingSegments);
        if (!project(f, f.origin + (u * std::cos(angle) + v * std::sin(angle)) * f.length, points[k]))
            return false;
    }
    return true;
}

bool axisTip(const Frame& f, const Vector3& axis, ImVec2& tip)
{
    // An axis pointing at the eye has no length on screen and cannot be grabbed.
    return project(f, f.origin + axis * f.length, tip) && length(sub(tip, f.originScreen)) > 8.0f;
}

Frame makeFrame(const Matrix& view, const Matrix& projection, const Matrix& model, int mode)
{
    Frame f;
    f.view = view;
    f.viewProjection = product(projection, view);
    if (!invert(f.viewProjection, f.inverseViewProjection))
        return f;
    f.origin = {model.m[3], model.m[7], model.m[11]};
    const Vector3 worldAxes[3] = {{1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 1.0f}};
    for (int i = 0; i < 3; ++i) {
        f.localAxes[i] = normalized({model.m[i], model.m[4 + i], model.m[8 + i]}, worldAxes[i]);
        f.axes[i] = mode == Local ? f.localAxes[i] : worldAxes[i];
    }
    if (!project(f, f.origin, f.originScreen))
        return f;
    // A constant size on screen: measure a unit step along the eye's right direction at the origin.
    const Vector3 right = normalized({view.m[0], view.m[1], view.m[2]}, {1.0f, 0.0f, 0.0f});
    ImVec2 step;
    if (!project(f, f.origin + right, step))
        return f;
    const float pixelsPerUnit = length(sub(step, f.originScreen));
    if (!(pixelsPerUnit > 1e-6f))
        return f;
    f.axisPixels = std::clamp(0.12f * std::min(g.width, g.height), 40.0f, 140.0f);
    f.length = f.axisPixels / pixelsPerUnit;
    f.visible = std::isfinite(f.length);
    return f;
}

Hit pick(const Frame& f, int operation, const ImVec2& mouse)
{
    Hit best;
    auto consider = [&](Handle handle, int axis, float distance) {
        if (distance < kPickPixels && distance < best.distance)
            best = {handle, axis, distance};
    };
    for (int i = 0; i < 3; ++i) {
        ImVec2 tip;
        if ((operation & (TranslateX << i)) && axisTip(f, f.axes[i], tip))
            consider(Handle::Translate, i, segmentDistance(mouse, f.originScreen, tip));
        if ((operation & (ScaleX << i)) && axisTip(f, f.localAxes[i], tip))
            consider(Handle::Scale, i, segmentDistance(mouse, f.originScreen, tip));
        ImVec2 ring[kRingSegments];
        if ((operation & (RotateX << i)) && ringPoints(f, i, ring)) {
            float nearest = 1e30f;
            for (int k = 0; k < kRingSegments; ++k)
                nearest = std::min(nearest, segmentDistance(mouse, ring[k], ring[(k + 1) % kRingSegments]));
            consider(Handle::Rotate, i, nearest);
        }
    }
    if (operation & RotateScreen) {
        const float radius = f.axisPixels * kScreenRingFactor;
        consider(Handle::RotateScreen, 0, std::fabs(length(sub(mouse, f.originScreen)) - radius));
    }
    return best;
}

Vector3 eyeForward(const Frame& f) { return normalized({f.view.m[8], f.view.m[9], f.view.m[10]}, {0.0f, 0.0f, 1.0f}); }

// Where the ray meets the plane through the origin with this normal; false when it runs along the plane.
bool planeHit(const Vector3& origin, const Vector3& normal, const Vector3& rayOrigin, const Vector3& rayDirection,
              Vector3& hit)
{
    const float denominator = normal.Dot(rayDirection);
    if (std::fabs(denominator) < 1e-6f)
        return false;
    const float s = normal.Dot(origin - rayOrigin) / denominator;
    hit = rayOrigin + rayDirection * s;
    return std::isfinite(hit.x) && std::isfinite(hit.y) && std::isfinite(hit.z);
}

// Parameter along the axis line of its point closest to the ray; false when they are parallel.
bool axisParameter(const Vector3& origin, const Vector3& axis, const Vector3& rayOrigin, const Vector3& rayDirection,
                   float& t)
{
    const Vector3 w = origin - rayOrigin;
    const float b = axis.Dot(rayDirection);
    const float denominator = 1.0f - b * b;
    if (denominator < 1e-6f)
        return false;
    t = (b * rayDirection.Dot(w) - axis.Dot(w)) / denominator;
    return std::isfinite(t);
}

Matrix axisAngle(const Vector3& n, float angle)
{
    const float c = std::cos(angle), s = std::sin(angle), k = 1.0f - c;
    Matrix r;
    r.m[0] = c + k * n.x * n.x;
    r.m[1] = k * n.x * n.y - s * n.z;
    r.m[2] = k * n.x * n.z + s * n.y;
    r.m[4] = k * n.y * n.x + s * n.z;
    r.m[5] = c + k * n.y * n.y;
    r.m[6] = k * n.y * n.z - s * n.x;
    r.m[8] = k * n.z * n.x - s * n.y;
    r.m[9] = k * n.z * n.y + s * n.x;
    r.m[10] = c + k * n.z * n.z;
    return r;
}

void startDrag(const Frame& f, const Hit& hit, const Matrix& model, const ImVec2& mouse)
{
    Drag d;
    d.id = g.id;
    d.handle = hit.handle;
    d.axis = hit.axis;
    d.startModel = model;
    d.origin = f.origin;
    Vector3 rayOrigin, rayDirection;
    if (!mouseRay(f, mouse, rayOrigin, rayDirection))
        return;
    switch (hit.handle) {
    case Handle::Translate:
        d.direction = f.axes[hit.axis];
        if (!axisParameter(d.origin, d.direction, rayOrigin, rayDirection, d.startParam))
            return;
        break;
    case Handle::Rotate:
    case Handle::RotateScreen: {
        d.direction = hit.handle == Handle::Rotate ? f.axes[hit.axis] : eyeForward(f);
        Vector3 grab;
        if (!planeHit(d.origin, d.direction, rayOrigin, rayDirection, grab))
            return;
        d.startVector = grab - d.origin;
        break;
    }
    case Handle::Scale: {
        d.direction = f.localAxes[hit.axis];
        ImVec2 tip;
        if (!axisTip(f, d.direction, tip))
            return;
        d.screenOrigin = f.originScreen;
        const ImVec2 axis = sub(tip, f.originScreen);
        const float len = length(axis);
        d.screenDirection = ImVec2(axis.x / len, axis.y / len);
        // Grabbing right at the centre would make every move a huge ratio.
        d.startDistance = std::max(dot(sub(mouse, d.screenOrigin), d.screenDirection), 4.0f);
        break;
    }
    case Handle::None: return;
    }
    g.drag = d;
    g.dragging = true;
}

// The model for the current mouse position, and the change it makes; false while the mouse gives no answer
// (a ray along the plane or the axis): the model then stays where it is.
bool dragModel(const Frame& f, const ImVec2& mouse, Matrix& model, Matrix& delta)
{
    const Drag& d = g.drag;
    Vector3 rayOrigin, rayDirection;
    if (!mouseRay(f, mouse, rayOrigin, rayDirection))
        return false;
    model = d.startModel;
    delta = Matrix();
    switch (d.handle) {
    case Handle::Translate: {
        float t;
        if (!axisParameter(d.origin, d.direction, rayOrigin, rayDirection, t))
            return false;
        const Vector3 move = d.direction * (t - d.startParam);
        model.m[3] += move.x;
        model.m[7] += move.y;
        model.m[11] += move.z;
        delta = Matrix::Translation(move.x, move.y, move.z);
        return true;
    }
    case Handle::Rotate:
    case Handle::RotateScreen: {
        Vector3 grab;
        if (!planeHit(d.origin, d.direction, rayOrigin, rayDirection, grab))
            return false;
        const Vector3 v = grab - d.origin;
        const float angle = std::atan2(d.direction.Dot(d.startVector.Cross(v)), d.startVector.Dot(v));
        if (!std::isfinite(angle))
            return false;
        delta = axisAngle(d.direction, angle);
        Matrix linear = d.startModel;
        linear.m[3] = linear.m[7] = linear.m[11] = 0.0f;
        model = product(delta, linear);
        model.m[3] = d.startModel.m[3];
        model.m[7] = d.startModel.m[7];
        model.m[11] = d.startModel.m[11];
        return true;
    }
    case Handle::Scale: {
        const float ratio = dot(sub(mouse, d.screenOrigin), d.screenDirection) / d.startDistance;
        if (!std::isfinite(ratio))
            return false;
        // A scale of zero cannot be inverted by the write-back; keep a sliver.
        const float factor = std::clamp(ratio, 0.001f, 1000.0f);
        for (int r = 0; r < 3; ++r)
            model.m[r * 4 + d.axis] *= factor;
        const float s[3] = {d.axis == 0 ? factor : 1.0f, d.axis == 1 ? factor : 1.0f, d.axis == 2 ? factor : 1.0f};
        delta = Matrix::Scale(s[0], s[1], s[2]);
        return true;
    }
    case Handle::None: break;
    }
    return false;
}

void draw(const Frame& f, int operation, const Hit& hover)
{
    ImDrawList* list = g.drawList;
    if (!list)
        return;
    const bool mine = g.dragging && g.drag.id == g.id;
    auto colour = [&](Handle handle, int axis) {
        const bool lit = mine ? (g.drag.handle == handle && g.drag.axis == axis)
                              : (hover.handle == handle && hover.axis == axis);
        if (lit)
            return kHighlight;
        return handle == Handle::RotateScreen ? kScreenColour : kAxisColours[axis];
    };
    list->PushClipRect(ImVec2(g.x, g.y), ImVec2(g.x + g.width, g.y + g.height), true);
    for (int i = 0; i < 3; ++i) {
        ImVec2 ring[kRingSegments];
        if ((operation & (RotateX << i)) && ringPoints(f, i, ring))
            list->AddPolyline(ring, kRingSegments, colour(Handle::Rotate, i), ImDrawFlags_Closed, 2.0f);
    }
    if (operation & RotateScreen)
        list->AddCircle(f.originScreen, f.axisPixels * kScreenRingFactor, colour(Handle::RotateScreen, 0), 64, 2.0f);
    for (int i = 0; i < 3; ++i) {
        ImVec2 tip;
        if ((operation & (TranslateX << i)) && axisTip(f, f.axes[i], tip)) {
            const ImU32 c = colour(Handle::Translate, i);
            list->AddLine(f.originScreen, tip, c, 3.0f);
            const ImVec2 axis = sub(tip, f.originScreen);
            const float len = length(axis);
            const ImVec2 d(axis.x / len, axis.y / len), p(-d.y, d.x);
            list->AddTriangleFilled(ImVec2(tip.x + d.x * 12.0f, tip.y + d.y * 12.0f),
                                    ImVec2(tip.x + p.x * 5.0f, tip.y + p.y * 5.0f),
                                    ImVec2(tip.x - p.x * 5.0f, tip.y - p.y * 5.0f), c);
        }
        if ((operation & (ScaleX << i)) && axisTip(f, f.localAxes[i], tip)) {
            const ImU32 c = colour(Handle::Scale, i);
            list->AddLine(f.originScreen, tip, c, 3.0f);
            list->AddRectFilled(ImVec2(tip.x - 5.0f, tip.y - 5.0f), ImVec2(tip.x + 5.0f, tip.y + 5.0f), c);
        }
    }
    list->AddCircleFilled(f.originScreen, 3.0f, IM_COL32(255, 255, 255, 255));
    list->PopClipRect();
}

} // namespace

void BeginFrame()
{
    g.clickTaken = false;
    g.over = false;
    // A drag whose gizmo is no longer drawn (its component went away) ends with the button.
    if (g.dragging && ImGui::GetCurrentContext() && !ImGui::IsMouseDown(ImGuiMouseButton_Left))
        g.dragging = false;
}

void SetID(int id) { g.id = id; }
void SetDrawlist(ImDrawList* drawList) { g.drawList = drawList; }

void SetRect(float x, float y, float width, float height)
{
    g.x = x;
    g.y = y;
    g.width = width;
    g.height = height;
}

bool Manipulate(const float* view, const float* projection, int operation, int mode, float* model, float* delta,
                const float*, const float*)
{
    g.over = false;
    if (!view || !projection || !model || !ImGui::GetCurrentContext())
        return false;
    const Matrix modelMatrix = fromColumnMajor(model);
    const Frame f = makeFrame(fromColumnMajor(view), fromColumnMajor(projection), modelMatrix, mode);
    const bool mine = g.dragging && g.drag.id == g.id;
    if (mine && !ImGui::IsMouseDown(ImGuiMouseButton_Left))
        g.dragging = false;
    if (!f.visible)
        return false;

    const ImVec2 mouse = ImGui::GetIO().MousePos;
    const bool inside = mouse.x >= g.x && mouse.x < g.x + g.width && mouse.y >= g.y && mouse.y < g.y + g.height;
    Hit hover;
    if (!g.dragging && inside)
        hover = pick(f, operation, mouse);
    g.over = hover.handle != Handle::None;
    if (g.over && !g.clickTaken && ImGui::IsMouseClicked(ImGuiMouseButton_Left)) {
        g.clickTaken = true;
        startDrag(f, hover, modelMatrix, mouse);
    }

    bool changed = false;
    if (g.dragging && g.drag.id == g.id) {
        Matrix moved, change;
        if (dragModel(f, mouse, moved, change)) {
            changed = !std::equal(std::begin(moved.m), std::end(moved.m), std::begin(modelMatrix.m));
            toColumnMajor(moved, model);
            if (delta)
                toColumnMajor(change, delta);
        }
    }
    draw(f, operation, hover);
    return changed;
}

bool IsUsing() { return g.dragging && g.drag.id == g.id; }
bool IsUsingAny() { return g.dragging; }
bool IsOver() { return g.over; }

} // namespace gizmo
