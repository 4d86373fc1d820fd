#pragma once
#include <string>

// The example files the build writes next to the program, and what loading them prints.
class ExampleData {
 public:
  static std::string Dir();
  // The "finish loading NAME\r" lines of every frame the description names; empty if unreadable.
  static std::string DepthMapSequenceLines(const std::string& description);
  static std::string MeshSequenceLines(const std::string& description);
  static std::string FirstDepthMapFrame(const std::string& description);
};
