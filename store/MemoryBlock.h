#pragma once
#include <cstdint>

// Reference-counted owner of an image's pixel memory.
struct MemoryBlock {
  void* memory = nullptr;
  int32_t refCount = 0;
  int32_t byteSize = 0;
  bool deleteWhenDone = false;
  void (*deleter)(void*) = nullptr;  // null: the memory came from std::malloc

  // Drops one holder; frees the memory and the block when none is left. Sets holder to null.
  static void Release(MemoryBlock*& holder);
};
