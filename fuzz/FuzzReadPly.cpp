#include <cstdint>
#include <cstdio>

#include "fuzz/FuzzInput.h"
#include "geometry/Mesh.h"

// Read as a single mesh (everything detected), then as a later frame of a mesh sequence:
// faces skipped and the optional properties fixed by the last byte, as the first frame would.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = WriteFuzzInput(data, size, ".ply");
  Mesh single;
  PlyReadOptions detect;
  if (single.readPly(path.c_str(), detect)) {
    single.ComputeBounds();
    single.ComputeNormals();
  }
  uint8_t bits = size ? data[size - 1] : 0;
  PlyReadOptions frame;
  frame.readFaces = Skip;
  frame.readConfidence = (bits & 1) ? Require : Skip;
  frame.readColor = (bits & 2) ? Require : Skip;
  frame.readMask = (bits & 4) ? Require : Skip;
  Mesh later;
  if (later.readPly(path.c_str(), frame) && !single.triangles.empty()) {
    bool fits = true;
    for (const MeshTriangle& t : single.triangles)
      for (int32_t i : t.indices) fits = fits && i >= 0 && size_t(i) < later.vertices.size();
    if (fits) ComputeNormals(later.vertices, single.triangles);
  }
  std::remove(path.c_str());
  return 0;
}
