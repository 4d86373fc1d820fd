#include "ExampleData.h"

#include <cstdio>
#include <fstream>

namespace {
std::string FrameName(const std::string& pattern, int frame) {
  char name[1024];
  std::snprintf(name, sizeof name, pattern.c_str(), frame);
  return name;
}

std::string FrameLines(const std::string& pattern, int first, int step, int last) {
  std::string lines;
  for (int i = first; step > 0 && i <= last; i += step) lines += "finish loading " + FrameName(pattern, i) + "\r";
  return lines;
}
}  // namespace

std::string ExampleData::Dir() {
  std::string binary = VEXOL_BINARY;
  return binary.substr(0, binary.rfind('/')) + "/examples/data";
}

std::string ExampleData::DepthMapSequenceLines(const std::string& description) {
  std::ifstream in(Dir() + "/" + description);
  std::string pattern;
  int first, step, last;
  if (!(in >> pattern >> first >> step >> last)) return "";
  return FrameLines(pattern, first, step, last);
}

std::string ExampleData::MeshSequenceLines(const std::string& description) {
  std::ifstream in(Dir() + "/" + description);
  std::string templateName, pattern;
  int first, step, last;
  if (!(in >> templateName >> pattern >> first >> step >> last)) return "";
  return FrameLines(pattern, first, step, last);
}

std::string ExampleData::FirstDepthMapFrame(const std::string& description) {
  std::ifstream in(Dir() + "/" + description);
  std::string pattern;
  int first;
  if (!(in >> pattern >> first)) return "";
  return FrameName(pattern, first);
}
