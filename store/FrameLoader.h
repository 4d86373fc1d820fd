#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Mesh;

// Loads the frames of a sequence on worker threads and hands them to the calling thread in frame
// order, so that what is printed and kept is what loading them one after another would give:
// each frame's reader lines when its turn comes, nothing of the frames after one that fails, and
// the memory guard asked in frame order for the bytes of every frame in flight. A frame that is
// not a regular file (a pipe, a device) may block when opened: it is read on the calling thread
// at its turn, never ahead.
class FrameLoader {
 public:
  // On the calling thread, in frame order. `name` names frame k, printing why not only when
  // `report` is set; `bytes` estimates the memory its load holds; `commit` takes the mesh and
  // returns false to stop the load after it.
  std::function<bool(int64_t k, std::string& name, bool report)> name;
  std::function<int64_t(const std::string& name)> bytes;
  std::function<bool(std::unique_ptr<Mesh> mesh, const std::string& name)> commit;
  // On any thread: the frame's mesh, or null after the reader's line.
  std::function<std::unique_ptr<Mesh>(const std::string& name)> load;
  // Names the load in the not-enough-memory line.
  const char* owner = "";
  // Threads that read frames; 0: one per CPU the process may run on.
  unsigned workers = 0;

  static unsigned Workers(unsigned wanted, int64_t count);
  // Frames 0 to count - 1; returns how many were committed. A std::bad_alloc from `commit` or a
  // reader refuses that frame as the guard does; any other exception is passed on once every
  // worker is joined, which they are on every return.
  int64_t Run(int64_t count);
  // One file read on this thread by `read`, with the budget of the `bytes` it was admitted for;
  // then its reader's lines, or the not-enough-memory line if the budget ran out (and *refused).
  static std::unique_ptr<Mesh> ReadOne(const char* owner, const std::string& name, int64_t bytes,
                                       const std::function<std::unique_ptr<Mesh>()>& read, bool* refused = nullptr);
};
