#include "store/Dialogs.h"

#include <FL/Fl_Color_Chooser.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/fl_ask.H>

namespace {
// The question box with No and Yes is what the program asks with; fl_choice would change its look.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
int ToolkitAsk(const char* question) { return fl_ask("%s", question); }
#pragma GCC diagnostic pop
const char* ToolkitChooseFile(const char* message, const char* pattern, const char* fname, int relative) {
  return fl_file_chooser(message, pattern, fname, relative);
}
int ToolkitChooseColor(const char* title, double& r, double& g, double& b) { return fl_color_chooser(title, r, g, b); }
}  // namespace

int (*Dialogs::ask)(const char*) = ToolkitAsk;
const char* (*Dialogs::chooseFile)(const char*, const char*, const char*, int) = ToolkitChooseFile;
int (*Dialogs::chooseColor)(const char*, double&, double&, double&) = ToolkitChooseColor;

std::string Dialogs::folder;

void Dialogs::UseToolkit() {
  ask = ToolkitAsk;
  chooseFile = ToolkitChooseFile;
  chooseColor = ToolkitChooseColor;
}
