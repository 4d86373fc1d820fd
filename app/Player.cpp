#include "app/Player.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Counter.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Value_Output.H>

#include <cmath>
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
  // A load adds frames between its pumps of the event loop: nothing may step or refresh then.
  switch (ui->loading ? -1 : player->mode) {
    case Forward:
      if (LastStepShown(ui)) player->StepForward();
      break;
    case Backward:
      if (LastStepShown(ui)) player->StepBackward();
      break;
    case -1:
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

// A view that shows no mesh gets an empty "Mesh Info:": the name of a deleted mesh over a black
// view would name a picture that is not there.
void Player::ShowCurrent() {
  const MeshStore* store = ui->store;
  int32_t index = store->current;
  ui->frameOutput->value(index);
  if (index >= 0 && index < static_cast<int32_t>(store->meshes.size()) && store->meshes[index])
    ui->meshInfoOutput->value(store->meshes[index]->name.c_str());
  else
    ui->meshInfoOutput->value("");
}

// The labels change when the view has drawn the step (FrameDrawn), so that they name the picture
// on screen. Stepping divides by the count, and Delete All may empty the store while playing.
void Player::StepForward() {
  if (ui->store->meshes.empty()) return;
  ui->store->Next(EveryStep(ui));
  ui->view->redraw();
}

void Player::StepBackward() {
  if (ui->store->meshes.empty()) return;
  ui->store->Prev(EveryStep(ui));
  ui->view->redraw();
}

void Player::ShowFrame(int32_t index) {
  if (index < 0 || index >= int32_t(ui->store->meshes.size())) return;
  ui->store->current = index;
  ui->view->redraw();
}

void Player::FrameDrawn() {
  ShowCurrent();
  if (mode == Stopped) return;
  // The rate of drawn frames over half a second or more, so that it reads steadily.
  const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  if (framesDrawn == 0) rateStart = now;
  ++framesDrawn;
  const double seconds = std::chrono::duration<double>(now - rateStart).count();
  if (seconds < 0.5) return;
  ui->fpsOutput->value(std::round((framesDrawn - 1) / seconds * 10) / 10);
  framesDrawn = 1;
  rateStart = now;
}

void Player::Refresh() {
  // A redraw still pending means the screen shows an older frame, whose labels stand.
  if (!ui->view->damage()) ShowCurrent();
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
  mode = lastDirection = Forward;
  framesDrawn = 0;
}

void Player::Reverse() {
  ui->nextButton->deactivate();
  ui->prevButton->deactivate();
  ui->reverseButton->deactivate();
  ui->deleteButton->deactivate();
  ui->playButton->activate();
  mode = lastDirection = Backward;
  framesDrawn = 0;
}

void Player::Stop() {
  ui->nextButton->activate();
  ui->prevButton->activate();
  ui->playButton->activate();
  ui->reverseButton->activate();
  ui->deleteButton->activate();
  mode = Stopped;
  ui->fpsOutput->value(0);
}

void Player::PlayOrStop() {
  if (mode != Stopped)
    Stop();
  else if (ui->store->meshes.size() >= 2)
    lastDirection == Backward ? Reverse() : Play();
}

void Player::DeleteCurrent() {
  ui->store->DeleteCurrent();
  ui->view->redraw();
}
