#include "store/SequenceDesc.h"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace {
const size_t kMaxName = 1023;
// Longer than any file name can be; keeps a hostile token from taking the file's size in memory.
const std::streamsize kMaxToken = 4096;

}  // namespace

namespace SequenceDesc {

bool Read(const char* path, std::string* templateName, std::string& pattern, int32_t& first, int32_t& step,
          int32_t& last, const char* invalidMessage) {
  std::ifstream in(path ? path : "");
  if (!in.is_open()) {
    std::printf("fail to load %s\n", path ? path : "");
    std::fflush(stdout);
    return false;
  }
  bool ok = true;
  if (templateName) ok = ReadName(in, *templateName);
  ok = ok && ReadName(in, pattern);
  if (ok) in >> first >> step >> last;
  if (!ok || in.fail()) {
    std::printf("fail to read %s\n", path);
    std::fflush(stdout);
    return false;
  }
  if (!IsValidRange(first, step, last) || !IsValidPattern(pattern)) {
    std::printf("%s\n", invalidMessage);
    std::fflush(stdout);
    return false;
  }
  return true;
}

bool ReadName(std::istream& in, std::string& token) {
  in.width(kMaxToken + 1);
  in >> token;
  in.width(0);
  if (in.fail() || std::streamsize(token.size()) > kMaxToken) return false;
  return token.find('\0') == std::string::npos;
}

bool IsValidRange(int32_t first, int32_t step, int32_t last) {
  if (step <= 0 || last < first) return false;
  return (int64_t(last) - int64_t(first)) % step == 0;
}

bool IsValidPattern(const std::string& pattern) {
  int conversions = 0;
  const size_t n = pattern.size();
  for (size_t i = 0; i < n; ++i) {
    if (pattern[i] != '%') continue;
    if (++i < n && pattern[i] == '%') continue;
    while (i < n && std::strchr("-+ #0", pattern[i]) && pattern[i] != '\0') ++i;
    // Widths and precisions beyond the name limit could only give names that are refused.
    long width = 0;
    while (i < n && pattern[i] >= '0' && pattern[i] <= '9' && width <= long(kMaxName))
      width = width * 10 + (pattern[i++] - '0');
    if (width > long(kMaxName)) return false;
    if (i < n && pattern[i] == '.') {
      long precision = 0;
      ++i;
      while (i < n && pattern[i] >= '0' && pattern[i] <= '9' && precision <= long(kMaxName))
        precision = precision * 10 + (pattern[i++] - '0');
      if (precision > long(kMaxName)) return false;
    }
    if (i >= n || !std::strchr("diuxXo", pattern[i]) || pattern[i] == '\0') return false;
    if (++conversions > 1) return false;
  }
  return true;
}

bool FormatName(const std::string& pattern, int32_t frame, const char* owner, std::string& name, bool report) {
  char buffer[kMaxName + 1];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  // The pattern has been checked to take exactly this one int, or nothing.
  int length = std::snprintf(buffer, sizeof buffer, pattern.c_str(), int(frame));
#pragma GCC diagnostic pop
  if (length < 0 || size_t(length) > kMaxName) {
    if (report) {
      std::printf("%s: name of frame %d is longer than %d characters\n", owner, int(frame), int(kMaxName));
      std::fflush(stdout);
    }
    return false;
  }
  name.assign(buffer, size_t(length));
  return true;
}

int64_t FrameCount(int32_t first, int32_t step, int32_t last) {
  if (!IsValidRange(first, step, last)) return 0;
  return (int64_t(last) - int64_t(first)) / step + 1;
}

}  // namespace SequenceDesc
