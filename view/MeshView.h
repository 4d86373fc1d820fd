#pragma once
#include <functional>
#include <vector>

#include "geometry/MeshTriangle.h"
#include "geometry/MeshVertex.h"
#include "view/SceneView.h"

class MeshStore;

enum RenderMode : int { Surface = 0, Wireframe = 1, Points = 2 };
enum ColorMode : int { GrayShade = 0, TrueColor = 1, Confidence = 2 };

// The view of the store's meshes: frames all of them, draws the current one.
class MeshView : public SceneView {
 public:
  RenderMode renderMode;
  ColorMode colorMode;
  MeshStore* store;
  // Runs after each frame is drawn, so that what names the picture can follow it.
  std::function<void()> drawn;

  MeshView(int x, int y, int w, int h, const char* label = nullptr);

  BoundingBox SceneBounds() override;
  void DrawScene() override;
  void draw() override;

  void SetStore(MeshStore* s) { store = s; }
  void SetRenderMode(RenderMode mode);
  void SetColorMode(ColorMode mode);
};

// Sends the triangles in immediate mode, a normal per corner and a colour where the mode has one.
// Triangles with an index outside the vertex array are skipped.
void DrawMesh(const std::vector<MeshVertex>& vertices, const std::vector<MeshTriangle>& triangles, ColorMode colorMode);
