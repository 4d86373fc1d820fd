#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/Dialogs.h"
#include "store/MeshStore.h"
#include "view/MeshView.h"

namespace {

int AnswerYes(const char*) { return 1; }

// The store re-frames a real view: after loads and Clear, never after a failed load.
class StoreView : public testing::Test {
 protected:
  std::string dir;
  MeshStore store;
  MeshView view{0, 0, 320, 240};

  void SetUp() override {
    char templ[] = "/tmp/vexol_storeview_XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir = templ;
    store.view = &view;
    view.SetStore(&store);
    Dialogs::ask = AnswerYes;
  }
  void TearDown() override {
    Dialogs::UseToolkit();
    store.view = nullptr;
    if (std::system(("rm -rf '" + dir + "'").c_str()) != 0) {
    }
  }

  // One triangle with corners (x0, y0, z0) and (x1, y1, z1) spanning its box.
  std::string Triangle(const std::string& name, double x0, double y0, double z0, double x1, double y1, double z1) {
    std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "w");
    std::fprintf(f,
                 "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
                 "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
                 "%g %g %g\n%g %g %g\n%g %g %g\n3 0 1 2\n",
                 x0, y0, z0, x1, y0, z0, x1, y1, z1);
    std::fclose(f);
    return path;
  }

  template <class F>
  void Quiet(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
  }

  // The view frames the box with corners lo and hi.
  void ExpectFramed(double lo[3], double hi[3]) {
    const double r = 0.5 * std::sqrt((hi[0] - lo[0]) * (hi[0] - lo[0]) + (hi[1] - lo[1]) * (hi[1] - lo[1]) +
                                     (hi[2] - lo[2]) * (hi[2] - lo[2]));
    EXPECT_NEAR(view.viewRadius, r, 1e-9);
    EXPECT_NEAR(view.viewCenter.x, 0.0, 1e-9);
    EXPECT_NEAR(view.viewCenter.y, 0.0, 1e-9);
    EXPECT_NEAR(view.viewCenter.z, -2.0 * r, 1e-9);
    // The reset rotation is a half turn about y, so the box centre c goes to (-cx, cy, -cz) + translation.
    EXPECT_NEAR(view.translation.x, 0.5 * (lo[0] + hi[0]), 1e-9);
    EXPECT_NEAR(view.translation.y, -0.5 * (lo[1] + hi[1]), 1e-9);
    EXPECT_NEAR(view.translation.z, -2.0 * r + 0.5 * (lo[2] + hi[2]), 1e-9);
  }
};

TEST_F(StoreView, SingleLoadsFrameTheUnionOfAllMeshes) {
  std::string a = Triangle("a.ply", 0, 0, 0, 1, 1, 1);
  std::string b = Triangle("b.ply", 4, -2, 0, 6, 0, 3);
  std::string c = Triangle("c.ply", -1, 0, 5, 0, 2, 6);
  Quiet([&] { store.OpenMesh(a.c_str()); });
  double lo1[3] = {0, 0, 0}, hi1[3] = {1, 1, 1};
  ExpectFramed(lo1, hi1);
  Quiet([&] {
    store.OpenMesh(b.c_str());
    store.OpenMesh(c.c_str());
  });
  double lo[3] = {-1, -2, 0}, hi[3] = {6, 2, 6};
  ExpectFramed(lo, hi);
  EXPECT_EQ(store.current, 2);
}

TEST_F(StoreView, FailedLoadsLeaveTheCameraAlone) {
  std::string a = Triangle("a.ply", 0, 0, 0, 2, 2, 2);
  Quiet([&] { store.OpenMesh(a.c_str()); });
  view.scale = 3.0;
  view.translation = Vec3d(7, 8, 9);
  std::string missing = dir + "/missing";
  FILE* f = std::fopen((dir + "/bad.dsq").c_str(), "w");
  std::fprintf(f, "%s/f%%d.dpt 0 1 3\n", dir.c_str());
  std::fclose(f);
  Quiet([&] {
    store.OpenMesh((missing + ".ply").c_str());
    store.OpenDepthMap((missing + ".dpt").c_str());
  });
  EXPECT_EQ(view.scale, 3.0);
  EXPECT_EQ(view.translation.x, 7.0);
  EXPECT_EQ(store.meshes.size(), 1u);

  // A sequence whose first frame is not there: the Yes clears nothing, the camera stays.
  Quiet([&] { store.OpenDepthMapSequence((dir + "/bad.dsq").c_str()); });
  EXPECT_EQ(store.meshes.size(), 1u);
  EXPECT_EQ(view.scale, 3.0);
}

TEST_F(StoreView, ClearFramesTheUnitBox) {
  std::string a = Triangle("a.ply", 10, 10, 10, 20, 30, 40);
  Quiet([&] { store.OpenMesh(a.c_str()); });
  view.scale = 2.0;
  store.Clear();
  double lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
  ExpectFramed(lo, hi);
  EXPECT_EQ(view.scale, 1.0);
}

TEST_F(StoreView, MeshSequenceFramesEveryFrame) {
  std::string t = Triangle("t.ply", 0, 0, 0, 1, 1, 1);
  Triangle("f0.ply", 0, 0, 0, 1, 1, 1);
  Triangle("f1.ply", 2, 0, 0, 3, 1, 1);
  Triangle("f2.ply", 4, 0, 0, 5, 4, 1);
  FILE* f = std::fopen((dir + "/s.msq").c_str(), "w");
  std::fprintf(f, "%s %s/f%%d.ply 0 1 2", t.c_str(), dir.c_str());
  std::fclose(f);
  Quiet([&] { store.OpenMeshSequence((dir + "/s.msq").c_str()); });
  ASSERT_TRUE(store.sharedTriangles);
  double lo[3] = {0, 0, 0}, hi[3] = {5, 4, 1};
  ExpectFramed(lo, hi);
}

TEST_F(StoreView, StoppedSequenceFramesTheFramesItKept) {
  std::string t = Triangle("t.ply", 0, 0, 0, 1, 1, 1);
  Triangle("f0.ply", 0, 0, 0, 1, 1, 1);
  Triangle("f1.ply", 2, 0, 0, 3, 1, 1);
  FILE* f = std::fopen((dir + "/s.msq").c_str(), "w");
  std::fprintf(f, "%s %s/f%%d.ply 0 1 2", t.c_str(), dir.c_str());
  std::fclose(f);
  Quiet([&] { store.OpenMeshSequence((dir + "/s.msq").c_str()); });
  ASSERT_EQ(store.meshes.size(), 2u);
  EXPECT_EQ(store.current, 0);
  EXPECT_TRUE(store.isSequence && store.sharedTriangles);
  double lo[3] = {0, 0, 0}, hi[3] = {3, 1, 1};
  ExpectFramed(lo, hi);
}

}  // namespace
