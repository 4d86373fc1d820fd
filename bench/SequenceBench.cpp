#include "bench/Bench.h"

int DsqBench(int, char**) { return 0; }
int MsqBench(int, char**) { return 0; }
