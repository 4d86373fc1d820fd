#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Desktop.h"
#include "ExampleData.h"
#include "Process.h"

namespace {
const char* const kUnknownType = "vexol: unknown input file type!\n";

class StartupTest : public testing::Test {
 protected:
  Process vexol;
  unsigned long window = 0;
  std::string scratch;

  void SetUp() override {
    ASSERT_TRUE(Desktop::HasDisplay()) << "process tests need an X display";
    char dir[] = "/tmp/vexol-startup-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    scratch = dir;
  }
  void TearDown() override {
    vexol.Kill();
    Desktop::Run("rm -rf '" + scratch + "'");
  }

  // Starts vexol with the arguments and waits for its main window.
  void Launch(const std::vector<std::string>& args, const std::string& cwd) {
    std::vector<std::string> argv = {VEXOL_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(vexol.Start(argv, cwd));
    window = Desktop::FindWindow("vexol", 15);
    ASSERT_NE(0u, window) << "no main window; stderr: " << vexol.err;
  }

  // Closes the window as the title bar would; the program must end by itself with status 0.
  void CloseAndExpectSuccess() {
    ASSERT_TRUE(Desktop::RequestClose(window));
    ASSERT_TRUE(vexol.WaitForExit(15)) << "still running after its window was closed";
    EXPECT_EQ(0, vexol.status) << vexol.err;
  }
};

TEST_F(StartupTest, NoArgumentOpensAnEmptyWindowSilently) {
  Launch({}, scratch);
  EXPECT_TRUE(vexol.StaysRunning(0.5));
  Desktop::Geometry g = Desktop::WindowGeometry(window);
  EXPECT_EQ(611, g.width);
  EXPECT_EQ(697, g.height);
  // What a window manager keeps the user to: no smaller than built, and no limit on growing.
  std::string hints = Desktop::Run("xprop -id " + std::to_string(window) + " WM_NORMAL_HINTS");
  EXPECT_NE(std::string::npos, hints.find("minimum size: 611 by 697")) << hints;
  EXPECT_EQ(std::string::npos, hints.find("maximum size")) << hints;
  CloseAndExpectSuccess();
  EXPECT_EQ("", vexol.out);
}

TEST_F(StartupTest, ExtensionsThatAreNotExactlyKnownAreRefused) {
  for (std::string name : {"scan.PLY", "scan.plyx", "data.old/scan", "scan.ply.bak", "scan", "scan.txt", "scan."}) {
    SCOPED_TRACE(name);
    Launch({name}, scratch);
    ASSERT_TRUE(vexol.WaitForOutput(kUnknownType, 10)) << vexol.out;
    EXPECT_TRUE(vexol.StaysRunning(0.3));
    EXPECT_EQ(kUnknownType, vexol.out);
    EXPECT_EQ("", vexol.err);
    CloseAndExpectSuccess();
  }
}

TEST_F(StartupTest, ToolkitOptionsAreTakenAsAFileName) {
  Launch({"-geometry", "100x100+300+300"}, scratch);
  ASSERT_TRUE(vexol.WaitForOutput(kUnknownType, 10)) << vexol.out;
  Desktop::Geometry g = Desktop::WindowGeometry(window);
  EXPECT_EQ(611, g.width);
  EXPECT_EQ(697, g.height);
  CloseAndExpectSuccess();
}

TEST_F(StartupTest, ADotPlyNameIsAMeshFileThatMayNotExist) {
  Launch({".ply"}, scratch);
  // The window paints its busy state before the file is read, which takes long under sanitizers.
  for (int i = 0; i < 20 && vexol.err.empty(); ++i) EXPECT_TRUE(vexol.StaysRunning(0.5));
  EXPECT_EQ("", vexol.out);
  EXPECT_NE(std::string::npos, vexol.err.find("Mesh::readPly: fail to open .ply")) << vexol.err;
  CloseAndExpectSuccess();
}

TEST_F(StartupTest, MissingFilesOfEachKindAreReportedAndTheWindowStays) {
  for (std::string name : {"missing.ply", "missing.dpt", "missing.msq", "missing.dsq"}) {
    SCOPED_TRACE(name);
    Launch({name}, scratch);
    for (int i = 0; i < 20 && (vexol.out + vexol.err).find(name) == std::string::npos; ++i)
      EXPECT_TRUE(vexol.StaysRunning(0.5));
    EXPECT_EQ(std::string::npos, vexol.out.find("unknown input file type"));
    EXPECT_EQ(std::string::npos, vexol.out.find("finish loading"));
    EXPECT_NE(std::string::npos, (vexol.out + vexol.err).find(name)) << "nothing names the missing file";
    CloseAndExpectSuccess();
  }
}

TEST_F(StartupTest, LoadsASingleMeshAndIgnoresFurtherArguments) {
  for (std::string name : {"wave.ply", "small.ply"}) {
    SCOPED_TRACE(name);
    Launch({name, "other.xyz", "third.ply"}, ExampleData::Dir());
    std::string line = "finish loading " + name + "\n";
    ASSERT_TRUE(vexol.WaitForOutput(line, 20)) << vexol.out << vexol.err;
    EXPECT_TRUE(vexol.StaysRunning(0.3));
    EXPECT_EQ(line, vexol.out);
    EXPECT_EQ("", vexol.err);
    CloseAndExpectSuccess();
  }
}

TEST_F(StartupTest, LoadsADepthMap) {
  Launch({"ripple.dpt"}, ExampleData::Dir());
  ASSERT_TRUE(vexol.WaitForOutput("finish loading ripple.dpt\n", 20)) << vexol.out << vexol.err;
  EXPECT_TRUE(vexol.StaysRunning(0.3));
  EXPECT_EQ("", vexol.err);
  CloseAndExpectSuccess();
}

TEST_F(StartupTest, AnAbsolutePathIsReportedAsGiven) {
  std::string path = ExampleData::Dir() + "/small.ply";
  Launch({path}, scratch);
  ASSERT_TRUE(vexol.WaitForOutput("finish loading " + path + "\n", 20)) << vexol.out << vexol.err;
  CloseAndExpectSuccess();
}

TEST_F(StartupTest, LoadsADepthMapSequenceFrameByFrame) {
  std::string lines = ExampleData::DepthMapSequenceLines("ripple.dsq");
  ASSERT_NE("", lines);
  Launch({"ripple.dsq"}, ExampleData::Dir());
  ASSERT_TRUE(vexol.WaitForOutput(lines, 60)) << vexol.out << vexol.err;
  EXPECT_TRUE(vexol.StaysRunning(0.5));
  EXPECT_EQ(lines, vexol.out);
  EXPECT_EQ("", vexol.err);
  CloseAndExpectSuccess();
}

TEST_F(StartupTest, LoadsAMeshSequenceFrameByFrame) {
  std::string lines = ExampleData::MeshSequenceLines("wave.msq");
  ASSERT_NE("", lines);
  Launch({"wave.msq"}, ExampleData::Dir());
  ASSERT_TRUE(vexol.WaitForOutput(lines, 60)) << vexol.out << vexol.err;
  EXPECT_TRUE(vexol.StaysRunning(0.5));
  EXPECT_EQ(lines, vexol.out);
  EXPECT_EQ("", vexol.err);
  CloseAndExpectSuccess();
}

TEST_F(StartupTest, ASequenceRunFromElsewhereFindsNoFrames) {
  Launch({ExampleData::Dir() + "/ripple.dsq"}, scratch);
  EXPECT_TRUE(vexol.StaysRunning(1.0));
  EXPECT_EQ(std::string::npos, vexol.out.find("finish loading"));
  EXPECT_NE(std::string::npos, vexol.err.find(ExampleData::FirstDepthMapFrame("ripple.dsq"))) << vexol.err;
  CloseAndExpectSuccess();
}
}  // namespace
