#include "store/CImage.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>

#include "geometry/HugePages.h"
#include "geometry/LoadBudget.h"

CImage::~CImage() { Release(); }

bool CImage::Reallocate(int32_t newWidth, int32_t newHeight, int32_t newBands, bool force) {
  if (!force && newWidth == width && newHeight == height && newBands == bands) return true;
  int64_t count = int64_t(newBands) * newWidth * newHeight;
  bool badShape = newWidth < 0 || newHeight < 0 || newBands < 0 || count * 4 > INT32_MAX ||
                  int64_t(newBands) * newWidth > INT32_MAX;
  void* memory = nullptr;
  MemoryBlock* holder = nullptr;
  if (!badShape && count > 0) {
    memory = std::malloc(size_t(count) * 4);
    PreferHugePages(memory, size_t(count) * 4);
    holder = memory ? new (std::nothrow) MemoryBlock : nullptr;
    if (!holder) {
      std::free(memory);
      memory = nullptr;
    }
  }
  if (badShape || (count > 0 && !memory)) {
    LoadBudget::Say(("CImage::Reallocate: could not allocate " + std::to_string(count) + "int\n").c_str());
    return false;
  }
  MemoryBlock::Release(block);
  width = newWidth;
  height = newHeight;
  bands = newBands;
  pixelStride = newBands;
  rowStride = newBands * newWidth;
  pixels = static_cast<int32_t*>(memory);
  if (memory) {
    block = holder;
    block->memory = memory;
    block->refCount = 1;
    block->byteSize = int32_t(count * 4);
    block->deleteWhenDone = true;
  }
  return true;
}

void CImage::Release() {
  MemoryBlock::Release(block);
  pixels = nullptr;
  width = height = bands = pixelStride = rowStride = 0;
}

void CImage::Swap(CImage& other) {
  std::swap(width, other.width);
  std::swap(height, other.height);
  std::swap(bands, other.bands);
  std::swap(pixelStride, other.pixelStride);
  std::swap(rowStride, other.rowStride);
  std::swap(pixels, other.pixels);
  std::swap(block, other.block);
}
