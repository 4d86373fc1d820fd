#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "geometry/BoundingBox.h"
#include "geometry/Mesh.h"

class MeshView;

// The one collection of loaded meshes; owns every mesh in it.
class MeshStore {
 public:
  std::vector<Mesh*> meshes;
  bool isSequence = false;
  bool sharedTriangles = false;
  int32_t current = -1;
  MeshView* view = nullptr;
  // Asked on this thread before a sequence's first frame (done 0) and after each frame it keeps;
  // false stops the load there, keeping the frames so far. Also asked (0 of 1, answer ignored)
  // before a single file is read. The window shows progress and takes Escape through it.
  std::function<bool(int64_t done, int64_t total)> progress;
  // Threads that read a sequence's frames; 0: one per CPU the process may run on.
  unsigned workers = 0;

  MeshStore() = default;
  virtual ~MeshStore();
  MeshStore(const MeshStore&) = delete;
  MeshStore& operator=(const MeshStore&) = delete;

  void Clear();
  void Add(Mesh* mesh);
  void DeleteCurrent();
  void Next(uint32_t n);
  void Prev(uint32_t n);

  void OpenMesh(const char* path);
  void OpenDepthMap(const char* path);
  void OpenMeshSequence(const char* path);
  void OpenDepthMapSequence(const char* path);
  void ChooseMesh();
  void ChooseDepthMap();
  void ChooseMeshSequence();
  void ChooseDepthMapSequence();

  // Arrays of the current frame; a mesh sequence draws its frames with element 0's triangles.
  bool CurrentArrays(const std::vector<MeshVertex>*& vertices, const std::vector<MeshTriangle>*& triangles) const;
  BoundingBox TotalBounds() const;
  void FlipNormals();

 private:
  void Keep(std::unique_ptr<Mesh> mesh);
  void AddLoaded(std::unique_ptr<Mesh> mesh, const char* path);
  void EndSequence(bool shared);
  bool Progress(const char* owner, int64_t done, int64_t total);
};
