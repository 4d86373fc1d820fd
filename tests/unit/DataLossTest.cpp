#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "examples/ExampleScenes.h"
#include "store/Dialogs.h"
#include "store/MeshStore.h"
#include "tests/unit/TestFiles.h"

// Loading never loses data: a store holding meshes is fed every kind of file the readers refuse,
// through the open operations the menus use, and must come out exactly as it went in. The
// sanitizer build runs this with LeakSanitizer, so a refused load that leaks fails there too.

namespace {

int answer = 0;
int questions = 0;
int Ask(const char*) {
  ++questions;
  return answer;
}

// Everything a user could see change: which meshes, their bytes, bounds, names and the flags.
struct Snapshot {
  std::vector<Mesh*> meshes;
  std::vector<std::string> bytes;
  std::vector<std::string> names;
  std::vector<double> bounds;
  int32_t current;
  bool isSequence, sharedTriangles;

  explicit Snapshot(const MeshStore& store)
      : meshes(store.meshes),
        current(store.current),
        isSequence(store.isSequence),
        sharedTriangles(store.sharedTriangles) {
    for (const Mesh* m : store.meshes) {
      bytes.emplace_back(reinterpret_cast<const char*>(m->vertices.data()), m->vertices.size() * sizeof(MeshVertex));
      bytes.back().append(reinterpret_cast<const char*>(m->triangles.data()),
                          m->triangles.size() * sizeof(MeshTriangle));
      names.push_back(m->name);
      for (int i = 0; i < 3; ++i) bounds.insert(bounds.end(), {m->bounds.min[i], m->bounds.max[i]});
    }
  }
  bool operator==(const Snapshot& o) const {
    return meshes == o.meshes && bytes == o.bytes && names == o.names && bounds == o.bounds && current == o.current &&
           isSequence == o.isSequence && sharedTriangles == o.sharedTriangles;
  }
};

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

template <class T>
std::string Bytes(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

class DataLossTest : public testing::Test {
 protected:
  TempDir temp;
  const std::string dir = temp.path;
  MeshStore store;

  void SetUp() override {
    ASSERT_FALSE(dir.empty());
    answer = 0;
    questions = 0;
    Dialogs::ask = Ask;
  }
  void TearDown() override { Dialogs::UseToolkit(); }

  std::string Write(const std::string& name, const std::string& bytes) { return temp.Write(name, bytes); }

  // Runs f with both console streams captured; returns standard error, standard output in *out.
  template <class F>
  std::string Run(F f, std::string* out) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    std::string err = testing::internal::GetCapturedStderr();
    *out = testing::internal::GetCapturedStdout();
    return err;
  }

  void LoadThree() {
    std::string out;
    Run(
        [&] {
          store.OpenMesh(Write("wave.ply", PlyBytes(WaveMesh(6, 5, 0.0), false)).c_str());
          store.OpenDepthMap(Write("ripple.dpt", DptBytes(RippleScene(24, 18, 0.0))).c_str());
          store.OpenMesh(Write("cube.ply", PlyBytes(CubeMesh(), false)).c_str());
        },
        &out);
    ASSERT_EQ(store.meshes.size(), 3u) << out;
    store.current = 1;  // not the last one, so a load that resets it shows
  }

  // Every kind of PLY file the reader refuses, each named after what is wrong with it.
  std::vector<std::pair<std::string, std::string>> BadPly() {
    const std::string ascii = PlyBytes(WaveMesh(4, 3, 0.0), true);
    const std::string binary = PlyBytes(WaveMesh(4, 3, 0.0), false);
    const size_t body = binary.find("end_header\n") + 11;
    const std::string quad =
        "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
        "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
        "end_header\n0 0 0\n1 0 0\n0 1 0\n";
    return {
        {"empty.ply", ""},
        {"not-ply.ply", "solid cube\nfacet normal 0 0 1\n"},
        {"no-end-header.ply", ascii.substr(0, ascii.find("end_header"))},
        {"unknown-format.ply", Replace(ascii, "format ascii 1.0", "format binary_middle_endian 1.0")},
        {"unknown-type.ply", Replace(ascii, "property float x", "property flaot x")},
        {"list-for-x.ply", Replace(ascii, "property float x", "property list uchar float x")},
        {"scalar-indices.ply", Replace(ascii, "property list uchar int vertex_indices", "property int vertex_indices")},
        {"ascii-cut.ply", ascii.substr(0, ascii.size() - 7)},
        {"binary-cut-in-vertices.ply", binary.substr(0, body + 30)},
        {"binary-cut-in-faces.ply", binary.substr(0, binary.size() - 5)},
        {"index-out-of-range.ply", quad + "3 0 1 3\n"},
        {"negative-index.ply", quad + "3 0 -1 2\n"},
        {"negative-list-count.ply", quad + "-1 0 1 2\n"},
        {"huge-vertex-count.ply", Replace(ascii, "element vertex 12", "element vertex 2000000000")},
        {"huge-binary-face-count.ply", Replace(binary, "element face", "element face 99999999\ncomment")},
    };
  }

  // Every kind of .dpt file the reader refuses.
  std::vector<std::pair<std::string, std::string>> BadDpt() {
    const std::string good = DptBytes(RippleScene(8, 6, 0.0));
    const std::string camera = good.substr(0, 40);
    return {
        {"empty.dpt", ""},
        {"camera-only.dpt", camera},
        {"negative-width.dpt", camera + Bytes(int32_t(-8)) + Bytes(int32_t(6)) + good.substr(48)},
        {"negative-height.dpt", camera + Bytes(int32_t(8)) + Bytes(int32_t(-6)) + good.substr(48)},
        {"overflowing-shape.dpt", camera + Bytes(int32_t(65536)) + Bytes(int32_t(65536)) + good.substr(48)},
        {"huge-claim.dpt", camera + Bytes(int32_t(30000)) + Bytes(int32_t(30000)) + std::string(12, '\xff')},
        {"cut-in-mask.dpt", good.substr(0, 50)},
        {"cut-in-depths.dpt", good.substr(0, good.size() - 3)},
    };
  }

  // Opens each file, and then `missing` (never written), through `open`, checking that each is
  // refused in the console and changes nothing.
  template <class Open>
  void FeedRefused(const std::vector<std::pair<std::string, std::string>>& files, const std::string& missing,
                   Open open) {
    const Snapshot before(store);
    std::vector<std::pair<std::string, std::string>> paths;
    for (const auto& [name, bytes] : files) paths.emplace_back(name, Write(name, bytes));
    paths.emplace_back(missing, dir + "/" + missing);
    for (const auto& [name, path] : paths) {
      std::string out;
      const std::string err = Run([&] { open(path.c_str()); }, &out);
      EXPECT_EQ(out, "") << name;
      ASSERT_FALSE(err.empty()) << name;
      EXPECT_EQ(err.back(), '\n') << name;
      const size_t lastLine = err.rfind('\n', err.size() - 2);
      EXPECT_NE(err.find(path, lastLine == std::string::npos ? 0 : lastLine), std::string::npos) << name << ": " << err;
      EXPECT_TRUE(Snapshot(store) == before) << name;
    }
    EXPECT_EQ(questions, 0);
  }
};

TEST_F(DataLossTest, RefusedPlyFilesLeaveTheStoreAsItWas) {
  LoadThree();
  FeedRefused(BadPly(), "missing.ply", [&](const char* path) { store.OpenMesh(path); });
}

TEST_F(DataLossTest, RefusedDepthMapsLeaveTheStoreAsItWas) {
  LoadThree();
  FeedRefused(BadDpt(), "missing.dpt", [&](const char* path) { store.OpenDepthMap(path); });
}

// The seed corpora and regression files of the fuzzers: each either loads as one more mesh or is
// refused, and the meshes loaded before stay as they were.
TEST_F(DataLossTest, FuzzerInputsAddOneMeshOrNothing) {
  LoadThree();
  const Snapshot three(store);
  const std::string source = VEXOL_SOURCE_DIR;
  int files = 0;
  for (const char* sub : {"/fuzz/corpus/ply", "/fuzz/corpus/dpt", "/tests/data/ply", "/tests/data/dpt"}) {
    DIR* d = opendir((source + sub).c_str());
    ASSERT_NE(d, nullptr) << sub;
    const bool ply = std::strstr(sub, "ply") != nullptr;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string path = source + sub + "/" + e->d_name;
      std::string out;
      const size_t count = store.meshes.size();
      Run([&] { ply ? store.OpenMesh(path.c_str()) : store.OpenDepthMap(path.c_str()); }, &out);
      if (store.meshes.size() == count + 1) {
        EXPECT_EQ(out, "finish loading " + path + "\n");
        store.DeleteCurrent();
      } else {
        EXPECT_EQ(store.meshes.size(), count) << path;
        EXPECT_EQ(out, "") << path;
      }
      store.current = 1;
      EXPECT_TRUE(Snapshot(store) == three) << path;
      ++files;
    }
    closedir(d);
  }
  EXPECT_GE(files, 8);
}

