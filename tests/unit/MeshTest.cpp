#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "geometry/Mesh.h"

namespace {

MeshVertex At(float x, float y, float z) {
  MeshVertex v{};
  v.position[0] = x;
  v.position[1] = y;
  v.position[2] = z;
  v.normal[0] = v.normal[1] = v.normal[2] = 99.0f;  // stale values the computations must replace
  return v;
}

MeshTriangle Tri(int a, int b, int c) {
  MeshTriangle t{};
  t.indices[0] = a;
  t.indices[1] = b;
  t.indices[2] = c;
  t.normal[0] = t.normal[1] = t.normal[2] = 99.0f;
  return t;
}

void ExpectNormal(const float* n, float x, float y, float z) {
  EXPECT_EQ(x, n[0]);
  EXPECT_EQ(y, n[1]);
  EXPECT_EQ(z, n[2]);
}

TEST(MeshBounds, EmptyMeshKeepsAnEmptyBoxAndOneVertexGivesAPoint) {
  Mesh mesh;
  mesh.ComputeBounds();
  EXPECT_TRUE(mesh.bounds.IsEmpty());
  EXPECT_EQ(DBL_MAX, mesh.bounds.min[1]);
  mesh.ComputeNormals();  // nothing to do, nothing to break
  mesh.vertices.push_back(At(1.5f, -2.0f, 3.25f));
  mesh.ComputeBounds();
  EXPECT_FALSE(mesh.bounds.IsEmpty());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(mesh.bounds.min[i], mesh.bounds.max[i]);
  EXPECT_EQ(-2.0, mesh.bounds.min[1]);
  EXPECT_EQ(0.0, mesh.bounds.Sphere().radius);
}

TEST(MeshBounds, AgreesWithExtendingByEveryPositionIncludingNanAndInfinity) {
  Mesh mesh;
  const float nan = std::nanf(""), inf = INFINITY;
  const float values[][3] = {{nan, 1, 2},       {0.1f, nan, -5}, {-3, 4, nan},
                             {inf, -inf, 0.3f}, {7, 0.5f, -inf}, {-0.0f, 0, 8}};
  for (const auto& p : values) mesh.vertices.push_back(At(p[0], p[1], p[2]));
  // Rebuilt from the same positions; the box is recomputed, not grown.
  mesh.bounds.Extend(-100, -100, -100);
  mesh.ComputeBounds();
  BoundingBox expected;
  for (const MeshVertex& v : mesh.vertices) expected.Extend(v.position[0], v.position[1], v.position[2]);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(expected.min[i], mesh.bounds.min[i]) << i;
    EXPECT_EQ(expected.max[i], mesh.bounds.max[i]) << i;
  }
  EXPECT_EQ(-3.0, mesh.bounds.min[0]);
  EXPECT_EQ(INFINITY, mesh.bounds.max[0]);
  EXPECT_EQ(-INFINITY, mesh.bounds.min[2]);

  Mesh onlyNan;
  onlyNan.vertices.push_back(At(nan, nan, nan));
  onlyNan.ComputeBounds();
  EXPECT_EQ(DBL_MAX, onlyNan.bounds.min[0]);
  EXPECT_EQ(-DBL_MAX, onlyNan.bounds.max[2]);
}

TEST(MeshNormals, WindingDecidesTheSideAndLengthIsTwiceTheArea) {
  Mesh mesh;
  mesh.vertices = {At(0, 0, 0), At(1, 0, 0), At(0, 1, 0), At(0, 0, 0)};
  mesh.triangles = {Tri(0, 1, 2)};
  mesh.ComputeNormals();
  ExpectNormal(mesh.triangles[0].normal, 0, 0, 1);
  ExpectNormal(mesh.vertices[1].normal, 0, 0, 1);
  ExpectNormal(mesh.vertices[3].normal, 0, 0, 0);  // used by no triangle
  mesh.triangles = {Tri(0, 2, 1)};
  mesh.ComputeNormals();
  ExpectNormal(mesh.triangles[0].normal, 0, 0, -1);
  mesh.vertices = {At(0, 0, 0), At(3, 0, 0), At(0, 0, 2)};
  mesh.triangles = {Tri(0, 1, 2)};
  ComputeFaceNormals(mesh.vertices, mesh.triangles);
  ExpectNormal(mesh.triangles[0].normal, 0, -6, 0);
}

