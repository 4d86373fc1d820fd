#pragma once
#include <cstddef>
#include <cstdint>

// Plain record read in place by the drawing code; the first four fields double as the PLY
// vertex item record, so their byte positions are fixed.
struct MeshVertex {
  float position[3];
  float confidence;
  uint8_t color[3];
  uint8_t mask;
  float normal[3];
};

static_assert(offsetof(MeshVertex, confidence) == 12, "PLY vertex record layout");
static_assert(offsetof(MeshVertex, color) == 16, "PLY vertex record layout");
static_assert(offsetof(MeshVertex, mask) == 19, "PLY vertex record layout");
static_assert(sizeof(MeshVertex) == 32, "MeshVertex is a packed 32-byte record");
