#include "store/MeshSequenceDesc.h"

#include "store/SequenceDesc.h"

bool MeshSequenceDesc::Read(const char* path) {
  return SequenceDesc::Read(path, &templateName, pattern, first, step, last,
                            "Invalide mesh name sequence description!");
}

bool MeshSequenceDesc::FrameName(int32_t frame, std::string& name, bool report) const {
  return SequenceDesc::FormatName(pattern, frame, "MeshSequenceDesc::FrameName", name, report);
}

int64_t MeshSequenceDesc::FrameCount() const { return SequenceDesc::FrameCount(first, step, last); }
