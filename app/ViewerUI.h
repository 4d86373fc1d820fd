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
#include <FL/Fl_Value_Output.H>
#include <FL/Fl_Window.H>

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
  MeshStore* store = nullptr;
  Player* player = nullptr;

  // The menu bar works on this table in place, so check and radio marks live here.
  static Fl_Menu_Item mainMenu[];

  ViewerUI();
  void Show(int argc, char** argv);
};
