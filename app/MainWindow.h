#pragma once
#include <FL/Fl_Window.H>

// The main window; it takes files dropped on it and hands their names to its ViewerUI (the user data).
class MainWindow : public Fl_Window {
 public:
  MainWindow(int w, int h, const char* title) : Fl_Window(w, h, title) {}
  int handle(int event) override;
};
