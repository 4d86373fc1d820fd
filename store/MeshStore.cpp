#include "store/MeshStore.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "store/DepthMap.h"
#include "store/DepthMapSequenceDesc.h"
#include "store/Dialogs.h"
#include "store/FrameLoader.h"
#include "store/MemoryGuard.h"
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
  if (!MemoryGuard::Admits("MeshStore::OpenMesh", path, MemoryGuard::PlyBytes(path, true))) return;
  if (progress) progress(0, 1);
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
  if (!MemoryGuard::Admits("MeshStore::OpenDepthMap", path, MemoryGuard::DepthMapBytes(path))) return;
  if (progress) progress(0, 1);
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

// A sequence that stopped early keeps its frames without a current one; the camera frames them so
// that the first step shows frame 0.
void MeshStore::EndStoppedSequence() {
  if (!meshes.empty() && view) view->ResetView();
}

// One line when the user stops a load, so the console tells a stopped load from a failed one.
bool MeshStore::Progress(const char* owner, int64_t done, int64_t total) {
  if (!progress || progress(done, total)) return true;
  std::fprintf(stderr, "%s: loading stopped after %lld frames\n", owner, static_cast<long long>(done));
  std::fflush(stderr);
  return false;
}

namespace {
const char* kSequenceQuestion = "Please close all meshes before opening a new sequence. Do you want to continue?";

// Frame numbers stay inside the description's int32 range, which FrameCount has checked.
int32_t FrameNumber(int32_t first, int32_t step, int64_t k) { return int32_t(first + k * step); }

// A frame of a mesh sequence whose vertices cannot carry the template's triangles.
bool CanCarry(const Mesh& frame, int64_t needed, const std::string& name) {
  if (int64_t(frame.vertices.size()) >= needed) return true;
  std::fprintf(stderr, "MeshStore::OpenMeshSequence: fewer vertices than the template's triangles use in %s\n",
               name.c_str());
  std::fflush(stderr);
  return false;
}
}  // namespace

