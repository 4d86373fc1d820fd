#pragma once
#include <cstdint>
#include <istream>
#include <string>

// Shared by both kinds of sequence description.
namespace SequenceDesc {
// Reads the optional template name, the pattern and the three numbers, printing the reader's messages.
bool Read(const char* path, std::string* templateName, std::string& pattern, int32_t& first, int32_t& step,
          int32_t& last, const char* invalidMessage);
// A name token; tokens longer than any usable name or holding a NUL are refused.
bool ReadName(std::istream& in, std::string& token);
// step > 0, last >= first, (last - first) a multiple of step.
bool IsValidRange(int32_t first, int32_t step, int32_t last);
// At most one integer conversion (flags, width, precision allowed) and any number of "%%".
bool IsValidPattern(const std::string& pattern);
// False when the name would not fit in 1023 characters; `owner` names the caller in the message,
// printed only when `report` is set.
bool FormatName(const std::string& pattern, int32_t frame, const char* owner, std::string& name, bool report);
int64_t FrameCount(int32_t first, int32_t step, int32_t last);
}  // namespace SequenceDesc
