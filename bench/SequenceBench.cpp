#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/Bench.h"
#include "geometry/HugePages.h"
#include "store/DepthMapSequenceDesc.h"
#include "store/FrameLoader.h"
#include "store/MeshSequenceDesc.h"
#include "store/MeshStore.h"

namespace {

// The loaders print one line per frame; the console is not what is measured.
struct QuietStdout {
  int saved;
  QuietStdout() {
    std::fflush(stdout);
    saved = dup(1);
    FILE* null = std::fopen("/dev/null", "w");
    dup2(fileno(null), 1);
    std::fclose(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }
};

bool WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

void Put(std::string& s, const void* p, size_t n) { s.append(static_cast<const char*>(p), n); }

// Every pixel valid, a rippled surface that moves with the frame.
std::string DptFrame(int32_t w, int32_t h, int frame) {
  std::string s;
  const double params[5] = {500.0, 500.0, w / 2.0, h / 2.0, 0.0};
  Put(s, params, sizeof params);
  Put(s, &w, 4);
  Put(s, &h, 4);
  s.append(size_t((w * h + 31) / 32) * 4, char(0xff));
  std::vector<float> depth(size_t(w) * h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      depth[size_t(y) * w + x] = float(100.0 + 3.0 * std::sin(x * 0.05 + frame * 0.2) * std::cos(y * 0.04));
  Put(s, depth.data(), depth.size() * 4);
  return s;
}

// Binary little-endian grid of columns x rows vertices (x, y, z, confidence), with faces when asked.
std::string PlyFrame(int columns, int rows, int frame, bool faces) {
  const int quads = (columns - 1) * (rows - 1);
  std::string s = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(columns * rows) +
                  "\nproperty float x\nproperty float y\nproperty float z\nproperty float confidence\n";
  if (faces) s += "element face " + std::to_string(2 * quads) + "\nproperty list uchar int vertex_indices\n";
  s += "end_header\n";
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < columns; ++c) {
      const float v[4] = {float(c), float(r), float(std::sin(c * 0.1 + frame * 0.3) * std::cos(r * 0.1)), 1.0f};
      Put(s, v, sizeof v);
    }
  if (faces)
    for (int r = 0; r + 1 < rows; ++r)
      for (int c = 0; c + 1 < columns; ++c) {
        const int32_t a = r * columns + c, b = a + 1, d = a + columns, e = d + 1;
        const int32_t tris[2][3] = {{a, b, e}, {a, e, d}};
        for (const auto& t : tris) {
          s.push_back(char(3));
          Put(s, t, sizeof t);
        }
      }
  return s;
}

std::string TempDir() {
  char templ[] = "/tmp/vexol_seqbench_XXXXXX";
  return mkdtemp(templ) ? std::string(templ) : std::string();
}

// One load of the description with `threads` workers (0: the default), the store emptied first.
double LoadMs(MeshStore& store, const char* desc, bool mesh, unsigned threads) {
  store.Clear();
  store.workers = threads;
  const double ms = MedianMs(1, [&] {
    QuietStdout quiet;
    if (mesh)
      store.OpenMeshSequence(desc);
    else
      store.OpenDepthMapSequence(desc);
  });
  return ms;
}

// The floor fresh memory sets: milliseconds to allocate and first-touch blocks of the sizes the
// store's frames keep, with `threads` workers (0: the default) taking the frames in turn.
double TouchMs(const MeshStore& store, unsigned threads) {
  std::vector<size_t> sizes;
  for (const Mesh* mesh : store.meshes)
    if (mesh)
      sizes.push_back(mesh->vertices.capacity() * sizeof(MeshVertex) +
                      mesh->triangles.capacity() * sizeof(MeshTriangle));
  const unsigned workers = FrameLoader::Workers(threads, int64_t(sizes.size()));
  std::vector<void*> blocks(sizes.size(), nullptr);
  const double ms = MedianMs(1, [&] {
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < workers; ++w)
      pool.emplace_back([&, w] {
        for (size_t k = w; k < sizes.size(); k += workers) {
          blocks[k] = std::malloc(sizes[k]);
          PreferHugePages(blocks[k], sizes[k]);
          if (blocks[k]) std::memset(blocks[k], 1, sizes[k]);
        }
      });
    for (std::thread& t : pool) t.join();
  });
  for (void* b : blocks) std::free(b);
  return ms;
}

// Medians of `runs` loads of one description with the default workers and with one, alternating
// so that both see the same state of the machine.
int DescriptionFiles(int argc, char** argv, bool mesh) {
  const int runs = 5;
  for (int k = 0; k < argc; ++k) {
    MeshStore store;
    // A stopped load keeps a shorter sequence: complete means every frame of the description.
    const int64_t frames = [&]() -> int64_t {
      QuietStdout quiet;
      MeshSequenceDesc meshDesc;
      DepthMapSequenceDesc depthDesc;
      if (mesh) return meshDesc.Read(argv[k]) ? meshDesc.FrameCount() : 0;
      return depthDesc.Read(argv[k]) ? depthDesc.FrameCount() : 0;
    }();
    bool loaded = true;
    std::vector<double> all, one, touch;
    for (int r = 0; r < runs; ++r) {
      all.push_back(LoadMs(store, argv[k], mesh, 0));
      loaded = loaded && int64_t(store.meshes.size()) == frames;
      touch.push_back(TouchMs(store, 0));
      one.push_back(LoadMs(store, argv[k], mesh, 1));
      loaded = loaded && int64_t(store.meshes.size()) == frames;
    }
    std::printf("%s\t%.3f\t%.3f\t%.3f%s\n", argv[k], Median(all), Median(one), Median(touch),
                loaded ? "" : "\t(not loaded completely)");
    std::fflush(stdout);
  }
  return 0;
}

// Medians of `runs` rounds of loading the frames through the description with the default workers
// and with one, and then one by one; a mesh sequence counts as loaded only when its frames share
// the template's triangles.
int SequenceVsSingle(const char* kind, const char* what, bool mesh, const std::string& dir, const std::string& desc,
                     const std::vector<std::string>& names, int runs) {
  const int frames = int(names.size());
  MeshStore store;
  std::vector<double> all, one, single;
  for (int r = 0; r < runs; ++r) {
    bool ok = true;
    for (unsigned threads : {0u, 1u}) {
      (threads ? one : all).push_back(LoadMs(store, desc.c_str(), mesh, threads));
      ok = ok && store.meshes.size() == size_t(frames) && (mesh ? store.sharedTriangles : store.isSequence);
    }
    store.Clear();
    single.push_back(MedianMs(1, [&] {
      QuietStdout quiet;
      for (const std::string& n : names) {
        if (mesh)
          store.OpenMesh(n.c_str());
        else
          store.OpenDepthMap(n.c_str());
      }
    }));
    ok = ok && store.meshes.size() == size_t(frames);
    if (!ok) {
      std::fprintf(stderr, "%s: loading failed\n", kind);
      return 1;
    }
  }
  store.Clear();
  const double a = Median(all), o = Median(one), s = Median(single);
  std::printf(
      "%s: %d frames of %s: sequence %.1f ms (%.2f ms/frame) with %u workers, %.1f ms with one (%.2fx), "
      "single loads %.1f ms (%.2f ms/frame)\n",
      kind, frames, what, a, a / frames, FrameLoader::Workers(0, frames), o, o / a, s, s / frames);
  std::fflush(stdout);
  if (std::system(("rm -rf '" + dir + "'").c_str()) != 0) {
  }
  return 0;
}

}  // namespace

