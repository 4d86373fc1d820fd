#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "geometry/Mesh.h"
#include "store/Dialogs.h"
#include "store/FrameLoader.h"
#include "store/MemoryGuard.h"
#include "store/MeshStore.h"
#include "tests/unit/TestFiles.h"

namespace {

// What the dialog seam was asked and how it answers.
struct DialogScript {
  int answer = 0;
  const char* chosen = nullptr;
  std::vector<std::string> questions;
  std::vector<std::string> chooserCalls;  // "message|pattern|fname|relative"
};
DialogScript script;

int ScriptedAsk(const char* question) {
  script.questions.push_back(question);
  return script.answer;
}
const char* ScriptedChoose(const char* message, const char* pattern, const char* fname, int relative) {
  script.chooserCalls.push_back(std::string(message) + "|" + pattern + "|" + fname + "|" + std::to_string(relative));
  return script.chosen;
}

struct Vertex {
  float x, y, z, confidence;
};

// ASCII PLY with x, y, z and optionally confidence; a face element only when faces are given.
std::string PlyText(const std::vector<Vertex>& vertices, const std::vector<std::vector<int>>& faces, bool confidence) {
  std::string s = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(vertices.size()) +
                  "\nproperty float x\nproperty float y\nproperty float z\n";
  if (confidence) s += "property float confidence\n";
  if (!faces.empty())
    s += "element face " + std::to_string(faces.size()) + "\nproperty list uchar int vertex_indices\n";
  s += "end_header\n";
  char line[128];
  for (const Vertex& v : vertices) {
    std::snprintf(line, sizeof line, "%g %g %g", v.x, v.y, v.z);
    s += line;
    if (confidence) s += " " + std::to_string(v.confidence);
    s += "\n";
  }
  for (const std::vector<int>& f : faces) {
    s += std::to_string(f.size());
    for (int i : f) s += " " + std::to_string(i);
    s += "\n";
  }
  return s;
}

// A .dpt file of a w x h grid whose valid pixels (all, unless `hole` names one) lie at `depth`.
std::string DptBytes(int32_t w, int32_t h, float depth, int hole = -1) {
  std::string s;
  auto put = [&s](const void* p, size_t n) { s.append(static_cast<const char*>(p), n); };
  const double params[5] = {100.0, 100.0, w / 2.0, h / 2.0, 0.0};
  put(params, sizeof params);
  put(&w, 4);
  put(&h, 4);
  std::vector<uint8_t> mask(size_t((w * h + 31) / 32) * 4, 0);
  int valid = 0;
  for (int k = 0; k < w * h; ++k)
    if (k != hole) {
      mask[k / 8] |= uint8_t(1u << (k % 8));
      ++valid;
    }
  put(mask.data(), mask.size());
  for (int k = 0; k < valid; ++k) put(&depth, 4);
  return s;
}

// Two triangles over a unit square in the plane z = `z`, shifted by `dx` in x.
std::vector<Vertex> Square(float dx, float z = 0.0f) {
  return {{dx, 0, z, 0.5f}, {dx + 1, 0, z, 0.5f}, {dx + 1, 1, z, 0.5f}, {dx, 1, z, 0.5f}};
}
const std::vector<std::vector<int>> kSquareFaces = {{0, 1, 2}, {0, 2, 3}};

class OpenFilesTest : public testing::Test {
 protected:
  TempDir temp;
  const std::string dir = temp.path;
  MeshStore store;

  void SetUp() override {
    ASSERT_FALSE(dir.empty());
    script = DialogScript();
    Dialogs::ask = ScriptedAsk;
    Dialogs::chooseFile = ScriptedChoose;
  }
  void TearDown() override {
    Dialogs::UseToolkit();
    MemoryGuard::UseSystem();
    store.workers = 0;
  }

  std::string Write(const std::string& name, const std::string& bytes) { return temp.Write(name, bytes); }
  std::string Ply(const std::string& name, const std::vector<Vertex>& v,
                  const std::vector<std::vector<int>>& faces = kSquareFaces, bool confidence = true) {
    return Write(name, PlyText(v, faces, confidence));
  }

  // Runs f and returns its standard output; standard error goes to *err when given.
  template <class F>
  std::string Output(F f, std::string* err = nullptr) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    std::string e = testing::internal::GetCapturedStderr();
    if (err) *err = e;
    return testing::internal::GetCapturedStdout();
  }

  // Three depth-map frames f1..f3 and a description of them; returns the description's path.
  std::string DepthSequence(const std::string& name, int frames = 3, int lastNumber = 3) {
    for (int i = 1; i <= frames; ++i) Write("f" + std::to_string(i) + ".dpt", DptBytes(4, 3, float(i)));
    return Write(name, dir + "/f%d.dpt 1 1 " + std::to_string(lastNumber) + "\n");
  }
};

TEST_F(OpenFilesTest, SingleMeshesAccumulateAndTheLastBecomesCurrent) {
  std::string a = Ply("a.ply", Square(0)), b = Ply("b.ply", Square(5)), c = Ply("c.ply", Square(-3));
  std::string out = Output([&] {
    store.OpenMesh(a.c_str());
    store.OpenMesh(b.c_str());
    store.OpenMesh(c.c_str());
  });
  EXPECT_EQ(out, "finish loading " + a + "\nfinish loading " + b + "\nfinish loading " + c + "\n");
  ASSERT_EQ(store.meshes.size(), 3u);
  EXPECT_EQ(store.current, 2);
  EXPECT_FALSE(store.isSequence);
  EXPECT_TRUE(script.questions.empty());
  EXPECT_EQ(store.meshes[1]->name, b);
  EXPECT_EQ(store.meshes[1]->triangles.size(), 2u);
  BoundingBox box = store.TotalBounds();
  EXPECT_EQ(box.min[0], -3.0);
  EXPECT_EQ(box.max[0], 6.0);
  EXPECT_EQ(box.max[1], 1.0);
}

