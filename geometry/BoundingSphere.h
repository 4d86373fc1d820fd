#pragma once

struct BoundingSphere {
  double center[3] = {0.0, 0.0, 0.0};
  double radius = -1.0;
};
