#pragma once
#include <cstdint>

struct MeshTriangle {
  int32_t indices[3];
  float normal[3];  // not normalised: its length is twice the triangle's area
};
