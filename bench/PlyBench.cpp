#include "bench/Bench.h"

int PlyBench(int, char**) { return 0; }
