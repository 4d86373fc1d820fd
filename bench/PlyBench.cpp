#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/Bench.h"
#include "geometry/Mesh.h"

// vexol-bench ply               generated grid: warm load vs one read call, fresh process, peak memory
// vexol-bench ply FILE...       path, tab, median ms of readPly + ComputeBounds + ComputeNormals
// vexol-bench ply --fresh FILE  (internal) one load in this new process: ms, peak bytes, array bytes

namespace {

const int kGrid = 1000;

struct Figure {
  double ms;
  size_t vertices;
  size_t triangles;
};

bool Load(const char* path, Figure* figure) {
  Mesh mesh;
  PlyReadOptions options;
  if (!mesh.readPly(path, options)) return false;
  mesh.ComputeBounds();
  mesh.ComputeNormals();
  figure->vertices = mesh.vertices.size();
  figure->triangles = mesh.triangles.size();
  return true;
}

double LoadMs(const char* path, int runs, bool* ok) {
  Figure figure{};
  *ok = true;
  return MedianMs(runs, [&] { *ok = Load(path, &figure) && *ok; });
}

long FileSize(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// The reference: the whole file into memory that is already mapped, with one read call.
double PlainReadMs(const char* path, std::vector<char>& memory) {
  return MedianMs(1, [&] {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return;
    if (read(fd, memory.data(), memory.size()) < 0) std::perror(path);
    close(fd);
  });
}

// Each load right after a plain read of the same file, so that both see the host at the same
// speed; the ratio is the median of the pairs' ratios.
void MeasureInPairs(const char* path, int runs, double* plain, double* load, double* ratio, bool* ok) {
  std::vector<char> memory(static_cast<size_t>(FileSize(path)) + 1, 1);
  std::vector<double> plains, loads, ratios;
  *ok = true;
  for (int i = 0; i < runs; ++i) {
    plains.push_back(PlainReadMs(path, memory));
    loads.push_back(LoadMs(path, 1, ok));
    ratios.push_back(loads.back() / plains.back());
  }
  *plain = Median(plains);
  *load = Median(loads);
  *ratio = Median(ratios);
}

long StatusKb(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, n) == 0) kb = std::atol(line + n);
  std::fclose(f);
  return kb;
}

void ResetPeak() {
  FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (!f) return;
  std::fputs("5", f);
  std::fclose(f);
}

int Fresh(const char* path) {
  ResetPeak();
  const long baseKb = StatusKb("VmRSS:");
  Figure figure{};
  bool ok = true;
  const double ms = MedianMs(1, [&] { ok = Load(path, &figure); });
  if (!ok) return 1;
  const long peakKb = StatusKb("VmHWM:");
  std::printf("%.2f %ld %zu\n", ms, (peakKb - baseKb) * 1024,
              figure.vertices * sizeof(MeshVertex) + figure.triangles * sizeof(MeshTriangle));
  return 0;
}

bool RunFresh(const char* path, double* ms, double* peakRatio) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return false;
  self[n] = 0;
  const std::string command = std::string("'") + self + "' ply --fresh '" + path + "'";
  FILE* child = popen(command.c_str(), "r");
  if (!child) return false;
  long peak = 0, arrays = 0;
  const int got = std::fscanf(child, "%lf %ld %ld", ms, &peak, &arrays);
  const int status = pclose(child);
  if (got != 3 || status != 0 || arrays <= 0) return false;
  *peakRatio = static_cast<double>(peak) / static_cast<double>(arrays);
  return true;
}

// ---- the generated grid ----

struct Vertex {
  float x, y, z, confidence;
  uint8_t rgb[3], mask;
};

Vertex GridVertex(int i, int j) {
  Vertex v;
  v.x = static_cast<float>(i) / (kGrid - 1);
  v.y = static_cast<float>(j) / (kGrid - 1);
  v.z = static_cast<float>(0.05 * std::sin(v.x * 12.0) * std::cos(v.y * 9.0));
  v.confidence = static_cast<float>(0.5 + 0.5 * std::cos((v.x - v.y) * 7.0));
  v.rgb[0] = static_cast<uint8_t>(255 * v.x);
  v.rgb[1] = static_cast<uint8_t>(255 * v.y);
  v.rgb[2] = static_cast<uint8_t>(128 + 1000 * v.z);
  v.mask = static_cast<uint8_t>((i + j) & 1);
  return v;
}

template <class F>
void ForEachTriangle(F&& f) {
  for (int j = 0; j + 1 < kGrid; ++j)
    for (int i = 0; i + 1 < kGrid; ++i) {
      const int a = j * kGrid + i, b = a + kGrid;
      f(a, a + 1, b + 1);
      f(a, b + 1, b);
    }
}

void Put(std::string& out, const void* p, size_t n, bool swap) {
  const char* c = static_cast<const char*>(p);
  for (size_t k = 0; k < n; ++k) out.push_back(swap ? c[n - 1 - k] : c[k]);
}

