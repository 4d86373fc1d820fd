#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Synthetic scenes and small writers for .dpt and PLY files, shared by the example tool, tests,
// benchmarks and fuzz seeds. Plain C++: no project code is used to write them.

// A depth map as a producer holds it: per pixel of the grid, whether it has a depth and which.
struct DepthMapData {
  double fx = 1, fy = 1, cx = 0, cy = 0, skew = 0;
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> valid;  // width * height, row-major
  std::vector<float> depth;    // width * height; read only where valid
};

// Header, validity bits (least significant first, padded to 32-bit words), then the depths of the
// valid pixels in scan order; little-endian.
std::string DptBytes(const DepthMapData& map);
bool WriteDpt(const std::string& path, const DepthMapData& map);
bool WriteBytes(const std::string& path, const std::string& bytes);

// A rippling surface with a round hole and a block standing well in front of it, seen by a camera
// with skew 0. `phase` in radians moves the ripple.
DepthMapData RippleScene(int32_t width, int32_t height, double phase);
// A gently waved surface in which about `validFraction` of the pixels, scattered, have a depth.
DepthMapData WavyScene(int32_t width, int32_t height, double validFraction);

struct PlyVertexData {
  float x, y, z;
  float confidence;
  uint8_t red, green, blue;
};

struct PlyMeshData {
  std::vector<PlyVertexData> vertices;
  std::vector<std::array<int32_t, 3>> faces;  // no face element is written when empty
  bool withConfidence = true;
  bool withColor = true;
};

std::string PlyBytes(const PlyMeshData& mesh, bool ascii);
bool WritePly(const std::string& path, const PlyMeshData& mesh, bool ascii);

// A coloured wavy sheet on a columns x rows grid with confidence falling off from its centre;
// faces counter-clockwise seen from +z. `phase` moves the waves.
PlyMeshData WaveMesh(int32_t columns, int32_t rows, double phase);
// A unit cube with one colour per corner and outward-facing triangles.
PlyMeshData CubeMesh();
