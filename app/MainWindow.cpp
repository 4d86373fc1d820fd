#include "app/MainWindow.h"

#include <FL/Fl.H>

#include "app/ViewerUI.h"

int MainWindow::handle(int event) {
  switch (event) {
    // No child takes a drop, so the window takes it wherever it lands; the toolkit then sends the
    // dropped names as a paste to the widget below the mouse.
    case FL_DND_ENTER:
    case FL_DND_DRAG:
    case FL_DND_RELEASE:
      Fl::belowmouse(this);
      return 1;
    case FL_DND_LEAVE:
      return 1;
    case FL_PASTE:
      static_cast<ViewerUI*>(user_data())->Drop(Fl::event_text(), Fl::event_length());
      return 1;
    default:
      return Fl_Window::handle(event);
  }
}
