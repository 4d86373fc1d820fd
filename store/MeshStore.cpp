#include "store/MeshStore.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "store/DepthMap.h"
#include "store/DepthMapSequenceDesc.h"
#include "store/Dialogs.h"
#include "store/MeshSequenceDesc.h"
#include "view/MeshView.h"

namespace {
// Same maximum depth jump for single depth maps and sequences.
const double kMaxDepthJump = 10.0;

void PrintLine(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

void PrintFinished(const char* name, char end) {
  std::printf("finish loading %s%c", name, end);
  std::fflush(stdout);
}

// One past the largest vertex index the triangles use; frames with fewer vertices cannot be drawn.
int64_t VerticesNeeded(const std::vector<MeshTriangle>& triangles) {
  int64_t needed = 0;
  for (const MeshTriangle& t : triangles)
    for (int32_t index : t.indices)
      if (index < 0)
        return INT64_MAX;
      else if (int64_t(index) + 1 > needed)
        needed = int64_t(index) + 1;
  return needed;
}
}  // namespace

MeshStore::~MeshStore() { Clear(); }

void MeshStore::Clear() {
  for (Mesh* mesh : meshes) delete mesh;
  std::vector<Mesh*>().swap(meshes);
  isSequence = false;
  sharedTriangles = false;
  current = -1;
  if (view) view->ResetView();
}

void MeshStore::Add(Mesh* mesh) { meshes.push_back(mesh); }

void MeshStore::DeleteCurrent() {
  if (meshes.empty()) {
    PrintLine("try to delete mesh from an empty set!");
    return;
  }
  int32_t i = current;
  int32_t n = int32_t(meshes.size());
  if (i < 0 || i >= n) {
    std::printf("current mesh index %d is out of index range: [0, %d)!\n", int(i), int(n));
    std::fflush(stdout);
    return;
  }
  Mesh* mesh = meshes[i];
  meshes.erase(meshes.begin() + i);
  // The later frames of a mesh sequence have no triangles of their own: keep the shared ones at 0.
  if (i == 0 && sharedTriangles && !meshes.empty() && mesh && meshes[0]) meshes[0]->triangles.swap(mesh->triangles);
  delete mesh;
  if (!meshes.empty()) {
    if (current >= int32_t(meshes.size())) current = int32_t(meshes.size()) - 1;
  } else {
    current = -1;
    isSequence = false;
    sharedTriangles = false;
  }
}

void MeshStore::Next(uint32_t n) {
  uint32_t c = uint32_t(meshes.size());
  if (c == 0) return;
  uint32_t u = uint32_t(current);
  current = int32_t((u + (n % c)) % c);
}

void MeshStore::Prev(uint32_t n) {
  uint32_t c = uint32_t(meshes.size());
  if (c == 0) return;
  uint32_t u = uint32_t(current);
  current = int32_t((u + (c - (n % c))) % c);
}

bool MeshStore::CurrentArrays(const std::vector<MeshVertex>*& vertices,
                              const std::vector<MeshTriangle>*& triangles) const {
  if (current < 0 || current >= int32_t(meshes.size())) return false;
  const Mesh* mesh = meshes[current];
  const Mesh* owner = sharedTriangles ? meshes[0] : mesh;
  if (!mesh || !owner) return false;
  vertices = &mesh->vertices;
  triangles = &owner->triangles;
  return true;
}

BoundingBox MeshStore::TotalBounds() const {
  BoundingBox box;
  box.Reset();
  for (const Mesh* mesh : meshes)
    if (mesh) box.Merge(mesh->bounds);
  if (box.IsEmpty()) box.SetUnit();
  return box;
}

void MeshStore::FlipNormals() {
  for (Mesh* mesh : meshes) {
    if (!mesh) continue;
    mesh->FlipVertexNormals();
    if (!sharedTriangles) mesh->FlipFaceNormals();
  }
}

void MeshStore::OpenMesh(const char* path) {
  if (!path) return;
  if (isSequence) {
    if (!Dialogs::ask("Please close current sequence before opening individual meshes. Do you want to continue?"))
      return;
    Clear();
  }
  PlyReadOptions options;  // every optional part Detect, faces read
  Mesh* mesh = new Mesh;
  if (!mesh->readPly(path, options)) {
    delete mesh;
    return;
  }
  AddLoaded(mesh, path);
}

void MeshStore::OpenDepthMap(const char* path) {
  if (!path) return;
  if (isSequence) {
    if (!Dialogs::ask("Please close current sequence before opening individual depth maps. Do you want to continue?"))
      return;
    Clear();
  }
  DepthMap depthMap;
  if (!depthMap.LoadFromFile(path)) return;
  Mesh* mesh = new Mesh;
  if (!mesh->CreateFromDepthMap(depthMap, kMaxDepthJump)) {
    delete mesh;
    return;
  }
  AddLoaded(mesh, path);
}

// The common end of a single-file load: the new mesh becomes current and the camera frames all meshes.
void MeshStore::AddLoaded(Mesh* mesh, const char* path) {
  mesh->ComputeBounds();
  mesh->ComputeNormals();
  current = int32_t(meshes.size());
  Add(mesh);
  if (view) view->ResetView();
  PrintFinished(path, '\n');
}

namespace {
const char* kSequenceQuestion = "Please close all meshes before opening a new sequence. Do you want to continue?";
}

void MeshStore::OpenMeshSequence(const char* path) {
  if (!path) return;
  if (!meshes.empty()) {
    if (!Dialogs::ask(kSequenceQuestion)) return;
    Clear();
  }
  MeshSequenceDesc desc;
  if (!desc.Read(path)) return;

  Mesh* mesh = new Mesh;
  PlyReadOptions options;  // the template: every part Detect, faces read
  if (!mesh->readPly(desc.templateName.c_str(), options)) {
    PrintLine("fail to read template mesh!");
    delete mesh;
    return;
  }
  if (mesh->triangles.empty()) {
    PrintLine("template mesh has no triangle!");
    delete mesh;
    return;
  }
  const int64_t needed = VerticesNeeded(mesh->triangles);

  // One record for all frames: what the first frame has becomes the rule for the others.
  options.readConfidence = Detect;
  options.readColor = Detect;
  options.readMask = Detect;
  options.readFaces = Skip;
  const int64_t count = desc.FrameCount();
  for (int64_t k = 0; k < count; ++k) {
    const int32_t i = int32_t(desc.first + k * desc.step);
    std::string name = desc.FrameName(i);
    if (k > 0) mesh = new Mesh;
    if (name.empty() || !mesh->readPly(name.c_str(), options)) {
      delete mesh;
      return;
    }
    if (int64_t(mesh->vertices.size()) < needed) {
      std::fprintf(stderr, "MeshStore::OpenMeshSequence: fewer vertices than the template's triangles use in %s\n",
                   name.c_str());
      std::fflush(stderr);
      delete mesh;
      return;
    }
    Add(mesh);
    mesh->ComputeBounds();
    ComputeNormals(mesh->vertices, meshes[0]->triangles);
    PrintFinished(name.c_str(), '\r');
  }
  current = 0;
  isSequence = true;
  sharedTriangles = true;
  if (view) view->ResetView();
}

void MeshStore::OpenDepthMapSequence(const char* path) {
  if (!path) return;
  if (!meshes.empty()) {
    if (!Dialogs::ask(kSequenceQuestion)) return;
    Clear();
  }
  DepthMapSequenceDesc desc;
  if (!desc.Read(path)) return;
  const int64_t count = desc.FrameCount();
  for (int64_t k = 0; k < count; ++k) {
    const int32_t i = int32_t(desc.first + k * desc.step);
    std::string name = desc.FrameName(i);
    if (name.empty()) return;
    DepthMap depthMap;
    if (!depthMap.LoadFromFile(name.c_str())) return;
    Mesh* mesh = new Mesh;
    if (!mesh->CreateFromDepthMap(depthMap, kMaxDepthJump)) {
      delete mesh;
      return;
    }
    Add(mesh);
    mesh->ComputeBounds();
    mesh->ComputeNormals();
    PrintFinished(name.c_str(), '\r');
  }
  current = 0;
  isSequence = true;
  if (view) view->ResetView();
}

namespace {
// The chooser's answer lives in the toolkit's buffer; a question asked while loading must not change it.
std::string Choose(const char* message, const char* pattern, bool& chosen) {
  const char* path = Dialogs::chooseFile(message, pattern, "", 0);
  chosen = path != nullptr;
  return chosen ? std::string(path) : std::string();
}
}  // namespace

void MeshStore::ChooseMesh() {
  bool chosen;
  std::string path = Choose("Choose a mesh", "*.ply", chosen);
  OpenMesh(chosen ? path.c_str() : nullptr);
}

void MeshStore::ChooseDepthMap() {
  bool chosen;
  std::string path = Choose("Choose a depthmap", "*.dpt", chosen);
  OpenDepthMap(chosen ? path.c_str() : nullptr);
}

void MeshStore::ChooseMeshSequence() {
  bool chosen;
  std::string path = Choose("Choose a mesh sequence file", "*.txt", chosen);
  OpenMeshSequence(chosen ? path.c_str() : nullptr);
}

void MeshStore::ChooseDepthMapSequence() {
  bool chosen;
  std::string path = Choose("Choose a depth map sequence file", "*.txt", chosen);
  OpenDepthMapSequence(chosen ? path.c_str() : nullptr);
}
