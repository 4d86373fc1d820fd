#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "geometry/AppendRecords.h"
#include "geometry/HugePages.h"
#include "geometry/LoadBudget.h"
#include "geometry/Mesh.h"
#include "store/DepthMap.h"

namespace {

struct Grid {
  const DepthMap& map;
  const int32_t* pixels;
  int32_t w, h, pixelStride, rowStride;
  const double* z;
  int64_t n;
  double t;
};

// Vertices as the scan leaves them where it writes only positions (triangles start zeroed).
struct VertexBlock {
  MeshVertex vertices[512];
  VertexBlock() {
    for (MeshVertex& v : vertices) v = MeshVertex{{0, 0, 0}, 1.0f, {255, 255, 255}, 0, {0, 0, 0}};
  }
};

// For each square whose lower right pixel is in column c >= 1 of a row: bit 0 when its upper
// triangle C B A passes (edges A-B and B-C), bit 1 when its lower triangle A D C does (edges C-D
// and D-A). A missing pixel's depth is NaN, so no difference with it is below the limit.
void EdgeTests(const double* above, const double* depth, int32_t w, double t, std::vector<uint8_t>& passes) {
  uint8_t* pass = passes.data();
  int32_t c = 1;
#if defined(__SSE2__)
  const __m128d limit = _mm_set1_pd(t);
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
  auto below = [&](__m128d x, __m128d y) { return _mm_cmplt_pd(_mm_and_pd(_mm_sub_pd(x, y), magnitude), limit); };
  for (; c + 2 <= w; c += 2) {
    const __m128d aboveLeft = _mm_loadu_pd(above + c - 1), aboveHere = _mm_loadu_pd(above + c);
    const __m128d left = _mm_loadu_pd(depth + c - 1), here = _mm_loadu_pd(depth + c);
    const int upper = _mm_movemask_pd(_mm_and_pd(below(aboveLeft, aboveHere), below(aboveHere, here)));
    const int lower = _mm_movemask_pd(_mm_and_pd(below(here, left), below(aboveLeft, left)));
    pass[c] = uint8_t((upper & 1) | (lower & 1) << 1);
    pass[c + 1] = uint8_t(upper >> 1 | (lower & 2));
  }
#endif
  for (; c < w; ++c) {
    const bool vertical = std::fabs(above[c] - depth[c]) < t;
    const bool upper = (std::fabs(above[c - 1] - above[c]) < t) & vertical;
    const bool lower = (std::fabs(depth[c] - depth[c - 1]) < t) & (std::fabs(above[c - 1] - depth[c - 1]) < t);
    pass[c] = uint8_t(upper | lower << 1);
  }
}

// Columns taken at a time: the scan's scratch holds one stretch of two rows, so it stays the same
// size however wide the map is.
const int32_t kStretch = 4096;

double DepthAt(const Grid& g, int32_t index) {
  return index >= 0 ? g.z[index] : std::numeric_limits<double>::quiet_NaN();
}

// One row-major scan over the pixels, writing straight into the mesh: the vertex array is
// reserved to n and the triangle array to the most the grid can make, each with a spare record.
// Each row first grows both by as much as it can add, so records are filled in cache just before
// they are written; the untouched rest of the reservation is never brought into memory. False
// when the index image does not number its valid pixels 0, 1, 2, ... in scan order below n (else
// triangles would join the wrong vertices or read past the depths).
//
// A row is taken a stretch of columns at a time; past the first stretch, the column before the
// stretch and the row above are looked up again in the index image: their indices were checked
// when their own pixels were scanned, so the lookups stay inside the depths.
//
// Valid and invalid pixels are often scattered, so the counts, not branches, decide what is
// kept: every pixel writes its vertex at the vertex count and both triangles of its square at the
// triangle count, and the counts move past what is valid; what was written past them is
// overwritten or cut off at the end. The writes stay below the counts plus one (vertex) and two
// (triangles): inside what the row grew by and the spare record.
bool Scan(const Grid& g, std::vector<MeshVertex>& vertices, std::vector<MeshTriangle>& triangles) {
  static const VertexBlock block;
  int64_t k = 0;
  int64_t count = 0;
  // Index 0 is the column before the stretch (or its first column), so a stretch needs one more.
  const size_t span = size_t(std::min(g.w, kStretch)) + 1;
  std::vector<double> depthRows(2 * span), columnX(span);
  std::vector<uint8_t> passes(span);
  double* depth = depthRows.data();
  double* depthAbove = depth + span;
  // A row that fits in one stretch keeps its depths for the row below instead of looking them up.
  const bool oneStretch = g.w <= kStretch;
  for (int32_t r = 0; r < g.h; ++r) {
    AppendCopies(vertices, std::min(vertices.capacity(), size_t(k + g.w)), block.vertices);
    AppendZeroed(triangles, std::min(triangles.capacity(), size_t(count + 2 * int64_t(g.w))));
    MeshVertex* const out = vertices.data();
    MeshTriangle* const made = triangles.data();
    // Where the next row's records will go: asked for now, so that copying them in later finds
    // the memory in the cache instead of waiting on it.
    const char* const nextVertices = reinterpret_cast<const char*>(out + vertices.size());
    const char* const nextTriangles = reinterpret_cast<const char*>(made + triangles.size());
    const bool ahead = vertices.capacity() - vertices.size() >= size_t(g.w) &&
                       triangles.capacity() - triangles.size() >= 2 * size_t(g.w);
    const int32_t* row = g.pixels + int64_t(r) * g.rowStride;
    const int32_t* above = row - g.rowStride;
    const double yn = (r - g.map.cy) / g.map.fy;
    const double shift = yn * g.map.skew;
    if (oneStretch) std::swap(depth, depthAbove);
    for (int32_t c0 = 0; c0 < g.w; c0 += kStretch) {
      const int32_t c1 = c0 + std::min(kStretch, g.w - c0);
      const int32_t base = c0 > 0 ? c0 - 1 : 0;
      if (r == 0 || !oneStretch)
        for (int32_t c = base; c < c1; ++c) columnX[size_t(c - base)] = (c - g.map.cx) / g.map.fx;
      if (c0 > 0) depth[0] = DepthAt(g, row[int64_t(base) * g.pixelStride]);
      for (int32_t c = c0; c < c1; ++c) {
        const int32_t C = row[int64_t(c) * g.pixelStride];
        const bool valid = C >= 0;
        if (valid && (C != k || k >= g.n)) return false;
        const double d = DepthAt(g, C);
        depth[c - base] = d;
        if (ahead) {
          __builtin_prefetch(nextVertices + int64_t(c) * int64_t(sizeof(MeshVertex)), 1);
          __builtin_prefetch(nextTriangles + int64_t(c) * int64_t(2 * sizeof(MeshTriangle)), 1);
        }
        const double xn = columnX[size_t(c - base)] - shift;
        float* p = out[k].position;
        p[0] = float(xn * d);
        p[1] = float(yn * d);
        p[2] = float(d);
        k += valid;
      }
      if (r == 0 || g.w < 2) continue;
      if (!oneStretch)
        for (int32_t c = base; c < c1; ++c) depthAbove[c - base] = DepthAt(g, above[int64_t(c) * g.pixelStride]);
      EdgeTests(depthAbove, depth, c1 - base, g.t, passes);
      for (int32_t c = std::max(c0, 1); c < c1; ++c) {
        const int64_t col = int64_t(c) * g.pixelStride;
        const int32_t C = row[col], B = above[col], A = above[col - g.pixelStride], D = row[col - g.pixelStride];
        const uint8_t pass = passes[size_t(c - base)];
        int32_t* u = made[count].indices;
        u[0] = C, u[1] = B, u[2] = A;
        count += pass & 1;
        int32_t* l = made[count].indices;
        l[0] = A, l[1] = D, l[2] = C;
        count += pass >> 1;
      }
    }
  }
  vertices.resize(static_cast<size_t>(k));
  triangles.resize(static_cast<size_t>(count));
  return k == g.n;
}

void Empty(Mesh& mesh) {
  std::vector<MeshVertex>().swap(mesh.vertices);
  std::vector<MeshTriangle>().swap(mesh.triangles);
}

}  // namespace

