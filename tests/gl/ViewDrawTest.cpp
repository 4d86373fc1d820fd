#include <FL/gl.h>

#include <cmath>
#include <cstring>

#include "tests/gl/ViewFixture.h"

namespace {
const Rgb kBlack{0, 0, 0};
const Rgb kGray{178, 178, 178};  // 0.7 of 255

// Lit span of a row or column of the last frame, first and last index; -1, -1 when nothing.
struct Span {
  int first = -1, last = -1;
  double Middle() const { return 0.5 * (first + last + 1); }
  int Length() const { return first < 0 ? 0 : last - first + 1; }
};

Span RowSpan(const CapturingView& v, int y) {
  Span s;
  for (int x = 0; x < v.width; ++x)
    if (!Near(v.At(x, y), kBlack, 0)) {
      if (s.first < 0) s.first = x;
      s.last = x;
    }
  return s;
}

Span ColumnSpan(const CapturingView& v, int x) {
  Span s;
  for (int y = 0; y < v.height; ++y)
    if (!Near(v.At(x, y), kBlack, 0)) {
      if (s.first < 0) s.first = y;
      s.last = y;
    }
  return s;
}

class ViewDraw : public ViewTest {
 protected:
  // A quad of side 2 around the origin in the plane z = 0: r = sqrt(2), framed at depth 2r.
  Mesh* Square(const MeshVertex& like = Vertex(0, 0, 0)) {
    Mesh* mesh = AddMesh();
    AddQuad(*mesh, -1, 1, -1, 1, 0, true, like);
    view->ResetView();
    return mesh;
  }
};
}  // namespace

TEST_F(ViewDraw, UnlitGrayIsTheMaterialDiffuseOnTheBackground) {
  MeshVertex red = Vertex(0, 0, 0);
  red.color[0] = 255;  // ignored in gray shading
  Square(red);
  view->SetLighting(false);
  float* bg = view->appearance.background;
  bg[0] = 0.2f, bg[1] = 0.4f, bg[2] = 0.6f;
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), kGray));
  EXPECT_TRUE(Near(view->At(5, 5), {51, 102, 153}));
  EXPECT_TRUE(Near(view->At(474, 634), {51, 102, 153}));

  float* d = view->appearance.material.diffuse;
  d[0] = 0.2f, d[1] = 0.4f, d[2] = 1.0f;
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), {51, 102, 255}));
}

TEST_F(ViewDraw, UnlitConfidenceAndTrueColorAreDrawnAsSent) {
  MeshVertex like = Vertex(0, 0, 0);
  like.confidence = 0.5f;
  like.color[0] = 255;
  Square(like);
  view->SetLighting(false);
  view->SetColorMode(Confidence);
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), {255, 128, 128}));

  view->SetColorMode(TrueColor);
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), {255, 0, 0}, 0));

  store.meshes[0]->vertices[0].confidence = 0.0f;
  store.meshes[0]->vertices[1].confidence = 1.0f;
  view->SetColorMode(Confidence);
  Frame();
  // Colours are interpolated: near the corner of confidence 0 the surface is nearly pure red.
  const uint8_t* nearRed = view->At(240 + 82, 320 + 82);
  EXPECT_GE(nearRed[0], 254);
  EXPECT_LT(nearRed[1], 80);
}

TEST_F(ViewDraw, LitFacesDarkenAsTheyTurnFromTheLight) {
  // Two halves: the screen's right half (model x < 0) faces the viewer, the left half is shaded as
  // if turned 60 degrees away. Long normals check that they are normalised.
  const double s60 = std::sin(M_PI / 3), c60 = std::cos(M_PI / 3);
  Mesh* mesh = AddMesh();
  AddQuad(*mesh, -1, 0, -1, 1, 0, true, Vertex(0, 0, 0, 0, 0, -5));
  AddQuad(*mesh, 0, 1, -1, 1, 0, true, Vertex(0, 0, 0, float(-5 * s60), 0, float(-5 * c60)));
  view->ResetView();
  Frame();
  const uint8_t* facing = view->At(280, 320);
  const uint8_t* turned = view->At(200, 320);
  // Facing: diffuse 0.7 plus the specular highlight 0.25; turned: 0.7 cos 60 and no highlight.
  EXPECT_TRUE(Near(facing, {242, 242, 242}, 2)) << int(facing[0]);
  EXPECT_TRUE(Near(turned, {89, 89, 89}, 2)) << int(turned[0]);

  // Ambient light adds to a lit frame only.
  float* ambient = view->appearance.light.ambient;
  ambient[0] = ambient[1] = ambient[2] = 0.5f;
  Frame();
  EXPECT_TRUE(Near(view->At(200, 320), {89 + 89, 89 + 89, 89 + 89}, 2));
  view->SetLighting(false);
  Frame();
  EXPECT_TRUE(Near(view->At(200, 320), kGray));
  EXPECT_TRUE(Near(view->At(280, 320), kGray));
}

