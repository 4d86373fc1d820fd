#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "examples/ExampleScenes.h"
#include "geometry/Mesh.h"
#include "store/DepthMap.h"
#include "tests/unit/TestFiles.h"

namespace {

// A map assembled through the loader's own two steps; NaN marks a pixel without depth.
void Assemble(DepthMap& map, int32_t w, int32_t h, const std::vector<float>& perPixel) {
  map.fx = map.fy = 1;
  map.cx = map.cy = 0;
  map.skew = 0;
  map.width = w;
  map.height = h;
  map.bands = 1;
  std::vector<uint8_t> mask((size_t(w) * h + 31) / 32 * 4, 0);
  std::vector<float> values;
  for (size_t k = 0; k < perPixel.size(); ++k) {
    if (std::isnan(perPixel[k])) continue;
    mask[k / 8] |= uint8_t(1 << (k % 8));
    values.push_back(perPixel[k]);
  }
  ASSERT_EQ(map.BuildIndexImage(mask.data()), int32_t(values.size()));
  ASSERT_TRUE(map.SetDepths(values.data(), int32_t(values.size())));
  map.name = "assembled";
}

using Tri = std::vector<int32_t>;

std::vector<Tri> Triangles(const Mesh& mesh) {
  std::vector<Tri> out;
  for (const MeshTriangle& t : mesh.triangles) out.push_back({t.indices[0], t.indices[1], t.indices[2]});
  return out;
}

std::vector<Tri> Build(const std::vector<float>& depths2x2, double limit = 10.0) {
  DepthMap map;
  Assemble(map, 2, 2, depths2x2);
  Mesh mesh;
  EXPECT_TRUE(mesh.CreateFromDepthMap(map, limit));
  return Triangles(mesh);
}

const float kNone = NAN;

// Face normal as a cross product of the edges from the first corner.
std::vector<double> FaceNormal(const Mesh& mesh, const MeshTriangle& t) {
  const float* p0 = mesh.vertices[size_t(t.indices[0])].position;
  const float* p1 = mesh.vertices[size_t(t.indices[1])].position;
  const float* p2 = mesh.vertices[size_t(t.indices[2])].position;
  double a[3], b[3];
  for (int i = 0; i < 3; ++i) a[i] = p1[i] - p0[i], b[i] = p2[i] - p0[i];
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace

TEST(MeshFromDepthMap, TwoByTwoSquareGivesTwoTrianglesFacingTheCamera) {
  DepthMap map;
  Assemble(map, 2, 2, {1, 1, 1, 1});
  Mesh mesh;
  ASSERT_TRUE(mesh.CreateFromDepthMap(map, 10.0));
  EXPECT_EQ(mesh.name, "assembled");
  ASSERT_EQ(mesh.vertices.size(), 4u);
  EXPECT_EQ(Triangles(mesh), (std::vector<Tri>{{3, 1, 0}, {0, 2, 3}}));
  for (const MeshTriangle& t : mesh.triangles) {
    std::vector<double> n = FaceNormal(mesh, t);
    EXPECT_EQ(n[0], 0);
    EXPECT_EQ(n[1], 0);
    EXPECT_LT(n[2], 0);
  }
  for (const MeshVertex& v : mesh.vertices) {
    EXPECT_EQ(v.confidence, 1.0f);
    EXPECT_EQ(v.color[0], 255);
    EXPECT_EQ(v.color[1], 255);
    EXPECT_EQ(v.color[2], 255);
    EXPECT_EQ(v.mask, 0);
  }
}

TEST(MeshFromDepthMap, MissingCornerLeavesOnlyTheOtherTriangle) {
  EXPECT_EQ(Build({1, 1, kNone, 1}), (std::vector<Tri>{{2, 1, 0}}));
  EXPECT_EQ(Build({1, kNone, 1, 1}), (std::vector<Tri>{{0, 1, 2}}));
  EXPECT_EQ(Build({kNone, 1, 1, 1}), (std::vector<Tri>{}));
}

TEST(MeshFromDepthMap, DepthJumpIsTestedStrictlyOnTwoEdgesOfEachTriangle) {
  EXPECT_EQ(Build({1, 1, 1, 12}), (std::vector<Tri>{}));
  EXPECT_EQ(Build({1, 1, 1, 11}), (std::vector<Tri>{}));  // exactly the limit
  EXPECT_EQ(Build({1, 1, 1, 10.999f}), (std::vector<Tri>{{3, 1, 0}, {0, 2, 3}}));
  // Only across the untested diagonal: both are made.
  EXPECT_EQ(Build({1, 6, 6, 12}), (std::vector<Tri>{{3, 1, 0}, {0, 2, 3}}));
  // The two triangles of a square are judged apart.
  EXPECT_EQ(Build({1, 20, 1, 1}), (std::vector<Tri>{{0, 2, 3}}));
  EXPECT_EQ(Build({1, 1, 20, 1}), (std::vector<Tri>{{3, 1, 0}}));
  EXPECT_EQ(Build({1, 1, 1, 1}, NAN), (std::vector<Tri>{}));
  EXPECT_EQ(Build({1, 1, 1, 1}, 0.0), (std::vector<Tri>{}));
}

TEST(MeshFromDepthMap, BackProjectionWithPrincipalPointAndSkew) {
  DepthMap map;
  std::vector<float> pixels(3 * 4, kNone);
  pixels[3 * 3 + 2] = 5;  // column 2, row 3
  Assemble(map, 3, 4, pixels);
  Mesh mesh;
  ASSERT_TRUE(mesh.CreateFromDepthMap(map, 10.0));
  ASSERT_EQ(mesh.vertices.size(), 1u);
  EXPECT_EQ(mesh.vertices[0].position[0], 10.0f);
  EXPECT_EQ(mesh.vertices[0].position[1], 15.0f);
  EXPECT_EQ(mesh.vertices[0].position[2], 5.0f);

  // yn = (2 - 1) / 4 = 0.25, xn = (3 - 1) / 2 - 0.25 * 0.5 = 0.875, depth 8.
  pixels.assign(4 * 3, kNone);
  pixels[2 * 4 + 3] = 8;
  Assemble(map, 4, 3, pixels);
  map.fx = 2;
  map.fy = 4;
  map.cx = 1;
  map.cy = 1;
  map.skew = 0.5;
  Mesh skewed;
  ASSERT_TRUE(skewed.CreateFromDepthMap(map, 10.0));
  ASSERT_EQ(skewed.vertices.size(), 1u);
  EXPECT_EQ(skewed.vertices[0].position[0], 7.0f);
  EXPECT_EQ(skewed.vertices[0].position[1], 2.0f);
  EXPECT_EQ(skewed.vertices[0].position[2], 8.0f);
  map.skew = 0;
  Mesh straight;
  ASSERT_TRUE(straight.CreateFromDepthMap(map, 10.0));
  EXPECT_EQ(straight.vertices[0].position[0], 8.0f);
}

TEST(MeshFromDepthMap, ThinAndEmptyMapsGiveNoTriangles) {
  DepthMap row;
  Assemble(row, 33, 1, std::vector<float>(33, 2.0f));
  Mesh mesh;
  ASSERT_TRUE(mesh.CreateFromDepthMap(row, 10.0));
  EXPECT_EQ(mesh.vertices.size(), 33u);
  EXPECT_TRUE(mesh.triangles.empty());
  EXPECT_EQ(mesh.vertices[32].position[0], 64.0f);

  DepthMap column;
  Assemble(column, 1, 5, std::vector<float>(5, 2.0f));
  Mesh tall;
  ASSERT_TRUE(tall.CreateFromDepthMap(column, 10.0));
  EXPECT_EQ(tall.vertices.size(), 5u);
  EXPECT_TRUE(tall.triangles.empty());

  DepthMap none;
  Assemble(none, 4, 4, std::vector<float>(16, kNone));
  Mesh empty;
  EXPECT_TRUE(empty.CreateFromDepthMap(none, 10.0));
  EXPECT_TRUE(empty.vertices.empty());
  EXPECT_TRUE(empty.triangles.empty());
  EXPECT_EQ(empty.name, "assembled");

  DepthMap zero;
  Mesh fromZero;
  EXPECT_TRUE(fromZero.CreateFromDepthMap(zero, 10.0));
  EXPECT_TRUE(fromZero.vertices.empty());
}

TEST(MeshFromDepthMap, IndexImageIsReadThroughItsStrides) {
  DepthMap map;
  Assemble(map, 2, 2, {1, 1, 1, 1});
  ASSERT_TRUE(map.indexImage.Reallocate(2, 2, 2, true));
  const int32_t index[4] = {0, -1, 1, 2};
  for (int32_t k = 0; k < 4; ++k) {
    map.indexImage.At(k % 2, k / 2, 0) = index[k];
    map.indexImage.At(k % 2, k / 2, 1) = 99;  // a second band that must not be taken for an index
  }
  map.depths.resize(3);
  Mesh mesh;
  ASSERT_TRUE(mesh.CreateFromDepthMap(map, 10.0));
  EXPECT_EQ(mesh.vertices.size(), 3u);
  EXPECT_EQ(Triangles(mesh), (std::vector<Tri>{{0, 1, 2}}));
}

TEST(MeshFromDepthMap, InconsistentCountsAreRefusedWithEmptyArrays) {
  const std::string message = "Mesh::CreateFromDepthMap : inconsistent vertex counting!\n";
  auto refuse = [&](DepthMap& map) {
    Mesh mesh;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(mesh.CreateFromDepthMap(map, 10.0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    EXPECT_TRUE(mesh.vertices.empty());
    EXPECT_EQ(mesh.vertices.capacity(), 0u);
    EXPECT_TRUE(mesh.triangles.empty());
    EXPECT_EQ(mesh.triangles.capacity(), 0u);
    EXPECT_EQ(mesh.name, "assembled");
  };
  DepthMap fewer;
  Assemble(fewer, 3, 3, std::vector<float>(9, 1.0f));
  fewer.depths.pop_back();
  refuse(fewer);

  DepthMap more;
  Assemble(more, 3, 3, std::vector<float>(9, 1.0f));
  more.depths.push_back(1.0);
  refuse(more);

  // Numbers out of scan order or past the depths would join wrong vertices or read past the array.
  DepthMap swapped;
  Assemble(swapped, 2, 2, {1, 1, 1, 1});
  std::swap(swapped.indexImage.At(0, 0), swapped.indexImage.At(1, 0));
  refuse(swapped);

  DepthMap beyond;
  Assemble(beyond, 2, 2, {1, kNone, 1, 1});
  beyond.indexImage.At(1, 1) = 1000;
  refuse(beyond);
}

// Against the algorithm written out plainly, on many small maps: every density of valid pixels
// from none to all (so the last pixels are often invalid after the last vertex), depths that
// straddle the jump limit, sizes from one pixel up; now and then a depth that is not a number or
// infinite, and limits of zero, below zero, infinite and not a number; and a few rows wider than
// the scan takes at a time. Vertices and triangles must be exactly equal.
TEST(MeshFromDepthMap, MatchesThePlainAlgorithmOnRandomMaps) {
  uint32_t seed = 7;
  auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  for (int trial = 0; trial < 420; ++trial) {
    const bool wide = trial >= 400;
    const int32_t w = wide ? 4090 + int32_t(next() % 8200) : 1 + int32_t(next() % 12);
    const int32_t h = wide ? 1 + int32_t(next() % 3) : 1 + int32_t(next() % 12);
    const uint32_t density = next() % 101;
    std::vector<float> pixels(size_t(w) * h);
    for (float& p : pixels) p = next() % 100 < density ? float(100 + next() % 25) : kNone;
    DepthMap map;
    Assemble(map, w, h, pixels);
    const double odd[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (double& d : map.depths)
      if (next() % 30 == 0) d = odd[next() % 3];
    map.fx = 2.0, map.fy = 3.0, map.cx = 1.5, map.cy = 0.5, map.skew = 0.25;
    const double limits[] = {
        10.0, 10.0, 10.0, 0.0, -1.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    const double limit = limits[next() % 7];
    Mesh mesh;
    ASSERT_TRUE(mesh.CreateFromDepthMap(map, limit));

    std::vector<std::array<float, 3>> positions;
    std::vector<Tri> triangles;
    auto I = [&](int32_t c, int32_t r) { return map.indexImage.pixels[int64_t(r) * map.indexImage.rowStride + c]; };
    for (int32_t r = 0; r < h; ++r)
      for (int32_t c = 0; c < w; ++c) {
        const int32_t i = I(c, r);
        if (i < 0) continue;
        const double d = map.depths[size_t(i)];
        const double yn = (r - map.cy) / map.fy;
        const double xn = (c - map.cx) / map.fx - yn * map.skew;
        positions.push_back({float(xn * d), float(yn * d), float(d)});
        if (r < 1 || c < 1) continue;
        const int32_t A = I(c - 1, r - 1), B = I(c, r - 1), C = i, D = I(c - 1, r);
        auto z = [&](int32_t k) { return map.depths[size_t(k)]; };
        if (A >= 0 && B >= 0 && std::fabs(z(A) - z(B)) < limit && std::fabs(z(B) - z(C)) < limit)
          triangles.push_back({C, B, A});
        if (C >= 0 && D >= 0 && A >= 0 && std::fabs(z(C) - z(D)) < limit && std::fabs(z(D) - z(A)) < limit)
          triangles.push_back({A, D, C});
      }
    SCOPED_TRACE("trial " + std::to_string(trial) + ": " + std::to_string(w) + " x " + std::to_string(h));
    ASSERT_EQ(positions.size(), mesh.vertices.size());
    for (size_t v = 0; v < positions.size(); ++v)
      ASSERT_EQ(0, std::memcmp(positions[v].data(), mesh.vertices[v].position, sizeof(float) * 3)) << v;
    ASSERT_EQ(triangles, Triangles(mesh));
  }
}

TEST(MeshFromDepthMap, RippleSceneSplitsAtItsDepthJumpAndFacesTheCamera) {
  DepthMapData data = RippleScene(96, 72, 0.7);
  std::string path;
  DepthMap map;
  {
    // Gone before the mesh is made, which must come from the loaded map alone.
    TempDir temp;
    ASSERT_FALSE(temp.path.empty());
    path = temp.path + "/ripple.dpt";
    ASSERT_TRUE(WriteDpt(path, data));
    ASSERT_TRUE(map.LoadFromFile(path.c_str()));
  }
  Mesh mesh;
  ASSERT_TRUE(mesh.CreateFromDepthMap(map, 10.0));
  EXPECT_EQ(mesh.name, path);

  size_t valid = 0, jumps = 0;
  for (size_t k = 0; k < data.valid.size(); ++k) {
    valid += data.valid[k];
    size_t x = k % 96;
    if (x > 0 && data.valid[k] && data.valid[k - 1] && std::fabs(data.depth[k] - data.depth[k - 1]) >= 10) ++jumps;
  }
  ASSERT_LT(valid, data.valid.size());  // the hole
  ASSERT_GT(jumps, 10u);                // the block's edges
  ASSERT_EQ(mesh.vertices.size(), valid);
  ASSERT_GT(mesh.triangles.size(), valid);

  for (const MeshTriangle& t : mesh.triangles) {
    const float z0 = mesh.vertices[size_t(t.indices[0])].position[2];
    const float z1 = mesh.vertices[size_t(t.indices[1])].position[2];
    const float z2 = mesh.vertices[size_t(t.indices[2])].position[2];
    ASSERT_LT(std::fabs(z0 - z1), 10.0f);
    ASSERT_LT(std::fabs(z1 - z2), 10.0f);
    std::vector<double> n = FaceNormal(mesh, t);
    double toward = 0;
    for (int i = 0; i < 3; ++i) toward += n[size_t(i)] * mesh.vertices[size_t(t.indices[0])].position[i];
    ASSERT_LT(toward, 0.0);
  }
}
