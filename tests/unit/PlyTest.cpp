#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "geometry/ply.h"
#include "tests/unit/TestFiles.h"

namespace {

// Shared by all tests here; made on first use, so listing the tests makes none, and removed
// when the program ends.
const TempDir& Files() {
  static TempDir dir;
  return dir;
}

std::string TempPath(const std::string& name) { return Files().path + "/" + name; }

// Writes the bytes and opens them for reading, as a caller of the reader does.
FILE* Open(const std::string& bytes) {
  static int serial = 0;
  const std::string path = Files().Write("f" + std::to_string(serial++) + ".ply", bytes);
  return std::fopen(path.c_str(), "rb");
}

// A reader over the bytes, or null; closes the stream itself when the header is refused.
PlyReader* Header(const std::string& bytes, std::vector<std::string>* names = nullptr) {
  FILE* f = Open(bytes);
  int count = -1;
  std::vector<std::string> local;
  PlyReader* r = ply_read_header(f, &count, names ? names : &local);
  if (!r) std::fclose(f);
  return r;
}

PlyPropertyDesc Scalar(const char* name, PlyType store, int offset) {
  PlyPropertyDesc p;
  p.name = name;
  p.storeType = store;
  p.offset = offset;
  return p;
}

PlyPropertyDesc List(const char* name, PlyType store, int offset, PlyType countStore, int countOffset) {
  PlyPropertyDesc p = Scalar(name, store, offset);
  p.isList = 1;
  p.countStoreType = countStore;
  p.countOffset = countOffset;
  return p;
}

template <class T>
T At(const void* record, int offset) {
  T v;
  std::memcpy(&v, static_cast<const char*>(record) + offset, sizeof v);
  return v;
}

// ---- header ----------------------------------------------------------------------------------

TEST(PlyHeader, RefusesWhatIsNotAcceptable) {
  const std::vector<std::pair<const char*, std::string>> refused = {
      {"empty file", ""},
      {"first word", "plyx\nformat ascii 1.0\nend_header\n"},
      {"no words", "\nply\nformat ascii 1.0\nend_header\n"},
      {"format two words", "ply\nformat ascii\nend_header\n"},
      {"format four words", "ply\nformat ascii 1.0 extra\nend_header\n"},
      {"format kind", "ply\nformat binary 1.0\nend_header\n"},
      {"no format", "ply\nelement vertex 0\nend_header\n"},
      {"property before element", "ply\nformat ascii 1.0\nproperty float x\nend_header\n"},
      {"short element", "ply\nformat ascii 1.0\nelement vertex\nend_header\n"},
      {"short property", "ply\nformat ascii 1.0\nelement vertex 0\nproperty float\nend_header\n"},
      {"short list", "ply\nformat ascii 1.0\nelement face 0\nproperty list uchar int\nend_header\n"},
      {"negative count", "ply\nformat ascii 1.0\nelement vertex -2\nend_header\n"},
      {"count over 32 bits", "ply\nformat ascii 1.0\nelement vertex 4294967296\nend_header\n"},
      {"repeated element", "ply\nformat ascii 1.0\nelement vertex 0\nelement vertex 0\nend_header\n"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(nullptr, Header(c.second));
  }
  int count = 5;
  EXPECT_EQ(nullptr, ply_read_header(nullptr, &count, nullptr));
}

TEST(PlyHeader, ReadsElementsPropertiesCommentsAndObjInfoAnywhere) {
  std::vector<std::string> names;
  PlyReader* r = Header(
      "ply extra words\r\ncomment first\r\nformat binary_big_endian 1.5\r\nobj_info \tsize\t7 mm\r\n"
      "element vertex 12abc\r\nunknown line here\r\n\r\nproperty float32 x\r\ncomment  between  \r\n"
      "property uint8 flags\r\nproperty half h\r\nelement face 0\r\nproperty list uint16 int32 vertex_indices\r\n"
      "ply\r\nend_header\r\n" +
          std::string(60, '\0'),
      &names);
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(BinaryBigEndian, r->fileKind);
  EXPECT_EQ(1.5f, r->version);
  EXPECT_EQ((std::vector<std::string>{"vertex", "face"}), names);
  EXPECT_EQ((std::vector<std::string>{"first", "between  "}), r->comments);
  EXPECT_EQ((std::vector<std::string>{"size 7 mm"}), r->objInfo);
  ASSERT_EQ(2u, r->elements.size());
  const PlyElementDesc& vertex = r->elements[0];
  EXPECT_EQ(12, vertex.itemCount);
  ASSERT_EQ(3u, vertex.properties.size());
  EXPECT_EQ(PlyFloat, vertex.properties[0].fileType);
  EXPECT_EQ(PlyUchar, vertex.properties[1].fileType);
  EXPECT_EQ(PlyInvalid, vertex.properties[2].fileType);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0}), vertex.storeFlags);
  const PlyPropertyDesc& list = r->elements[1].properties[0];
  EXPECT_EQ(1, list.isList);
  EXPECT_EQ(PlyUshort, list.countFileType);
  EXPECT_EQ(PlyInt, list.fileType);
  EXPECT_EQ("vertex_indices", list.name);
  ply_close_reader(r);
}

