#include "store/MeshStore.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>

#include "geometry/LoadBudget.h"
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
  const char* owner = "MeshStore::OpenMesh";
  const int64_t bytes = MemoryGuard::PlyBytes(path, true);
  if (!MemoryGuard::Admits(owner, path, bytes)) return;
  if (progress) progress(0, 1);
  std::unique_ptr<Mesh> mesh = FrameLoader::ReadOne(owner, path, bytes, [path] {
    PlyReadOptions options;  // every optional part Detect, faces read
    std::unique_ptr<Mesh> read(new Mesh);
    return read->readPly(path, options) ? std::move(read) : nullptr;
  });
  if (mesh) AddLoaded(std::move(mesh), path);
}

namespace {
// The map lives only for the read of its file.
std::unique_ptr<Mesh> ReadDepthMapMesh(const std::string& path) {
  DepthMap depthMap;
  if (!depthMap.LoadFromFile(path.c_str())) return nullptr;
  std::unique_ptr<Mesh> mesh(new Mesh);
  if (!mesh->CreateFromDepthMap(depthMap, kMaxDepthJump)) return nullptr;
  return mesh;
}
}  // namespace

void MeshStore::OpenDepthMap(const char* path) {
  if (!path) return;
  if (isSequence) {
    if (!Dialogs::ask("Please close current sequence before opening individual depth maps. Do you want to continue?"))
      return;
    Clear();
  }
  const char* owner = "MeshStore::OpenDepthMap";
  const int64_t bytes = MemoryGuard::DepthMapBytes(path);
  if (!MemoryGuard::Admits(owner, path, bytes)) return;
  if (progress) progress(0, 1);
  std::unique_ptr<Mesh> mesh = FrameLoader::ReadOne(owner, path, bytes, [path] { return ReadDepthMapMesh(path); });
  if (mesh) AddLoaded(std::move(mesh), path);
}

// Room first, so that a failed allocation leaves the store as it was and the mesh is freed.
void MeshStore::Keep(std::unique_ptr<Mesh> mesh) {
  meshes.reserve(meshes.size() + 1);
  Add(mesh.release());
}

// The common end of a single-file load: the new mesh becomes current and the camera frames all meshes.
void MeshStore::AddLoaded(std::unique_ptr<Mesh> mesh, const char* path) {
  mesh->ComputeBounds();
  mesh->ComputeNormals();
  const int32_t next = int32_t(meshes.size());
  Keep(std::move(mesh));
  current = next;
  if (view) view->ResetView();
  PrintFinished(path, '\n');
}

// The frames kept play as a sequence, also when a failing frame or the user stopped the load
// early: a shorter sequence is what was asked for, and the user sees the frames that worked.
void MeshStore::EndSequence(bool shared) {
  if (meshes.empty()) return;
  current = 0;
  isSequence = true;
  sharedTriangles = shared;
  if (view) view->ResetView();
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
  LoadBudget::Say(
      ("MeshStore::OpenMeshSequence: fewer vertices than the template's triangles use in " + name + "\n").c_str());
  return false;
}

// Whether a file the load starts from is there, with the line its reader would print if not.
// Asked before the store is cleared, so that a description picked in the wrong folder (its names
// are relative to the working folder) leaves what is loaded.
bool Found(const std::string& path, const char* reader) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return true;
  std::fprintf(stderr, "%s%s\n", reader, path.c_str());
  std::fflush(stderr);
  return false;
}
}  // namespace

