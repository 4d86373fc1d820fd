#include "geometry/ply.h"

#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <unordered_set>

#include "geometry/LoadBudget.h"

// How the data is read. Input comes through one buffer per reader (ReadMore). The plain path has
// one walker per encoding, which stores requested scalars into the caller's records, hands a
// requested list to a ListSink as int32 counts and items, and reads past the rest: ReadBinaryItem
// (value by value) and ReadAsciiItem (one line, word by word; every buffered line ends in a line
// feed, FindWholeLines adding one to a last line without). ReadItems alone picks between them and
// the fast paths, each with its invariant and checked against the plain path by a test:
// - ReadFixedItems: items of fixed size (no lists, all types known), a buffer at a time, one loop
//   per merged run of copied, swapped or converted bytes. Invariant: the plan covers exactly the
//   item's bytes. Tests: PlyItems.ScalarsReadInBulkAsValueByValue, ReadPly.AsciiAndBothBinary...
// - ScanShortDecimal, ScanShortInteger: ASCII numbers of fewer than eight digits either side of
//   the point, eight characters at a time. Invariant: a word is taken only when a separator or the
//   line end follows its digits; reads stop at the buffer's end. Other decimals go to from_chars,
//   and what it does not read as the C library does to the C library. Tests: PlyItems.WordsInLines...,
//   PlyItems.AsciiListItemsConvertAsTheWordsAlone, PlyItems.DecimalsReadAsTheFullConversion.
// The caller takes the third: ReadTriangles puts faces that are triangles straight into its
// records. Test: PlyItems.TrianglesAndPolygonsReadAsTheListPathReads.
// Bounds: a header line may not pass kMaxHeaderLine; an element count must fit the bytes left;
// a list must fit the bytes left (binary) or the whole lines buffered (ASCII); the buffer grows
// only to hold one line or one list. Elements and properties are taken by index, so a header
// costs time linear in its size.

struct PlyInput {
  // Bytes [begin, end) of buffer came from the stream and are not consumed yet; the buffer grows
  // only for a long line or list. unreadBytes is what the stream holds beyond, -1 when unknown.
  std::vector<char> buffer;
  size_t begin = 0;
  size_t end = 0;
  bool streamEnded = false;
  int64_t unreadBytes = -1;
  size_t wholeLines = 0;  // ASCII data: buffer offset past the last buffered line feed
  // The data is consumed strictly in header order: element dataElement, of which itemsDone
  // items are behind us. A data failure is final.
  int32_t dataElement = 0;
  int64_t itemsDone = 0;
  bool failed = false;
  std::vector<int32_t> listItems;  // the items of ply_get_lists, reused by each call
};

PlyReader::PlyReader() : input(new PlyInput) {}
PlyReader::~PlyReader() = default;

