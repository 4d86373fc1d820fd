#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstddef>
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
PlyReader* Header(const std::string& bytes) {
  FILE* f = Open(bytes);
  PlyReader* r = ply_read_header(f);
  if (!r) std::fclose(f);
  return r;
}

PlyPropertyDesc Scalar(PlyType store, int offset) {
  PlyPropertyDesc p;
  p.storeType = store;
  p.offset = offset;
  return p;
}

PlyPropertyDesc List() {
  PlyPropertyDesc p;
  p.isList = 1;
  return p;
}

template <class T>
T At(const void* record, int offset) {
  T v;
  std::memcpy(&v, static_cast<const char*>(record) + offset, sizeof v);
  return v;
}

// Every list of the current element, each as its items.
std::vector<std::vector<int32_t>> Lists(PlyReader* r, int count) {
  std::vector<int32_t> counts(count);
  const int32_t* items = nullptr;
  std::vector<std::vector<int32_t>> lists;
  if (ply_get_lists(r, count, counts.data(), &items) != 1) return lists;
  for (int32_t n : counts) {
    lists.emplace_back(items, items + n);
    items += n;
  }
  return lists;
}

// A value in the forms the reader stores it in.
struct Forms {
  int32_t i = 0;
  uint32_t u = 0;
  double d = 0;
};

// One ASCII word of the type as the reader stores it as int, uint and double.
bool ReadWord(const std::string& word, const char* type, Forms* forms) {
  PlyReader* r = Header(std::string("ply\nformat ascii 1.0\nelement v 1\nproperty ") + type + " i\nproperty " + type +
                        " u\nproperty " + type + " d\nend_header\n" + word + " " + word + " " + word + "\n");
  if (!r) return false;
  const bool ok = ply_request_property(r, 0, 0, Scalar(PlyInt, offsetof(Forms, i))) &&
                  ply_request_property(r, 0, 1, Scalar(PlyUint, offsetof(Forms, u))) &&
                  ply_request_property(r, 0, 2, Scalar(PlyDouble, offsetof(Forms, d))) &&
                  ply_get_elements(r, forms, sizeof *forms, 1);
  ply_close_reader(r);
  return ok;
}

// The C library's conversions, which ASCII values follow: signed types saturate to int32; uint
// reads as a 32-bit strtoul does: saturated, a minus sign negating modulo 2^32.
int32_t CInt(const std::string& word) {
  return static_cast<int32_t>(std::clamp<long long>(std::strtoll(word.c_str(), nullptr, 10), INT32_MIN, INT32_MAX));
}

uint32_t CUint(const std::string& word) {
  const long long v = std::strtoll(word.c_str(), nullptr, 10);
  const unsigned long long m = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  if (m > UINT32_MAX) return UINT32_MAX;
  return v < 0 ? 0u - static_cast<uint32_t>(m) : static_cast<uint32_t>(m);
}

// ---- header ----------------------------------------------------------------------------------

