#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "geometry/Mesh.h"
#include "tests/unit/TestFiles.h"

namespace {

// Shared by all tests here; made on first use, so listing the tests makes none, and removed
// when the program ends.
const TempDir& Files() {
  static TempDir dir;
  return dir;
}

std::string Dir() { return Files().path; }

std::string WriteFile(const std::string& name, const std::string& bytes) {
  const std::string path = Dir() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_TRUE(f != nullptr) << path;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}

std::string Header(const std::string& format, const std::string& body) {
  return "ply\nformat " + format + " 1.0\n" + body + "end_header\n";
}

const char* const kXyz = "property float x\nproperty float y\nproperty float z\n";

struct Outcome {
  bool ok;
  std::string err;
};

Outcome Read(Mesh& mesh, const std::string& path, PlyReadOptions& options) {
  testing::internal::CaptureStderr();
  const bool ok = mesh.readPly(path.c_str(), options);
  return {ok, testing::internal::GetCapturedStderr()};
}

Outcome Read(Mesh& mesh, const std::string& path) {
  PlyReadOptions options;
  return Read(mesh, path, options);
}

std::string Line(const std::string& text, const std::string& path) { return "Mesh::readPly: " + text + path + "\n"; }

// The unit triangle and a second one, as ASCII.
std::string AsciiTriangles() {
  return Header("ascii",
                "element vertex 4\n" + std::string(kXyz) + "element face 2\nproperty list uchar int vertex_indices\n") +
         "0 0 0\n1 0 0\n0 1 0\n1 1 0\n3 0 1 2\n3 1 3 2\n";
}

// ---- failures ------------------------------------------------------------------------------

TEST(ReadPly, FailuresPrintOneLineNamingTheFile) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string message;  // before the path
    PlyReadOptions options;
  };
  PlyReadOptions detect, requireConfidence, requireColor, requireMask, skipFaces;
  requireConfidence.readConfidence = Require;
  requireColor.readColor = Require;
  requireMask.readMask = Require;
  skipFaces.readFaces = Skip;
  const std::string twoColours = Header("ascii", "element vertex 1\n" + std::string(kXyz) +
                                                     "property uchar diffuse_red\nproperty uchar diffuse_green\n") +
                                 "0 0 0 1 2\n";
  const std::string renamedList =
      Header("ascii", "element vertex 3\n" + std::string(kXyz) + "element face 1\nproperty list uchar int indices\n") +
      "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n";
  // Under the line limit, but the second line grows the buffer from under the words of the first.
  const std::string longLines = "comment list " + std::string(900000, 'c') + "\n" + std::string(1048570, 'w') + "\n";
  std::string oneShort = AsciiTriangles();
  oneShort.replace(oneShort.find("vertex 4"), 8, "vertex 3");
  const std::vector<Case> cases = {
      {"not-ply.ply", "plx\nformat ascii 1.0\nend_header\n", "fail to read ", detect},
      {"bare-property.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty\nend_header\n0\n", "fail to read ",
       detect},
      {"bare-property-after-long-lines.ply",
       "ply\nformat binary_little_endian 1.0\nelement vertex 1\n" + longLines + "property\nend_header\n",
       "fail to read ", detect},
      {"bare-list.ply", "ply\nformat ascii 1.0\nelement face 1\nproperty list uchar\nend_header\n0\n", "fail to read ",
       detect},
      {"bare-element.ply", "ply\nformat ascii 1.0\nelement\nend_header\n", "fail to read ", detect},
      {"bare-format.ply", "ply\nformat\nend_header\n", "fail to read ", detect},
      {"line-over-limit.ply", "ply\nformat ascii 1.0\ncomment " + std::string(2 << 20, 'c'), "fail to read ", detect},
      {"no-format.ply", "ply\nelement vertex 0\nend_header\n", "fail to read ", detect},
      {"no-y.ply", Header("ascii", "element vertex 1\nproperty float x\nproperty float z\n") + "0 0\n",
       "fail to read xyz in ", detect},
      {"x-twice.ply",
       Header("ascii", "element vertex 1\nproperty float x\nproperty float x\nproperty float y\n") + "0 0 0\n",
       "fail to read xyz in ", detect},
      {"x-list.ply",
       Header("ascii", "element vertex 1\nproperty list uchar float x\nproperty float y\nproperty float z\n") +
           "1 0 0 0\n",
       "fail to read x in ", detect},
      {"scalar-indices.ply",
       Header("ascii", "element vertex 1\n" + std::string(kXyz) + "element face 1\nproperty int vertex_indices\n") +
           "0 0 0\n0\n",
       "fail to read vertex_indices in ", detect},
      {"no-confidence.ply", Header("ascii", "element vertex 1\n" + std::string(kXyz)) + "0 0 0\n",
       "fail to read confidence in ", requireConfidence},
      {"two-colours.ply", twoColours, "fail to read rgb in ", requireColor},
      {"no-mask.ply", Header("ascii", "element vertex 1\n" + std::string(kXyz)) + "0 0 0\n", "fail to read mask in ",
       requireMask},
      {"renamed-list.ply", renamedList, "fail to read vertex_indices in ", detect},
      {"renamed-list-skipped.ply", renamedList, "fail to read vertex_indices in ", skipFaces},
      {"index-high.ply",
       Header("ascii",
              "element vertex 3\n" + std::string(kXyz) + "element face 1\nproperty list uchar int vertex_indices\n") +
           "0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n",
       "fail to read vertex_indices in ", detect},
      {"index-negative.ply",
       Header("ascii",
              "element vertex 3\n" + std::string(kXyz) + "element face 1\nproperty list uchar int vertex_indices\n") +
           "0 0 0\n1 0 0\n0 1 0\n4 0 1 2 -1\n",
       "fail to read vertex_indices in ", detect},
      {"ascii-short.ply", Header("ascii", "element vertex 3\n" + std::string(kXyz)) + "0 0 0\n1 0 0\n", "fail to read ",
       detect},
      {"count-with-comma.ply", Header("ascii", "element vertex 1,000\n" + std::string(kXyz)) + "0 0 0\n",
       "fail to read ", detect},
      // The last vertex line would be read as a face, and the last face line left over.
      {"vertex-count-one-short.ply", oneShort, "fail to read ", detect},
      {"text-after-the-data.ply", AsciiTriangles() + "\n3 0 1 2\n", "fail to read ", detect},
      {"dropped-face-index-high.ply",
       Header("ascii",
              "element vertex 3\n" + std::string(kXyz) + "element face 1\nproperty list uchar int vertex_indices\n") +
           "0 0 0\n1 0 0\n0 1 0\n2 0 99\n",
       "fail to read vertex_indices in ", detect},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = WriteFile(c.name, c.bytes);
    Mesh mesh;
    PlyReadOptions options = c.options;
    const Outcome got = Read(mesh, path, options);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(Line(c.message, path), got.err);
    EXPECT_EQ("", mesh.name);
  }
}