TEST_F(OpenFilesTest, SingleMeshGetsBoundsAndNormals) {
  std::string a = Ply("a.ply", Square(0, 2.0f));
  Output([&] { store.OpenMesh(a.c_str()); });
  ASSERT_EQ(store.meshes.size(), 1u);
  const Mesh& m = *store.meshes[0];
  EXPECT_EQ(m.bounds.min[2], 2.0);
  EXPECT_EQ(m.bounds.max[0], 1.0);
  EXPECT_GT(std::fabs(m.vertices[0].normal[2]), 0.0f);
  EXPECT_EQ(m.vertices[0].normal[0], 0.0f);
  EXPECT_EQ(m.vertices[3].confidence, 0.5f);
}

TEST_F(OpenFilesTest, RelativeNamesArePrintedAsPassed) {
  Ply("rel.ply", Square(0));
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  std::string out = Output([&] { store.OpenMesh("rel.ply"); });
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(out, "finish loading rel.ply\n");
  ASSERT_EQ(store.meshes.size(), 1u);
  EXPECT_EQ(store.meshes[0]->name, "rel.ply");
}

TEST_F(OpenFilesTest, PlyWithoutVertexElementIsAnEmptyCurrentMesh) {
  std::string p = Write("empty.ply", "ply\nformat ascii 1.0\nend_header\n");
  Output([&] { store.OpenMesh(p.c_str()); });
  ASSERT_EQ(store.meshes.size(), 1u);
  EXPECT_EQ(store.current, 0);
  EXPECT_TRUE(store.meshes[0]->vertices.empty());
  BoundingBox box = store.TotalBounds();
  EXPECT_EQ(box.min[0], 0.0);
  EXPECT_EQ(box.max[0], 1.0);
}

TEST_F(OpenFilesTest, DepthMapsAccumulateWithMeshes) {
  std::string a = Ply("a.ply", Square(0));
  std::string d = Write("d.dpt", DptBytes(4, 3, 5.0f));
  std::string out = Output([&] {
    store.OpenMesh(a.c_str());
    store.OpenDepthMap(d.c_str());
  });
  EXPECT_EQ(out, "finish loading " + a + "\nfinish loading " + d + "\n");
  ASSERT_EQ(store.meshes.size(), 2u);
  EXPECT_EQ(store.current, 1);
  const Mesh& m = *store.meshes[1];
  EXPECT_EQ(m.name, d);
  EXPECT_EQ(m.vertices.size(), 12u);
  EXPECT_EQ(m.triangles.size(), 12u);  // 2 x (4-1) x (3-1)
  EXPECT_EQ(m.bounds.min[2], 5.0);
  EXPECT_EQ(m.bounds.max[2], 5.0);
  EXPECT_GT(std::fabs(m.vertices[5].normal[2]), 0.0f);
}

TEST_F(OpenFilesTest, NullPathsDoNothing) {
  std::string a = Ply("a.ply", Square(0));
  Output([&] { store.OpenMesh(a.c_str()); });
  store.isSequence = true;
  std::string out = Output([&] {
    store.OpenMesh(nullptr);
    store.OpenDepthMap(nullptr);
    store.OpenMeshSequence(nullptr);
    store.OpenDepthMapSequence(nullptr);
  });
  EXPECT_EQ(out, "");
  EXPECT_TRUE(script.questions.empty());
  EXPECT_EQ(store.meshes.size(), 1u);
  EXPECT_EQ(store.current, 0);
}

TEST_F(OpenFilesTest, FailedSingleLoadsLeaveEarlierMeshesUntouched) {
  std::string a = Ply("a.ply", Square(0)), b = Ply("b.ply", Square(2));
  Output([&] {
    store.OpenMesh(a.c_str());
    store.OpenMesh(b.c_str());
  });
  store.current = 0;
  const std::vector<Mesh*> before = store.meshes;
  const std::vector<MeshVertex> verticesBefore = store.meshes[0]->vertices;

  std::string bad[] = {dir + "/missing.ply", Write("bad.ply", "not a ply file\n"), dir + "/missing.dpt",
                       Write("short.dpt", DptBytes(4, 3, 1.0f).substr(0, 60)),
                       Write("header.dpt", std::string(20, '\0'))};
  for (int k = 0; k < 5; ++k) {
    std::string err;
    std::string out = Output(
        [&] {
          if (k < 2)
            store.OpenMesh(bad[k].c_str());
          else
            store.OpenDepthMap(bad[k].c_str());
        },
        &err);
    EXPECT_EQ(out, "") << bad[k];
    EXPECT_NE(err.find(bad[k]), std::string::npos) << err;
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(store.meshes, before);
    EXPECT_EQ(store.current, 0);
  }
  ASSERT_EQ(store.meshes[0]->vertices.size(), verticesBefore.size());
  EXPECT_EQ(
      std::memcmp(store.meshes[0]->vertices.data(), verticesBefore.data(), verticesBefore.size() * sizeof(MeshVertex)),
      0);
  EXPECT_TRUE(script.questions.empty());
}

