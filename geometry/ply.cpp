#include "geometry/ply.h"

#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <unordered_set>

#include "geometry/LoadBudget.h"

// How the data is read. Input comes through one buffer per reader (ReadMore); every element is
// read by one of two walkers, one per encoding, which store requested scalars into the caller's
// records, hand a requested list to a ListSink as int32 counts and items, and read past the rest:
// - ReadBinaryItem: one binary item, property by property, value by value.
// - ReadAsciiItem: one line, word by word (NextValue). Every buffered line ends in a line feed
//   (FindWholeLines adds one to a last line without), so no scan needs the line's end first.
// Three fast paths sit in front of them; each is checked against the plain path by a test:
// - Items of fixed size (no lists, all types known) are read a buffer at a time, one loop per
//   merged run of copied, swapped or converted bytes (ReadFixedItems). Invariant: the plan covers
//   exactly the item's bytes, so the buffer steps by whole items. Guarded by
//   PlyItems.ScalarsReadInBulkAsValueByValue and ReadPly.AsciiAndBothBinaryOrdersGiveTheSameMesh.
// - Binary faces of three four-byte indices behind a one-byte count are copied straight from the
//   buffer (ReadBinaryLists) for as long as whole 13-byte items of count 3 are buffered; any other
//   item goes to ReadBinaryItem. Guarded by PlyItems.BinaryTrianglesAndPolygonsReadAsTheListPathReads.
// - ASCII numbers of fewer than eight digits either side of the point are converted eight
//   characters at a time (ScanShortDecimal, ScanShortInteger); a word they do not take whole goes
//   to the plain conversion. Invariant: they accept a word only when a separator or the line end
//   follows its digits, and read at most to the buffer's end. Other decimals go to from_chars,
//   and what it does not read as the C library does (spaces, a plus sign, hexadecimal, out of
//   range) to the C library. Guarded by PlyItems.WordsInLinesConvertAsTheWordsAlone,
//   PlyItems.AsciiListItemsConvertAsTheWordsAlone and PlyItems.DecimalsReadAsTheFullConversion.
// Bounds: a header line may not pass kMaxHeaderLine; an element count must fit the bytes left;
// a list must fit the bytes left (binary) or the whole lines buffered (ASCII); the buffer grows
// only to hold one line or one list. Elements and properties are taken by index, never by a
// search, so a header costs time linear in its size.

namespace {

const size_t kBufferSize = 1024 * 1024;     // first size of a reader's buffer
const size_t kMaxHeaderLine = 1024 * 1024;  // a keyword and a few words, or a comment
const int kTypeSize[9] = {0, 1, 2, 4, 1, 2, 4, 4, 8};
const size_t kTriangleItemBytes = 13;  // a one-byte count of 3 and three four-byte indices
const int kTriangleCorners = 3;
const size_t kTriangleIndexBytes = 12;
const size_t kLoadAhead = 17;  // bytes ScanShortDecimal may read from the first digit of a word
// The largest float plus half a unit: from here on a double rounds to infinity, said explicitly
// because the language leaves that conversion undefined.
const double kFloatOverflow = 0x1.ffffffp127;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
const bool kHostBigEndian = true;
#else
const bool kHostBigEndian = false;
#endif

void Say(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  LoadBudget::Say(line);
}

void ReportBadAlloc(int line) { Say("Memory allocation bombed on line %d in %s\n", line, __FILE__); }

void ReportShortRead() { Say("can't read in get_binary_item\n"); }

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

// ---- values -------------------------------------------------------------------------------

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
  switch (type) {
    case PlyChar:
      return Put(p, static_cast<int8_t>(value.i));
    case PlyShort:
      return Put(p, static_cast<int16_t>(value.i));
    case PlyInt:
      return Put(p, value.i);
    case PlyUchar:
      return Put(p, static_cast<uint8_t>(value.u));
    case PlyUshort:
      return Put(p, static_cast<uint16_t>(value.u));
    case PlyUint:
      return Put(p, value.u);
    case PlyFloat:
      return Put(p, value.d >= kFloatOverflow ? inf : value.d <= -kFloatOverflow ? -inf : static_cast<float>(value.d));
    case PlyDouble:
      return Put(p, value.d);
    default:
      return KnownType(type, "store_item");
  }
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
  switch (type) {
    case PlyChar:
      return SignedValue(Load<int8_t>(r));
    case PlyShort:
      return SignedValue(Load<int16_t>(r));
    case PlyInt:
      return SignedValue(Load<int32_t>(r));
    case PlyUchar:
      return UnsignedValue(Load<uint8_t>(r));
    case PlyUshort:
      return UnsignedValue(Load<uint16_t>(r));
    case PlyUint:
      return UnsignedValue(Load<uint32_t>(r));
    case PlyFloat:
      return RealValue(Load<float>(r));
    default:
      return RealValue(Load<double>(r));
  }
}

