#include "bench/Bench.h"

int DptBench(int, char**) { return 0; }
