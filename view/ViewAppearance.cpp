#include "view/ViewAppearance.h"

namespace {
void Set(float* c, float r, float g, float b) {
  c[0] = r;
  c[1] = g;
  c[2] = b;
  c[3] = 1.0f;
}
}  // namespace

ViewAppearance::ViewAppearance() {
  Set(background, 0, 0, 0);
  Set(light.position, 0, 0, 1);
  light.position[3] = 0.0f;  // directional, from the viewer
  Set(light.ambient, 0, 0, 0);
  Set(light.diffuse, 1, 1, 1);
  Set(light.specular, 1, 1, 1);
  Set(material.emission, 0, 0, 0);
  Set(material.ambient, 0.7f, 0.7f, 0.7f);
  Set(material.diffuse, 0.7f, 0.7f, 0.7f);
  Set(material.specular, 0.25f, 0.25f, 0.25f);
  material.shininess = 50.0f;
}