TEST_F(OpenFilesTest, SingleFileOverASequenceAsksAndNoKeepsTheSequence) {
  std::string seq = DepthSequence("s.dsq");
  Output([&] { store.OpenDepthMapSequence(seq.c_str()); });
  ASSERT_TRUE(store.isSequence);
  store.Next(2);
  std::string a = Ply("a.ply", Square(0));
  std::string d = Write("d.dpt", DptBytes(2, 2, 1.0f));
  script.answer = 0;
  std::string out = Output([&] {
    store.OpenMesh(a.c_str());
    store.OpenDepthMap(d.c_str());
  });
  EXPECT_EQ(out, "");
  ASSERT_EQ(script.questions.size(), 2u);
  EXPECT_EQ(script.questions[0],
            "Please close current sequence before opening individual meshes. Do you want to continue?");
  EXPECT_EQ(script.questions[1],
            "Please close current sequence before opening individual depth maps. Do you want to continue?");
  EXPECT_EQ(store.meshes.size(), 3u);
  EXPECT_EQ(store.current, 2);
  EXPECT_TRUE(store.isSequence);
}

TEST_F(OpenFilesTest, YesReplacesTheSequenceEvenWhenTheReadThenFails) {
  std::string seq = DepthSequence("s.dsq");
  script.answer = 1;
  Output([&] { store.OpenDepthMapSequence(seq.c_str()); });
  std::string missing = dir + "/missing.ply";
  Output([&] { store.OpenMesh(missing.c_str()); });
  EXPECT_EQ(script.questions.size(), 1u);
  EXPECT_TRUE(store.meshes.empty());
  EXPECT_EQ(store.current, -1);
  EXPECT_FALSE(store.isSequence);
  EXPECT_FALSE(store.sharedTriangles);

  Output([&] { store.OpenDepthMapSequence(seq.c_str()); });
  std::string d = Write("d.dpt", DptBytes(2, 2, 1.0f));
  Output([&] { store.OpenDepthMap(d.c_str()); });
  ASSERT_EQ(store.meshes.size(), 1u);
  EXPECT_EQ(store.meshes[0]->name, d);
  EXPECT_EQ(store.current, 0);
  EXPECT_FALSE(store.isSequence);
}

TEST_F(OpenFilesTest, DepthMapSequenceLoadsEveryFrameInOrder) {
  std::string seq = DepthSequence("s.dsq");
  std::string out = Output([&] { store.OpenDepthMapSequence(seq.c_str()); });
  EXPECT_EQ(
      out, "finish loading " + dir + "/f1.dpt\rfinish loading " + dir + "/f2.dpt\rfinish loading " + dir + "/f3.dpt\r");
  ASSERT_EQ(store.meshes.size(), 3u);
  EXPECT_EQ(store.current, 0);
  EXPECT_TRUE(store.isSequence);
  EXPECT_FALSE(store.sharedTriangles);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(store.meshes[i]->name, dir + "/f" + std::to_string(i + 1) + ".dpt");
    EXPECT_EQ(store.meshes[i]->triangles.size(), 12u);
    EXPECT_EQ(store.meshes[i]->bounds.min[2], i + 1.0);
  }
  EXPECT_EQ(store.TotalBounds().max[2], 3.0);
  EXPECT_TRUE(script.questions.empty());
}

TEST_F(OpenFilesTest, PatternWithoutConversionLoadsTheSameFilePerFrame) {
  Write("same.dpt", DptBytes(2, 2, 1.0f));
  std::string seq = Write("s.dsq", dir + "/same.dpt 0 5 10");
  Output([&] { store.OpenDepthMapSequence(seq.c_str()); });
  ASSERT_EQ(store.meshes.size(), 3u);
  EXPECT_EQ(store.meshes[2]->name, dir + "/same.dpt");
  EXPECT_TRUE(store.isSequence);
}

