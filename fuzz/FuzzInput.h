#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

// The readers take paths, so each input goes through a file in memory-backed /dev/shm.
inline std::string WriteFuzzInput(const uint8_t* data, size_t size, const char* suffix) {
  std::string path = "/dev/shm/vexol-fuzz-" + std::to_string(getpid()) + suffix;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return path;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
  return path;
}
