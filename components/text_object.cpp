#include "components/text_object.h"

#include "app/data_files.h"
#include "app/log.h"
#include "components/glyph_contours.h"
#include "components/instance_buffers.h"
#include "jni/engine/grd_geometry.h"
#include "project/graph.h"
#include "render/entities.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_GLYPH_H

#include <GL/glu.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <unordered_map>

namespace {

constexpr int kTextRow = 29;

// FreeType and the faces opened so far (a path that failed maps to null and is not tried again).
struct FontLibrary {
    FT_Library library = nullptr;
    bool initialised = false;
    std::unordered_map<std::string, FT_Face> faces;

    ~FontLibrary()
    {
        for (auto& [path, face] : faces)
            if (face)
                FT_Done_Face(face);
        if (library)
            FT_Done_FreeType(library);
    }

    FT_Face Open(const std::string& fullPath)
    {
        if (!initialised) {
            initialised = true;
            if (FT_Init_FreeType(&library) != 0) {
                library = nullptr;
                LOG_ERROR("FT_Init_FreeType failed");
            }
        }
        const auto found = faces.find(fullPath);
        if (found != faces.end())
            return found->second;
        LOG_INFO("Adding font font <%s>", fullPath.c_str());
        FT_Face face = nullptr;
        if (!library || FT_New_Face(library, fullPath.c_str(), 0, &face) != 0) {
            LOG_ERROR("Error opening font %s", fullPath.c_str());
            face = nullptr;
        }
        faces[fullPath] = face;
        return face;
    }
};

FontLibrary& fonts()
{
    static FontLibrary instance;
    return instance;
}

// One point of a cap as the tessellator sees it; its front vertex is made on first use.
struct CapVertex {
    double xyz[3] = {0.0, 0.0, 0.0};
    int64_t front = -1;
};

struct CapTessellation {
    std::deque<CapVertex> vertices; // stable addresses for the tessellator
    std::vector<CapVertex*> emitted;
    bool failed = false;
};

void GLAPIENTRY tessBegin(GLenum, void*) {}
void GLAPIENTRY tessEdgeFlag(GLboolean, void*) {} // its presence makes the tessellator emit plain triangles
void GLAPIENTRY tessVertex(void* vertex, void* data)
{
    static_cast<CapTessellation*>(data)->emitted.push_back(static_cast<CapVertex*>(vertex));
}
void GLAPIENTRY tessCombine(GLdouble coords[3], void*[4], GLfloat[4], void** out, void* data)
{
    auto* tess = static_cast<CapTessellation*>(data);
    CapVertex& v = tess->vertices.emplace_back();
    std::copy(coords, coords + 3, v.xyz);
    *out = &v;
}
void GLAPIENTRY tessError(GLenum error, void* data)
{
    auto* tess = static_cast<CapTessellation*>(data);
    if (!tess->failed)
        LOG_WARNING("Glyph cap not triangulated: %s", reinterpret_cast<const char*>(gluErrorString(error)));
    tess->failed = true;
}

// Pen state of one text: kerning and the bearing correction look at the glyph before.
struct PenState {
    FT_UInt previousGlyph = 0;
    FT_Pos previousRsbDelta = 0;
};

void appendVertex(TextMesh& mesh, double x, double y, double z)
{
    mesh.positions.push_back(static_cast<float>(x));
    mesh.positions.push_back(static_cast<float>(y));
    mesh.positions.push_back(static_cast<float>(z));
}

bool pointInside(const ContourPoint& p, const GlyphContour& contour)
{
    bool inside = false;
    const std::vector<ContourPoint>& q = contour.points;
    for (size_t i = 0, j = q.size() - 1; i < q.size(); j = i++)
        if ((q[i].y > p.y) != (q[j].y > p.y) &&
            p.x < (q[j].x - q[i].x) * (p.y - q[i].y) / (q[j].y - q[i].y) + q[i].x)
            inside = !inside;
    return inside;
}

// The outer contour each hole belongs to: the smallest one around its first point. A bounding-box test alone
// gives the counters of "%" to its slash as well, which then caps them over.
std::vector<int> holeOwners(const std::vector<std::unique_ptr<GlyphContour>>& contours)
{
    std::vector<int> owner(contours.size(), -1);
    for (size_t h = 0; h < contours.size(); ++h) {
        if (contours[h]->clockwise || contours[h]->points.empty())
            continue;
        double best = 0.0;
        for (size_t c = 0; c < contours.size(); ++c) {
            const GlyphContour& outer = *contours[c];
            if (!outer.clockwise || outer.points.size() < 3 || !pointInside(contours[h]->points.front(), outer))
                continue;
            const double area = double(outer.maxX - outer.minX) * double(outer.maxY - outer.minY);
            if (owner[h] < 0 || area < best) {
                owner[h] = static_cast<int>(c);
                best = area;
            }
        }
    }
    return owner;
}

// Triangulates the cap of one outer contour with its holes; front and back vertices per cap point.
void addCap(TextMesh& mesh, const std::vector<std::unique_ptr<GlyphContour>>& contours,
            const std::vector<int>& owners, size_t outer, double x0, double lineHeight, float depth)
{
    GLUtesselator* tessellator = gluNewTess();
    if (!tessellator) {
        LOG_ERROR("No tessellator for the glyph caps");
        return;
    }
    CapTessellation tess;
    using Callback = void(GLAPIENTRY*)();
    gluTessCallback(tessellator, GLU_TESS_BEGIN_DATA, reinterpret_cast<Callback>(tessBegin));
    gluTessCallback(tessellator, GLU_TESS_EDGE_FLAG_DATA, reinterpret_cast<Callback>(tessEdgeFlag));
    gluTessCallback(tessellator, GLU_TESS_VERTEX_DATA, reinterpret_cast<Callback>(tessVertex));
    gluTessCallback(tessellator, GLU_TESS_COMBINE_DATA, reinterpret_cast<Callback>(tessCombine));
    gluTessCallback(tessellator, GLU_TESS_ERROR_DATA, reinterpret_cast<Callback>(tessError));
    gluTessProperty(tessellator, GLU_TESS_WINDING_RULE, GLU_TESS_WINDING_ODD);
    gluTessNormal(tessellator, 0.0, 0.0, 1.0);

    auto addContour = [&](const GlyphContour& contour) {
        gluTessBeginContour(tessellator);
        for (const ContourPoint& p : contour.points) {
            CapVertex& v = tess.vertices.emplace_back();
            v.xyz[0] = x0 + p.x / 64.0;
            v.xyz[1] = p.y / 64.0;
            gluTessVertex(tessellator, v.xyz, &v);
        }
        gluTessEndContour(tessellator);
    };
    gluTessBeginPolygon(tessellator, &tess);
    addContour(*contours[outer]);
    for (size_t j = 0; j < contours.size(); ++j)
        if (owners[j] == static_cast<int>(outer) && contours[j]->points.size() >= 3)
            addContour(*contours[j]);
    gluTessEndPolygon(tessellator);
    gluDeleteTess(tessellator);
    if (tess.failed)
        return;

    const size_t triangles = tess.emitted.size() / 3;
    for (size_t t = 0; t < triangles; ++t) {
        uint32_t f[3];
        for (int k = 0; k < 3; ++k) {
            CapVertex* v = tess.emitted[3 * t + size_t(k)];
            if (v->front < 0) {
                v->front = mesh.VertexCount();
                appendVertex(mesh, v->xyz[0], lineHeight - v->xyz[1], 0.0);
                appendVertex(mesh, v->xyz[0], lineHeight - v->xyz[1], depth);
            }
            f[k] = static_cast<uint32_t>(v->front);
        }
        // The tessellator turns counter-clockwise about +z in the outline's y-up frame; y is flipped here, so the
        // front keeps its order and faces -z, the back is reversed and faces +z.
        mesh.caps.insert(mesh.caps.end(), {f[0], f[1], f[2]});
        mesh.caps.insert(mesh.caps.end(), {f[2] + 1, f[1] + 1, f[0] + 1});
    }
}

// Adds one character at the pen and returns its advance in pixels (0 for a glyph that cannot be loaded).
float addCharacter(TextMesh& mesh, FT_Face face, uint32_t code, float pen, float depth, PenState& state)
{
    const FT_UInt index = FT_Get_Char_Index(face, code);
    // Unhinted: grid fitting is for pixels and would bend the shapes differently at every size.
    if (FT_Load_Glyph(face, index, FT_LOAD_NO_HINTING) != 0) {
        LOG_WARNING("FT_Load_Glyph failed");
        return 0.0f;
    }
    FT_GlyphSlot slot = face->glyph;
    if (slot->format != FT_GLYPH_FORMAT_OUTLINE) {
        LOG_ERROR("Invalid Glyph Format");
        return 0.0f;
    }

    double x0 = pen;
    if (FT_HAS_KERNING(face) && state.previousGlyph != 0) {
        FT_Vector kerning{};
        FT_Get_Kerning(face, state.previousGlyph, index, FT_KERNING_DEFAULT, &kerning);
        x0 += static_cast<double>(kerning.x >> 6);
    }
    const FT_Pos d = state.previousRsbDelta - slot->lsb_delta;
    if (d >= 32)
        x0 -= 1.0;
    else if (d < -32)
        x0 += 1.0;
    state.previousRsbDelta = slot->rsb_delta;

    Vectoriser vectoriser(slot->outline);
    vectoriser.BuildContours();
    const double lineHeight = static_cast<double>(face->height);
    const std::vector<int> owners = holeOwners(vectoriser.contours);
    for (size_t c = 0; c < vectoriser.contours.size(); ++c) {
        const GlyphContour& contour = *vectoriser.contours[c];
        const std::vector<ContourPoint>& p = contour.points;
        const uint32_t n = static_cast<uint32_t>(p.size());
        if (n < 3)
            continue; // no area: neither walls nor a cap
        const uint32_t base = mesh.VertexCount();
        for (float z : {0.0f, depth})
            for (const ContourPoint& point : p)
                appendVertex(mesh, x0 + point.x / 64.0, lineHeight / 64.0 - point.y / 64.0, z);
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t m = (k + 1) % n;
            mesh.walls.insert(mesh.walls.end(), {base + k, base + m, base + n + m});
            mesh.walls.insert(mesh.walls.end(), {base + k, base + n + m, base + n + k});
        }
        if (contour.clockwise)
            addCap(mesh, vectoriser.contours, owners, c, x0, lineHeight / 64.0, depth);
    }
    state.previousGlyph = index;
    return static_cast<float>(slot->advance.x >> 6);
}

} // namespace