TEST(PlyHeader, RefusesWhatIsNotAcceptable) {
  const std::string longComment = "comment " + std::string(1100000 / 2, 'x') + " " + std::string(1100000 / 2, 'y');
  const std::string atLimit = "comment " + std::string(1024 * 1024 - 8, 'x');
  const std::vector<std::pair<const char*, std::string>> refused = {
      {"empty file", ""},
      {"first word", "plyx\nformat ascii 1.0\nend_header\n"},
      {"no words", "\nply\nformat ascii 1.0\nend_header\n"},
      {"format alone", "ply\nformat\nend_header\n"},
      {"format two words", "ply\nformat ascii\nend_header\n"},
      {"format four words", "ply\nformat ascii 1.0 extra\nend_header\n"},
      {"format kind", "ply\nformat binary 1.0\nend_header\n"},
      {"no format", "ply\nelement vertex 0\nend_header\n"},
      {"property before element", "ply\nformat ascii 1.0\nproperty float x\nend_header\n"},
      {"element alone", "ply\nformat ascii 1.0\nelement\nend_header\n"},
      {"short element", "ply\nformat ascii 1.0\nelement vertex\nend_header\n"},
      {"property alone", "ply\nformat ascii 1.0\nelement vertex 0\nproperty\nend_header\n"},
      {"short property", "ply\nformat ascii 1.0\nelement vertex 0\nproperty float\nend_header\n"},
      {"list alone", "ply\nformat ascii 1.0\nelement face 0\nproperty list\nend_header\n"},
      {"short list", "ply\nformat ascii 1.0\nelement face 0\nproperty list uchar int\nend_header\n"},
      // A line longer than the reader's first buffer, then a bare keyword whose words are read.
      {"property alone after a long line",
       "ply\nformat ascii 1.0\nelement vertex 0\n" + longComment.substr(0, 1000000) + "\nproperty\nend_header\n"},
      {"line over the limit", "ply\nformat ascii 1.0\n" + longComment + "\nend_header\n"},
      {"line over the limit without a line end", "ply\nformat ascii 1.0\n" + atLimit + "xx"},
      {"line over the limit before CR LF", "ply\nformat ascii 1.0\n" + atLimit + "x\r\nend_header\n"},
      {"negative count", "ply\nformat ascii 1.0\nelement vertex -2\nend_header\n"},
      {"count over 32 bits", "ply\nformat ascii 1.0\nelement vertex 4294967296\nend_header\n"},
      {"count with a comma", "ply\nformat ascii 1.0\nelement vertex 1,000\nend_header\n"},
      {"count of letters", "ply\nformat ascii 1.0\nelement vertex abc\nend_header\n"},
      {"count with a sign", "ply\nformat ascii 1.0\nelement vertex +0\nend_header\n"},
      {"repeated element", "ply\nformat ascii 1.0\nelement vertex 0\nelement vertex 0\nend_header\n"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(nullptr, Header(c.second));
  }
  EXPECT_EQ(nullptr, ply_read_header(nullptr));
  for (const char* end : {"\n", "\r\n"}) {
    PlyReader* longest = Header("ply\nformat ascii 1.0\n" + atLimit + end + "element vertex 0\nend_header\n");
    ASSERT_NE(nullptr, longest) << "a line of exactly the limit is accepted";
    EXPECT_EQ(1u, longest->elements.size());
    ply_close_reader(longest);
  }
}

TEST(PlyHeader, ReadsElementsPropertiesCommentsAndObjInfoAnywhere) {
  PlyReader* r = Header(
      "ply extra words\r\ncomment first\r\nformat binary_big_endian 1.5\r\nobj_info \tsize\t7 mm\r\n"
      "element vertex 0012\r\nunknown line here\r\n\r\nproperty float32 x\r\ncomment  between  \r\n"
      "property uint8 flags\r\nproperty half h\r\nelement face 0\r\nproperty list uint16 int32 vertex_indices\r\n"
      "ply\r\nend_header\r\n" +
      std::string(72, '\0'));
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(BinaryBigEndian, r->fileKind);
  EXPECT_EQ(1.5f, r->version);
  EXPECT_EQ((std::vector<std::string>{"first", "between  "}), r->comments);
  EXPECT_EQ((std::vector<std::string>{"size 7 mm"}), r->objInfo);
  ASSERT_EQ(2u, r->elements.size());
  EXPECT_EQ("face", r->elements[1].name);
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
  // A type the header does not know takes at least a byte: no count may outgrow the file.
  const std::string unknown = "ply\nformat binary_little_endian 1.0\nelement v 9\nproperty half h\nend_header\n";
  PlyReader* nine = Header(unknown + std::string(9, '\0'));
  EXPECT_NE(nullptr, nine);
  ply_close_reader(nine);
  EXPECT_EQ(nullptr, Header(unknown + std::string(8, '\0')));
  // ASCII: two bytes a word, the last line may lack its line feed.
  const std::string ascii = "ply\nformat ascii 1.0\nelement v 2\nproperty int a\nend_header\n";
  PlyReader* a = Header(ascii + "1\n2");
  EXPECT_NE(nullptr, a);
  ply_close_reader(a);
  EXPECT_EQ(nullptr, Header(ascii + "1\n"));
}

// ---- values ----------------------------------------------------------------------------------

// Binary values in every byte order, each stored in another type: the three forms of a value
// and how each store type cuts or narrows them.
TEST(PlyItems, BinaryValuesConvertThroughAllThreeForms) {
  struct Case {
    const char* name;
    const char* format;
    const char* type;
    std::string bytes;
    PlyType store;
    double expected;
  };
  Bytes uintMax, minusTwoPointSeven, minusFive, threeE9, huge, tenth, wide;
  uintMax.Put(uint32_t{0xFFFFFFFF});
  minusTwoPointSeven.Put(-2.7f);
  minusFive.Put(int8_t{-5});
  threeE9.Put(3.0e9);
  huge.Put(1e300);
  tenth.Put(0.1);
  wide.Put(int32_t{0x12345678});
  const char* le = "binary_little_endian";
  const std::vector<Case> cases = {
      {"short big-endian", "binary_big_endian", "short", "\x01\x02", PlyInt, 258},
      {"short little-endian", le, "short", "\x01\x02", PlyInt, 513},
      {"uint all bits as double", le, "uint", uintMax.data, PlyDouble, 4294967295.0},
      {"uint all bits as int", le, "uint", uintMax.data, PlyInt, -1},
      {"float -2.7 as int", le, "float", minusTwoPointSeven.data, PlyInt, -2},
      {"float -2.7 as uchar", le, "float", minusTwoPointSeven.data, PlyUchar, 254},
      {"char -5 as ushort", le, "char", minusFive.data, PlyUshort, 65531},
      {"double 3e9 as uint", le, "double", threeE9.data, PlyUint, 3000000000.0},
      {"double 0.1 as float", le, "double", tenth.data, PlyFloat, static_cast<double>(0.1f)},
      {"int cut to short", le, "int", wide.data, PlyShort, 0x5678},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlyReader* r = Header(std::string("ply\nformat ") + c.format + " 1.0\nelement v 1\nproperty " + c.type +
                          " a\nend_header\n" + c.bytes);
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(1, ply_request_property(r, 0, 0, Scalar(c.store, 0)));
    unsigned char slot[8] = {};
    ASSERT_EQ(1, ply_get_elements(r, slot, sizeof slot, 1));
    double got = 0;
    switch (c.store) {
      case PlyInt:
        got = At<int32_t>(slot, 0);
        break;
      case PlyUint:
        got = At<uint32_t>(slot, 0);
        break;
      case PlyShort:
        got = At<int16_t>(slot, 0);
        break;
      case PlyUshort:
        got = At<uint16_t>(slot, 0);
        break;
      case PlyUchar:
        got = slot[0];
        break;
      case PlyFloat:
        got = At<float>(slot, 0);
        break;
      default:
        got = At<double>(slot, 0);
    }
    EXPECT_EQ(c.expected, got);
    ply_close_reader(r);
  }
  PlyReader* r =
      Header(std::string("ply\nformat ") + le + " 1.0\nelement v 1\nproperty double a\nend_header\n" + huge.data);
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, 0, 0, Scalar(PlyFloat, 0)));
  float f = 0;
  ASSERT_EQ(1, ply_get_elements(r, &f, sizeof f, 1));
  EXPECT_TRUE(std::isinf(f));
  ply_close_reader(r);
}

