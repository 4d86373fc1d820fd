#pragma once
#include <string>
#include <vector>

// The X display the tests run on, driven from outside as a user would.
class Desktop {
 public:
  struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
  };

  // Whether DISPLAY names a server that answers; the connection stays open for the whole run.
  static bool HasDisplay();
  // Shell command; returns its standard output.
  static std::string Run(const std::string& command);
  // Id of the first visible window whose title is exactly title, or 0 when none shows up in time.
  static unsigned long FindWindow(const std::string& title, double seconds);
  static Geometry WindowGeometry(unsigned long window);
  // What the title bar's close box does: a WM_DELETE_WINDOW message to the window.
  static bool RequestClose(unsigned long window);
  static void Click(int x, int y);
  static void Key(const std::string& keys);
  // Fingerprint of the screen's pixels in a rectangle, and their mean brightness in 0 to 1.
  static std::string RegionDigest(int x, int y, int width, int height);
  // Fingerprints of several rectangles taken from one screenshot, so that they show the same moment.
  static std::vector<std::string> RegionDigests(const std::vector<Geometry>& regions);
  static double RegionMean(int x, int y, int width, int height);
};