PLY_INLINE bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The leading decimal integer after any spaces, as the C library's conversions read it: signed
// types saturate to int32; uint saturates to 32 bits and a minus sign negates modulo 2^32. The
// magnitude stops growing past 2^40, far enough out to saturate either width.
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

PLY_INLINE uint64_t Load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

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

// ScanDecimal for a number with fewer than eight digits before and after its point, neither
// followed by an exponent: what most files hold. Characters up to limit may be read; the line
// ends at e in a line feed, a carriage return or the end of the data, none of them digits.
PLY_INLINE const char* ScanShortDecimal(const char* b, const char* e, const char* limit, double* value) {
  static const uint64_t kTens[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
  static const double kPow10[8] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
  const char* p = b;
  if (kHostBigEndian || limit - p <= static_cast<ptrdiff_t>(kLoadAhead)) return ScanDecimal(b, e, value);
  // As in ScanShortInteger, a sign is looked for only when no digit comes first.
  uint64_t whole = Load8(p);
  int wholeDigits = LeadingDigits(whole);
  if (wholeDigits == 0 && (*p == '-' || *p == '+')) {
    whole = Load8(++p);
    wholeDigits = LeadingDigits(whole);
  }
  const bool negative = *b == '-';
  if (wholeDigits == 8) return ScanDecimal(b, e, value);
  uint64_t m = wholeDigits ? DigitsValue(whole, wholeDigits) : 0;
  p += wholeDigits;
  int fractionDigits = 0;
  if (p < e && *p == '.') {
    const uint64_t fraction = Load8(++p);
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
  switch (type) {
    case PlyChar:
    case PlyShort:
    case PlyInt:
    case PlyUchar:
    case PlyUshort:
    case PlyUint:
      *value = ParseInteger(b, e, type == PlyUint);
      return true;
    case PlyFloat:
    case PlyDouble:
      *value = RealValue(ParseReal(b, e));
      return true;
    default:
      return KnownType(type, "get_ascii_item");
  }
}

// ---- input --------------------------------------------------------------------------------

// Moves the unconsumed bytes to the front of the buffer, doubling it only when they fill it.
void MakeRoom(PlyReader* r) {
  r->wholeLines = 0;
  char* buffer = r->buffer.get();
  if (r->begin > 0) {
    std::memmove(buffer, buffer + r->begin, r->end - r->begin);
    r->end -= r->begin;
    r->begin = 0;
  }
  if (r->end == r->capacity) {
    const size_t capacity = r->capacity * 2;
    std::unique_ptr<char[]> bigger(new char[capacity]);
    std::memcpy(bigger.get(), buffer, r->end);
    r->buffer = std::move(bigger);
    r->capacity = capacity;
  }
}

// Brings more of the stream into the buffer. False when the stream has nothing more.
bool ReadMore(PlyReader* r) {
  if (r->streamEnded) return false;
  MakeRoom(r);
  const size_t got = std::fread(r->buffer.get() + r->end, 1, r->capacity - r->end, r->stream);
  if (got == 0) {
    r->streamEnded = true;
    return false;
  }
  r->end += got;
  if (r->unreadBytes >= 0) r->unreadBytes = std::max<int64_t>(0, r->unreadBytes - static_cast<int64_t>(got));
  return true;
}

bool Ensure(PlyReader* r, size_t bytes) {
  while (r->end - r->begin < bytes)
    if (!ReadMore(r)) return false;
  return true;
}

int64_t BytesLeft(const PlyReader* r) {
  return r->unreadBytes < 0 ? -1 : static_cast<int64_t>(r->end - r->begin) + r->unreadBytes;
}

bool SkipBytes(PlyReader* r, uint64_t bytes) {
  for (;;) {
    const size_t have = r->end - r->begin;
    if (have >= bytes) {
      r->begin += bytes;
      return true;
    }
    bytes -= have;
    r->begin = r->end;
    if (!ReadMore(r)) return false;
  }
}

// The next line, without its line feed and a carriage return right before it; the last line may
// lack its line feed. Returns 0 at the end of the input and -1 when the line grows past maxLength.
// The text stays valid until the reader's input moves on.
int NextLine(PlyReader* r, size_t maxLength, const char** lineBegin, const char** lineEnd) {
  size_t scanned = 0;
  for (;;) {
    const char* from = r->buffer.get() + r->begin;
    const size_t have = r->end - r->begin;
    const char* feed = static_cast<const char*>(std::memchr(from + scanned, '\n', have - scanned));
    const size_t length = feed ? static_cast<size_t>(feed - from) : have;
    if (length > maxLength) return -1;
    if (feed) {
      r->begin += length + 1;
    } else {
      scanned = have;
      if (ReadMore(r)) continue;
      if (have == 0) return 0;
      from = r->buffer.get() + r->begin;
      r->begin = r->end;
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

// An integer word at p of fewer than eight digits, read eight characters at a time: its value
// modulo 2^32 (no saturation is needed), which is both integer forms. Null for any other word.
// A sign is looked for only when no digit comes first, so that unsigned words, nearly all, do not
// wait for a character to be compared before their digits are loaded.
PLY_INLINE const char* ScanShortInteger(const char* p, const char* limit, uint32_t* value) {
  if (kHostBigEndian || limit - p < 9) return nullptr;
  const char* digits = p;
  uint64_t word = Load8(digits);
  int count = LeadingDigits(word);
  if (count == 0) {
    if (*p != '-' && *p != '+') return nullptr;
    word = Load8(++digits);
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

// ---- items --------------------------------------------------------------------------------

// Where the values of a requested list go: one count per item and the items one after another,
// as int32, in the reader's listItems.
struct ListSink {
  PlyReader* r;
  int32_t* counts;
  int64_t item = 0;
  size_t used = 0;

  int32_t* Add(int64_t n) {
    counts[item++] = static_cast<int32_t>(n);
    Reserve(static_cast<size_t>(n));
    int32_t* items = r->listItems.data() + used;
    used += static_cast<size_t>(n);
    return items;
  }
  void Reserve(size_t n) {
    if (used + n <= r->listItems.size()) return;
    const size_t size = std::max(used + n, 2 * r->listItems.size());
    if (!LoadBudget::Grow(static_cast<int64_t>((size - r->listItems.size()) * sizeof(int32_t)))) throw std::bad_alloc();
    r->listItems.resize(size);
  }
};

// n binary values of type at p, each as its signed integer form.
void StoreIndices(int32_t* items, const char* p, int64_t n, PlyType type, bool swap) {
  if (n == 0) return;  // items may be null then
  if ((type == PlyInt || type == PlyUint) && !swap) {
    std::memcpy(items, p, static_cast<size_t>(n) * 4);
    return;
  }
  const int size = kTypeSize[type];
  for (int64_t j = 0; j < n; ++j) items[j] = BinaryValue(p + j * size, type, swap).i;
}

bool ReadBinaryValue(PlyReader* r, PlyType type, PlyValue* value) {
  if (!KnownType(type, "get_binary_item")) return false;
  const size_t size = static_cast<size_t>(kTypeSize[type]);
  if (!Ensure(r, size)) {
    ReportShortRead();
    return false;
  }
  *value = BinaryValue(r->buffer.get() + r->begin, type, Swapped(r));
  r->begin += size;
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
    if (n < 0) return false;
    if (n > 0 && !KnownType(prop.fileType, "get_binary_item")) return false;
    const uint64_t bytes = static_cast<uint64_t>(n) * kTypeSize[prop.fileType];
    const int64_t left = BytesLeft(r);
    if (left >= 0 && bytes > static_cast<uint64_t>(left)) return false;
    if (!(store ? Ensure(r, bytes) : SkipBytes(r, bytes))) {
      ReportShortRead();
      return false;
    }
    if (!store) continue;
    StoreIndices(lists->Add(n), r->buffer.get() + r->begin, n, prop.fileType, swap);
    r->begin += bytes;
  }
  return true;
}

// Makes sure that a whole line starts at begin: wholeLines is then past the last buffered line
// feed. A last line without one gets one. False at the end of the input.
bool FindWholeLines(PlyReader* r) {
  size_t scanned = 0;
  for (;;) {
    const char* from = r->buffer.get() + r->begin;
    const size_t have = r->end - r->begin;
    const char* feed = static_cast<const char*>(memrchr(from + scanned, '\n', have - scanned));
    if (feed) {
      r->wholeLines = static_cast<size_t>(feed + 1 - r->buffer.get());
      return true;
    }
    scanned = have;
    if (ReadMore(r)) continue;
    if (have == 0) return false;
    MakeRoom(r);
    r->buffer[r->end++] = '\n';
    r->wholeLines = r->end;
    return true;
  }
}

// The plain ASCII path: one item is one line; each scalar takes a word, each list a count word
// and then its items. Words left over are ignored.
PLY_INLINE bool ReadAsciiItem(PlyReader* r, const PlyElementDesc& element, const uint8_t* flags, char* record,
                              ListSink* lists) {
  if (r->begin >= r->wholeLines && !FindWholeLines(r)) {
    Say("ply_get_element: unexpected end of file\n");
    return false;
  }
  const char* const base = r->buffer.get();
  const char* const limit = base + r->end;
  const char* const linesEnd = base + r->wholeLines;
  const char* cursor = base + r->begin;
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
    if (n < 0 || n > (linesEnd - cursor) / 2) return false;
    if (n > 0 && !KnownType(prop.fileType, "get_ascii_item")) return false;
    if (!store) {
      for (int64_t j = 0; j < n; ++j)
        if (!NextWord(&cursor, &wb, &we)) return false;
      continue;
    }
    int32_t* items = lists->Add(n);
    for (int64_t j = 0; j < n; ++j) {
      if (!NextValue(&cursor, limit, prop.fileType, &value)) return false;
      items[j] = value.i;
    }
  }
  if (*cursor != '\n') cursor = static_cast<const char*>(std::memchr(cursor, '\n', linesEnd - cursor));
  r->begin = static_cast<size_t>(cursor + 1 - base);
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
  switch (bytes) {
    case 4:
      return MoveRun<U, 4>(dst, stride, src, size, bytes, count);
    case 12:
      return MoveRun<U, 12>(dst, stride, src, size, bytes, count);
    case 16:
      return MoveRun<U, 16>(dst, stride, src, size, bytes, count);
    case 20:
      return MoveRun<U, 20>(dst, stride, src, size, bytes, count);
    default:
      return MoveRun<U, 0>(dst, stride, src, size, bytes, count);
  }
}

// The fast path for items of fixed size: all the buffered items at once, one loop per step.
bool ReadFixedItems(PlyReader* r, const PlyElementDesc& element, const std::vector<Op>& plan, size_t size,
                    char* records, size_t stride, int64_t count) {
  if (size == 0) return true;
  if (!records) {
    if (SkipBytes(r, size * static_cast<uint64_t>(count))) return true;
    ReportShortRead();
    return false;
  }
  const bool swap = Swapped(r);
  for (int64_t k = 0; k < count;) {
    const int64_t inBuffer = std::min(count - k, static_cast<int64_t>((r->end - r->begin) / size));
    if (inBuffer == 0) {
      if (Ensure(r, size)) continue;
      ReportShortRead();
      return false;
    }
    const char* p = r->buffer.get() + r->begin;
    char* record = records + k * stride;
    for (const Op& op : plan) {
      const char* from = p + op.src;
      char* to = record + op.dst;
      if (op.kind == OpMove && op.width == 1) {
        MoveRuns<uint8_t>(to, stride, from, size, op.bytes, inBuffer);
      } else if (op.kind == OpMove && op.width == 2) {
        MoveRuns<uint16_t>(to, stride, from, size, op.bytes, inBuffer);
      } else if (op.kind == OpMove && op.width == 4) {
        MoveRuns<uint32_t>(to, stride, from, size, op.bytes, inBuffer);
      } else if (op.kind == OpMove) {
        MoveRuns<uint64_t>(to, stride, from, size, op.bytes, inBuffer);
      } else if (op.kind == OpConvert) {
        const PlyPropertyDesc& prop = element.properties[op.prop];
        for (int64_t j = 0; j < inBuffer; ++j)
          if (!StoreValue(to + j * stride, prop.storeType, BinaryValue(from + j * size, prop.fileType, swap)))
            return false;
      }
    }
    r->begin += static_cast<size_t>(inBuffer) * size;
    k += inBuffer;
  }
  return true;
}

// count items of element number index; flags null reads past them.
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
  if (!ok) r->failed = true;
  return ok;
}

// Reads past what is left of the elements before the current one; then count more items of the
// current one must exist.
bool ReachCurrent(PlyReader* r, int64_t count) {
  if (r->failed || r->currentElement < 0) return false;
  while (r->dataElement < r->currentElement) {
    const PlyElementDesc& element = r->elements[r->dataElement];
    if (!ReadItems(r, r->dataElement, nullptr, nullptr, 0, element.itemCount - r->itemsDone, nullptr)) return false;
    ++r->dataElement;
    r->itemsDone = 0;
  }
  if (r->dataElement != r->currentElement) return false;
  return count <= r->elements[r->currentElement].itemCount - r->itemsDone;
}

// Faces: triangles of four-byte indices straight from the buffer while whole ones are there;
// anything else, and the refill of the buffer, through the plain path.
bool ReadBinaryLists(PlyReader* r, const PlyElementDesc& element, ListSink* lists, int64_t count) {
  const std::vector<PlyPropertyDesc>& props = element.properties;
  const bool triangles = props.size() == 1 && props[0].countFileType == PlyUchar &&
                         (props[0].fileType == PlyInt || props[0].fileType == PlyUint);
  const bool swap = Swapped(r);
  while (lists->item < count) {
    if (triangles) {
      const int64_t whole =
          std::min(count - lists->item, static_cast<int64_t>((r->end - r->begin) / kTriangleItemBytes));
      lists->Reserve(static_cast<size_t>(whole) * kTriangleCorners);
      const char* p = r->buffer.get() + r->begin;
      int32_t* counts = lists->counts + lists->item;
      char* out = reinterpret_cast<char*>(r->listItems.data() + lists->used);
      int64_t j = 0;
      for (; j < whole && *p == kTriangleCorners; ++j, p += kTriangleItemBytes, out += kTriangleIndexBytes) {
        counts[j] = kTriangleCorners;
        if (swap) {
          StoreSwapped<uint32_t>(out, p + 1);
          StoreSwapped<uint32_t>(out + 4, p + 5);
          StoreSwapped<uint32_t>(out + 8, p + 9);
        } else {
          std::memcpy(out, p + 1, kTriangleIndexBytes);
        }
      }
      r->begin = static_cast<size_t>(p - r->buffer.get());
      lists->item += j;
      lists->used += static_cast<size_t>(j) * kTriangleCorners;
      if (lists->item == count) break;
    }
    if (!ReadBinaryItem(r, element, element.storeFlags.data(), nullptr, lists)) return false;
  }
  return true;
}

// ---- header -------------------------------------------------------------------------------

// Smallest number of data bytes an item can take: the scalars and list counts in binary, one
// word and a separator per property in ASCII.
uint64_t SmallestItem(const PlyElementDesc& element, PlyFileKind kind) {
  if (kind == Ascii) return element.properties.empty() ? 1 : 2 * element.properties.size();
  uint64_t size = 0;
  for (const PlyPropertyDesc& prop : element.properties)
    size += static_cast<uint64_t>(kTypeSize[prop.isList ? prop.countFileType : prop.fileType]);
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
  size_t k = 0;
  while (k < line.size() && IsSeparator(line[k])) ++k;
  while (k < line.size() && !IsSeparator(line[k])) ++k;
  while (k < line.size() && IsSeparator(line[k])) ++k;
  std::string text(line.substr(k));
  std::replace(text.begin(), text.end(), '\t', ' ');
  return text;
}

// Leading decimal integer, or -1 when the text is not a count (negative or over 32 bits).
int64_t ParseCount(std::string_view word) {
  size_t k = 0;
  bool negative = false;
  if (k < word.size() && (word[k] == '+' || word[k] == '-')) negative = word[k++] == '-';
  int64_t n = 0;
  for (; k < word.size() && word[k] >= '0' && word[k] <= '9'; ++k) {
    n = n * 10 + (word[k] - '0');
    if (n > INT32_MAX) return -1;
  }
  return negative && n > 0 ? -1 : n;
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
  r->capacity = kBufferSize;
  r->buffer.reset(new char[kBufferSize]);
  struct stat st;
  if (fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode)) {
    const off_t at = ftello(stream);
    if (at >= 0 && st.st_size >= at) r->unreadBytes = st.st_size - at;
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
      if (words[1] == "ascii")
        r->fileKind = Ascii;
      else if (words[1] == "binary_big_endian")
        r->fileKind = BinaryBigEndian;
      else if (words[1] == "binary_little_endian")
        r->fileKind = BinaryLittleEndian;
      else
        return nullptr;
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

PlyReader* ply_read_header(FILE* stream, int* elementCount, std::vector<std::string>* elementNames) {
  if (!stream) return nullptr;
  try {
    std::unique_ptr<PlyReader> r(ReadHeader(stream));
    if (!r) return nullptr;
    if (elementNames) {
      elementNames->clear();
      for (const PlyElementDesc& element : r->elements) elementNames->push_back(element.name);
    }
    if (elementCount) *elementCount = static_cast<int>(r->elements.size());
    return r.release();
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
    r->failed = true;
    return 0;
  }
}

}  // namespace

int ply_get_elements(PlyReader* reader, void* records, size_t stride, int64_t count) {
  return Guarded(reader, __LINE__, [&] {
    if (count < 0 || !ReachCurrent(reader, count)) return false;
    const int32_t index = reader->currentElement;
    const PlyElementDesc& element = reader->elements[index];
    for (size_t p = 0; p < element.properties.size(); ++p)
      if (element.storeFlags[p] && element.properties[p].isList) return false;
    if (!ReadItems(reader, index, element.storeFlags.data(), static_cast<char*>(records), stride, count, nullptr))
      return false;
    reader->itemsDone += count;
    return true;
  });
}

int ply_get_lists(PlyReader* reader, int64_t count, int32_t* counts, const int32_t** items) {
  return Guarded(reader, __LINE__, [&] {
    if (count < 0 || !ReachCurrent(reader, count)) return false;
    const PlyElementDesc& element = reader->elements[reader->currentElement];
    int requested = 0, list = -1;
    for (size_t p = 0; p < element.properties.size(); ++p)
      if (element.storeFlags[p]) ++requested, list = static_cast<int>(p);
    if (requested != 1 || !element.properties[list].isList) return false;
    ListSink lists{reader, counts};
    bool ok = true;
    if (reader->fileKind == Ascii) {
      for (int64_t k = 0; ok && k < count; ++k)
        ok = ReadAsciiItem(reader, element, element.storeFlags.data(), nullptr, &lists);
    } else {
      ok = ReadBinaryLists(reader, element, &lists, count);
    }
    if (!ok) {
      reader->failed = true;
      return false;
    }
    *items = reader->listItems.data();
    reader->itemsDone += count;
    return true;
  });
}

int ply_skip_element(PlyReader* reader, int element) {
  if (element < 0 || static_cast<size_t>(element) >= reader->elements.size()) return 0;
  reader->currentElement = element;
  return Guarded(reader, __LINE__, [&] {
    if (!ReachCurrent(reader, 0)) return false;
    const int64_t left = reader->elements[element].itemCount - reader->itemsDone;
    if (!ReadItems(reader, element, nullptr, nullptr, 0, left, nullptr)) return false;
    reader->itemsDone += left;
    return true;
  });
}

int64_t ply_bytes_left(const PlyReader* reader) { return BytesLeft(reader); }

void ply_close_reader(PlyReader* reader) {
  if (!reader) return;
  if (reader->stream) std::fclose(reader->stream);
  delete reader;
}