void MeshStore::OpenMeshSequence(const char* path) {
  if (!path) return;
  if (!meshes.empty() && !Dialogs::ask(kSequenceQuestion)) return;
  MeshSequenceDesc desc;
  std::string name;
  if (!desc.Read(path)) return;
  if (!Found(desc.templateName, "Mesh::readPly: fail to open ")) return PrintLine("fail to read template mesh!");
  if (!desc.FrameName(desc.first, name, true) || !Found(name, "Mesh::readPly: fail to open ")) return;
  Clear();

  const char* owner = "MeshStore::OpenMeshSequence";
  if (!Progress(owner, 0, desc.FrameCount())) return;
  const std::string& templateName = desc.templateName;
  const int64_t templateBytes = MemoryGuard::PlyBytes(templateName.c_str(), true);
  if (!MemoryGuard::Admits(owner, templateName.c_str(), templateBytes)) return;
  PlyReadOptions options;  // the template: every part Detect, faces read
  bool refused = false;
  auto readTemplate = [&] {
    std::unique_ptr<Mesh> read(new Mesh);
    return read->readPly(templateName.c_str(), options) ? std::move(read) : nullptr;
  };
  std::unique_ptr<Mesh> mesh = FrameLoader::ReadOne(owner, templateName, templateBytes, readTemplate, &refused);
  if (!mesh) return refused ? void() : PrintLine("fail to read template mesh!");
  if (mesh->triangles.empty()) return PrintLine("template mesh has no triangle!");
  const int64_t needed = VerticesNeeded(mesh->triangles);

  // One record for all frames: what the first frame has becomes the rule for the others, so the
  // first frame is read alone, into the template, before the others are read side by side.
  options.readConfidence = Detect;
  options.readColor = Detect;
  options.readMask = Detect;
  options.readFaces = Skip;
  const int64_t firstBytes = MemoryGuard::PlyBytes(name.c_str(), false);
  if (!MemoryGuard::Admits(owner, name.c_str(), firstBytes)) return;
  mesh = FrameLoader::ReadOne(owner, name, firstBytes, [&]() -> std::unique_ptr<Mesh> {
    if (!mesh->readPly(name.c_str(), options) || !CanCarry(*mesh, needed, name)) return nullptr;
    return std::move(mesh);
  });
  if (!mesh) return;
  mesh->ComputeBounds();
  ComputeNormals(mesh->vertices, mesh->triangles);
  Keep(std::move(mesh));
  PrintFinished(name.c_str(), '\r');
  const int64_t count = desc.FrameCount();
  if (!Progress(owner, 1, count)) return EndSequence(true);

  // Every frame is shaded over the template's triangles, which the workers only read.
  const std::vector<MeshTriangle>& shared = meshes[0]->triangles;
  FrameLoader loader;
  loader.owner = owner;
  loader.workers = workers;
  loader.name = [&](int64_t k, std::string& frame, bool report) {
    return desc.FrameName(FrameNumber(desc.first, desc.step, k + 1), frame, report);
  };
  loader.bytes = [](const std::string& frame) { return MemoryGuard::PlyBytes(frame.c_str(), false); };
  loader.load = [&](const std::string& frame) -> std::unique_ptr<Mesh> {
    PlyReadOptions fixed = options;
    std::unique_ptr<Mesh> next(new Mesh);
    if (!next->readPly(frame.c_str(), fixed) || !CanCarry(*next, needed, frame)) return nullptr;
    next->ComputeBounds();
    ComputeVertexNormals(next->vertices, shared);
    return next;
  };
  loader.commit = [&](std::unique_ptr<Mesh> next, const std::string& frame) {
    Keep(std::move(next));
    PrintFinished(frame.c_str(), '\r');
    return Progress(owner, int64_t(meshes.size()), count);
  };
  loader.Run(count - 1);
  // The shared face normals are those of the last frame kept, as when the frames are read in turn.
  if (meshes.size() > 1) ComputeFaceNormals(meshes.back()->vertices, meshes[0]->triangles);
  EndSequence(true);
}

void MeshStore::OpenDepthMapSequence(const char* path) {
  if (!path) return;
  if (!meshes.empty() && !Dialogs::ask(kSequenceQuestion)) return;
  DepthMapSequenceDesc desc;
  std::string name;
  if (!desc.Read(path) || !desc.FrameName(desc.first, name, true) ||
      !Found(name, "DepthMap::LoadFromFile : fail to open "))
    return;
  Clear();

  const int64_t count = desc.FrameCount();
  FrameLoader loader;
  loader.owner = "MeshStore::OpenDepthMapSequence";
  loader.workers = workers;
  loader.name = [&desc](int64_t k, std::string& frame, bool report) {
    return desc.FrameName(FrameNumber(desc.first, desc.step, k), frame, report);
  };
  loader.bytes = [](const std::string& frame) { return MemoryGuard::DepthMapBytes(frame.c_str()); };
  loader.load = [](const std::string& frame) {
    std::unique_ptr<Mesh> mesh = ReadDepthMapMesh(frame);
    if (mesh) {
      mesh->ComputeBounds();
      mesh->ComputeNormals();
    }
    return mesh;
  };
  loader.commit = [&](std::unique_ptr<Mesh> mesh, const std::string& frame) {
    Keep(std::move(mesh));
    PrintFinished(frame.c_str(), '\r');
    return Progress(loader.owner, int64_t(meshes.size()), count);
  };
  if (!Progress(loader.owner, 0, count)) return;
  loader.Run(count);
  EndSequence(false);
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
