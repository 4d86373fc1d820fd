#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/Dialogs.h"
#include "tests/gl/ViewFixture.h"

namespace {
void ExpectSame(const Mat3d& a, const Mat3d& b) {
  for (int i = 0; i < 9; ++i) EXPECT_EQ(a.m[i], b.m[i]) << "element " << i;
}
void ExpectSame(const Vec3d& a, const Vec3d& b) {
  EXPECT_EQ(a.x, b.x);
  EXPECT_EQ(a.y, b.y);
  EXPECT_EQ(a.z, b.z);
}
void ExpectNear(const Vec3d& a, const Vec3d& b, double eps = 1e-12) {
  EXPECT_NEAR(a.x, b.x, eps);
  EXPECT_NEAR(a.y, b.y, eps);
  EXPECT_NEAR(a.z, b.z, eps);
}
Mat3d Transposed(const Mat3d& a) {
  Mat3d t;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) t.m[3 * i + j] = a.m[3 * j + i];
  return t;
}

class ViewMouse : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    Mesh* mesh = AddMesh();
    AddQuad(*mesh, 1, 3, 0, 2, -1);  // off the origin, so that turning about the centre shows
    mesh->bounds.Extend(2, 1, 1);
    view->ResetView();
    Frame();
  }

  // Synthetic event state sent through the toolkit's dispatch, as the event loop would.
  int Mouse(int event, int button, int x, int y, int keys = 0) {
    Fl::e_x = x;
    Fl::e_y = y;
    Fl::e_x_root = view->x() + x;
    Fl::e_y_root = view->y() + y;
    Fl::e_keysym = FL_Button + button;
    Fl::e_state = keys | (event == FL_RELEASE ? 0 : FL_BUTTON(button));
    return Fl::handle(event, view);
  }

  // Press, drag through the points, release.
  void Drag(int button, std::initializer_list<std::pair<int, int>> points, int keysAtPress = 0, int keysAfter = 0) {
    auto p = points.begin();
    Mouse(FL_PUSH, button, p->first, p->second, keysAtPress);
    for (++p; p != points.end(); ++p) Mouse(FL_DRAG, button, p->first, p->second, keysAfter);
    Mouse(FL_RELEASE, button, (points.end() - 1)->first, (points.end() - 1)->second, keysAfter);
  }

  Vec3d SceneCenter() const {
    const std::array<double, 3> c = store.TotalBounds().Center();
    return Vec3d(c[0], c[1], c[2]);
  }
};
}  // namespace

TEST_F(ViewMouse, ARightDragDownByTheHeightDoublesTheZoomAndBackUpRestoresIt) {
  const Mat3d rotation = view->rotation;
  const Vec3d translation = view->translation;
  Drag(3, {{240, 0}, {250, 160}, {250, 320}, {260, 480}, {240, 640}});
  EXPECT_NEAR(view->scale, 2.0, 1e-12);
  EXPECT_EQ(view->dragMode, Zoom);
  Drag(3, {{100, 700}, {100, 400}, {100, 300}, {100, 60}});
  EXPECT_NEAR(view->scale, 1.0, 1e-12);
  ExpectSame(view->rotation, rotation);
  ExpectSame(view->translation, translation);
}

TEST_F(ViewMouse, APressAsksForNoRedrawAndEachDragStepDoes) {
  Settle();
  EXPECT_EQ(Mouse(FL_PUSH, 1, 100, 100), 1);
  EXPECT_EQ(view->damage(), 0);
  EXPECT_EQ(Mouse(FL_DRAG, 1, 110, 100), 1);
  EXPECT_NE(view->damage(), 0);
  Mouse(FL_RELEASE, 1, 110, 100);
}

TEST_F(ViewMouse, ALeftDragStepWithoutMotionTurnsNothing) {
  const Mat3d rotation = view->rotation;
  const Vec3d translation = view->translation, center = view->center;
  Drag(1, {{123, 456}, {123, 456}, {123, 456}});
  EXPECT_EQ(view->deltaX, 0);
  EXPECT_EQ(view->deltaY, 0);
  ExpectSame(view->rotation, rotation);
  ExpectSame(view->translation, translation);
  ExpectSame(view->center, center);
}

