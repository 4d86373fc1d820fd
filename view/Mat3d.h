#pragma once
#include "view/Vec3d.h"

// Row-major 3 x 3 matrix: element (i, j) at m[3 * i + j].
struct Mat3d {
  double m[9];

  static Mat3d Identity();
  Mat3d& operator+=(const Mat3d& n);
  Mat3d& operator*=(double s);
  // Column-major 4 x 4 for glMultMatrixd: carries p to M p + t.
  void ToGl(const Vec3d& t, double out[16]) const;
};

Mat3d operator+(const Mat3d& a, const Mat3d& b);
Mat3d operator*(double s, const Mat3d& a);
Vec3d operator*(const Mat3d& a, const Vec3d& v);
Vec3d operator*(const Vec3d& v, const Mat3d& a);
Mat3d operator*(const Mat3d& a, const Mat3d& b);
Mat3d OuterProduct(const Vec3d& a, const Vec3d& b);
Mat3d CrossMatrix(const Vec3d& k);
Mat3d AxisAngleRotation(const Vec3d& axis, double c, double s);
Mat3d RotationBetween(const Vec3d& a, const Vec3d& b);
