#pragma once
#include <chrono>
#include <cstdint>

enum PlayMode : int { Forward = 0, Backward = 1, Stopped = 2 };

class ViewerUI;

// Steps the store's current mesh on timer ticks and keeps the playback controls in step with it.
class Player {
 public:
  ViewerUI* ui = nullptr;
  PlayMode mode = Stopped;
  // The direction Space starts playing in: the one last played.
  PlayMode lastDirection = Forward;
  // Frames drawn while playing since rateStart, for "FPS:".
  int framesDrawn = 0;
  std::chrono::steady_clock::time_point rateStart;

  void StepForward();
  void StepBackward();
  void ShowFrame(int32_t index);
  void Refresh();
  void Play();
  void Reverse();
  void Stop();
  void PlayOrStop();
  void DeleteCurrent();
  // "Frame:" and "Mesh Info:" for the current mesh.
  void ShowCurrent();
  // The view has just drawn the current mesh.
  void FrameDrawn();
};

// Timer callback; data is the Player. Re-arms itself with the "Pause:" delay.
void OnTimer(void* data);
