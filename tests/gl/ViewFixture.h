#pragma once
#include <FL/Fl.H>
#include <FL/gl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "geometry/Mesh.h"
#include "store/MeshStore.h"
#include "view/MeshView.h"

// Reads each frame back from the back buffer before the toolkit swaps it away.
class CapturingView : public MeshView {
 public:
  std::vector<uint8_t> pixels;
  int width = 0, height = 0;
  GLint viewport[4] = {0, 0, 0, 0};
  int draws = 0;

  CapturingView(int w, int h) : MeshView(0, 0, w, h) {}

  void draw() override {
    MeshView::draw();
    Capture();
    ++draws;
  }

  void Capture() {
    width = w();
    height = h();
    glGetIntegerv(GL_VIEWPORT, viewport);
    pixels.assign(size_t(width) * height * 3, 0);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
  }

  // Window coordinates: y grows downwards from the top row.
  const uint8_t* At(int x, int y) const { return &pixels[(size_t(height - 1 - y) * width + x) * 3]; }
};

struct Rgb {
  int r, g, b;
};

inline bool Near(const uint8_t* p, Rgb c, int tolerance = 1) {
  return std::abs(p[0] - c.r) <= tolerance && std::abs(p[1] - c.g) <= tolerance && std::abs(p[2] - c.b) <= tolerance;
}

inline MeshVertex Vertex(float x, float y, float z, float nx = 0, float ny = 0, float nz = -1) {
  MeshVertex v{};
  v.position[0] = x;
  v.position[1] = y;
  v.position[2] = z;
  v.normal[0] = nx;
  v.normal[1] = ny;
  v.normal[2] = nz;
  return v;
}

// The reset camera is a half turn about y: it looks at the model from its -z side, with model
// +x on the screen's left. A quad facing that camera is wound clockwise as seen from +z.
inline void AddQuad(Mesh& mesh, float x0, float x1, float y0, float y1, float z, bool facing = true,
                    const MeshVertex& like = Vertex(0, 0, 0)) {
  const int32_t base = int32_t(mesh.vertices.size());
  const float corners[4][2] = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
  for (const auto& c : corners) {
    MeshVertex v = like;
    v.position[0] = c[0];
    v.position[1] = c[1];
    v.position[2] = z;
    mesh.vertices.push_back(v);
    mesh.bounds.Extend(c[0], c[1], z);
  }
  const int32_t ccw[2][3] = {{0, 1, 2}, {0, 2, 3}};
  for (const auto& t : ccw) {
    MeshTriangle tri{};
    for (int k = 0; k < 3; ++k) tri.indices[k] = base + (facing ? t[2 - k] : t[k]);
    mesh.triangles.push_back(tri);
  }
}

// A shown view of 480 x 640 like the program's, over a store the test fills.
class ViewTest : public testing::Test {
 protected:
  MeshStore store;
  CapturingView* view = nullptr;

  void SetUp() override { Open(480, 640); }
  void TearDown() override {
    if (view && view->shown()) view->SetFrontFace(false);
    delete view;
    view = nullptr;
    Fl::check();
  }

  void Open(int w, int h) {
    view = new CapturingView(w, h);
    view->end();
    view->SetStore(&store);
    view->show();
    WaitFor([&] { return view->draws > 0; });
    ASSERT_GT(view->draws, 0) << "the view never drew";
  }

  template <class F>
  static void WaitFor(F done, double seconds = 10.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done() && std::chrono::steady_clock::now() < end) Fl::wait(0.01);
  }

  Mesh* AddMesh() {
    Mesh* mesh = new Mesh;
    store.Add(mesh);
    if (store.current < 0) store.current = 0;
    return mesh;
  }

  // The store's loaders reset the view after a load; tests that fill the store directly do it here.
  void Frame() {
    const int before = view->draws;
    view->redraw();
    Fl::flush();
    WaitFor([&] { return view->draws > before; });
    ASSERT_GT(view->draws, before) << "no frame was drawn";
  }

  // Draws pending frames so that damage() then tells whether something asked for a redraw.
  void Settle() {
    Fl::flush();
    view->clear_damage();
  }

  int CountNot(Rgb background, int x0, int y0, int x1, int y1) const {
    int n = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        if (!Near(view->At(x, y), background, 0)) ++n;
    return n;
  }
};
