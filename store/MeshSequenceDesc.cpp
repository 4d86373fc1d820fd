#include "store/MeshSequenceDesc.h"

#include "store/DepthMapSequenceDesc.h"

bool MeshSequenceDesc::Read(const char* path) {
  return SequenceDesc::Read(path, &templateName, pattern, first, step, last,
                            "Invalide mesh name sequence description!");
}

std::string MeshSequenceDesc::FrameName(int32_t frame) const {
  return SequenceDesc::FormatName(pattern, frame, "MeshSequenceDesc::FrameName");
}

int64_t MeshSequenceDesc::FrameCount() const { return SequenceDesc::FrameCount(first, step, last); }
