#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "geometry/HugePages.h"

namespace {

// The transparent huge page mode in force: "always", "madvise" or "never" ("" when unknown).
std::string HugePageMode() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string line;
  std::getline(in, line);
  const size_t open = line.find('['), close = line.find(']');
  return open == std::string::npos || close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

// Kilobytes of huge pages backing [begin, end), from /proc/self/smaps: advice splits a mapping,
// so every piece that overlaps counts.
long AnonHugeKb(uintptr_t begin, uintptr_t end) {
  std::ifstream in("/proc/self/smaps");
  std::string line;
  bool inside = false;
  long total = 0;
  while (std::getline(in, line)) {
    unsigned long from = 0, to = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2) {  // a mapping's first line
      inside = from < end && begin < to;
      continue;
    }
    long kb = 0;
    if (inside && std::sscanf(line.c_str(), "AnonHugePages: %ld kB", &kb) == 1) total += kb;
  }
  return total;
}

}  // namespace

// Fresh memory, advised and then filled, comes in huge pages wherever the system grants them on
// request; the contents are whatever was written.
TEST(HugePages, FreshMemoryAdvisedIsBackedByHugePages) {
  const std::string mode = HugePageMode();
  if (mode != "madvise" && mode != "always") GTEST_SKIP() << "transparent huge pages are '" << mode << "' here";
  const size_t bytes = size_t{16} << 20;
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, p);
  char* c = static_cast<char*>(p) + 100;  // not aligned: only the whole huge pages inside count
  PreferHugePages(c, bytes - 100);
  for (size_t k = 0; k < bytes - 100; ++k) c[k] = static_cast<char>(k * 7);
  const long kb = AnonHugeKb(reinterpret_cast<uintptr_t>(p), reinterpret_cast<uintptr_t>(p) + bytes);
  bool same = true;
  for (size_t k = 0; k < bytes - 100; ++k) same = same && c[k] == static_cast<char>(k * 7);
  munmap(p, bytes);
  EXPECT_TRUE(same);
  // 16 MiB from an address 100 bytes in hold at least six whole 2 MiB pages.
  EXPECT_GE(kb, 6 * 2048) << "huge pages in the mapping";
}

// Memory in use keeps its contents; sizes too small for a whole huge page and null are no-ops.
// (Mapped here rather than taken from the heap: a large freed block would change where later
// tests in this process get their memory from.)
TEST(HugePages, AdviceLeavesContentsAndSmallOrNullRangesAlone) {
  const size_t count = size_t{3} << 20;
  void* p = mmap(nullptr, count * sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, p);
  uint32_t* filled = static_cast<uint32_t*>(p);
  for (size_t k = 0; k < count; ++k) filled[k] = static_cast<uint32_t>(k * 2654435761u);
  PreferHugePages(filled, count * sizeof(uint32_t));
  bool same = true;
  for (size_t k = 0; k < count; ++k) same = same && filled[k] == static_cast<uint32_t>(k * 2654435761u);
  munmap(p, count * sizeof(uint32_t));
  EXPECT_TRUE(same);
  char small[64] = "unchanged";
  PreferHugePages(small, sizeof small);
  EXPECT_STREQ("unchanged", small);
  PreferHugePages(nullptr, size_t{64} << 20);
}