int DsqBench(int argc, char** argv) {
  if (argc > 0) return DescriptionFiles(argc, argv, false);
  const int frames = 100, w = 640, h = 480, runs = 3;
  std::string dir = TempDir();
  if (dir.empty()) return 1;
  std::vector<std::string> names;
  for (int i = 0; i < frames; ++i) {
    names.push_back(dir + "/f" + std::to_string(i) + ".dpt");
    if (!WriteFile(names.back(), DptFrame(w, h, i))) return 1;
  }
  std::string desc = dir + "/s.dsq";
  WriteFile(desc, dir + "/f%d.dpt 0 1 " + std::to_string(frames - 1) + "\n");
  return SequenceVsSingle("dsq", "640x480 depth maps", false, dir, desc, names, runs);
}

int MsqBench(int argc, char** argv) {
  if (argc > 0) return DescriptionFiles(argc, argv, true);
  const int frames = 50, columns = 500, rows = 400, runs = 3;  // 200k vertices per frame
  std::string dir = TempDir();
  if (dir.empty()) return 1;
  std::vector<std::string> names;
  // Frames carry their own faces, as a producer writes them; the sequence skips them.
  for (int i = 0; i < frames; ++i) {
    names.push_back(dir + "/m" + std::to_string(i) + ".ply");
    if (!WriteFile(names.back(), PlyFrame(columns, rows, i, true))) return 1;
  }
  std::string templ = dir + "/template.ply";
  WriteFile(templ, PlyFrame(columns, rows, 0, true));
  std::string desc = dir + "/s.msq";
  WriteFile(desc, templ + " " + dir + "/m%d.ply 0 1 " + std::to_string(frames - 1) + "\n");
  return SequenceVsSingle("msq", "200k-vertex meshes", true, dir, desc, names, runs);
}