TEST_F(OpenFilesTest, FailingFrameStopsAndKeepsTheFramesBeforeIt) {
  std::string seq = DepthSequence("s.dsq", 2, 4);
  std::string err;
  std::string out = Output([&] { store.OpenDepthMapSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "finish loading " + dir + "/f1.dpt\rfinish loading " + dir + "/f2.dpt\r");
  EXPECT_EQ(err, "DepthMap::LoadFromFile : fail to open " + dir + "/f3.dpt\n");
  // A shorter sequence: it plays from frame 0 and a single file asks before replacing it.
  ASSERT_EQ(store.meshes.size(), 2u);
  EXPECT_EQ(store.current, 0);
  EXPECT_TRUE(store.isSequence);
  const std::vector<MeshVertex>* v;
  const std::vector<MeshTriangle>* t;
  EXPECT_TRUE(store.CurrentArrays(v, t));
  store.Next(1);
  store.Next(1);
  EXPECT_EQ(store.current, 0);
  std::string a = Ply("a.ply", Square(0));
  Output([&] { store.OpenMesh(a.c_str()); });
  EXPECT_EQ(script.questions.size(), 1u);
  EXPECT_EQ(store.meshes.size(), 2u);
}

TEST_F(OpenFilesTest, HugeRangeWithMissingFilesStopsAtTheFirstFrame) {
  std::string seq = Write("s.dsq", dir + "/none%d.dpt 0 1 2147483647");
  std::string err;
  Output([&] { store.OpenDepthMapSequence(seq.c_str()); }, &err);
  EXPECT_EQ(err, "DepthMap::LoadFromFile : fail to open " + dir + "/none0.dpt\n");
  EXPECT_TRUE(store.meshes.empty());
}

TEST_F(OpenFilesTest, FrameNameTooLongStopsLikeAFailingFrame) {
  // Nested folders make the name of frame 1 exactly 1023 characters; frame 10 is one longer.
  std::string folder = dir;
  size_t remaining = 1023 - dir.size() - std::strlen("/x1.dpt");
  while (remaining > 0) {
    size_t n = remaining > 201 ? 200 : remaining - 1;
    folder += "/" + std::string(n, 'p');
    remaining -= n + 1;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << folder.size();
  }
  const std::string frame1 = folder + "/x1.dpt";
  ASSERT_EQ(frame1.size(), 1023u);
  FILE* f = std::fopen(frame1.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const std::string bytes = DptBytes(2, 2, 1.0f);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  std::string seq = Write("long.dsq", folder + "/x%d.dpt 1 9 10");
  std::string err;
  std::string out = Output([&] { store.OpenDepthMapSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "finish loading " + frame1 +
                     "\r"
                     "DepthMapSequenceDesc::FrameName: name of frame 10 is longer than 1023 characters\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(store.meshes.size(), 1u);
  EXPECT_EQ(store.current, 0);
  EXPECT_TRUE(store.isSequence);
}

TEST_F(OpenFilesTest, SequenceOverAnyMeshAsks) {
  std::string a = Ply("a.ply", Square(0));
  Output([&] { store.OpenMesh(a.c_str()); });
  std::string seq = DepthSequence("s.dsq");
  std::string mseq = Write("m.msq", "t.ply f%d.ply 1 1 1");
  script.answer = 0;
  std::string out = Output([&] {
    store.OpenDepthMapSequence(seq.c_str());
    store.OpenMeshSequence(mseq.c_str());
  });
  EXPECT_EQ(out, "");
  ASSERT_EQ(script.questions.size(), 2u);
  EXPECT_EQ(script.questions[0], "Please close all meshes before opening a new sequence. Do you want to continue?");
  EXPECT_EQ(script.questions[1], script.questions[0]);
  ASSERT_EQ(store.meshes.size(), 1u);
  EXPECT_EQ(store.meshes[0]->name, a);
  EXPECT_EQ(store.current, 0);
}

// Yes clears the store only once the new description is read and the files it starts from are
// there; each way of falling short prints the line of that failure and keeps the sequence.
TEST_F(OpenFilesTest, YesKeepsTheStoreWhenTheNewSequenceCannotStart) {
  std::string seq = DepthSequence("s.dsq");
  Output([&] { store.OpenDepthMapSequence(seq.c_str()); });
  script.answer = 1;
  std::string t = Ply("t.ply", Square(0));
  const std::string missing = dir + "/none.msq", elsewhere = dir + "/none1.dpt";
  const struct {
    bool mesh;
    std::string description, out, err;
  } rows[] = {
      {false, Write("bad.dsq", dir + "/f%d.dpt 1 2 4"), "Invalide depthmap name sequence description!\n", ""},
      {true, missing, "fail to load " + missing + "\n", ""},
      {false, Write("away.dsq", dir + "/none%d.dpt 1 1 3"), "",
       "DepthMap::LoadFromFile : fail to open " + elsewhere + "\n"},
      {true, Write("notemplate.msq", dir + "/no.ply " + dir + "/f%d.ply 1 1 1"), "fail to read template mesh!\n",
       "Mesh::readPly: fail to open " + dir + "/no.ply\n"},
      {true, Write("noframe.msq", t + " " + dir + "/g%d.ply 1 1 1"), "",
       "Mesh::readPly: fail to open " + dir + "/g1.ply\n"},
  };
  for (const auto& row : rows) {
    std::string err;
    std::string out = Output(
        [&] {
          if (row.mesh)
            store.OpenMeshSequence(row.description.c_str());
          else
            store.OpenDepthMapSequence(row.description.c_str());
        },
        &err);
    EXPECT_EQ(out, row.out) << row.description;
    EXPECT_EQ(err, row.err) << row.description;
    ASSERT_EQ(store.meshes.size(), 3u) << row.description;
    EXPECT_TRUE(store.isSequence);
    EXPECT_EQ(store.current, 0);
  }
  EXPECT_EQ(script.questions.size(), 5u);
}

TEST_F(OpenFilesTest, MeshSequenceFramesShareTheTemplateTriangles) {
  // The template's triangles use a winding the frames' own faces do not have.
  std::string t = Ply("t.ply", Square(100), {{0, 2, 1}, {0, 3, 2}}, false);
  for (int i = 0; i < 3; ++i) Ply("w" + std::to_string(i * 2) + ".ply", Square(float(i)), {{0, 1, 2}});
  std::string seq = Write("w.msq", t + "  " + dir + "/w%d.ply\n0 2 4\n");
  std::string out = Output([&] { store.OpenMeshSequence(seq.c_str()); });
  EXPECT_EQ(
      out, "finish loading " + dir + "/w0.ply\rfinish loading " + dir + "/w2.ply\rfinish loading " + dir + "/w4.ply\r");
  ASSERT_EQ(store.meshes.size(), 3u);
  EXPECT_EQ(store.current, 0);
  EXPECT_TRUE(store.isSequence);
  EXPECT_TRUE(store.sharedTriangles);
  const Mesh& first = *store.meshes[0];
  EXPECT_EQ(first.name, dir + "/w0.ply");
  ASSERT_EQ(first.triangles.size(), 2u);
  EXPECT_EQ(first.triangles[0].indices[1], 2);
  EXPECT_EQ(first.vertices[0].position[0], 0.0f);  // the frame's vertices, not the template's
  EXPECT_EQ(first.bounds.max[0], 1.0);
  for (int i = 1; i < 3; ++i) {
    EXPECT_TRUE(store.meshes[i]->triangles.empty());
    EXPECT_EQ(store.meshes[i]->bounds.min[0], double(i));
    // Normals over the template's clockwise triangles point to -z.
    EXPECT_LT(store.meshes[i]->vertices[0].normal[2], 0.0f);
  }
  EXPECT_LT(first.vertices[2].normal[2], 0.0f);
  BoundingBox box = store.TotalBounds();
  EXPECT_EQ(box.min[0], 0.0);
  EXPECT_EQ(box.max[0], 3.0);

  store.current = 2;
  const std::vector<MeshVertex>* v;
  const std::vector<MeshTriangle>* tr;
  ASSERT_TRUE(store.CurrentArrays(v, tr));
  EXPECT_EQ(v, &store.meshes[2]->vertices);
  EXPECT_EQ(tr, &store.meshes[0]->triangles);
}

TEST_F(OpenFilesTest, FirstFrameFixesTheOptionalProperties) {
  std::string t = Ply("t.ply", Square(0), kSquareFaces, false);
  Ply("c1.ply", Square(0), {}, true);
  Ply("c2.ply", Square(1), {}, true);
  Ply("c3.ply", Square(2), {}, false);
  std::string seq = Write("c.msq", t + " " + dir + "/c%d.ply 1 1 3");
  std::string err;
  std::string out = Output([&] { store.OpenMeshSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "finish loading " + dir + "/c1.ply\rfinish loading " + dir + "/c2.ply\r");
  EXPECT_EQ(err, "Mesh::readPly: fail to read confidence in " + dir + "/c3.ply\n");
  ASSERT_EQ(store.meshes.size(), 2u);
  EXPECT_EQ(store.current, 0);
  EXPECT_TRUE(store.isSequence && store.sharedTriangles);
  EXPECT_EQ(store.meshes[0]->triangles.size(), 2u);
  EXPECT_EQ(store.meshes[1]->vertices[0].confidence, 0.5f);
}

TEST_F(OpenFilesTest, FrameWithTooFewVerticesForTheTemplateStops) {
  std::string t = Ply("t.ply", Square(0));
  Ply("v1.ply", Square(0), {});
  Ply("v2.ply", {{0, 0, 0, 1}, {1, 0, 0, 1}, {1, 1, 0, 1}}, {});
  std::string seq = Write("v.msq", t + " " + dir + "/v%d.ply 1 1 2");
  std::string err;
  std::string out = Output([&] { store.OpenMeshSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "finish loading " + dir + "/v1.ply\r");
  EXPECT_EQ(err.find("MeshStore::OpenMeshSequence: "), 0u) << err;
  EXPECT_NE(err.find(dir + "/v2.ply\n"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
  ASSERT_EQ(store.meshes.size(), 1u);

  // The first frame is read into the template and is checked the same way.
  store.Clear();
  Ply("u1.ply", {{0, 0, 0, 1}}, {});
  seq = Write("u.msq", t + " " + dir + "/u%d.ply 1 1 2");
  out = Output([&] { store.OpenMeshSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "");
  EXPECT_NE(err.find(dir + "/u1.ply"), std::string::npos);
  EXPECT_TRUE(store.meshes.empty());
}

TEST_F(OpenFilesTest, TemplateThatFailsOrHasNoTrianglesLoadsNothing) {
  Ply("f1.ply", Square(0), {});
  std::string missing = dir + "/missing.ply";
  std::string seq = Write("a.msq", missing + " " + dir + "/f%d.ply 1 1 1");
  std::string err;
  std::string out = Output([&] { store.OpenMeshSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "fail to read template mesh!\n");
  EXPECT_EQ(err, "Mesh::readPly: fail to open " + missing + "\n");
  EXPECT_TRUE(store.meshes.empty());

  std::string flat = Ply("flat.ply", Square(0), {});
  seq = Write("b.msq", flat + " " + dir + "/f%d.ply 1 1 1");
  out = Output([&] { store.OpenMeshSequence(seq.c_str()); });
  EXPECT_EQ(out, "template mesh has no triangle!\n");
  EXPECT_TRUE(store.meshes.empty());
  EXPECT_EQ(store.current, -1);
  EXPECT_FALSE(store.isSequence);

  seq = Write("c.msq", flat + " " + dir + "/f%d.ply 1 1");
  out = Output([&] { store.OpenMeshSequence(seq.c_str()); });
  EXPECT_EQ(out, "fail to read " + seq + "\n");
}

// What the guard is told: a machine of 1 GiB (so a reserve of 256 MiB) with `spare` bytes more.
int64_t spare = 0;
int64_t OneGiB() { return int64_t(1) << 30; }
int64_t ReservePlusSpare() { return (int64_t(256) << 20) + spare; }

TEST_F(OpenFilesTest, MemoryGuardStopsBeforeTheFrameThatWouldNotFit) {
  MemoryGuard::physical = OneGiB;
  MemoryGuard::available = ReservePlusSpare;
  spare = 1 << 20;
  store.workers = 2;
  // Small frames each fit (in flight together, too); a 300 x 300 map does not.
  DepthSequence("s.dsq", 4);
  std::string big = Write("f3.dpt", DptBytes(300, 300, 1.0f));
  std::string seq = Write("s.dsq", dir + "/f%d.dpt 1 1 4\n");
  std::string err;
  std::string out = Output([&] { store.OpenDepthMapSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "finish loading " + dir + "/f1.dpt\rfinish loading " + dir + "/f2.dpt\r");
  EXPECT_EQ(err, "MeshStore::OpenDepthMapSequence: not enough memory for " + big + "\n");
  ASSERT_EQ(store.meshes.size(), 2u);
  EXPECT_TRUE(store.isSequence);

  // A single file adds nothing.
  store.Clear();
  out = Output([&] { store.OpenDepthMap(big.c_str()); }, &err);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "MeshStore::OpenDepthMap: not enough memory for " + big + "\n");
  EXPECT_EQ(store.meshes.size(), 0u);

  // 200 bytes for a square with its faces (the reader's list buffer too), 128 for its vertices
  // alone, 1280 for 40 vertices.
  spare = 200;
  std::string a = Ply("a.ply", Square(0));
  out = Output([&] { store.OpenMesh(a.c_str()); }, &err);
  EXPECT_EQ(out, "finish loading " + a + "\n");
  spare = 100;
  out = Output([&] { store.OpenMesh(a.c_str()); }, &err);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "MeshStore::OpenMesh: not enough memory for " + a + "\n");
  EXPECT_EQ(store.meshes.size(), 1u);

  spare = 300;
  store.Clear();
  std::string t = Ply("t.ply", Square(0));
  Ply("w1.ply", Square(1), {});
  Ply("w2.ply", Square(2), {});
  std::vector<Vertex> many;
  for (int i = 0; i < 10; ++i) {
    const std::vector<Vertex> square = Square(float(i));
    many.insert(many.end(), square.begin(), square.end());
  }
  std::string large = Ply("w3.ply", many, {});
  Ply("w4.ply", Square(4), {});
  std::string mseq = Write("w.msq", t + " " + dir + "/w%d.ply 1 1 4");
  out = Output([&] { store.OpenMeshSequence(mseq.c_str()); }, &err);
  EXPECT_EQ(out, "finish loading " + dir + "/w1.ply\rfinish loading " + dir + "/w2.ply\r");
  EXPECT_EQ(err, "MeshStore::OpenMeshSequence: not enough memory for " + large + "\n");
  EXPECT_EQ(store.meshes.size(), 2u);
  EXPECT_TRUE(store.sharedTriangles);
}

// A commit that throws: std::bad_alloc refuses that frame as the guard does, anything else reaches
// the caller; either way after every worker is joined and the frames read ahead are freed.
TEST_F(OpenFilesTest, ThrowingCommitStopsTheLoadWithEveryWorkerJoined) {
  for (bool outOfMemory : {true, false}) {
    FrameLoader loader;
    loader.workers = 3;
    loader.owner = "Owner";
    loader.name = [](int64_t k, std::string& name, bool) {
      name = "f" + std::to_string(k);
      return true;
    };
    loader.bytes = [](const std::string&) { return int64_t(0); };
    loader.load = [](const std::string&) { return std::unique_ptr<Mesh>(new Mesh); };
    int64_t kept = 0;
    loader.commit = [&](std::unique_ptr<Mesh>, const std::string&) {
      if (kept == 2 && outOfMemory) throw std::bad_alloc();
      if (kept == 2) throw std::runtime_error("commit");
      return ++kept > 0;
    };
    std::string err;
    if (outOfMemory) {
      int64_t committed = -1;
      Output([&] { committed = loader.Run(6); }, &err);
      EXPECT_EQ(committed, 2);
      EXPECT_EQ(err, "Owner: not enough memory for f2\n");
    } else {
      EXPECT_THROW(loader.Run(6), std::runtime_error);
    }
    EXPECT_EQ(kept, 2);
  }
}

// The user's stop keeps the frames so far as a shorter sequence, with one line saying so.
TEST_F(OpenFilesTest, ProgressStopsTheLoadAndTheFramesSoFarPlay) {
  std::string seq = DepthSequence("s.dsq", 4, 4);
  std::vector<int64_t> asked;
  store.progress = [&](int64_t done, int64_t total) {
    asked.push_back(done * 10 + total);
    return done < 2;
  };
  std::string err;
  std::string out = Output([&] { store.OpenDepthMapSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "finish loading " + dir + "/f1.dpt\rfinish loading " + dir + "/f2.dpt\r");
  EXPECT_EQ(err, "MeshStore::OpenDepthMapSequence: loading stopped after 2 frames\n");
  EXPECT_EQ(asked, std::vector<int64_t>({4, 14, 24}));
  ASSERT_EQ(store.meshes.size(), 2u);
  EXPECT_EQ(store.current, 0);
  EXPECT_TRUE(store.isSequence);

  std::string t = Ply("t.ply", Square(0));
  for (int i = 1; i <= 3; ++i) Ply("w" + std::to_string(i) + ".ply", Square(float(i)), {});
  store.progress = [](int64_t done, int64_t) { return done < 1; };
  store.Clear();
  out = Output([&] { store.OpenMeshSequence(Write("w.msq", t + " " + dir + "/w%d.ply 1 1 3").c_str()); }, &err);
  EXPECT_EQ(err, "MeshStore::OpenMeshSequence: loading stopped after 1 frames\n");
  ASSERT_EQ(store.meshes.size(), 1u);
  EXPECT_TRUE(store.isSequence && store.sharedTriangles);
  EXPECT_EQ(store.current, 0);
}

// The kernel's MemAvailable where the file has it; else free and buffer memory, never all of it.
TEST_F(OpenFilesTest, AvailableMemoryComesFromMemInfoOrElseFromTheSystem) {
  EXPECT_EQ(MemoryGuard::AvailableIn(Write("a", "MemTotal: 9 kB\nMemAvailable: 1234 kB\n").c_str()), 1234 * 1024);
  const int64_t physical = int64_t(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
  for (const char* text : {"", "MemTotal: 99 kB\n", "MemAvailable: lots\n"}) {
    const int64_t available = MemoryGuard::AvailableIn(Write("b", text).c_str());
    EXPECT_GT(available, 0) << text;
    EXPECT_LT(available, physical) << text;
  }
  EXPECT_LT(MemoryGuard::AvailableIn((dir + "/none").c_str()), physical);
}

// One polygon of `corners` corners `faces` times over `corners` vertices, ASCII or binary.
std::string PolygonPly(bool binary, int faces, int corners) {
  std::string s = std::string("ply\nformat ") + (binary ? "binary_little_endian" : "ascii") + " 1.0\nelement vertex " +
                  std::to_string(corners) + "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                  std::to_string(faces) + "\nproperty list uchar int vertex_indices\nend_header\n";
  for (int i = 0; i < corners; ++i) {
    const float v[3] = {float(std::cos(i * 0.1)), float(std::sin(i * 0.1)), 0.0f};
    s += binary ? std::string(reinterpret_cast<const char*>(v), sizeof v)
                : std::to_string(v[0]) + " " + std::to_string(v[1]) + " 0\n";
  }
  for (int f = 0; f < faces; ++f) {
    s += binary ? std::string(1, char(corners)) : std::to_string(corners);
    for (int32_t i = 0; i < corners; ++i)
      s += binary ? std::string(reinterpret_cast<const char*>(&i), 4) : " " + std::to_string(i);
    if (!binary) s += "\n";
  }
  return s;
}

// A face of n corners makes n - 2 triangles: 20 faces of 200 corners take 95 KB, not 480 bytes.
// Binary faces of one size are counted before the read; ASCII digits tell nothing of the count,
// so there the reader's growth is refused as it reads. Either way nothing of the file is kept.
TEST_F(OpenFilesTest, PolygonFacesAreRefusedBeforeOrWhileTheyAreRead) {
  MemoryGuard::physical = OneGiB;
  MemoryGuard::available = ReservePlusSpare;
  for (bool binary : {true, false}) {
    const std::string p = Write(binary ? "b.ply" : "a.ply", PolygonPly(binary, 20, 200));
    const std::string seq = Write("p.msq", p + " " + p + " 1 1 1");
    spare = 20000;
    store.Clear();
    Output([&] { store.OpenDepthMap(Write("d.dpt", DptBytes(2, 2, 1.0f)).c_str()); });
    std::string err;
    std::string out = Output([&] { store.OpenMesh(p.c_str()); }, &err);
    EXPECT_EQ(out, "") << p;
    EXPECT_EQ(err, "MeshStore::OpenMesh: not enough memory for " + p + "\n");
    ASSERT_EQ(store.meshes.size(), 1u);
    EXPECT_EQ(store.current, 0);
    store.Clear();
    out = Output([&] { store.OpenMeshSequence(seq.c_str()); }, &err);
    EXPECT_EQ(out, "") << p;
    EXPECT_EQ(err, "MeshStore::OpenMeshSequence: not enough memory for " + p + "\n");
    EXPECT_TRUE(store.meshes.empty());

    spare = 1 << 20;
    Output([&] { store.OpenMesh(p.c_str()); });
    ASSERT_EQ(store.meshes.size(), 1u) << p;
    EXPECT_EQ(store.meshes[0]->triangles.size(), 20u * 198u);
    store.Clear();
    Output([&] { store.OpenMeshSequence(seq.c_str()); });
    ASSERT_EQ(store.meshes.size(), 1u) << p;
    EXPECT_EQ(store.meshes[0]->triangles.size(), 20u * 198u);
  }
}

// Standard output and error of f as one text, in the order the lines were written.
template <class F>
std::string Interleaved(F f) {
  std::fflush(stdout);
  std::fflush(stderr);
  FILE* both = std::tmpfile();
  const int out = dup(1), err = dup(2);
  dup2(fileno(both), 1);
  dup2(fileno(both), 2);
  f();
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(out, 1);
  dup2(err, 2);
  close(out);
  close(err);
  std::string text(size_t(std::ftell(both)), '\0');
  std::rewind(both);
  text.resize(std::fread(&text[0], 1, text.size(), both));
  std::fclose(both);
  return text;
}

TEST_F(OpenFilesTest, WorkersCommitInFrameOrderAndNothingAfterAFailingFrame) {
  // Frame 2 fails (missing, or cut short while a large frame 1 is still read) and frame 3 is a
  // pipe no one writes: it is never opened, and frame 2's line comes after frame 1's.
  store.workers = 3;
  Write("f1.dpt", DptBytes(600, 600, 1.0f));
  const std::string f2 = dir + "/f2.dpt", f3 = dir + "/f3.dpt";
  ASSERT_EQ(mkfifo(f3.c_str(), 0600), 0);
  std::string seq = Write("s.dsq", dir + "/f%d.dpt 1 1 5\n");
  for (const char* failure : {"fail to open ", "fail to read "}) {
    if (failure[8] == 'r') Write("f2.dpt", "ab");
    store.Clear();
    std::string text = Interleaved([&] { store.OpenDepthMapSequence(seq.c_str()); });
    EXPECT_EQ(text, "finish loading " + dir + "/f1.dpt\rDepthMap::LoadFromFile : " + failure + f2 + "\n");
    EXPECT_EQ(store.meshes.size(), 1u);
  }

  // Without a failure, every frame in order, though the later, smaller ones finish first.
  store.Clear();
  std::string out;
  for (int i = 1; i <= 9; ++i) Write("g" + std::to_string(i) + ".dpt", DptBytes((10 - i) * 2000, 3, float(i)));
  seq = Write("g.dsq", dir + "/g%d.dpt 1 1 9\n");
  out = Output([&] { store.OpenDepthMapSequence(seq.c_str()); });
  std::string expected;
  for (int i = 1; i <= 9; ++i) expected += "finish loading " + dir + "/g" + std::to_string(i) + ".dpt\r";
  EXPECT_EQ(out, expected);
  ASSERT_EQ(store.meshes.size(), 9u);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(store.meshes[size_t(i)]->vertices.size(), size_t((9 - i) * 6000));
  EXPECT_TRUE(store.isSequence);
}

TEST_F(OpenFilesTest, EmptyFrameNameReachesTheReader) {
  std::string seq = Write("e.dsq", "%.0d 0 1 0");
  std::string err;
  std::string out = Output([&] { store.OpenDepthMapSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "DepthMap::LoadFromFile : fail to open \n");

  std::string t = Ply("t.ply", Square(0));
  seq = Write("e.msq", t + " %.0d 0 1 0");
  out = Output([&] { store.OpenMeshSequence(seq.c_str()); }, &err);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "Mesh::readPly: fail to open \n");
  EXPECT_TRUE(store.meshes.empty());
}

TEST_F(OpenFilesTest, ChoosersPassTheirTextsAndCancelDoesNothing) {
  std::string a = Ply("a.ply", Square(0));
  script.chosen = nullptr;
  Dialogs::folder.clear();
  const std::string cwd = std::filesystem::current_path().string() + "/";
  std::string out = Output([&] {
    store.ChooseMesh();
    store.ChooseDepthMap();
    store.ChooseMeshSequence();
    store.ChooseDepthMapSequence();
  });
  EXPECT_EQ(out, "");
  EXPECT_TRUE(store.meshes.empty());
  // Until a file is chosen the choosers open in the working folder.
  const std::vector<std::string> expected = {"Choose a mesh|*.ply|" + cwd + "|0",
                                             "Choose a depthmap|*.dpt|" + cwd + "|0",
                                             "Choose a mesh sequence file|*.{msq,txt}|" + cwd + "|0",
                                             "Choose a depth map sequence file|*.{dsq,txt}|" + cwd + "|0"};
  EXPECT_EQ(script.chooserCalls, expected);

  script.chosen = a.c_str();
  out = Output([&] { store.ChooseMesh(); });
  EXPECT_EQ(out, "finish loading " + a + "\n");
  std::string d = Write("d.dpt", DptBytes(2, 2, 1.0f));
  script.chosen = d.c_str();
  Output([&] { store.ChooseDepthMap(); });
  ASSERT_EQ(store.meshes.size(), 2u);
  EXPECT_EQ(script.chooserCalls.back(), "Choose a depthmap|*.dpt|" + dir + "/|0") << "not where a.ply was chosen";
  std::string seq = DepthSequence("s.dsq");
  script.chosen = seq.c_str();
  script.answer = 1;
  Output([&] { store.ChooseDepthMapSequence(); });
  EXPECT_EQ(store.meshes.size(), 3u);
  EXPECT_TRUE(store.isSequence);
  std::string t = Ply("t.ply", Square(0));
  Ply("m1.ply", Square(0), {});
  std::string mseq = Write("m.msq", t + " " + dir + "/m%d.ply 1 1 1");
  script.chosen = mseq.c_str();
  Output([&] { store.ChooseMeshSequence(); });
  EXPECT_EQ(store.meshes.size(), 1u);
  EXPECT_TRUE(store.sharedTriangles);
  Dialogs::folder.clear();
}

TEST_F(OpenFilesTest, EmptyStoreStepsAfterDeleteAll) {
  std::string seq = DepthSequence("s.dsq");
  Output([&] { store.OpenDepthMapSequence(seq.c_str()); });
  store.Clear();
  store.Next(1);
  store.Prev(1);
  EXPECT_EQ(store.current, -1);
  std::string out = Output([&] { store.DeleteCurrent(); });
  EXPECT_EQ(out, "try to delete mesh from an empty set!\n");
}

}  // namespace
