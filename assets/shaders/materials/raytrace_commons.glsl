// Functions over the raytracer's scene buffers (layouts in raytrace_buffers.glsl, which must come first): exported
// vertices and faces, the grid mapping, face insertion into the partition grid, ray-triangle tests and a grid
// walk, and the voxel colour packing. Functions over a buffer group exist only where the group is declared.

#ifndef MATERIALS_RAYTRACE_COMMONS_GLSL
#define MATERIALS_RAYTRACE_COMMONS_GLSL

// ---- Exported geometry ----

#if defined(RT_BUFFERS_VERTICES)
RTExportedVertex rtFetchVertex(int vertex)
{
    RTExportedVertex v;
    int c = in_vtx_data_coord_offset + vertex * in_vtx_data_coord_stride;
    int n = in_vtx_data_normal_offset + vertex * in_vtx_data_normal_stride;
    int t = in_vtx_data_uv0_offset + vertex * in_vtx_data_uv0_stride;
    int m = in_vtx_data_material_offset + vertex * in_vtx_data_material_stride;
    if (vertex < 0 || m >= in_vtx_data.length()) {
        v.position = vec3(0.0);
        v.normal = vec3(0.0, 0.0, 1.0);
        v.uv0 = vec2(0.0);
        v.material = 0;
        return v;
    }
    v.position = vec3(in_vtx_data[c], in_vtx_data[c + 1], in_vtx_data[c + 2]);
    v.normal = gbufferOctDecode(vec2(in_vtx_data[n], in_vtx_data[n + 1]));
    v.uv0 = vec2(in_vtx_data[t], in_vtx_data[t + 1]);
    v.material = int(in_vtx_data[m] + 0.5);
    return v;
}

vec3 rtFetchPosition(int vertex)
{
    int c = in_vtx_data_coord_offset + vertex * in_vtx_data_coord_stride;
    if (vertex < 0 || c + 2 >= in_vtx_data.length())
        return vec3(0.0);
    return vec3(in_vtx_data[c], in_vtx_data[c + 1], in_vtx_data[c + 2]);
}

void rtFetchFace(int face, out vec3 p0, out vec3 p1, out vec3 p2)
{
    p0 = rtFetchPosition(face * 3);
    p1 = rtFetchPosition(face * 3 + 1);
    p2 = rtFetchPosition(face * 3 + 2);
}
#endif

// ---- Grid mapping ----

// Floats ordered as ints, so atomicMin / atomicMax on the result order like the floats.
int rtFloatToOrdered(float f)
{
    int i = floatBitsToInt(f);
    return i >= 0 ? i : i ^ 0x7FFFFFFF;
}

float rtOrderedToFloat(int i)
{
    return intBitsToFloat(i >= 0 ? i : i ^ 0x7FFFFFFF);
}

int rtCellIndex(ivec3 cell)
{
    return cell.x + cell.y * RT_GRID_RESOLUTION + cell.z * RT_GRID_RESOLUTION * RT_GRID_RESOLUTION;
}

int rtCoarseCellIndex(ivec3 cell)
{
    ivec3 c = cell / RT_GRID_COARSE_FACTOR;
    return RT_GRID_CELLS + c.x + c.y * RT_GRID_COARSE_RESOLUTION +
           c.z * RT_GRID_COARSE_RESOLUTION * RT_GRID_COARSE_RESOLUTION;
}

bool rtCellInGrid(ivec3 cell)
{
    return all(greaterThanEqual(cell, ivec3(0))) && all(lessThan(cell, ivec3(RT_GRID_RESOLUTION)));
}

#if defined(RT_BUFFERS_BOUNDS)
// Grid space: cell units, 0 .. 256 across the grid.
vec3 rtWorldToGrid(int grid, vec3 p)
{
    return (p - grid_bounds[grid].bbox_min.xyz) * grid_bounds[grid].inv_cell_size.xyz;
}

vec3 rtGridToWorld(int grid, vec3 g)
{
    return grid_bounds[grid].bbox_min.xyz + g * grid_bounds[grid].cell_size.xyz;
}
#endif

// ---- Partition insertion ----

