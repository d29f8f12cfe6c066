#include "components/glyph_contours.h"

#include "app/log.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <algorithm>
#include <cmath>

namespace {

ContourPoint toPoint(const OutlinePoint& p) { return {static_cast<double>(p.x), static_cast<double>(p.y), 0.0}; }

ContourPoint midpoint(const ContourPoint& a, const ContourPoint& b)
{
    return {(a.x + b.x) * 0.5, (a.y + b.y) * 0.5, 0.0};
}

ContourPoint lerp(const ContourPoint& a, const ContourPoint& b, float s, float t)
{
    return {s * a.x + t * b.x, s * a.y + t * b.y, 0.0};
}

} // namespace

GlyphContour::GlyphContour(const OutlinePoint* P, const uint8_t* T, int n)
{
    if (n <= 0)
        return;
    double sum = 0.0;
    double heading = std::atan2(static_cast<double>(P[0].y - P[n - 1].y), static_cast<double>(P[0].x - P[n - 1].x));
    for (int i = 0; i < n; ++i) {
        const ContourPoint prev = toPoint(P[(i + n - 1) % n]);
        const ContourPoint cur = toPoint(P[i]);
        const ContourPoint next = toPoint(P[(i + 1) % n]);

        const double a = std::atan2(next.y - cur.y, next.x - cur.x);
        double d = a - heading;
        if (d < -M_PI)
            d += 2.0 * M_PI;
        if (d > M_PI)
            d -= 2.0 * M_PI;
        sum += d;
        heading = a;

        const uint8_t tag = n < 2 ? uint8_t(kTagOn) : static_cast<uint8_t>(T[i] & 3);
        const uint8_t prevTag = static_cast<uint8_t>(T[(i + n - 1) % n] & 3);
        const uint8_t nextTag = static_cast<uint8_t>(T[(i + 1) % n] & 3);
        if (tag == kTagOn) {
            AddOutlinePoint(cur);
        } else if (tag == kTagConic) {
            ContourPoint A = prev;
            if (prevTag == kTagConic) {
                // Two control points in a row imply an on-curve point halfway between them.
                A = midpoint(prev, cur);
                AddOutlinePoint(A);
            }
            ContourPoint B = next;
            if (nextTag == kTagConic)
                B = midpoint(cur, next);
            for (int j = 1; j <= 9; ++j) {
                const float t = static_cast<float>(j) / 10.0f;
                const float s = 1.0f - t;
                const ContourPoint p{s * (s * A.x + t * cur.x) + t * (s * cur.x + t * B.x),
                                     s * (s * A.y + t * cur.y) + t * (s * cur.y + t * B.y), 0.0};
                AddOutlinePoint(p);
            }
        } else if (tag == kTagCubic && nextTag == kTagCubic) {
            AddCubic(prev, cur, next, toPoint(P[(i + 2) % n]));
        }
    }
    clockwise = sum < 0.0;
}

void GlyphContour::AddCubic(const ContourPoint& a, const ContourPoint& b, const ContourPoint& c,
                            const ContourPoint& d)
{
    for (int j = 0; j <= 9; ++j) {
        const float t = static_cast<float>(j) / 10.0f;
        const float s = 1.0f - t;
        const ContourPoint ab = lerp(a, b, s, t), bc = lerp(b, c, s, t), cd = lerp(c, d, s, t);
        const ContourPoint abc = lerp(ab, bc, s, t), bcd = lerp(bc, cd, s, t);
        AddOutlinePoint(lerp(abc, bcd, s, t));
    }
}

void GlyphContour::AddOutlinePoint(const ContourPoint& p)
{
    if (points.empty() || (!(p == points.back()) && !(p == points.front())))
        points.push_back(p);
    minX = std::min(minX, static_cast<float>(p.x));
    minY = std::min(minY, static_cast<float>(p.y));
    maxX = std::max(maxX, static_cast<float>(p.x));
    maxY = std::max(maxY, static_cast<float>(p.y));
}

void GlyphContour::Orient(int crossings)
{
    const bool even = crossings % 2 == 0;
    if ((even && !clockwise) || (!even && clockwise)) {
        std::reverse(points.begin(), points.end());
        clockwise = !clockwise;
    }
}

Vectoriser::Vectoriser(const FT_Outline_& outline)
{
    const int pointCount = std::max<int>(outline.n_points, 0);
    points_.reserve(static_cast<size_t>(pointCount));
    for (int i = 0; i < pointCount; ++i)
        points_.push_back({outline.points[i].x, outline.points[i].y});
    tags_.assign(outline.tags, outline.tags + pointCount);
    for (int j = 0; j < outline.n_contours; ++j)
        contourEnds_.push_back(outline.contours[j]);
}

Vectoriser::Vectoriser(std::vector<OutlinePoint> points, std::vector<uint8_t> tags, std::vector<int> contourEnds)
    : points_(std::move(points)), tags_(std::move(tags)), contourEnds_(std::move(contourEnds))
{
    tags_.resize(points_.size(), kTagOn);
}

void Vectoriser::BuildContours()
{
    contours.clear();
    int start = 0;
    const int total = static_cast<int>(points_.size());
    for (int end : contourEnds_) {
        // A malformed outline (ends out of order or past the points) ends the walk instead of reading past it.
        if (end < start || end >= total) {
            LOG_WARNING("Glyph outline with contour end %d outside %d .. %d; later contours dropped", end, start,
                        total - 1);
            break;
        }
        contours.push_back(std::make_unique<GlyphContour>(points_.data() + start, tags_.data() + start,
                                                          end - start + 1));
        start = end + 1;
    }
    for (size_t i = 0; i < contours.size(); ++i)
        contours[i]->Orient(Crossings(i));
}

int Vectoriser::Crossings(size_t i) const
{
    double lx = 65536.0, ly = 0.0;
    for (const ContourPoint& p : contours[i]->points)
        if (p.x < lx) {
            lx = p.x;
            ly = p.y;
        }
    int crossings = 0;
    for (size_t j = 0; j < contours.size(); ++j) {
        if (j == i)
            continue;
        const std::vector<ContourPoint>& pts = contours[j]->points;
        for (size_t k = 0; k < pts.size(); ++k) {
            const ContourPoint& E = pts[k];
            const ContourPoint& F = pts[(k + 1) % pts.size()];
            if (ly > E.y && ly > F.y)
                continue;
            if (E.y >= ly && F.y >= ly)
                continue;
            if (E.x > lx && F.x > lx)
                continue;
            if (lx > E.x && lx > F.x) {
                ++crossings;
                continue;
            }
            // Where the edge meets the ray's line; a sign test of the cross product alone would depend on
            // which way the edge runs.
            const double x = E.x + (ly - E.y) * (F.x - E.x) / (F.y - E.y);
            if (x < lx)
                ++crossings;
        }
    }
    return crossings;
}
