// A glyph outline as closed polylines of known orientation: curved segments are flattened into points, each
// contour's winding is measured from its turning angles, and contours are turned so that outer ones run clockwise
// and holes counter-clockwise (found by counting crossings against the other contours), so the text builder can
// triangulate caps with holes and extrude walls.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct FT_Outline_;

struct ContourPoint {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    bool operator==(const ContourPoint& other) const { return x == other.x && y == other.y && z == other.z; }
};

// Outline point tags (tag & 3).
enum : uint8_t { kTagConic = 0, kTagOn = 1, kTagCubic = 2 };

struct OutlinePoint {
    long x = 0; // 26.6
    long y = 0;
};

class GlyphContour {
public:
    // Flattens n outline points with their tags; fewer than 2 points count as on-curve only.
    GlyphContour(const OutlinePoint* points, const uint8_t* tags, int n);

    // Appends p unless it repeats the last or the first point; the bounding box grows either way.
    void AddOutlinePoint(const ContourPoint& p);
    // Reverses the contour when its winding disagrees with its nesting (even crossings: outer, clockwise).
    void Orient(int crossings);

    float minX = 65000.0f, minY = 65000.0f, maxX = -65000.0f, maxY = -65000.0f;
    std::vector<ContourPoint> points;
    bool clockwise = false;

private:
    void AddCubic(const ContourPoint& a, const ContourPoint& b, const ContourPoint& c, const ContourPoint& d);
};

class Vectoriser {
public:
    // Copies what it needs of the outline.
    explicit Vectoriser(const FT_Outline_& outline);
    // The same from plain arrays: the end point index of each contour.
    Vectoriser(std::vector<OutlinePoint> points, std::vector<uint8_t> tags, std::vector<int> contourEnds);

    // Builds every contour and orients it by its crossing count.
    void BuildContours();
    // Edges of the other contours that a ray to the left of contour i's leftmost point crosses.
    int Crossings(size_t i) const;

    std::vector<std::unique_ptr<GlyphContour>> contours;

private:
    std::vector<OutlinePoint> points_;
    std::vector<uint8_t> tags_;
    std::vector<int> contourEnds_;
};