// ---- ASCII words ------------------------------------------------------------------------------

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
    const char* type;
    int32_t i;
    uint32_t u;
    double d;
  };
  const double inf = HUGE_VAL;
  const std::vector<Case> cases = {
      {"12abc", "int", 12, 12, 12},
      {"abc", "short", 0, 0, 0},
      {"-7", "char", -7, 0xFFFFFFF9u, -7},
      {"+42", "uchar", 42, 42, 42},
      {"-1", "uint", -1, 0xFFFFFFFFu, 4294967295.0},
      {"4294967295", "uint", -1, 0xFFFFFFFFu, 4294967295.0},
      {"99999999999", "int", INT32_MAX, static_cast<uint32_t>(INT32_MAX), INT32_MAX},
      {"1.5", "float", 1, 1, 1.5},
      {"-2.7", "double", -2, 0xFFFFFFFEu, -2.7},
      {"6.02e23", "double", 0, 0, 6.02e23},
      {"1e-400", "double", 0, 0, 0.0},
      {".5", "float", 0, 0, 0.5},
      {"0x1p3", "double", 8, 8, 8.0},
      {"3.14159265358979323846264", "double", 3, 3, 3.14159265358979323846},
      {"1.5,25", "double", 1, 1, 1.5},
      {"nothing", "float", 0, 0, 0.0},
      {"inf", "float", 0, 0, inf},
      {"1e999", "double", 0, 0, inf},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    Forms v;
    ASSERT_TRUE(ReadWord(c.word, c.type, &v));
    EXPECT_EQ(c.d, v.d);
    if (std::fabs(c.d) < 1e18) {  // beyond, the integer forms are only bounded
      EXPECT_EQ(c.i, v.i);
      EXPECT_EQ(c.u, v.u);
    }
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!comma) std::printf("note: no decimal-comma locale installed; read in the C locale only\n");
}