void MeshStore::OpenMeshSequence(const char* path) {
  if (!path) return;
  if (!meshes.empty()) {
    if (!Dialogs::ask(kSequenceQuestion)) return;
    Clear();
  }
  MeshSequenceDesc desc;
  if (!desc.Read(path)) return;

  const char* owner = "MeshStore::OpenMeshSequence";
  if (!Progress(owner, 0, desc.FrameCount())) return;
  const char* templateName = desc.templateName.c_str();
  if (!MemoryGuard::Admits(owner, templateName, MemoryGuard::PlyBytes(templateName, true))) return;
  Mesh* mesh = new Mesh;
  PlyReadOptions options;  // the template: every part Detect, faces read
  if (!mesh->readPly(templateName, options)) {
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

  // One record for all frames: what the first frame has becomes the rule for the others, so the
  // first frame is read alone, into the template, before the others are read side by side.
  options.readConfidence = Detect;
  options.readColor = Detect;
  options.readMask = Detect;
  options.readFaces = Skip;
  std::string name;
  if (!desc.FrameName(desc.first, name, true) ||
      !MemoryGuard::Admits(owner, name.c_str(), MemoryGuard::PlyBytes(name.c_str(), false)) ||
      !mesh->readPly(name.c_str(), options) || !CanCarry(*mesh, needed, name)) {
    delete mesh;
    return;
  }
  Add(mesh);
  mesh->ComputeBounds();
  ComputeNormals(mesh->vertices, mesh->triangles);
  PrintFinished(name.c_str(), '\r');
  const int64_t count = desc.FrameCount();
  if (!Progress(owner, 1, count)) return EndStoppedSequence();

  // Each worker computes face normals into its own copy of the shared triangles.
  const std::vector<MeshTriangle>& shared = mesh->triangles;
  std::vector<std::vector<MeshTriangle>> faces(FrameLoader::Workers(count - 1));
  FrameLoader loader;
  loader.owner = owner;
  loader.name = [&](int64_t k, std::string& frame, bool report) {
    return desc.FrameName(FrameNumber(desc.first, desc.step, k + 1), frame, report);
  };
  loader.bytes = [](const std::string& frame) { return MemoryGuard::PlyBytes(frame.c_str(), false); };
  loader.load = [&](const std::string& frame, unsigned worker) -> Mesh* {
    PlyReadOptions fixed = options;
    Mesh* next = new Mesh;
    if (!next->readPly(frame.c_str(), fixed) || !CanCarry(*next, needed, frame)) {
      delete next;
      return nullptr;
    }
    next->ComputeBounds();
    if (faces[worker].empty()) faces[worker] = shared;
    ComputeNormals(next->vertices, faces[worker]);
    return next;
  };
  loader.commit = [&](Mesh* next, const std::string& frame) {
    Add(next);
    PrintFinished(frame.c_str(), '\r');
    return Progress(owner, int64_t(meshes.size()), count);
  };
  const bool complete = loader.Run(count - 1) == count - 1;
  // The shared face normals are those of the last frame kept, as when the frames are read in turn.
  if (meshes.size() > 1) ComputeFaceNormals(meshes.back()->vertices, meshes[0]->triangles);
  if (!complete) return EndStoppedSequence();
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
  FrameLoader loader;
  loader.owner = "MeshStore::OpenDepthMapSequence";
  loader.name = [&desc](int64_t k, std::string& frame, bool report) {
    return desc.FrameName(FrameNumber(desc.first, desc.step, k), frame, report);
  };
  loader.bytes = [](const std::string& frame) { return MemoryGuard::DepthMapBytes(frame.c_str()); };
  loader.load = [](const std::string& frame, unsigned) -> Mesh* {
    DepthMap depthMap;
    if (!depthMap.LoadFromFile(frame.c_str())) return nullptr;
    Mesh* mesh = new Mesh;
    if (!mesh->CreateFromDepthMap(depthMap, kMaxDepthJump)) {
      delete mesh;
      return nullptr;
    }
    mesh->ComputeBounds();
    mesh->ComputeNormals();
    return mesh;
  };
  loader.commit = [&](Mesh* mesh, const std::string& frame) {
    Add(mesh);
    PrintFinished(frame.c_str(), '\r');
    return Progress(loader.owner, int64_t(meshes.size()), count);
  };
  if (!Progress(loader.owner, 0, count)) return;
  if (loader.Run(count) < count) return EndStoppedSequence();
  current = 0;
  isSequence = true;
  if (view) view->ResetView();
}

namespace {
std::string WorkingFolder() {
  std::error_code error;
  std::string folder = std::filesystem::current_path(error).string();
  return error || folder.empty() ? std::string() : folder.back() == '/' ? folder : folder + "/";
}

// The chooser's answer lives in the toolkit's buffer; a question asked while loading must not change it.
// An empty start name would make the toolkit's chooser open on the list of mounts after a Cancel, so
// it is always given the folder to open in.
std::string Choose(const char* message, const char* pattern, bool& chosen) {
  const std::string start = Dialogs::folder.empty() ? WorkingFolder() : Dialogs::folder;
  const char* path = Dialogs::chooseFile(message, pattern, start.c_str(), 0);
  chosen = path != nullptr;
  if (!chosen) return std::string();
  std::string result(path);
  const size_t slash = result.rfind('/');
  if (slash != std::string::npos) Dialogs::folder = result.substr(0, slash + 1);
  return result;
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
  std::string path = Choose("Choose a mesh sequence file", "*.{msq,txt}", chosen);
  OpenMeshSequence(chosen ? path.c_str() : nullptr);
}

void MeshStore::ChooseDepthMapSequence() {
  bool chosen;
  std::string path = Choose("Choose a depth map sequence file", "*.{dsq,txt}", chosen);
  OpenDepthMapSequence(chosen ? path.c_str() : nullptr);
}
