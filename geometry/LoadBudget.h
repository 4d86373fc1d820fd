#pragma once
#include <cstdint>
#include <functional>
#include <string>

// What the load on this thread may still take, and where its readers' lines go. The store sets
// one for the length of a file's read; without one, lines go straight to standard error and the
// arrays grow unasked.
class LoadBudget {
 public:
  std::string* lines = nullptr;  // the file's lines, written at its turn; null: standard error
  int64_t admitted = 0;          // bytes the arrays may grow by without asking
  int64_t grown = 0;
  // Asked for bytes beyond `admitted`; false refuses them.
  std::function<bool(int64_t more)> ask;
  bool refused = false;

  static thread_local LoadBudget* current;
  // One whole line, newline included.
  static void Say(const char* line);
  // Before an array of the load grows by `bytes`; false when the memory is not there.
  static bool Grow(int64_t bytes);
};