// Decimals of every length and exponent, each read as the full conversion reads it: the scans of
// short numbers and of exact ones against the C library.
TEST(PlyItems, DecimalsReadAsTheFullConversion) {
  uint64_t state = 12345;
  char word[64];
  const int lines = 20000;
  std::vector<std::string> words;
  std::string body;
  for (int k = 0; k < lines; ++k) {
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
    words.push_back(word);
    body += words.back() + "\n";
  }
  PlyReader* r =
      Header("ply\nformat ascii 1.0\nelement v " + std::to_string(lines) + "\nproperty double d\nend_header\n" + body);
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, 0, 0, Scalar(PlyDouble, 0)));
  std::vector<double> got(lines);
  ASSERT_EQ(1, ply_get_elements(r, got.data(), sizeof(double), lines));
  ply_close_reader(r);
  for (int k = 0; k < lines; ++k) ASSERT_EQ(std::strtod(words[k].c_str(), nullptr), got[k]) << words[k];
}

// Values read from lines in bulk are what the C library gives for the same words, for words of
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
  ASSERT_EQ(1, ply_request_property(r, 0, 0, Scalar(PlyDouble, 0)));
  ASSERT_EQ(1, ply_request_property(r, 0, 1, Scalar(PlyInt, 8)));
  ASSERT_EQ(1, ply_request_property(r, 0, 2, Scalar(PlyUint, 12)));
  struct Record {
    double d;
    int32_t i;
    uint32_t u;
  };
  std::vector<Record> got(lines);
  ASSERT_EQ(1, ply_get_elements(r, got.data(), sizeof(Record), lines));
  ply_close_reader(r);
  for (int k = 0; k < lines; ++k) {
    const double d = std::strtod(words[3 * k].c_str(), nullptr);
    // Bit for bit: a negative zero must stay one.
    ASSERT_EQ(0, std::memcmp(&d, &got[k].d, sizeof(double))) << "line " << k << " '" << words[3 * k] << "'";
    ASSERT_EQ(CInt(words[3 * k + 1]), got[k].i) << "line " << k << " '" << words[3 * k + 1] << "'";
    ASSERT_EQ(CUint(words[3 * k + 2]), got[k].u) << "line " << k << " '" << words[3 * k + 2] << "'";
  }
}

// ---- items ------------------------------------------------------------------------------------

struct Record {
  double x;
  float y;
  int16_t s;
};

// The same items of fixed size read in bulk and, with a list after them that makes each item's
// size vary, value by value: the fixed-size fast path against the plain one, in every format.
TEST(PlyItems, ScalarsReadInBulkAsValueByValue) {
  const int items = 30000;  // several reader buffers of data
  for (const char* format : {"binary_little_endian", "binary_big_endian", "ascii"}) {
    for (bool withList : {false, true}) {
      SCOPED_TRACE(std::string(format) + (withList ? " with a list" : ""));
      const bool ascii = std::string(format) == "ascii";
      std::string body;
      Bytes b;
      b.big = std::string(format) == "binary_big_endian";
      for (int k = 0; k < items; ++k) {
        const double x = k * 0.5 - 3.25;
        const int16_t s = static_cast<int16_t>(k * 7);
        const uint8_t n = withList ? static_cast<uint8_t>(k % 3) : 0;
        if (ascii) {
          body += std::to_string(x) + " " + std::to_string(s) + " " + std::to_string(-k) + " 9";
          if (withList) body += " " + std::to_string(n);
          for (int j = 0; j < n; ++j) body += " 1";
          body += "\n";
        } else {
          b.Put(x).Put(s).Put(static_cast<float>(-k)).Put(int16_t{9});
          if (withList) {
            b.Put(n);
            for (int j = 0; j < n; ++j) b.Put(int32_t{j});
          }
        }
      }
      PlyReader* r = Header(std::string("ply\nformat ") + format + " 1.0\nelement v " + std::to_string(items) +
                            "\nproperty double x\nproperty short s\nproperty float y\nproperty short skipped\n" +
                            (withList ? "property list uchar int l\n" : "") + "end_header\n" + (ascii ? body : b.data));
      ASSERT_NE(nullptr, r);
      ASSERT_EQ(1, ply_request_property(r, 0, 0, Scalar(PlyDouble, offsetof(Record, x))));
      ASSERT_EQ(1, ply_request_property(r, 0, 1, Scalar(PlyShort, offsetof(Record, s))));
      ASSERT_EQ(1, ply_request_property(r, 0, 2, Scalar(PlyFloat, offsetof(Record, y))));
      std::vector<Record> got(items);
      ASSERT_EQ(1, ply_get_elements(r, got.data(), sizeof(Record), items));
      ply_close_reader(r);
      for (int k = 0; k < items; ++k) {
        ASSERT_EQ(k * 0.5 - 3.25, got[k].x) << k;
        ASSERT_EQ(static_cast<int16_t>(k * 7), got[k].s) << k;
        ASSERT_EQ(static_cast<float>(-k), got[k].y) << k;
      }
    }
  }
}

