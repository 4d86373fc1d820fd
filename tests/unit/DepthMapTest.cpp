#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "examples/ExampleScenes.h"
#include "store/CImage.h"
#include "store/DepthMap.h"
#include "tests/unit/TestFiles.h"

#if defined(__SANITIZE_ADDRESS__)
#define VEXOL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXOL_UNDER_ASAN 1
#endif
#endif

namespace {

class DepthMapFile : public testing::Test {
 protected:
  TempDir temp;
  std::string dir;

  void SetUp() override {
    ASSERT_FALSE(temp.path.empty());
    dir = temp.path;
  }

  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = dir + "/" + name;
    EXPECT_TRUE(WriteBytes(path, bytes));
    return path;
  }

  // Loads and returns what it printed on standard error.
  static std::string Load(DepthMap& map, const std::string& path, bool& ok) {
    testing::internal::CaptureStderr();
    ok = map.LoadFromFile(path.c_str());
    return testing::internal::GetCapturedStderr();
  }
};

template <class T>
void Append(std::string& s, T v) {
  s.append(reinterpret_cast<const char*>(&v), sizeof v);
}

std::string Header(double fx, double fy, double cx, double cy, double skew, int32_t w, int32_t h) {
  std::string s;
  Append(s, fx);
  Append(s, fy);
  Append(s, cx);
  Append(s, cy);
  Append(s, skew);
  Append(s, w);
  Append(s, h);
  return s;
}

std::vector<int32_t> IndexElements(const DepthMap& map) {
  std::vector<int32_t> out;
  for (int32_t y = 0; y < map.indexImage.height; ++y)
    for (int32_t x = 0; x < map.indexImage.width; ++x) out.push_back(map.indexImage.At(x, y));
  return out;
}

DepthMapData Scattered(int32_t w, int32_t h) {
  DepthMapData d;
  d.fx = 100;
  d.fy = 110;
  d.cx = w / 2.0;
  d.cy = h / 2.0;
  d.skew = 0.01;
  d.width = w;
  d.height = h;
  for (int32_t k = 0; k < w * h; ++k) {
    d.valid.push_back((k * 7 + k / 3) % 5 < 3);
    d.depth.push_back(10.0f + 0.25f * k);
  }
  return d;
}

}  // namespace

TEST_F(DepthMapFile, TwoByTwoExampleHasItsOffsetsAndIndexImage) {
  std::string bytes = Header(500.25, 501.5, 1.0, 0.5, 0.125, 2, 2);
  bytes += std::string("\x09\0\0\0", 4);  // pixels 0 and 3 valid
  Append(bytes, 1.5f);
  Append(bytes, 2.5f);
  ASSERT_EQ(bytes.size(), 60u);  // depths start at 52: the mask fills a whole 32-bit word

  DepthMapData same;
  same.fx = 500.25, same.fy = 501.5, same.cx = 1.0, same.cy = 0.5, same.skew = 0.125;
  same.width = same.height = 2;
  same.valid = {1, 0, 0, 1};
  same.depth = {1.5f, 9.0f, 9.0f, 2.5f};
  EXPECT_EQ(DptBytes(same), bytes);  // the shared writer other tests rely on

  std::string path = Write("two.dpt", bytes);
  DepthMap map;
  bool ok = false;
  EXPECT_EQ(Load(map, path, ok), "");
  ASSERT_TRUE(ok);
  EXPECT_EQ(map.fx, 500.25);
  EXPECT_EQ(map.fy, 501.5);
  EXPECT_EQ(map.cx, 1.0);
  EXPECT_EQ(map.cy, 0.5);
  EXPECT_EQ(map.skew, 0.125);
  EXPECT_EQ(map.width, 2);
  EXPECT_EQ(map.height, 2);
  EXPECT_EQ(map.bands, 1);
  EXPECT_EQ(map.indexImage.pixelStride, 1);
  EXPECT_EQ(map.indexImage.rowStride, 2);
  EXPECT_EQ(IndexElements(map), (std::vector<int32_t>{0, -1, -1, 1}));
  EXPECT_EQ(map.depths, (std::vector<double>{1.5, 2.5}));
  EXPECT_EQ(map.name, path);
}

