#include "geometry/LoadBudget.h"

#include <cstdio>

thread_local LoadBudget* LoadBudget::current = nullptr;

void LoadBudget::Say(const char* line) {
  if (current && current->lines) {
    current->lines->append(line);
    return;
  }
  std::fputs(line, stderr);
  std::fflush(stderr);
}

bool LoadBudget::Grow(int64_t bytes) {
  LoadBudget* b = current;
  if (!b || bytes <= 0) return true;
  if (b->refused) return false;
  b->grown += bytes;
  if (b->grown <= b->admitted) return true;
  if (b->ask && b->ask(b->grown - b->admitted)) {
    b->admitted = b->grown;
    return true;
  }
  b->refused = true;
  return false;
}
