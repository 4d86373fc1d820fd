#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

// A directory of its own for test files, removed with everything in it when the object goes.
struct TempDir {
  std::string path;
  TempDir() {
    char templ[] = "/tmp/vexol_test_XXXXXX";
    if (mkdtemp(templ))
      path = templ;
    else
      ADD_FAILURE() << "could not make a directory under /tmp";
  }
  ~TempDir() {
    if (!path.empty() && std::system(("rm -rf '" + path + "'").c_str()) != 0) {
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string file = path + "/" + name;
    FILE* f = std::fopen(file.c_str(), "wb");
    const bool written = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f) std::fclose(f);
    if (!written) ADD_FAILURE() << "could not write " << file;
    return file;
  }
};

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