namespace {

const size_t kBufferSize = 1024 * 1024;     // first size of a reader's buffer
const size_t kMaxHeaderLine = 1024 * 1024;  // a keyword and a few words, or a comment
const int kTypeSize[9] = {0, 1, 2, 4, 1, 2, 4, 4, 8};
const size_t kTriangleItemBytes = 13;   // a one-byte count of 3 and three four-byte indices
const size_t kPlainTriangleChars = 40;  // what ScanPlainTriangle may read
const size_t kLoadAhead = 17;           // bytes ScanShortDecimal may read from the first digit of a word
// The largest float plus half a unit: from here on a double rounds to infinity, said explicitly
// because the language leaves that conversion undefined.
const double kFloatOverflow = 0x1.ffffffp127;

const bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

void Say(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  LoadBudget::Say(line);
}

void ReportBadAlloc(int line) { Say("Memory allocation bombed on line %d in %s\n", line, __FILE__); }

bool ShortRead() {
  Say("can't read in get_binary_item\n");
  return false;
}

#define PLY_INLINE inline __attribute__((always_inline))

PLY_INLINE bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

PlyType TypeFromKeyword(std::string_view word) {
  static const char* const names[9] = {"", "char", "short", "int", "uchar", "ushort", "uint", "float", "double"};
  static const char* const sized[9] = {"", "int8", "int16", "int32", "uint8", "uint16", "uint32", "float32", "float64"};
  for (int t = 1; t <= 8; ++t)
    if (word == names[t] || word == sized[t]) return static_cast<PlyType>(t);
  return PlyInvalid;
}

bool ValidType(int type) { return type >= 1 && type <= 8; }

// A type the header did not know fails only when a value of it is met.
bool KnownType(int type, const char* where) {
  if (ValidType(type)) return true;
  Say("%s: bad type = %d\n", where, type);
  return false;
}

bool Swapped(const PlyReader* r) { return (r->fileKind == BinaryBigEndian) != kHostBigEndian; }

// One value in the three forms it travels in between the file and the caller's record.
struct PlyValue {
  int32_t i = 0;
  uint32_t u = 0;
  double d = 0.0;
};

PLY_INLINE PlyValue SignedValue(int32_t v) { return PlyValue{v, static_cast<uint32_t>(v), static_cast<double>(v)}; }

PLY_INLINE PlyValue UnsignedValue(uint32_t v) { return PlyValue{static_cast<int32_t>(v), v, static_cast<double>(v)}; }

// Integer forms are the value truncated toward zero, wrapped to 32 bits (so -2.7 gives the
// unsigned form 0xFFFFFFFE); NaN gives 0 and huge values saturate first.
PLY_INLINE PlyValue RealValue(double d) {
  const int64_t t = d >= 9.2e18 ? INT64_MAX : d <= -9.2e18 ? INT64_MIN : d == d ? static_cast<int64_t>(d) : 0;
  const uint32_t u = static_cast<uint32_t>(t);
  return PlyValue{static_cast<int32_t>(u), u, d};
}

template <class T>
PLY_INLINE bool Put(char* p, T v) {
  std::memcpy(p, &v, sizeof v);
  return true;
}

PLY_INLINE bool StoreValue(char* p, int type, const PlyValue& value) {
  const float inf = std::numeric_limits<float>::infinity();
  if (type == PlyChar) return Put(p, static_cast<int8_t>(value.i));
  if (type == PlyShort) return Put(p, static_cast<int16_t>(value.i));
  if (type == PlyInt) return Put(p, value.i);
  if (type == PlyUchar) return Put(p, static_cast<uint8_t>(value.u));
  if (type == PlyUshort) return Put(p, static_cast<uint16_t>(value.u));
  if (type == PlyUint) return Put(p, value.u);
  if (type == PlyFloat)
    return Put(p, value.d >= kFloatOverflow ? inf : value.d <= -kFloatOverflow ? -inf : static_cast<float>(value.d));
  if (type == PlyDouble) return Put(p, value.d);
  return KnownType(type, "store_item");
}

template <class T>
T Load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// One binary value at p, whose type has a valid code; swap reverses its bytes first.
PlyValue BinaryValue(const char* p, int type, bool swap) {
  unsigned char raw[8];
  const int size = kTypeSize[type];
  for (int k = 0; k < size; ++k) raw[k] = static_cast<unsigned char>(swap ? p[size - 1 - k] : p[k]);
  const char* r = reinterpret_cast<const char*>(raw);
  if (type == PlyChar) return SignedValue(Load<int8_t>(r));
  if (type == PlyShort) return SignedValue(Load<int16_t>(r));
  if (type == PlyInt) return SignedValue(Load<int32_t>(r));
  if (type == PlyUchar) return UnsignedValue(Load<uint8_t>(r));
  if (type == PlyUshort) return UnsignedValue(Load<uint16_t>(r));
  if (type == PlyUint) return UnsignedValue(Load<uint32_t>(r));
  return RealValue(type == PlyFloat ? Load<float>(r) : Load<double>(r));
}

PLY_INLINE bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The leading decimal integer after any spaces, as the C library reads it: signed types saturate
// to int32; uint to 32 bits, a minus sign negating modulo 2^32. Past 2^40 both have saturated.
PlyValue ParseInteger(const char* p, const char* e, bool isUnsigned) {
  while (p < e && IsSpace(*p)) ++p;
  bool negative = false;
  if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
  int64_t m = 0;
  for (; p < e && *p >= '0' && *p <= '9'; ++p)
    if (m <= (int64_t{1} << 40)) m = m * 10 + (*p - '0');
  if (isUnsigned)
    return UnsignedValue(m > UINT32_MAX ? UINT32_MAX
                         : negative     ? 0u - static_cast<uint32_t>(m)
                                        : static_cast<uint32_t>(m));
  return SignedValue(static_cast<int32_t>(std::clamp<int64_t>(negative ? -m : m, INT32_MIN, INT32_MAX)));
}

// The conversion as the C library reads a number, correctly rounded and independent of the
// process locale. Returns where the number ends, or null for what from_chars does not read as the
// C library does (spaces, a plus sign, hexadecimal, out of range): the full conversion takes those.
__attribute__((noinline)) const char* ScanDecimal(const char* b, const char* e, double* value) {
  const std::from_chars_result got = std::from_chars(b, e, *value);
  if (got.ec != std::errc() || (got.ptr < e && (*got.ptr == 'x' || *got.ptr == 'X'))) return nullptr;
  return got.ptr;
}

double ParseReal(const char* b, const char* e) {
  double d;
  if (ScanDecimal(b, e, &d)) return d;
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return cLocale ? strtod_l(std::string(b, e).c_str(), nullptr, cLocale) : 0.0;
}

// ---- eight characters at a time, for words inside a line --------------------------------------

// How many of the eight characters in v (first in the lowest byte) are digits before the first
// that is not; 8 when all are.
PLY_INLINE int LeadingDigits(uint64_t v) {
  const uint64_t notThree = (v & 0xF0F0F0F0F0F0F0F0ull) ^ 0x3030303030303030ull;
  const uint64_t aboveNine = ((v & 0x0F0F0F0F0F0F0F0Full) + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull;
  const uint64_t other = notThree | aboveNine;  // nonzero in each byte that is not a digit
  return other ? __builtin_ctzll(other) >> 3 : 8;
}

// The number that the first n (1 to 8) characters of v spell, all digits: shifted to the top,
// the bytes below count as leading zeros; then pairs, fours and the eight are summed.
PLY_INLINE uint64_t DigitsValue(uint64_t v, int n) {
  uint64_t x = (v & 0x0F0F0F0F0F0F0F0Full) << (8 * (8 - n));
  x = x * 10 + (x >> 8);
  x = (((x & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
       (((x >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
      32;
  return x;
}

// ScanDecimal for fewer than eight digits either side of the point and no exponent, as most files
// hold. Characters up to limit may be read; the line ends at e in a character that is no digit.
PLY_INLINE const char* ScanShortDecimal(const char* b, const char* e, const char* limit, double* value) {
  static const uint64_t kTens[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
  static const double kPow10[8] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
  const char* p = b;
  if (kHostBigEndian || limit - p <= static_cast<ptrdiff_t>(kLoadAhead)) return ScanDecimal(b, e, value);
  // As in ScanShortInteger, a sign is looked for only when no digit comes first.
  uint64_t whole = Load<uint64_t>(p);
  int wholeDigits = LeadingDigits(whole);
  if (wholeDigits == 0 && (*p == '-' || *p == '+')) {
    whole = Load<uint64_t>(++p);
    wholeDigits = LeadingDigits(whole);
  }
  const bool negative = *b == '-';
  if (wholeDigits == 8) return ScanDecimal(b, e, value);
  uint64_t m = wholeDigits ? DigitsValue(whole, wholeDigits) : 0;
  p += wholeDigits;
  int fractionDigits = 0;
  if (p < e && *p == '.') {
    const uint64_t fraction = Load<uint64_t>(++p);
    fractionDigits = LeadingDigits(fraction);
    if (fractionDigits == 8) return ScanDecimal(b, e, value);
    if (fractionDigits) m = m * kTens[fractionDigits] + DigitsValue(fraction, fractionDigits);
    p += fractionDigits;
  }
  if (wholeDigits + fractionDigits == 0 || (p < e && (*p == 'e' || *p == 'E' || *p == 'x' || *p == 'X')))
    return ScanDecimal(b, e, value);
  const double d = m == 0 ? 0.0 : static_cast<double>(m) / kPow10[fractionDigits];
  *value = negative ? -d : d;
  return p;
}

__attribute__((noinline)) bool AsciiValue(const char* b, const char* e, int type, PlyValue* value) {
  if (!KnownType(type, "get_ascii_item")) return false;
  *value = type >= PlyFloat ? RealValue(ParseReal(b, e)) : ParseInteger(b, e, type == PlyUint);
  return true;
}

// Moves the unconsumed bytes to the front of the buffer, doubling it only when they fill it.
void MakeRoom(PlyReader* r) {
  r->input->wholeLines = 0;
  char* buffer = r->input->buffer.data();
  if (r->input->begin > 0) {
    std::memmove(buffer, buffer + r->input->begin, r->input->end - r->input->begin);
    r->input->end -= r->input->begin;
    r->input->begin = 0;
  }
  if (r->input->end == r->input->buffer.size()) r->input->buffer.resize(2 * r->input->end);
}

// Brings more of the stream into the buffer. False when the stream has nothing more.
bool ReadMore(PlyReader* r) {
  if (r->input->streamEnded) return false;
  MakeRoom(r);
  const size_t got =
      std::fread(r->input->buffer.data() + r->input->end, 1, r->input->buffer.size() - r->input->end, r->stream);
  if (got == 0) {
    r->input->streamEnded = true;
    return false;
  }
  r->input->end += got;
  if (r->input->unreadBytes >= 0)
    r->input->unreadBytes = std::max<int64_t>(0, r->input->unreadBytes - static_cast<int64_t>(got));
  return true;
}

bool Ensure(PlyReader* r, size_t bytes) {
  while (r->input->end - r->input->begin < bytes)
    if (!ReadMore(r)) return false;
  return true;
}

int64_t BytesLeft(const PlyReader* r) {
  return r->input->unreadBytes < 0 ? -1 : static_cast<int64_t>(r->input->end - r->input->begin) + r->input->unreadBytes;
}

bool SkipBytes(PlyReader* r, uint64_t bytes) {
  for (;;) {
    const size_t have = r->input->end - r->input->begin;
    if (have >= bytes) {
      r->input->begin += bytes;
      return true;
    }
    bytes -= have;
    r->input->begin = r->input->end;
    if (!ReadMore(r)) return false;
  }
}

// The next line, without its line feed and a carriage return right before it; the last line may
// lack its line feed. Returns 0 at the end of the input and -1 when the line grows past maxLength.
// The text stays valid until the reader's input moves on.
int NextLine(PlyReader* r, size_t maxLength, const char** lineBegin, const char** lineEnd) {
  size_t scanned = 0;
  for (;;) {
    const char* from = r->input->buffer.data() + r->input->begin;
    const size_t have = r->input->end - r->input->begin;
    const char* feed = static_cast<const char*>(std::memchr(from + scanned, '\n', have - scanned));
    const size_t length = feed ? static_cast<size_t>(feed - from) : have;
    // The carriage return of a CR LF line end is not part of the line.
    if (length > maxLength + 1 || (length == maxLength + 1 && from[maxLength] != '\r')) return -1;
    if (feed) {
      r->input->begin += length + 1;
    } else {
      scanned = have;
      if (ReadMore(r)) continue;
      if (have == 0) return 0;
      from = r->input->buffer.data() + r->input->begin;
      r->input->begin = r->input->end;
    }
    *lineBegin = from;
    *lineEnd = from + length;
    if (length > 0 && from[length - 1] == '\r') --*lineEnd;
    return 1;
  }
}

// Lines in the buffer always end in a line feed (FindWholeLines); a carriage return right before
// it belongs to the line end, any other is part of a word.
PLY_INLINE bool AtLineEnd(const char* p) { return *p == '\n' || (*p == '\r' && p[1] == '\n'); }

PLY_INLINE bool EndsWord(const char* p) { return IsSeparator(*p) || AtLineEnd(p); }

PLY_INLINE bool NextWord(const char** cursor, const char** wordBegin, const char** wordEnd) {
  const char* p = *cursor;
  while (IsSeparator(*p)) ++p;
  if (AtLineEnd(p)) return false;
  *wordBegin = p;
  while (!EndsWord(p)) ++p;
  *wordEnd = p;
  *cursor = p;
  return true;
}

// An integer word at p of fewer than eight digits, eight characters at a time: its value modulo
// 2^32, both integer forms; null for any other word. A sign is looked for only when no digit comes
// first, so that unsigned words, nearly all, load their digits at once.
PLY_INLINE const char* ScanShortInteger(const char* p, const char* limit, uint32_t* value) {
  if (kHostBigEndian || limit - p < 9) return nullptr;
  const char* digits = p;
  uint64_t word = Load<uint64_t>(digits);
  int count = LeadingDigits(word);
  if (count == 0) {
    if (*p != '-' && *p != '+') return nullptr;
    word = Load<uint64_t>(++digits);
    count = LeadingDigits(word);
  }
  const char* stop = digits + count;
  if (count == 8 || !EndsWord(stop)) return nullptr;
  const uint32_t m = count ? static_cast<uint32_t>(DigitsValue(word, count)) : 0;
  *value = *p == '-' ? 0u - m : m;
  return stop;
}

// The next word of the line, converted. A word that is a plain number is converted in the scan
// that finds its end; any other is found first and converted whole, to the same value.
// Characters up to limit may be read (see ScanShortDecimal); every scan stops at the line feed.
PLY_INLINE bool NextValue(const char** cursor, const char* limit, int type, PlyValue* value) {
  const char* p = *cursor;
  while (IsSeparator(*p)) ++p;
  if (AtLineEnd(p)) return false;
  const char* stop = nullptr;
  if (type == PlyFloat || type == PlyDouble) {
    double d;
    stop = ScanShortDecimal(p, limit, limit, &d);
    if (stop && EndsWord(stop)) {
      *value = RealValue(d);
      *cursor = stop;
      return true;
    }
  } else if (ValidType(type)) {
    uint32_t v;
    stop = ScanShortInteger(p, limit, &v);
    if (stop) {
      *value = type == PlyUint ? UnsignedValue(v) : SignedValue(static_cast<int32_t>(v));
      *cursor = stop;
      return true;
    }
  }
  const char* wb = p;
  while (!EndsWord(p)) ++p;
  *cursor = p;
  return AsciiValue(wb, p, type, value);
}

// Where the values of a requested list go: one count per item and the items one after another,
// as int32, in the reader's listItems.
struct ListSink {
  PlyReader* r;
  int32_t* counts;
  int64_t item = 0;
  size_t used = 0;

  int32_t* Add(int64_t n) {
    counts[item++] = static_cast<int32_t>(n);
    std::vector<int32_t>& all = r->input->listItems;
    const size_t need = used + static_cast<size_t>(n);
    if (need > all.size()) {
      const size_t size = std::max(need, 2 * all.size());
      if (!LoadBudget::Grow(static_cast<int64_t>((size - all.size()) * sizeof(int32_t)))) throw std::bad_alloc();
      all.resize(size);
    }
    int32_t* items = all.data() + used;
    used = need;
    return items;
  }
};

// A list count or index of a real type must be a whole number from 0 to INT32_MAX: its integer
// forms wrap modulo 2^32, so 2^32 + 3 would read as 3. Integer types pass as they are.
PLY_INLINE bool WholeIndex(int type, const PlyValue& v) {
  return (type != PlyFloat && type != PlyDouble) || (v.d >= 0 && v.d <= INT32_MAX && v.d == std::floor(v.d));
}

// n binary values of type at p, each as its signed integer form; false for one that is not an index.
bool StoreIndices(int32_t* items, const char* p, int64_t n, PlyType type, bool swap) {
  if (n == 0) return true;  // items may be null then
  if ((type == PlyInt || type == PlyUint) && !swap) {
    std::memcpy(items, p, static_cast<size_t>(n) * 4);
    return true;
  }
  const int size = kTypeSize[type];
  for (int64_t j = 0; j < n; ++j) {
    const PlyValue v = BinaryValue(p + j * size, type, swap);
    if (!WholeIndex(type, v)) return false;
    items[j] = v.i;
  }
  return true;
}

bool ReadBinaryValue(PlyReader* r, PlyType type, PlyValue* value) {
  if (!KnownType(type, "get_binary_item")) return false;
  const size_t size = static_cast<size_t>(kTypeSize[type]);
  if (!Ensure(r, size)) return ShortRead();
  *value = BinaryValue(r->input->buffer.data() + r->input->begin, type, Swapped(r));
  r->input->begin += size;
  return true;
}

// The plain binary path: one item, value by value.
bool ReadBinaryItem(PlyReader* r, const PlyElementDesc& element, const uint8_t* flags, char* record, ListSink* lists) {
  const bool swap = Swapped(r);
  for (size_t p = 0; p < element.properties.size(); ++p) {
    const PlyPropertyDesc& prop = element.properties[p];
    const bool store = flags && flags[p];
    PlyValue value;
    if (!prop.isList) {
      if (!ReadBinaryValue(r, prop.fileType, &value)) return false;
      if (store && !StoreValue(record + prop.offset, prop.storeType, value)) return false;
      continue;
    }
    if (!ReadBinaryValue(r, prop.countFileType, &value)) return false;
    const int64_t n = value.i;
    if (n < 0 || !WholeIndex(prop.countFileType, value)) return false;
    if (n > 0 && !KnownType(prop.fileType, "get_binary_item")) return false;
    const uint64_t bytes = static_cast<uint64_t>(n) * kTypeSize[prop.fileType];
    const int64_t left = BytesLeft(r);
    if (left >= 0 && bytes > static_cast<uint64_t>(left)) return false;
    if (!(store ? Ensure(r, bytes) : SkipBytes(r, bytes))) return ShortRead();
    if (!store) continue;
    if (!StoreIndices(lists->Add(n), r->input->buffer.data() + r->input->begin, n, prop.fileType, swap)) return false;
    r->input->begin += bytes;
  }
  return true;
}

// Makes sure that a whole line starts at begin: wholeLines is then past the last buffered line
// feed. A last line without one gets one. False at the end of the input.
bool FindWholeLines(PlyReader* r) {
  size_t scanned = 0;
  for (;;) {
    const char* from = r->input->buffer.data() + r->input->begin;
    const size_t have = r->input->end - r->input->begin;
    const char* feed = static_cast<const char*>(memrchr(from + scanned, '\n', have - scanned));
    if (feed) {
      r->input->wholeLines = static_cast<size_t>(feed + 1 - r->input->buffer.data());
      return true;
    }
    scanned = have;
    if (ReadMore(r)) continue;
    if (have == 0) return false;
    MakeRoom(r);
    r->input->buffer[r->input->end++] = '\n';
    r->input->wholeLines = r->input->end;
    return true;
  }
}

// The plain ASCII path: one item is one line; each scalar takes a word, each list a count word
// and then its items. Words left over are ignored.
PLY_INLINE bool ReadAsciiItem(PlyReader* r, const PlyElementDesc& element, const uint8_t* flags, char* record,
                              ListSink* lists) {
  if (r->input->begin >= r->input->wholeLines && !FindWholeLines(r)) {
    Say("ply_get_element: unexpected end of file\n");
    return false;
  }
  const char* const base = r->input->buffer.data();
  const char* const limit = base + r->input->end;
  const char* const linesEnd = base + r->input->wholeLines;
  const char* cursor = base + r->input->begin;
  const char *wb, *we;
  for (size_t p = 0; p < element.properties.size(); ++p) {
    const PlyPropertyDesc& prop = element.properties[p];
    const bool store = flags && flags[p];
    PlyValue value;
    if (!prop.isList) {
      if (!store && ValidType(prop.fileType)) {
        if (!NextWord(&cursor, &wb, &we)) return false;
        continue;
      }
      if (!NextValue(&cursor, limit, prop.fileType, &value)) return false;
      if (store && !StoreValue(record + prop.offset, prop.storeType, value)) return false;
      continue;
    }
    if (!NextValue(&cursor, limit, prop.countFileType, &value)) return false;
    const int64_t n = value.i;
    // Each item takes a word and a space: a longer list would not fit the line.
    if (n < 0 || n > (linesEnd - cursor) / 2 || !WholeIndex(prop.countFileType, value)) return false;
    if (n > 0 && !KnownType(prop.fileType, "get_ascii_item")) return false;
    if (!store) {
      for (int64_t j = 0; j < n; ++j)
        if (!NextWord(&cursor, &wb, &we)) return false;
      continue;
    }
    int32_t* items = lists->Add(n);
    for (int64_t j = 0; j < n; ++j) {
      if (!NextValue(&cursor, limit, prop.fileType, &value) || !WholeIndex(prop.fileType, value)) return false;
      items[j] = value.i;
    }
  }
  if (*cursor != '\n') cursor = static_cast<const char*>(std::memchr(cursor, '\n', linesEnd - cursor));
  r->input->begin = static_cast<size_t>(cursor + 1 - base);
  return true;
}

// One step of a fixed-size binary item: scalars stored in their file type become runs of values
// copied (width 1) or byte-swapped (width 2, 4 or 8), merged with their neighbours; the rest are
// converted value by value or skipped.
enum OpKind : uint8_t { OpMove, OpSkip, OpConvert };

struct Op {
  OpKind kind;
  int32_t width;
  int32_t src;    // position in the item
  int32_t bytes;  // file bytes consumed
  int32_t dst;
  int32_t prop;
};

// Returns the item's size, or -1 when items have no fixed size: a list, or a type the plain path
// must report.
int32_t MakePlan(const PlyElementDesc& element, const uint8_t* flags, bool swap, std::vector<Op>* plan) {
  int32_t src = 0;
  for (size_t p = 0; p < element.properties.size(); ++p) {
    const PlyPropertyDesc& prop = element.properties[p];
    if (prop.isList || !ValidType(prop.fileType)) return -1;
    const int32_t size = kTypeSize[prop.fileType];
    Op op{OpMove, swap ? size : 1, src, size, prop.offset, static_cast<int32_t>(p)};
    if (!flags || !flags[p])
      op.kind = OpSkip;
    else if (prop.storeType != prop.fileType)
      op.kind = OpConvert;
    src += size;
    Op* last = plan->empty() ? nullptr : &plan->back();
    if (last && last->kind == op.kind &&
        (op.kind == OpSkip || (op.kind == OpMove && last->width == op.width && last->dst + last->bytes == op.dst))) {
      last->bytes += size;
      continue;
    }
    plan->push_back(op);
  }
  return src;
}

PLY_INLINE uint16_t ByteSwap(uint16_t v) { return __builtin_bswap16(v); }
PLY_INLINE uint32_t ByteSwap(uint32_t v) { return __builtin_bswap32(v); }
PLY_INLINE uint64_t ByteSwap(uint64_t v) { return __builtin_bswap64(v); }

// Each value stored on its own: gathering them first would make the copy wait on the stack.
template <class U>
PLY_INLINE void StoreSwapped(char* dst, const char* src) {
  const U v = ByteSwap(Load<U>(src));
  std::memcpy(dst, &v, sizeof v);
}

// One run of bytes of count items, copied when U is one byte, else swapped value by value. kBytes,
// when not 0, is the run's length made known to the compiler.
template <class U, int32_t kBytes>
void MoveRun(char* dst, size_t stride, const char* src, size_t size, int32_t bytes, int64_t count) {
  const int32_t n = kBytes ? kBytes : bytes;
  for (int64_t j = 0; j < count; ++j, dst += stride, src += size) {
    if constexpr (sizeof(U) == 1)
      std::memcpy(dst, src, static_cast<size_t>(n));
    else
      for (int32_t at = 0; at < n; at += static_cast<int32_t>(sizeof(U))) StoreSwapped<U>(dst + at, src + at);
  }
}

// Lengths of common runs: a value, three coordinates, with a confidence, a whole vertex record.
template <class U>
void MoveRuns(char* dst, size_t stride, const char* src, size_t size, int32_t bytes, int64_t count) {
  if (bytes == 4) return MoveRun<U, 4>(dst, stride, src, size, bytes, count);
  if (bytes == 12) return MoveRun<U, 12>(dst, stride, src, size, bytes, count);
  if (bytes == 16) return MoveRun<U, 16>(dst, stride, src, size, bytes, count);
  if (bytes == 20) return MoveRun<U, 20>(dst, stride, src, size, bytes, count);
  MoveRun<U, 0>(dst, stride, src, size, bytes, count);
}

// The fast path for items of fixed size: all the buffered items at once, one loop per step.
bool ReadFixedItems(PlyReader* r, const PlyElementDesc& element, const std::vector<Op>& plan, size_t size,
                    char* records, size_t stride, int64_t count) {
  if (size == 0) return true;
  if (!records) return SkipBytes(r, size * static_cast<uint64_t>(count)) || ShortRead();
  const bool swap = Swapped(r);
  for (int64_t k = 0; k < count;) {
    const int64_t inBuffer = std::min(count - k, static_cast<int64_t>((r->input->end - r->input->begin) / size));
    if (inBuffer == 0) {
      if (!Ensure(r, size)) return ShortRead();
      continue;
    }
    const char* p = r->input->buffer.data() + r->input->begin;
    char* record = records + k * stride;
    for (const Op& op : plan) {
      const char* from = p + op.src;
      char* to = record + op.dst;
      if (op.kind == OpMove && op.width == 1) MoveRuns<uint8_t>(to, stride, from, size, op.bytes, inBuffer);
      if (op.kind == OpMove && op.width == 2) MoveRuns<uint16_t>(to, stride, from, size, op.bytes, inBuffer);
      if (op.kind == OpMove && op.width == 4) MoveRuns<uint32_t>(to, stride, from, size, op.bytes, inBuffer);
      if (op.kind == OpMove && op.width == 8) MoveRuns<uint64_t>(to, stride, from, size, op.bytes, inBuffer);
      const PlyPropertyDesc& prop = element.properties[op.prop];
      for (int64_t j = 0; op.kind == OpConvert && j < inBuffer; ++j)
        if (!StoreValue(to + j * stride, prop.storeType, BinaryValue(from + j * size, prop.fileType, swap)))
          return false;
    }
    r->input->begin += static_cast<size_t>(inBuffer) * size;
    k += inBuffer;
  }
  return true;
}

// count items of element number index, flags null reading past them: the one place that picks a
// fast path or the plain one. Requested lists go to lists.
bool ReadItems(PlyReader* r, int32_t index, const uint8_t* flags, char* records, size_t stride, int64_t count,
               ListSink* lists) {
  const PlyElementDesc& element = r->elements[index];
  std::vector<Op> plan;
  const int32_t size = r->fileKind == Ascii ? -1 : MakePlan(element, flags, Swapped(r), &plan);
  bool ok = true;
  if (size >= 0) {
    ok = ReadFixedItems(r, element, plan, static_cast<size_t>(size), flags ? records : nullptr, stride, count);
  } else {
    for (int64_t k = 0; ok && k < count; ++k) {
      char* record = records ? records + k * stride : nullptr;
      ok = r->fileKind == Ascii ? ReadAsciiItem(r, element, flags, record, lists)
                                : ReadBinaryItem(r, element, flags, record, lists);
    }
  }
  if (!ok) r->input->failed = true;
  return ok;
}

// Reads past what is left of the elements before the current one; then count more items of the
// current one must exist.
bool ReachCurrent(PlyReader* r, int64_t count) {
  if (r->input->failed || r->currentElement < 0) return false;
  while (r->input->dataElement < r->currentElement) {
    const PlyElementDesc& element = r->elements[r->input->dataElement];
    if (!ReadItems(r, r->input->dataElement, nullptr, nullptr, 0, element.itemCount - r->input->itemsDone, nullptr))
      return false;
    ++r->input->dataElement;
    r->input->itemsDone = 0;
  }
  if (r->input->dataElement != r->currentElement) return false;
  return count <= r->elements[r->currentElement].itemCount - r->input->itemsDone;
}

// A line "3 a b c" ending right after c, of one to seven digits each and single spaces, as nearly
// every ASCII face is; reads up to kPlainTriangleChars from p; *next is the following line.
PLY_INLINE bool ScanPlainTriangle(const char* p, int32_t* three, const char** next) {
  if (kHostBigEndian || p[0] != '3' || p[1] != ' ') return false;
  p += 2;
  for (int j = 0; j < 3; ++j) {
    const uint64_t word = Load<uint64_t>(p);
    const int digits = LeadingDigits(word);
    if (digits == 0 || digits == 8) return false;
    three[j] = static_cast<int32_t>(DigitsValue(word, digits));
    p += digits;
    if (j < 2 && *p++ != ' ') return false;
  }
  if (*p == '\r') ++p;
  *next = p + 1;
  return *p == '\n';
}

// The faces fast path: lists of three straight into the caller's records, until the first other
// item. Invariant: it takes only items that the list path reads to the same three indices, in any
// type: binary ones of a one-byte count and four-byte integers, ASCII ones ScanPlainTriangle takes.
int64_t ReadTriangles(PlyReader* r, const PlyPropertyDesc& prop, char* out, size_t stride, int64_t count) {
  PlyInput& in = *r->input;
  int64_t k = 0;
  if (r->fileKind == Ascii) {
    if (!ValidType(prop.countFileType) || !ValidType(prop.fileType)) return 0;
    for (; k < count; ++k, out += stride) {
      if (in.end - in.begin < kPlainTriangleChars && !Ensure(r, kPlainTriangleChars)) break;
      const char* next;
      if (!ScanPlainTriangle(in.buffer.data() + in.begin, reinterpret_cast<int32_t*>(out), &next)) break;
      in.begin = static_cast<size_t>(next - in.buffer.data());
    }
    return k;
  }
  if (prop.countFileType != PlyUchar || (prop.fileType != PlyInt && prop.fileType != PlyUint)) return 0;
  const bool swap = Swapped(r);
  while (k < count && Ensure(r, kTriangleItemBytes)) {
    const char* p = in.buffer.data() + in.begin;
    const int64_t whole = std::min(count - k, static_cast<int64_t>((in.end - in.begin) / kTriangleItemBytes));
    int64_t j = 0;
    if (swap) {
      for (; j < whole && *p == 3; ++j, p += kTriangleItemBytes, out += stride) {
        StoreSwapped<uint32_t>(out, p + 1);
        StoreSwapped<uint32_t>(out + 4, p + 5);
        StoreSwapped<uint32_t>(out + 8, p + 9);
      }
    } else {
      for (; j < whole && *p == 3; ++j, p += kTriangleItemBytes, out += stride) std::memcpy(out, p + 1, 12);
    }
    in.begin = static_cast<size_t>(p - in.buffer.data());
    k += j;
    if (j < whole) break;
  }
  return k;
}

// Smallest number of data bytes an item can take: the scalars and list counts in binary, a type
// the header did not know counted as one byte; one word and a separator per property in ASCII.
uint64_t SmallestItem(const PlyElementDesc& element, PlyFileKind kind) {
  if (kind == Ascii) return element.properties.empty() ? 1 : 2 * element.properties.size();
  uint64_t size = 0;
  for (const PlyPropertyDesc& prop : element.properties)
    size += static_cast<uint64_t>(std::max(1, kTypeSize[prop.isList ? prop.countFileType : prop.fileType]));
  return size;
}

bool CountsFit(const PlyReader* r) {
  const int64_t left = BytesLeft(r);
  if (left < 0) return true;
  // The last ASCII line may end without a line feed.
  uint64_t room = static_cast<uint64_t>(left) + (r->fileKind == Ascii ? 1 : 0);
  for (const PlyElementDesc& element : r->elements) {
    const uint64_t count = static_cast<uint64_t>(element.itemCount);
    const uint64_t size = SmallestItem(element, r->fileKind);
    if (count == 0 || size == 0) continue;
    if (size > room / count) return false;
    room -= size * count;
  }
  return true;
}

std::string TextAfterKeyword(std::string_view line) {
  const size_t k = line.find_first_not_of(" \t", line.find_first_of(" \t", line.find_first_not_of(" \t")));
  std::string text(k == std::string_view::npos ? std::string_view() : line.substr(k));
  std::replace(text.begin(), text.end(), '\t', ' ');
  return text;
}

// A word of decimal digits alone that fits int32, or -1: "1,000" or "abc" must not read as a
// shorter count.
int64_t ParseCount(std::string_view word) {
  int64_t n = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
    if (n > INT32_MAX) return -1;
  }
  return n;
}

// The next header line, copied out of the buffer so that no later read can move it, and split
// into words that point into the copy. Returns 0 at the end of the input, -1 for a line that is
// too long.
int HeaderLine(PlyReader* r, std::string* line, std::vector<std::string_view>* words) {
  const char *b, *e;
  const int got = NextLine(r, kMaxHeaderLine, &b, &e);
  if (got != 1) return got;
  line->assign(b, e);
  line->push_back('\n');
  words->clear();
  const char* cursor = line->data();
  const char *wb, *we;
  while (NextWord(&cursor, &wb, &we)) words->emplace_back(wb, static_cast<size_t>(we - wb));
  line->pop_back();
  return 1;
}

// Every keyword line is checked for its number of words before a word is used.
PlyReader* ReadHeader(FILE* stream) {
  std::unique_ptr<PlyReader> r(new PlyReader);
  r->stream = stream;
  r->input->buffer.resize(kBufferSize);
  struct stat st;
  if (fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode)) {
    const off_t at = ftello(stream);
    if (at >= 0 && st.st_size >= at) r->input->unreadBytes = st.st_size - at;
  }
  std::string line;
  std::vector<std::string_view> words;
  if (HeaderLine(r.get(), &line, &words) != 1 || words.empty() || words[0] != "ply") return nullptr;
  std::unordered_set<std::string> elementNames;
  bool haveFormat = false;
  for (;;) {
    const int got = HeaderLine(r.get(), &line, &words);
    if (got < 0) return nullptr;
    if (got == 0) break;
    if (words.empty()) continue;
    const std::string_view key = words[0];
    if (key == "end_header") break;
    if (key == "format") {
      if (words.size() != 3) return nullptr;
      static const std::string_view kinds[] = {"ascii", "binary_big_endian", "binary_little_endian"};
      const int kind = static_cast<int>(std::find(kinds, kinds + 3, words[1]) - kinds);
      if (kind == 3) return nullptr;
      r->fileKind = static_cast<PlyFileKind>(kind + 1);
      r->version = static_cast<float>(ParseReal(words[2].data(), words[2].data() + words[2].size()));
      haveFormat = true;
    } else if (key == "element") {
      if (words.size() < 3) return nullptr;
      const int64_t count = ParseCount(words[2]);
      if (count < 0 || !elementNames.emplace(words[1]).second) return nullptr;
      r->elements.emplace_back();
      r->elements.back().name = std::string(words[1]);
      r->elements.back().itemCount = static_cast<int32_t>(count);
    } else if (key == "property") {
      if (words.size() < 3 || r->elements.empty()) return nullptr;
      PlyPropertyDesc prop;
      if (words[1] == "list") {
        if (words.size() < 5) return nullptr;
        prop.isList = 1;
        prop.countFileType = TypeFromKeyword(words[2]);
        prop.fileType = TypeFromKeyword(words[3]);
        prop.name = std::string(words[4]);
      } else {
        prop.fileType = TypeFromKeyword(words[1]);
        prop.name = std::string(words[2]);
      }
      r->elements.back().properties.push_back(prop);
    } else if (key == "comment") {
      r->comments.push_back(TextAfterKeyword(line));
    } else if (key == "obj_info") {
      r->objInfo.push_back(TextAfterKeyword(line));
    }
  }
  if (!haveFormat || !CountsFit(r.get())) return nullptr;
  for (PlyElementDesc& element : r->elements) element.storeFlags.assign(element.properties.size(), 0);
  return r.release();
}

}  // namespace

PlyReader* ply_read_header(FILE* stream) {
  if (!stream) return nullptr;
  try {
    return ReadHeader(stream);
  } catch (const std::bad_alloc&) {
    ReportBadAlloc(__LINE__);
    return nullptr;
  }
}

int ply_request_property(PlyReader* reader, int element, int property, const PlyPropertyDesc& request) {
  if (element < 0 || static_cast<size_t>(element) >= reader->elements.size()) return 0;
  reader->currentElement = element;
  PlyElementDesc& desc = reader->elements[element];
  if (property < 0 || static_cast<size_t>(property) >= desc.properties.size()) return 0;
  PlyPropertyDesc& prop = desc.properties[property];
  if ((prop.isList != 0) != (request.isList != 0)) return 0;
  prop.storeType = request.storeType;
  prop.offset = request.offset;
  desc.storeFlags[property] = 1;
  return 1;
}

namespace {

// A failed allocation fails the reader; nothing is thrown to the caller.
template <class Read>
int Guarded(PlyReader* r, int line, Read read) {
  try {
    return read() ? 1 : 0;
  } catch (const std::bad_alloc&) {
    ReportBadAlloc(line);
    r->input->failed = true;
    return 0;
  }
}

// count items of the current element into records or lists, after what is left of the elements
// before it.
int GetItems(PlyReader* r, int line, char* records, size_t stride, int64_t count, ListSink* lists) {
  return Guarded(r, line, [&] {
    if (count < 0 || !ReachCurrent(r, count)) return false;
    const PlyElementDesc& element = r->elements[r->currentElement];
    if (!ReadItems(r, r->currentElement, element.storeFlags.data(), records, stride, count, lists)) return false;
    r->input->itemsDone += count;
    return true;
  });
}

// What the current element's requested properties are: 0 scalars alone (or none), 1 one list
// alone, -1 anything else or no current element.
int Requested(const PlyReader* r) {
  if (r->currentElement < 0) return -1;
  const PlyElementDesc& element = r->elements[r->currentElement];
  int scalars = 0, lists = 0;
  for (size_t p = 0; p < element.properties.size(); ++p)
    if (element.storeFlags[p]) ++(element.properties[p].isList ? lists : scalars);
  return lists == 0 ? 0 : lists == 1 && scalars == 0 ? 1 : -1;
}

}  // namespace

int ply_get_elements(PlyReader* reader, void* records, size_t stride, int64_t count) {
  return Requested(reader) == 0 ? GetItems(reader, __LINE__, static_cast<char*>(records), stride, count, nullptr) : 0;
}

int ply_get_lists(PlyReader* reader, int64_t count, int32_t* counts, const int32_t** items) {
  if (Requested(reader) != 1) return 0;
  ListSink sink{reader, counts};
  if (!GetItems(reader, __LINE__, nullptr, 0, count, &sink)) return 0;
  *items = reader->input->listItems.data();
  return 1;
}

int64_t ply_get_triangles(PlyReader* reader, void* records, size_t stride, int64_t count) {
  const bool oneList = Requested(reader) == 1;
  int64_t done = 0;
  const bool ok = Guarded(reader, __LINE__, [&] {
    if (count < 0 || !ReachCurrent(reader, count)) return false;
    const std::vector<PlyPropertyDesc>& props = reader->elements[reader->currentElement].properties;
    if (props.size() == 1 && oneList)
      done = ReadTriangles(reader, props[0], static_cast<char*>(records), stride, count);
    reader->input->itemsDone += done;
    return true;
  });
  return ok ? done : -1;
}

int ply_skip_element(PlyReader* reader, int element) {
  if (element < 0 || static_cast<size_t>(element) >= reader->elements.size()) return 0;
  reader->currentElement = element;
  return Guarded(reader, __LINE__, [&] {
    if (!ReachCurrent(reader, 0)) return false;
    const int64_t left = reader->elements[element].itemCount - reader->input->itemsDone;
    if (!ReadItems(reader, element, nullptr, nullptr, 0, left, nullptr)) return false;
    reader->input->itemsDone += left;
    return true;
  });
}

int ply_read_end(PlyReader* reader) {
  for (size_t e = static_cast<size_t>(reader->input->dataElement); e < reader->elements.size(); ++e)
    if (!ply_skip_element(reader, static_cast<int>(e))) return 0;
  if (reader->fileKind != Ascii) return 1;
  PlyInput& in = *reader->input;
  do {
    for (; in.begin < in.end; ++in.begin)
      if (!IsSpace(in.buffer[in.begin])) return 0;
  } while (ReadMore(reader));
  return 1;
}

int64_t ply_bytes_left(const PlyReader* reader) { return BytesLeft(reader); }

int ply_type_size(PlyType type) { return type > PlyInvalid && type <= PlyDouble ? kTypeSize[type] : 0; }

void ply_close_reader(PlyReader* reader) {
  if (!reader) return;
  if (reader->stream) std::fclose(reader->stream);
  delete reader;
}
