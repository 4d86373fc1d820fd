// vexol-examples OUTPUT_DIR: writes the bundled example files. Sequence descriptions name their
// frames relative to OUTPUT_DIR, so they are opened from within it.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>

#include "examples/ExampleScenes.h"

namespace {

const int kFrames = 40;
const double kTwoPi = 6.28318530717958647692;

bool Fail(const std::string& path) {
  std::fprintf(stderr, "vexol-examples: cannot write %s\n", path.c_str());
  return false;
}

bool Write(const std::string& dir, const std::string& name, const std::string& bytes) {
  return WriteBytes(dir + "/" + name, bytes) || Fail(dir + "/" + name);
}

std::string FrameName(const char* pattern, int frame) {
  char name[64];
  std::snprintf(name, sizeof name, pattern, frame);
  return name;
}

bool WriteAll(const std::string& dir) {
  if (!Write(dir, "ripple.dpt", DptBytes(RippleScene(320, 240, 0.0)))) return false;
  for (int f = 0; f < kFrames; ++f)
    if (!Write(dir, FrameName("ripple_%03d.dpt", f), DptBytes(RippleScene(320, 240, kTwoPi * f / kFrames))))
      return false;

  if (!Write(dir, "wave.ply", PlyBytes(WaveMesh(160, 120, 0.0), false))) return false;
  if (!Write(dir, "small.ply", PlyBytes(CubeMesh(), true))) return false;

  if (!Write(dir, "wave_template.ply", PlyBytes(WaveMesh(80, 60, 0.0), false))) return false;
  for (int f = 0; f < kFrames; ++f) {
    PlyMeshData frame = WaveMesh(80, 60, kTwoPi * f / kFrames);
    frame.faces.clear();
    if (!Write(dir, FrameName("wave_%03d.ply", f), PlyBytes(frame, false))) return false;
  }
  std::string last = std::to_string(kFrames - 1);
  if (!Write(dir, "wave.msq", "wave_template.ply wave_%03d.ply 0 1 " + last + "\n")) return false;
  // Written last: the build uses it as the mark that every file is there.
  return Write(dir, "ripple.dsq", "ripple_%03d.dpt 0 1 " + last + "\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {  // an option is not a directory to fill
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) return Fail(dir), 1;
  return WriteAll(dir) ? 0 : 1;
}