TEST(MeshNormals, DegenerateTrianglesAddNothing) {
  Mesh mesh;
  mesh.vertices = {At(0, 0, 0), At(1, 1, 1), At(2, 2, 2), At(0, 1, 0)};
  mesh.triangles = {Tri(0, 1, 2), Tri(0, 3, 3), Tri(1, 1, 1)};
  mesh.ComputeNormals();
  for (const MeshTriangle& t : mesh.triangles) ExpectNormal(t.normal, 0, 0, 0);
  for (const MeshVertex& v : mesh.vertices) ExpectNormal(v.normal, 0, 0, 0);
}

TEST(MeshNormals, SharedVerticesLeanTowardsTheLargerTriangle) {
  // Edge 0-1 shared; the triangle facing +z has twice the area of the one facing +x.
  Mesh mesh;
  mesh.vertices = {At(0, 0, 0), At(0, 1, 0), At(-2, 0, 0), At(0, 0, 1)};
  mesh.triangles = {Tri(0, 1, 2), Tri(0, 1, 3)};
  mesh.ComputeNormals();
  ExpectNormal(mesh.triangles[0].normal, 0, 0, 2);
  ExpectNormal(mesh.triangles[1].normal, 1, 0, 0);
  ExpectNormal(mesh.vertices[0].normal, 1, 0, 2);
  ExpectNormal(mesh.vertices[1].normal, 1, 0, 2);
  ExpectNormal(mesh.vertices[2].normal, 0, 0, 2);
  ExpectNormal(mesh.vertices[3].normal, 1, 0, 0);
}

TEST(MeshNormals, ProductsAreFormedInDoublePrecision) {
  // 4097 * 4097 - 4096 * 4098 is 1, but both products round to the same float.
  Mesh mesh;
  mesh.vertices = {At(0, 0, 0), At(0, 4097, 4096), At(0, 4098, 4097)};
  mesh.triangles = {Tri(0, 1, 2)};
  mesh.ComputeNormals();
  ExpectNormal(mesh.triangles[0].normal, 1, 0, 0);
}

TEST(MeshNormals, OneStepEqualsTheTwoStepsAndTrianglesMayComeFromElsewhere) {
  // A wavy sheet: the sums depend on order, so equality shows the same order of additions.
  std::vector<MeshVertex> first, frame;
  const int n = 30;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      first.push_back(At(i * 0.1f, j * 0.1f, std::sin(i * 0.7f) * std::cos(j * 0.3f)));
      frame.push_back(At(i * 0.1f, j * 0.1f, std::cos(i * 0.2f + j)));
    }
  std::vector<MeshTriangle> triangles;
  for (int j = 0; j + 1 < n; ++j)
    for (int i = 0; i + 1 < n; ++i) {
      triangles.push_back(Tri(j * n + i, j * n + i + 1, (j + 1) * n + i + 1));
      triangles.push_back(Tri(j * n + i, (j + 1) * n + i + 1, (j + 1) * n + i));
    }
  std::vector<MeshVertex> twoSteps = frame;
  std::vector<MeshTriangle> twoStepTriangles = triangles;
  ComputeFaceNormals(twoSteps, twoStepTriangles);
  AccumulateVertexNormals(twoSteps, twoStepTriangles);
  ComputeNormals(frame, triangles);
  ASSERT_EQ(0, std::memcmp(twoSteps.data(), frame.data(), frame.size() * sizeof(MeshVertex)));
  ASSERT_EQ(0, std::memcmp(twoStepTriangles.data(), triangles.data(), triangles.size() * sizeof(MeshTriangle)));
  // Each vertex normal is the float sum, in triangle order, of its triangles' normals.
  std::vector<float> sum(frame.size() * 3, 0.0f);
  for (const MeshTriangle& t : triangles)
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c) sum[t.indices[k] * 3 + c] += t.normal[c];
  for (size_t v = 0; v < frame.size(); ++v)
    for (int c = 0; c < 3; ++c) ASSERT_EQ(sum[v * 3 + c], frame[v].normal[c]) << v;
  // The first mesh's own vertices are untouched by the frame's computation.
  EXPECT_EQ(99.0f, first[5].normal[0]);
}

