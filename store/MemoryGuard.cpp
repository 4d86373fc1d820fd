#include "store/MemoryGuard.h"

#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "geometry/MeshTriangle.h"
#include "geometry/MeshVertex.h"
#include "geometry/ply.h"
#include "store/DepthMap.h"

namespace {

int64_t SystemPhysical() {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  return pages > 0 && size > 0 ? int64_t(pages) * size : 0;
}

int64_t SystemAvailable() { return MemoryGuard::AvailableIn("/proc/meminfo"); }

int64_t RegularFileSize(const char* path) {
  struct stat st;
  if (!path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return int64_t(st.st_size);
}

// Bytes of an item of the element in a binary file; -1 when it has a list or an unknown type.
int64_t FixedItemBytes(const PlyElementDesc& e) {
  int64_t bytes = 0;
  for (const PlyPropertyDesc& p : e.properties) {
    if (p.isList || !ply_type_size(p.fileType)) return -1;
    bytes += ply_type_size(p.fileType);
  }
  return bytes;
}

// The triangles and list buffer of the fans a binary face element makes from `bytes`, with every
// face of the average size the bytes allow: exact for files of one face size, triangles included.
// Faces of uneven sizes, and ASCII files (whose digits say nothing of the count), are taken as
// triangles here and kept to the memory there is as the reader grows its arrays.
int64_t FaceBytes(const PlyElementDesc& e, int64_t items, int64_t bytes, bool binary) {
  int64_t fixed = 0, index = 0;
  bool sized = binary;  // another list leaves the indices' share of the bytes unknown
  for (const PlyPropertyDesc& p : e.properties) {
    if (p.isList && (p.name == "vertex_indices" || p.name == "vertex_index") && !index) {
      fixed += ply_type_size(p.countFileType);
      index = ply_type_size(p.fileType);
    } else {
      sized = sized && !p.isList;
      fixed += ply_type_size(p.fileType);
    }
  }
  int64_t triangles = items, corners = 3 * items;
  if (sized && index && items > 0) {
    corners = std::max<int64_t>(0, bytes - items * fixed) / index;
    triangles = std::max(items, corners - 2 * items);
  }
  const int64_t chunk = items > 0 ? std::min(corners, corners / items * 4096) : 0;
  return triangles * int64_t(sizeof(MeshTriangle)) + chunk * int64_t(sizeof(int32_t));
}

}  // namespace

int64_t (*MemoryGuard::available)() = SystemAvailable;
int64_t (*MemoryGuard::physical)() = SystemPhysical;

void MemoryGuard::UseSystem() {
  available = SystemAvailable;
  physical = SystemPhysical;
}

int64_t MemoryGuard::AvailableIn(const char* meminfo) {
  FILE* f = std::fopen(meminfo, "r");
  long long kib = -1;
  if (f) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "MemAvailable: %lld kB", &kib) == 1) break;
    std::fclose(f);
  }
  if (kib >= 0) return int64_t(kib) * 1024;
  // Without the kernel's estimate, free memory and buffers: a little less than can be had.
  struct sysinfo info;
  if (sysinfo(&info) != 0) return 0;
  return (int64_t(info.freeram) + int64_t(info.bufferram)) * int64_t(info.mem_unit);
}

int64_t MemoryGuard::Reserve() { return std::max(int64_t(256) << 20, physical() / 20); }

bool MemoryGuard::Fits(int64_t bytes, int64_t held) { return bytes + held + Reserve() <= available(); }

int64_t MemoryGuard::DepthMapBytes(const char* path) {
  const int64_t size = RegularFileSize(path);
  if (size < DepthMap::kHeaderBytes) return 0;
  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  unsigned char header[DepthMap::kHeaderBytes];
  const bool read = std::fread(header, 1, sizeof header, f) == sizeof header;
  std::fclose(f);
  DepthMap map;
  // A size the reader refuses before it allocates takes nothing.
  return read && map.ReadHeader(header) ? map.LoadBytes(size) : 0;
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
  const bool binary = reader->fileKind != Ascii;
  // The bytes the faces can take: the data less the elements of fixed size.
  int64_t faceBytes = ply_bytes_left(reader);
  for (const PlyElementDesc& e : reader->elements) {
    const int64_t fixed = binary && e.name != "face" ? FixedItemBytes(e) : -1;
    if (fixed > 0) faceBytes -= std::min(faceBytes, std::max(e.itemCount, 0) * fixed);
  }
  int64_t bytes = 0;
  for (const PlyElementDesc& e : reader->elements) {
    const int64_t items = std::min<int64_t>(std::max(e.itemCount, 0), size);
    if (e.name == "vertex") bytes += items * int64_t(sizeof(MeshVertex));
    if (e.name == "face" && faces) bytes += FaceBytes(e, items, faceBytes, binary);
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