bool Mesh::CreateFromDepthMap(const DepthMap& depthMap, double maxDepthJump) {
  const CImage& image = depthMap.indexImage;
  const bool hasPixels = image.pixels && image.width > 0 && image.height > 0;
  Grid g{depthMap,          image.pixels,    hasPixels ? image.width : 0, hasPixels ? image.height : 0,
         image.pixelStride, image.rowStride, depthMap.depths.data(),      int64_t(depthMap.depths.size()),
         maxDepthJump};
  name = depthMap.name;

  bool consistent = false;
  try {
    Empty(*this);
    // Each valid pixel is the lower right corner of at most two triangles.
    const int64_t squares = g.w > 1 && g.h > 1 ? int64_t(g.w - 1) * (g.h - 1) : 0;
    vertices.reserve(size_t(g.n) + 1);
    triangles.reserve(size_t(2 * std::min(squares, g.n)) + 2);
    PreferHugePages(vertices.data(), vertices.capacity() * sizeof(MeshVertex));
    PreferHugePages(triangles.data(), triangles.capacity() * sizeof(MeshTriangle));
    consistent = Scan(g, vertices, triangles);
  } catch (const std::bad_alloc&) {
    Empty(*this);
    LoadBudget::Say(("Mesh::CreateFromDepthMap : out of memory for " + name + "\n").c_str());
    return false;
  }
  if (!consistent) {
    Empty(*this);
    LoadBudget::Say("Mesh::CreateFromDepthMap : inconsistent vertex counting!\n");
    return false;
  }
  return true;
}
