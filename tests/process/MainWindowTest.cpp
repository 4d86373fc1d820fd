#include <gtest/gtest.h>

#include <chrono>
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
TEST_F(MainWindowTest, APauseOfZeroPlaysWithoutFreezingTheProgram) {
  Launch({"ripple.dsq"});
  ASSERT_TRUE(vexol.WaitForOutput(ExampleData::DepthMapSequenceLines("ripple.dsq"), 60)) << vexol.err;
  Click(92, 506);                               // Play
  for (int i = 0; i < 12; ++i) Click(64, 478);  // the left arrow of "Pause:" down to 0
  Pause(0.3);
  // Several looks, as above: on a busy machine one 0.3 s window can fall between two frames.
  bool moved = false;
  for (int sample = 0; sample < 5 && !moved; ++sample) {
    std::string a = ViewDigest();
    Pause(0.3);
    moved = a != ViewDigest();
  }
  EXPECT_TRUE(moved) << "no animation with a pause of 0";
  ASSERT_TRUE(Desktop::RequestClose(window));
  ASSERT_TRUE(vexol.WaitForExit(10)) << "the program no longer answers";
  EXPECT_EQ(0, vexol.status);
}
}  // namespace
