#include "store/MemoryGuard.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "geometry/MeshTriangle.h"
#include "geometry/MeshVertex.h"
#include "geometry/ply.h"

namespace {

int64_t SystemPhysical() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  return pages > 0 && size > 0 ? int64_t(pages) * size : 0;
}

// Memory that can be had without swapping or the out-of-memory killer; free memory alone would
// leave out the page cache the kernel gives back on demand.
int64_t SystemAvailable() {
  FILE* f = std::fopen("/proc/meminfo", "r");
  long long kib = -1;
  if (f) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "MemAvailable: %lld kB", &kib) == 1) break;
    std::fclose(f);
  }
  return kib >= 0 ? int64_t(kib) * 1024 : SystemPhysical();
}

int64_t RegularFileSize(const char* path) {
  struct stat st;
  if (!path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return int64_t(st.st_size);
}

int32_t LeInt32(const unsigned char* p) {
  const uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  int32_t i;
  std::memcpy(&i, &v, sizeof i);
  return i;
}

}  // namespace

int64_t (*MemoryGuard::available)() = SystemAvailable;
int64_t (*MemoryGuard::physical)() = SystemPhysical;

void MemoryGuard::UseSystem() {
  available = SystemAvailable;
  physical = SystemPhysical;
}

int64_t MemoryGuard::Reserve() { return std::max(int64_t(256) << 20, physical() / 20); }

bool MemoryGuard::Fits(int64_t bytes, int64_t held) { return bytes + held + Reserve() <= available(); }

// The index image, the mask, the depths and the mesh, all alive while the mesh is built; the
// depths come after the mask, so the file's size bounds their count as it bounds the reader's.
int64_t MemoryGuard::DepthMapBytes(const char* path) {
  const int64_t size = RegularFileSize(path);
  if (size < 48) return 0;
  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  unsigned char header[48];
  const bool read = std::fread(header, 1, sizeof header, f) == sizeof header;
  std::fclose(f);
  if (!read) return 0;
  const int32_t w = LeInt32(header + 40), h = LeInt32(header + 44);
  const int64_t pixels = int64_t(w) * h;
  if (w < 0 || h < 0 || pixels > INT32_MAX / 4) return 0;  // refused by the reader before it allocates
  const int64_t maskBytes = (pixels + 31) / 32 * 4;
  const int64_t depths = std::min(pixels, std::max<int64_t>(0, (size - 48 - maskBytes) / 4));
  const int64_t squares = w > 1 && h > 1 ? int64_t(w - 1) * (h - 1) : 0;
  const int64_t triangles = 2 * std::min(squares, depths);
  return 4 * pixels + maskBytes + depths * int64_t(sizeof(double) + sizeof(MeshVertex)) +
         triangles * int64_t(sizeof(MeshTriangle));
}

// Counts from the header, each bounded by what the file's size can hold, as the reader bounds
// its reservations.
int64_t MemoryGuard::PlyBytes(const char* path, bool faces) {
  const int64_t size = RegularFileSize(path);
  if (size <= 0) return 0;
  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  PlyReader* reader = ply_read_header(f);
  if (!reader) {
    std::fclose(f);
    return 0;
  }
  int64_t bytes = 0;
  for (const PlyElementDesc& e : reader->elements) {
    const int64_t items = std::min<int64_t>(std::max(e.itemCount, 0), size);
    if (e.name == "vertex") bytes += items * int64_t(sizeof(MeshVertex));
    if (e.name == "face" && faces) bytes += items * int64_t(sizeof(MeshTriangle));
  }
  ply_close_reader(reader);
  return bytes;
}

void MemoryGuard::Refuse(const char* owner, const char* path) {
  std::fprintf(stderr, "%s: not enough memory for %s\n", owner, path);
  std::fflush(stderr);
}

bool MemoryGuard::Admits(const char* owner, const char* path, int64_t bytes) {
  if (Fits(bytes)) return true;
  Refuse(owner, path);
  return false;
}