TEST(ReadPly, MissingFileFailsToOpen) {
  Mesh mesh;
  const std::string path = Dir() + "/absent.ply";
  const Outcome got = Read(mesh, path);
  EXPECT_FALSE(got.ok);
  EXPECT_EQ(Line("fail to open ", path), got.err);
}

// Data faults the reader meets below the mesh level: one lower-level line may come first, the
// last line always names the file, and the process lives on.
TEST(ReadPly, DataFaultsFailInsteadOfEndingTheProcess) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string lowLevel;
  };
  Bytes cut;
  cut.Put(1.0f).Put(2.0f);  // z missing
  Bytes badList;
  badList.Put(0.0f).Put(0.0f).Put(0.0f).Put(int32_t{-3});
  Bytes longList;
  longList.Put(0.0f).Put(0.0f).Put(0.0f).Put(int32_t{1000}).Put(int32_t{0});
  const std::string xyzFace =
      "element vertex 1\n" + std::string(kXyz) + "element face 1\nproperty list int int vertex_indices\n";
  const std::vector<Case> cases = {
      {"cut.ply", Header("binary_little_endian", "element vertex 1\n" + std::string(kXyz)) + cut.data,
       ""},  // refused by the count check: 12 bytes cannot be there
      {"cut-list.ply", Header("binary_little_endian", xyzFace) + longList.data, ""},
      {"negative-count.ply", Header("binary_little_endian", xyzFace) + badList.data, ""},
      {"unknown-type-binary.ply",
       Header("binary_little_endian", "element vertex 1\n" + std::string(kXyz) + "property half h\n") + cut.data +
           "xxxxxx",
       "get_binary_item: bad type = 0\n"},
      {"unknown-type-ascii.ply",
       Header("ascii", "element vertex 1\n" + std::string(kXyz) + "property half h\n") + "0 0 0 0\n",
       "get_ascii_item: bad type = 0\n"},
      {"ascii-eof.ply", Header("ascii", "element vertex 3\n" + std::string(kXyz)) + "0 0 0 0 0 0 0 0 0\n1 1 1\n",
       "ply_get_element: unexpected end of file\n"},
      {"ascii-too-few-words.ply", Header("ascii", "element vertex 2\n" + std::string(kXyz)) + "0 0 0\n1    1\n", ""},
      {"ascii-huge-list.ply",
       Header("ascii",
              "element vertex 1\n" + std::string(kXyz) + "element face 1\nproperty list uchar int vertex_indices\n") +
           "0 0 0\n2000000000 0 0 0\n",
       ""},
      {"ascii-negative-list.ply",
       Header("ascii",
              "element vertex 1\n" + std::string(kXyz) + "element face 1\nproperty list int int vertex_indices\n") +
           "0 0 0\n-1 0 0 0\n",
       ""},
      {"huge-count.ply", Header("binary_little_endian", "element vertex 2000000000\n" + std::string(kXyz)) + cut.data,
       ""},
      {"huge-ascii-count.ply", Header("ascii", "element vertex 40\n" + std::string(kXyz)) + "0 0 0\n", ""},
      {"negative-element-count.ply", Header("ascii", "element vertex -1\n" + std::string(kXyz)), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = WriteFile(c.name, c.bytes);
    Mesh mesh;
    const Outcome got = Read(mesh, path);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(c.lowLevel + Line("fail to read ", path), got.err);
  }
}

TEST(ReadPly, BinaryCutInsideAFaceFailsAfterTheShortReadLine) {
  // The count check passes (a face may be shorter than this one), the data then runs out.
  Bytes b;
  b.Put(0.0f).Put(0.0f).Put(0.0f);
  b.Put(uint8_t{3}).Put(int32_t{0}).Put(int32_t{0}).Put(int32_t{0}).Put(int16_t{0});
  const std::string path = WriteFile(
      "cut-face.ply", Header("binary_little_endian",
                             "element vertex 1\n" + std::string(kXyz) +
                                 "element face 1\nproperty list uchar int vertex_indices\nproperty int flags\n") +
                          b.data);
  Mesh mesh;
  const Outcome got = Read(mesh, path);
  EXPECT_FALSE(got.ok);
  EXPECT_EQ("can't read in get_binary_item\n" + Line("fail to read ", path), got.err);
}