TEST(PlyHeader, MissingEndHeaderEndsTheHeaderAtTheEndOfTheFile) {
  PlyReader* r = Header("ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\n");
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(1u, r->elements.size());
  ply_close_reader(r);
}

TEST(PlyHeader, ElementCountsMustFitTheBytesLeft) {
  const std::string head =
      "ply\nformat binary_little_endian 1.0\nelement v 3\nproperty int a\nproperty list uchar int l\nend_header\n";
  // Each item takes at least five bytes: 15 are needed.
  PlyReader* fits = Header(head + std::string(15, '\0'));
  EXPECT_NE(nullptr, fits);
  ply_close_reader(fits);
  EXPECT_EQ(nullptr, Header(head + std::string(14, '\0')));
  // ASCII: two bytes a word, the last line may lack its line feed.
  const std::string ascii = "ply\nformat ascii 1.0\nelement v 2\nproperty int a\nend_header\n";
  PlyReader* a = Header(ascii + "1\n2");
  EXPECT_NE(nullptr, a);
  ply_close_reader(a);
  EXPECT_EQ(nullptr, Header(ascii + "1\n"));
}

// ---- the low-level steps ---------------------------------------------------------------------

TEST(PlyItems, BinaryValuesTakeTheFileByteOrderAndAllThreeForms) {
  PlyReader* le = Header("ply\nformat binary_little_endian 1.0\nend_header\n\x01\x02");
  PlyReader* be = Header("ply\nformat binary_big_endian 1.0\nend_header\n\x01\x02");
  ASSERT_TRUE(le && be);
  PlyValue v;
  ASSERT_EQ(1, get_binary_item(be, PlyShort, &v));
  EXPECT_EQ(258, v.i);
  ASSERT_EQ(1, get_binary_item(le, PlyShort, &v));
  EXPECT_EQ(513, v.i);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, get_binary_item(le, PlyChar, &v));
  EXPECT_EQ(0, get_binary_item(be, PlyInvalid, &v));
  EXPECT_EQ("can't read in get_binary_item\nget_binary_item: bad type = 0\n", testing::internal::GetCapturedStderr());
  ply_close_reader(le);
  ply_close_reader(be);

  Bytes b;
  b.Put(uint32_t{0xFFFFFFFF}).Put(-2.7f).Put(int8_t{-5}).Put(3.0e9);
  PlyReader* r = Header("ply\nformat binary_little_endian 1.0\nend_header\n" + b.data);
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, get_binary_item(r, PlyUint, &v));
  EXPECT_EQ(4294967295.0, v.d);
  EXPECT_EQ(-1, v.i);
  EXPECT_EQ(0xFFFFFFFFu, v.u);
  ASSERT_EQ(1, get_binary_item(r, PlyFloat, &v));
  EXPECT_EQ(-2, v.i);
  EXPECT_EQ(static_cast<double>(-2.7f), v.d);
  unsigned char slot[8] = {};
  ASSERT_EQ(1, store_item(slot, PlyUchar, v));
  EXPECT_EQ(254, slot[0]);
  ASSERT_EQ(1, store_item(slot, PlyInt, v));
  EXPECT_EQ(-2, At<int32_t>(slot, 0));
  ASSERT_EQ(1, get_binary_item(r, PlyChar, &v));
  EXPECT_EQ(-5, v.i);
  EXPECT_EQ(-5.0, v.d);
  ASSERT_EQ(1, store_item(slot, PlyUshort, v));
  EXPECT_EQ(65531, At<uint16_t>(slot, 0));
  ASSERT_EQ(1, get_binary_item(r, PlyDouble, &v));
  EXPECT_EQ(3000000000u, v.u);
  ply_close_reader(r);
}

TEST(PlyItems, StoreNarrowsAndReportsBadTypes) {
  PlyValue v;
  v.d = 1e300;
  unsigned char slot[8];
  ASSERT_EQ(1, store_item(slot, PlyFloat, v));
  EXPECT_TRUE(std::isinf(At<float>(slot, 0)));
  v.d = 0.1;
  ASSERT_EQ(1, store_item(slot, PlyFloat, v));
  EXPECT_EQ(0.1f, At<float>(slot, 0));
  ASSERT_EQ(1, store_item(slot, PlyDouble, v));
  EXPECT_EQ(0.1, At<double>(slot, 0));
  v.i = 0x12345678;
  ASSERT_EQ(1, store_item(slot, PlyShort, v));
  EXPECT_EQ(0x5678, At<int16_t>(slot, 0));
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, store_item(slot, PlyInvalid, v));
  EXPECT_EQ(0, store_item(slot, static_cast<PlyType>(9), v));
  EXPECT_EQ("store_item: bad type = 0\nstore_item: bad type = 9\n", testing::internal::GetCapturedStderr());
}

