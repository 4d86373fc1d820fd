#pragma once
#include <string>
#include <vector>

#include "geometry/BoundingBox.h"
#include "geometry/MeshTriangle.h"
#include "geometry/MeshVertex.h"
#include "geometry/PlyReadOptions.h"

class DepthMap;

class Mesh {
 public:
  std::string name;
  std::vector<MeshVertex> vertices;
  std::vector<MeshTriangle> triangles;
  BoundingBox bounds;

  // Readers report failure by returning false (after one line on standard error); they never throw.
  bool readPly(const char* path, PlyReadOptions& options);
  bool CreateFromDepthMap(const DepthMap& depthMap, double maxDepthJump);

  void ComputeBounds();
  void ComputeNormals();
  void FlipVertexNormals();
  void FlipFaceNormals();
};

// The vertex and triangle arrays need not belong to the same mesh: frames of a mesh sequence
// are shaded over the first frame's triangles.
void ComputeFaceNormals(const std::vector<MeshVertex>& vertices, std::vector<MeshTriangle>& triangles);
void AccumulateVertexNormals(std::vector<MeshVertex>& vertices, const std::vector<MeshTriangle>& triangles);
void ComputeNormals(std::vector<MeshVertex>& vertices, std::vector<MeshTriangle>& triangles);
// Vertex normals alone: the triangles are only read, so several frames may use them at once.
void ComputeVertexNormals(std::vector<MeshVertex>& vertices, const std::vector<MeshTriangle>& triangles);
