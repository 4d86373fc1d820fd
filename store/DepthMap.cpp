#include "store/DepthMap.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <utility>

#include "geometry/HugePages.h"
#include "geometry/LoadBudget.h"
#include "geometry/MeshTriangle.h"
#include "geometry/MeshVertex.h"

namespace {

uint64_t Le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

double LeDouble(const unsigned char* p) {
  uint64_t bits = Le64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

int32_t LeInt32(const unsigned char* p) {
  uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  int32_t i;
  std::memcpy(&i, &v, sizeof i);
  return i;
}

// Grows the array only as far as the data actually arrives, so a stream of unknown length
// cannot make it allocate more than it holds.
template <class T>
bool ReadArray(std::istream& in, std::vector<T>& out, size_t count) {
  const size_t chunk = (size_t(1) << 22) / sizeof(T);
  while (out.size() < count) {
    size_t old = out.size();
    size_t add = std::min(count - old, chunk);
    out.resize(old + add);
    in.read(reinterpret_cast<char*>(out.data() + old), std::streamsize(add * sizeof(T)));
    if (size_t(in.gcount()) != add * sizeof(T)) return false;
  }
  return true;
}

// For each mask byte: the number of set bits below each bit that is set, -1 for a bit that is
// not, and the byte's count. Eight pixels of the index image then come from one lookup.
struct ByteRanks {
  int8_t rank[256][8];
  uint8_t count[256];
};

constexpr ByteRanks MakeByteRanks() {
  ByteRanks t{};
  for (int m = 0; m < 256; ++m) {
    int below = 0;
    for (int j = 0; j < 8; ++j) {
      const bool set = (m >> j & 1) != 0;
      t.rank[m][j] = static_cast<int8_t>(set ? below : -1);
      below += set ? 1 : 0;
    }
    t.count[m] = static_cast<uint8_t>(below);
  }
  return t;
}

constexpr ByteRanks kByteRanks = MakeByteRanks();

int64_t CountSetBits(const std::vector<uint8_t>& mask, int64_t bits) {
  int64_t n = 0;
  int64_t whole = bits / 8;
  for (int64_t i = 0; i < whole; ++i) n += kByteRanks.count[mask[size_t(i)]];
  if (bits % 8) n += kByteRanks.count[mask[size_t(whole)] & ((1u << (bits % 8)) - 1)];
  return n;
}

// The float32 depths widened as they arrive, a buffer at a time: no file-sized staging array,
// and the depth array is written once. Like ReadArray, it grows only as far as the data goes.
bool ReadDepths(std::istream& in, std::vector<double>& depths, size_t count) {
  std::vector<float> buffer(std::min(count, size_t(16384)));
  while (depths.size() < count) {
    const size_t add = std::min(count - depths.size(), buffer.size());
    in.read(reinterpret_cast<char*>(buffer.data()), std::streamsize(add * sizeof(float)));
    if (size_t(in.gcount()) != add * sizeof(float)) return false;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (size_t i = 0; i < add; ++i) {
      uint32_t u;
      std::memcpy(&u, &buffer[i], 4);
      u = __builtin_bswap32(u);
      std::memcpy(&buffer[i], &u, 4);
    }
#endif
    depths.insert(depths.end(), buffer.data(), buffer.data() + add);
  }
  return true;
}

bool ReadFile(std::ifstream& in, DepthMap& map) {
  const int64_t kHeaderBytes = DepthMap::kHeaderBytes;
  unsigned char header[kHeaderBytes];
  if (!in.read(reinterpret_cast<char*>(header), kHeaderBytes) || !map.ReadHeader(header)) return false;
  const int64_t pixelCount = int64_t(map.width) * map.height;
  const int64_t maskBytes = map.MaskBytes();

  // A regular file says up front how much it can hold: refuse before allocating anything.
  int64_t fileSize = -1;
  if (in.tellg() == std::streampos(kHeaderBytes) && in.seekg(0, std::ios::end)) {
    fileSize = int64_t(in.tellg());
    if (!in.seekg(kHeaderBytes)) return false;
  }
  in.clear();
  bool sized = fileSize >= 0;
  if (sized && fileSize < kHeaderBytes + maskBytes) return false;
  if (!LoadBudget::Grow(map.LoadBytes(fileSize))) return false;

  std::vector<uint8_t> mask;
  if (sized) mask.reserve(size_t(maskBytes));
  if (!ReadArray(in, mask, size_t(maskBytes))) return false;
  int64_t valid = CountSetBits(mask, pixelCount);
  if (sized && fileSize < kHeaderBytes + maskBytes + 4 * valid) return false;

  if (!map.indexImage.Reallocate(map.width, map.height, map.bands, false)) return false;
  if (map.BuildIndexImage(mask.data()) != valid) return false;
  std::vector<uint8_t>().swap(mask);

  if (sized) {
    map.depths.reserve(size_t(valid));
    PreferHugePages(map.depths.data(), map.depths.capacity() * sizeof(double));
  }
  return ReadDepths(in, map.depths, size_t(valid));
}

}  // namespace

bool DepthMap::ReadHeader(const unsigned char* header) {
  fx = LeDouble(header);
  fy = LeDouble(header + 8);
  cx = LeDouble(header + 16);
  cy = LeDouble(header + 24);
  skew = LeDouble(header + 32);
  width = LeInt32(header + 40);
  height = LeInt32(header + 44);
  bands = 1;
  return width >= 0 && height >= 0 && int64_t(width) * height <= INT32_MAX / 4;
}

// The depths come after the mask, so the file's size bounds their count as it bounds the reader's.
int64_t DepthMap::LoadBytes(int64_t fileBytes) const {
  const int64_t pixels = int64_t(width) * height;
  const int64_t room = fileBytes < 0 ? pixels : std::max<int64_t>(0, (fileBytes - kHeaderBytes - MaskBytes()) / 4);
  const int64_t depths = std::min(pixels, room);
  const int64_t squares = width > 1 && height > 1 ? int64_t(width - 1) * (height - 1) : 0;
  const int64_t triangles = 2 * std::min(squares, depths);
  return 4 * pixels + MaskBytes() + depths * int64_t(sizeof(double) + sizeof(MeshVertex)) +
         triangles * int64_t(sizeof(MeshTriangle));
}

bool DepthMap::LoadFromFile(const char* path) {
  if (!path) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    LoadBudget::Say(("DepthMap::LoadFromFile : fail to open " + std::string(path) + "\n").c_str());
    return false;
  }
  bool ok = false;
  try {
    DepthMap next;
    ok = ReadFile(in, next);
    if (ok) {
      next.name = path;
      Swap(next);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) {
    LoadBudget::Say(("DepthMap::LoadFromFile : fail to read " + std::string(path) + "\n").c_str());
  }
  return ok;
}

int32_t DepthMap::BuildIndexImage(const uint8_t* mask) {
  if (!indexImage.Reallocate(width, height, bands, false)) return -1;
  // A zero width with a huge height holds no pixel but would still walk a billion rows.
  if (width == 0 || height == 0) return 0;
  int32_t k = 0;
  int64_t bit = 0;
  const int64_t step = indexImage.pixelStride;
  for (int32_t y = 0; y < height; ++y) {
    int32_t* row = indexImage.pixels + int64_t(y) * indexImage.rowStride;
    int32_t x = 0;
    // Eight pixels at a time; a row that starts inside a byte takes its bits from two. Both
    // bytes hold pixels of this row, so nothing past the mask is read.
    for (; x + 8 <= width; x += 8, bit += 8) {
      const uint8_t* byte = mask + (bit >> 3);
      const unsigned shift = static_cast<unsigned>(bit & 7);
      const unsigned m = (shift ? (byte[0] >> shift | unsigned(byte[1]) << (8 - shift)) : byte[0]) & 0xFFu;
      const int8_t* rank = kByteRanks.rank[m];
      int32_t* out = row + x * step;
      if (step == 1) {
        for (int j = 0; j < 8; ++j) out[j] = rank[j] < 0 ? -1 : k + rank[j];
      } else {
        for (int j = 0; j < 8; ++j) out[j * step] = rank[j] < 0 ? -1 : k + rank[j];
      }
      k += kByteRanks.count[m];
    }
    for (; x < width; ++x, ++bit) {
      // Branch-free: valid and invalid pixels are often scattered.
      const int32_t set = mask[bit >> 3] >> (bit & 7) & 1;
      row[int64_t(x) * step] = set ? k : -1;
      k += set;
    }
  }
  return k;
}

bool DepthMap::SetDepths(const float* values, int32_t count) {
  try {
    std::vector<double> next;
    next.reserve(size_t(std::max(count, 0)));
    PreferHugePages(next.data(), next.capacity() * sizeof(double));
    next.assign(values, values + std::max(count, 0));
    depths.swap(next);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void DepthMap::Swap(DepthMap& other) {
  std::swap(fx, other.fx);
  std::swap(fy, other.fy);
  std::swap(cx, other.cx);
  std::swap(cy, other.cy);
  std::swap(skew, other.skew);
  std::swap(width, other.width);
  std::swap(height, other.height);
  std::swap(bands, other.bands);
  indexImage.Swap(other.indexImage);
  depths.swap(other.depths);
  name.swap(other.name);
}