// Switches numbers to a decimal comma, building the locale when the system has none installed.
bool UseDecimalCommaLocale() {
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
    const std::string dir = TempPath("locales");
    mkdir(dir.c_str(), 0700);
    const std::string command = "localedef -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
    setenv("LOCPATH", dir.c_str(), 1);
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) return false;
  }
  return std::strtod("1.5", nullptr) == 1.0;
}

TEST(PlyItems, AsciiWordsConvertLikeTheCLibraryInAnyLocale) {
  // A locale with a decimal comma must not change how numbers read.
  const char* oldLocale = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = oldLocale ? oldLocale : "C";
  const bool comma = UseDecimalCommaLocale();
  struct Case {
    const char* word;
    PlyType type;
    int32_t i;
    uint32_t u;
    double d;
  };
  const std::vector<Case> cases = {
      {"12abc", PlyInt, 12, 12, 12},
      {"abc", PlyShort, 0, 0, 0},
      {"-7", PlyChar, -7, 0xFFFFFFF9u, -7},
      {"+42", PlyUchar, 42, 42, 42},
      {"-1", PlyUint, -1, 0xFFFFFFFFu, 4294967295.0},
      {"4294967295", PlyUint, -1, 0xFFFFFFFFu, 4294967295.0},
      {"99999999999", PlyInt, INT32_MAX, static_cast<uint32_t>(INT32_MAX), INT32_MAX},
      {"1.5", PlyFloat, 1, 1, 1.5},
      {"-2.7", PlyDouble, -2, 0xFFFFFFFEu, -2.7},
      {"6.02e23", PlyDouble, INT32_MIN, 0, 6.02e23},
      {"1e-400", PlyDouble, 0, 0, 0.0},
      {".5", PlyFloat, 0, 0, 0.5},
      {"0x1p3", PlyDouble, 8, 8, 8.0},
      {"3.14159265358979323846264", PlyDouble, 3, 3, 3.14159265358979323846},
      {"1.5,25", PlyDouble, 1, 1, 1.5},
      {"nothing", PlyFloat, 0, 0, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    PlyValue v;
    ASSERT_EQ(1, get_ascii_item(c.word, c.type, &v));
    EXPECT_EQ(c.d, v.d);
    if (std::string(c.word) != "6.02e23") {
      EXPECT_EQ(c.i, v.i);
      EXPECT_EQ(c.u, v.u);
    }
  }
  PlyValue v;
  ASSERT_EQ(1, get_ascii_item("inf", PlyFloat, &v));
  EXPECT_TRUE(std::isinf(v.d));
  ASSERT_EQ(1, get_ascii_item("1e999", PlyDouble, &v));
  EXPECT_TRUE(std::isinf(v.d));
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, get_ascii_item("1", PlyInvalid, &v));
  EXPECT_EQ("get_ascii_item: bad type = 0\n", testing::internal::GetCapturedStderr());
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!comma) std::printf("note: no decimal-comma locale installed; read in the C locale only\n");
}

// Every decimal the fast path takes must equal the full conversion.
TEST(PlyItems, FastDecimalsMatchTheFullConversion) {
  uint64_t state = 12345;
  char word[64];
  for (int k = 0; k < 20000; ++k) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const int digits = 1 + static_cast<int>((state >> 33) % 18);
    const int point = static_cast<int>((state >> 20) % (digits + 1));
    int n = 0;
    if (state & 1) word[n++] = '-';
    uint64_t s = state;
    for (int d = 0; d < digits; ++d) {
      if (d == point) word[n++] = '.';
      word[n++] = static_cast<char>('0' + (s % 10));
      s = s / 10 + (s << 7);
    }
    if ((state >> 40) & 1) n += std::snprintf(word + n, 8, "e%d", static_cast<int>((state >> 44) % 40) - 20);
    word[n] = 0;
    PlyValue v;
    ASSERT_EQ(1, get_ascii_item(word, PlyDouble, &v));
    ASSERT_EQ(std::strtod(word, nullptr), v.d) << word;
  }
}