// Binary triangles take a path of their own, straight into the mesh; polygons among them go
// the general way. Both check every index, in any chunk of the face element.
TEST(ReadPly, BinaryFaceIndicesAreCheckedOnTrianglesAndPolygonsAlike) {
  const int faces = 9000;  // a little over two chunks of the face reader
  struct Case {
    const char* name;
    int at;     // the face that is bad, -1 for none
    bool quad;  // the bad face is a quad among the triangles
    int32_t index;
  };
  const Case cases[] = {{"good", -1, false, 0},        {"high-early", 10, false, 3}, {"high-late", 8999, false, 3},
                        {"negative", 5000, false, -1}, {"quad-high", 4500, true, 7}, {"quad-negative", 4096, true, -2},
                        {"quad-good", 4097, true, 1}};
  for (bool big : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (big ? " big-endian" : " little-endian"));
      Bytes b;
      b.big = big;
      for (int v = 0; v < 3; ++v) b.Put(float(v & 1)).Put(float(v >> 1)).Put(0.0f);
      for (int f = 0; f < faces; ++f) {
        const int32_t last = f == c.at ? c.index : 2;
        if (f == c.at && c.quad)
          b.Put(uint8_t{4}).Put(int32_t{0}).Put(int32_t{1}).Put(int32_t{2}).Put(last);
        else
          b.Put(uint8_t{3}).Put(int32_t{f % 2}).Put(int32_t{1 - f % 2}).Put(f == c.at ? last : 2);
      }
      const std::string path =
          WriteFile(std::string(c.name) + (big ? "-be.ply" : "-le.ply"),
                    Header(big ? "binary_big_endian" : "binary_little_endian",
                           "element vertex 3\n" + std::string(kXyz) + "element face " + std::to_string(faces) +
                               "\nproperty list uchar int vertex_indices\n") +
                        b.data);
      Mesh mesh;
      const Outcome got = Read(mesh, path);
      const bool bad = c.at >= 0 && (c.index < 0 || c.index > 2);
      EXPECT_EQ(!bad, got.ok);
      if (bad) {
        EXPECT_EQ(Line("fail to read vertex_indices in ", path), got.err);
        continue;
      }
      EXPECT_EQ("", got.err);
      ASSERT_EQ(static_cast<size_t>(faces + (c.quad ? 1 : 0)), mesh.triangles.size());
      for (size_t t = 0; t < mesh.triangles.size(); ++t) {
        // Face f is triangle f before the quad's two halves, f + 1 after them.
        const int f = c.quad && static_cast<int>(t) > c.at ? static_cast<int>(t) - 1 : static_cast<int>(t);
        const MeshTriangle& tri = mesh.triangles[t];
        if (c.quad && (f == c.at)) {
          const int half = static_cast<int>(t) - c.at;  // 0 or 1
          EXPECT_EQ(0, tri.indices[0]) << t;
          EXPECT_EQ(1 + half, tri.indices[1]) << t;
          EXPECT_EQ(2 + half * (c.index - 2), tri.indices[2]) << t;
          continue;
        }
        EXPECT_EQ(f % 2, tri.indices[0]) << t;
        EXPECT_EQ(1 - f % 2, tri.indices[1]) << t;
        EXPECT_EQ(2, tri.indices[2]) << t;
        EXPECT_EQ(0.0f, tri.normal[0]) << t;
      }
    }
  }
}

TEST(ReadPly, BinaryTrianglesCutShortFail) {
  Bytes b;
  for (int v = 0; v < 3; ++v) b.Put(0.0f).Put(0.0f).Put(0.0f);
  b.Put(uint8_t{3}).Put(int32_t{0}).Put(int32_t{1}).Put(int32_t{2});
  b.Put(uint8_t{3}).Put(int32_t{2}).Put(int32_t{1});  // the second triangle ends early
  const std::string path =
      WriteFile("cut-triangle.ply",
                Header("binary_little_endian", "element vertex 3\n" + std::string(kXyz) +
                                                   "element face 2\nproperty list uchar int vertex_indices\n") +
                    b.data);
  Mesh mesh;
  const Outcome got = Read(mesh, path);
  EXPECT_FALSE(got.ok);
  EXPECT_EQ(Line("fail to read ", path), got.err);  // the list is longer than the bytes left
  EXPECT_TRUE(mesh.triangles.empty());
}

// Header work linear in its size: searching names per element or per request once made these
// take minutes.
TEST(ReadPly, HeadersOfManyElementsOrPropertiesLoadQuickly) {
  std::string elements = Header("ascii", "");
  elements.resize(elements.size() - std::string("end_header\n").size());
  for (int k = 0; k < 200000; ++k) elements += "element e" + std::to_string(k) + " 0\n";
  elements += "end_header\n";
  std::string properties = "element vertex 1\n" + std::string(kXyz);
  std::string values = "1 2 3";
  for (int k = 0; k < 100000; ++k) {
    properties += "property uchar p" + std::to_string(k) + "\n";
    values += " 7";
  }
  const std::vector<std::pair<std::string, std::string>> files = {
      {"many-elements.ply", elements}, {"many-properties.ply", Header("ascii", properties) + values + "\n"}};
  for (const auto& file : files) {
    SCOPED_TRACE(file.first);
    const std::string path = WriteFile(file.first, file.second);
    const auto start = std::chrono::steady_clock::now();
    Mesh mesh;
    const Outcome got = Read(mesh, path);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(got.ok) << got.err;
    EXPECT_LT(seconds, 10.0);
  }
}

// After a first chunk of large polygons the rest of the faces are empty: the array reserved for
// the triangles still to come is bounded by the indices the bytes left can hold.
TEST(ReadPly, PolygonRatesReserveNoMoreThanTheBytesLeftCanFill) {
  const int polygons = 4096, corners = 200, empty = 400000;
  Bytes b;
  for (int v = 0; v < corners; ++v) b.Put(float(v)).Put(float(v % 7)).Put(0.0f);
  for (int f = 0; f < polygons; ++f) {
    b.Put(uint8_t(corners));
    for (int k = 0; k < corners; ++k) b.Put(int32_t(k));
  }
  for (int f = 0; f < empty; ++f) b.Put(uint8_t{0});
  const std::string path =
      WriteFile("polygons-then-empty.ply",
                Header("binary_little_endian", "element vertex " + std::to_string(corners) + "\n" + std::string(kXyz) +
                                                   "element face " + std::to_string(polygons + empty) +
                                                   "\nproperty list uchar int vertex_indices\n") +
                    b.data);
  Mesh mesh;
  const Outcome got = Read(mesh, path);
  ASSERT_TRUE(got.ok) << got.err;
  const size_t made = static_cast<size_t>(polygons) * (corners - 2);
  ASSERT_EQ(made, mesh.triangles.size());
  // The empty faces hold no index: four bytes each would be one more triangle at most.
  EXPECT_LE(mesh.triangles.capacity(), made + empty / 4);
}