TEST_F(ViewMouse, ALeftDragTurnsTheModelAboutItsCentreTowardsThePointer) {
  const Mat3d r0 = view->rotation;
  const Vec3d t0 = view->translation, center = view->center;
  // The model point right in front of the centre, as seen now.
  const Vec3d front = Transposed(r0) * (center + Vec3d(0, 0, view->viewRadius) - t0);
  Drag(1, {{200, 300}, {230, 300}, {260, 280}});
  const Mat3d& r1 = view->rotation;
  ExpectNear(view->center, center, 1e-9);
  ExpectNear(r1 * SceneCenter() + view->translation, view->center, 1e-9);
  const Vec3d moved = r1 * front + view->translation;
  EXPECT_GT(moved.x, center.x + 0.01);   // right
  EXPECT_GT(moved.y, center.y + 0.001);  // and up
  // Still a rotation.
  const Mat3d i = r1 * Transposed(r1);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(i.m[k], k % 4 == 0 ? 1.0 : 0.0, 1e-12);

  // The last step carries the previous pointer direction onto the present one.
  Mouse(FL_PUSH, 1, 100, 500);
  const Mat3d before = view->rotation;
  Mouse(FL_DRAG, 1, 140, 470);
  Mouse(FL_RELEASE, 1, 140, 470);
  const Mat3d step = view->rotation * Transposed(before);
  const Vec3d from(2.0 * 100 / 480 - 1, 2.0 * (639 - 500) / 640 - 1, 1);
  const Vec3d to(2.0 * 140 / 480 - 1, 2.0 * (639 - 470) / 640 - 1, 1);
  ExpectNear((1 / Length(step * from)) * (step * from), (1 / Length(to)) * to, 1e-12);
}

TEST_F(ViewMouse, AMiddleDragPansByTwoRadiiPerViewSize) {
  const double r = view->viewRadius;
  const Vec3d t0 = view->translation, c0 = view->center;
  const Mat3d rotation = view->rotation;
  Drag(2, {{100, 100}, {160, 180}, {220, 260}});
  ExpectNear(view->translation, t0 + Vec3d(r / 2, -r / 2, 0));
  ExpectNear(view->center, c0 + Vec3d(r / 2, -r / 2, 0));
  ExpectSame(view->rotation, rotation);
  EXPECT_EQ(view->dragMode, Pan);
}

TEST_F(ViewMouse, ShiftCountsOnlyAtThePress) {
  const double r = view->viewRadius;
  const Vec3d t0 = view->translation;
  Drag(2, {{100, 100}, {100, 164}}, 0, FL_SHIFT);
  ExpectNear(view->translation, t0 + Vec3d(0, -r / 5, 0));

  const Vec3d t1 = view->translation;
  Drag(2, {{100, 100}, {148, 164}}, FL_SHIFT, 0);
  EXPECT_EQ(view->dragMode, Dolly);
  // Down moves the model towards the viewer; sideways motion does nothing.
  ExpectNear(view->translation, t1 + Vec3d(0, 0, r / 5));
  ExpectNear(view->center, view->rotation * SceneCenter() + view->translation, 1e-12);
}

TEST_F(ViewMouse, InLightModeEveryButtonSteersTheLightAndNothingElse) {
  view->moveLight = 1;
  const Mat3d rotation = view->rotation;
  const Vec3d translation = view->translation, center = view->center;
  const double s = 1 / std::sqrt(2.0);
  for (int button = 1; button <= 3; ++button) {
    SCOPED_TRACE(button);
    view->lightRotation = Mat3d::Identity();
    // Left edge, middle row: the light comes from 45 degrees to the left.
    Drag(button, {{300, 100}, {0, 319}}, button == 2 ? FL_SHIFT : 0);
    ExpectNear(view->lightRotation * Vec3d(0, 0, 1), Vec3d(-s, 0, s));
    ExpectSame(view->rotation, rotation);
    ExpectSame(view->translation, translation);
    ExpectSame(view->center, center);
    EXPECT_EQ(view->scale, 1.0);
  }

  // Straight ahead there is no axis: the light stays where it was.
  const Mat3d light = view->lightRotation;
  Drag(1, {{10, 10}, {240, 319}});
  ExpectSame(view->lightRotation, light);
  for (int k = 0; k < 9; ++k) EXPECT_FALSE(std::isnan(view->lightRotation.m[k]));

  // Press and release without motion leave it too.
  Mouse(FL_PUSH, 1, 400, 30);
  Mouse(FL_RELEASE, 1, 400, 30);
  ExpectSame(view->lightRotation, light);
}

