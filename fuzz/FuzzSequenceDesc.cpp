#include <cstdint>
#include <cstdio>

#include "fuzz/FuzzInput.h"
#include "store/DepthMapSequenceDesc.h"
#include "store/MeshSequenceDesc.h"

// Both description readers on the same bytes; the first few frame names of a valid one.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = WriteFuzzInput(data, size, ".txt");
  std::string name;
  MeshSequenceDesc mesh;
  if (mesh.Read(path.c_str())) {
    for (int64_t i = mesh.first, n = 0; i <= mesh.last && n < 4; i += mesh.step, ++n)
      (void)mesh.FrameName(int32_t(i), name, true);
  }
  DepthMapSequenceDesc depth;
  if (depth.Read(path.c_str())) {
    for (int64_t i = depth.first, n = 0; i <= depth.last && n < 4; i += depth.step, ++n)
      (void)depth.FrameName(int32_t(i), name, true);
  }
  std::remove(path.c_str());
  return 0;
}
