#pragma once
#include <algorithm>
#include <chrono>
#include <vector>

// Each case runs on generated data when given no files, else prints "path\tmedian ms" per file.
int PlyBench(int argc, char** argv);
int DptBench(int argc, char** argv);
int DrawBench(int argc, char** argv);
int DsqBench(int argc, char** argv);
int MsqBench(int argc, char** argv);

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Median wall-clock milliseconds of `runs` calls of f.
template <class F>
double MedianMs(int runs, F&& f) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    auto t1 = std::chrono::steady_clock::now();
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  return Median(ms);
}
