#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "store/CImage.h"

// One camera view read from a .dpt file; lives only for the load of that file.
class DepthMap {
 public:
  double fx, fy, cx, cy, skew;
  int32_t width = 0;
  int32_t height = 0;
  int32_t bands = 0;
  CImage indexImage;
  std::vector<double> depths;
  std::string name;

  bool LoadFromFile(const char* path);
  // Index image from the validity bit mask (LSB first); returns the number of valid pixels, or -1.
  int64_t BuildIndexImage(const uint8_t* mask, int32_t width, int32_t height);
  void SetDepths(const float* values, int32_t count);
};
