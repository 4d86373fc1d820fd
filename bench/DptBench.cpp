#include <malloc.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/Bench.h"
#include "examples/ExampleScenes.h"
#include "geometry/HugePages.h"
#include "geometry/Mesh.h"
#include "store/DepthMap.h"

namespace {

const int kRuns = 15;

// The whole single-file load as the store does it; false when any step fails.
bool LoadDpt(const char* path, Mesh& mesh) {
  DepthMap map;
  if (!map.LoadFromFile(path)) return false;
  if (!mesh.CreateFromDepthMap(map, 10.0)) return false;
  mesh.ComputeBounds();
  mesh.ComputeNormals();
  return true;
}

bool LoadDpt(const char* path) {
  Mesh mesh;
  return LoadDpt(path, mesh);
}

size_t ReadWhole(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes;
  in.seekg(0, std::ios::end);
  bytes.resize(size_t(in.tellg()));
  in.seekg(0);
  in.read(bytes.data(), std::streamsize(bytes.size()));
  return size_t(in.gcount());
}

struct Figures {
  double total, file, mesh, bounds, normals, read;
  size_t triangles, meshBytes;
  bool ok;
};

Figures Measure(const char* path) {
  Figures f{};
  Mesh warm;
  f.ok = LoadDpt(path, warm) && ReadWhole(path) > 0;  // page cache, code and heap warmed once
  f.triangles = warm.triangles.size();
  f.meshBytes = warm.vertices.size() * sizeof(MeshVertex) + warm.triangles.size() * sizeof(MeshTriangle);
  f.read = MedianMs(kRuns, [&] { ReadWhole(path); });
  f.total = MedianMs(kRuns, [&] { LoadDpt(path); });
  f.file = MedianMs(kRuns, [&] {
    DepthMap fresh;
    fresh.LoadFromFile(path);
  });
  DepthMap map;
  map.LoadFromFile(path);
  f.mesh = MedianMs(kRuns, [&] {
    Mesh mesh;
    mesh.CreateFromDepthMap(map, 10.0);
  });
  f.bounds = MedianMs(kRuns, [&] { warm.ComputeBounds(); });
  f.normals = MedianMs(kRuns, [&] { warm.ComputeNormals(); });
  return f;
}

// The same, in a child whose heap keeps freed memory for the next load instead of handing arrays
// above the allocator's mmap threshold back to the system.
bool MeasureWithKeptHeap(const char* path, Figures& f) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fds[0]);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    Figures child = Measure(path);
    bool sent = write(fds[1], &child, sizeof child) == ssize_t(sizeof child);
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  bool got = read(fds[0], &f, sizeof f) == ssize_t(sizeof f);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return got && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Reference for loads into fresh memory: mapping and first touching that many bytes, in small
// pages or with the huge-page advice the loaders give their arrays.
double FirstTouchMs(size_t bytes, bool huge) {
  return MedianMs(kRuns, [&] {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    if (huge) PreferHugePages(p, bytes);
    volatile char* c = static_cast<char*>(p);
    for (size_t i = 0; i < bytes; i += 4096) c[i] = 1;
    munmap(p, bytes);
  });
}

void Print(const char* label, const Figures& f, double mpixels) {
  std::printf(
      "dpt %s: load+mesh+bounds+normals %.2f ms median, %.1f Mpixel/s (LoadFromFile %.2f, "
      "CreateFromDepthMap %.2f, ComputeBounds %.2f, ComputeNormals %.2f); "
      "reading the file into memory %.2f ms\n",
      label, f.total, mpixels / (f.total / 1e3), f.file, f.mesh, f.bounds, f.normals, f.read);
}

}  // namespace

int DptBench(int argc, char** argv) {
  if (argc > 0) {
    int status = 0;
    for (int i = 0; i < argc; ++i) {
      bool ok = LoadDpt(argv[i]);
      if (!ok) status = 1;
      double ms = ok ? MedianMs(kRuns, [&] { LoadDpt(argv[i]); }) : -1.0;
      std::printf("%s\t%.3f\n", argv[i], ms);
      std::fflush(stdout);
    }
    return status;
  }

  const int w = 1920, h = 1080;
  char path[] = "/tmp/vexol-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 1;
  close(fd);
  DepthMapData data = WavyScene(w, h, 0.9);
  size_t valid = 0;
  for (uint8_t v : data.valid) valid += v;
  bool ok = WriteDpt(path, data);
  Figures kept{}, fresh{};
  // Fresh first: after a fork every page the parent writes faults once more.
  if (ok) fresh = Measure(path);
  ok = ok && fresh.ok && MeasureWithKeptHeap(path, kept) && kept.ok;
  std::remove(path);
  if (!ok) {
    std::printf("dpt: generated map could not be loaded\n");
    return 1;
  }

  const double mpixels = double(w) * h / 1e6;
  std::printf("dpt %dx%d, %.1f%% valid, %zu triangles, %.0f MB of mesh arrays\n", w, h, 100.0 * valid / (double(w) * h),
              kept.triangles, fresh.meshBytes / 1e6);
  Print("warm, memory reused from the previous load", kept, mpixels);
  Print("warm, arrays in fresh memory (default allocator)", fresh, mpixels);
  std::printf("dpt: first touch of %.0f MB of fresh memory %.2f ms, with huge pages advised %.2f ms\n",
              fresh.meshBytes / 1e6, FirstTouchMs(fresh.meshBytes, false), FirstTouchMs(fresh.meshBytes, true));
  std::fflush(stdout);
  return 0;
}
