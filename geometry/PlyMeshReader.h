#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "geometry/MeshTriangle.h"
#include "geometry/MeshVertex.h"
#include "geometry/PlyReadOptions.h"

struct PlyReader;

// Reads a mesh's arrays from a PLY file: the "vertex" element gives the vertex records, the
// "face" element the triangles (a polygon becomes the fan around its first corner); other
// elements are read past. Failures print one line naming the file.
class PlyMeshReader {
 public:
  PlyMeshReader(const char* path, PlyReadOptions& options) : path_(path), options_(options) {}

  // vertexCountBefore: what face indices must fit when the file has no "vertex" element.
  bool Read(size_t vertexCountBefore);

  std::vector<MeshVertex> vertices;
  std::vector<MeshTriangle> triangles;
  bool haveVertices = false;
  bool haveTriangles = false;

 private:
  bool ReadElements(size_t vertexCountBefore);
  bool ReadVertexElement(int element);
  bool ReadFaceElement(int element, int64_t* highest);
  bool FailRead(const char* what = nullptr);  // prints the failure line, naming what; returns false
  size_t TriangleRoom(int64_t itemBytes) const;
  void GrowTriangles(size_t size, int64_t itemBytes);

  PlyReader* reader_ = nullptr;
  const char* path_;
  PlyReadOptions& options_;
};
