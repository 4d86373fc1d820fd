#pragma once
#include <string>

// The one seam through which the store and the view open modal dialogs. The program uses the
// toolkit's dialogs; tests swap in their own answers.
struct Dialogs {
  // 1 for Yes, 0 for No.
  static int (*ask)(const char* question);
  // Null when cancelled.
  static const char* (*chooseFile)(const char* message, const char* pattern, const char* fname, int relative);
  // 1 when OK was pressed; r, g, b in [0, 1] are in/out.
  static int (*chooseColor)(const char* title, double& r, double& g, double& b);
  // The folder the next file chooser opens in (with a trailing "/"): where the last file was chosen
  // from; empty until then, which means the working folder.
  static std::string folder;
  static void UseToolkit();
};