TEST_F(DepthMapFile, MaskOf33PixelsTakesTwoWordsAndBitsRunOnAcrossRows) {
  std::string bytes = Header(1, 1, 0, 0, 0, 33, 1);
  bytes += std::string("\x01\0\0\0\x01\0\0\0", 8);  // pixels 0 and 32
  Append(bytes, 4.0f);
  Append(bytes, 8.0f);
  DepthMap map;
  bool ok = false;
  Load(map, Write("wide.dpt", bytes), ok);
  ASSERT_TRUE(ok);
  std::vector<int32_t> expected(33, -1);
  expected[0] = 0;
  expected[32] = 1;
  EXPECT_EQ(IndexElements(map), expected);
  EXPECT_EQ(map.depths, (std::vector<double>{4.0, 8.0}));

  // 3 x 3 with bits 2, 3 and 8: the bit after row 0's last pixel is row 1's first.
  bytes = Header(1, 1, 0, 0, 0, 3, 3);
  bytes += std::string("\x0c\x01\0\0", 4);
  Append(bytes, 1.0f);
  Append(bytes, 2.0f);
  Append(bytes, 3.0f);
  Load(map, Write("square.dpt", bytes), ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(IndexElements(map), (std::vector<int32_t>{-1, -1, 0, 1, -1, -1, -1, -1, 2}));
}

TEST_F(DepthMapFile, ScatteredMaskNumbersValidPixelsInScanOrder) {
  DepthMapData data = Scattered(13, 7);
  DepthMap map;
  bool ok = false;
  Load(map, Write("scatter.dpt", DptBytes(data)), ok);
  ASSERT_TRUE(ok);
  std::vector<int32_t> index = IndexElements(map);
  ASSERT_EQ(index.size(), 91u);
  size_t next = 0;
  for (size_t k = 0; k < index.size(); ++k) {
    if (!data.valid[k]) {
      EXPECT_EQ(index[k], -1);
      continue;
    }
    ASSERT_EQ(index[k], int32_t(next));
    EXPECT_EQ(map.depths[next], data.depth[k]);
    ++next;
  }
  EXPECT_EQ(map.depths.size(), next);
}

TEST_F(DepthMapFile, ZeroSizesAndEmptyMasksLoad) {
  const int32_t shapes[][2] = {{0, 0}, {0, 5}, {7, 0}};
  for (const auto& s : shapes) {
    DepthMap map;
    bool ok = false;
    EXPECT_EQ(Load(map, Write("zero.dpt", Header(1, 1, 0, 0, 0, s[0], s[1])), ok), "");
    EXPECT_TRUE(ok) << s[0] << " x " << s[1];
    EXPECT_EQ(map.indexImage.pixels, nullptr);
    EXPECT_EQ(map.indexImage.block, nullptr);
    EXPECT_EQ(map.width, s[0]);
    EXPECT_EQ(map.height, s[1]);
    EXPECT_TRUE(map.depths.empty());
  }

  DepthMapData none = Scattered(9, 4);
  none.valid.assign(36, 0);
  DepthMap map;
  bool ok = false;
  Load(map, Write("none.dpt", DptBytes(none)), ok);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(map.depths.empty());
  EXPECT_EQ(IndexElements(map), std::vector<int32_t>(36, -1));
}

TEST_F(DepthMapFile, TruncationInEverySectionIsRefusedAndExtraBytesAreNot) {
  DepthMapData data = Scattered(5, 4);
  std::string bytes = DptBytes(data);
  size_t mask = 48 + 4;
  ASSERT_GT(bytes.size(), mask + 4);
  const size_t cuts[] = {0, 7, 20, 39, 40, 44, 47, 48, 50, mask, mask + 3, bytes.size() - 1};
  for (size_t cut : cuts) {
    std::string path = Write("cut" + std::to_string(cut) + ".dpt", bytes.substr(0, cut));
    DepthMap map;
    bool ok = true;
    EXPECT_EQ(Load(map, path, ok), "DepthMap::LoadFromFile : fail to read " + path + "\n") << cut;
    EXPECT_FALSE(ok) << cut;
  }
  DepthMap map;
  bool ok = false;
  EXPECT_EQ(Load(map, Write("long.dpt", bytes + "trailing bytes"), ok), "");
  EXPECT_TRUE(ok);
}

// A pipe cannot say how long it is: the reader must then grow its buffers only as data arrives.
TEST_F(DepthMapFile, PipeIsReadWholeOrRefusedWhenItEndsEarly) {
  std::string whole = DptBytes(Scattered(40, 30));
  const std::string sends[] = {whole, whole.substr(0, whole.size() - 3),
                               Header(1, 1, 0, 0, 0, 16000, 16000) + std::string(5000, '\xff')};
  for (size_t i = 0; i < 3; ++i) {
    std::string path = dir + "/pipe" + std::to_string(i);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::fflush(stderr);
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      FILE* f = std::fopen(path.c_str(), "wb");
      if (f) std::fwrite(sends[i].data(), 1, sends[i].size(), f);
      _exit(f && std::fclose(f) == 0 ? 0 : 1);
    }
    DepthMap map;
    bool ok = false;
    std::string err = Load(map, path, ok);
    int status = 0;
    waitpid(writer, &status, 0);
    if (i == 0) {
      EXPECT_TRUE(ok) << err;
      DepthMap fromFile;
      bool fileOk = false;
      Load(fromFile, Write("regular.dpt", whole), fileOk);
      ASSERT_TRUE(fileOk);
      EXPECT_EQ(IndexElements(map), IndexElements(fromFile));
      EXPECT_EQ(map.depths, fromFile.depths);
      EXPECT_FALSE(map.depths.empty());
    } else {
      EXPECT_FALSE(ok) << i;
      EXPECT_EQ(err, "DepthMap::LoadFromFile : fail to read " + path + "\n");
      EXPECT_EQ(map.indexImage.pixels, nullptr);
    }
  }
}

