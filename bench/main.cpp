#include <cstdio>
#include <cstring>

#include "bench/Bench.h"

// vexol-bench             every case on generated data
// vexol-bench KIND FILE.. one line per file: path, tab, median milliseconds; for dsq and msq the
//                         median with the default workers, tab, the median with one worker
int main(int argc, char** argv) {
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
