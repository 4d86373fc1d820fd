#pragma once
#include <cstdint>

// Whether a load may go on: the memory a file's mesh will take must leave a reserve free, or the
// system would end the process to get it back and everything loaded would be lost.
class MemoryGuard {
 public:
  // Bytes the system can still hand out, and its physical memory. Tests swap in their own figures.
  static int64_t (*available)();
  static int64_t (*physical)();
  static void UseSystem();
  // MemAvailable from a file laid out as /proc/meminfo; without it, free and buffer memory.
  static int64_t AvailableIn(const char* meminfo);

  // The larger of 256 MiB and 5% of physical memory.
  static int64_t Reserve();
  // True when `bytes` more, on top of `held` promised to loads still running, leave the reserve free.
  static bool Fits(int64_t bytes, int64_t held = 0);
  // The most a load of the file holds at once, from its header and size; 0 when it is not a
  // regular file or its header cannot be read (the reader then has its own say).
  static int64_t DepthMapBytes(const char* path);
  static int64_t PlyBytes(const char* path, bool faces);
  // "<owner>: not enough memory for <path>" on standard error.
  static void Refuse(const char* owner, const char* path);
  // Fits(bytes), else Refuse(owner, path) and false.
  static bool Admits(const char* owner, const char* path, int64_t bytes);
};
