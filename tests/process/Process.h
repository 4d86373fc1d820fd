#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

// A child process with its standard output and error captured through pipes.
class Process {
 public:
  pid_t pid = -1;
  int status = -1;  // exit status once it has ended, or -1
  std::string out;
  std::string err;

  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Runs args[0] with the given working directory (empty: the current one); stdin is /dev/null.
  bool Start(const std::vector<std::string>& args, const std::string& cwd = "");
  // Collects output until stdout holds text; false when the time runs out or the process ends first.
  bool WaitForOutput(const std::string& text, double seconds);
  // Collects output for a while; false if the process ended meanwhile.
  bool StaysRunning(double seconds);
  // True once the process has ended within the time; status then holds its exit status.
  bool WaitForExit(double seconds);
  void Kill();

 private:
  int outFd = -1;
  int errFd = -1;
  void Collect(int timeoutMs);
  bool Reap();
};
