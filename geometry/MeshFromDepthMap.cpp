#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "geometry/HugePages.h"
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

// One row-major scan over the pixels, writing straight into the mesh: the vertex array is
// reserved to n and the triangle array to the most the grid can make, each with a spare record.
// Each row first grows both by as much as it can add, so records are zeroed in cache just before
// they are written; the untouched rest of the reservation is never brought into memory. False
// when the index image does not number its valid pixels 0, 1, 2, ... in scan order below n (else
// triangles would join the wrong vertices or read past the depths).
//
// Valid and invalid pixels are often scattered, so the pixel loop has no branch that depends on
// them: every pixel writes a vertex and both triangles of its square at the current counts, and
// the counts move past what is valid. A missing pixel reads the first depth (or a zero) and fails
// its index test; what it wrote is overwritten or cut off at the end. The writes stay below the
// counts plus one (vertex) and two (triangles): inside what the row grew by and the spare record.
bool Scan(const Grid& g, std::vector<MeshVertex>& vertices, std::vector<MeshTriangle>& triangles,
          const double* columnX) {
  int64_t k = 0;
  int64_t count = 0;
  const double t = g.t;
  const double noDepth = 0.0;
  const double* z = g.n > 0 ? g.z : &noDepth;
  for (int32_t r = 0; r < g.h; ++r) {
    vertices.resize(std::min(vertices.capacity(), static_cast<size_t>(k + g.w)));
    triangles.resize(std::min(triangles.capacity(), static_cast<size_t>(count + 2 * int64_t(g.w))));
    MeshVertex* const out = vertices.data();
    MeshTriangle* const made = triangles.data();
    const int32_t* row = g.pixels + int64_t(r) * g.rowStride;
    const int32_t* above = r > 0 ? row - g.rowStride : row;
    const double yn = (r - g.map.cy) / g.map.fy;
    const double shift = yn * g.map.skew;
    for (int32_t c = 0; c < g.w; ++c) {
      const int64_t col = int64_t(c) * g.pixelStride;
      const int32_t C = row[col];
      const bool valid = C >= 0;
      if (valid && (C != k || k >= g.n)) return false;
      const double d = z[valid ? C : 0];
      const double xn = columnX[c] - shift;
      out[k] = MeshVertex{{float(xn * d), float(yn * d), float(d)}, 1.0f, {255, 255, 255}, 0, {0, 0, 0}};
      k += valid;
      if (r < 1 || c < 1) continue;
      const int32_t A = above[col - g.pixelStride];
      const int32_t B = above[col];
      const int32_t D = row[col - g.pixelStride];
      const double zA = z[A < 0 ? 0 : A], zB = z[B < 0 ? 0 : B], zD = z[D < 0 ? 0 : D];
      const bool upper = valid & (A >= 0) & (B >= 0) & (std::fabs(zA - zB) < t) & (std::fabs(zB - d) < t);
      const bool lower = valid & (D >= 0) & (A >= 0) & (std::fabs(d - zD) < t) & (std::fabs(zD - zA) < t);
      made[count] = MeshTriangle{{C, B, A}, {0, 0, 0}};
      count += upper;
      made[count] = MeshTriangle{{A, D, C}, {0, 0, 0}};
      count += lower;
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
  Grid g{depthMap,
         image.pixels,
         hasPixels ? image.width : 0,
         hasPixels ? image.height : 0,
         image.pixelStride,
         image.rowStride,
         depthMap.depths.data(),
         int64_t(depthMap.depths.size()),
         maxDepthJump};
  name = depthMap.name;

  bool consistent = false;
  try {
    std::vector<double> columnX(static_cast<size_t>(g.w));
    for (int32_t c = 0; c < g.w; ++c) columnX[size_t(c)] = (c - depthMap.cx) / depthMap.fx;
    Empty(*this);
    // Each valid pixel is the lower right corner of at most two triangles.
    const int64_t squares = g.w > 1 && g.h > 1 ? int64_t(g.w - 1) * (g.h - 1) : 0;
    vertices.reserve(size_t(g.n) + 1);
    triangles.reserve(size_t(2 * std::min(squares, g.n)) + 2);
    PreferHugePages(vertices.data(), vertices.capacity() * sizeof(MeshVertex));
    PreferHugePages(triangles.data(), triangles.capacity() * sizeof(MeshTriangle));
    consistent = Scan(g, vertices, triangles, columnX.data());
  } catch (const std::bad_alloc&) {
    Empty(*this);
    std::fprintf(stderr, "Mesh::CreateFromDepthMap : out of memory for %s\n", name.c_str());
    std::fflush(stderr);
    return false;
  }
  if (!consistent) {
    Empty(*this);
    std::fprintf(stderr, "Mesh::CreateFromDepthMap : inconsistent vertex counting!\n");
    std::fflush(stderr);
    return false;
  }
  return true;
}
