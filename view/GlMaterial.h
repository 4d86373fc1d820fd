#pragma once

struct GlMaterial {
  float emission[4];
  float ambient[4];
  float diffuse[4];
  float specular[4];
  float shininess;
  void Apply() const;
};