TEST(ReadPly, FailedReadLeavesTheMeshAsItWas) {
  Mesh mesh;
  ASSERT_TRUE(Read(mesh, WriteFile("good.ply", AsciiTriangles())).ok);
  const std::string name = mesh.name;
  const std::string bad =
      WriteFile("bad-index.ply", Header("ascii", "element vertex 3\n" + std::string(kXyz) +
                                                     "element face 1\nproperty list uchar int vertex_indices\n") +
                                     "5 5 5\n1 0 0\n0 1 0\n3 0 1 7\n");
  EXPECT_FALSE(Read(mesh, bad).ok);
  EXPECT_EQ(name, mesh.name);
  ASSERT_EQ(4u, mesh.vertices.size());
  EXPECT_EQ(0.0f, mesh.vertices[0].position[0]);
  EXPECT_EQ(2u, mesh.triangles.size());
}

#if !defined(__SANITIZE_ADDRESS__)
long VirtualBytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0;
  if (f) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return pages * sysconf(_SC_PAGESIZE);
}

TEST(ReadPly, AllocationFailureFailsTheRead) {
  // A valid file read by a child whose address space has no room for its 32 MB of vertices.
  std::string bytes = Header("binary_little_endian", "element vertex 1000000\n" + std::string(kXyz));
  bytes.resize(bytes.size() + 1000000 * 12, '\0');
  const std::string path = WriteFile("big.ply", bytes);
  const std::string errors = Dir() + "/big.err";
  std::string().swap(bytes);
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Large blocks from fresh mappings, not from heap that earlier tests in this process freed.
    malloc_trim(0);
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    rlimit limit;
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = static_cast<rlim_t>(VirtualBytes() + (16 << 20));
    setrlimit(RLIMIT_AS, &limit);
    if (!std::freopen(errors.c_str(), "w", stderr)) _exit(2);
    Mesh mesh;
    PlyReadOptions options;
    _exit(mesh.readPly(path.c_str(), options) ? 1 : 7);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(7, WEXITSTATUS(status));
  FILE* f = std::fopen(errors.c_str(), "r");
  ASSERT_TRUE(f != nullptr);
  char text[512] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  EXPECT_EQ(Line("fail to read ", path), std::string(text, n));
  std::remove(path.c_str());
}
#endif

// ---- what a file yields ----------------------------------------------------------------------

TEST(ReadPly, FileWithoutElementsIsAnEmptyMeshWithItsName) {
  const std::string path = WriteFile("empty.ply", Header("ascii", ""));
  Mesh mesh;
  PlyReadOptions options;
  options.readConfidence = Require;
  const Outcome got = Read(mesh, path, options);
  EXPECT_TRUE(got.ok);
  EXPECT_EQ("", got.err);
  EXPECT_EQ(path, mesh.name);
  EXPECT_TRUE(mesh.vertices.empty());
  EXPECT_TRUE(mesh.triangles.empty());
  EXPECT_EQ(1, options.isAscii);
  EXPECT_EQ(Require, options.readConfidence);
}

TEST(ReadPly, PositionsOnlyGetDefaultsAndDetectTurnsToZero) {
  const std::string path =
      WriteFile("xyz.ply", Header("ascii", "element vertex 2\n" + std::string(kXyz)) + "1 2 3\n-4 5.5 6e1\n");
  Mesh mesh;
  PlyReadOptions options;
  ASSERT_TRUE(Read(mesh, path, options).ok);
  EXPECT_EQ(0, options.readConfidence);
  EXPECT_EQ(0, options.readColor);
  EXPECT_EQ(0, options.readMask);
  EXPECT_EQ(Detect, options.readFaces);
  ASSERT_EQ(2u, mesh.vertices.size());
  const MeshVertex& v = mesh.vertices[1];
  EXPECT_EQ(-4.0f, v.position[0]);
  EXPECT_EQ(5.5f, v.position[1]);
  EXPECT_EQ(60.0f, v.position[2]);
  EXPECT_EQ(1.0f, v.confidence);
  EXPECT_EQ(255, v.color[0]);
  EXPECT_EQ(255, v.color[2]);
  EXPECT_EQ(0, v.mask);
}

TEST(ReadPly, TwoOfThreeColoursAreNotAColour) {
  const std::string path =
      WriteFile("rg.ply", Header("ascii", "element vertex 1\n" + std::string(kXyz) +
                                              "property uchar diffuse_red\nproperty uchar diffuse_green\n") +
                              "0 0 0 10 20\n");
  Mesh mesh;
  PlyReadOptions options;
  ASSERT_TRUE(Read(mesh, path, options).ok);
  EXPECT_EQ(0, options.readColor);
  EXPECT_EQ(255, mesh.vertices[0].color[0]);
  EXPECT_EQ(255, mesh.vertices[0].color[1]);
}

TEST(ReadPly, SkippedFieldsKeepDefaultsEvenWhenTheFileHasThem) {
  const std::string path = WriteFile(
      "full.ply",
      Header("ascii", "element vertex 1\n" + std::string(kXyz) +
                          "property float confidence\nproperty uchar diffuse_red\nproperty uchar diffuse_green\n"
                          "property uchar diffuse_blue\nproperty uchar mask\n") +
          "1 2 3 0.25 10 20 30 7\n");
  Mesh mesh;
  PlyReadOptions options;
  options.readConfidence = Skip;
  options.readMask = Skip;
  ASSERT_TRUE(Read(mesh, path, options).ok);
  EXPECT_EQ(Skip, options.readConfidence);
  EXPECT_EQ(1, options.readColor);
  const MeshVertex& v = mesh.vertices[0];
  EXPECT_EQ(1.0f, v.confidence);
  EXPECT_EQ(0, v.mask);
  EXPECT_EQ(10, v.color[0]);
  EXPECT_EQ(20, v.color[1]);
  EXPECT_EQ(30, v.color[2]);
}