TEST(MeshNormals, MatchThePlainDefinitionOnRandomTriangleSoups) {
  // Corners named twice, corners outside the array, any vertex order, colour bytes of every value:
  // the result must be exactly the plain definition, record for record.
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (int round = 0; round < 20; ++round) {
    const int count = 1 + int(next() % 200);
    std::vector<MeshVertex> vertices;
    for (int i = 0; i < count; ++i) {
      MeshVertex v = At(float(int(next() % 2001) - 1000) / 37.0f, float(int(next() % 2001) - 1000) / 41.0f,
                        float(int(next() % 2001) - 1000) / 43.0f);
      const uint32_t bytes = next();
      std::memcpy(v.color, &bytes, 4);
      vertices.push_back(v);
    }
    std::vector<MeshTriangle> triangles;
    for (int i = 0; i < 600; ++i) {
      auto corner = [&] { return next() % 50 == 0 ? int(next() % 400) - 100 : int(next() % uint32_t(count)); };
      const int a = corner(), b = next() % 8 == 0 ? a : corner(), c = corner();
      triangles.push_back(Tri(a, b, c));
    }
    std::vector<MeshVertex> expected = vertices;
    std::vector<MeshTriangle> expectedTriangles = triangles;
    for (MeshVertex& v : expected) v.normal[0] = v.normal[1] = v.normal[2] = 0.0f;
    for (MeshTriangle& t : expectedTriangles) {
      bool inside = true;
      for (int k = 0; k < 3; ++k) inside = inside && t.indices[k] >= 0 && t.indices[k] < count;
      if (!inside) {
        t.normal[0] = t.normal[1] = t.normal[2] = 0.0f;
        continue;
      }
      const float* p[3];
      for (int k = 0; k < 3; ++k) p[k] = expected[t.indices[k]].position;
      double a[3], b[3];
      for (int c = 0; c < 3; ++c) {
        a[c] = p[1][c] - p[0][c];
        b[c] = p[2][c] - p[0][c];
      }
      t.normal[0] = float(a[1] * b[2] - a[2] * b[1]);
      t.normal[1] = float(a[2] * b[0] - a[0] * b[2]);
      t.normal[2] = float(a[0] * b[1] - a[1] * b[0]);
      for (int k = 0; k < 3; ++k)
        for (int c = 0; c < 3; ++c) expected[t.indices[k]].normal[c] += t.normal[c];
    }
    std::vector<MeshVertex> alone = vertices;
    ComputeVertexNormals(alone, triangles);  // the triangles only read, as frames share them
    ComputeNormals(vertices, triangles);
    ASSERT_EQ(0, std::memcmp(expected.data(), vertices.data(), vertices.size() * sizeof(MeshVertex))) << round;
    ASSERT_EQ(0, std::memcmp(expected.data(), alone.data(), alone.size() * sizeof(MeshVertex))) << round;
    ASSERT_EQ(0, std::memcmp(expectedTriangles.data(), triangles.data(), triangles.size() * sizeof(MeshTriangle)))
        << round;
  }
}