std::vector<uint32_t> decodeUtf8(const std::string& text)
{
    std::vector<uint32_t> codes;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char lead = s[i];
        int length = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            length = 1;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07u;
        }
        bool valid = length > 0 && i + size_t(length) <= n;
        for (int k = 1; valid && k < length; ++k) {
            if ((s[i + size_t(k)] & 0xC0) != 0x80)
                valid = false;
            else
                code = (code << 6) | (s[i + size_t(k)] & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are malformed too.
        static constexpr uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF))
            valid = false;
        if (!valid) {
            codes.push_back(0xFFFD);
            ++i;
            continue;
        }
        codes.push_back(code);
        i += size_t(length);
    }
    return codes;
}

bool buildTextMesh(TextMesh& mesh, const std::string& text, const std::string& fontPath, float size, float depth,
                   float spacing)
{
    FT_Face face = fonts().Open(dataPath(fontPath));
    if (!face)
        return false;
    // A stored size outside the parameter's range must not reach FreeType as 0 or a negative size.
    const float points = std::isfinite(size) ? std::clamp(size, 0.1f, 1024.0f) : 8.0f;
    const FT_F26Dot6 charSize = static_cast<FT_F26Dot6>(points * 64.0f);
    FT_Set_Char_Size(face, charSize, charSize, 96, 96);
    mesh.Clear();
    PenState state; // each text starts without a previous glyph
    float pen = 0.0f;
    for (uint32_t code : decodeUtf8(text))
        pen += addCharacter(mesh, face, code, pen, depth, state) * spacing;
    return true;
}

