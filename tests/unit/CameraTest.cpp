#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "store/MeshStore.h"
#include "view/Mat3d.h"
#include "view/MeshView.h"
#include "view/SceneView.h"

namespace {
void ExpectNear(const Vec3d& a, const Vec3d& b, double eps = 1e-12) {
  EXPECT_NEAR(a.x, b.x, eps);
  EXPECT_NEAR(a.y, b.y, eps);
  EXPECT_NEAR(a.z, b.z, eps);
}
void ExpectNear(const Mat3d& a, const Mat3d& b, double eps = 1e-12) {
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(a.m[i], b.m[i], eps) << "element " << i;
}
void ExpectRotation(const Mat3d& r) {
  for (double e : r.m) ASSERT_TRUE(std::isfinite(e));
  Mat3d t;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t.m[3 * i + j] = r.m[3 * j + i];
  ExpectNear(r * t, Mat3d::Identity(), 1e-12);
}

// A view of a given box, not shown: the camera needs no display.
struct BoxView : SceneView {
  BoundingBox box;
  BoxView() : SceneView(0, 0, 480, 640) {}
  BoundingBox SceneBounds() override { return box; }
  void DrawScene() override {}
  void Frame(double x0, double y0, double z0, double x1, double y1, double z1) {
    box.Reset();
    box.Extend(x0, y0, z0);
    box.Extend(x1, y1, z1);
    ResetView();
  }
  double Near() const { return -(viewCenter.z + viewRadius); }
  double Far() const { return -(viewCenter.z - viewRadius); }
};
}  // namespace

TEST(Mat3d, ProductsFollowTheRowMajorLayout) {
  const Mat3d a{{1, 2, 3, 4, 5, 6, 7, 8, 10}};
  const Mat3d b{{0, 1, 0, -1, 0, 0, 0, 0, 2}};
  ExpectNear(a * b, Mat3d{{-2, 1, 6, -5, 4, 12, -8, 7, 20}});
  const Vec3d v(1, -1, 2);
  ExpectNear(a * v, Vec3d(5, 11, 19));
  ExpectNear(v * a, Vec3d(11, 13, 17));
  ExpectNear(a + b, Mat3d{{1, 3, 3, 3, 5, 6, 7, 8, 12}});
  ExpectNear(2.0 * b, Mat3d{{0, 2, 0, -2, 0, 0, 0, 0, 4}});
  ExpectNear(OuterProduct(Vec3d(1, 2, 3), Vec3d(4, 5, 6)), Mat3d{{4, 5, 6, 8, 10, 12, 12, 15, 18}});
  const Vec3d k(0.5, -2, 3), w(-1, 4, 0.25);
  ExpectNear(CrossMatrix(k) * w, Cross(k, w));
}

TEST(Mat3d, TheGlMatrixCarriesAPointToMpPlusT) {
  const Mat3d a{{1, 2, 3, 4, 5, 6, 7, 8, 10}};
  const Vec3d t(-3, 0.5, 9), p(2, -1, 0.5);
  double g[16];
  a.ToGl(t, g);
  // OpenGL's column-major order: element (row i, column j) at g[4 j + i].
  double out[4];
  for (int i = 0; i < 4; ++i) out[i] = g[i] * p.x + g[4 + i] * p.y + g[8 + i] * p.z + g[12 + i];
  ExpectNear(Vec3d(out[0], out[1], out[2]), a * p + t);
  EXPECT_EQ(out[3], 1.0);
  a.ToGl(Vec3d(), g);
  EXPECT_EQ(g[12], 0.0);
  EXPECT_EQ(g[14], 0.0);
  EXPECT_EQ(g[15], 1.0);
}

TEST(Mat3d, AxisAngleRotationFollowsTheRightHandRule) {
  for (const Vec3d& axis : {Vec3d(0, 0, 1), Vec3d(3, -4, 12), Vec3d(1e-3, 0, 0)})
    ExpectNear(AxisAngleRotation(axis, 1, 0), Mat3d::Identity());
  const Mat3d quarter = AxisAngleRotation(Vec3d(0, 0, 7), 0, 1);
  ExpectNear(quarter * Vec3d(1, 0, 0), Vec3d(0, 1, 0));
  ExpectNear(quarter * Vec3d(0, 0, 1), Vec3d(0, 0, 1));
}

