#include "view/SceneView.h"

#include <FL/Fl.H>
#include <FL/gl.h>

#include <cmath>

#include "store/Dialogs.h"

Vec3d FramedCenter(const BoundingBox& box) {
  const std::array<double, 3> c = box.Center();
  if (!std::isfinite(c[0]) || !std::isfinite(c[1]) || !std::isfinite(c[2])) return Vec3d();
  return Vec3d(c[0], c[1], c[2]);
}

double FramedRadius(const BoundingBox& box) {
  const double r = box.Sphere().radius;
  return (r > 0.0 && std::isfinite(r)) ? r : 1.0;
}

SceneView::SceneView(int x, int y, int w, int h, const char* label) : Fl_Gl_Window(x, y, w, h, label) {
  mode(FL_RGB8 | FL_DEPTH | FL_DOUBLE);
  rotation = Mat3d{{-1, 0, 0, 0, 1, 0, 0, 0, -1}};
  translation = Vec3d(0, 0, 0);
  center = Vec3d(0, 0, -10);
  viewCenter = center;
  moveLight = 0;
  dragMode = Rotate;
  viewRadius = 5.0;
  ortho = false;
  scale = 1.0;
  lighting = true;
  lightRotation = Mat3d::Identity();
}

void SceneView::draw() {
  if (!valid()) glViewport(0, 0, w(), h());
  const float* bg = appearance.background;
  glClearColor(bg[0], bg[1], bg[2], bg[3]);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  const double r = viewRadius;
  double halfW = r / scale, halfH = r / scale;
  if (w() > h())
    halfW *= double(w()) / h();
  else
    halfH *= double(h()) / w();
  const Vec3d& c = viewCenter;
  const double zNear = -(c.z + r), zFar = -(c.z - r);
  if (ortho)
    glOrtho(c.x - halfW, c.x + halfW, c.y - halfH, c.y + halfH, zNear, zFar);
  else
    glFrustum(c.x - halfW, c.x + halfW, c.y - halfH, c.y + halfH, zNear, zFar);

  double m[16];
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();
  glPushMatrix();
  lightRotation.ToGl(Vec3d(), m);
  glMultMatrixd(m);
  if (lighting) {
    glEnable(GL_LIGHTING);
    appearance.light.Apply();
    appearance.material.Apply();
    glEnable(GL_COLOR_MATERIAL);
  }
  glColor4fv(appearance.material.diffuse);

  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
  glPushMatrix();
  rotation.ToGl(translation, m);
  glMultMatrixd(m);
  DrawScene();
  if (lighting) {
    glDisable(GL_LIGHTING);
    glDisable(GL_COLOR_MATERIAL);
  }
  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glFinish();
}

int SceneView::handle(int event) {
  switch (event) {
    case FL_PUSH:
    case FL_RELEASE:
    case FL_DRAG:
    case FL_MOVE:
    case FL_MOUSEWHEEL:
      return HandleMouse(event);
    default:
      return Fl_Gl_Window::handle(event);
  }
}

int SceneView::HandleMouse(int event) {
  if (event == FL_PUSH) {
    const int button = Fl::event_button();
    if (button < 1 || button > 3) return Fl_Gl_Window::handle(event);
    lastX = Fl::event_x();
    lastY = Fl::event_y();
    if (button == 1)
      dragMode = Rotate;
    else if (button == 2)
      dragMode = (Fl::event_state() & FL_SHIFT) ? Dolly : Pan;
    else
      dragMode = Zoom;
    return 1;
  }
  if (event == FL_DRAG) {
    const int x = Fl::event_x(), y = Fl::event_y();
    deltaX = x - lastX;
    deltaY = y - lastY;
    lastX = x;
    lastY = y;
    ApplyDrag();
    redraw();
    return 1;
  }
  return Fl_Gl_Window::handle(event);
}