#if defined(RT_BUFFERS_GRID)
// Appends the face to the cell's list; false when the node pool is full.
bool rtInsertFace(ivec3 cell, uint face)
{
    if (!rtCellInGrid(cell))
        return false;
    uint node = atomicAdd(faces_list_counter, 1u);
    if (node >= uint(faces_list_nodes.length() / 2))
        return false;
    int index = rtCellIndex(cell);
    uint previous = atomicExchange(faces_list_tails[index], node + 1u);
    faces_list_nodes[node * 2u] = face;
    faces_list_nodes[node * 2u + 1u] = previous;
    atomicAdd(bucket_cells[index], 1u);
    atomicAdd(bucket_cells[rtCoarseCellIndex(cell)], 1u);
    atomicAdd(bucket_header[0], 1u);
    return true;
}
#endif

// ---- Rasterised insertion ----
// A face is rasterised onto the grid face its normal points at most (axis 0: x, so the image plane is y, z), one
// fragment per column of cells; these give the cells of that column the face passes through.

vec2 rtAxisPlane(vec3 g, int axis)
{
    return axis == 0 ? g.yz : (axis == 1 ? g.xz : g.xy);
}

int rtDominantAxis(vec3 n)
{
    vec3 a = abs(n);
    return (a.x >= a.y && a.x >= a.z) ? 0 : (a.y >= a.z ? 1 : 2);
}

ivec3 rtColumnCell(vec2 pixel, int depth, int axis)
{
    ivec2 p = ivec2(floor(pixel));
    return axis == 0 ? ivec3(depth, p.x, p.y) : (axis == 1 ? ivec3(p.x, depth, p.y) : ivec3(p.x, p.y, depth));
}

// First and last depth cell under the pixel (at its centre), widened by the plane's slope over half a pixel and
// by `dilation` cells, and kept within the face's own depth extent.
ivec2 rtColumnRange(vec2 pixel, vec3 g0, vec3 g1, vec3 g2, int axis, float dilation)
{
    vec3 n = cross(g1 - g0, g2 - g0);
    float nd = axis == 0 ? n.x : (axis == 1 ? n.y : n.z);
    vec2 nuv = rtAxisPlane(n, axis);
    float d0 = axis == 0 ? g0.x : (axis == 1 ? g0.y : g0.z);
    float d1 = axis == 0 ? g1.x : (axis == 1 ? g1.y : g1.z);
    float d2 = axis == 0 ? g2.x : (axis == 1 ? g2.y : g2.z);
    float lo = min(d0, min(d1, d2)) - dilation;
    float hi = max(d0, max(d1, d2)) + dilation;
    if (abs(nd) > 0.000001) {
        vec2 slope = -nuv / nd;
        float centre = d0 + dot(slope, pixel - rtAxisPlane(g0, axis));
        float spread = 0.5 * (abs(slope.x) + abs(slope.y)) + dilation;
        lo = max(lo, centre - spread);
        hi = min(hi, centre + spread);
    }
    return ivec2(clamp(int(floor(lo)), 0, RT_GRID_RESOLUTION - 1), clamp(int(floor(hi)), 0, RT_GRID_RESOLUTION - 1));
}

// ---- Tracing ----

// Moller-Trumbore; t along rd (not normalised), barycentrics of p1 and p2.
bool rtIntersectFace(vec3 ro, vec3 rd, vec3 p0, vec3 p1, vec3 p2, out float t, out vec2 bary)
{
    t = 0.0;
    bary = vec2(0.0);
    vec3 e1 = p1 - p0;
    vec3 e2 = p2 - p0;
    vec3 pv = cross(rd, e2);
    float det = dot(e1, pv);
    if (abs(det) < 0.0000001)
        return false;
    float inv = 1.0 / det;
    vec3 tv = ro - p0;
    float u = dot(tv, pv) * inv;
    if (u < 0.0 || u > 1.0)
        return false;
    vec3 qv = cross(tv, e1);
    float v = dot(rd, qv) * inv;
    if (v < 0.0 || u + v > 1.0)
        return false;
    t = dot(e2, qv) * inv;
    bary = vec2(u, v);
    return t > 0.0;
}

struct RTHit {
    bool hit;
    float t;
    int face;
    vec2 bary;
};

#if defined(RT_BUFFERS_GRID) && defined(RT_BUFFERS_VERTICES)
const int RT_MAX_GRID_STEPS = 768;
const int RT_MAX_FACES_PER_CELL = 64;