// Values read from lines in bulk are what the same words give converted one by one, for words of
// every shape: plain and long numbers, signs alone, exponents with and without digits, trailing
// junk, carriage returns inside, numbers right at the end of a line and of the file.
TEST(PlyItems, WordsInLinesConvertAsTheWordsAlone) {
  const char* const shapes[] = {"0",
                                "7",
                                "-0",
                                "+3",
                                "-",
                                "+",
                                ".",
                                "5.",
                                ".5",
                                "-.25",
                                "0.000123",
                                "123456789",
                                "12345678",
                                "1234567",
                                "0.1234567",
                                "0.12345678",
                                "9999999.9999999",
                                "12345678901234567890",
                                "1e5",
                                "1e",
                                "1E-3",
                                "2.5e+2x",
                                "12abc",
                                "0x1A",
                                "3.5\r",
                                "\r4",
                                "1.5.5",
                                "--2",
                                "1e400",
                                "-1e-400",
                                "4294967296",
                                "-2147483649",
                                "00000012",
                                "0.0000000000000000000001"};
  const int kShapes = sizeof shapes / sizeof shapes[0];
  uint64_t state = 99;
  const int lines = 3000;
  std::string body;
  std::vector<std::string> words;
  for (int k = 0; k < lines; ++k) {
    std::string line;
    for (int j = 0; j < 3; ++j) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      std::string word = shapes[(state >> 33) % kShapes];
      if ((state >> 20) % 3 == 0) word = std::to_string(static_cast<int64_t>(state >> 40) - (int64_t{1} << 23));
      if ((state >> 24) % 5 == 0)
        word = std::to_string(((state >> 30) % 100000) / 1000.0).substr(0, 1 + (state >> 50) % 9);
      words.push_back(word);
      line += (j ? ((state >> 12) & 1 ? " \t " : " ") : "") + word;
    }
    body += line + (k + 1 < lines ? "\n" : "");  // the last line ends the file without a line feed
  }
  PlyReader* r = Header("ply\nformat ascii 1.0\nelement v " + std::to_string(lines) +
                        "\nproperty double d\nproperty int i\nproperty uint u\nend_header\n" + body);
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, "v", Scalar("d", PlyDouble, 0)));
  ASSERT_EQ(1, ply_request_property(r, "v", Scalar("i", PlyInt, 8)));
  ASSERT_EQ(1, ply_request_property(r, "v", Scalar("u", PlyUint, 12)));
  struct Record {
    double d;
    int32_t i;
    uint32_t u;
  };
  std::vector<Record> got(lines);
  ASSERT_EQ(1, ply_get_elements(r, got.data(), sizeof(Record), lines));
  ply_close_reader(r);
  for (int k = 0; k < lines; ++k) {
    PlyValue d, i, u;
    ASSERT_EQ(1, get_ascii_item(words[3 * k].c_str(), PlyDouble, &d));
    ASSERT_EQ(1, get_ascii_item(words[3 * k + 1].c_str(), PlyInt, &i));
    ASSERT_EQ(1, get_ascii_item(words[3 * k + 2].c_str(), PlyUint, &u));
    // Bit for bit: a negative zero must stay one.
    ASSERT_EQ(0, std::memcmp(&d.d, &got[k].d, sizeof(double))) << "line " << k << " '" << words[3 * k] << "'";
    ASSERT_EQ(i.i, got[k].i) << "line " << k << " '" << words[3 * k + 1] << "'";
    ASSERT_EQ(u.u, got[k].u) << "line " << k << " '" << words[3 * k + 2] << "'";
  }
}

// ---- items ------------------------------------------------------------------------------------

struct VertexRecord {
  float x, y;
  int32_t count;
  int32_t pad;
  int32_t* items;
};

// One element read item by item and then in bulk gives the same records.
void ExpectSameBothWays(const std::string& bytes, int items) {
  PlyReader* one = Header(bytes);
  PlyReader* bulk = Header(bytes);
  ASSERT_TRUE(one && bulk);
  for (PlyReader* r : {one, bulk}) {
    ASSERT_EQ(1, ply_request_property(r, "v", Scalar("x", PlyFloat, 0)));
    ASSERT_EQ(1, ply_request_property(r, "v", Scalar("y", PlyFloat, 4)));
    ASSERT_EQ(1, ply_request_property(r, "v", List("l", PlyInt, 16, PlyInt, 8)));
  }
  std::vector<VertexRecord> a(items), b(items);
  for (int k = 0; k < items; ++k) ASSERT_EQ(1, ply_get_element(one, &a[k])) << k;
  ASSERT_EQ(1, ply_get_elements(bulk, b.data(), sizeof(VertexRecord), items));
  for (int k = 0; k < items; ++k) {
    EXPECT_EQ(a[k].x, b[k].x) << k;
    EXPECT_EQ(a[k].y, b[k].y) << k;
    ASSERT_EQ(a[k].count, b[k].count) << k;
    EXPECT_EQ(a[k].count == 0, a[k].items == nullptr);
    EXPECT_EQ(a[k].count == 0, b[k].items == nullptr);
    for (int j = 0; j < a[k].count; ++j) EXPECT_EQ(a[k].items[j], b[k].items[j]) << k << " " << j;
    std::free(a[k].items);
  }
  ply_close_reader(one);
  ply_close_reader(bulk);
}

TEST(PlyItems, ItemByItemAndInBulkAgreeInEveryFormat) {
  const int items = 30000;  // several reader buffers of data
  for (const char* format : {"ascii", "binary_little_endian", "binary_big_endian"}) {
    SCOPED_TRACE(format);
    const bool ascii = std::string(format) == "ascii";
    std::string body;
    Bytes b;
    b.big = std::string(format) == "binary_big_endian";
    for (int k = 0; k < items; ++k) {
      const double x = k * 0.5 - 3.25;
      const int16_t skipped = static_cast<int16_t>(k);
      const uint8_t n = static_cast<uint8_t>(k % 5);
      if (ascii) {
        body += std::to_string(x) + " " + std::to_string(skipped) + " " + std::to_string(-k) + " " + std::to_string(n);
        for (int j = 0; j < n; ++j) body += " " + std::to_string(k * 10 + j);
        body += "\n";
      } else {
        b.Put(x).Put(skipped).Put(static_cast<float>(-k)).Put(n);
        for (int j = 0; j < n; ++j) b.Put(static_cast<uint16_t>(k * 10 + j));
      }
    }
    ExpectSameBothWays(std::string("ply\nformat ") + format + " 1.0\nelement v " + std::to_string(items) +
                           "\nproperty double x\nproperty short s\nproperty float y\nproperty list uchar ushort l\n"
                           "end_header\n" +
                           (ascii ? body : b.data),
                       items);
  }
}