TEST(ReadPly, NamesMatchExactlyAndOtherPropertiesAreReadPast) {
  const std::string path =
      WriteFile("names.ply", Header("ascii",
                                    "element vertex 1\nproperty float nx\nproperty float x\nproperty float Confidence\n"
                                    "property uchar red\nproperty float y\nproperty list uchar float extra\n"
                                    "property float z\nproperty float ny\n") +
                                 "9 1 0.5 200 2 3 7 7 7 3 8\n");
  Mesh mesh;
  PlyReadOptions options;
  ASSERT_TRUE(Read(mesh, path, options).ok);
  EXPECT_EQ(0, options.readConfidence);
  EXPECT_EQ(0, options.readColor);
  const MeshVertex& v = mesh.vertices[0];
  EXPECT_EQ(1.0f, v.position[0]);
  EXPECT_EQ(2.0f, v.position[1]);
  EXPECT_EQ(3.0f, v.position[2]);
  EXPECT_EQ(1.0f, v.confidence);
}

TEST(ReadPly, VertexIndicesWinOverVertexIndex) {
  const std::string path =
      WriteFile("both-lists.ply", Header("ascii", "element vertex 3\n" + std::string(kXyz) +
                                                      "element face 1\nproperty list uchar int vertex_index\n"
                                                      "property list uchar int vertex_indices\n") +
                                      "0 0 0\n1 0 0\n0 1 0\n3 9 9 9 3 2 1 0\n");
  Mesh mesh;
  ASSERT_TRUE(Read(mesh, path).ok);
  ASSERT_EQ(1u, mesh.triangles.size());
  EXPECT_EQ(2, mesh.triangles[0].indices[0]);
}

TEST(ReadPly, PolygonsBecomeFansAndShortFacesAreDropped) {
  const std::string path = WriteFile(
      "polygons.ply", Header("ascii", "element vertex 6\n" + std::string(kXyz) +
                                          "element face 4\nproperty list uchar int vertex_indices\n") +
                          "0 0 0\n1 0 0\n1 1 0\n0 1 0\n0 2 0\n1 2 0\n4 0 1 2 3\n2 0 1\n0\n5 0 1 2 4 5\n \n\t\r\n\n");
  Mesh mesh;
  PlyReadOptions options;
  ASSERT_TRUE(Read(mesh, path, options).ok);
  EXPECT_EQ(1, options.readFaces);
  const std::vector<std::vector<int>> expected = {{0, 1, 2}, {0, 2, 3}, {0, 1, 2}, {0, 2, 4}, {0, 4, 5}};
  ASSERT_EQ(expected.size(), mesh.triangles.size());
  for (size_t t = 0; t < expected.size(); ++t)
    for (int k = 0; k < 3; ++k) EXPECT_EQ(expected[t][k], mesh.triangles[t].indices[k]) << t;
}

TEST(ReadPly, LongPolygonKeepsAllCorners) {
  // More corners than a byte can count; the count is a ushort in the file.
  const int n = 300;
  std::string body = Header("ascii", "element vertex 300\n" + std::string(kXyz) +
                                         "element face 1\nproperty list ushort int vertex_indices\n");
  for (int k = 0; k < n; ++k)
    body += std::to_string(std::cos(k * 0.02)) + " " + std::to_string(std::sin(k * 0.02)) + " 0\n";
  body += std::to_string(n);
  for (int k = 0; k < n; ++k) body += " " + std::to_string(k);
  body += "\n";
  Mesh mesh;
  ASSERT_TRUE(Read(mesh, WriteFile("long-polygon.ply", body)).ok);
  ASSERT_EQ(static_cast<size_t>(n - 2), mesh.triangles.size());
  EXPECT_EQ(0, mesh.triangles.back().indices[0]);
  EXPECT_EQ(n - 2, mesh.triangles.back().indices[1]);
  EXPECT_EQ(n - 1, mesh.triangles.back().indices[2]);
}

TEST(ReadPly, SkippedFacesLeaveTheTrianglesAlone) {
  Mesh mesh;
  ASSERT_TRUE(Read(mesh, WriteFile("template.ply", AsciiTriangles())).ok);
  const std::string frame =
      WriteFile("frame.ply", Header("ascii", "element vertex 4\n" + std::string(kXyz) +
                                                 "element face 1\nproperty list uchar int vertex_indices\n") +
                                 "5 0 0\n6 0 0\n7 1 0\n8 1 0\n3 3 2 1\n");
  PlyReadOptions options;
  options.readFaces = Skip;
  ASSERT_TRUE(Read(mesh, frame, options).ok);
  EXPECT_EQ(Skip, options.readFaces);
  EXPECT_EQ(frame, mesh.name);
  EXPECT_EQ(8.0f, mesh.vertices[3].position[0]);
  ASSERT_EQ(2u, mesh.triangles.size());
  EXPECT_EQ(3, mesh.triangles[1].indices[1]);
}

TEST(ReadPly, ElementsBeforeAndBetweenAreReadPast) {
  const std::string ascii =
      Header("ascii",
             "element material 2\nproperty float shine\nproperty list uchar int stuff\n"
             "element vertex 3\n" +
                 std::string(kXyz) +
                 "element edge 1\nproperty int a\nproperty int b\n"
                 "element face 1\nproperty list uchar int vertex_indices\nelement tail 1\nproperty float t\n") +
      "0.5 2 1 2\n0.25 0\n0 0 0\n1 0 0\n0 1 0\n0 1\n3 2 1 0\n9\n";
  Mesh mesh;
  ASSERT_TRUE(Read(mesh, WriteFile("between.ply", ascii)).ok);
  ASSERT_EQ(3u, mesh.vertices.size());
  EXPECT_EQ(1.0f, mesh.vertices[1].position[0]);
  ASSERT_EQ(1u, mesh.triangles.size());
  EXPECT_EQ(2, mesh.triangles[0].indices[0]);

  Bytes b;
  b.Put(uint8_t{3}).Put(int32_t{1}).Put(int32_t{2}).Put(int32_t{3}).Put(uint8_t{0});  // two "stuff" items
  for (float f : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f}) b.Put(f);
  b.Put(uint8_t{3}).Put(int32_t{0}).Put(int32_t{2}).Put(int32_t{1});
  const std::string binary =
      Header("binary_little_endian", "element stuff 2\nproperty list uchar int s\nelement vertex 3\n" +
                                         std::string(kXyz) +
                                         "element face 1\nproperty list uchar int vertex_indices\n") +
      b.data;
  Mesh other;
  ASSERT_TRUE(Read(other, WriteFile("between-binary.ply", binary)).ok);
  EXPECT_EQ(1.0f, other.vertices[2].position[1]);
  EXPECT_EQ(2, other.triangles[0].indices[1]);
}