TEST_F(ViewDraw, TheLightFollowsLightRotationNotTheModel) {
  Mesh* mesh = AddMesh();
  AddQuad(*mesh, -1, 1, -1, 1, 0);
  view->ResetView();
  // Turning the model does not move the light: a quad turned 60 degrees about y gets cos 60.
  view->rotation = AxisAngleRotation(Vec3d(0, 1, 0), std::cos(M_PI / 3), std::sin(M_PI / 3)) * view->rotation;
  view->SetOrtho(true);
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), {89, 89, 89}, 2)) << int(view->At(240, 320)[0]);
  // Turning the light by the same angle lights it head-on again (the highlight stays with the viewer).
  view->lightRotation = AxisAngleRotation(Vec3d(0, 1, 0), std::cos(M_PI / 3), std::sin(M_PI / 3));
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), kGray, 2)) << int(view->At(240, 320)[0]);
}

TEST_F(ViewDraw, BackFacesAreCulledInEveryModeAndTheOthersAfterClockwise) {
  // Screen right (model x < 0) faces the camera, screen left is wound the other way.
  Mesh* mesh = AddMesh();
  AddQuad(*mesh, -1, 0, -1, 1, 0, true);
  AddQuad(*mesh, 0, 1, -1, 1, 0, false);
  view->ResetView();
  view->SetLighting(false);
  for (RenderMode mode : {Surface, Wireframe, Points}) {
    SCOPED_TRACE(mode);
    view->SetRenderMode(mode);
    view->SetFrontFace(false);
    Frame();
    EXPECT_GT(CountNot(kBlack, 245, 230, 335, 410), 0);
    EXPECT_EQ(CountNot(kBlack, 145, 230, 236, 410), 0);
    view->SetFrontFace(true);
    Frame();
    EXPECT_EQ(CountNot(kBlack, 245, 230, 335, 410), 0);
    EXPECT_GT(CountNot(kBlack, 145, 230, 236, 410), 0);
  }
}

TEST_F(ViewDraw, WireframeDrawsEdgesAndPointsDrawCorners) {
  Square();
  view->SetLighting(false);
  Frame();
  EXPECT_NEAR(RowSpan(*view, 300).Length(), 170, 2);

  view->SetRenderMode(Wireframe);
  Frame();
  // A row crosses the two side edges and the diagonal, nothing in between.
  const int lit = CountNot(kBlack, 0, 300, 480, 301);
  EXPECT_GE(lit, 3);
  EXPECT_LE(lit, 8);
  EXPECT_TRUE(Near(view->At(240 - 40, 320 + 40), kBlack, 0));
  EXPECT_TRUE(Near(view->At(240 + 40, 320 - 40), kBlack, 0));
  EXPECT_GT(CountNot(kBlack, 239, 319, 242, 322), 0);  // on the diagonal

  view->SetRenderMode(Points);
  Frame();
  const int corners[4][2] = {{155, 235}, {325, 235}, {155, 405}, {325, 405}};
  for (const auto& c : corners) EXPECT_GT(CountNot(kBlack, c[0] - 2, c[1] - 2, c[0] + 3, c[1] + 3), 0);
  EXPECT_LE(CountNot(kBlack, 0, 0, 480, 640), 4 * 4);
  EXPECT_TRUE(Near(view->At(240, 320), kBlack, 0));
}

