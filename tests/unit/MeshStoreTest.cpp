#include <gtest/gtest.h>

#include <string>

#include "store/MeshStore.h"

namespace {

// A mesh with `count` vertices along x starting at `x0`, normals (0, 0, 1), and one triangle
// per three vertices whose face normal is (0, 0, 2).
Mesh* MakeMesh(const std::string& name, int count, double x0 = 0.0, bool withTriangles = true) {
  Mesh* mesh = new Mesh;
  mesh->name = name;
  for (int i = 0; i < count; ++i) {
    MeshVertex v = {};
    v.position[0] = float(x0 + i);
    v.position[1] = float(i % 2);
    v.normal[2] = 1.0f;
    mesh->vertices.push_back(v);
    mesh->bounds.Extend(v.position[0], v.position[1], v.position[2]);
  }
  if (withTriangles)
    for (int i = 0; i + 2 < count; i += 3) {
      MeshTriangle t = {{i, i + 1, i + 2}, {0.0f, 0.0f, 2.0f}};
      mesh->triangles.push_back(t);
    }
  return mesh;
}

void Fill(MeshStore& store, int n) {
  for (int i = 0; i < n; ++i) store.Add(MakeMesh("m" + std::to_string(i), 3, i));
}

std::string Names(const MeshStore& store) {
  std::string s;
  for (const Mesh* m : store.meshes) s += m->name + " ";
  return s;
}

TEST(MeshStoreLifecycle, NewAndClearedStoreIsEmpty) {
  MeshStore store;
  EXPECT_TRUE(store.meshes.empty());
  EXPECT_EQ(store.current, -1);
  EXPECT_FALSE(store.isSequence);
  EXPECT_FALSE(store.sharedTriangles);
  EXPECT_EQ(store.view, nullptr);

  Fill(store, 3);
  store.current = 2;
  store.isSequence = true;
  store.sharedTriangles = true;
  store.Clear();
  EXPECT_TRUE(store.meshes.empty());
  EXPECT_EQ(store.meshes.capacity(), 0u);
  EXPECT_EQ(store.current, -1);
  EXPECT_FALSE(store.isSequence);
  EXPECT_FALSE(store.sharedTriangles);
}

TEST(MeshStoreLifecycle, AddAppendsWithoutTouchingCurrentOrFlags) {
  MeshStore store;
  Fill(store, 2);
  EXPECT_EQ(Names(store), "m0 m1 ");
  EXPECT_EQ(store.current, -1);
  EXPECT_FALSE(store.isSequence);
  store.Add(nullptr);  // a null element must survive Clear and the destructor
  EXPECT_EQ(store.meshes.size(), 3u);
}

TEST(MeshStoreDelete, KeepsIndexOnTheFollowerOrMovesToTheNewLast) {
  MeshStore store;
  Fill(store, 3);
  store.current = 1;
  store.DeleteCurrent();
  EXPECT_EQ(Names(store), "m0 m2 ");
  EXPECT_EQ(store.current, 1);
  EXPECT_EQ(store.meshes[store.current]->name, "m2");

  store.DeleteCurrent();
  EXPECT_EQ(Names(store), "m0 ");
  EXPECT_EQ(store.current, 0);
}

TEST(MeshStoreDelete, LastMeshOfASequenceEmptiesStoreAndFlags) {
  MeshStore store;
  Fill(store, 1);
  store.current = 0;
  store.isSequence = true;
  store.sharedTriangles = true;
  store.DeleteCurrent();
  EXPECT_TRUE(store.meshes.empty());
  EXPECT_EQ(store.current, -1);
  EXPECT_FALSE(store.isSequence);
  EXPECT_FALSE(store.sharedTriangles);
}

TEST(MeshStoreDelete, EmptyStoreAndOutOfRangeIndexOnlyPrint) {
  MeshStore store;
  testing::internal::CaptureStdout();
  store.DeleteCurrent();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "try to delete mesh from an empty set!\n");
  EXPECT_EQ(store.current, -1);

  Fill(store, 3);
  testing::internal::CaptureStdout();
  store.DeleteCurrent();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "current mesh index -1 is out of index range: [0, 3)!\n");
  store.current = 3;
  testing::internal::CaptureStdout();
  store.DeleteCurrent();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "current mesh index 3 is out of index range: [0, 3)!\n");
  EXPECT_EQ(Names(store), "m0 m1 m2 ");
  EXPECT_EQ(store.current, 3);
}

TEST(MeshStoreDelete, FirstFrameOfMeshSequenceHandsSharedTrianglesOn) {
  MeshStore store;
  store.Add(MakeMesh("f0", 6));
  store.Add(MakeMesh("f1", 6, 0, false));
  store.Add(MakeMesh("f2", 6, 0, false));
  store.isSequence = true;
  store.sharedTriangles = true;
  store.current = 0;
  store.DeleteCurrent();
  ASSERT_EQ(Names(store), "f1 f2 ");
  EXPECT_TRUE(store.sharedTriangles);
  EXPECT_EQ(store.meshes[0]->triangles.size(), 2u);
  EXPECT_EQ(store.meshes[0]->triangles[1].indices[2], 5);

  store.current = 1;
  const std::vector<MeshVertex>* v = nullptr;
  const std::vector<MeshTriangle>* t = nullptr;
  ASSERT_TRUE(store.CurrentArrays(v, t));
  EXPECT_EQ(v, &store.meshes[1]->vertices);
  EXPECT_EQ(t->size(), 2u);
}