TEST_F(ViewMouse, TheLightDirectionChangesTheLitPicture) {
  Frame();
  const std::vector<uint8_t> before = view->pixels;
  view->moveLight = 1;
  Drag(1, {{240, 319}, {0, 319}});
  Frame();
  EXPECT_NE(view->pixels, before);
}

TEST_F(ViewMouse, AFourthButtonStartsNoDragMode) {
  Drag(3, {{10, 20}, {10, 20}});
  ASSERT_EQ(view->dragMode, Zoom);
  EXPECT_EQ(view->handle(FL_PUSH), 1);  // buttons 1 to 3 are taken...
  Fl::e_keysym = FL_Button + 4;
  Fl::e_x = 300, Fl::e_y = 400;
  EXPECT_EQ(view->handle(FL_PUSH), 0);  // ...a fourth is not
  EXPECT_EQ(view->dragMode, Zoom);
  EXPECT_EQ(view->lastX, 10);
  EXPECT_EQ(view->lastY, 20);
  EXPECT_EQ(view->scale, 1.0);
}

TEST_F(ViewMouse, RealPointerDragsThroughTheXServerTurnTheModel) {
  if (std::system("command -v xdotool >/dev/null 2>&1") != 0) GTEST_FAIL() << "xdotool is not installed";
  const Mat3d rotation = view->rotation;
  const std::vector<uint8_t> before = view->pixels;
  const int x = view->x_root() + 200, y = view->y_root() + 300;
  // Pauses keep the toolkit from merging the motion into the release.
  const std::string script = "(sleep 0.3; xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) +
                             "; sleep 0.1; xdotool mousedown 1; sleep 0.1; xdotool mousemove " +
                             std::to_string(x + 40) + " " + std::to_string(y) + "; sleep 0.1; xdotool mousemove " +
                             std::to_string(x + 80) + " " + std::to_string(y + 10) +
                             "; sleep 0.1; xdotool mouseup 1) &";
  ASSERT_EQ(std::system(script.c_str()), 0);
  WaitFor([&] { return std::memcmp(view->rotation.m, rotation.m, sizeof rotation.m) != 0 && !Fl::event_buttons(); },
          10.0);
  EXPECT_NE(std::memcmp(view->rotation.m, rotation.m, sizeof rotation.m), 0);
  Frame();
  EXPECT_NE(view->pixels, before);
}

// Colour dialogs answered through the dialog seam.
namespace {
struct FakeChooser {
  static int answer;
  static double set[3];  // written into the dialog's colour when >= 0
  static std::string title;
  static double seen[3];
  static int calls;
  static int Choose(const char* t, double& r, double& g, double& b) {
    ++calls;
    title = t;
    seen[0] = r, seen[1] = g, seen[2] = b;
    if (set[0] >= 0) r = set[0], g = set[1], b = set[2];
    return answer;
  }
};
int FakeChooser::answer = 0;
double FakeChooser::set[3] = {-1, -1, -1};
std::string FakeChooser::title;
double FakeChooser::seen[3];
int FakeChooser::calls = 0;

struct ColorOp {
  void (SceneView::*choose)();
  const char* title;
  float* (*field)(ViewAppearance&);
};
const ColorOp kOps[] = {
    {&SceneView::ChooseBackgroundColor, "Background Color", [](ViewAppearance& a) { return a.background; }},
    {&SceneView::ChooseDiffuseMaterialColor, "Diffuse Material Color",
     [](ViewAppearance& a) { return a.material.diffuse; }},
    {&SceneView::ChooseSpecularMaterialColor, "Specular Material Color",
     [](ViewAppearance& a) { return a.material.specular; }},
    {&SceneView::ChooseAmbientLightColor, "Ambient Light Color", [](ViewAppearance& a) { return a.light.ambient; }},
    {&SceneView::ChooseDiffuseLightColor, "Diffuse Light Color", [](ViewAppearance& a) { return a.light.diffuse; }},
    {&SceneView::ChooseSpecularLightColor, "Specular Light Color", [](ViewAppearance& a) { return a.light.specular; }},
};

class ViewColors : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    Dialogs::chooseColor = FakeChooser::Choose;
    FakeChooser::answer = 0;
    FakeChooser::set[0] = -1;
    FakeChooser::calls = 0;
    FakeChooser::title.clear();
  }
  void TearDown() override {
    Dialogs::UseToolkit();
    ViewTest::TearDown();
  }
  void Choose(const ColorOp& op) {
    SceneView* v = view;
    (v->*op.choose)();
  }
};
}  // namespace