TEST_F(ViewDraw, PerspectiveAndOrthographicFrameTheSceneSphere) {
  Square();
  view->SetLighting(false);
  const double r = std::sqrt(2.0);
  // Perspective: the window of half-width r lies at the near plane r; the square sits at 2r.
  Frame();
  // There the view is 2r wide on each side of the centre, and the square reaches 1.
  const double perspectiveHalf = 240.0 / (2 * r);
  Span row = RowSpan(*view, 320), column = ColumnSpan(*view, 240);
  EXPECT_NEAR(row.Length(), 2 * perspectiveHalf, 1.5);
  EXPECT_NEAR(column.Length(), 2 * perspectiveHalf, 1.5);
  EXPECT_NEAR(row.Middle(), 240, 1);
  EXPECT_NEAR(column.Middle(), 320, 1);

  // Orthographic: the shorter side, the width, spans 2r whatever the depth.
  view->SetOrtho(true);
  Frame();
  const double orthoHalf = 240.0 / r;
  row = RowSpan(*view, 320), column = ColumnSpan(*view, 240);
  EXPECT_NEAR(row.Length(), 2 * orthoHalf, 1.5);
  EXPECT_NEAR(column.Length(), 2 * orthoHalf, 1.5);

  view->scale = 0.5;
  Frame();
  EXPECT_NEAR(RowSpan(*view, 320).Length(), orthoHalf, 1.5);
}

TEST_F(ViewDraw, ASceneAwayFromTheOriginIsFramedAfterAReset) {
  Mesh* mesh = AddMesh();
  AddQuad(*mesh, 40, 42, -31, -29, -75);
  view->ResetView();
  view->SetLighting(false);
  Frame();
  const Span row = RowSpan(*view, 320), column = ColumnSpan(*view, 240);
  EXPECT_NEAR(row.Middle(), 240, 1);
  EXPECT_NEAR(column.Middle(), 320, 1);
  EXPECT_NEAR(row.Length(), 170, 2);
}

TEST_F(ViewDraw, WithoutACurrentMeshOnlyTheBackgroundIsDrawn) {
  float* bg = view->appearance.background;
  bg[0] = 0.2f, bg[1] = 0.4f, bg[2] = 0.6f;
  const Rgb background{51, 102, 153};
  Frame();
  EXPECT_EQ(CountNot(background, 0, 0, 480, 640), 0);

  Square();
  store.current = -1;
  Frame();
  EXPECT_EQ(CountNot(background, 0, 0, 480, 640), 0);

  store.current = 0;
  view->SetStore(nullptr);
  Frame();
  EXPECT_EQ(CountNot(background, 0, 0, 480, 640), 0);
}

TEST_F(ViewDraw, AResizeSetsTheViewportAndTheLongerSideFollows) {
  Square();
  view->SetLighting(false);
  view->SetOrtho(true);
  Frame();
  EXPECT_EQ(view->viewport[2], 480);
  EXPECT_EQ(view->viewport[3], 640);

  view->resize(view->x(), view->y(), 640, 480);
  WaitFor([&] { return view->draws > 0 && view->width == 640; }, 2.0);
  Frame();
  ASSERT_EQ(view->width, 640);
  EXPECT_EQ(view->viewport[0], 0);
  EXPECT_EQ(view->viewport[1], 0);
  EXPECT_EQ(view->viewport[2], 640);
  EXPECT_EQ(view->viewport[3], 480);
  // Now the height spans 2r and the square stays square.
  const double half = 240.0 / std::sqrt(2.0);
  EXPECT_NEAR(RowSpan(*view, 240).Length(), 2 * half, 1.5);
  EXPECT_NEAR(ColumnSpan(*view, 320).Length(), 2 * half, 1.5);
  EXPECT_NEAR(RowSpan(*view, 240).Middle(), 320, 1);
}