TEST_F(DepthMapFile, MissingFileIsNotOpened) {
  DepthMap map;
  bool ok = true;
  std::string path = dir + "/absent.dpt";
  EXPECT_EQ(Load(map, path, ok), "DepthMap::LoadFromFile : fail to open " + path + "\n");
  EXPECT_FALSE(ok);
  EXPECT_EQ(map.width, 0);
  EXPECT_TRUE(map.name.empty());
}

TEST_F(DepthMapFile, FailedLoadLeavesThePreviousMapWhole) {
  std::string good = Write("good.dpt", DptBytes(Scattered(6, 5)));
  DepthMap map;
  bool ok = false;
  Load(map, good, ok);
  ASSERT_TRUE(ok);
  std::vector<int32_t> index = IndexElements(map);
  std::vector<double> depths = map.depths;

  std::string other = DptBytes(Scattered(8, 3));
  Load(map, Write("bad.dpt", other.substr(0, other.size() - 2)), ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(map.name, good);
  EXPECT_EQ(map.width, 6);
  EXPECT_EQ(map.height, 5);
  EXPECT_EQ(map.fx, 100);
  EXPECT_EQ(IndexElements(map), index);
  EXPECT_EQ(map.depths, depths);
}

TEST_F(DepthMapFile, HostileSizesAreRefusedAtOnce) {
  struct Shape {
    int32_t w, h;
  };
  // Negative sides (also a product that comes out positive), counts that wrap int32 to 0 or to a
  // negative number, and byte counts just past int32.
  const Shape shapes[] = {{-1, 5},        {5, -1},        {-2, -2},       {65536, 65536}, {32768, 65536},
                          {46341, 46341}, {23171, 23171}, {INT32_MAX, 1}, {30000, 30000}};
  for (const Shape& s : shapes) {
    std::string bytes = Header(1, 1, 0, 0, 0, s.w, s.h) + std::string(12, '\xff');  // 60 bytes
    std::string path = Write("hostile.dpt", bytes);
    DepthMap map;
    bool ok = true;
    auto t0 = std::chrono::steady_clock::now();
    std::string err = Load(map, path, ok);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_FALSE(ok) << s.w << " x " << s.h;
    EXPECT_EQ(err, "DepthMap::LoadFromFile : fail to read " + path + "\n") << s.w << " x " << s.h;
    EXPECT_LT(ms, 100.0) << s.w << " x " << s.h;
    EXPECT_EQ(map.indexImage.pixels, nullptr);
  }
}

// Loads three files in a copy of this binary started with little memory: under the address
// sanitizer through its allocation limit, else through an address-space limit set here.
namespace {
struct TightMemoryChild {
  TightMemoryChild() {
    const char* dir = std::getenv("VEXOL_TIGHT_MEMORY_DIR");
    if (!dir) return;
    std::string d = dir;
    if (!std::freopen((d + "/child.log").c_str(), "w", stderr)) _exit(3);
#ifndef VEXOL_UNDER_ASAN
    FILE* statm = std::fopen("/proc/self/statm", "r");
    long pages = 0;
    if (!statm || std::fscanf(statm, "%ld", &pages) != 1) _exit(4);
    std::fclose(statm);
    rlimit limit;
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(160) << 20);
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(5);
#endif
    DepthMap map;
    bool refused = !map.LoadFromFile((d + "/small.dpt").c_str()) && !map.LoadFromFile((d + "/nodepths.dpt").c_str());
    bool failed = !map.LoadFromFile((d + "/big.dpt").c_str());
    std::fflush(stderr);
    _exit(refused && failed ? 0 : 1);
  }
};
TightMemoryChild tightMemoryChild;
}  // namespace

