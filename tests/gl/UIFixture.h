#pragma once
#include <gtest/gtest.h>

#include "app/Player.h"
#include "app/ViewerUI.h"
#include "store/MeshStore.h"

// The program's main window over an empty store, tied to the store and the player as main() ties them.
class UITest : public testing::Test {
 protected:
  ViewerUI* ui = nullptr;
  MeshStore* store = nullptr;
  Player player;

  void ShowUI() {
    ui = new ViewerUI();
    store = new MeshStore();
    ui->store = store;
    ui->player = &player;
    player.ui = ui;
    char name[] = "vexol";
    char* argv[] = {name, nullptr};
    ui->Show(1, argv);
  }

  void CloseUI() {
    delete store;  // resets the view, so it goes first
    delete ui->window;
    delete ui;
  }
};