TEST(PlyItems, ListsOfNoItemsGiveNullAndUnrequestedValuesAreConsumed) {
  PlyReader* r = Header(
      "ply\nformat ascii 1.0\nelement v 3\nproperty int a\nproperty list uchar int l\nproperty int b\nend_header\n"
      "1 0 2 extra words\n3 2 7 8 4\n5 1 9 6\n");
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, "v", Scalar("b", PlyInt, 0)));
  int32_t b = 0;
  ASSERT_EQ(1, ply_get_element(r, &b));
  EXPECT_EQ(2, b);
  ASSERT_EQ(1, ply_request_property(r, "v", List("l", PlyInt, 8, PlyUchar, 4)));
  struct {
    int32_t b;
    uint8_t n;
    char pad[3];
    int32_t* items;
  } rec{};
  ASSERT_EQ(1, ply_get_element(r, &rec));
  EXPECT_EQ(4, rec.b);
  ASSERT_EQ(2, rec.n);
  EXPECT_EQ(7, rec.items[0]);
  EXPECT_EQ(8, rec.items[1]);
  std::free(rec.items);
  ASSERT_EQ(1, ply_get_element(r, &rec));
  EXPECT_EQ(6, rec.b);
  std::free(rec.items);
  EXPECT_EQ(0, ply_get_element(r, &rec));  // no fourth item
  ply_close_reader(r);

  Bytes bytes;
  bytes.Put(uint8_t{0}).Put(int32_t{77});
  PlyReader* br = Header(
      "ply\nformat binary_little_endian 1.0\nelement v 1\nproperty list uchar int l\nproperty int b\nend_header\n" +
      bytes.data);
  ASSERT_NE(nullptr, br);
  ASSERT_EQ(1, ply_request_property(br, "v", List("l", PlyInt, 8, PlyUchar, 4)));
  ASSERT_EQ(1, ply_request_property(br, "v", Scalar("b", PlyInt, 0)));
  rec.items = reinterpret_cast<int32_t*>(&rec);
  ASSERT_EQ(1, ply_get_element(br, &rec));
  EXPECT_EQ(0, rec.n);
  EXPECT_EQ(nullptr, rec.items);
  EXPECT_EQ(77, rec.b);
  ply_close_reader(br);
}

TEST(PlyItems, RequestsNameTheElementAndMatchListness) {
  PlyReader* r = Header(
      "ply\nformat ascii 1.0\nelement a 1\nproperty int x\nelement b 1\nproperty list uchar int l\nend_header\n5\n1 "
      "9\n");
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(0, ply_request_property(r, "c", Scalar("x", PlyInt, 0)));
  EXPECT_EQ(-1, r->currentElement);
  EXPECT_EQ(0, ply_request_property(r, "b", Scalar("x", PlyInt, 0)));
  EXPECT_EQ(1, r->currentElement);
  EXPECT_EQ(0, ply_request_property(r, "b", Scalar("l", PlyInt, 0)));
  EXPECT_EQ(0, ply_request_property(r, "a", List("x", PlyInt, 8, PlyInt, 0)));
  EXPECT_EQ(0, r->currentElement);
  std::vector<PlyPropertyDesc> props;
  int count = -1, properties = -1;
  EXPECT_EQ(0, ply_element_properties(r, "c", &props, &count, &properties));
  EXPECT_EQ(-1, count);
  ASSERT_EQ(1, ply_element_properties(r, "b", &props, &count, &properties));
  EXPECT_EQ(1, count);
  EXPECT_EQ(1, properties);
  EXPECT_EQ("l", props[0].name);
  // "a" is never read: asking for "b" reads past it.
  ASSERT_EQ(1, ply_request_property(r, "b", List("l", PlyInt, 8, PlyInt, 0)));
  struct {
    int32_t n, pad;
    int32_t* items;
  } rec{};
  ASSERT_EQ(1, ply_get_element(r, &rec));
  ASSERT_EQ(1, rec.n);
  EXPECT_EQ(9, rec.items[0]);
  std::free(rec.items);
  // Going back is not possible.
  ASSERT_EQ(1, ply_request_property(r, "a", Scalar("x", PlyInt, 0)));
  EXPECT_EQ(0, ply_get_element(r, &rec));
  ply_close_reader(r);
}

