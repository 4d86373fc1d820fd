#pragma once
#include "view/GlLight.h"
#include "view/GlMaterial.h"

struct ViewAppearance {
  float background[4];
  GlLight light;
  GlMaterial material;
  ViewAppearance();
};