// Walks the tracing grid cell by cell (skipping empty coarse cells' counts) and tests the faces listed in each.
RTHit rtTraceGrid(vec3 ro, vec3 rd, float maxDistance)
{
    RTHit result;
    result.hit = false;
    result.t = maxDistance;
    result.face = -1;
    result.bary = vec2(0.0);

    vec3 g0 = rtWorldToGrid(RT_GRID_TRACE, ro);
    vec3 gd = rd * grid_bounds[RT_GRID_TRACE].inv_cell_size.xyz;
    if (dot(gd, gd) <= 0.0)
        return result;

    // Enter the grid box.
    vec3 invD = 1.0 / max(abs(gd), vec3(0.0000001)) * sign(gd + vec3(0.0000001));
    vec3 tA = (vec3(0.0) - g0) * invD;
    vec3 tB = (vec3(float(RT_GRID_RESOLUTION)) - g0) * invD;
    float tEnter = max(max(max(min(tA.x, tB.x), min(tA.y, tB.y)), min(tA.z, tB.z)), 0.0);
    float tExit = min(min(max(tA.x, tB.x), max(tA.y, tB.y)), max(tA.z, tB.z));
    if (tEnter > tExit)
        return result;

    vec3 g = g0 + gd * (tEnter + 0.0001);
    ivec3 cell = clamp(ivec3(floor(g)), ivec3(0), ivec3(RT_GRID_RESOLUTION - 1));
    ivec3 stepDir = ivec3(sign(gd));
    vec3 nextBoundary = vec3(cell) + max(vec3(stepDir), vec3(0.0));
    vec3 tMax = (nextBoundary - g0) * invD;
    vec3 tDelta = abs(invD);

    for (int i = 0; i < RT_MAX_GRID_STEPS; ++i) {
        if (!rtCellInGrid(cell))
            break;
        float cellExit = min(min(tMax.x, tMax.y), tMax.z);
        if (bucket_cells[rtCellIndex(cell)] != 0u) {
            uint node = faces_list_tails[rtCellIndex(cell)];
            for (int k = 0; k < RT_MAX_FACES_PER_CELL && node != 0u; ++k) {
                uint face = faces_list_nodes[(node - 1u) * 2u];
                node = faces_list_nodes[(node - 1u) * 2u + 1u];
                vec3 p0, p1, p2;
                rtFetchFace(int(face), p0, p1, p2);
                float t;
                vec2 bary;
                if (rtIntersectFace(ro, rd, p0, p1, p2, t, bary) && t < result.t) {
                    result.hit = true;
                    result.t = t;
                    result.face = int(face);
                    result.bary = bary;
                }
            }
            // A hit inside this cell cannot be beaten by a later cell.
            if (result.hit && result.t <= cellExit)
                return result;
        }
        if (cellExit > maxDistance)
            break;
        if (tMax.x < tMax.y && tMax.x < tMax.z) {
            cell.x += stepDir.x;
            tMax.x += tDelta.x;
        } else if (tMax.y < tMax.z) {
            cell.y += stepDir.y;
            tMax.y += tDelta.y;
        } else {
            cell.z += stepDir.z;
            tMax.z += tDelta.z;
        }
    }
    return result;
}
#endif

#if defined(RT_BUFFERS_VERTICES)
// The hit's surface: position, interpolated normal, uv and material row.
RTExportedVertex rtHitSurface(RTHit hit)
{
    RTExportedVertex a = rtFetchVertex(hit.face * 3);
    RTExportedVertex b = rtFetchVertex(hit.face * 3 + 1);
    RTExportedVertex c = rtFetchVertex(hit.face * 3 + 2);
    float w = 1.0 - hit.bary.x - hit.bary.y;
    RTExportedVertex s;
    s.position = a.position * w + b.position * hit.bary.x + c.position * hit.bary.y;
    s.normal = normalize(a.normal * w + b.normal * hit.bary.x + c.normal * hit.bary.y);
    s.uv0 = a.uv0 * w + b.uv0 * hit.bary.x + c.uv0 * hit.bary.y;
    s.material = a.material;
    return s;
}
#endif

// ---- Voxels ----

uint rtPackColor(vec4 c)
{
    return packUnorm4x8(clamp(c, 0.0, 1.0));
}

vec4 rtUnpackColor(uint c)
{
    return unpackUnorm4x8(c);
}

#endif // MATERIALS_RAYTRACE_COMMONS_GLSL