TEST(PlyItems, AsciiLinesOfAnyLengthWithCarriageReturns) {
  std::string longLine = "2000000";
  for (int k = 0; k < 2000000; ++k) longLine += " 1";
  PlyReader* r =
      Header("ply\r\nformat ascii 1.0\r\nelement v 3\r\nproperty list int uchar l\r\nproperty int z\r\nend_header\r\n" +
             longLine + " 42\r\n2 5\r6 7 8\r\n1 3 \r 9\r\n");
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, "v", List("l", PlyUchar, 8, PlyInt, 0)));
  ASSERT_EQ(1, ply_request_property(r, "v", Scalar("z", PlyInt, 4)));
  struct {
    int32_t n, z;
    uint8_t* items;
  } rec[3];
  ASSERT_EQ(1, ply_get_elements(r, rec, sizeof rec[0], 3));
  EXPECT_EQ(2000000, rec[0].n);
  EXPECT_EQ(1, rec[0].items[1999999]);
  EXPECT_EQ(42, rec[0].z);
  // A carriage return inside a line is part of a word: "5\r6" reads as 5, "\r" as 0.
  ASSERT_EQ(2, rec[1].n);
  EXPECT_EQ(5, rec[1].items[0]);
  EXPECT_EQ(7, rec[1].items[1]);
  EXPECT_EQ(8, rec[1].z);
  ASSERT_EQ(1, rec[2].n);
  EXPECT_EQ(3, rec[2].items[0]);
  EXPECT_EQ(0, rec[2].z);
  ply_close_reader(r);
}

TEST(PlyItems, BinaryDataStartsAfterTheLineFeedOfEndHeader) {
  Bytes b;
  b.Put(int32_t{0x0A0D0A0D});  // bytes that look like line ends
  PlyReader* r =
      Header("ply\r\nformat binary_little_endian 1.0\r\nelement v 1\r\nproperty int a\r\nend_header\r\n" + b.data);
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, "v", Scalar("a", PlyInt, 0)));
  int32_t a = 0;
  ASSERT_EQ(1, ply_get_element(r, &a));
  EXPECT_EQ(0x0A0D0A0D, a);
  ply_close_reader(r);
}

TEST(PlyItems, SkippingReadsPastAndChecksTheData) {
  Bytes b;
  b.Put(uint8_t{2}).Put(int32_t{1}).Put(int32_t{2}).Put(uint8_t{0}).Put(int16_t{-9});
  const std::string head =
      "ply\nformat binary_little_endian 1.0\nelement s 2\nproperty list uchar int l\nelement t 1\nproperty short "
      "q\nend_header\n";
  PlyReader* r = Header(head + b.data);
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_skip_element(r, "s"));
  ASSERT_EQ(1, ply_request_property(r, "t", Scalar("q", PlyInt, 0)));
  int32_t q = 0;
  ASSERT_EQ(1, ply_get_element(r, &q));
  EXPECT_EQ(-9, q);
  ply_close_reader(r);
  // The same ending inside the first element: the second item's count is missing.
  PlyReader* cut = Header(head + b.data.substr(0, 6) + std::string(3, '\0'));
  ASSERT_NE(nullptr, cut);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, ply_skip_element(cut, "t"));
  EXPECT_EQ("can't read in get_binary_item\n", testing::internal::GetCapturedStderr());
  ply_close_reader(cut);
}

TEST(PlyItems, ListCountsAreBoundedByTheData) {
  Bytes b;
  b.Put(int32_t{-1}).Put(int32_t{0});
  PlyReader* r =
      Header("ply\nformat binary_little_endian 1.0\nelement v 1\nproperty list int int l\nend_header\n" + b.data);
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, "v", List("l", PlyInt, 8, PlyInt, 0)));
  struct {
    int32_t n, pad;
    int32_t* items;
  } rec{};
  EXPECT_EQ(0, ply_get_element(r, &rec));
  ply_close_reader(r);
  Bytes big;
  big.Put(int32_t{0x40000000}).Put(int32_t{0});
  PlyReader* r2 =
      Header("ply\nformat binary_little_endian 1.0\nelement v 1\nproperty list int int l\nend_header\n" + big.data);
  ASSERT_NE(nullptr, r2);
  ASSERT_EQ(1, ply_request_property(r2, "v", List("l", PlyInt, 8, PlyInt, 0)));
  EXPECT_EQ(0, ply_get_elements(r2, &rec, sizeof rec, 1));
  ply_close_reader(r2);
}

