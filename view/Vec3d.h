#pragma once

struct Vec3d {
  double x = 0, y = 0, z = 0;
  Vec3d() = default;
  Vec3d(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}
};

inline Vec3d operator+(const Vec3d& a, const Vec3d& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3d operator-(const Vec3d& a, const Vec3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
