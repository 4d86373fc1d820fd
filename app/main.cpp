#include <FL/Fl.H>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "app/Player.h"
#include "app/ViewerUI.h"
#include "store/MeshStore.h"

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // One heap for all threads: what a sequence's workers free stays within reach of the rest of
  // the program, where a heap per worker would keep it (and the memory guard count it as taken).
  mallopt(M_ARENA_MAX, 1);
#endif
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
