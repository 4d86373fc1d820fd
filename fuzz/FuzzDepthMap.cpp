#include <cstdint>
#include <cstdio>

#include "fuzz/FuzzInput.h"
#include "geometry/Mesh.h"
#include "store/DepthMap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = WriteFuzzInput(data, size, ".dpt");
  DepthMap map;
  if (map.LoadFromFile(path.c_str())) {
    Mesh mesh;
    if (mesh.CreateFromDepthMap(map, 10.0)) {
      mesh.ComputeBounds();
      mesh.ComputeNormals();
    }
  }
  std::remove(path.c_str());
  return 0;
}
