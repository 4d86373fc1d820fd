#pragma once
#include <cstdint>

enum ReadMode : int32_t { Detect = -1, Skip = 0, Require = 1 };

// What a PLY mesh read should take; Detect fields come back as 1 (found) or 0 (absent).
struct PlyReadOptions {
  int32_t isAscii = 0;
  int32_t readConfidence = Detect;
  int32_t readColor = Detect;
  int32_t readMask = Detect;
  int32_t readFaces = Detect;
};
