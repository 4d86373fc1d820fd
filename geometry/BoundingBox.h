#pragma once
#include <array>

#include "geometry/BoundingSphere.h"

struct BoundingBox {
  double min[3];
  double max[3];

  BoundingBox() { Reset(); }
  void Reset();
  bool IsEmpty() const;
  void SetUnit();
  void Extend(double x, double y, double z);
  void Merge(const BoundingBox& other);
  std::array<double, 3> Center() const;
  BoundingSphere Sphere() const;
};