// A shape that fits int32 but not the file, and a file with its whole mask but no depths, are
// refused without reaching for the index image's memory (which would fail there and say so); a
// whole file that needs more memory than there is fails its load with both lines, and the
// process goes on.
TEST_F(DepthMapFile, RefusalsComeBeforeTheIndexImageAndAllocationFailureIsNotFatal) {
  std::string small = Write("small.dpt", Header(1, 1, 0, 0, 0, 16384, 16384) + std::string(12, '\xff'));
  std::string maskOnly = Header(1, 1, 0, 0, 0, 8192, 8192);
  maskOnly += std::string(8192 * 8192 / 8, '\xff');
  std::string noDepths = Write("nodepths.dpt", maskOnly);
  std::string empty = Header(1, 1, 0, 0, 0, 16384, 16384);
  empty += std::string(16384 * 16384 / 8, '\0');  // all invalid: the file is whole
  std::string big = Write("big.dpt", empty);

  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("VEXOL_TIGHT_MEMORY_DIR", dir.c_str(), 1);
    setenv("ASAN_OPTIONS", "allocator_may_return_null=1:max_allocation_size_mb=160:detect_leaks=0", 1);
    execl("/proc/self/exe", "vexol_unit_tests", static_cast<char*>(nullptr));
    _exit(6);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  FILE* f = std::fopen((dir + "/child.log").c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string log;
  char buf[512];
  while (std::fgets(buf, sizeof buf, f))
    if (std::strncmp(buf, "==", 2) != 0) log += buf;  // the sanitizer's own warning
  std::fclose(f);
  EXPECT_EQ(log, "DepthMap::LoadFromFile : fail to read " + small + "\n" + "DepthMap::LoadFromFile : fail to read " +
                     noDepths + "\n" + "CImage::Reallocate: could not allocate 268435456int\n" +
                     "DepthMap::LoadFromFile : fail to read " + big + "\n");
}

// Every row start against the mask bytes (widths 1-24), and interleaved bands, against the
// definition bit by bit; the mask holds exactly the bits of the pixels, so a read past it shows
// under the sanitizers.
TEST(DepthMapIndexImage, NumbersValidPixelsInScanOrderForEveryRowAlignment) {
  uint32_t seed = 12345;
  for (int32_t bands : {1, 3})
    for (int32_t w = 1; w <= 24; ++w)
      for (int32_t h = 1; h <= 4; ++h) {
        SCOPED_TRACE("w " + std::to_string(w) + " h " + std::to_string(h) + " bands " + std::to_string(bands));
        const int64_t bits = int64_t(w) * h;
        std::vector<uint8_t> mask(size_t((bits + 7) / 8));
        for (uint8_t& b : mask) b = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
        DepthMap map;
        map.width = w;
        map.height = h;
        map.bands = bands;
        int32_t expected = 0;
        for (int64_t b = 0; b < bits; ++b) expected += mask[size_t(b / 8)] >> (b % 8) & 1;
        ASSERT_EQ(expected, map.BuildIndexImage(mask.data()));
        int32_t next = 0;
        for (int32_t y = 0; y < h; ++y)
          for (int32_t x = 0; x < w; ++x) {
            const int64_t b = int64_t(y) * w + x;
            const bool set = (mask[size_t(b / 8)] >> (b % 8) & 1) != 0;
            const int32_t got =
                map.indexImage.pixels[int64_t(y) * map.indexImage.rowStride + int64_t(x) * map.indexImage.pixelStride];
            ASSERT_EQ(set ? next : -1, got) << "x " << x << " y " << y;
            next += set ? 1 : 0;
          }
      }
}

TEST(CImage, ReallocateShapesStridesAndBlock) {
  CImage image;
  EXPECT_EQ(image.pixels, nullptr);
  ASSERT_TRUE(image.Reallocate(3, 2, 2, false));
  EXPECT_EQ(image.width, 3);
  EXPECT_EQ(image.height, 2);
  EXPECT_EQ(image.bands, 2);
  EXPECT_EQ(image.pixelStride, 2);
  EXPECT_EQ(image.rowStride, 6);
  ASSERT_NE(image.block, nullptr);
  EXPECT_EQ(image.block->memory, image.pixels);
  EXPECT_EQ(image.block->byteSize, 48);
  EXPECT_EQ(image.block->refCount, 1);
  EXPECT_TRUE(image.block->deleteWhenDone);
  EXPECT_EQ(image.block->deleter, nullptr);
  image.At(2, 1, 1) = 77;
  EXPECT_EQ(image.pixels[11], 77);

  int32_t* before = image.pixels;
  ASSERT_TRUE(image.Reallocate(3, 2, 2, false));
  EXPECT_EQ(image.pixels, before);
  EXPECT_EQ(image.At(2, 1, 1), 77);
  ASSERT_TRUE(image.Reallocate(3, 2, 2, true));
  EXPECT_NE(image.pixels, before);  // the old memory is let go only once the new is held

  ASSERT_TRUE(image.Reallocate(4, 0, 1, false));
  EXPECT_EQ(image.pixels, nullptr);
  EXPECT_EQ(image.block, nullptr);
  EXPECT_EQ(image.rowStride, 4);
}

TEST(CImage, RefusedShapesLeaveTheImageAsItWas) {
  CImage image;
  ASSERT_TRUE(image.Reallocate(2, 2, 1, false));
  image.At(1, 1) = 5;
  int32_t* before = image.pixels;
  const int32_t shapes[][3] = {{-1, 2, 1},        {2, -1, 1},        {2, 2, -1},       {-4, -4, 1},
                               {65536, 65536, 1}, {40000, 20000, 1}, {1, 1, INT32_MAX}};
  for (const auto& s : shapes) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(image.Reallocate(s[0], s[1], s[2], false));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("CImage::Reallocate: could not allocate ", 0), 0u) << err;
    EXPECT_EQ(err.substr(err.size() - 4), "int\n");
    EXPECT_EQ(image.pixels, before);
    EXPECT_EQ(image.width, 2);
    EXPECT_EQ(image.At(1, 1), 5);
  }
}

namespace {
int deleted = 0;
void CountingDeleter(void* p) {
  ++deleted;
  std::free(p);
}
}  // namespace

TEST(MemoryBlock, ReleaseFreesOnlyWithTheLastHolder) {
  MemoryBlock* a = new MemoryBlock;
  a->memory = std::malloc(16);
  a->refCount = 2;
  a->deleteWhenDone = true;
  a->deleter = CountingDeleter;
  MemoryBlock* b = a;
  deleted = 0;
  MemoryBlock::Release(a);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(deleted, 0);
  EXPECT_EQ(b->refCount, 1);
  MemoryBlock::Release(b);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(deleted, 1);

  // Memory not owned by the block outlives it.
  static int32_t outside[4] = {1, 2, 3, 4};
  MemoryBlock* c = new MemoryBlock;
  c->memory = outside;
  c->refCount = 1;
  c->deleter = CountingDeleter;
  MemoryBlock::Release(c);
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(outside[3], 4);
  MemoryBlock* none = nullptr;
  MemoryBlock::Release(none);
  EXPECT_EQ(none, nullptr);
}
