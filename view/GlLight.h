#pragma once

struct GlLight {
  float position[4];
  float ambient[4];
  float diffuse[4];
  float specular[4];
  void Apply() const;
};