bool WriteGrid(const std::string& path, const char* format) {
  const bool ascii = std::strcmp(format, "ascii") == 0;
  const bool swap = std::strcmp(format, "binary_big_endian") == 0;
  const int triangles = 2 * (kGrid - 1) * (kGrid - 1);
  std::string out;
  char line[1024];
  std::snprintf(line, sizeof line,
                "ply\nformat %s 1.0\ncomment generated wavy grid\nelement vertex %d\nproperty float x\n"
                "property float y\nproperty float z\nproperty float confidence\nproperty uchar diffuse_red\n"
                "property uchar diffuse_green\nproperty uchar diffuse_blue\nproperty uchar mask\n"
                "element face %d\nproperty list uchar int vertex_indices\nend_header\n",
                format, kGrid * kGrid, triangles);
  out += line;
  for (int j = 0; j < kGrid; ++j)
    for (int i = 0; i < kGrid; ++i) {
      const Vertex v = GridVertex(i, j);
      if (ascii) {
        std::snprintf(line, sizeof line, "%.6f %.6f %.6f %.6f %d %d %d %d\n", v.x, v.y, v.z, v.confidence, v.rgb[0],
                      v.rgb[1], v.rgb[2], v.mask);
        out += line;
      } else {
        for (const float* f : {&v.x, &v.y, &v.z, &v.confidence}) Put(out, f, 4, swap);
        out.append(reinterpret_cast<const char*>(v.rgb), 3);
        out.push_back(static_cast<char>(v.mask));
      }
    }
  ForEachTriangle([&](int a, int b, int c) {
    if (ascii) {
      std::snprintf(line, sizeof line, "3 %d %d %d\n", a, b, c);
      out += line;
    } else {
      out.push_back(3);
      for (const int* x : {&a, &b, &c}) Put(out, x, 4, swap);
    }
  });
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  return std::fclose(f) == 0 && ok;
}

// Warm loads reuse memory the process already touched, as the reference read does; without
// this every load would pay first-touch faults on fresh mappings (the fresh-process figure).
void KeepFreedMemory() {
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

int Generated() {
  char dir[] = "/tmp/vexol-plybench-XXXXXX";
  if (!mkdtemp(dir)) {
    std::perror("mkdtemp");
    return 1;
  }
  struct Case {
    const char* format;
    const char* label;
    double target;  // ratio to the plain read, or MB/s for ASCII
  };
  const Case cases[] = {
      {"binary_little_endian", "binary LE", 6.0}, {"binary_big_endian", "binary BE", 7.0}, {"ascii", "ASCII", 300.0}};
  int status = 0;
  std::printf("ply: %dx%d grid, %d triangles; readPly + ComputeBounds + ComputeNormals\n", kGrid, kGrid,
              2 * (kGrid - 1) * (kGrid - 1));
  for (const Case& c : cases) {
    const std::string path = std::string(dir) + "/grid-" + c.format + ".ply";
    if (!WriteGrid(path, c.format)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      status = 1;
      continue;
    }
    const bool ascii = std::strcmp(c.format, "ascii") == 0;
    const int runs = ascii ? 7 : 15;
    const double mb = FileSize(path.c_str()) / 1e6;
    bool ok = false;
    LoadMs(path.c_str(), 2, &ok);  // page cache and allocator warm
    double plain = 0, load = 0, ratio = 0;
    MeasureInPairs(path.c_str(), runs, &plain, &load, &ratio, &ok);
    double freshMs = 0, peak = 0;
    const bool fresh = RunFresh(path.c_str(), &freshMs, &peak);
    const double rate = mb / (load / 1000.0);
    const bool met = ok && (ascii ? rate >= c.target : ratio <= c.target) && fresh && peak <= 1.25;
    std::printf(
        "  %-9s %6.1f MB  warm %7.2f ms  %7.1f MB/s  plain read %5.2f ms  ratio %5.2fx (target %s%g)  "
        "fresh process %7.2f ms  peak memory %.3fx arrays (target 1.25)  %s\n",
        c.label, mb, load, rate, plain, ratio, ascii ? ">= MB/s " : "<= x", c.target, freshMs, peak,
        met ? "ok" : "MISSED");
    std::fflush(stdout);
    if (!met) status = 1;
    std::remove(path.c_str());
  }
  rmdir(dir);
  return status;
}

}  // namespace

int PlyBench(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[0], "--fresh") == 0) return Fresh(argv[1]);
  KeepFreedMemory();
  if (argc == 0) return Generated();
  int status = 0;
  for (int k = 0; k < argc; ++k) {
    bool ok = false;
    LoadMs(argv[k], 1, &ok);
    const double ms = LoadMs(argv[k], 5, &ok);
    if (!ok) {
      status = 1;
      continue;
    }
    std::printf("%s\t%.2f\n", argv[k], ms);
    std::fflush(stdout);
  }
  return status;
}
