#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace {
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }
}  // namespace

Process::~Process() { Kill(); }

bool Process::Start(const std::vector<std::string>& args, const std::string& cwd) {
  Kill();
  status = -1;
  out.clear();
  err.clear();
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0) return false;
  if (pipe(errPipe) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return false;
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid = fork();
  if (pid == 0) {
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return false;
  }
  outFd = outPipe[0];
  errFd = errPipe[0];
  return true;
}

void Process::Collect(int timeoutMs) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  if (outFd < 0 && errFd < 0) {
    usleep(timeoutMs * 1000);
    return;
  }
  if (poll(fds, 2, timeoutMs) <= 0) return;
  int* fd[2] = {&outFd, &errFd};
  std::string* text[2] = {&out, &err};
  for (int i = 0; i < 2; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
    char buffer[4096];
    ssize_t n = read(*fd[i], buffer, sizeof buffer);
    if (n > 0) {
      text[i]->append(buffer, n);
    } else {
      close(*fd[i]);
      *fd[i] = -1;
    }
  }
}

bool Process::Reap() {
  if (pid < 0) return true;
  int raw = 0;
  if (waitpid(pid, &raw, WNOHANG) != pid) return false;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  pid = -1;
  return true;
}

bool Process::WaitForOutput(const std::string& text, double seconds) {
  Clock::time_point start = Clock::now();
  while (out.find(text) == std::string::npos) {
    if (SecondsSince(start) > seconds) return false;
    if (outFd < 0 && errFd < 0 && Reap()) return false;
    Collect(20);
  }
  return true;
}

bool Process::StaysRunning(double seconds) {
  Clock::time_point start = Clock::now();
  while (SecondsSince(start) < seconds) {
    Collect(20);
    if (Reap()) return false;
  }
  return true;
}

bool Process::WaitForExit(double seconds) {
  Clock::time_point start = Clock::now();
  while (SecondsSince(start) < seconds) {
    Collect(20);
    if (Reap()) {
      for (int i = 0; i < 100 && (outFd >= 0 || errFd >= 0); ++i) Collect(20);
      return true;
    }
  }
  return false;
}

void Process::Kill() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  outFd = errFd = -1;
}