TEST(ReadPly, FacesBeforeVerticesAreCheckedAgainstThem) {
  const std::string header =
      "element face 1\nproperty list uchar int vertex_indices\nelement vertex 3\n" + std::string(kXyz);
  Mesh mesh;
  EXPECT_TRUE(Read(mesh, WriteFile("faces-first.ply", Header("ascii", header) + "3 0 1 2\n0 0 0\n1 0 0\n0 1 0\n")).ok);
  ASSERT_EQ(1u, mesh.triangles.size());
  const std::string bad = WriteFile("faces-first-bad.ply", Header("ascii", header) + "3 0 1 3\n0 0 0\n1 0 0\n0 1 0\n");
  Mesh other;
  const Outcome got = Read(other, bad);
  EXPECT_FALSE(got.ok);
  EXPECT_EQ(Line("fail to read vertex_indices in ", bad), got.err);
}

TEST(ReadPly, FacesWithoutVerticesMustFitTheVerticesThereAre) {
  const std::string faces = WriteFile(
      "faces-only.ply", Header("ascii", "element face 1\nproperty list uchar int vertex_indices\n") + "3 0 1 3\n");
  Mesh fresh;
  EXPECT_FALSE(Read(fresh, faces).ok);
  Mesh loaded;
  ASSERT_TRUE(Read(loaded, WriteFile("four.ply", AsciiTriangles())).ok);
  EXPECT_TRUE(Read(loaded, faces).ok);
  EXPECT_EQ(3, loaded.triangles[0].indices[2]);
}

// ---- files as tools write them ---------------------------------------------------------------

TEST(ReadPly, ModellingToolAsciiWithNormalsTextureCoordinatesAndQuads) {
  const std::string ascii =
      "ply\r\nformat ascii 1.0\r\ncomment made by a modelling tool\r\nelement vertex 4\r\n"
      "property float x\r\nproperty float y\r\nproperty float z\r\nproperty float nx\r\nproperty float ny\r\n"
      "property float nz\r\nproperty float s\r\nproperty float t\r\nelement face 1\r\n"
      "property list uchar uint vertex_indices\r\nproperty list uchar float texcoord\r\nend_header\r\n"
      "-1 -1 0 0 0 1 0 0\r\n1 -1 0 0 0 1 1 0\r\n1 1 0 0 0 1 1 1\r\n-1 1 0 0 0 1 0 1\r\n4 0 1 2 3 8 0 0 1 0 1 1 0 1\r\n";
  Mesh mesh;
  const Outcome got = Read(mesh, WriteFile("tool.ply", ascii));
  ASSERT_TRUE(got.ok) << got.err;
  ASSERT_EQ(4u, mesh.vertices.size());
  EXPECT_EQ(-1.0f, mesh.vertices[3].position[0]);
  EXPECT_EQ(1.0f, mesh.vertices[3].position[1]);
  EXPECT_EQ(0.0f, mesh.vertices[3].position[2]);
  ASSERT_EQ(2u, mesh.triangles.size());
  EXPECT_EQ(3, mesh.triangles[1].indices[2]);
  mesh.ComputeNormals();
  EXPECT_EQ(8.0f, mesh.vertices[0].normal[2]);  // both halves of the quad, each of area 2, meet at corner 0
}

TEST(ReadPly, ScannerBinaryWithColourAndCommentsAnywhere) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big endian" : "little endian");
    Bytes b;
    b.big = big;
    const float xyz[3][3] = {{0.5f, -1.25f, 3.0f}, {2.0f, 0.0f, 1e-3f}, {-7.0f, 8.5f, 0.0f}};
    for (int v = 0; v < 3; ++v) {
      b.Put(xyz[v][0]).Put(xyz[v][1]).Put(xyz[v][2]).Put(0.125f * v);
      b.Put(uint8_t(10 * v)).Put(uint8_t(20 * v)).Put(uint8_t(255 - v));
      b.Put(uint8_t(v));
    }
    b.Put(uint8_t{3}).Put(int32_t{2}).Put(int32_t{0}).Put(int32_t{1});
    const std::string header = std::string("ply\ncomment scanner output\nformat ") +
                               (big ? "binary_big_endian" : "binary_little_endian") +
                               " 1.0\nobj_info serial 1234\nelement vertex 3\ncomment between\n" + kXyz +
                               "property float confidence\nproperty uchar diffuse_red\nobj_info\tlens 5\n"
                               "property uchar diffuse_green\nproperty uchar diffuse_blue\nproperty uchar mask\n"
                               "element face 1\ncomment before the list\nproperty list uchar int vertex_indices\n"
                               "end_header\n";
    Mesh mesh;
    PlyReadOptions options;
    const Outcome got = Read(mesh, WriteFile(big ? "scan-be.ply" : "scan-le.ply", header + b.data), options);
    ASSERT_TRUE(got.ok) << got.err;
    EXPECT_EQ(0, options.isAscii);
    EXPECT_EQ(1, options.readConfidence);
    EXPECT_EQ(1, options.readColor);
    EXPECT_EQ(1, options.readMask);
    ASSERT_EQ(3u, mesh.vertices.size());
    for (int v = 0; v < 3; ++v) {
      for (int k = 0; k < 3; ++k) EXPECT_EQ(xyz[v][k], mesh.vertices[v].position[k]);
      EXPECT_EQ(0.125f * v, mesh.vertices[v].confidence);
      EXPECT_EQ(10 * v, mesh.vertices[v].color[0]);
      EXPECT_EQ(20 * v, mesh.vertices[v].color[1]);
      EXPECT_EQ(255 - v, mesh.vertices[v].color[2]);
      EXPECT_EQ(v, mesh.vertices[v].mask);
    }
    ASSERT_EQ(1u, mesh.triangles.size());
    EXPECT_EQ(2, mesh.triangles[0].indices[0]);
    EXPECT_EQ(1, mesh.triangles[0].indices[2]);
  }
}

