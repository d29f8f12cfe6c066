// Writes the engine's shipped meshes: "lwobj/tetrohedra.lwo" (a regular tetrahedron in the LWO2 layout, read
// through assimp) and "models/walker/walker.gltf" + "walker.bin" (a small skinned tube with a two-joint skeleton
// and a looping bend animation).
//
//   generate_meshes ASSET_DIR

#include "generated_file.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void putU16(Bytes& out, uint16_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}
void putU32(Bytes& out, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(uint8_t(v >> s));
}
void putF32(Bytes& out, float f)
{
    uint32_t v;
    std::memcpy(&v, &f, 4);
    putU32(out, v);
}
// A name, zero-terminated and padded to an even length.
void putName(Bytes& out, const char* s)
{
    const size_t n = std::strlen(s) + 1;
    out.insert(out.end(), s, s + n);
    if (n % 2)
        out.push_back(0);
}
void putChunk(Bytes& out, const char* id, const Bytes& body)
{
    out.insert(out.end(), id, id + 4);
    putU32(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
}

Bytes tetrahedronLwo()
{
    const float s = 1.0f;
    const float points[4][3] = {{s, s, s}, {s, -s, -s}, {-s, s, -s}, {-s, -s, s}};
    const uint16_t faces[4][3] = {{0, 1, 2}, {0, 3, 1}, {0, 2, 3}, {1, 3, 2}};

    Bytes body;
    body.insert(body.end(), {'L', 'W', 'O', '2'});
    Bytes tags;
    putName(tags, "Default");
    putChunk(body, "TAGS", tags);
    Bytes layer;
    putU16(layer, 0);
    putU16(layer, 0);
    for (int i = 0; i < 3; ++i)
        putF32(layer, 0.0f);
    putName(layer, "");
    putChunk(body, "LAYR", layer);
    Bytes pnts;
    for (const auto& p : points)
        for (float c : p)
            putF32(pnts, c);
    putChunk(body, "PNTS", pnts);
    Bytes pols;
    pols.insert(pols.end(), {'F', 'A', 'C', 'E'});
    for (const auto& f : faces) {
        putU16(pols, 3);
        for (uint16_t i : f)
            putU16(pols, i);
    }
    putChunk(body, "POLS", pols);
    Bytes ptag;
    ptag.insert(ptag.end(), {'S', 'U', 'R', 'F'});
    for (uint16_t f = 0; f < 4; ++f) {
        putU16(ptag, f);
        putU16(ptag, 0);
    }
    putChunk(body, "PTAG", ptag);
    Bytes surf;
    putName(surf, "Default");
    putName(surf, "");
    // COLR sub-chunk: 16-bit size, colour and an envelope index of 0.
    surf.insert(surf.end(), {'C', 'O', 'L', 'R'});
    putU16(surf, 14);
    putF32(surf, 0.8f);
    putF32(surf, 0.8f);
    putF32(surf, 0.8f);
    putU16(surf, 0);
    putChunk(body, "SURF", surf);

    Bytes file;
    putChunk(file, "FORM", body);
    return file;
}

// Little-endian buffer of the glTF file.
struct Bin {
    std::vector<uint8_t> bytes;
    template <typename T>
    size_t Append(const std::vector<T>& values)
    {
        while (bytes.size() % 4)
            bytes.push_back(0);
        const size_t offset = bytes.size();
        const auto* p = reinterpret_cast<const uint8_t*>(values.data());
        bytes.insert(bytes.end(), p, p + values.size() * sizeof(T));
        return offset;
    }
};

// A tube along y from 0 to 4, skinned to a hip joint at 0 and a spine joint at 2; the spine bends back and forth.
void walker(nlohmann::json* gltf, Bin* bin)
{
    using nlohmann::json;
    constexpr int kRings = 9, kSides = 8;
    std::vector<float> positions, normals;
    std::vector<uint16_t> joints;
    std::vector<float> weights;
    std::vector<uint16_t> indices;
    for (int r = 0; r < kRings; ++r) {
        const float y = 4.0f * float(r) / float(kRings - 1);
        const float upper = std::clamp((y - 1.0f) / 2.0f, 0.0f, 1.0f); // share of the spine joint
        for (int s = 0; s < kSides; ++s) {
            const float a = 6.2831853f * float(s) / float(kSides);
            positions.insert(positions.end(), {std::cos(a), y, std::sin(a)});
            normals.insert(normals.end(), {std::cos(a), 0.0f, std::sin(a)});
            joints.insert(joints.end(), {0, 1, 0, 0});
            weights.insert(weights.end(), {1.0f - upper, upper, 0.0f, 0.0f});
        }
    }
    for (int r = 0; r + 1 < kRings; ++r)
        for (int s = 0; s < kSides; ++s) {
            const auto a = uint16_t(r * kSides + s), b = uint16_t(r * kSides + (s + 1) % kSides);
            const auto c = uint16_t(a + kSides), d = uint16_t(b + kSides);
            indices.insert(indices.end(), {a, c, b, b, c, d});
        }
    // Column-major inverse bind matrices: the hip at the origin, the spine 2 up.
    std::vector<float> inverseBind = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1,
                                      1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -2, 0, 1};
    std::vector<float> times = {0.0f, 0.5f, 1.0f, 1.5f, 2.0f};
    std::vector<float> rotations;
    for (float t : times) {
        const float angle = 0.6f * std::sin(3.14159265f * t); // radians about z
        rotations.insert(rotations.end(), {0.0f, 0.0f, std::sin(angle / 2), std::cos(angle / 2)});
    }
    std::vector<float> hipTranslations;
    for (float t : times)
        hipTranslations.insert(hipTranslations.end(), {0.0f, 0.15f * std::fabs(std::sin(3.14159265f * t)), 0.0f});

    json views = json::array(), accessors = json::array();
    auto add = [&](size_t offset, size_t length, int componentType, const char* type, size_t count, int target,
                   json extra = json::object()) {
        json view = {{"buffer", 0}, {"byteOffset", offset}, {"byteLength", length}};
        if (target)
            view["target"] = target;
        views.push_back(view);
        json accessor = {{"bufferView", views.size() - 1}, {"componentType", componentType}, {"count", count},
                         {"type", type}};
        accessor.update(extra);
        accessors.push_back(accessor);
        return int(accessors.size() - 1);
    };
    const size_t vertexCount = positions.size() / 3;
    const int pos = add(bin->Append(positions), positions.size() * 4, 5126, "VEC3", vertexCount, 34962,
                        {{"min", {-1.0, 0.0, -1.0}}, {"max", {1.0, 4.0, 1.0}}});
    const int nor = add(bin->Append(normals), normals.size() * 4, 5126, "VEC3", vertexCount, 34962);
    const int jnt = add(bin->Append(joints), joints.size() * 2, 5123, "VEC4", vertexCount, 34962);
    const int wgt = add(bin->Append(weights), weights.size() * 4, 5126, "VEC4", vertexCount, 34962);
    const int idx = add(bin->Append(indices), indices.size() * 2, 5123, "SCALAR", indices.size(), 34963);
    const int ibm = add(bin->Append(inverseBind), inverseBind.size() * 4, 5126, "MAT4", 2, 0);
    const int tim = add(bin->Append(times), times.size() * 4, 5126, "SCALAR", times.size(), 0,
                        {{"min", {0.0}}, {"max", {2.0}}});
    const int rot = add(bin->Append(rotations), rotations.size() * 4, 5126, "VEC4", times.size(), 0);
    const int tra = add(bin->Append(hipTranslations), hipTranslations.size() * 4, 5126, "VEC3", times.size(), 0);

    *gltf = {
        {"asset", {{"version", "2.0"}, {"generator", "generate_meshes"}}},
        {"scene", 0},
        {"scenes", {{{"name", "walker"}, {"nodes", {0, 1}}}}},
        {"nodes",
         {{{"name", "Body"}, {"mesh", 0}, {"skin", 0}},
          {{"name", "Hip"}, {"children", {2}}},
          {{"name", "Spine"}, {"translation", {0.0, 2.0, 0.0}}}}},
        {"meshes",
         {{{"name", "tube"},
           {"primitives",
            {{{"attributes", {{"POSITION", pos}, {"NORMAL", nor}, {"JOINTS_0", jnt}, {"WEIGHTS_0", wgt}}},
              {"indices", idx},
              {"material", 0}}}}}}},
        {"materials",
         {{{"name", "skin"}, {"pbrMetallicRoughness", {{"baseColorFactor", {0.9, 0.45, 0.2, 1.0}},
                                                       {"metallicFactor", 0.0}, {"roughnessFactor", 0.6}}}}}},
        {"skins", {{{"name", "rig"}, {"joints", {1, 2}}, {"inverseBindMatrices", ibm}}}},
        {"animations",
         {{{"name", "bend"},
           {"samplers",
            {{{"input", tim}, {"output", rot}, {"interpolation", "LINEAR"}},
             {{"input", tim}, {"output", tra}, {"interpolation", "LINEAR"}}}},
           {"channels",
            {{{"sampler", 0}, {"target", {{"node", 2}, {"path", "rotation"}}}},
             {{"sampler", 1}, {"target", {{"node", 1}, {"path", "translation"}}}}}}}}},
        {"accessors", accessors},
        {"bufferViews", views},
    };
    while (bin->bytes.size() % 4)
        bin->bytes.push_back(0);
    (*gltf)["buffers"] = {{{"uri", "walker.bin"}, {"byteLength", bin->bytes.size()}}};
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: generate_meshes ASSET_DIR\n");
        return 2;
    }
    const std::string root = argv[1];
    const Bytes lwo = tetrahedronLwo();
    if (!writeGeneratedFile(root + "/lwobj/tetrohedra.lwo", lwo.data(), lwo.size(), "generate_meshes"))
        return 1;
    nlohmann::json gltf;
    Bin bin;
    walker(&gltf, &bin);
    const std::string text = gltf.dump(1);
    if (!writeGeneratedFile(root + "/models/walker/walker.bin", bin.bytes.data(), bin.bytes.size(), "generate_meshes") ||
        !writeGeneratedFile(root + "/models/walker/walker.gltf", text.data(), text.size(), "generate_meshes"))
        return 1;
    return 0;
}
