#include "bench/Bench.h"

int DrawBench(int, char**) { return 0; }
