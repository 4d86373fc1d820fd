#include "store/DepthMapSequenceDesc.h"

#include "store/SequenceDesc.h"

bool DepthMapSequenceDesc::Read(const char* path) {
  return SequenceDesc::Read(path, nullptr, pattern, first, step, last, "Invalide depthmap name sequence description!");
}

bool DepthMapSequenceDesc::FrameName(int32_t frame, std::string& name, bool report) const {
  return SequenceDesc::FormatName(pattern, frame, "DepthMapSequenceDesc::FrameName", name, report);
}

int64_t DepthMapSequenceDesc::FrameCount() const { return SequenceDesc::FrameCount(first, step, last); }
