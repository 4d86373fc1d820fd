#pragma once
#include <vector>

#include "geometry/MeshTriangle.h"
#include "geometry/MeshVertex.h"
#include "view/SceneView.h"

class MeshStore;

enum RenderMode : int { Surface = 0, Wireframe = 1, Points = 2 };
enum ColorMode : int { GrayShade = 0, TrueColor = 1, Confidence = 2 };

class MeshView : public SceneView {
 public:
  RenderMode renderMode = Surface;
  ColorMode colorMode = GrayShade;
  MeshStore* store = nullptr;

  MeshView(int x, int y, int w, int h, const char* label = nullptr);

  BoundingBox SceneBounds() override;
  void DrawScene() override;

  void SetStore(MeshStore* s) { store = s; }
  void SetRenderMode(RenderMode mode);
  void SetColorMode(ColorMode mode);
};

void DrawMesh(const std::vector<MeshVertex>& vertices, const std::vector<MeshTriangle>& triangles, ColorMode colorMode);
