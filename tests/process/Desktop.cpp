#include "Desktop.h"

#include <X11/Xlib.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

bool Desktop::HasDisplay() {
  const char* display = std::getenv("DISPLAY");
  return display && *display;
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

// The test programs are not linked against Xlib, so it is looked up at run time.
bool Desktop::RequestClose(unsigned long window) {
  void* xlib = dlopen("libX11.so.6", RTLD_NOW);
  if (!xlib) return false;
  auto openDisplay = reinterpret_cast<Display* (*)(const char*)>(dlsym(xlib, "XOpenDisplay"));
  auto internAtom = reinterpret_cast<Atom (*)(Display*, const char*, Bool)>(dlsym(xlib, "XInternAtom"));
  auto sendEvent = reinterpret_cast<Status (*)(Display*, Window, Bool, long, XEvent*)>(dlsym(xlib, "XSendEvent"));
  auto flush = reinterpret_cast<int (*)(Display*)>(dlsym(xlib, "XFlush"));
  auto closeDisplay = reinterpret_cast<int (*)(Display*)>(dlsym(xlib, "XCloseDisplay"));
  bool sent = false;
  Display* display = openDisplay && internAtom && sendEvent && flush && closeDisplay ? openDisplay(nullptr) : nullptr;
  if (display) {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = internAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(internAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    sent = sendEvent(display, window, False, NoEventMask, &event) != 0;
    flush(display);
    closeDisplay(display);
  }
  dlclose(xlib);
  return sent;
}

void Desktop::Click(int x, int y) {
  Run("xdotool mousemove --sync " + std::to_string(x) + " " + std::to_string(y) +
      " sleep 0.1 mousedown 1 sleep 0.1 mouseup 1 sleep 0.2");
}

void Desktop::Key(const std::string& keys) { Run("xdotool key " + keys + " sleep 0.2"); }

bool Desktop::Screenshot(const std::string& pngPath) {
  return std::system(("xwd -root -silent | convert xwd:- '" + pngPath + "'").c_str()) == 0;
}

namespace {
std::string Crop(int x, int y, int width, int height) {
  return "xwd -root -silent | convert xwd:- -crop " + std::to_string(width) + "x" + std::to_string(height) + "+" +
         std::to_string(x) + "+" + std::to_string(y) + " +repage ";
}
}  // namespace

std::string Desktop::RegionDigest(int x, int y, int width, int height) {
  return Run(Crop(x, y, width, height) + "rgb:- | md5sum");
}

double Desktop::RegionMean(int x, int y, int width, int height) {
  return std::atof(Run(Crop(x, y, width, height) + "-format '%[fx:mean]' info:").c_str());
}
