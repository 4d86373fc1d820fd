#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "geometry/Mesh.h"
#include "store/DepthMap.h"

// Inputs the fuzzers once found slow or failing; each must be handled quickly.
TEST(FuzzRegression, ZeroWidthWithHugeHeightLoadsAnEmptyMapAtOnce) {
  std::string path = std::string(VEXOL_SOURCE_DIR) + "/tests/data/dpt/zero-width-huge-height.dpt";
  auto t0 = std::chrono::steady_clock::now();
  DepthMap map;
  bool loaded = map.LoadFromFile(path.c_str());
  if (loaded) {
    EXPECT_EQ(map.width, 0);
    EXPECT_TRUE(map.depths.empty());
    Mesh mesh;
    mesh.CreateFromDepthMap(map, 10.0);
    EXPECT_TRUE(mesh.vertices.empty());
    EXPECT_TRUE(mesh.triangles.empty());
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(seconds, 0.5);
}

// Width and height near 2^31 each: the pixel count times four overflowed a 64-bit check.
TEST(FuzzRegression, HugeWidthAndHeightAreRefused) {
  std::string path = std::string(VEXOL_SOURCE_DIR) + "/tests/data/dpt/huge-width-and-height.dpt";
  DepthMap map;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(map.LoadFromFile(path.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "DepthMap::LoadFromFile : fail to read " + path + "\n");
  EXPECT_TRUE(map.depths.empty());
}

// A face list with no items in the file's own index type once copied from a null array.
TEST(FuzzRegression, EmptyFaceListsReadWithoutTouchingMemory) {
  std::string path = std::string(VEXOL_SOURCE_DIR) + "/tests/data/ply/empty-list-same-type.ply";
  Mesh mesh;
  PlyReadOptions options;
  testing::internal::CaptureStderr();
  bool read = mesh.readPly(path.c_str(), options);
  testing::internal::GetCapturedStderr();
  if (read) {
    for (const MeshTriangle& t : mesh.triangles)
      for (int32_t i : t.indices) EXPECT_TRUE(i >= 0 && size_t(i) < mesh.vertices.size());
  }
  EXPECT_EQ(mesh.vertices.empty(), !read);
}

// Coordinates of a type the header does not know once counted as no bytes, so that a 149-byte
// file made the reader reserve 2^31 - 1 vertex records (the sanitizer build aborts on that).
TEST(FuzzRegression, UnknownTypesCannotCountMoreItemsThanTheFileHolds) {
  std::string path = std::string(VEXOL_SOURCE_DIR) + "/tests/data/ply/unknown-type-huge-count.ply";
  Mesh mesh;
  PlyReadOptions options;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(mesh.readPly(path.c_str(), options));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Mesh::readPly: fail to read " + path + "\n");
}
