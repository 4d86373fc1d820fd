#pragma once
#include <cstdint>
#include <functional>
#include <string>

class Mesh;

// Loads the frames of a sequence on worker threads and hands them to the calling thread in frame
// order, so that what is printed and kept is what loading them one after another would give:
// each frame's reader messages when its turn comes, nothing of the frames after one that fails,
// and the memory guard asked in frame order with at most one frame per worker in flight.
class FrameLoader {
 public:
  // Workers for a load; 0 means one per hardware thread.
  static unsigned threads;

  // On the calling thread, in frame order. `name` names frame k, printing why not only when
  // `report` is set; `bytes` estimates the memory its load holds; `commit` takes the mesh and
  // returns false to stop the load after it.
  std::function<bool(int64_t k, std::string& name, bool report)> name;
  std::function<int64_t(const std::string& name)> bytes;
  std::function<bool(Mesh* mesh, const std::string& name)> commit;
  // On a worker, numbered below Workers(count): the frame's mesh, or null after the reader's message.
  std::function<Mesh*(const std::string& name, unsigned worker)> load;
  // Names the load in the not-enough-memory line.
  const char* owner = "";

  static unsigned Workers(int64_t count);
  // Frames 0 to count - 1; returns how many were committed. All workers are joined on return.
  int64_t Run(int64_t count);
};
