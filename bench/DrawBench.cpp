#include <FL/Fl.H>
#include <FL/gl.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/Bench.h"
#include "geometry/Mesh.h"
#include "store/MeshStore.h"
#include "view/MeshView.h"

// vexol-bench draw [FILE...]: per colour mode, the median frame of the view beside a bare
// immediate-mode loop over the same triangles in the same window, both timed through glFinish.
// Prints "path\tGRAY BARE\tTRUE BARE\tCONFIDENCE BARE" in milliseconds; without files a generated
// mesh of about a million triangles that fills a 480 x 640 view.
namespace {
// The view's frame with its mesh drawing swapped for the plainest loop that sends the same calls.
class BenchView : public MeshView {
 public:
  bool bare = false;
  BenchView() : MeshView(0, 0, 480, 640) {}

  void DrawScene() override {
    if (!bare) {
      MeshView::DrawScene();
      return;
    }
    const std::vector<MeshVertex>* vs = nullptr;
    const std::vector<MeshTriangle>* ts = nullptr;
    if (!store->CurrentArrays(vs, ts)) return;
    const MeshVertex* v = vs->data();
    glBegin(GL_TRIANGLES);
    if (colorMode == GrayShade) {
      for (const MeshTriangle& t : *ts)
        for (int32_t i : t.indices) {
          glNormal3fv(v[i].normal);
          glVertex3fv(v[i].position);
        }
    } else if (colorMode == TrueColor) {
      for (const MeshTriangle& t : *ts)
        for (int32_t i : t.indices) {
          glColor3ubv(v[i].color);
          glNormal3fv(v[i].normal);
          glVertex3fv(v[i].position);
        }
    } else {
      for (const MeshTriangle& t : *ts)
        for (int32_t i : t.indices) {
          glColor3f(1.0f, v[i].confidence, v[i].confidence);
          glNormal3fv(v[i].normal);
          glVertex3fv(v[i].position);
        }
    }
    glEnd();
  }
};

// A plane of 614 x 818 vertices, 3 : 4 like the view, facing the reset camera.
Mesh* GeneratedMesh() {
  const int nx = 614, ny = 818;
  Mesh* mesh = new Mesh;
  mesh->name = "generated";
  mesh->vertices.resize(size_t(nx) * ny);
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) {
      MeshVertex& v = mesh->vertices[size_t(j) * nx + i];
      v = MeshVertex{};
      v.position[0] = float(-1.0 + 2.0 * i / (nx - 1));
      v.position[1] = float((-1.0 + 2.0 * j / (ny - 1)) * 4 / 3);
      v.confidence = float(i) / nx;
      v.color[0] = uint8_t(i), v.color[1] = uint8_t(j), v.color[2] = uint8_t(i + j);
      v.normal[0] = float(0.3 * std::sin(0.05 * i));
      v.normal[1] = float(0.3 * std::cos(0.07 * j));
      v.normal[2] = -1.0f;
      mesh->bounds.Extend(v.position[0], v.position[1], 0.0);
    }
  mesh->triangles.reserve(size_t(2) * (nx - 1) * (ny - 1));
  for (int j = 0; j + 1 < ny; ++j)
    for (int i = 0; i + 1 < nx; ++i) {
      const int32_t a = j * nx + i, b = a + 1, c = a + nx, d = c + 1;
      // Clockwise as seen from +z: the reset camera looks from -z.
      mesh->triangles.push_back(MeshTriangle{{a, c, b}, {0, 0, 0}});
      mesh->triangles.push_back(MeshTriangle{{b, c, d}, {0, 0, 0}});
    }
  return mesh;
}

double Ms(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Measure(BenchView& view, const char* label, int runs) {
  std::printf("%s", label);
  for (ColorMode mode : {GrayShade, TrueColor, Confidence}) {
    view.colorMode = mode;
    view.make_current();
    view.bare = false;
    view.draw();  // also sets the state the bare loop relies on
    view.bare = true;
    view.draw();
    std::vector<double> mine, bare;
    // Interleaved, so that a busy machine slows both alike.
    for (int i = 0; i < runs; ++i) {
      view.bare = false;
      auto t0 = std::chrono::steady_clock::now();
      view.draw();
      mine.push_back(Ms(t0));
      view.bare = true;
      t0 = std::chrono::steady_clock::now();
      view.draw();
      bare.push_back(Ms(t0));
    }
    std::printf("\t%.1f %.1f", Median(mine), Median(bare));
  }
  std::printf("\n");
  std::fflush(stdout);
}
}  // namespace

int DrawBench(int argc, char** argv) {
  // The toolkit's own X header would clash with the colour mode names; without a display the
  // toolkit would end the process itself.
  if (!std::getenv("DISPLAY")) {
    std::fprintf(stderr, "vexol-bench draw: no X display\n");
    return 1;
  }
  MeshStore store;
  BenchView view;
  view.end();
  view.SetStore(&store);
  view.show();
  while (!view.valid() && view.shown()) Fl::wait(0.05);
  const int runs = 15;
  int status = 0;
  if (argc == 0) {
    store.Add(GeneratedMesh());
    store.current = 0;
    view.ResetView();
    // Half-width 1 at the plane's depth: the plane fills the view.
    view.scale = 2.0 * view.viewRadius;
    Measure(view, "generated", runs);
  }
  for (int i = 0; i < argc; ++i) {
    store.Clear();
    Mesh* mesh = new Mesh;
    PlyReadOptions options;
    if (!mesh->readPly(argv[i], options)) {
      delete mesh;
      status = 1;
      continue;
    }
    mesh->ComputeBounds();
    mesh->ComputeNormals();
    store.Add(mesh);
    store.current = 0;
    view.ResetView();
    Measure(view, argv[i], runs);
  }
  store.view = nullptr;
  view.hide();
  return status;
}