TEST(PlyItems, RequestsMatchListnessAndOnlyScalarsGoToRecords) {
  PlyReader* r = Header(
      "ply\nformat ascii 1.0\nelement a 1\nproperty int x\nelement b 2\nproperty list uchar int l\nend_header\n5\n1 "
      "9\n0\n");
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(0, ply_request_property(r, 2, 0, Scalar(PlyInt, 0)));
  EXPECT_EQ(-1, r->currentElement);
  EXPECT_EQ(0, ply_request_property(r, 1, 1, Scalar(PlyInt, 0)));
  EXPECT_EQ(1, r->currentElement);
  EXPECT_EQ(0, ply_request_property(r, 1, 0, Scalar(PlyInt, 0)));
  EXPECT_EQ(0, ply_request_property(r, 0, 0, List()));
  EXPECT_EQ(0, r->currentElement);
  // "a" is never read: asking for "b" reads past it.
  ASSERT_EQ(1, ply_request_property(r, 1, 0, List()));
  int32_t record[4];
  EXPECT_EQ(0, ply_get_elements(r, record, sizeof record, 1)) << "a list cannot go to a record";
  EXPECT_EQ((std::vector<std::vector<int32_t>>{{9}, {}}), Lists(r, 2));
  // Going back is not possible.
  ASSERT_EQ(1, ply_request_property(r, 0, 0, Scalar(PlyInt, 0)));
  EXPECT_EQ(0, ply_get_elements(r, record, sizeof record, 1));
  ply_close_reader(r);
}

// Lists with the values around them read past, of any length and with carriage returns: a
// carriage return inside a line is part of a word, "5\r6" reads as 5 and "\r" as 0.
TEST(PlyItems, ListsAmongOtherValuesInAsciiLinesOfAnyLength) {
  std::string longLine = "7 2000000";
  for (int k = 0; k < 2000000; ++k) longLine += " 1";
  PlyReader* r = Header(
      "ply\r\nformat ascii 1.0\r\nelement v 4\r\nproperty int a\r\nproperty list int uchar l\r\nproperty list uchar "
      "int b\r\nend_header\r\n" +
      longLine + " 1 42 extra\r\n1 2 5\r6 7 1 8\r\n2 1 3 \r 9\r\n3 0 0");
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, 0, 1, List()));
  std::vector<std::vector<int32_t>> lists = Lists(r, 4);
  ASSERT_EQ(4u, lists.size());
  ASSERT_EQ(2000000u, lists[0].size());
  EXPECT_EQ(1, lists[0].back());
  EXPECT_EQ((std::vector<int32_t>{5, 7}), lists[1]);
  EXPECT_EQ((std::vector<int32_t>{3}), lists[2]);
  EXPECT_EQ((std::vector<int32_t>{}), lists[3]) << "the last line may lack its line end";
  ply_close_reader(r);
}

