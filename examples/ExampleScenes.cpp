#include "examples/ExampleScenes.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

const double kPi = 3.14159265358979323846;

void PutBytes(std::string& out, const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  for (size_t i = n; i > 0; --i) out.push_back(char(b[i - 1]));
#else
  out.append(reinterpret_cast<const char*>(b), n);
#endif
}

template <class T>
void Put(std::string& out, T value) {
  PutBytes(out, &value, sizeof value);
}

uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

DepthMapData Camera(int32_t width, int32_t height) {
  DepthMapData map;
  map.width = width;
  map.height = height;
  map.fx = map.fy = 0.9 * width;
  map.cx = (width - 1) * 0.5;
  map.cy = (height - 1) * 0.5;
  map.skew = 0;
  map.valid.assign(size_t(width) * height, 0);
  map.depth.assign(size_t(width) * height, 0.0f);
  return map;
}

}  // namespace

std::string DptBytes(const DepthMapData& map) {
  std::string out;
  Put(out, map.fx);
  Put(out, map.fy);
  Put(out, map.cx);
  Put(out, map.cy);
  Put(out, map.skew);
  Put(out, map.width);
  Put(out, map.height);
  size_t pixels = size_t(map.width) * map.height;
  size_t maskBytes = (pixels + 31) / 32 * 4;
  std::string mask(maskBytes, '\0');
  for (size_t k = 0; k < pixels; ++k)
    if (map.valid[k]) mask[k / 8] = char(mask[k / 8] | (1 << (k % 8)));
  out += mask;
  for (size_t k = 0; k < pixels; ++k)
    if (map.valid[k]) Put(out, map.depth[k]);
  return out;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool WriteDpt(const std::string& path, const DepthMapData& map) { return WriteBytes(path, DptBytes(map)); }

DepthMapData RippleScene(int32_t width, int32_t height, double phase) {
  DepthMapData map = Camera(width, height);
  const double base = 200.0;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      size_t k = size_t(y) * width + x;
      double u = (x - map.cx) / width, v = (y - map.cy) / width;
      double r = std::sqrt(u * u + v * v);
      double hx = u + 0.22, hy = v + 0.12;
      bool inHole = hx * hx + hy * hy < 0.08 * 0.08;
      bool onBlock = u > 0.12 && u < 0.36 && v > -0.2 && v < 0.05;
      map.valid[k] = !inHole;
      if (onBlock)
        map.depth[k] = float(140.0 + 2.0 * std::sin(6.0 * u * kPi - phase));
      else
        map.depth[k] = float(base + 6.0 * std::cos(28.0 * r - phase) * std::exp(-2.0 * r) + 40.0 * v);
    }
  }
  return map;
}

DepthMapData WavyScene(int32_t width, int32_t height, double validFraction) {
  DepthMapData map = Camera(width, height);
  uint32_t limit = uint32_t(validFraction * 4294967295.0);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      size_t k = size_t(y) * width + x;
      map.valid[k] = Hash(uint32_t(k) * 2654435761U + 1) <= limit;
      map.depth[k] = float(500.0 + 8.0 * std::sin(x * 0.02) * std::cos(y * 0.03));
    }
  }
  return map;
}

