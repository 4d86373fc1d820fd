#pragma once
#include <cstddef>
#include <cstring>
#include <string>

// The contents of a binary test file, value by value in either byte order.
struct Bytes {
  bool big = false;
  std::string data;
  template <class T>
  Bytes& Put(T value) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    for (size_t k = 0; k < sizeof(T); ++k) data.push_back(raw[big ? sizeof(T) - 1 - k : k]);
    return *this;
  }
};