TEST(PlyItems, BinaryDataStartsAfterTheLineFeedOfEndHeader) {
  Bytes b;
  b.Put(int32_t{0x0A0D0A0D});  // bytes that look like line ends
  PlyReader* r =
      Header("ply\r\nformat binary_little_endian 1.0\r\nelement v 1\r\nproperty int a\r\nend_header\r\n" + b.data);
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, 0, 0, Scalar(PlyInt, 0)));
  int32_t a = 0;
  ASSERT_EQ(1, ply_get_elements(r, &a, sizeof a, 1));
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
  ASSERT_EQ(1, ply_skip_element(r, 0));
  ASSERT_EQ(1, ply_request_property(r, 1, 0, Scalar(PlyInt, 0)));
  int32_t q = 0;
  ASSERT_EQ(1, ply_get_elements(r, &q, sizeof q, 1));
  EXPECT_EQ(-9, q);
  ply_close_reader(r);
  // The same ending inside the first element: the second item's count is missing.
  PlyReader* cut = Header(head + b.data.substr(0, 6) + std::string(3, '\0'));
  ASSERT_NE(nullptr, cut);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, ply_skip_element(cut, 1));
  EXPECT_EQ("can't read in get_binary_item\n", testing::internal::GetCapturedStderr());
  ply_close_reader(cut);
}

// An empty list first of all, before the reader has any room for items, reads as empty.
TEST(PlyItems, ListCountsAreBoundedByTheData) {
  for (int32_t count : {-1, 0x40000000, 0}) {
    SCOPED_TRACE(count);
    Bytes b;
    b.Put(count).Put(int32_t{0});
    PlyReader* r =
        Header("ply\nformat binary_little_endian 1.0\nelement v 1\nproperty list int int l\nend_header\n" + b.data);
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(1, ply_request_property(r, 0, 0, List()));
    int32_t n = -1;
    const int32_t* items = nullptr;
    EXPECT_EQ(count == 0, ply_get_lists(r, 1, &n, &items));
    EXPECT_EQ(count == 0 ? 0 : -1, n);
    ply_close_reader(r);
  }
  // Counts and indices of a real type must be whole and fit an index; in binary they would wrap
  // modulo 2^32 (2^32 + 3 to 3). The last rows read.
  const auto doubles = [](std::vector<double> values) {
    Bytes b;
    for (double v : values) b.Put(v);
    return "binary_little_endian double double " + b.data;
  };
  const std::vector<std::pair<std::string, std::vector<int32_t>>> real = {
      {doubles({4294967299.0, 0, 1, 2}), {}},
      {doubles({1, 4294967298.0}), {}},
      {doubles({1, -1}), {}},
      {"ascii float int 2.5 0 1 2", {}},
      {"ascii uchar float 1 0.5", {}},
      {"ascii uchar double 1 NaN", {}},
      {"ascii int int 3 1 2", {}},  // a count the line cannot hold
      {doubles({2, 2147483647.0, 0}), {2147483647, 0}},
      {"ascii double float 2.0 1e3 7", {1000, 7}},
  };
  for (const auto& row : real) {
    const size_t types = row.first.find(' ') + 1, data = row.first.find(' ', row.first.find(' ', types) + 1);
    SCOPED_TRACE(row.first.substr(0, data));
    PlyReader* r =
        Header("ply\nformat " + row.first.substr(0, types) + "1.0\nelement v 1\nproperty list " +
               row.first.substr(types, data - types) + " l\nend_header\n" + row.first.substr(data + 1) + "\n");
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(1, ply_request_property(r, 0, 0, List()));
    const std::vector<std::vector<int32_t>> got = Lists(r, 1);
    EXPECT_EQ(row.second, got.empty() ? std::vector<int32_t>{} : got[0]);
    EXPECT_EQ(row.second.empty(), got.empty());
    ply_close_reader(r);
  }
}