Geometry* textMeshToGeometry(const TextMesh& mesh, Geometry* geometry)
{
    const uint32_t n = mesh.VertexCount();
    geomDelete(geometry);
    geometry = geomCreate(n, 2,
                          {builtinVertexAttributes[VERTEX_ATTRIBUTE_COORDS],
                           builtinVertexAttributes[VERTEX_ATTRIBUTE_ALBEDO],
                           builtinVertexAttributes[VERTEX_ATTRIBUTE_NORMALS]});
    if (!geometry)
        return nullptr;
    geometry->surfaces[0]->name = "Text";
    geometry->surfaces[1]->name = "Extrusion";
    if (n > 0) {
        auto* coords = reinterpret_cast<float*>(geometry->FindAttributeBuffer("VTXCoords")->hostCopy);
        auto* albedo = reinterpret_cast<float*>(geometry->FindAttributeBuffer("VTXAlbedo")->hostCopy);
        std::copy(mesh.positions.begin(), mesh.positions.end(), coords);
        std::fill(albedo, albedo + 3 * size_t(n), 1.0f);
    }
    const std::vector<uint32_t>* lists[2] = {&mesh.caps, &mesh.walls};
    for (int s = 0; s < 2; ++s) {
        const std::vector<uint32_t>& indices = *lists[s];
        for (size_t t = 0; t + 2 < indices.size(); t += 3)
            geomSurfaceAppendTriangle(geometry->surfaces[size_t(s)], indices[t], indices[t + 1], indices[t + 2]);
    }
    geomCalculateNormals(geometry);
    geomUpdate(geometry);
    return geometry;
}