// Triangles stop before the first list of another length, also across the reader's buffer
// refills, and ply_get_lists reads on from there.
TEST(PlyItems, TriplesStopBeforeAnotherLengthAndListsReadOn) {
  const int items = 200000;  // 2.6 MB: the reader's buffer refills several times
  const int quadAt = 150001;
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    Bytes b;
    b.big = big;
    for (int k = 0; k < items; ++k) {
      b.Put(uint8_t(k == quadAt ? 4 : 3)).Put(3 * k).Put(3 * k + 1).Put(-3 * k - 2);
      if (k == quadAt) b.Put(int32_t{99});
    }
    PlyReader* r = Header(std::string("ply\nformat ") + (big ? "binary_big_endian" : "binary_little_endian") +
                          " 1.0\nelement face " + std::to_string(items) +
                          "\nproperty list uchar int vertex_indices\nend_header\n" + b.data);
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(1, ply_request_property(r, "face", List("vertex_indices", PlyInt, 0, PlyInt, 0)));
    struct Triangle {
      int32_t indices[3];
      float kept[3];
    };
    std::vector<Triangle> t(items, Triangle{{0, 0, 0}, {7.0f, 7.0f, 7.0f}});
    int64_t done = -1;
    ASSERT_EQ(1, ply_get_triples(r, t.data(), sizeof(Triangle), items, &done));
    ASSERT_EQ(quadAt, done);
    for (int k = 0; k < quadAt; ++k) {
      ASSERT_EQ(3 * k, t[k].indices[0]) << k;
      ASSERT_EQ(3 * k + 1, t[k].indices[1]) << k;
      ASSERT_EQ(-3 * k - 2, t[k].indices[2]) << k;
      ASSERT_EQ(7.0f, t[k].kept[0]) << "wrote past the indices of " << k;
    }
    EXPECT_EQ(0, t[quadAt].indices[0]);
    int32_t count = 0;
    const void* list = nullptr;
    ASSERT_EQ(1, ply_get_lists(r, 1, &count, &list));
    ASSERT_EQ(4, count);
    EXPECT_EQ(99, static_cast<const int32_t*>(list)[3]);
    ASSERT_EQ(1, ply_get_triples(r, t.data(), sizeof(Triangle), items - quadAt - 1, &done));
    EXPECT_EQ(items - quadAt - 1, done);
    EXPECT_EQ(3 * (items - 1), t[done - 1].indices[0]);
    EXPECT_EQ(0, ply_get_triples(r, t.data(), sizeof(Triangle), 1, &done)) << "no items are left";
    EXPECT_EQ(0, done);
    ply_close_reader(r);
  }
}

// Whatever the fast path does not take is left whole for ply_get_lists, which reports it.
TEST(PlyItems, TriplesLeaveOtherElementsAndCutDataToTheLists) {
  int32_t records[4][6] = {};
  int32_t* record = records[0];
  int64_t done = -1;
  int32_t count = 0;
  const void* list = nullptr;
  // ASCII: another length and a line short of its words both stop it at the start of their line.
  PlyReader* ascii = Header(
      "ply\nformat ascii 1.0\nelement face 4\nproperty list uchar int vertex_indices\nend_header\n"
      "3 4 5 6\n4 1 2 3 4\n3 7 8 9\n3 1 2\n");
  ASSERT_NE(nullptr, ascii);
  ASSERT_EQ(1, ply_request_property(ascii, "face", List("vertex_indices", PlyInt, 0, PlyInt, 0)));
  ASSERT_EQ(1, ply_get_triples(ascii, record, sizeof records[0], 4, &done));
  EXPECT_EQ(1, done);
  EXPECT_EQ(6, record[2]);
  EXPECT_EQ(0, record[3]) << "wrote past the three values";
  EXPECT_EQ(0, records[1][0]) << "a line given back is not stored";
  ASSERT_EQ(1, ply_get_lists(ascii, 1, &count, &list));
  EXPECT_EQ(4, count);
  EXPECT_EQ(4, static_cast<const int32_t*>(list)[3]);
  ASSERT_EQ(1, ply_get_triples(ascii, record, sizeof records[0], 2, &done));
  EXPECT_EQ(1, done);
  EXPECT_EQ(9, record[2]);
  EXPECT_EQ(0, records[1][1]) << "a line given back is not stored";
  EXPECT_EQ(0, ply_get_lists(ascii, 1, &count, &list)) << "the short line is met by the list path";
  ply_close_reader(ascii);

  // Shorts, and a second property: not the layout the fast path knows.
  for (const char* properties : {"property list uchar short vertex_indices\n",
                                 "property list uchar int vertex_indices\nproperty uchar flags\n"}) {
    SCOPED_TRACE(properties);
    PlyReader* r = Header(std::string("ply\nformat binary_little_endian 1.0\nelement face 1\n") + properties +
                          "end_header\n" + std::string(20, '\3'));
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(1, ply_request_property(r, "face", List("vertex_indices", PlyInt, 0, PlyInt, 0)));
    ASSERT_EQ(1, ply_get_triples(r, record, sizeof records[0], 1, &done));
    EXPECT_EQ(0, done);
    ASSERT_EQ(1, ply_get_lists(r, 1, &count, &list));
    EXPECT_EQ(3, count);
    ply_close_reader(r);
  }

  Bytes cut;
  cut.Put(uint8_t{3}).Put(int32_t{1}).Put(int32_t{2}).Put(int32_t{3});
  cut.Put(uint8_t{3}).Put(int32_t{4}).Put(int32_t{5});
  PlyReader* r = Header(
      "ply\nformat binary_little_endian 1.0\nelement face 2\nproperty list uchar int vertex_indices\nend_header\n" +
      cut.data);
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, "face", List("vertex_indices", PlyInt, 0, PlyInt, 0)));
  ASSERT_EQ(1, ply_get_triples(r, record, 12, 2, &done));
  EXPECT_EQ(1, done);
  EXPECT_EQ(3, record[2]);
  EXPECT_EQ(0, record[3]) << "the cut triangle is not taken";
  EXPECT_EQ(0, ply_get_lists(r, 1, &count, &list)) << "twelve bytes of items, eight left";
  ply_close_reader(r);
}

