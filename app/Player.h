#pragma once

enum PlayMode : int { Forward = 0, Backward = 1, Stopped = 2 };

class ViewerUI;

// Steps the store's current mesh on timer ticks and keeps the playback controls in step with it.
class Player {
 public:
  ViewerUI* ui = nullptr;
  PlayMode mode = Stopped;

  void StepForward();
  void StepBackward();
  void Refresh();
  void Play();
  void Reverse();
  void Stop();
  void DeleteCurrent();

 private:
  void ShowCurrent();
};

// Timer callback; data is the Player. Re-arms itself with the "Pause:" delay.
void OnTimer(void* data);
