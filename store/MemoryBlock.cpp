#include "store/MemoryBlock.h"

#include <cstdlib>

void MemoryBlock::Release(MemoryBlock*& holder) {
  MemoryBlock* block = holder;
  holder = nullptr;
  if (!block) return;
  if (--block->refCount > 0) return;
  if (block->deleteWhenDone && block->memory) {
    if (block->deleter)
      block->deleter(block->memory);
    else
      std::free(block->memory);
  }
  delete block;
}
