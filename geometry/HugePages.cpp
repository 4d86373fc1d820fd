#include "geometry/HugePages.h"

#include <cstdint>
#if defined(__linux__)
#include <sys/mman.h>
#endif

void PreferHugePages(void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const uintptr_t huge = uintptr_t{2} << 20;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(data) + huge - 1) & ~(huge - 1);
  const uintptr_t last = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(huge - 1);
  if (data && last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}
