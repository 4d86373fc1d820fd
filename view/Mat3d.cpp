#include "view/Mat3d.h"

#include <algorithm>
#include <cmath>

Mat3d Mat3d::Identity() { return Mat3d{{1, 0, 0, 0, 1, 0, 0, 0, 1}}; }

Mat3d& Mat3d::operator+=(const Mat3d& n) {
  for (int i = 0; i < 9; ++i) m[i] += n.m[i];
  return *this;
}

Mat3d& Mat3d::operator*=(double s) {
  for (double& e : m) e *= s;
  return *this;
}

void Mat3d::ToGl(const Vec3d& t, double out[16]) const {
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) out[4 * j + i] = m[3 * i + j];
    out[4 * j + 3] = 0.0;
  }
  out[12] = t.x;
  out[13] = t.y;
  out[14] = t.z;
  out[15] = 1.0;
}

Mat3d operator+(const Mat3d& a, const Mat3d& b) {
  Mat3d r = a;
  return r += b;
}

Mat3d operator*(double s, const Mat3d& a) {
  Mat3d r = a;
  return r *= s;
}

Vec3d operator*(const Mat3d& a, const Vec3d& v) {
  const double* m = a.m;
  return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[3] * v.x + m[4] * v.y + m[5] * v.z,
          m[6] * v.x + m[7] * v.y + m[8] * v.z};
}

Vec3d operator*(const Vec3d& v, const Mat3d& a) {
  const double* m = a.m;
  return {v.x * m[0] + v.y * m[3] + v.z * m[6], v.x * m[1] + v.y * m[4] + v.z * m[7],
          v.x * m[2] + v.y * m[5] + v.z * m[8]};
}

Mat3d operator*(const Mat3d& a, const Mat3d& b) {
  Mat3d r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      r.m[3 * i + j] = a.m[3 * i] * b.m[j] + a.m[3 * i + 1] * b.m[3 + j] + a.m[3 * i + 2] * b.m[6 + j];
  return r;
}

Mat3d OuterProduct(const Vec3d& a, const Vec3d& b) {
  return Mat3d{{a.x * b.x, a.x * b.y, a.x * b.z, a.y * b.x, a.y * b.y, a.y * b.z, a.z * b.x, a.z * b.y, a.z * b.z}};
}

Mat3d CrossMatrix(const Vec3d& k) { return Mat3d{{0, -k.z, k.y, k.z, 0, -k.x, -k.y, k.x, 0}}; }

Mat3d AxisAngleRotation(const Vec3d& axis, double c, double s) {
  const Vec3d k = (1.0 / Length(axis)) * axis;
  return (c * Mat3d::Identity() + (1.0 - c) * OuterProduct(k, k)) + s * CrossMatrix(k);
}

Mat3d RotationBetween(const Vec3d& a, const Vec3d& b) {
  const Vec3d ua = (1.0 / Length(a)) * a;
  const Vec3d ub = (1.0 / Length(b)) * b;
  // Rounding can push the cosine of nearly parallel directions past 1.
  const double c = std::clamp(Dot(ua, ub), -1.0, 1.0);
  return AxisAngleRotation(Cross(a, b), c, std::sqrt(1.0 - c * c));
}
