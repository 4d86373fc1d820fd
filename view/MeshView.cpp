#include "view/MeshView.h"

#include <FL/gl.h>

#include "store/MeshStore.h"

MeshView::MeshView(int x, int y, int w, int h, const char* label) : SceneView(x, y, w, h, label) {
  store = nullptr;
  renderMode = Surface;
  colorMode = GrayShade;
}

BoundingBox MeshView::SceneBounds() {
  if (store) return store->TotalBounds();
  BoundingBox box;
  box.SetUnit();
  return box;
}

void MeshView::DrawScene() {
  if (!store) return;
  const std::vector<MeshVertex>* vertices = nullptr;
  const std::vector<MeshTriangle>* triangles = nullptr;
  if (!store->CurrentArrays(vertices, triangles)) return;
  static const GLenum polygonModes[3] = {GL_FILL, GL_LINE, GL_POINT};
  if (renderMode >= Surface && renderMode <= Points) glPolygonMode(GL_FRONT_AND_BACK, polygonModes[renderMode]);
  DrawMesh(*vertices, *triangles, colorMode);
}

void MeshView::draw() {
  SceneView::draw();
  if (drawn) drawn();
}

void MeshView::SetRenderMode(RenderMode mode) {
  if (mode == renderMode) return;
  renderMode = mode;
  redraw();
}

void MeshView::SetColorMode(ColorMode mode) {
  if (mode == colorMode) return;
  colorMode = mode;
  redraw();
}

namespace {
struct NoColor {
  void operator()(const MeshVertex&) const {}
};
struct VertexColor {
  void operator()(const MeshVertex& v) const { glColor3ubv(v.color); }
};
struct ConfidenceColor {
  void operator()(const MeshVertex& v) const { glColor3f(1.0f, v.confidence, v.confidence); }
};

// One instance per colour mode, so the corner loop never asks which mode it is in.
template <class SendColor>
void SendTriangles(const MeshVertex* v, uint32_t vertexCount, const MeshTriangle* t, size_t count) {
  const SendColor color;
  for (const MeshTriangle* end = t + count; t != end; ++t) {
    const uint32_t a = uint32_t(t->indices[0]), b = uint32_t(t->indices[1]), c = uint32_t(t->indices[2]);
    if (a >= vertexCount || b >= vertexCount || c >= vertexCount) continue;
    color(v[a]);
    glNormal3fv(v[a].normal);
    glVertex3fv(v[a].position);
    color(v[b]);
    glNormal3fv(v[b].normal);
    glVertex3fv(v[b].position);
    color(v[c]);
    glNormal3fv(v[c].normal);
    glVertex3fv(v[c].position);
  }
}
}  // namespace

void DrawMesh(const std::vector<MeshVertex>& vertices, const std::vector<MeshTriangle>& triangles,
              ColorMode colorMode) {
  glShadeModel(GL_SMOOTH);
  glCullFace(GL_BACK);
  glEnable(GL_CULL_FACE);
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_NORMALIZE);
  const MeshVertex* v = vertices.data();
  const uint32_t n = vertices.size() > UINT32_MAX ? UINT32_MAX : uint32_t(vertices.size());
  glBegin(GL_TRIANGLES);
  if (colorMode == Confidence)
    SendTriangles<ConfidenceColor>(v, n, triangles.data(), triangles.size());
  else if (colorMode == TrueColor)
    SendTriangles<VertexColor>(v, n, triangles.data(), triangles.size());
  else
    SendTriangles<NoColor>(v, n, triangles.data(), triangles.size());
  glEnd();
}
