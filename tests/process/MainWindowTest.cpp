#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Desktop.h"
#include "ExampleData.h"
#include "Process.h"

namespace {
void Pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// The running program driven with the real pointer and keyboard; positions are window-relative.
class MainWindowTest : public testing::Test {
 protected:
  Process vexol;
  unsigned long window = 0;
  Desktop::Geometry frame;

  void SetUp() override { ASSERT_TRUE(Desktop::HasDisplay()) << "process tests need an X display"; }

  void Launch(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VEXOL_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(vexol.Start(argv, ExampleData::Dir()));
    window = Desktop::FindWindow("vexol", 15);
    ASSERT_NE(0u, window) << vexol.err;
    frame = Desktop::WindowGeometry(window);
  }

  void Click(int x, int y) { Desktop::Click(frame.x + x, frame.y + y); }

  // File > Exit; the question box opens under the pointer, which keeps the keys on it.
  void PickExit() {
    Click(19, 15);
    Click(29, 146);
    Pause(0.5);
  }

  std::string ViewDigest() { return Desktop::RegionDigest(frame.x + 130, frame.y + 30, 480, 640); }
  double ViewMean() { return Desktop::RegionMean(frame.x + 130, frame.y + 30, 480, 640); }
};

TEST_F(MainWindowTest, ExitAnsweredYesInTheQuestionBoxEndsWithStatusZero) {
  Launch({});
  PickExit();
  ASSERT_TRUE(vexol.StaysRunning(0.3)) << "ended before the question was answered";
  Desktop::Key("Return");
  ASSERT_TRUE(vexol.WaitForExit(10)) << "the question box did not end the program";
  EXPECT_EQ(0, vexol.status);
}

TEST_F(MainWindowTest, ExitAnsweredNoKeepsRunning) {
  Launch({});
  PickExit();
  Desktop::Key("Escape");
  EXPECT_TRUE(vexol.StaysRunning(1.0));
  ASSERT_TRUE(Desktop::RequestClose(window));
  ASSERT_TRUE(vexol.WaitForExit(10));
  EXPECT_EQ(0, vexol.status);
}

TEST_F(MainWindowTest, EscapeNeitherInTheWindowNorInANestedMenuEndsTheProgram) {
  Launch({"ripple.dpt"});
  ASSERT_TRUE(vexol.WaitForOutput("finish loading ripple.dpt\n", 20)) << vexol.err;
  Desktop::Run("xdotool mousemove " + std::to_string(frame.x + 300) + " " + std::to_string(frame.y + 300));
  Desktop::Key("Escape");
  ASSERT_TRUE(vexol.StaysRunning(0.5)) << "Escape in the window ended the program";
  Click(70, 15);  // Render, then Appearance's submenu opened by pointing at it
  Desktop::Run("xdotool mousemove " + std::to_string(frame.x + 90) + " " + std::to_string(frame.y + 41) + " sleep 0.3");
  Desktop::Key("Escape Escape Escape");
  ASSERT_TRUE(vexol.StaysRunning(0.5)) << "Escape out of the menu ended the program";
  EXPECT_GT(ViewMean(), 0.02) << "the mesh is no longer shown";
  ASSERT_TRUE(Desktop::RequestClose(window));
  ASSERT_TRUE(vexol.WaitForExit(10)) << "the title bar's close no longer ends the program";
  EXPECT_EQ(0, vexol.status);
}

TEST_F(MainWindowTest, ALoadedMeshIsDrawnAndDeleteAllClearsTheView) {
  Launch({"ripple.dpt"});
  ASSERT_TRUE(vexol.WaitForOutput("finish loading ripple.dpt\n", 20)) << vexol.err;
  Pause(0.5);
  EXPECT_GT(ViewMean(), 0.02);
  Click(19, 15);
  Click(40, 124);  // Delete All
  Pause(0.5);
  EXPECT_LT(ViewMean(), 0.001);
  EXPECT_TRUE(vexol.StaysRunning(0.2));
}

TEST_F(MainWindowTest, EveryRenderModeDrawsTheMesh) {
  Launch({"ripple.dpt"});
  ASSERT_TRUE(vexol.WaitForOutput("finish loading ripple.dpt\n", 20)) << vexol.err;
  Pause(0.5);
  std::vector<std::string> seen;
  for (int y : {154, 178, 130}) {  // Wireframe, Points, back to Surface
    std::string before = ViewDigest();
    Click(65, y + 12);
    Pause(0.5);
    EXPECT_GT(ViewMean(), 0.002) << "nothing drawn after the radio at y " << y;
    seen.push_back(ViewDigest());
    EXPECT_NE(before, seen.back()) << "the picture did not change for the radio at y " << y;
  }
  EXPECT_NE(seen[0], seen[1]);
}

TEST_F(MainWindowTest, ASequencePlaysForwardsAndBackwardsAndStops) {
  Launch({"ripple.dsq"});
  std::string lines = ExampleData::DepthMapSequenceLines("ripple.dsq");
  ASSERT_TRUE(vexol.WaitForOutput(lines, 60)) << vexol.err;
  for (int i = 0; i < 50 && ViewMean() < 0.02; ++i) Pause(0.2);  // the first frame drawn, slow under sanitizers
  Pause(0.5);
  std::string still = ViewDigest();
  Pause(0.3);
  EXPECT_EQ(still, ViewDigest()) << "the picture changes while stopped";
  for (int x : {92, 37}) {  // Play, then Reverse
    Click(x, 506);
    Pause(0.3);
    // A loaded machine may hold a tick back past one sample; the picture must move within five.
    bool moved = false;
    for (int sample = 0; sample < 5 && !moved; ++sample) {
      std::string a = ViewDigest();
      Pause(0.3);
      moved = a != ViewDigest();
    }
    EXPECT_TRUE(moved) << "no animation after the button at x " << x;
  }
  Click(92, 531);  // Stop
  Pause(0.3);
  std::string stopped = ViewDigest();
  Pause(0.3);
  EXPECT_EQ(stopped, ViewDigest());
  EXPECT_TRUE(vexol.StaysRunning(0.2));
}

// Every frame of the example sequence is drawn in about twice the default pause here, so at Pause 1
// and 0 drawing sets the pace. "Frame:" must name the picture shown: a tick that steps before the
// last step is drawn left them 7-19 frames apart in a quarter of the screenshots.
TEST_F(MainWindowTest, AtShortPausesFrameNamesThePictureShown) {
  Launch({"ripple.dsq"});
  ASSERT_TRUE(vexol.WaitForOutput(ExampleData::DepthMapSequenceLines("ripple.dsq"), 60)) << vexol.err;
  Pause(0.5);
  const std::vector<Desktop::Geometry> regions = {{frame.x + 130, frame.y + 30, 480, 640},
                                                  {frame.x + 60, frame.y + 383, 60, 25}};
  const int kFrames = 40;
  std::map<std::string, int> pictures, labels;  // each frame's picture and "Frame:", stepped with Next
  for (int i = 0; i < kFrames; ++i) {
    if (i > 0) Click(92, 425);  // Next
    std::vector<std::string> shot = Desktop::RegionDigests(regions);
    for (int look = 0; look < 10 && (pictures.count(shot[0]) || labels.count(shot[1])); ++look) {
      Pause(0.2);  // a busy machine may not have drawn the step yet
      shot = Desktop::RegionDigests(regions);
    }
    ASSERT_EQ(2u, shot.size());
    pictures[shot[0]] = i;
    labels[shot[1]] = i;
  }
  ASSERT_EQ(size_t(kFrames), pictures.size()) << "two frames look alike";
  ASSERT_EQ(size_t(kFrames), labels.size());

  Click(92, 506);  // Play
  int clicks = 0;
  for (int pause : {1, 0}) {
    while (pause < 10 - clicks) Click(64, 478), ++clicks;  // the left arrow of "Pause:", from 10
    Pause(0.3);
    std::set<int> seen;
    for (int sample = 0; sample < 15; ++sample) {
      std::vector<std::string> shot = Desktop::RegionDigests(regions);
      ASSERT_EQ(1u, pictures.count(shot[0])) << "a picture of no frame";
      ASSERT_EQ(1u, labels.count(shot[1])) << "a \"Frame:\" of no frame";
      const int picture = pictures[shot[0]], label = labels[shot[1]];
      seen.insert(picture);
      // The view and the control column reach the screen as separate images: a busy X server was
      // seen to show them up to 3 steps apart.
      const int apart = std::abs((label - picture + kFrames + kFrames / 2) % kFrames - kFrames / 2);
      EXPECT_LE(apart, 4) << "\"Frame:\" shows " << label << " over the picture of frame " << picture
                          << " at the pause of " << pause;
    }
    EXPECT_GT(seen.size(), 2u) << "no animation at the pause of " << pause;
  }
  ASSERT_TRUE(Desktop::RequestClose(window));
  ASSERT_TRUE(vexol.WaitForExit(10)) << "the program no longer answers";
  EXPECT_EQ(0, vexol.status);
}
}  // namespace