TEST(ReadPly, ValuesAreConvertedToTheSlotType) {
  Bytes b;
  b.Put(1.5).Put(-2.25).Put(1e10);                                                // double coordinates
  b.Put(uint16_t{40000}).Put(0.75).Put(int16_t{-3}).Put(uint8_t{7}).Put(300.0f);  // confidence ushort, colours mixed
  b.Put(0.0).Put(0.0).Put(0.0).Put(uint16_t{1}).Put(0.0).Put(int16_t{0}).Put(uint8_t{0}).Put(0.0f);
  b.Put(0.0).Put(1.0).Put(0.0).Put(uint16_t{1}).Put(0.0).Put(int16_t{0}).Put(uint8_t{0}).Put(0.0f);
  b.Put(uint16_t{3}).Put(uint16_t{2}).Put(uint16_t{1}).Put(uint16_t{0});
  const std::string header =
      "element vertex 3\nproperty float64 x\nproperty double y\nproperty double z\nproperty ushort confidence\n"
      "property double diffuse_red\nproperty int16 diffuse_green\nproperty uint8 diffuse_blue\nproperty float32 mask\n"
      "element face 1\nproperty list uint16 ushort vertex_indices\n";
  Mesh mesh;
  const Outcome got = Read(mesh, WriteFile("converted.ply", Header("binary_little_endian", header) + b.data));
  ASSERT_TRUE(got.ok) << got.err;
  const MeshVertex& v = mesh.vertices[0];
  EXPECT_EQ(1.5f, v.position[0]);
  EXPECT_EQ(-2.25f, v.position[1]);
  EXPECT_EQ(1e10f, v.position[2]);
  EXPECT_EQ(40000.0f, v.confidence);
  EXPECT_EQ(0, v.color[0]);    // 0.75 truncated
  EXPECT_EQ(253, v.color[1]);  // -3 cut to a byte
  EXPECT_EQ(7, v.color[2]);
  EXPECT_EQ(44, v.mask);  // 300 cut to a byte
  ASSERT_EQ(1u, mesh.triangles.size());
  EXPECT_EQ(2, mesh.triangles[0].indices[0]);
  EXPECT_EQ(0, mesh.triangles[0].indices[2]);
}

// A grid large enough to cross the reader's buffer in every format; with a face property before
// the list, faces take the general path instead of the one for bare index lists.
// otherNames: colours named red, green, blue and the face list vertex_index, as other programs
// write them.
void ExpectSameMeshInEveryFormat(bool faceFlags, bool otherNames) {
  const int n = 400;
  std::string ascii, le, be;
  Bytes l, bb;
  bb.big = true;
  std::string vertexLines, faceLines;
  int faces = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const float x = i * 0.1f, y = j * 0.1f, z = static_cast<float>(std::sin(i * 0.3) * 0.5), c = (i % 7) / 8.0f;
      char text[128];
      // Colours beyond a byte are cut in diffuse_* and clamped in red, green, blue: the latter get bytes.
      const int m = otherNames ? 255 : -1;
      std::snprintf(text, sizeof text, "%.9g %.9g %.9g %.9g %d %d %d %d\n", x, y, z, c, i & m, j & m, (255 - i) & m,
                    (i + j) % 3);
      vertexLines += text;
      for (Bytes* b : {&l, &bb})
        b->Put(x).Put(y).Put(z).Put(c).Put(uint8_t(i)).Put(uint8_t(j)).Put(uint8_t(255 - i)).Put(uint8_t((i + j) % 3));
    }
  for (int j = 0; j + 1 < n; ++j)
    for (int i = 0; i + 1 < n; ++i, ++faces) {
      const int a = j * n + i, b = a + n;
      if (faceFlags) {
        faceLines += "7 ";
        for (Bytes* x : {&l, &bb}) x->Put(int16_t{7});
      }
      if ((i + j) % 2) {
        faceLines += "4 " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(b + 1) + " " +
                     std::to_string(b) + "\n";
        for (Bytes* x : {&l, &bb}) x->Put(uint8_t{4}).Put(a).Put(a + 1).Put(b + 1).Put(b);
      } else {
        faceLines += "3 " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(b) + "\n";
        for (Bytes* x : {&l, &bb}) x->Put(uint8_t{3}).Put(a).Put(a + 1).Put(b);
      }
    }
  const std::string colour = otherNames ? "" : "diffuse_";
  const std::string body = "element vertex " + std::to_string(n * n) +
                           "\nproperty float x\nproperty float y\nproperty float z\nproperty float confidence\n"
                           "property uchar " +
                           colour + "red\nproperty uchar " + colour + "green\nproperty uchar " + colour +
                           "blue\nproperty uchar mask\nelement face " + std::to_string(faces) +
                           (faceFlags ? "\nproperty short flags" : "") + "\nproperty list uchar int " +
                           (otherNames ? "vertex_index" : "vertex_indices") + "\n";
  Mesh a, b, c;
  PlyReadOptions oa, ob, oc;
  ASSERT_TRUE(Read(a, WriteFile("grid-ascii.ply", Header("ascii", body) + vertexLines + faceLines), oa).ok);
  ASSERT_TRUE(Read(b, WriteFile("grid-le.ply", Header("binary_little_endian", body) + l.data), ob).ok);
  ASSERT_TRUE(Read(c, WriteFile("grid-be.ply", Header("binary_big_endian", body) + bb.data), oc).ok);
  EXPECT_EQ(1, oa.isAscii);
  EXPECT_EQ(0, ob.isAscii);
  ASSERT_EQ(static_cast<size_t>(n * n), a.vertices.size());
  ASSERT_EQ(a.vertices.size(), b.vertices.size());
  ASSERT_EQ(a.vertices.size(), c.vertices.size());
  ASSERT_GT(a.triangles.size(), static_cast<size_t>(faces));
  ASSERT_EQ(a.triangles.size(), b.triangles.size());
  ASSERT_EQ(a.triangles.size(), c.triangles.size());
  EXPECT_EQ(1, oa.readColor);
  EXPECT_EQ(0, std::memcmp(a.vertices[n + 5].color, "\x05\x01\xfa", 3));
  for (size_t v = 0; v < a.vertices.size(); ++v) {
    EXPECT_EQ(0, std::memcmp(&a.vertices[v], &b.vertices[v], 20)) << v;
    EXPECT_EQ(0, std::memcmp(&a.vertices[v], &c.vertices[v], 20)) << v;
  }
  for (size_t t = 0; t < a.triangles.size(); ++t) {
    EXPECT_EQ(0, std::memcmp(a.triangles[t].indices, b.triangles[t].indices, 12)) << t;
    EXPECT_EQ(0, std::memcmp(a.triangles[t].indices, c.triangles[t].indices, 12)) << t;
  }
}

