#include <FL/Fl.H>

#include "app/Player.h"
#include "app/ViewerUI.h"
#include "store/MeshStore.h"

int main(int argc, char** argv) {
  ViewerUI ui;
  Player player;
  MeshStore* store = new MeshStore();
  Fl::visual(FL_DOUBLE);
  ui.store = store;
  ui.player = &player;
  player.ui = &ui;
  Fl::add_timeout(0.1, OnTimer, &player);
  // Only the program name goes to the toolkit, so the first argument is always a file name.
  ui.Show(1, argv);
  if (argc > 1) ui.Open(argv[1]);
  int status = Fl::run();
  delete store;
  return status;
}
