#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "store/CImage.h"

// One camera view read from a .dpt file; lives only for the load of that file.
class DepthMap {
 public:
  double fx = 0, fy = 0, cx = 0, cy = 0, skew = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t bands = 0;
  CImage indexImage;           // per pixel: position of its depth in `depths`, or -1
  std::vector<double> depths;  // one per valid pixel, row-major scan order
  std::string name;

  static const int64_t kHeaderBytes = 48;
  // The camera and the size from a file's first 48 bytes; false when the size is negative or the
  // image's byte size would not fit an int32.
  bool ReadHeader(const unsigned char* header);
  int64_t MaskBytes() const { return (int64_t(width) * height + 31) / 32 * 4; }
  // The most a load of the file holds at once: index image, mask, depths and mesh, all alive
  // while the mesh is built. A file of `fileBytes` (-1: unknown) bounds the depths it can hold.
  int64_t LoadBytes(int64_t fileBytes) const;

  // On false (after one line on standard error) the map is left as it was before the call.
  bool LoadFromFile(const char* path);
  // Fills the index image from the validity bit mask (least significant bit first, bits run on
  // across rows); the mask must hold width * height bits. Returns the number of valid pixels,
  // or -1 when the image memory cannot be had.
  int32_t BuildIndexImage(const uint8_t* mask);
  bool SetDepths(const float* values, int32_t count);
  void Swap(DepthMap& other);
};
