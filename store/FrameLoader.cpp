#include "store/FrameLoader.h"

#include <sys/stat.h>
#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "geometry/LoadBudget.h"
#include "geometry/Mesh.h"
#include "store/MemoryGuard.h"

namespace {

struct Slot {
  std::string name;
  int64_t bytes = 0;   // admitted, and grown as the reader asked
  bool local = false;  // read on the calling thread at its turn
  bool done = false;
  bool refused = false;
  std::unique_ptr<Mesh> mesh;
  std::string lines;
  std::exception_ptr error;
};

bool RegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

unsigned AllowedCpus() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return unsigned(CPU_COUNT(&set));
#endif
  return std::thread::hardware_concurrency();
}

// The reader's lines, or the refusal in their place.
void Report(const char* owner, const std::string& name, const std::string& lines, bool refused) {
  if (refused) return MemoryGuard::Refuse(owner, name.c_str());
  if (lines.empty()) return;
  std::fwrite(lines.data(), 1, lines.size(), stderr);
  std::fflush(stderr);
}

// Runs `read` with a budget on this thread; a failed allocation is a refusal like the budget's.
template <class Read>
std::unique_ptr<Mesh> Budgeted(int64_t admitted, std::function<bool(int64_t)> ask, std::string& lines, bool& refused,
                               Read read) {
  struct Scope {
    LoadBudget budget;
    LoadBudget* outer = LoadBudget::current;
    Scope() { LoadBudget::current = &budget; }
    ~Scope() { LoadBudget::current = outer; }
  } scope;
  scope.budget.lines = &lines;
  scope.budget.admitted = admitted;
  scope.budget.ask = std::move(ask);
  std::unique_ptr<Mesh> mesh;
  try {
    mesh = read();
  } catch (const std::bad_alloc&) {
    scope.budget.refused = true;
  }
  refused = scope.budget.refused;
  if (refused) mesh.reset();
  return mesh;
}

}  // namespace

unsigned FrameLoader::Workers(unsigned wanted, int64_t count) {
  const unsigned n = std::max(wanted ? wanted : AllowedCpus(), 1u);
  return count < int64_t(n) ? unsigned(std::max<int64_t>(count, 1)) : n;
}

std::unique_ptr<Mesh> FrameLoader::ReadOne(const char* owner, const std::string& name, int64_t bytes,
                                           const std::function<std::unique_ptr<Mesh>()>& read, bool* refused) {
  std::string lines;
  bool out = false;
  std::unique_ptr<Mesh> mesh = Budgeted(
      bytes, [](int64_t more) { return MemoryGuard::Fits(more); }, lines, out, read);
  Report(owner, name, lines, out);
  if (refused) *refused = out;
  return mesh;
}

int64_t FrameLoader::Run(int64_t count) {
  if (count <= 0) return 0;
  const unsigned width = Workers(workers, count);
  std::vector<Slot> slots(width);
  std::mutex mutex;
  std::condition_variable changed;
  // Frames below `dispatched` have a name and a place in memory; they are read in order.
  int64_t dispatched = 0, taken = 0, committed = 0;
  int64_t held = 0;  // bytes of frames dispatched and not yet read
  bool quit = false;

  // Reads the next dispatched frame; called with the lock held, returns with it held.
  auto loadNext = [&](std::unique_lock<std::mutex>& lock) {
    Slot& slot = slots[size_t(taken++ % width)];
    changed.notify_all();  // the frames after a local one may go ahead now
    lock.unlock();
    auto ask = [&](int64_t more) {
      std::lock_guard<std::mutex> hold(mutex);
      if (!MemoryGuard::Fits(more, held)) return false;
      held += more;
      slot.bytes += more;
      return true;
    };
    std::unique_ptr<Mesh> mesh;
    std::string lines;
    bool refused = false;
    std::exception_ptr error;
    try {
      mesh = Budgeted(slot.bytes, ask, lines, refused, [&] { return load(slot.name); });
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    slot.mesh = std::move(mesh);
    slot.lines.swap(lines);
    slot.refused = refused;
    slot.error = error;
    slot.done = true;
    held -= slot.bytes;
    changed.notify_all();
  };

  std::vector<std::thread> pool;
  pool.reserve(width);
  for (unsigned w = 0; w < width; ++w) {
    try {
      pool.emplace_back([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
          changed.wait(lock, [&] { return quit || (taken < dispatched && !slots[size_t(taken % width)].local); });
          if (quit) return;
          loadNext(lock);
        }
      });
    } catch (...) {
      break;  // fewer workers; with none the calling thread reads the frames itself
    }
  }

  enum { Going, Unnamed, NoMemory, Failed, Stopped } state = Going;
  std::string stopName;
  std::exception_ptr error;
  std::unique_lock<std::mutex> lock(mutex);
  try {
    while (committed < count && state == Going) {
      // Hand out frames while a worker is free; the guard counts what loads in flight will take.
      while (dispatched < count && dispatched - committed < int64_t(width)) {
        std::string frameName;
        lock.unlock();
        const bool named = name(dispatched, frameName, false);
        const bool local = named && !RegularFile(frameName);
        const bool turn = dispatched == committed;
        const int64_t frameBytes = named && (turn || !local) ? bytes(frameName) : 0;
        lock.lock();
        if (!named) {
          if (turn) state = Unnamed;
          break;
        }
        if (local && !turn) break;  // what may block is opened only at its turn
        if (!MemoryGuard::Fits(frameBytes, held)) {
          // Decided only once every frame before it is in the store, as one after another would.
          if (turn) state = NoMemory, stopName = frameName;
          break;
        }
        Slot& slot = slots[size_t(dispatched % width)];
        slot = Slot();
        slot.name.swap(frameName);
        slot.bytes = frameBytes;
        slot.local = local;
        held += frameBytes;
        ++dispatched;
        changed.notify_all();
      }
      if (state != Going) break;

      Slot& slot = slots[size_t(committed % width)];
      while (!slot.done) {
        if (pool.empty() || slot.local)
          loadNext(lock);
        else
          changed.wait(lock);
      }
      lock.unlock();
      Report(owner, slot.name, slot.lines, slot.refused);
      if (slot.error) std::rethrow_exception(slot.error);
      bool loaded = slot.mesh != nullptr, more = false;
      try {
        if (loaded) more = commit(std::move(slot.mesh), slot.name);
      } catch (const std::bad_alloc&) {
        MemoryGuard::Refuse(owner, slot.name.c_str());
        loaded = false;
      }
      lock.lock();
      if (loaded) {
        ++committed;
        if (!more) state = Stopped;
      } else {
        state = Failed;
      }
    }
  } catch (...) {
    error = std::current_exception();
    if (!lock.owns_lock()) lock.lock();
  }

  // Frames handed out but not yet taken are dropped; those being read are waited for.
  dispatched = taken;
  quit = true;
  changed.notify_all();
  lock.unlock();
  for (std::thread& t : pool) t.join();
  if (error) std::rethrow_exception(error);
  if (state == Unnamed) {
    std::string unused;
    name(committed, unused, true);
  }
  if (state == NoMemory) MemoryGuard::Refuse(owner, stopName.c_str());
  return committed;
}