// ASCII faces read as Mesh reads them (triples while they last, then lists) give exactly what
// the list path alone gives, for words of every shape the conversions know.
TEST(PlyItems, AsciiTriplesConvertAsTheListsDo) {
  const char* words[] = {"0",           "7",           "-3",         "+12",     "007",      "2147483647", "2147483648",
                         "-2147483649", "99999999999", "4294967295", "1.9",     "-2.5",     "1e3",        "0x1A",
                         " 5",          "\t6",         "1  2",       "1234567", "12345678", "0",          "42"};
  uint32_t seed = 99;
  auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  for (const char* type : {"int", "uint", "float", "short", "double"}) {
    SCOPED_TRACE(type);
    std::string body;
    const int items = 60000;  // more than one buffer of input (1 MB)
    for (int k = 0; k < items; ++k) {
      const int n = next() % 10 == 0 ? int(next() % 6) : 3;
      body += std::to_string(n);
      for (int j = 0; j < n; ++j) body += std::string(" ") + words[next() % (sizeof words / sizeof *words)];
      const uint32_t end = next() % 14;
      if (end == 0) body += " extra words";
      if (end == 1) body += " ";
      if (end == 2) body += "\r7";  // a carriage return inside the last word
      body += end % 5 == 3 ? "\r\n" : "\n";
    }
    const std::string file = std::string("ply\nformat ascii 1.0\nelement face ") + std::to_string(items) +
                             "\nproperty list uchar " + type + " vertex_indices\nend_header\n" + body;
    std::vector<std::vector<int32_t>> expected, got;
    PlyReader* lists = Header(file);
    ASSERT_NE(nullptr, lists);
    ASSERT_EQ(1, ply_request_property(lists, "face", List("vertex_indices", PlyInt, 0, PlyInt, 0)));
    for (int k = 0; k < items; ++k) {
      int32_t n = 0;
      const void* list = nullptr;
      ASSERT_EQ(1, ply_get_lists(lists, 1, &n, &list)) << k;
      const int32_t* v = static_cast<const int32_t*>(list);
      expected.emplace_back(v, v + n);
    }
    ply_close_reader(lists);

    PlyReader* r = Header(file);
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(1, ply_request_property(r, "face", List("vertex_indices", PlyInt, 0, PlyInt, 0)));
    std::vector<int32_t> triples(3 * items, -7);
    while (int64_t(got.size()) < items) {
      int64_t done = 0;
      ASSERT_EQ(1, ply_get_triples(r, triples.data(), 12, items - int64_t(got.size()), &done));
      for (int64_t k = 0; k < done; ++k) got.push_back({triples[3 * k], triples[3 * k + 1], triples[3 * k + 2]});
      if (int64_t(got.size()) == items) break;
      int32_t n = 0;
      const void* list = nullptr;
      ASSERT_EQ(1, ply_get_lists(r, 1, &n, &list));
      const int32_t* v = static_cast<const int32_t*>(list);
      got.emplace_back(v, v + n);
    }
    ply_close_reader(r);
    ASSERT_EQ(expected, got);
  }
}

TEST(PlyItems, UnknownTypesFailWhenTheirDataIsMet) {
  PlyReader* r = Header("ply\nformat ascii 1.0\nelement v 1\nproperty int a\nproperty half h\nend_header\n1 2\n");
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, "v", Scalar("a", PlyInt, 0)));
  int32_t a;
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, ply_get_element(r, &a));
  EXPECT_EQ("get_ascii_item: bad type = 0\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(0, ply_get_element(r, &a)) << "a failed reader stays failed";
  ply_close_reader(r);
  // No items of that element: nothing to fail on.
  PlyReader* none = Header(
      "ply\nformat binary_little_endian 1.0\nelement v 0\nproperty half h\nelement w 1\nproperty uchar "
      "c\nend_header\n\x05");
  ASSERT_NE(nullptr, none);
  ASSERT_EQ(1, ply_request_property(none, "w", Scalar("c", PlyUchar, 0)));
  uint8_t c = 0;
  EXPECT_EQ(1, ply_get_element(none, &c));
  EXPECT_EQ(5, c);
  ply_close_reader(none);
}

TEST(PlyItems, StoreTypeOfARequestIsChecked) {
  PlyReader* r =
      Header("ply\nformat binary_little_endian 1.0\nelement v 1\nproperty int a\nend_header\n" + std::string(4, '\1'));
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, "v", Scalar("a", PlyInvalid, 0)));
  int32_t a;
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, ply_get_element(r, &a));
  EXPECT_EQ("store_item: bad type = 0\n", testing::internal::GetCapturedStderr());
  ply_close_reader(r);
}

}  // namespace
