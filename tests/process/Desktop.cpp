#include "Desktop.h"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace {
// The test programs are not linked against Xlib, so it is looked up at run time.
struct Xlib {
  void* library = dlopen("libX11.so.6", RTLD_NOW);
  Display* (*openDisplay)(const char*) = reinterpret_cast<Display* (*)(const char*)>(Find("XOpenDisplay"));
  Atom (*internAtom)(Display*, const char*,
                     Bool) = reinterpret_cast<Atom (*)(Display*, const char*, Bool)>(Find("XInternAtom"));
  Status (*sendEvent)(Display*, Window, Bool, long, XEvent*) =
      reinterpret_cast<Status (*)(Display*, Window, Bool, long, XEvent*)>(Find("XSendEvent"));
  int (*flush)(Display*) = reinterpret_cast<int (*)(Display*)>(Find("XFlush"));
  Display* display = nullptr;

  void* Find(const char* name) { return library ? dlsym(library, name) : nullptr; }
  bool Usable() const { return openDisplay && internAtom && sendEvent && flush; }
};

Xlib& X() {
  static Xlib xlib;
  return xlib;
}
}  // namespace

// The server resets when its last client leaves and refuses connections meanwhile; holding one
// open keeps every program started later from meeting such a reset.
bool Desktop::HasDisplay() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name || !X().Usable()) return false;
  for (int attempt = 0; attempt < 40 && !X().display; ++attempt) {
    X().display = X().openDisplay(nullptr);
    if (!X().display) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return X().display != nullptr;
}

std::string Desktop::Run(const std::string& command) {
  std::string result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.append(buffer, n);
  pclose(pipe);
  return result;
}

unsigned long Desktop::FindWindow(const std::string& title, double seconds) {
  auto start = std::chrono::steady_clock::now();
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
    std::string ids = Run("xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null");
    unsigned long id = std::strtoul(ids.c_str(), nullptr, 10);
    if (id) return id;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

Desktop::Geometry Desktop::WindowGeometry(unsigned long window) {
  Geometry g;
  std::istringstream lines(Run("xdotool getwindowgeometry --shell " + std::to_string(window)));
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    int value = std::atoi(line.c_str() + eq + 1);
    if (key == "X") g.x = value;
    if (key == "Y") g.y = value;
    if (key == "WIDTH") g.width = value;
    if (key == "HEIGHT") g.height = value;
  }
  return g;
}

bool Desktop::RequestClose(unsigned long window) {
  if (!HasDisplay()) return false;
  Display* display = X().display;
  XEvent event = {};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = X().internAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(X().internAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  bool sent = X().sendEvent(display, window, False, NoEventMask, &event) != 0;
  X().flush(display);
  return sent;
}

void Desktop::Click(int x, int y) {
  // Not --sync: it waits for a motion that never comes when the pointer is already there.
  Run("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) +
      " sleep 0.1 mousedown 1 sleep 0.1 mouseup 1 sleep 0.2");
}

void Desktop::Key(const std::string& keys) { Run("xdotool key " + keys + " sleep 0.2"); }

namespace {
std::string Crop(int x, int y, int width, int height) {
  return "xwd -root -silent | convert xwd:- -crop " + std::to_string(width) + "x" + std::to_string(height) + "+" +
         std::to_string(x) + "+" + std::to_string(y) + " +repage ";
}
}  // namespace

std::string Desktop::RegionDigest(int x, int y, int width, int height) {
  return Run(Crop(x, y, width, height) + "rgb:- | md5sum");
}

std::vector<std::string> Desktop::RegionDigests(const std::vector<Geometry>& regions) {
  std::vector<std::string> digests;
  char path[] = "/tmp/vexol-screen-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return digests;
  close(fd);
  const std::string file = path;
  Run("xwd -root -silent > " + file);
  for (const Geometry& r : regions)
    digests.push_back(Run("convert xwd:" + file + " -crop " + std::to_string(r.width) + "x" + std::to_string(r.height) +
                          "+" + std::to_string(r.x) + "+" + std::to_string(r.y) + " +repage rgb:- | md5sum"));
  unlink(path);
  return digests;
}

double Desktop::RegionMean(int x, int y, int width, int height) {
  return std::atof(Run(Crop(x, y, width, height) + "-format '%[fx:mean]' info:").c_str());
}