TEST(Mat3d, RotationBetweenTurnsOneDirectionOntoTheOther) {
  const double s = 1 / std::sqrt(2.0);
  const Mat3d r = RotationBetween(Vec3d(0, 0, 1), Vec3d(1, 0, 1));
  ExpectNear(r * Vec3d(0, 0, 1), Vec3d(s, 0, s));
  ExpectNear(r * Vec3d(0, 1, 0), Vec3d(0, 1, 0));
  ExpectNear(r, AxisAngleRotation(Vec3d(0, 1, 0), s, s));

  const Vec3d a(0.3, -2, 5), b(-4, 0.1, 0.2);
  const Mat3d q = RotationBetween(a, b);
  ExpectRotation(q);
  ExpectNear(q * ((1 / Length(a)) * a), (1 / Length(b)) * b);
}

TEST(Mat3d, NearlyParallelDirectionsGiveAFiniteRotation) {
  // Chosen so that the normalised dot product rounds to just above 1.
  const Vec3d a(0.068827814435301171, -0.54084555950103441, -0.11309421239213446);
  const Vec3d b(0.20648344330590354, -1.6225366785031032, -0.33928263717640339);
  ASSERT_GT(Dot((1 / Length(a)) * a, (1 / Length(b)) * b), 1.0);
  ASSERT_GT(Length(Cross(a, b)), 0.0);
  const Mat3d r = RotationBetween(a, b);
  ExpectRotation(r);
  ExpectNear(r, Mat3d::Identity(), 1e-7);
}

TEST(SceneView, StartsLookingAtASphereOfRadiusFiveTenUnitsAhead) {
  BoxView v;
  ExpectNear(v.rotation, Mat3d{{-1, 0, 0, 0, 1, 0, 0, 0, -1}});
  ExpectNear(v.translation, Vec3d(0, 0, 0));
  ExpectNear(v.center, Vec3d(0, 0, -10));
  ExpectNear(v.viewCenter, Vec3d(0, 0, -10));
  EXPECT_EQ(v.viewRadius, 5.0);
  EXPECT_EQ(v.scale, 1.0);
  EXPECT_FALSE(v.ortho);
  EXPECT_TRUE(v.lighting);
  EXPECT_EQ(v.moveLight, 0);
  EXPECT_EQ(v.dragMode, Rotate);
  ExpectNear(v.lightRotation, Mat3d::Identity());
  EXPECT_EQ(v.mode(), FL_RGB8 | FL_DEPTH | FL_DOUBLE);

  const ViewAppearance& a = v.appearance;
  EXPECT_EQ(a.material.diffuse[0], 0.7f);
  EXPECT_EQ(a.material.ambient[2], 0.7f);
  EXPECT_EQ(a.material.specular[1], 0.25f);
  EXPECT_EQ(a.material.shininess, 50.0f);
  EXPECT_EQ(a.light.position[2], 1.0f);
  EXPECT_EQ(a.light.position[3], 0.0f);
  EXPECT_EQ(a.light.ambient[0], 0.0f);
  EXPECT_EQ(a.light.diffuse[1], 1.0f);
  EXPECT_EQ(a.background[0], 0.0f);
  EXPECT_EQ(a.background[3], 1.0f);

  MeshView m(130, 30, 480, 640);
  EXPECT_EQ(m.store, nullptr);
  EXPECT_EQ(m.renderMode, Surface);
  EXPECT_EQ(m.colorMode, GrayShade);
}