void SceneView::ApplyDrag() {
  const int w = this->w(), h = this->h();
  if (w <= 0 || h <= 0) return;
  const int x = lastX, y = lastY, dx = deltaX, dy = deltaY;
  const double r = viewRadius;
  // The plane z = 1 with the view spanning -1..1 both ways, y up.
  auto d = [w, h](int px, int py) { return Vec3d(2.0 * px / w - 1.0, 2.0 * (h - 1 - py) / h - 1.0, 1.0); };

  Mat3d M = Mat3d::Identity();
  Vec3d T;
  if (moveLight) {
    if (2 * x == w && 2 * (h - 1 - y) == h) return;  // straight ahead: no axis to turn about
    lightRotation = RotationBetween(Vec3d(0, 0, 1), d(x, y));
    return;
  }
  switch (dragMode) {
    case Zoom:
      scale *= std::pow(2.0, double(dy) / h);
      return;
    case Rotate:
      if (dx != 0 || dy != 0) M = RotationBetween(d(x - dx, y - dy), d(x, y));
      break;
    case Pan:
      T = Vec3d(2.0 * r * dx / w, -2.0 * r * dy / h, 0.0);
      break;
    case Dolly:
      T = Vec3d(0.0, 0.0, 2.0 * r * dy / h);
      break;
    default:
      return;
  }
  translation = (center + T) + M * (translation - center);
  rotation = M * rotation;
  center = rotation * FramedCenter(SceneBounds()) + translation;
}

void SceneView::ResetView() {
  ResetCamera();
  FitProjection();
  redraw();
}

void SceneView::ResetCamera() {
  rotation = Mat3d{{-1, 0, 0, 0, 1, 0, 0, 0, -1}};
  const BoundingBox box = SceneBounds();
  const double r = FramedRadius(box);
  const Vec3d c0 = FramedCenter(box);
  // The box centre lands straight ahead at twice the radius, whatever the rotation.
  translation = Vec3d(0, 0, -2.0 * r) - rotation * c0;
  center = rotation * c0 + translation;
  scale = 1.0;
  lightRotation = Mat3d::Identity();
}

void SceneView::FitProjection() {
  viewRadius = FramedRadius(SceneBounds());
  viewCenter = center;
  redraw();
}

void SceneView::SetOrtho(bool on) {
  if (on == ortho) return;
  ortho = on;
  redraw();
}

void SceneView::SetLighting(bool on) {
  if (on == lighting) return;
  lighting = on;
  redraw();
}

void SceneView::SetFrontFace(bool clockwise) {
  // Without a window there is no context to hold the winding.
  if (!shown()) return;
  make_current();
  glFrontFace(clockwise ? GL_CW : GL_CCW);
  redraw();  // the winding decides which faces are culled: the picture changes at once
}

bool ChooseColor(const char* title, float* rgb) {
  double r = rgb[0], g = rgb[1], b = rgb[2];
  if (!Dialogs::chooseColor(title, r, g, b)) return false;
  rgb[0] = float(r);
  rgb[1] = float(g);
  rgb[2] = float(b);
  return true;
}

void SceneView::ChooseBackgroundColor() {
  if (ChooseColor("Background Color", appearance.background)) redraw();
}

void SceneView::ChooseDiffuseMaterialColor() {
  GlMaterial& m = appearance.material;
  if (!ChooseColor("Diffuse Material Color", m.diffuse)) return;
  // The material's ambient colour has no dialog of its own: it follows the diffuse one.
  for (int i = 0; i < 3; ++i) m.ambient[i] = m.diffuse[i];
  redraw();
}

void SceneView::ChooseSpecularMaterialColor() {
  if (ChooseColor("Specular Material Color", appearance.material.specular)) redraw();
}

void SceneView::ChooseAmbientLightColor() {
  if (ChooseColor("Ambient Light Color", appearance.light.ambient)) redraw();
}

void SceneView::ChooseDiffuseLightColor() {
  if (ChooseColor("Diffuse Light Color", appearance.light.diffuse)) redraw();
}

void SceneView::ChooseSpecularLightColor() {
  if (ChooseColor("Specular Light Color", appearance.light.specular)) redraw();
}
