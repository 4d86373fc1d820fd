#pragma once
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Counter.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Value_Output.H>
#include <FL/Fl_Window.H>

#include <chrono>
#include <cstdint>

#include "view/MeshView.h"

class MeshStore;
class Player;

// The main window: menu bar, view, control column and the "Mesh Info:" line.
class ViewerUI {
 public:
  Fl_Window* window;
  MeshView* view;
  Fl_Value_Output* frameOutput;
  Fl_Counter* everyCounter;
  Fl_Button* nextButton;
  Fl_Button* prevButton;
  Fl_Counter* pauseCounter;
  Fl_Button* playButton;
  Fl_Button* reverseButton;
  Fl_Button* stopButton;
  Fl_Button* deleteButton;
  Fl_Light_Button* grayShadeButton;
  Fl_Light_Button* trueColorButton;
  Fl_Check_Button* lightButton;
  Fl_Output* meshInfoOutput;
  Fl_Value_Output* fpsOutput;
  // Stands in for "Mesh Info:" while a load runs.
  Fl_Progress* progressBar;
  MeshStore* store = nullptr;
  Player* player = nullptr;
  // A load runs: input is held back, except Escape and the close box, which are remembered here.
  bool loading = false;
  bool stopRequested = false;
  bool closeRequested = false;
  // The counter the user is working with, which keeps its own arrow keys.
  Fl_Widget* counterInUse = nullptr;

  // The menu bar works on this table in place, so check and radio marks live here.
  static Fl_Menu_Item mainMenu[];

  ViewerUI();
  void Show(int argc, char** argv);

  // Opens a file by its exact, case-sensitive extension, as the command line and a drop do.
  void Open(const char* path);
  // A drop: a list of file URIs (or plain paths), one a line.
  void Drop(const char* text, int length);
  // The store's progress hook: shows how far a load has got and keeps the window painted.
  bool ShowProgress(int64_t done, int64_t total);
  // Ends what ShowProgress began, and brings the labels in line with a store a load may have changed.
  void EndLoad();
  // The playback and viewpoint keys; 1 when the key was taken.
  int HandleKey();
  // While a load runs: which events still reach the widgets.
  int FilterWhileLoading(int event, Fl_Window* w);

 private:
  char progressText[80] = "";
  std::chrono::steady_clock::time_point lastPump;
};
