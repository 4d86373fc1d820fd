#include "geometry/BoundingBox.h"

#include <cfloat>
#include <cmath>

void BoundingBox::Reset() {
  for (int i = 0; i < 3; ++i) {
    min[i] = DBL_MAX;
    max[i] = -DBL_MAX;
  }
}

bool BoundingBox::IsEmpty() const { return min[0] > max[0] || min[1] > max[1] || min[2] > max[2]; }

void BoundingBox::SetUnit() {
  for (int i = 0; i < 3; ++i) {
    min[i] = 0.0;
    max[i] = 1.0;
  }
}

// Written so that a NaN coordinate changes nothing.
void BoundingBox::Extend(double x, double y, double z) {
  const double p[3] = {x, y, z};
  for (int i = 0; i < 3; ++i) {
    if (p[i] < min[i]) min[i] = p[i];
    if (max[i] < p[i]) max[i] = p[i];
  }
}

void BoundingBox::Merge(const BoundingBox& other) {
  for (int i = 0; i < 3; ++i) {
    if (other.min[i] < min[i]) min[i] = other.min[i];
    if (max[i] < other.max[i]) max[i] = other.max[i];
  }
}

std::array<double, 3> BoundingBox::Center() const {
  return {(min[0] + max[0]) * 0.5, (min[1] + max[1]) * 0.5, (min[2] + max[2]) * 0.5};
}

BoundingSphere BoundingBox::Sphere() const {
  BoundingSphere s;
  const std::array<double, 3> c = Center();
  const double d[3] = {max[0] - min[0], max[1] - min[1], max[2] - min[2]};
  for (int i = 0; i < 3; ++i) s.center[i] = c[i];
  s.radius = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) * 0.5;
  return s;
}