std::string PlyBytes(const PlyMeshData& mesh, bool ascii) {
  std::string out = "ply\n";
  out += ascii ? "format ascii 1.0\n" : "format binary_little_endian 1.0\n";
  out += "comment synthetic example\n";
  out += "element vertex " + std::to_string(mesh.vertices.size()) + "\n";
  out += "property float x\nproperty float y\nproperty float z\n";
  if (mesh.withConfidence) out += "property float confidence\n";
  if (mesh.withColor) out += "property uchar diffuse_red\nproperty uchar diffuse_green\nproperty uchar diffuse_blue\n";
  if (!mesh.faces.empty()) {
    out += "element face " + std::to_string(mesh.faces.size()) + "\n";
    out += "property list uchar int vertex_indices\n";
  }
  out += "end_header\n";
  char line[160];
  for (const PlyVertexData& v : mesh.vertices) {
    if (ascii) {
      int n = std::snprintf(line, sizeof line, "%.9g %.9g %.9g", v.x, v.y, v.z);
      out.append(line, size_t(n));
      if (mesh.withConfidence) out.append(line, size_t(std::snprintf(line, sizeof line, " %.9g", v.confidence)));
      if (mesh.withColor)
        out.append(line, size_t(std::snprintf(line, sizeof line, " %d %d %d", v.red, v.green, v.blue)));
      out += "\n";
    } else {
      Put(out, v.x);
      Put(out, v.y);
      Put(out, v.z);
      if (mesh.withConfidence) Put(out, v.confidence);
      if (mesh.withColor) {
        Put(out, v.red);
        Put(out, v.green);
        Put(out, v.blue);
      }
    }
  }
  for (const std::array<int32_t, 3>& f : mesh.faces) {
    if (ascii) {
      out.append(line, size_t(std::snprintf(line, sizeof line, "3 %d %d %d\n", f[0], f[1], f[2])));
    } else {
      Put(out, uint8_t(3));
      for (int32_t i : f) Put(out, i);
    }
  }
  return out;
}

bool WritePly(const std::string& path, const PlyMeshData& mesh, bool ascii) {
  return WriteBytes(path, PlyBytes(mesh, ascii));
}

PlyMeshData WaveMesh(int32_t columns, int32_t rows, double phase) {
  PlyMeshData mesh;
  mesh.vertices.reserve(size_t(columns) * rows);
  for (int32_t j = 0; j < rows; ++j) {
    for (int32_t i = 0; i < columns; ++i) {
      double x = 2.0 * i / (columns - 1) - 1.0;
      double y = 1.5 * j / (rows - 1) - 0.75;
      double z = 0.12 * std::sin(5.0 * x + phase) * std::cos(4.0 * y - phase);
      double t = 0.5 + z / 0.24;  // 0 at the troughs, 1 at the crests
      PlyVertexData v;
      v.x = float(x);
      v.y = float(y);
      v.z = float(z);
      v.confidence = float(std::exp(-1.5 * (x * x + y * y)));
      v.red = uint8_t(std::lround(255 * t));
      v.green = uint8_t(std::lround(90 + 120 * (1 - std::fabs(2 * t - 1))));
      v.blue = uint8_t(std::lround(255 * (1 - t)));
      mesh.vertices.push_back(v);
    }
  }
  for (int32_t j = 0; j + 1 < rows; ++j) {
    for (int32_t i = 0; i + 1 < columns; ++i) {
      int32_t a = j * columns + i, b = a + 1, c = a + columns + 1, d = a + columns;
      // Wound to face -z: the view starts out looking at that side, as at a camera's depth map.
      mesh.faces.push_back({a, c, b});
      mesh.faces.push_back({a, d, c});
    }
  }
  return mesh;
}

PlyMeshData CubeMesh() {
  PlyMeshData mesh;
  for (int32_t k = 0; k < 8; ++k) {
    PlyVertexData v;
    v.x = float(k & 1);
    v.y = float(k >> 1 & 1);
    v.z = float(k >> 2 & 1);
    v.confidence = 0.25f + 0.1f * k;
    v.red = uint8_t(k & 1 ? 255 : 40);
    v.green = uint8_t(k & 2 ? 255 : 40);
    v.blue = uint8_t(k & 4 ? 255 : 40);
    mesh.vertices.push_back(v);
  }
  // Two triangles per face, counter-clockwise seen from outside.
  const int32_t quads[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  for (const auto& q : quads) {
    mesh.faces.push_back({q[0], q[1], q[2]});
    mesh.faces.push_back({q[0], q[2], q[3]});
  }
  return mesh;
}
