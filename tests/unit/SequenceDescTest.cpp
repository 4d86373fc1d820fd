#include <gtest/gtest.h>

#include <string>

#include "store/DepthMapSequenceDesc.h"
#include "store/MeshSequenceDesc.h"
#include "store/SequenceDesc.h"
#include "tests/unit/TestFiles.h"

namespace {

// A frame's name, or "" when the description refuses it (after its message).
template <class Desc>
std::string NameOf(const Desc& desc, int32_t frame) {
  std::string name;
  return desc.FrameName(frame, name, true) ? name : std::string();
}

class SequenceDescTest : public testing::Test {
 protected:
  TempDir temp;
  std::string dir;

  void SetUp() override {
    ASSERT_FALSE(temp.path.empty());
    dir = temp.path;
  }

  std::string Write(const std::string& name, const std::string& text) { return temp.Write(name, text); }

  // Reads text as a mesh description and returns what was printed.
  std::string ReadMesh(const std::string& text, MeshSequenceDesc& desc, bool expected) {
    std::string path = Write("d.msq", text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(desc.Read(path.c_str()), expected) << text;
    return testing::internal::GetCapturedStdout();
  }
  std::string ReadDepth(const std::string& text, DepthMapSequenceDesc& desc, bool expected) {
    std::string path = Write("d.dsq", text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(desc.Read(path.c_str()), expected) << text;
    return testing::internal::GetCapturedStdout();
  }
};

const char* kInvalidMesh = "Invalide mesh name sequence description!\n";
const char* kInvalidDepth = "Invalide depthmap name sequence description!\n";

TEST_F(SequenceDescTest, MeshDescriptionOnOneLineGivesTheFramesOfItsRange) {
  MeshSequenceDesc desc;
  EXPECT_EQ(ReadMesh("walk_template.ply walk%03d.ply 0 2 10\n", desc, true), "");
  EXPECT_EQ(desc.templateName, "walk_template.ply");
  EXPECT_EQ(desc.pattern, "walk%03d.ply");
  EXPECT_EQ(desc.first, 0);
  EXPECT_EQ(desc.step, 2);
  EXPECT_EQ(desc.last, 10);
  EXPECT_EQ(desc.FrameCount(), 6);
  EXPECT_EQ(NameOf(desc, 0), "walk000.ply");
  EXPECT_EQ(NameOf(desc, 10), "walk010.ply");
}

TEST_F(SequenceDescTest, AnyWhitespaceSeparatesAndTheEndNeedsNoLineBreak) {
  DepthMapSequenceDesc desc;
  EXPECT_EQ(ReadDepth("\n\t  scan_%d.dpt\n\n1\t\t1 \r\n  3", desc, true), "");
  EXPECT_EQ(desc.pattern, "scan_%d.dpt");
  EXPECT_EQ(desc.FrameCount(), 3);
  EXPECT_EQ(NameOf(desc, 2), "scan_2.dpt");

  EXPECT_EQ(ReadDepth("s%d -7 7 7 whatever follows %s is not read", desc, true), "");
  EXPECT_EQ(desc.first, -7);
  EXPECT_EQ(desc.FrameCount(), 3);
  EXPECT_EQ(ReadDepth("s%d 1 1 3abc", desc, true), "");
  EXPECT_EQ(desc.last, 3);
}

TEST_F(SequenceDescTest, FirstEqualToLastIsOneFrame) {
  DepthMapSequenceDesc desc;
  ReadDepth("a%d.dpt 5 3 5", desc, true);
  EXPECT_EQ(desc.FrameCount(), 1);
  ReadDepth("a%d.dpt 0 5 10", desc, true);
  EXPECT_EQ(desc.FrameCount(), 3);
}

TEST_F(SequenceDescTest, WholeInt32RangeIsCountedWithoutOverflow) {
  DepthMapSequenceDesc desc;
  ReadDepth("a%d -2147483648 1 2147483647", desc, true);
  EXPECT_EQ(desc.FrameCount(), 4294967296LL);
  ReadDepth("a%d -2147483648 2147483647 2147483646", desc, true);
  EXPECT_EQ(desc.FrameCount(), 3);
  ReadDepth("a%d -2147483648 2147483647 2147483647", desc, false);
}

TEST_F(SequenceDescTest, MissingFileFailsToLoad) {
  MeshSequenceDesc mesh;
  DepthMapSequenceDesc depth;
  std::string path = dir + "/none.msq";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(mesh.Read(path.c_str()));
  EXPECT_FALSE(depth.Read(path.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "fail to load " + path + "\nfail to load " + path + "\n");
}

TEST_F(SequenceDescTest, MissingOrUnparsableTokensFailToRead) {
  MeshSequenceDesc mesh;
  std::string path = dir + "/d.msq";
  EXPECT_EQ(ReadMesh("scan_%d.dpt 1 1 3", mesh, false), "fail to read " + path + "\n");
  EXPECT_EQ(ReadMesh("t.ply f%d.ply 1 x 3", mesh, false), "fail to read " + path + "\n");
  EXPECT_EQ(ReadMesh("t.ply f%d.ply 1 1 99999999999", mesh, false), "fail to read " + path + "\n");
  EXPECT_EQ(ReadMesh("", mesh, false), "fail to read " + path + "\n");

  DepthMapSequenceDesc depth;
  path = dir + "/d.dsq";
  EXPECT_EQ(ReadDepth("s%d 1 1", depth, false), "fail to read " + path + "\n");
  EXPECT_EQ(ReadDepth("s%d 1.5 1 3", depth, false), "fail to read " + path + "\n");
}

TEST_F(SequenceDescTest, OverlongOrNulTokensFailToRead) {
  DepthMapSequenceDesc depth;
  std::string path = dir + "/d.dsq";
  EXPECT_EQ(ReadDepth(std::string(100000, 'x') + " 1 1 1", depth, false), "fail to read " + path + "\n");
  EXPECT_EQ(ReadDepth(std::string("a\0%s", 4) + " 1 1 1", depth, false), "fail to read " + path + "\n");
  MeshSequenceDesc mesh;
  EXPECT_EQ(ReadMesh(std::string("t\0.ply", 6) + " f%d 1 1 1", mesh, false), "fail to read " + dir + "/d.msq\n");
}

TEST_F(SequenceDescTest, RangesThatAreNotAWholeNumberOfStepsAreInvalid) {
  MeshSequenceDesc mesh;
  EXPECT_EQ(ReadMesh("t.ply f%d.ply 0 3 10", mesh, false), kInvalidMesh);
  EXPECT_EQ(ReadMesh("t.ply f%d.ply 10 1 9", mesh, false), kInvalidMesh);
  EXPECT_EQ(ReadMesh("t.ply f%d.ply 10 -1 9", mesh, false), kInvalidMesh);
  DepthMapSequenceDesc depth;
  EXPECT_EQ(ReadDepth("scan_%d.dpt 1 2 4", depth, false), kInvalidDepth);
  EXPECT_EQ(ReadDepth("scan_%d.dpt 4 2 1", depth, false), kInvalidDepth);
}

TEST_F(SequenceDescTest, StepOfZeroOrLessIsInvalid) {
  MeshSequenceDesc mesh;
  EXPECT_EQ(ReadMesh("t.ply f%d.ply 0 0 10", mesh, false), kInvalidMesh);
  EXPECT_EQ(ReadMesh("t.ply f%d.ply 5 0 5", mesh, false), kInvalidMesh);
  EXPECT_EQ(ReadMesh("t.ply f%d.ply 0 -2 10", mesh, false), kInvalidMesh);
  DepthMapSequenceDesc depth;
  EXPECT_EQ(ReadDepth("s%d 0 -2 10", depth, false), kInvalidDepth);
  EXPECT_EQ(ReadDepth("s%d 3 0 3", depth, false), kInvalidDepth);
}

TEST_F(SequenceDescTest, PatternsWithOneIntegerConversionOrNoneAreValid) {
  const char* valid[] = {"f%d",  "f%i",   "f%u",    "f%x",  "f%X",      "f%o",    "f%05d.ply", "f%-4d|", "f%+d",
                         "f%#x", "f%.3d", "f%8.3i", "f%.d", "100%%_%d", "%%%d%%", "same.ply",  "%%d",    "%1023d"};
  DepthMapSequenceDesc depth;
  for (const char* p : valid) EXPECT_EQ(ReadDepth(std::string(p) + " 1 1 2", depth, true), "") << p;
  // A blank cannot stand in a token, but the flag is still a flag.
  EXPECT_TRUE(SequenceDesc::IsValidPattern("f% d"));
}

TEST_F(SequenceDescTest, EveryOtherPatternIsInvalid) {
  const char* invalid[] = {"f%s",      "f%n",
                           "f%d%d",    "f%d_%x",
                           "f%ld",     "f%hd",
                           "f%hhd",    "f%lld",
                           "f%zd",     "f%jd",
                           "f%*d",     "f%.*d",
                           "f%",       "f%5",
                           "f%f",      "f%c",
                           "f%p",      "f%e",
                           "f%1$d",    "f%1024d",
                           "f%.1024d", "f%99999999999999999999d",
                           "f%%%",     "f%'d",
                           "f%Ld"};
  DepthMapSequenceDesc depth;
  MeshSequenceDesc mesh;
  for (const char* p : invalid) {
    EXPECT_EQ(ReadDepth(std::string(p) + " 1 1 2", depth, false), kInvalidDepth) << p;
    EXPECT_EQ(ReadMesh(std::string("t.ply ") + p + " 1 1 2", mesh, false), kInvalidMesh) << p;
  }
}

TEST_F(SequenceDescTest, FrameNamesFollowTheConversion) {
  DepthMapSequenceDesc d;
  d.pattern = "scan_%d.dpt";
  EXPECT_EQ(NameOf(d, -3), "scan_-3.dpt");
  d.pattern = "f%x";
  EXPECT_EQ(NameOf(d, 255), "fff");
  d.pattern = "f%u";
  EXPECT_EQ(NameOf(d, -1), "f4294967295");
  d.pattern = "same.dpt";
  EXPECT_EQ(NameOf(d, 1), "same.dpt");
  EXPECT_EQ(NameOf(d, 2), "same.dpt");
  d.pattern = "100%%_%+04i";
  EXPECT_EQ(NameOf(d, 7), "100%_+007");
  MeshSequenceDesc m;
  m.pattern = "m%%d";
  EXPECT_EQ(NameOf(m, 7), "m%d");
}

TEST_F(SequenceDescTest, NamesLongerThan1023CharactersAreRefusedNotCut) {
  DepthMapSequenceDesc d;
  d.pattern = std::string(1020, 'a') + "%d";
  EXPECT_EQ(NameOf(d, 123).size(), 1023u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(NameOf(d, 1234), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "DepthMapSequenceDesc::FrameName: name of frame 1234 is longer than 1023 characters\n");

  MeshSequenceDesc m;
  m.pattern = "%1023d";
  EXPECT_EQ(NameOf(m, -5).size(), 1023u);
  m.pattern = "b%1023d";
  testing::internal::CaptureStdout();
  EXPECT_EQ(NameOf(m, 1), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "MeshSequenceDesc::FrameName: name of frame 1 is longer than 1023 characters\n");
}

}  // namespace
