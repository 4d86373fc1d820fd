#pragma once

enum PlayMode : int { Forward = 0, Backward = 1, Stopped = 2 };

class ViewerUI;

// Playback state; the timer callback steps the store while mode is not Stopped.
class Player {
 public:
  PlayMode mode = Stopped;
  ViewerUI* ui = nullptr;
  static void OnTimer(void* player);
};