TEST_F(ViewColors, CancelChangesNothingAndAsksForNoRedraw) {
  FakeChooser::answer = 0;
  FakeChooser::set[0] = 0.1, FakeChooser::set[1] = 0.2, FakeChooser::set[2] = 0.3;
  const ViewAppearance before = view->appearance;
  for (const ColorOp& op : kOps) {
    SCOPED_TRACE(op.title);
    Settle();
    Choose(op);
    EXPECT_EQ(FakeChooser::title, op.title);
    EXPECT_EQ(std::memcmp(&view->appearance, &before, sizeof before), 0);
    EXPECT_EQ(view->damage(), 0);
  }
  EXPECT_EQ(FakeChooser::calls, 6);
}

TEST_F(ViewColors, OkWithoutChangeWritesTheSameValuesBackAndRedraws) {
  FakeChooser::answer = 1;
  // Values with no short binary form survive the round trip through double.
  ViewAppearance& a = view->appearance;
  for (const ColorOp& op : kOps) {
    float* c = op.field(a);
    c[0] = 0.1f, c[1] = 1.0f / 3, c[2] = 0.7f;
  }
  a.material.ambient[0] = 0.1f, a.material.ambient[1] = 1.0f / 3, a.material.ambient[2] = 0.7f;
  const ViewAppearance before = a;
  for (const ColorOp& op : kOps) {
    SCOPED_TRACE(op.title);
    Settle();
    Choose(op);
    EXPECT_EQ(FakeChooser::seen[0], double(0.1f));
    EXPECT_EQ(FakeChooser::seen[1], double(1.0f / 3));
    EXPECT_EQ(std::memcmp(&a, &before, sizeof before), 0);
    EXPECT_NE(view->damage(), 0);
  }
}

TEST_F(ViewColors, EachDialogEditsItsOwnColourAndKeepsAlpha) {
  FakeChooser::answer = 1;
  FakeChooser::set[0] = 0.25, FakeChooser::set[1] = 0.5, FakeChooser::set[2] = 0.125;
  for (const ColorOp& op : kOps) {
    SCOPED_TRACE(op.title);
    ViewAppearance fresh;
    view->appearance = fresh;
    view->appearance.material.diffuse[3] = 0.75f;
    view->appearance.material.ambient[3] = 0.5f;
    ViewAppearance expected = view->appearance;
    float* c = op.field(expected);
    c[0] = 0.25f, c[1] = 0.5f, c[2] = 0.125f;
    if (op.choose == &SceneView::ChooseDiffuseMaterialColor)
      for (int i = 0; i < 3; ++i) expected.material.ambient[i] = c[i];
    Choose(op);
    EXPECT_EQ(std::memcmp(&view->appearance, &expected, sizeof expected), 0);
  }
  EXPECT_EQ(view->appearance.material.diffuse[3], 0.75f);
}

TEST_F(ViewColors, ANewDiffuseMaterialShowsInTheNextFrameLitOrNot) {
  Mesh* mesh = AddMesh();
  AddQuad(*mesh, -1, 1, -1, 1, 0);
  view->ResetView();
  view->appearance.material.specular[0] = view->appearance.material.specular[1] =
      view->appearance.material.specular[2] = 0;
  FakeChooser::answer = 1;
  FakeChooser::set[0] = 1.0, FakeChooser::set[1] = 0.0, FakeChooser::set[2] = 0.5;
  view->ChooseDiffuseMaterialColor();
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), {255, 0, 128}));
  view->SetLighting(false);
  Frame();
  EXPECT_TRUE(Near(view->At(240, 320), {255, 0, 128}));
}
