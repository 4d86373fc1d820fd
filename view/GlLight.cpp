#include "view/GlLight.h"

#include <FL/gl.h>

void GlLight::Apply() const {
  // All ambient light comes from the light itself, not from the global default.
  static const float black[4] = {0, 0, 0, 1};
  glLightfv(GL_LIGHT0, GL_POSITION, position);
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, black);
  glLightfv(GL_LIGHT0, GL_AMBIENT, ambient);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse);
  glLightfv(GL_LIGHT0, GL_SPECULAR, specular);
  glEnable(GL_LIGHT0);
}
