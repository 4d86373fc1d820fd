#include <cstdio>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "bench/Bench.h"

// vexol-bench             every case on generated data
// vexol-bench KIND FILE.. one line per file: path, tab, median milliseconds; for dsq and msq the
//                         median with the default workers, tab, the median with one worker, tab,
//                         the median to allocate and first-touch what the frames keep
int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // One heap for all threads: what a sequence's workers free stays within reach of the rest of
  // the program, where a heap per worker would keep it (and the memory guard count it as taken).
  mallopt(M_ARENA_MAX, 1);
#endif
  struct Case {
    const char* kind;
    int (*run)(int, char**);
  };
  const Case cases[] = {
      {"ply", PlyBench}, {"dpt", DptBench}, {"draw", DrawBench}, {"dsq", DsqBench}, {"msq", MsqBench}};
  if (argc >= 2) {
    for (const Case& c : cases)
      if (std::strcmp(argv[1], c.kind) == 0) return c.run(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: %s [ply|dpt|draw|dsq|msq FILE...]\n", argv[0]);
    return 2;
  }
  int status = 0;
  for (const Case& c : cases) status |= c.run(0, nullptr);
  return status;
}