TEST_F(ViewDraw, AThousandFramesLeaveMatrixStacksAndLightingAsFound) {
  Square();
  view->make_current();
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glTranslated(1, 2, 3);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  glScaled(2, 2, 2);
  GLint modelDepth = 0, projectionDepth = 0;
  GLdouble model[16], projection[16];
  glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &modelDepth);
  glGetIntegerv(GL_PROJECTION_STACK_DEPTH, &projectionDepth);
  glGetDoublev(GL_MODELVIEW_MATRIX, model);
  glGetDoublev(GL_PROJECTION_MATRIX, projection);
  for (int i = 0; i < 1000; ++i) view->draw();
  GLint modelAfter = 0, projectionAfter = 0;
  GLdouble m[16], p[16];
  glGetIntegerv(GL_MODELVIEW_STACK_DEPTH, &modelAfter);
  glGetIntegerv(GL_PROJECTION_STACK_DEPTH, &projectionAfter);
  glGetDoublev(GL_MODELVIEW_MATRIX, m);
  glGetDoublev(GL_PROJECTION_MATRIX, p);
  EXPECT_EQ(modelAfter, modelDepth);
  EXPECT_EQ(projectionAfter, projectionDepth);
  EXPECT_EQ(std::memcmp(m, model, sizeof m), 0);
  EXPECT_EQ(std::memcmp(p, projection, sizeof p), 0);
  EXPECT_FALSE(glIsEnabled(GL_LIGHTING));
  EXPECT_FALSE(glIsEnabled(GL_COLOR_MATERIAL));
  EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(ViewDraw, ASequenceFrameDrawsItsOwnVerticesWithTheFirstFramesTriangles) {
  Mesh* first = AddMesh();
  AddQuad(*first, 0, 1, -1, 1, 0);  // screen left
  Mesh* second = AddMesh();
  for (const MeshVertex& v : first->vertices) {
    MeshVertex moved = v;
    moved.position[0] -= 1;  // screen right
    second->vertices.push_back(moved);
    second->bounds.Extend(moved.position[0], moved.position[1], moved.position[2]);
  }
  store.isSequence = store.sharedTriangles = true;
  view->ResetView();
  view->SetLighting(false);

  store.current = 1;
  Frame();
  EXPECT_GT(CountNot(kBlack, 245, 240, 320, 400), 5000);
  EXPECT_EQ(CountNot(kBlack, 0, 0, 236, 640), 0);
  store.current = 0;
  Frame();
  EXPECT_GT(CountNot(kBlack, 160, 240, 235, 400), 5000);
  EXPECT_EQ(CountNot(kBlack, 245, 0, 480, 640), 0);

  // Without sharing the second frame has no triangles of its own.
  store.sharedTriangles = false;
  store.current = 1;
  Frame();
  EXPECT_EQ(CountNot(kBlack, 0, 0, 480, 640), 0);
}

TEST_F(ViewDraw, TrianglesOutsideTheVertexArrayAreSkipped) {
  Mesh* first = AddMesh();
  AddQuad(*first, -1, 1, -1, 1, 0);
  MeshTriangle bad{};
  bad.indices[0] = 0, bad.indices[1] = 1000000, bad.indices[2] = -1;
  first->triangles.push_back(bad);
  view->ResetView();
  view->SetLighting(false);
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), kGray));

  // A later frame with fewer vertices than the shared triangles use draws what it can.
  Mesh* second = AddMesh();
  second->vertices.assign(first->vertices.begin(), first->vertices.begin() + 3);
  store.sharedTriangles = true;
  store.current = 1;
  Frame();
  EXPECT_GT(CountNot(kBlack, 0, 0, 480, 640), 0);
  EXPECT_TRUE(Near(view->At(240 - 40, 320 + 40), kGray));      // triangle 0, 2, 1
  EXPECT_TRUE(Near(view->At(240 + 40, 320 - 40), kBlack, 0));  // needs vertex 3
}

TEST_F(ViewDraw, FlipNormalDarkensLitFacesAndTwiceRestoresThePicture) {
  Square();
  Frame();
  const std::vector<uint8_t> before = view->pixels;
  EXPECT_TRUE(Near(view->At(240, 320), {242, 242, 242}, 2));
  Settle();
  store.FlipNormals();
  EXPECT_EQ(view->damage(), 0);
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), kBlack, 0));
  store.FlipNormals();
  Frame();
  EXPECT_EQ(view->pixels, before);
}

TEST_F(ViewDraw, SettersRedrawOnlyWhenTheValueChanges) {
  Settle();
  view->SetOrtho(true);
  EXPECT_NE(view->damage(), 0);
  Settle();
  view->SetOrtho(true);
  EXPECT_EQ(view->damage(), 0);
  view->SetLighting(true);
  EXPECT_EQ(view->damage(), 0);
  view->SetRenderMode(Surface);
  EXPECT_EQ(view->damage(), 0);
  view->SetColorMode(GrayShade);
  EXPECT_EQ(view->damage(), 0);
  view->moveLight = 1;
  EXPECT_EQ(view->damage(), 0);
  view->SetFrontFace(true);  // the winding lives in the context alone, so it always redraws
  EXPECT_NE(view->damage(), 0);
  Settle();

  view->SetLighting(false);
  EXPECT_NE(view->damage(), 0);
  Settle();
  view->SetRenderMode(Points);
  EXPECT_NE(view->damage(), 0);
  Settle();
  view->SetColorMode(Confidence);
  EXPECT_NE(view->damage(), 0);
  Settle();
  view->ResetView();
  EXPECT_NE(view->damage(), 0);
  EXPECT_TRUE(view->ortho);
  EXPECT_FALSE(view->lighting);
  EXPECT_EQ(view->renderMode, Points);
  EXPECT_EQ(view->colorMode, Confidence);
}