// Faces as files hold them: triangles with polygons and empty lists among them, across the
// reader's buffer refills and cut at the end, read as the mesh reader reads them: the triangles
// fast path as far as it goes, the rest of each chunk as lists. Binary triangles of four-byte
// indices behind a one-byte count, and ASCII lines "3 a b c" of short numbers, take the fast
// path; every other layout, and a second property, the plain one. Both must give what was written.
TEST(PlyItems, TrianglesAndPolygonsReadAsTheListPathReads) {
  const int items = 200000;  // 2.6 MB: the reader's buffer refills several times
  struct Layout {
    const char* properties;
    bool shortIndices;
    bool flags;
  };
  const Layout layouts[] = {{"property list uchar int vertex_indices\n", false, false},
                            {"property list uchar uint vertex_indices\n", false, false},
                            {"property list uchar short vertex_indices\n", true, false},
                            {"property list uchar int vertex_indices\nproperty uchar flags\n", false, true}};
  for (const char* format : {"binary_little_endian", "binary_big_endian", "ascii"}) {
    const bool ascii = std::string(format) == "ascii";
    for (const Layout& layout : layouts) {
      SCOPED_TRACE(std::string(format) + " " + layout.properties);
      Bytes b;
      b.big = std::string(format) == "binary_big_endian";
      std::string text;
      std::vector<std::vector<int32_t>> expected;
      for (int k = 0; k < items; ++k) {
        const int n = k % 1000 == 7 ? 4 : k % 1000 == 500 ? 0 : 3;
        std::vector<int32_t> list;
        b.Put(uint8_t(n));
        text += std::to_string(n);
        for (int j = 0; j < n; ++j) {
          int32_t v = layout.shortIndices ? int16_t(k * 3 + j) : (j == 2 ? -3 * k - 2 : 3 * k + j);
          if (ascii && k % 100 == 9) v = 12345678 + j;  // eight digits: not a short number
          list.push_back(v);
          if (layout.shortIndices)
            b.Put(int16_t(v));
          else
            b.Put(v);
          text += (ascii && k % 1000 == 3 ? "  " : " ") + std::to_string(v);
        }
        if (layout.flags) b.Put(uint8_t{1});
        text += std::string(layout.flags ? " 1" : "") + (k % 7 == 1 ? "\r\n" : "\n");
        expected.push_back(list);
      }
      const std::string head = std::string("ply\nformat ") + format + " 1.0\nelement face " + std::to_string(items) +
                               "\n" + layout.properties + "end_header\n";
      const std::string body = ascii ? text : b.data;
      PlyReader* r = Header(head + body);
      ASSERT_NE(nullptr, r);
      ASSERT_EQ(1, ply_request_property(r, 0, 0, List()));
      std::vector<std::vector<int32_t>> got;
      for (int done = 0; done < items;) {
        const int k = std::min(4096, items - done);
        std::vector<int32_t> triangles(3 * k);
        const int64_t fast = ply_get_triangles(r, triangles.data(), 12, k);
        ASSERT_GE(fast, 0) << done;
        for (int64_t t = 0; t < fast; ++t) got.emplace_back(&triangles[3 * t], &triangles[3 * t + 3]);
        std::vector<std::vector<int32_t>> rest = Lists(r, k - static_cast<int>(fast));
        ASSERT_EQ(static_cast<size_t>(k - fast), rest.size()) << done;
        got.insert(got.end(), rest.begin(), rest.end());
        done += k;
      }
      ASSERT_EQ(expected, got);
      EXPECT_EQ(1, ply_read_end(r));
      ply_close_reader(r);

      // The last triangle cut short: the list path meets it and fails.
      if (ascii) continue;
      PlyReader* cut = Header(head + body.substr(0, body.size() - (layout.flags ? 2 : 1)));
      ASSERT_NE(nullptr, cut);
      ASSERT_EQ(1, ply_request_property(cut, 0, 0, List()));
      std::vector<int32_t> triangles(3 * items), counts(items);
      const int64_t fast = ply_get_triangles(cut, triangles.data(), 12, items);
      ASSERT_GE(fast, 0);
      const int32_t* list = nullptr;
      testing::internal::CaptureStderr();
      EXPECT_EQ(0, ply_get_lists(cut, items - fast, counts.data(), &list));
      testing::internal::GetCapturedStderr();
      ply_close_reader(cut);
    }
  }
}