TEST(MeshNormals, EverySumIsClearedInLargeMeshesWhereverTheTrianglesReach) {
  // Stale sums everywhere; the triangles start low, jump far up, come back, and leave most of
  // the array and its end untouched.
  std::vector<MeshVertex> vertices;
  for (int i = 0; i < 20000; ++i) vertices.push_back(At(float(i % 7), float(i % 11), float(i % 13)));
  std::vector<MeshTriangle> triangles = {Tri(0, 1, 2),          Tri(2, 1, 3),        Tri(15000, 15001, 15007),
                                         Tri(5000, 5003, 5001), Tri(15001, 2, 9000), Tri(3, 3, 4)};
  std::vector<MeshVertex> expected = vertices;
  std::vector<MeshTriangle> expectedTriangles = triangles;
  ComputeFaceNormals(expected, expectedTriangles);
  AccumulateVertexNormals(expected, expectedTriangles);
  ComputeNormals(vertices, triangles);
  EXPECT_EQ(0, std::memcmp(expectedTriangles.data(), triangles.data(), triangles.size() * sizeof(MeshTriangle)));
  for (size_t v = 0; v < vertices.size(); ++v)
    ASSERT_EQ(0, std::memcmp(expected[v].normal, vertices[v].normal, sizeof vertices[v].normal)) << v;
  EXPECT_EQ(0.0f, vertices.back().normal[0]);
  EXPECT_NE(0.0f, vertices[15001].normal[2]);
}

TEST(MeshNormals, TrianglesOutsideTheVertexArrayAreLeftOut) {
  // A frame with fewer vertices than the triangles name must not be read past its end.
  std::vector<MeshVertex> vertices = {At(0, 0, 0), At(1, 0, 0), At(0, 1, 0)};
  std::vector<MeshTriangle> triangles = {Tri(0, 1, 2), Tri(0, 1, 5), Tri(-1, 1, 2)};
  ComputeNormals(vertices, triangles);
  ExpectNormal(triangles[0].normal, 0, 0, 1);
  ExpectNormal(triangles[1].normal, 0, 0, 0);
  ExpectNormal(triangles[2].normal, 0, 0, 0);
  ExpectNormal(vertices[0].normal, 0, 0, 1);
  ExpectNormal(vertices[1].normal, 0, 0, 1);
}

TEST(MeshNormals, FlippingTwiceRestoresEveryNormalExactly) {
  Mesh mesh;
  mesh.vertices = {At(0, 0, 0), At(0.3f, 0.1f, 0), At(0, 1.7f, 0.2f)};
  mesh.triangles = {Tri(0, 1, 2)};
  mesh.ComputeNormals();
  const std::vector<MeshVertex> vertices = mesh.vertices;
  const std::vector<MeshTriangle> triangles = mesh.triangles;
  mesh.FlipVertexNormals();
  EXPECT_EQ(-vertices[2].normal[2], mesh.vertices[2].normal[2]);
  EXPECT_EQ(triangles[0].normal[2], mesh.triangles[0].normal[2]) << "face normals stay";
  mesh.FlipFaceNormals();
  EXPECT_EQ(-triangles[0].normal[1], mesh.triangles[0].normal[1]);
  mesh.FlipVertexNormals();
  mesh.FlipFaceNormals();
  EXPECT_EQ(0, std::memcmp(vertices.data(), mesh.vertices.data(), vertices.size() * sizeof(MeshVertex)));
  EXPECT_EQ(0, std::memcmp(triangles.data(), mesh.triangles.data(), triangles.size() * sizeof(MeshTriangle)));
}

TEST(MeshNormals, NormalsLeaveColourAndMaskBytesAlone) {
  Mesh mesh;
  mesh.vertices = {At(0, 0, 0), At(1, 0, 0), At(0, 1, 0)};
  // Bytes that read as a signalling NaN and as minus zero when taken for a float.
  const uint8_t bytes[3][4] = {{0x01, 0x00, 0x80, 0xFF}, {0x00, 0x00, 0x00, 0x80}, {1, 2, 3, 4}};
  for (int v = 0; v < 3; ++v) {
    std::memcpy(mesh.vertices[v].color, bytes[v], 3);
    mesh.vertices[v].mask = bytes[v][3];
  }
  mesh.triangles = {Tri(0, 1, 2), Tri(2, 1, 0)};
  mesh.ComputeNormals();
  for (int v = 0; v < 3; ++v) {
    EXPECT_EQ(0, std::memcmp(mesh.vertices[v].color, bytes[v], 3)) << v;
    EXPECT_EQ(bytes[v][3], mesh.vertices[v].mask) << v;
  }
}

}  // namespace
