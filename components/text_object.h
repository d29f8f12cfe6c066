// A line of text as an extruded 3D mesh, published as a scene object on "obj". Glyph outlines come from a
// TrueType font through FreeType; each glyph's contours give a front ring (z = 0) and a back ring (z = depth)
// joined by side walls ("Extrusion"), and caps ("Text") triangulated per outer contour with its holes.
#pragma once

#include "components/component_kit.h"

#include <cstdint>
#include <string>
#include <vector>

class Object;
struct FileResource;
struct Geometry;

// The mesh on the CPU: positions (x, y, z) and the triangles of the two surfaces.
struct TextMesh {
    std::vector<float> positions;
    std::vector<uint32_t> caps;  // "Text"
    std::vector<uint32_t> walls; // "Extrusion"

    uint32_t VertexCount() const { return static_cast<uint32_t>(positions.size() / 3); }
    void Clear()
    {
        positions.clear();
        caps.clear();
        walls.clear();
    }
};

// Unicode code points of UTF-8 text; a malformed sequence gives U+FFFD for its first byte and decoding goes on.
std::vector<uint32_t> decodeUtf8(const std::string& text);

// The mesh of a text at a size (points at 96 dpi), depth and spacing (multiplies each advance). False, with the
// mesh left as it was, when the font cannot be opened; faces are opened once per path and kept.
bool buildTextMesh(TextMesh& mesh, const std::string& text, const std::string& fontPath, float size, float depth,
                   float spacing);

// Replaces the geometry's vertices and triangles with the mesh (white, smooth normals) and uploads it. Makes the
// geometry (two surfaces "Text" and "Extrusion") when given null; returns it.
Geometry* textMeshToGeometry(const TextMesh& mesh, Geometry* geometry);

class textobjectfx : public KitComponent {
public:
    static EngineComponent* Create(const std::string& name) { return CreateComponent<textobjectfx>(name); }
    ~textobjectfx() override;

    void OnInputConnected(int32_t pinId) override;
    void Init() override;
    void OnCvarChanged(Cvar* cvar) override;

    // Rebuilds the mesh into the object's geometry and recomputes its bounds.
    void Rebuild();

    static const char* const kFontPath; // "fonts/OCTICITY.TTF"

    Cvar text;
    Cvar size;
    Cvar spacing;
    Cvar depth;
    FileResource* record = nullptr; // payload of "obj"
    Object* object = nullptr;
    TextMesh mesh;

protected:
    explicit textobjectfx(const std::string& name);
    bool CreateGpuObjects() override;
};