// Declining the question keeps everything, whatever the description would have held.
TEST_F(DataLossTest, DecliningToCloseForASequenceReadsNothing) {
  LoadThree();
  const Snapshot before(store);
  const std::string names[] = {Write("garbage.msq", "\x01\x02\x03"), Write("garbage.dsq", "%d%d%d%n 1 2 3\n"),
                               dir + "/missing.msq"};
  for (const std::string& path : names) {
    std::string out;
    const std::string err = Run(
        [&] {
          store.OpenMeshSequence(path.c_str());
          store.OpenDepthMapSequence(path.c_str());
        },
        &out);
    EXPECT_EQ(out + err, "") << path;
    EXPECT_TRUE(Snapshot(store) == before) << path;
  }
  EXPECT_EQ(questions, 6);
}

// A sequence whose frames fail, one kind after another, into an empty store: the frames before
// the failing one stay, in order, and play as a shorter sequence from frame 0.
TEST_F(DataLossTest, FailingSequenceFramesKeepTheFramesBeforeThem) {
  const std::string goodDpt = DptBytes(RippleScene(8, 6, 0.0));
  for (const auto& [name, bytes] : BadDpt()) {
    Write("d1.dpt", goodDpt);
    Write("d2.dpt", goodDpt);
    Write("d3.dpt", bytes);
    const std::string desc = Write("d.dsq", dir + "/d%d.dpt 1 1 3\n");
    std::string out;
    store.Clear();
    Run([&] { store.OpenDepthMapSequence(desc.c_str()); }, &out);
    ASSERT_EQ(store.meshes.size(), 2u) << name;
    EXPECT_TRUE(store.isSequence && !store.sharedTriangles) << name;
    EXPECT_EQ(store.current, 0) << name;
    EXPECT_EQ(store.meshes[0]->name, dir + "/d1.dpt");
    EXPECT_EQ(store.meshes[1]->name, dir + "/d2.dpt");
  }

  const std::string wave = PlyBytes(WaveMesh(4, 3, 0.0), false);
  for (const auto& [name, bytes] : BadPly()) {
    Write("t.ply", wave);
    Write("m1.ply", wave);
    Write("m2.ply", bytes);
    const std::string desc = Write("m.msq", dir + "/t.ply\n" + dir + "/m%d.ply 1 1 2\n");
    std::string out;
    store.Clear();
    Run([&] { store.OpenMeshSequence(desc.c_str()); }, &out);
    ASSERT_EQ(store.meshes.size(), 1u) << name << out;
    EXPECT_TRUE(store.isSequence && store.sharedTriangles) << name;
    EXPECT_EQ(store.current, 0) << name;
    EXPECT_EQ(store.meshes[0]->vertices.size(), 12u);
    EXPECT_FALSE(store.meshes[0]->triangles.empty()) << "the template's triangles stay with frame 1";
  }
  EXPECT_EQ(questions, 0);
}

}  // namespace