// ---- Component ----

const char* const textobjectfx::kFontPath = "fonts/OCTICITY.TTF";

textobjectfx::textobjectfx(const std::string& name) : KitComponent(kTextRow, name)
{
    CvarTreeRegisterFloat(&size, "size", 8.0f, 0.1f, 64.0f);
    CvarTreeRegisterFloat(&spacing, "spacing", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterFloat(&depth, "depth", 1.0f, 0.0f, 10.0f);
    CvarTreeRegisterText(&text, "text", "SampleText");
    CloseBranch();
    object = new Object();
    object->owner = this;
    record = new FileResource(ResourceType::Object, name + "/internal/output", object);
    AddOutput("obj", ResourceType::Object)->payload = record;
}

bool textobjectfx::CreateGpuObjects()
{
    Rebuild();
    return true;
}

textobjectfx::~textobjectfx()
{
    if (object->geometry)
        geomDelete(object->geometry);
    delete object;
    delete record;
}

void textobjectfx::OnInputConnected(int32_t pinId) { RelayToOnInputChanged(this, pinId); }

void textobjectfx::Init() { Rebuild(); }

void textobjectfx::OnCvarChanged(Cvar*)
{
    Rebuild();
    for (OutputPin* pin : outputs)
        GraphManager::NotifyOutputChanged(pin->id);
}

void textobjectfx::Rebuild()
{
    // A font that cannot be opened keeps whatever mesh there was.
    if (!buildTextMesh(mesh, text.text, kFontPath, size.value[0], depth.value[0], spacing.value[0]) &&
        object->geometry)
        return;
    object->geometry = textMeshToGeometry(mesh, object->geometry);
    std::fill(std::begin(object->bounds), std::end(object->bounds), 0.0f);
    if (object->geometry && mesh.VertexCount() > 0)
        geomCalculateBoundingBox(object->geometry, object->bounds);
}