TEST(SceneView, AResetFramesACubeAroundTheOrigin) {
  BoxView v;
  v.scale = 3;
  v.lightRotation = AxisAngleRotation(Vec3d(1, 0, 0), 0, 1);
  v.ortho = true;
  v.moveLight = 1;
  v.lastX = 7;
  v.Frame(-1, -1, -1, 1, 1, 1);
  const double r = std::sqrt(3.0);
  ExpectNear(v.translation, Vec3d(0, 0, -2 * r));
  ExpectNear(v.center, Vec3d(0, 0, -2 * r));
  ExpectNear(v.viewCenter, v.center);
  EXPECT_NEAR(v.viewRadius, r, 1e-12);
  EXPECT_NEAR(v.Near(), r, 1e-12);
  EXPECT_NEAR(v.Far(), 3 * r, 1e-12);
  EXPECT_EQ(v.scale, 1.0);
  ExpectNear(v.lightRotation, Mat3d::Identity());
  // What the reset does not own stays.
  EXPECT_TRUE(v.ortho);
  EXPECT_EQ(v.moveLight, 1);
  EXPECT_EQ(v.lastX, 7);
}

TEST(SceneView, AResetPutsAnOffCentreBoxStraightAhead) {
  BoxView v;
  // Centre (1, 2, 0), radius 1.
  const double e = 1 / std::sqrt(3.0);
  v.Frame(1 - e, 2 - e, -e, 1 + e, 2 + e, e);
  ExpectNear(v.translation, Vec3d(1, -2, -2));
  ExpectNear(v.center, Vec3d(0, 0, -2));
  ExpectNear(v.viewCenter, Vec3d(0, 0, -2));
  ExpectNear(v.rotation * Vec3d(1, 2, 0) + v.translation, v.center);

  // Far behind the origin the near plane stays at r in front of the eye.
  v.Frame(-1, -1, -101, 1, 1, -99);
  EXPECT_NEAR(v.Near(), std::sqrt(3.0), 1e-9);
  ExpectNear(v.rotation * Vec3d(0, 0, -100) + v.translation, Vec3d(0, 0, -2 * std::sqrt(3.0)), 1e-9);
}

TEST(SceneView, APointOrAnOverflowingBoxIsFramedWithRadiusOne) {
  BoxView v;
  v.Frame(4, 5, 6, 4, 5, 6);
  EXPECT_EQ(v.viewRadius, 1.0);
  ExpectNear(v.center, Vec3d(0, 0, -2));
  ExpectNear(v.translation, Vec3d(4, -5, 4));

  v.Frame(-DBL_MAX, -DBL_MAX, 0, DBL_MAX, DBL_MAX, 0);
  EXPECT_EQ(v.viewRadius, 1.0);
  ExpectNear(v.center, Vec3d(0, 0, -2));

  v.Frame(-INFINITY, 0, 0, INFINITY, 1, 1);
  EXPECT_EQ(v.viewRadius, 1.0);
  ExpectNear(v.center, Vec3d(0, 0, -2));
  ExpectNear(v.translation, Vec3d(0, 0, -2));
  EXPECT_GT(v.Near(), 0.0);
}

TEST(MeshView, FramesEveryMeshOfTheStoreOrTheUnitCubeWhenEmpty) {
  MeshStore store;
  MeshView v(0, 0, 480, 640);
  v.SetStore(&store);
  v.ResetView();
  // Unit cube: r = sqrt(3) / 2, centre (0.5, 0.5, 0.5).
  const double r = std::sqrt(3.0) / 2;
  EXPECT_NEAR(v.viewRadius, r, 1e-12);
  ExpectNear(v.translation, Vec3d(0.5, -0.5, 0.5 - 2 * r));
  ExpectNear(v.center, Vec3d(0, 0, -2 * r));
  EXPECT_NEAR(-(v.viewCenter.z + v.viewRadius), r, 1e-12);

  for (double x : {-5.0, 3.0}) {
    Mesh* mesh = new Mesh;
    mesh->bounds.Extend(x, 0, 0);
    mesh->bounds.Extend(x + 2, 0, 0);
    store.Add(mesh);
  }
  store.current = 1;
  v.ResetView();
  // The union -5..5 on x, not the current mesh alone.
  EXPECT_NEAR(v.viewRadius, 5.0, 1e-12);
  ExpectNear(v.translation, Vec3d(0, 0, -10));
  store.view = nullptr;
}
