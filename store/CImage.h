#pragma once
#include <cstdint>

#include "store/MemoryBlock.h"

// width x height x bands image of int32 elements, row by row, bands of a pixel side by side.
class CImage {
 public:
  int32_t width = 0;
  int32_t height = 0;
  int32_t bands = 0;
  int32_t pixelStride = 0;
  int32_t rowStride = 0;
  int32_t* pixels = nullptr;
  MemoryBlock* block = nullptr;

  CImage() = default;
  ~CImage();
  CImage(const CImage&) = delete;
  CImage& operator=(const CImage&) = delete;

  // Fresh, uninitialised memory of the requested shape, unless force is false and the shape is
  // already that one. Refuses negative sizes and byte counts beyond int32, and reports a failed
  // allocation on standard error; on false the image is left exactly as it was.
  bool Reallocate(int32_t width, int32_t height, int32_t bands, bool force);
  void Release();
  void Swap(CImage& other);

  int32_t& At(int32_t x, int32_t y, int32_t band = 0) { return pixels[y * rowStride + x * pixelStride + band]; }
  int32_t At(int32_t x, int32_t y, int32_t band = 0) const { return pixels[y * rowStride + x * pixelStride + band]; }
};
