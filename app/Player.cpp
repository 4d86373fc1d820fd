#include "app/Player.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Counter.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Value_Output.H>

#include <cstdint>

#include "app/ViewerUI.h"
#include "store/MeshStore.h"
#include "view/MeshView.h"

namespace {
const double kShortestDelay = 0.001;

uint32_t EveryStep(const ViewerUI* ui) { return static_cast<uint32_t>(static_cast<int>(ui->everyCounter->value())); }

void SetActive(Fl_Widget* w, bool active) {
  if (active)
    w->activate();
  else
    w->deactivate();
}

// Whether the view and the displays show what the last step made current.
bool LastStepShown(const ViewerUI* ui) { return ui->view->damage() == 0 && ui->window->damage() == 0; }
}  // namespace

void OnTimer(void* data) {
  Player* player = static_cast<Player*>(data);
  ViewerUI* ui = player->ui;
  // The toolkit runs every due timeout before it draws, and a late tick re-arms as already due: a
  // step taken before the last one is on screen would never be seen. Such a tick only re-arms, so
  // playback slows to the drawing rate when drawing takes longer than the pause.
  switch (player->mode) {
    case Forward:
      if (LastStepShown(ui)) player->StepForward();
      break;
    case Backward:
      if (LastStepShown(ui)) player->StepBackward();
      break;
    default:
      player->Refresh();
      break;
  }
  double delay = ui->pauseCounter->value() * 0.001;
  // A timeout re-armed with no delay from inside its own callback is due at once and runs again in
  // the same pass of the toolkit's loop, forever; the smallest delay lets the pass end, so events
  // and drawing come in between.
  if (delay <= 0)
    Fl::add_timeout(kShortestDelay, OnTimer, data);
  else
    Fl::repeat_timeout(delay, OnTimer, data);
}

void Player::ShowCurrent() {
  const MeshStore* store = ui->store;
  int32_t index = store->current;
  ui->frameOutput->value(index);
  if (index >= 0 && index < static_cast<int32_t>(store->meshes.size()) && store->meshes[index])
    ui->meshInfoOutput->value(store->meshes[index]->name.c_str());
}

// Stepping divides by the count, and Delete All may empty the store while playing.
void Player::StepForward() {
  if (ui->store->meshes.empty()) return;
  ui->store->Next(EveryStep(ui));
  ShowCurrent();
  ui->view->redraw();
}

void Player::StepBackward() {
  if (ui->store->meshes.empty()) return;
  ui->store->Prev(EveryStep(ui));
  ShowCurrent();
  ui->view->redraw();
}

void Player::Refresh() {
  ShowCurrent();
  size_t count = ui->store->meshes.size();
  SetActive(ui->deleteButton, count >= 1);
  bool browsable = count >= 2;
  SetActive(ui->nextButton, browsable);
  SetActive(ui->prevButton, browsable);
  SetActive(ui->playButton, browsable);
  SetActive(ui->reverseButton, browsable);
  SetActive(ui->stopButton, browsable);
}

void Player::Play() {
  ui->nextButton->deactivate();
  ui->prevButton->deactivate();
  ui->playButton->deactivate();
  ui->deleteButton->deactivate();
  ui->reverseButton->activate();
  mode = Forward;
}

void Player::Reverse() {
  ui->nextButton->deactivate();
  ui->prevButton->deactivate();
  ui->reverseButton->deactivate();
  ui->deleteButton->deactivate();
  ui->playButton->activate();
  mode = Backward;
}

void Player::Stop() {
  ui->nextButton->activate();
  ui->prevButton->activate();
  ui->playButton->activate();
  ui->reverseButton->activate();
  ui->deleteButton->activate();
  mode = Stopped;
}

void Player::DeleteCurrent() {
  ui->store->DeleteCurrent();
  ui->view->redraw();
}
