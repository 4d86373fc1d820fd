#include "store/FrameLoader.h"

#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "geometry/Mesh.h"
#include "store/MemoryGuard.h"

unsigned FrameLoader::threads = 0;

namespace {

// A worker's standard error, kept for the frame's turn: the thread takes a descriptor table of its
// own and points its descriptor 2 at an in-memory file. Elsewhere, or when the system refuses,
// the worker prints directly and messages of frames loaded side by side may come out of order.
// (A sanitizer's report from a worker goes into the same file and is lost if the process ends.)
class ErrorCapture {
 public:
  ErrorCapture() {
#if defined(__linux__)
    if (unshare(CLONE_FILES) != 0) return;
    const int file = memfd_create("frame-errors", MFD_CLOEXEC);
    if (file < 0) return;
    if (dup2(file, 2) < 0) {
      close(file);
      return;
    }
    fd_ = file;
#endif
  }
  ~ErrorCapture() {
    if (fd_ >= 0) close(fd_);
  }
  ErrorCapture(const ErrorCapture&) = delete;
  ErrorCapture& operator=(const ErrorCapture&) = delete;

  void Begin() {
    if (fd_ < 0) return;
    if (ftruncate(fd_, 0) != 0 || lseek(fd_, 0, SEEK_SET) != 0) fd_ = -1;
  }
  void Take(std::string& text) {
    text.clear();
    const off_t size = fd_ >= 0 ? lseek(fd_, 0, SEEK_CUR) : 0;
    if (size <= 0) return;
    text.resize(size_t(size));
    const ssize_t got = pread(fd_, &text[0], text.size(), 0);
    text.resize(got > 0 ? size_t(got) : 0);
  }

 private:
  int fd_ = -1;
};

struct Slot {
  std::string name;
  int64_t bytes = 0;
  Mesh* mesh = nullptr;
  std::string errors;
  bool done = false;
};

}  // namespace

unsigned FrameLoader::Workers(int64_t count) {
  unsigned n = threads ? threads : std::thread::hardware_concurrency();
  n = std::max(n, 1u);
  return count < int64_t(n) ? unsigned(std::max<int64_t>(count, 1)) : n;
}

int64_t FrameLoader::Run(int64_t count) {
  if (count <= 0) return 0;
  const unsigned workers = Workers(count);
#if defined(__GLIBC__)
  // One heap for all threads, as with one thread: a heap per worker would keep what the frames
  // freed out of reach of the rest of the program (and the guard would count it as taken).
  mallopt(M_ARENA_MAX, 1);
#endif
  std::vector<Slot> slots(workers);
  std::mutex mutex;
  std::condition_variable changed;
  // Frames below `dispatched` have a name and a place in memory; workers take them in order.
  int64_t dispatched = 0, taken = 0, committed = 0;
  int64_t held = 0;  // estimates of frames dispatched and not yet loaded
  bool quit = false;

  // Loads the next dispatched frame; called with the lock held, returns with it held.
  auto loadNext = [&](std::unique_lock<std::mutex>& lock, unsigned worker, ErrorCapture* capture) {
    Slot& slot = slots[size_t(taken++ % workers)];
    lock.unlock();
    if (capture) capture->Begin();
    Mesh* mesh = nullptr;
    try {
      mesh = load(slot.name, worker);
    } catch (const std::bad_alloc&) {
      MemoryGuard::Refuse(owner, slot.name.c_str());
    }
    if (capture) capture->Take(slot.errors);
    lock.lock();
    slot.mesh = mesh;
    slot.done = true;
    held -= slot.bytes;
    changed.notify_all();
  };

  std::vector<std::thread> pool;
  for (unsigned w = 0; w < workers; ++w) {
    try {
      pool.emplace_back([&, w] {
        ErrorCapture capture;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
          changed.wait(lock, [&] { return quit || taken < dispatched; });
          if (quit) return;
          loadNext(lock, w, &capture);
        }
      });
    } catch (const std::system_error&) {
      break;  // fewer workers; with none the calling thread loads the frames itself
    }
  }

  enum { Going, Unnamed, NoMemory, Failed, Stopped } state = Going;
  std::string stopName;
  std::unique_lock<std::mutex> lock(mutex);
  while (committed < count && state == Going) {
    // Hand out frames while a worker is free; the guard counts what loads in flight will take.
    while (dispatched < count && dispatched - committed < int64_t(workers)) {
      Slot& slot = slots[size_t(dispatched % workers)];
      std::string frameName;
      lock.unlock();
      const bool named = name(dispatched, frameName, false);
      const int64_t frameBytes = named ? bytes(frameName) : 0;
      lock.lock();
      if (!named) {
        if (dispatched == committed) state = Unnamed;
        break;
      }
      if (!MemoryGuard::Fits(frameBytes, held)) {
        // Decided only once every frame before it is in the store, as one after another would.
        if (dispatched == committed) state = NoMemory, stopName = frameName;
        break;
      }
      slot.name.swap(frameName);
      slot.bytes = frameBytes;
      slot.mesh = nullptr;
      slot.errors.clear();
      slot.done = false;
      held += frameBytes;
      ++dispatched;
      changed.notify_all();
    }
    if (state != Going) break;

    Slot& slot = slots[size_t(committed % workers)];
    while (!slot.done) {
      if (pool.empty())
        loadNext(lock, 0, nullptr);
      else
        changed.wait(lock);
    }
    lock.unlock();
    if (!slot.errors.empty()) {
      std::fwrite(slot.errors.data(), 1, slot.errors.size(), stderr);
      std::fflush(stderr);
    }
    const bool more = slot.mesh && commit(slot.mesh, slot.name);
    lock.lock();
    if (slot.mesh) {
      ++committed;
      if (!more) state = Stopped;
    } else {
      state = Failed;
    }
    slot.mesh = nullptr;
  }

  // Frames handed out but not yet taken are dropped; those being loaded are waited for.
  dispatched = taken;
  quit = true;
  changed.notify_all();
  lock.unlock();
  for (std::thread& t : pool) t.join();
  for (Slot& slot : slots) {
    delete slot.mesh;
    slot.mesh = nullptr;
  }
  if (state == Unnamed) {
    std::string unused;
    name(committed, unused, true);
  }
  if (state == NoMemory) MemoryGuard::Refuse(owner, stopName.c_str());
  return committed;
}