// ASCII list items are each word's int32 form as the C library reads it, for words of every shape
// the conversions know; words of a real type only when they are whole numbers that fit an index.
TEST(PlyItems, AsciiListItemsConvertAsTheWordsAlone) {
  const char* words[] = {"0",           "7",           "-3",         "+12",     "007",  "2147483647", "2147483648",
                         "-2147483649", "99999999999", "4294967295", "1.9",     "-2.5", "1e3",        "0x1A",
                         "-",           "+",           "12345678",   "1234567", "\r5",  "5\r6",       "42"};
  uint32_t seed = 99;
  auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  const auto WholeIndex = [](const std::string& word) {
    const double d = std::strtod(word.c_str(), nullptr);
    return d >= 0 && d <= INT32_MAX && d == std::floor(d);
  };
  for (const char* type : {"int", "uint", "float", "short", "double", "uchar"}) {
    SCOPED_TRACE(type);
    const bool real = std::string(type) == "float" || std::string(type) == "double";
    std::string body;
    std::vector<std::vector<std::string>> lines;
    const int items = 60000;  // more than one buffer of input (1 MB)
    for (int k = 0; k < items; ++k) {
      const int n = next() % 10 == 0 ? int(next() % 6) : 3;
      body += std::to_string(n);
      lines.emplace_back();
      for (int j = 0; j < n; ++j) {
        std::string word = words[next() % (sizeof words / sizeof *words)];
        while (real && !WholeIndex(word)) word = words[next() % (sizeof words / sizeof *words)];
        lines.back().push_back(word);
        body += (next() % 5 ? " " : " \t ") + lines.back().back();
      }
      const uint32_t end = next() % 14;
      if (end == 0) body += " extra words";
      if (end == 1) body += " ";
      body += end % 5 == 3 ? "\r\n" : "\n";
    }
    PlyReader* r = Header(std::string("ply\nformat ascii 1.0\nelement face ") + std::to_string(items) +
                          "\nproperty list uchar " + type + " vertex_indices\nend_header\n" + body);
    ASSERT_NE(nullptr, r);
    ASSERT_EQ(1, ply_request_property(r, 0, 0, List()));
    const std::vector<std::vector<int32_t>> got = Lists(r, items);
    ply_close_reader(r);
    ASSERT_EQ(static_cast<size_t>(items), got.size());
    const std::string t = type;
    // Reals: truncated toward zero and wrapped to 32 bits; every word here is far inside 64 bits.
    auto expected = [&t](const std::string& word) {
      if (t == "float" || t == "double")
        return static_cast<int32_t>(static_cast<int64_t>(std::strtod(word.c_str(), nullptr)));
      return t == "uint" ? static_cast<int32_t>(CUint(word)) : CInt(word);
    };
    for (int k = 0; k < items; ++k) {
      ASSERT_EQ(lines[k].size(), got[k].size()) << k;
      for (size_t j = 0; j < lines[k].size(); ++j) {
        ASSERT_EQ(expected(lines[k][j]), got[k][j]) << "line " << k << " word '" << lines[k][j] << "'";
      }
    }
  }
}

TEST(PlyItems, UnknownTypesFailWhenTheirDataIsMet) {
  PlyReader* r = Header("ply\nformat ascii 1.0\nelement v 1\nproperty int a\nproperty half h\nend_header\n1 2\n");
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, 0, 0, Scalar(PlyInt, 0)));
  int32_t a;
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, ply_get_elements(r, &a, sizeof a, 1));
  EXPECT_EQ("get_ascii_item: bad type = 0\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(0, ply_get_elements(r, &a, sizeof a, 0)) << "a failed reader stays failed";
  ply_close_reader(r);
  PlyReader* b = Header("ply\nformat binary_little_endian 1.0\nelement v 1\nproperty half h\nend_header\n1234");
  ASSERT_NE(nullptr, b);
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, ply_skip_element(b, 0));
  EXPECT_EQ("get_binary_item: bad type = 0\n", testing::internal::GetCapturedStderr());
  ply_close_reader(b);
  // No items of that element: nothing to fail on.
  PlyReader* none = Header(
      "ply\nformat binary_little_endian 1.0\nelement v 0\nproperty half h\nelement w 1\nproperty uchar "
      "c\nend_header\n\x05");
  ASSERT_NE(nullptr, none);
  ASSERT_EQ(1, ply_request_property(none, 1, 0, Scalar(PlyUchar, 0)));
  uint8_t c = 0;
  EXPECT_EQ(1, ply_get_elements(none, &c, 1, 1));
  EXPECT_EQ(5, c);
  ply_close_reader(none);
}

TEST(PlyItems, StoreTypeOfARequestIsChecked) {
  PlyReader* r =
      Header("ply\nformat binary_little_endian 1.0\nelement v 1\nproperty int a\nend_header\n" + std::string(4, '\1'));
  ASSERT_NE(nullptr, r);
  ASSERT_EQ(1, ply_request_property(r, 0, 0, Scalar(PlyInvalid, 0)));
  int32_t a;
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, ply_get_elements(r, &a, sizeof a, 1));
  EXPECT_EQ("store_item: bad type = 0\n", testing::internal::GetCapturedStderr());
  ply_close_reader(r);
}

}  // namespace
