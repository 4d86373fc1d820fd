#pragma once
#include <FL/Fl_Gl_Window.H>

#include "geometry/BoundingBox.h"
#include "view/Mat3d.h"
#include "view/Vec3d.h"
#include "view/ViewAppearance.h"

enum DragMode : int { Rotate = 0, Pan = 1, Dolly = 2, Zoom = 3 };

// A general 3D viewing window: camera, projection sphere, light, material and mouse handling.
// What it shows comes from SceneBounds and DrawScene.
class SceneView : public Fl_Gl_Window {
 public:
  Mat3d rotation;
  Vec3d translation;
  Vec3d center;
  Mat3d lightRotation;
  double scale;
  Vec3d viewCenter;
  double viewRadius;
  bool ortho;
  int moveLight;
  DragMode dragMode;
  bool lighting;
  int lastX = 0, lastY = 0;
  int deltaX = 0, deltaY = 0;
  ViewAppearance appearance;

  SceneView(int x, int y, int w, int h, const char* label = nullptr);

  void draw() override;
  int handle(int event) override;
  virtual BoundingBox SceneBounds() = 0;
  virtual void DrawScene() = 0;

  int HandleMouse(int event);
  void ApplyDrag();

  void ResetView();
  void ResetCamera();
  void FitProjection();
  void SetOrtho(bool on);
  void SetLighting(bool on);
  // Winding of front faces on the view's context; true for clockwise.
  void SetFrontFace(bool clockwise);

  void ChooseBackgroundColor();
  void ChooseDiffuseMaterialColor();
  void ChooseSpecularMaterialColor();
  void ChooseAmbientLightColor();
  void ChooseDiffuseLightColor();
  void ChooseSpecularLightColor();
};

// Opens the colour dialog on rgb; on OK writes the choice back and returns true.
bool ChooseColor(const char* title, float* rgb);

// Centre and radius the camera frames a box with: a point or a box too large for doubles would
// leave no valid projection, so they are framed as a sphere of radius 1 (around the origin
// when the centre itself is not finite).
Vec3d FramedCenter(const BoundingBox& box);
double FramedRadius(const BoundingBox& box);