TEST(ReadPly, AsciiAndBothBinaryOrdersGiveTheSameMesh) {
  ExpectSameMeshInEveryFormat(false, false);
  ExpectSameMeshInEveryFormat(true, false);
  ExpectSameMeshInEveryFormat(false, true);
}

// Colours named red, green, blue count when no diffuse_* is there: integers clamped to 0-255,
// reals scaled from 0-1, rounded and clamped; alpha is read past. A sequence's first frame fixes
// whether frames have colour, under either naming.
TEST(ReadPly, ColourOfEitherNamingAndItsScale) {
  // A file of one vertex: x, y, z and the properties given ("type name", one a line).
  const auto file = [](const std::string& name, std::string properties, const std::string& values) {
    for (size_t at = 0; at < properties.size(); at = properties.find('\n', at) + 1) properties.insert(at, "property ");
    return WriteFile(name,
                     Header("ascii", "element vertex 1\n" + std::string(kXyz) + properties) + "0 0 0 " + values + "\n");
  };
  struct Case {
    const char* properties;
    const char* values;
    int32_t readColor;
    const char* rgb;
  };
  const Case cases[] = {
      {"float red\nfloat green\nfloat blue\nfloat alpha\n", "1.5 0.5 -0.25 0.7", 1, "\xff\x80\x00"},
      {"double red\ndouble green\ndouble blue\n", "1 0.2 nan", 1, "\xff\x33\x00"},
      {"int red\nshort green\nuchar alpha\nuint blue\n", "300 -5 9 77", 1, "\xff\x00\x4d"},
      {"uchar red\nuchar green\nuchar blue\nuchar diffuse_red\nuchar diffuse_green\nuchar diffuse_blue\n",
       "9 9 9 1 2 3", 1, "\x01\x02\x03"},
      {"uchar red\nuchar green\nuchar blue\nuchar diffuse_red\n", "9 9 9 1", 0, "\xff\xff\xff"},
      {"uchar red\nuchar green\n", "9 9", 0, "\xff\xff\xff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.properties);
    Mesh mesh;
    PlyReadOptions options;
    const Outcome got = Read(mesh, file("colour.ply", c.properties, c.values), options);
    ASSERT_TRUE(got.ok) << got.err;
    EXPECT_EQ(c.readColor, options.readColor);
    EXPECT_EQ(0, std::memcmp(mesh.vertices[0].color, c.rgb, 3));
    EXPECT_EQ(0.0f, mesh.vertices[0].normal[0]);
  }
  // Frames of a sequence: the first names its colour red, green, blue, the second diffuse_*; the
  // third has none.
  PlyReadOptions frames;
  frames.readFaces = Skip;
  Mesh m0, m1, m2;
  ASSERT_TRUE(Read(m0, file("frame0.ply", "uchar red\nuchar green\nuchar blue\n", "1 2 3"), frames).ok);
  EXPECT_EQ(1, frames.readColor);
  ASSERT_TRUE(
      Read(m1, file("frame1.ply", "uchar diffuse_red\nuchar diffuse_green\nuchar diffuse_blue\n", "4 5 6"), frames).ok);
  EXPECT_EQ(0, std::memcmp(m1.vertices[0].color, "\x04\x05\x06", 3));
  const std::string none = file("frame2.ply", "", "");
  EXPECT_EQ(Line("fail to read rgb in ", none), Read(m2, none, frames).err);
}

TEST(ReadPly, BundledFilesRead) {
  const std::string dir = std::string(VEXOL_SOURCE_DIR) + "/tests/data/ply/";
  Mesh cube;
  const Outcome got = Read(cube, dir + "cube-crlf.ply");
  ASSERT_TRUE(got.ok) << got.err;
  EXPECT_EQ(8u, cube.vertices.size());
  EXPECT_EQ(12u, cube.triangles.size());
  cube.ComputeBounds();
  EXPECT_EQ(-1.0, cube.bounds.min[0]);
  EXPECT_EQ(1.0, cube.bounds.max[2]);
  Mesh scan;
  PlyReadOptions options;
  const Outcome scanned = Read(scan, dir + "scan-colour-be.ply", options);
  ASSERT_TRUE(scanned.ok) << scanned.err;
  EXPECT_EQ(1, options.readColor);
  EXPECT_EQ(1, options.readConfidence);
  EXPECT_EQ(4u, scan.vertices.size());
  EXPECT_EQ(2u, scan.triangles.size());
  EXPECT_EQ(200, scan.vertices[1].color[0]);
}

}  // namespace
