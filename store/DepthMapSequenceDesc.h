#pragma once
#include <cstdint>
#include <string>

// A depth-map sequence description: a frame name pattern and the frame numbers first..last by step.
struct DepthMapSequenceDesc {
  std::string pattern;
  int32_t first = 0;
  int32_t step = 0;
  int32_t last = 0;

  bool Read(const char* path);
  // False when the name would be longer than 1023 characters, after a message if `report` is set.
  bool FrameName(int32_t frame, std::string& name, bool report) const;
  int64_t FrameCount() const;
};