TEST(MeshStoreDelete, OtherFramesOfMeshSequenceLeaveTrianglesAtZero) {
  MeshStore store;
  store.Add(MakeMesh("f0", 6));
  store.Add(MakeMesh("f1", 6, 0, false));
  store.isSequence = true;
  store.sharedTriangles = true;
  store.current = 1;
  store.DeleteCurrent();
  EXPECT_EQ(store.meshes[0]->triangles.size(), 2u);
  EXPECT_EQ(store.current, 0);
}

TEST(MeshStoreStep, WrapsAroundInBothDirections) {
  MeshStore store;
  Fill(store, 4);
  store.current = 3;
  store.Next(1);
  EXPECT_EQ(store.current, 0);
  store.Prev(1);
  EXPECT_EQ(store.current, 3);
  store.current = 1;
  store.Next(6);
  EXPECT_EQ(store.current, 3);
  store.current = 0;
  store.Prev(5);
  EXPECT_EQ(store.current, 3);
  store.Next(4);
  EXPECT_EQ(store.current, 3);
  store.Prev(4);
  EXPECT_EQ(store.current, 3);
  store.Next(4294967295u);  // 4294967295 mod 4 = 3
  EXPECT_EQ(store.current, 2);
}

TEST(MeshStoreStep, StepsOutOfNoCurrent) {
  MeshStore store;
  Fill(store, 3);
  store.Next(1);
  EXPECT_EQ(store.current, 0);
  store.current = -1;
  store.Prev(1);
  EXPECT_EQ(store.current, 1);
}

TEST(MeshStoreStep, EmptyStoreDoesNothing) {
  MeshStore store;
  store.Next(1);
  EXPECT_EQ(store.current, -1);
  store.Prev(3);
  EXPECT_EQ(store.current, -1);
  store.Next(0);
  store.Prev(0);
  EXPECT_EQ(store.current, -1);
  EXPECT_TRUE(store.meshes.empty());
}

TEST(MeshStoreArrays, NoCurrentLeavesOutputsUntouched) {
  MeshStore store;
  std::vector<MeshVertex> vs;
  std::vector<MeshTriangle> ts;
  const std::vector<MeshVertex>* v = &vs;
  const std::vector<MeshTriangle>* t = &ts;
  EXPECT_FALSE(store.CurrentArrays(v, t));
  Fill(store, 2);
  EXPECT_FALSE(store.CurrentArrays(v, t));
  store.current = 2;
  EXPECT_FALSE(store.CurrentArrays(v, t));
  EXPECT_EQ(v, &vs);
  EXPECT_EQ(t, &ts);
}

TEST(MeshStoreArrays, OwnTrianglesOrThoseOfTheFirstFrame) {
  MeshStore store;
  Fill(store, 3);
  store.current = 2;
  const std::vector<MeshVertex>* v = nullptr;
  const std::vector<MeshTriangle>* t = nullptr;
  ASSERT_TRUE(store.CurrentArrays(v, t));
  EXPECT_EQ(v, &store.meshes[2]->vertices);
  EXPECT_EQ(t, &store.meshes[2]->triangles);

  store.isSequence = true;
  store.sharedTriangles = true;
  ASSERT_TRUE(store.CurrentArrays(v, t));
  EXPECT_EQ(v, &store.meshes[2]->vertices);
  EXPECT_EQ(t, &store.meshes[0]->triangles);
}

TEST(MeshStoreBounds, UnionOfAllMeshesOrTheUnitBox) {
  MeshStore store;
  BoundingBox box = store.TotalBounds();
  EXPECT_EQ(box.min[0], 0.0);
  EXPECT_EQ(box.max[1], 1.0);

  store.Add(MakeMesh("empty", 0));
  box = store.TotalBounds();
  EXPECT_EQ(box.min[2], 0.0);
  EXPECT_EQ(box.max[2], 1.0);

  store.Add(MakeMesh("a", 3, -5.0));  // x -5..-3, y 0..1, z 0
  store.Add(MakeMesh("b", 2, 10.0));  // x 10..11
  box = store.TotalBounds();
  EXPECT_EQ(box.min[0], -5.0);
  EXPECT_EQ(box.max[0], 11.0);
  EXPECT_EQ(box.min[1], 0.0);
  EXPECT_EQ(box.max[1], 1.0);
  EXPECT_EQ(box.min[2], 0.0);
  EXPECT_EQ(box.max[2], 0.0);  // a flat scene is not replaced by the unit box
}

TEST(MeshStoreFlip, VertexAndFaceNormalsOfEveryMesh) {
  MeshStore store;
  Fill(store, 2);
  store.FlipNormals();
  for (const Mesh* m : store.meshes) {
    EXPECT_EQ(m->vertices[0].normal[2], -1.0f);
    EXPECT_EQ(m->vertices[2].normal[2], -1.0f);
    EXPECT_EQ(m->triangles[0].normal[2], -2.0f);
  }
  store.FlipNormals();
  EXPECT_EQ(store.meshes[1]->vertices[1].normal[2], 1.0f);
  EXPECT_EQ(store.meshes[1]->triangles[0].normal[2], 2.0f);
}

TEST(MeshStoreFlip, SharedTrianglesKeepTheirFaceNormals) {
  MeshStore store;
  store.Add(MakeMesh("f0", 3));
  store.Add(MakeMesh("f1", 3, 0, false));
  store.isSequence = true;
  store.sharedTriangles = true;
  store.FlipNormals();
  EXPECT_EQ(store.meshes[0]->vertices[1].normal[2], -1.0f);
  EXPECT_EQ(store.meshes[1]->vertices[1].normal[2], -1.0f);
  EXPECT_EQ(store.meshes[0]->triangles[0].normal[2], 2.0f);
}

}  // namespace
