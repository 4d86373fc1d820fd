#pragma once
#include <algorithm>
#include <cstddef>
#include <vector>

// Grows v to size with copies of the block's records, one library copy per block: several times
// faster than resize, which initialises large arrays of plain records one record at a time.
template <class T, size_t N>
void AppendCopies(std::vector<T>& v, size_t size, const T (&block)[N]) {
  while (v.size() < size) v.insert(v.end(), block, block + std::min(size - v.size(), N));
}

// The same with zeroed records: what resize gives, faster.
template <class T>
void AppendZeroed(std::vector<T>& v, size_t size) {
  static const T zero[512] = {};
  AppendCopies(v, size, zero);
}
