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

namespace {

static_assert(sizeof(size_t) == sizeof(void*), "list slots hold an offset, then a pointer");

const size_t kBufferSize = 1024 * 1024;
const int kTypeSize[9] = {0, 1, 2, 4, 1, 2, 4, 4, 8};

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
const bool kHostBigEndian = true;
#else
const bool kHostBigEndian = false;
#endif

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
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

// ---- values -------------------------------------------------------------------------------

PLY_INLINE PlyValue SignedValue(int32_t v) {
  PlyValue value;
  value.i = v;
  value.u = static_cast<uint32_t>(v);
  value.d = v;
  return value;
}

PLY_INLINE PlyValue UnsignedValue(uint32_t v) {
  PlyValue value;
  value.i = static_cast<int32_t>(v);
  value.u = v;
  value.d = v;
  return value;
}

// Integer forms are the value truncated toward zero, wrapped to 32 bits (so -2.7 gives the
// unsigned form 0xFFFFFFFE); NaN gives 0 and huge values saturate first.
PLY_INLINE PlyValue RealValue(double d) {
  int64_t t = 0;
  if (d >= 9.2e18)
    t = std::numeric_limits<int64_t>::max();
  else if (d <= -9.2e18)
    t = std::numeric_limits<int64_t>::min();
  else if (d == d)
    t = static_cast<int64_t>(d);
  PlyValue value;
  value.u = static_cast<uint32_t>(static_cast<uint64_t>(t));
  value.i = static_cast<int32_t>(value.u);
  value.d = d;
  return value;
}

PLY_INLINE bool StoreValue(void* place, int type, const PlyValue& value) {
  char* p = static_cast<char*>(place);
  switch (type) {
    case PlyChar: {
      const int8_t v = static_cast<int8_t>(value.i);
      std::memcpy(p, &v, 1);
      return 1;
    }
    case PlyShort: {
      const int16_t v = static_cast<int16_t>(value.i);
      std::memcpy(p, &v, 2);
      return 1;
    }
    case PlyInt:
      std::memcpy(p, &value.i, 4);
      return 1;
    case PlyUchar: {
      const uint8_t v = static_cast<uint8_t>(value.u);
      std::memcpy(p, &v, 1);
      return 1;
    }
    case PlyUshort: {
      const uint16_t v = static_cast<uint16_t>(value.u);
      std::memcpy(p, &v, 2);
      return 1;
    }
    case PlyUint:
      std::memcpy(p, &value.u, 4);
      return 1;
    case PlyFloat: {
      // Beyond the largest float plus half a unit it rounds to infinity; said explicitly because
      // the language leaves that conversion undefined.
      const double limit = (2.0 - std::ldexp(1.0, -24)) * std::ldexp(1.0, 127);
      const double d = value.d;
      float v;
      if (d >= limit)
        v = std::numeric_limits<float>::infinity();
      else if (d <= -limit)
        v = -std::numeric_limits<float>::infinity();
      else
        v = static_cast<float>(d);
      std::memcpy(p, &v, 4);
      return 1;
    }
    case PlyDouble:
      std::memcpy(p, &value.d, 8);
      return 1;
    default:
      Say("store_item: bad type = %d\n", static_cast<int>(type));
      return 0;
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

// Sign and magnitude of the leading decimal integer after any spaces; 0 without digits. The
// magnitude stops growing past 2^40: far enough out to saturate either width, never overflowing.
// *stop is where the digits end.
PLY_INLINE uint64_t ParseMagnitude(const char* p, const char* e, bool* negative, const char** stop = nullptr) {
  while (p < e && IsSpace(*p)) ++p;
  *negative = false;
  if (p < e && (*p == '+' || *p == '-')) *negative = *p++ == '-';
  uint64_t m = 0;
  for (; p < e && *p >= '0' && *p <= '9'; ++p)
    if (m <= (uint64_t{1} << 40)) m = m * 10 + static_cast<uint64_t>(*p - '0');
  if (stop) *stop = p;
  return m;
}

// The integer as the C library's signed conversion reads it; saturates.
PLY_INLINE int32_t SignedFrom(uint64_t magnitude, bool negative) {
  int64_t m = static_cast<int64_t>(magnitude);
  if (negative) m = -m;
  return static_cast<int32_t>(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, m)));
}

// As an unsigned conversion reads it: a minus sign negates modulo 2^32; saturates.
PLY_INLINE uint32_t UnsignedFrom(uint64_t m, bool negative) {
  if (m > UINT32_MAX) return UINT32_MAX;
  return negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(m)) : static_cast<uint32_t>(m);
}

PLY_INLINE int32_t ParseSigned(const char* p, const char* e) {
  bool negative;
  const uint64_t m = ParseMagnitude(p, e, &negative);
  return SignedFrom(m, negative);
}

PLY_INLINE uint32_t ParseUnsigned(const char* p, const char* e) {
  bool negative;
  const uint64_t m = ParseMagnitude(p, e, &negative);
  return UnsignedFrom(m, negative);
}

// The full conversion, independent of the process locale.
double ParseRealSlow(const char* b, const char* e) {
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  std::string word(b, e);
  if (cLocale) return strtod_l(word.c_str(), nullptr, cLocale);
  double d = 0.0;
  const char* p = word.c_str();
  while (IsSpace(*p)) ++p;
  if (*p == '+') ++p;
  std::from_chars(p, word.c_str() + word.size(), d);
  return d;
}

// Plain decimals with at most 19 significant digits and a small exponent are exact in one
// multiplication or division (both operands exact, one rounding). Returns where the number ends,
// or null when it needs the full conversion.
PLY_INLINE const char* ScanDecimal(const char* b, const char* e, double* value) {
  static const double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char* p = b;
  bool negative = false;
  if (p < e && (*p == '-' || *p == '+')) negative = *p++ == '-';
  uint64_t m = 0;
  int digits = 0, exponent = 0;
  bool any = false, exact = true;
  for (; p < e && *p >= '0' && *p <= '9'; ++p) {
    any = true;
    if (m == 0 && *p == '0') continue;
    if (digits < 19) {
      m = m * 10 + static_cast<uint64_t>(*p - '0');
      ++digits;
    } else {
      ++exponent;
      exact = exact && *p == '0';
    }
  }
  if (p < e && *p == '.') {
    for (++p; p < e && *p >= '0' && *p <= '9'; ++p) {
      any = true;
      if (m == 0 && *p == '0') {
        --exponent;
        continue;
      }
      if (digits < 19) {
        m = m * 10 + static_cast<uint64_t>(*p - '0');
        ++digits;
        --exponent;
      } else {
        exact = exact && *p == '0';
      }
    }
  }
  if (!any || !exact || (p < e && (*p == 'x' || *p == 'X'))) return nullptr;
  if (p < e && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    bool expNegative = false;
    if (q < e && (*q == '-' || *q == '+')) expNegative = *q++ == '-';
    if (q < e && *q >= '0' && *q <= '9') {
      int x = 0;
      for (; q < e && *q >= '0' && *q <= '9'; ++q)
        if (x < 100000) x = x * 10 + (*q - '0');
      exponent += expNegative ? -x : x;
      p = q;
    }
  }
  if (m == 0) {
    *value = negative ? -0.0 : 0.0;
    return p;
  }
  if (m > (uint64_t{1} << 53) || exponent < -22 || exponent > 22) return nullptr;
  double d = static_cast<double>(m);
  d = exponent < 0 ? d / kPow10[-exponent] : d * kPow10[exponent];
  *value = negative ? -d : d;
  return p;
}

double ParseReal(const char* b, const char* e) {
  double d;
  return ScanDecimal(b, e, &d) ? d : ParseRealSlow(b, e);
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
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (kHostBigEndian || limit - p < 17) return ScanDecimal(b, e, value);
  const uint64_t whole = Load8(p);
  const int wholeDigits = LeadingDigits(whole);
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

PLY_INLINE bool AsciiValue(const char* b, const char* e, int type, PlyValue* value) {
  switch (type) {
    case PlyChar:
    case PlyShort:
    case PlyInt:
    case PlyUchar:
    case PlyUshort:
      *value = SignedValue(ParseSigned(b, e));
      return true;
    case PlyUint:
      *value = UnsignedValue(ParseUnsigned(b, e));
      return true;
    case PlyFloat:
    case PlyDouble:
      *value = RealValue(ParseReal(b, e));
      return true;
    default:
      Say("get_ascii_item: bad type = %d\n", type);
      return false;
  }
}

// ---- input --------------------------------------------------------------------------------

// Brings more of the stream into the buffer, moving the unconsumed bytes to its front and
// doubling it only when they fill it. False when the stream has nothing more.
bool ReadMore(PlyReader* r) {
  if (r->streamEnded) return false;
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
    buffer = r->buffer.get();
  }
  const size_t got = std::fread(buffer + r->end, 1, r->capacity - r->end, r->stream);
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

// The next line, without its line feed and a carriage return right before it. The text stays
// valid until the reader's input moves on.
bool NextLine(PlyReader* r, const char** lineBegin, const char** lineEnd) {
  size_t scanned = 0;
  for (;;) {
    const char* base = r->buffer.get();
    const char* from = base + r->begin + scanned;
    const char* feed = static_cast<const char*>(std::memchr(from, '\n', r->end - r->begin - scanned));
    if (feed) {
      const char* b = base + r->begin;
      const char* e = feed;
      if (e > b && e[-1] == '\r') --e;
      r->begin = static_cast<size_t>(feed + 1 - base);
      *lineBegin = b;
      *lineEnd = e;
      return true;
    }
    scanned = r->end - r->begin;
    if (!ReadMore(r)) {
      if (r->begin == r->end) return false;
      base = r->buffer.get();
      *lineBegin = base + r->begin;
      *lineEnd = base + r->end;
      r->begin = r->end;
      return true;
    }
  }
}

PLY_INLINE bool NextWord(const char** cursor, const char* e, const char** wordBegin, const char** wordEnd) {
  const char* p = *cursor;
  while (p < e && IsSeparator(*p)) ++p;
  if (p == e) return false;
  *wordBegin = p;
  while (p < e && !IsSeparator(*p)) ++p;
  *wordEnd = p;
  *cursor = p;
  return true;
}

// The next word of the line, converted. A word that is a plain number is converted in the scan
// that finds its end; any other is found first and converted whole, to the same value.
// Characters up to limit may be read (see ScanShortDecimal).
PLY_INLINE bool NextValue(const char** cursor, const char* e, const char* limit, int type, PlyValue* value) {
  const char* p = *cursor;
  while (p < e && IsSeparator(*p)) ++p;
  if (p == e) return false;
  const char* stop = nullptr;
  if (type == PlyFloat || type == PlyDouble) {
    double d;
    stop = ScanShortDecimal(p, e, limit, &d);
    if (stop && (stop == e || IsSeparator(*stop))) {
      *value = RealValue(d);
      *cursor = stop;
      return true;
    }
  } else if (ValidType(type) && ((*p >= '0' && *p <= '9') || *p == '-' || *p == '+')) {
    bool negative = false;
    uint64_t m;
    const char* digits = p + (*p == '-' || *p == '+' ? 1 : 0);
    int count = 8;
    if (!kHostBigEndian && limit - digits >= 8) count = LeadingDigits(Load8(digits));
    if (count < 8) {
      negative = *p == '-';
      m = count ? DigitsValue(Load8(digits), count) : 0;
      stop = digits + count;
    } else {
      m = ParseMagnitude(p, e, &negative, &stop);
    }
    if (stop == e || IsSeparator(*stop)) {
      *value = type == PlyUint ? UnsignedValue(UnsignedFrom(m, negative)) : SignedValue(SignedFrom(m, negative));
      *cursor = stop;
      return true;
    }
  }
  const char* wb = p;
  while (p < e && !IsSeparator(*p)) ++p;
  *cursor = p;
  return AsciiValue(wb, p, type, value);
}

void SplitWords(const char* b, const char* e, std::vector<std::string_view>* words) {
  words->clear();
  const char *wb, *we;
  while (NextWord(&b, e, &wb, &we)) words->emplace_back(wb, static_cast<size_t>(we - wb));
}

// ---- item reading -------------------------------------------------------------------------

// Where list item arrays go: malloc'ed for the caller, or appended to the reader's buffer with
// the slot holding the offset until the end of the call (SIZE_MAX for none).
enum ListMode { ListMalloc, ListInReader };

void ReserveListItems(PlyReader* r, size_t bytes) {
  if (bytes > r->listItems.size()) r->listItems.resize(std::max(bytes, 2 * r->listItems.size()));
}

bool StoreList(PlyReader* r, char* record, const PlyPropertyDesc& prop, ListMode mode, size_t bytes, char** items) {
  if (mode == ListMalloc) {
    void* memory = nullptr;
    if (bytes > 0) {
      memory = std::malloc(bytes);
      if (!memory) {
        ReportBadAlloc(__LINE__);
        return false;
      }
    }
    std::memcpy(record + prop.offset, &memory, sizeof memory);
    *items = static_cast<char*>(memory);
    return true;
  }
  size_t at = SIZE_MAX;
  if (bytes > 0) {
    const size_t align = static_cast<size_t>(kTypeSize[prop.storeType]);
    at = (r->listUsed + align - 1) / align * align;
    ReserveListItems(r, at + bytes);
    r->listUsed = at + bytes;
    *items = r->listItems.data() + at;
  }
  std::memcpy(record + prop.offset, &at, sizeof at);
  return true;
}

void ResolveListSlots(PlyReader* r, const PlyElementDesc& element, char* records, size_t stride, int64_t count) {
  for (size_t p = 0; p < element.properties.size(); ++p) {
    const PlyPropertyDesc& prop = element.properties[p];
    if (!prop.isList || !element.storeFlags[p]) continue;
    for (int64_t k = 0; k < count; ++k) {
      char* slot = records + k * stride + prop.offset;
      size_t at;
      std::memcpy(&at, slot, sizeof at);
      void* items = at == SIZE_MAX ? nullptr : r->listItems.data() + at;
      std::memcpy(slot, &items, sizeof items);
    }
  }
}

bool CopyOrConvert(char* dst, const char* src, int64_t n, const PlyPropertyDesc& prop, bool swap) {
  if (n == 0) return true;
  const int fileSize = kTypeSize[prop.fileType];
  if (prop.storeType == prop.fileType && !swap) {
    if (n > 0) std::memcpy(dst, src, static_cast<size_t>(n) * fileSize);  // an empty list has no array
    return true;
  }
  const int storeSize = ValidType(prop.storeType) ? kTypeSize[prop.storeType] : 0;
  for (int64_t k = 0; k < n; ++k)
    if (!StoreValue(dst + k * storeSize, prop.storeType, BinaryValue(src + k * fileSize, prop.fileType, swap)))
      return false;
  return true;
}

// One step of a binary item. Scalars that need no conversion become plain copies or byte swaps,
// merged with their neighbours; the rest go value by value.
enum OpKind : uint8_t { OpCopy, OpSwap, OpSkip, OpConvert, OpBadType, OpList };

struct Op {
  OpKind kind;
  int32_t width;  // OpSwap: bytes per value
  int32_t src;    // position in the item when all items have one size
  int32_t bytes;  // file bytes consumed
  int32_t dst;
  int32_t prop;
};

struct Plan {
  std::vector<Op> ops;
  bool fixedSize = true;
  int32_t itemSize = 0;
};

Plan MakePlan(const PlyElementDesc& element, const uint8_t* flags, bool swap) {
  Plan plan;
  int32_t src = 0;
  for (size_t p = 0; p < element.properties.size(); ++p) {
    const PlyPropertyDesc& prop = element.properties[p];
    const bool store = flags && flags[p];
    Op op{OpSkip, 0, src, 0, prop.offset, static_cast<int32_t>(p)};
    if (prop.isList) {
      op.kind = OpList;
      plan.fixedSize = false;
    } else if (!ValidType(prop.fileType)) {
      op.kind = OpBadType;
      plan.fixedSize = false;
    } else {
      op.bytes = kTypeSize[prop.fileType];
      if (!store)
        op.kind = OpSkip;
      else if (prop.storeType != prop.fileType)
        op.kind = OpConvert;
      else if (swap && op.bytes > 1)
        op.kind = OpSwap, op.width = op.bytes;
      else
        op.kind = OpCopy;
      src += op.bytes;
    }
    if (!plan.ops.empty()) {
      Op& last = plan.ops.back();
      const bool follows = last.src + last.bytes == op.src;
      if (follows && last.kind == OpSkip && op.kind == OpSkip) {
        last.bytes += op.bytes;
        continue;
      }
      if (follows && last.kind == op.kind && (op.kind == OpCopy || (op.kind == OpSwap && last.width == op.width)) &&
          last.dst + last.bytes == op.dst) {
        last.bytes += op.bytes;
        continue;
      }
    }
    plan.ops.push_back(op);
  }
  plan.itemSize = src;
  return plan;
}

// Each value stored on its own: gathering them first would make the copy wait on the stack.
PLY_INLINE void StoreSwapped32(char* dst, const char* src) {
  const uint32_t v = __builtin_bswap32(Load<uint32_t>(src));
  std::memcpy(dst, &v, 4);
}

PLY_INLINE void SwapValues(char* dst, const char* src, int32_t bytes, int32_t width) {
  if (width == 4) {
    for (int32_t at = 0; at < bytes; at += 4) {
      const uint32_t v = __builtin_bswap32(Load<uint32_t>(src + at));
      std::memcpy(dst + at, &v, 4);
    }
  } else if (width == 2) {
    for (int32_t at = 0; at < bytes; at += 2) {
      const uint16_t v = __builtin_bswap16(Load<uint16_t>(src + at));
      std::memcpy(dst + at, &v, 2);
    }
  } else {
    for (int32_t at = 0; at < bytes; at += 8) {
      const uint64_t v = __builtin_bswap64(Load<uint64_t>(src + at));
      std::memcpy(dst + at, &v, 8);
    }
  }
}

// Scalar step over bytes at p that are known to be there.
PLY_INLINE bool RunScalar(const Op& op, const PlyElementDesc& element, const char* p, char* record, bool swap) {
  switch (op.kind) {
    case OpCopy:
      std::memcpy(record + op.dst, p, static_cast<size_t>(op.bytes));
      return true;
    case OpSwap:
      SwapValues(record + op.dst, p, op.bytes, op.width);
      return true;
    case OpConvert: {
      const PlyPropertyDesc& prop = element.properties[op.prop];
      return StoreValue(record + op.dst, prop.storeType, BinaryValue(p, prop.fileType, swap));
    }
    default:
      return true;
  }
}

bool RunList(PlyReader* r, const PlyElementDesc& element, const Op& op, bool store, char* record, ListMode mode,
             bool swap) {
  const PlyPropertyDesc& prop = element.properties[op.prop];
  PlyValue count;
  if (!get_binary_item(r, prop.countFileType, &count)) return false;
  if (store && !StoreValue(record + prop.countOffset, prop.countStoreType, count)) return false;
  const int64_t n = count.i;
  if (n < 0) return false;
  if (n > 0 && !ValidType(prop.fileType)) {
    Say("get_binary_item: bad type = %d\n", prop.fileType);
    return false;
  }
  const uint64_t bytes = static_cast<uint64_t>(n) * kTypeSize[prop.fileType];
  const int64_t left = BytesLeft(r);
  if (left >= 0 && bytes > static_cast<uint64_t>(left)) return false;
  if (!store) {
    if (SkipBytes(r, bytes)) return true;
    ReportShortRead();
    return false;
  }
  if (n > 0 && !ValidType(prop.storeType)) {
    Say("store_item: bad type = %d\n", prop.storeType);
    return false;
  }
  if (!Ensure(r, bytes)) {
    ReportShortRead();
    return false;
  }
  char* items = nullptr;
  if (!StoreList(r, record, prop, mode, static_cast<size_t>(n) * (n > 0 ? kTypeSize[prop.storeType] : 0), &items))
    return false;
  const bool ok = CopyOrConvert(items, r->buffer.get() + r->begin, n, prop, swap);
  r->begin += bytes;
  return ok;
}

// A list of four-byte items behind a one-byte count whose items are stored as they are.
PLY_INLINE bool IsPlainList(const PlyPropertyDesc& prop) {
  return prop.countFileType == PlyUchar && kTypeSize[prop.fileType] == 4 &&
         (prop.storeType == prop.fileType || (prop.fileType == PlyUint && prop.storeType == PlyInt) ||
          (prop.fileType == PlyInt && prop.storeType == PlyUint));
}

// Lists of four-byte items behind a one-byte count, as faces nearly always are: the count and
// items are taken straight from the buffer.
bool IsPlainFaceList(const PlyElementDesc& element, const uint8_t* flags, const Plan& plan) {
  if (plan.ops.size() != 1 || plan.ops[0].kind != OpList || !flags || !flags[0]) return false;
  const PlyPropertyDesc& prop = element.properties[0];
  return IsPlainList(prop) && prop.countStoreType == PlyInt;
}

bool ReadPlainFaceLists(PlyReader* r, const PlyElementDesc& element, char* records, size_t stride, int64_t count,
                        bool swap) {
  const PlyPropertyDesc& prop = element.properties[0];
  const int32_t countOffset = prop.countOffset, listOffset = prop.offset;
  const size_t kLongest = 1 + 4 * 255;
  int64_t k = 0;
  while (k < count) {
    // The buffered bytes hold at most as many item bytes as they are long.
    const size_t buffered = r->end - r->begin;
    ReserveListItems(r, r->listUsed + buffered);
    const char* const base = r->buffer.get();
    const char* p = base + r->begin;
    const char* const stop = base + r->end;
    char* const itemBase = r->listItems.data();
    char* out = itemBase + r->listUsed;
    char* record = records + k * stride;
    int64_t left = count - k;
    // Every item wholly in the buffer here: no checks per item.
    for (; left > 0 && static_cast<size_t>(stop - p) >= kLongest; --left, record += stride) {
      const uint32_t n = static_cast<unsigned char>(*p);
      std::memcpy(record + countOffset, &n, 4);
      const size_t at = n ? static_cast<size_t>(out - itemBase) : SIZE_MAX;
      std::memcpy(record + listOffset, &at, sizeof at);
      if (swap)
        SwapValues(out, p + 1, static_cast<int32_t>(4 * n), 4);
      else if (n == 3)
        std::memcpy(out, p + 1, 12);
      else
        std::memcpy(out, p + 1, 4 * n);
      out += 4 * n;
      p += 1 + 4 * n;
    }
    r->begin = static_cast<size_t>(p - base);
    r->listUsed = static_cast<size_t>(out - itemBase);
    k = count - left;
    if (k == count) break;
    // Near the end of the buffer: one item the careful way, which brings in more.
    if (!RunList(r, element, Op{OpList, 0, 0, 0, prop.offset, 0}, true, records + k * stride, ListInReader, swap))
      return false;
    ++k;
  }
  return true;
}

template <size_t kBytes>
void CopyFixed(char* dst, size_t stride, const char* src, size_t size, int64_t count) {
  for (int64_t j = 0; j < count; ++j, dst += stride, src += size) std::memcpy(dst, src, kBytes);
}

// Items that are one run of bytes copied as they are, with the run's width known to the compiler
// in the common cases.
void CopyRecords(char* dst, size_t stride, const char* src, size_t size, int32_t bytes, int64_t count) {
  switch (bytes) {
    case 1:
      CopyFixed<1>(dst, stride, src, size, count);
      return;
    case 2:
      CopyFixed<2>(dst, stride, src, size, count);
      return;
    case 3:
      CopyFixed<3>(dst, stride, src, size, count);
      return;
    case 4:
      CopyFixed<4>(dst, stride, src, size, count);
      return;
    case 8:
      CopyFixed<8>(dst, stride, src, size, count);
      return;
    case 12:
      CopyFixed<12>(dst, stride, src, size, count);
      return;
    case 16:
      CopyFixed<16>(dst, stride, src, size, count);
      return;
    case 20:
      CopyFixed<20>(dst, stride, src, size, count);
      return;
    default:
      for (int64_t j = 0; j < count; ++j, dst += stride, src += size) std::memcpy(dst, src, static_cast<size_t>(bytes));
  }
}

// The same for counts and items laid out flat, as faces are read.
void ReadPlainListsFlat(PlyReader* r, int32_t* counts, int64_t count, int64_t* done, bool swap) {
  const size_t kLongest = 1 + 4 * 255;
  int64_t k = *done;
  for (;;) {
    const size_t buffered = r->end - r->begin;
    if (k == count || buffered < kLongest) break;
    ReserveListItems(r, r->listUsed + buffered);
    const char* const base = r->buffer.get();
    const char* p = base + r->begin;
    const char* const stop = base + r->end;
    char* const first = r->listItems.data() + r->listUsed;
    char* out = first;
    for (; k < count && static_cast<size_t>(stop - p) >= kLongest; ++k) {
      const uint32_t n = static_cast<unsigned char>(*p);
      counts[k] = static_cast<int32_t>(n);
      if (n == 3 && swap) {
        StoreSwapped32(out, p + 1);
        StoreSwapped32(out + 4, p + 5);
        StoreSwapped32(out + 8, p + 9);
      } else if (swap) {
        SwapValues(out, p + 1, static_cast<int32_t>(4 * n), 4);
      } else if (n == 3) {
        std::memcpy(out, p + 1, 12);
      } else {
        std::memcpy(out, p + 1, 4 * n);
      }
      out += 4 * n;
      p += 1 + 4 * n;
    }
    r->begin = static_cast<size_t>(p - base);
    r->listUsed += static_cast<size_t>(out - first);
  }
  *done = k;
}

void SwapRecords(char* dst, size_t stride, const char* src, size_t size, int32_t bytes, int32_t width, int64_t count) {
  if (width == 4 && bytes == 16) {
    for (int64_t j = 0; j < count; ++j, dst += stride, src += size) {
      StoreSwapped32(dst, src);
      StoreSwapped32(dst + 4, src + 4);
      StoreSwapped32(dst + 8, src + 8);
      StoreSwapped32(dst + 12, src + 12);
    }
    return;
  }
  for (int64_t j = 0; j < count; ++j, dst += stride, src += size) SwapValues(dst, src, bytes, width);
}

bool ReadBinaryItems(PlyReader* r, const PlyElementDesc& element, const uint8_t* flags, char* records, size_t stride,
                     int64_t count, ListMode mode) {
  const bool swap = (r->fileKind == BinaryBigEndian) != kHostBigEndian;
  const Plan plan = MakePlan(element, flags, swap);
  if (plan.fixedSize) {
    const size_t size = static_cast<size_t>(plan.itemSize);
    if (size == 0) return true;
    if (!flags) {
      if (SkipBytes(r, size * static_cast<uint64_t>(count))) return true;
      ReportShortRead();
      return false;
    }
    int64_t k = 0;
    while (k < count) {
      int64_t inBuffer = static_cast<int64_t>((r->end - r->begin) / size);
      if (inBuffer == 0) {
        if (!Ensure(r, size)) {
          ReportShortRead();
          return false;
        }
        continue;
      }
      inBuffer = std::min(inBuffer, count - k);
      const char* p = r->buffer.get() + r->begin;
      char* record = records + k * stride;
      // Step by step over all the buffered items: each loop does one kind of work.
      for (const Op& op : plan.ops) {
        if (op.kind == OpCopy) {
          CopyRecords(record + op.dst, stride, p + op.src, size, op.bytes, inBuffer);
        } else if (op.kind == OpSwap) {
          SwapRecords(record + op.dst, stride, p + op.src, size, op.bytes, op.width, inBuffer);
        } else if (op.kind == OpConvert) {
          for (int64_t j = 0; j < inBuffer; ++j)
            if (!RunScalar(op, element, p + j * size + op.src, record + j * stride, swap)) return false;
        }
      }
      r->begin += static_cast<size_t>(inBuffer) * size;
      k += inBuffer;
    }
    return true;
  }
  if (mode == ListInReader && IsPlainFaceList(element, flags, plan))
    return ReadPlainFaceLists(r, element, records, stride, count, swap);
  for (int64_t k = 0; k < count; ++k) {
    char* record = records ? records + k * stride : nullptr;
    for (const Op& op : plan.ops) {
      const PlyPropertyDesc& prop = element.properties[op.prop];
      if (op.kind == OpBadType) {
        Say("get_binary_item: bad type = %d\n", prop.fileType);
        return false;
      }
      if (op.kind == OpList) {
        if (!RunList(r, element, op, flags && flags[op.prop], record, mode, swap)) return false;
        continue;
      }
      if (!Ensure(r, static_cast<size_t>(op.bytes))) {
        ReportShortRead();
        return false;
      }
      if (!RunScalar(op, element, r->buffer.get() + r->begin, record, swap)) return false;
      r->begin += static_cast<size_t>(op.bytes);
    }
  }
  return true;
}

// One item per line; each scalar takes a word, each list a count word and then its items.
bool ReadAsciiItems(PlyReader* r, const PlyElementDesc& element, const uint8_t* flags, char* records, size_t stride,
                    int64_t count, ListMode mode) {
  const size_t properties = element.properties.size();
  for (int64_t k = 0; k < count; ++k) {
    const char *line, *e;
    if (!NextLine(r, &line, &e)) {
      Say("ply_get_element: unexpected end of file\n");
      return false;
    }
    char* record = records ? records + k * stride : nullptr;
    const char* cursor = line;
    const char* const limit = r->buffer.get() + r->end;
    const char *wb, *we;
    for (size_t p = 0; p < properties; ++p) {
      const PlyPropertyDesc& prop = element.properties[p];
      const bool store = flags && flags[p];
      PlyValue value;
      if (!prop.isList) {
        if (!store && ValidType(prop.fileType)) {
          if (!NextWord(&cursor, e, &wb, &we)) return false;
          continue;
        }
        if (!NextValue(&cursor, e, limit, prop.fileType, &value)) return false;
        if (store && !StoreValue(record + prop.offset, prop.storeType, value)) return false;
        continue;
      }
      if (!NextValue(&cursor, e, limit, prop.countFileType, &value)) return false;
      if (store && !StoreValue(record + prop.countOffset, prop.countStoreType, value)) return false;
      const int64_t n = value.i;
      if (n < 0 || n > (e - cursor + 1) / 2) return false;
      if (n > 0 && !ValidType(prop.fileType)) {
        Say("get_ascii_item: bad type = %d\n", prop.fileType);
        return false;
      }
      if (!store) {
        for (int64_t j = 0; j < n; ++j)
          if (!NextWord(&cursor, e, &wb, &we)) return false;
        continue;
      }
      if (n > 0 && !ValidType(prop.storeType)) {
        Say("store_item: bad type = %d\n", prop.storeType);
        return false;
      }
      char* items = nullptr;
      const size_t storeSize = n > 0 ? static_cast<size_t>(kTypeSize[prop.storeType]) : 0;
      if (!StoreList(r, record, prop, mode, static_cast<size_t>(n) * storeSize, &items)) return false;
      for (int64_t j = 0; j < n; ++j) {
        if (!NextValue(&cursor, e, limit, prop.fileType, &value) ||
            !StoreValue(items + j * storeSize, prop.storeType, value)) {
          if (mode == ListMalloc) {
            std::free(items);
            std::memset(record + prop.offset, 0, sizeof(void*));
          }
          return false;
        }
      }
    }
  }
  return true;
}

bool ReadItems(PlyReader* r, int32_t index, const uint8_t* flags, char* records, size_t stride, int64_t count,
               ListMode mode) {
  const PlyElementDesc& element = r->elements[index];
  const bool ok = r->fileKind == Ascii ? ReadAsciiItems(r, element, flags, records, stride, count, mode)
                                       : ReadBinaryItems(r, element, flags, records, stride, count, mode);
  if (!ok) r->failed = true;
  return ok;
}

// Reads past what is left of the elements before the current one; then count more items of the
// current one must exist.
bool ReachCurrent(PlyReader* r, int64_t count) {
  if (r->failed || r->currentElement < 0) return false;
  while (r->dataElement < r->currentElement) {
    const PlyElementDesc& element = r->elements[r->dataElement];
    if (!ReadItems(r, r->dataElement, nullptr, nullptr, 0, element.itemCount - r->itemsDone, ListMalloc)) return false;
    ++r->dataElement;
    r->itemsDone = 0;
  }
  if (r->dataElement != r->currentElement) return false;
  return count <= r->elements[r->currentElement].itemCount - r->itemsDone;
}

int FindElement(const PlyReader* r, const char* name) {
  for (size_t k = 0; k < r->elements.size(); ++k)
    if (r->elements[k].name == name) return static_cast<int>(k);
  return -1;
}

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

std::string TextAfterKeyword(const char* b, const char* e) {
  while (b < e && IsSeparator(*b)) ++b;
  while (b < e && !IsSeparator(*b)) ++b;
  while (b < e && IsSeparator(*b)) ++b;
  std::string text(b, e);
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

PlyReader* ReadHeader(FILE* stream, std::vector<std::string>* names) {
  std::unique_ptr<PlyReader> r(new PlyReader);
  r->stream = stream;
  r->capacity = kBufferSize;
  r->buffer.reset(new char[kBufferSize]);
  struct stat st;
  if (fstat(fileno(stream), &st) == 0 && S_ISREG(st.st_mode)) {
    const off_t at = ftello(stream);
    if (at >= 0 && st.st_size >= at) r->unreadBytes = st.st_size - at;
  }
  const char *b, *e;
  std::vector<std::string_view> words;
  if (!NextLine(r.get(), &b, &e)) return nullptr;
  SplitWords(b, e, &words);
  if (words.empty() || words[0] != "ply") return nullptr;
  bool haveFormat = false;
  while (NextLine(r.get(), &b, &e)) {
    SplitWords(b, e, &words);
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
      if (count < 0) return nullptr;
      for (const PlyElementDesc& element : r->elements)
        if (element.name == words[1]) return nullptr;
      r->elements.emplace_back();
      r->elements.back().name = std::string(words[1]);
      r->elements.back().itemCount = static_cast<int32_t>(count);
    } else if (key == "property") {
      if (r->elements.empty()) return nullptr;
      PlyPropertyDesc prop;
      if (words[1] == "list") {
        if (words.size() < 5) return nullptr;
        prop.isList = 1;
        prop.countFileType = TypeFromKeyword(words[2]);
        prop.fileType = TypeFromKeyword(words[3]);
        prop.name = std::string(words[4]);
      } else {
        if (words.size() < 3) return nullptr;
        prop.fileType = TypeFromKeyword(words[1]);
        prop.name = std::string(words[2]);
      }
      r->elements.back().properties.push_back(prop);
    } else if (key == "comment") {
      r->comments.push_back(TextAfterKeyword(b, e));
    } else if (key == "obj_info") {
      r->objInfo.push_back(TextAfterKeyword(b, e));
    }
  }
  if (!haveFormat || !CountsFit(r.get())) return nullptr;
  for (PlyElementDesc& element : r->elements) element.storeFlags.assign(element.properties.size(), 0);
  names->clear();
  for (const PlyElementDesc& element : r->elements) names->push_back(element.name);
  return r.release();
}

}  // namespace

int64_t ply_bytes_left(const PlyReader* reader) { return BytesLeft(reader); }

int ply_type_size(int type) { return ValidType(type) ? kTypeSize[type] : 0; }

PlyReader* ply_read_header(FILE* stream, int* elementCount, std::vector<std::string>* elementNames) {
  if (!stream) return nullptr;
  try {
    std::vector<std::string> names;
    PlyReader* r = ReadHeader(stream, &names);
    if (!r) return nullptr;
    if (elementCount) *elementCount = static_cast<int>(names.size());
    if (elementNames) elementNames->swap(names);
    return r;
  } catch (const std::bad_alloc&) {
    ReportBadAlloc(__LINE__);
    return nullptr;
  }
}

int ply_element_properties(PlyReader* reader, const char* elementName, std::vector<PlyPropertyDesc>* properties,
                           int* itemCount, int* propertyCount) {
  const int index = FindElement(reader, elementName);
  if (index < 0) return 0;
  const PlyElementDesc& element = reader->elements[index];
  try {
    if (properties) *properties = element.properties;
  } catch (const std::bad_alloc&) {
    ReportBadAlloc(__LINE__);
    return 0;
  }
  if (itemCount) *itemCount = element.itemCount;
  if (propertyCount) *propertyCount = static_cast<int>(element.properties.size());
  return 1;
}

int ply_request_property(PlyReader* reader, const char* elementName, const PlyPropertyDesc& request) {
  const int index = FindElement(reader, elementName);
  if (index < 0) return 0;
  reader->currentElement = index;
  PlyElementDesc& element = reader->elements[index];
  for (size_t p = 0; p < element.properties.size(); ++p) {
    PlyPropertyDesc& prop = element.properties[p];
    if (prop.name != request.name) continue;
    if ((prop.isList != 0) != (request.isList != 0)) return 0;
    prop.storeType = request.storeType;
    prop.offset = request.offset;
    prop.countStoreType = request.countStoreType;
    prop.countOffset = request.countOffset;
    element.storeFlags[p] = 1;
    return 1;
  }
  return 0;
}

int ply_get_element(PlyReader* reader, void* record) {
  try {
    if (!ReachCurrent(reader, 1)) return 0;
    const int32_t index = reader->currentElement;
    if (!ReadItems(reader, index, reader->elements[index].storeFlags.data(), static_cast<char*>(record), 0, 1,
                   ListMalloc))
      return 0;
    ++reader->itemsDone;
    return 1;
  } catch (const std::bad_alloc&) {
    ReportBadAlloc(__LINE__);
    reader->failed = true;
    return 0;
  }
}

int ply_get_elements(PlyReader* reader, void* records, size_t stride, int64_t count) {
  if (count <= 0) return count == 0;
  try {
    if (!ReachCurrent(reader, count)) return 0;
    const int32_t index = reader->currentElement;
    const PlyElementDesc& element = reader->elements[index];
    reader->listUsed = 0;
    char* base = static_cast<char*>(records);
    if (!ReadItems(reader, index, element.storeFlags.data(), base, stride, count, ListInReader)) return 0;
    ResolveListSlots(reader, element, base, stride, count);
    reader->itemsDone += count;
    return 1;
  } catch (const std::bad_alloc&) {
    ReportBadAlloc(__LINE__);
    reader->failed = true;
    return 0;
  }
}

int ply_get_lists(PlyReader* reader, int64_t count, int32_t* counts, const void** items) {
  if (count < 0) return 0;
  try {
    if (!ReachCurrent(reader, count)) return 0;
    const int32_t index = reader->currentElement;
    const PlyElementDesc& element = reader->elements[index];
    int list = -1, requested = 0;
    for (size_t p = 0; p < element.properties.size(); ++p)
      if (element.storeFlags[p]) ++requested, list = static_cast<int>(p);
    if (requested != 1 || !element.properties[list].isList) return 0;
    reader->listUsed = 0;
    // Lists read into records of the reader's own: the count, then where the items went.
    PlyElementDesc local = element;
    PlyPropertyDesc& prop = local.properties[list];
    prop.countStoreType = PlyInt;
    prop.countOffset = 0;
    prop.offset = 8;
    struct Record {
      int32_t count;
      int32_t unused;
      size_t at;
    };
    const bool swap = (reader->fileKind == BinaryBigEndian) != kHostBigEndian;
    const bool plain = reader->fileKind != Ascii && element.properties.size() == 1 && IsPlainList(prop);
    Record records[256];
    int64_t k = 0;
    while (k < count) {
      if (plain) {
        ReadPlainListsFlat(reader, counts, count, &k, swap);
        if (k == count) break;
      }
      const int64_t chunk = std::min<int64_t>(plain ? 1 : 256, count - k);
      const bool ok = reader->fileKind == Ascii
                          ? ReadAsciiItems(reader, local, local.storeFlags.data(), reinterpret_cast<char*>(records),
                                           sizeof(Record), chunk, ListInReader)
                          : ReadBinaryItems(reader, local, local.storeFlags.data(), reinterpret_cast<char*>(records),
                                            sizeof(Record), chunk, ListInReader);
      if (!ok) {
        reader->failed = true;
        return 0;
      }
      for (int64_t j = 0; j < chunk; ++j) counts[k + j] = records[j].count;
      k += chunk;
    }
    *items = reader->listItems.data();
    reader->itemsDone += count;
    return 1;
  } catch (const std::bad_alloc&) {
    ReportBadAlloc(__LINE__);
    reader->failed = true;
    return 0;
  }
}

namespace {

// Lines of a list of three values, converted as the list path converts them. Any other line,
// whether another length or a fault, is given back whole for the list path to read or report.
// A line "3 a b c" that ends right after c, with a, b and c of one to seven digits, as
// nearly every face line is: each index is what the list path makes of it (a plain decimal means
// the same in every type). Needs 40 bytes of the buffer; *next is where the following line starts.
PLY_INLINE bool PlainTriple(const char* p, const char* limit, uint32_t* three, const char** next) {
  if (kHostBigEndian || limit - p < 40 || p[0] != '3' || p[1] != ' ') return false;
  p += 2;
  for (int j = 0; j < 3; ++j) {
    const uint64_t word = Load8(p);
    const int digits = LeadingDigits(word);
    if (digits == 0 || digits == 8) return false;
    three[j] = static_cast<uint32_t>(DigitsValue(word, digits));
    p += digits;
    if (j < 2 && *p++ != ' ') return false;
  }
  if (*p == '\n') {
    *next = p + 1;
    return true;
  }
  if (*p == '\r' && p[1] == '\n') {
    *next = p + 2;
    return true;
  }
  return false;
}

int64_t ReadAsciiTriples(PlyReader* r, const PlyPropertyDesc& prop, char* out, size_t stride, int64_t count) {
  int64_t k = 0;
  for (; k < count; ++k, out += stride) {
    uint32_t plain[3];
    const char* next;
    const char* const base = r->buffer.get();
    if (PlainTriple(base + r->begin, base + r->end, plain, &next)) {
      for (int j = 0; j < 3; ++j) StoreValue(out + 4 * j, prop.storeType, SignedValue(static_cast<int32_t>(plain[j])));
      r->begin = static_cast<size_t>(next - base);
      continue;
    }
    const char *line, *e;
    if (!NextLine(r, &line, &e)) break;
    const char* cursor = line;
    const char* const limit = r->buffer.get() + r->end;
    PlyValue value;
    char three[12];
    bool ok = NextValue(&cursor, e, limit, prop.countFileType, &value) && value.i == 3;
    for (int j = 0; ok && j < 3; ++j)
      ok = NextValue(&cursor, e, limit, prop.fileType, &value) && StoreValue(three + 4 * j, prop.storeType, value);
    if (!ok) {
      r->begin = static_cast<size_t>(line - r->buffer.get());
      break;
    }
    std::memcpy(out, three, sizeof three);
  }
  return k;
}

}  // namespace

int ply_get_triples(PlyReader* reader, void* records, size_t stride, int64_t count, int64_t* done) {
  *done = 0;
  if (count < 0) return 0;
  try {
    if (!ReachCurrent(reader, count)) return 0;
    const PlyElementDesc& element = reader->elements[reader->currentElement];
    if (element.properties.size() != 1 || !element.storeFlags[0]) return 1;
    const PlyPropertyDesc& prop = element.properties[0];
    if (reader->fileKind == Ascii) {
      if (prop.isList && ValidType(prop.countFileType) && ValidType(prop.fileType) && ValidType(prop.storeType) &&
          kTypeSize[prop.storeType] == 4)
        *done = ReadAsciiTriples(reader, prop, static_cast<char*>(records), stride, count);
      reader->itemsDone += *done;
      return 1;
    }
    if (!prop.isList || !IsPlainList(prop)) return 1;
    const bool swap = (reader->fileKind == BinaryBigEndian) != kHostBigEndian;
    const size_t kItem = 13;
    char* out = static_cast<char*>(records);
    int64_t k = 0;
    while (k < count) {
      if (reader->end - reader->begin < kItem && !Ensure(reader, kItem)) break;
      const char* const base = reader->buffer.get();
      const char* p = base + reader->begin;
      const int64_t whole = std::min<int64_t>(count - k, static_cast<int64_t>((reader->end - reader->begin) / kItem));
      int64_t j = 0;
      if (swap) {
        for (; j < whole && *p == 3; ++j, p += kItem, out += stride) {
          StoreSwapped32(out, p + 1);
          StoreSwapped32(out + 4, p + 5);
          StoreSwapped32(out + 8, p + 9);
        }
      } else {
        for (; j < whole && *p == 3; ++j, p += kItem, out += stride) std::memcpy(out, p + 1, 12);
      }
      reader->begin = static_cast<size_t>(p - base);
      k += j;
      if (j < whole) break;
    }
    *done = k;
    reader->itemsDone += k;
    return 1;
  } catch (const std::bad_alloc&) {
    ReportBadAlloc(__LINE__);
    reader->failed = true;
    return 0;
  }
}

int ply_skip_element(PlyReader* reader, const char* elementName) {
  const int index = FindElement(reader, elementName);
  if (index < 0) return 0;
  reader->currentElement = index;
  try {
    if (!ReachCurrent(reader, 0)) return 0;
    const int64_t left = reader->elements[index].itemCount - reader->itemsDone;
    if (!ReadItems(reader, index, nullptr, nullptr, 0, left, ListMalloc)) return 0;
    reader->itemsDone += left;
    return 1;
  } catch (const std::bad_alloc&) {
    ReportBadAlloc(__LINE__);
    reader->failed = true;
    return 0;
  }
}

void ply_close_reader(PlyReader* reader) {
  if (!reader) return;
  if (reader->stream) std::fclose(reader->stream);
  delete reader;
}

int get_binary_item(PlyReader* reader, PlyType type, PlyValue* value) {
  if (!ValidType(type)) {
    Say("get_binary_item: bad type = %d\n", static_cast<int>(type));
    return 0;
  }
  const size_t size = static_cast<size_t>(kTypeSize[type]);
  if (!Ensure(reader, size)) {
    ReportShortRead();
    return 0;
  }
  const bool swap = (reader->fileKind == BinaryBigEndian) != kHostBigEndian;
  *value = BinaryValue(reader->buffer.get() + reader->begin, type, swap);
  reader->begin += size;
  return 1;
}

int get_ascii_item(const char* word, PlyType type, PlyValue* value) {
  return AsciiValue(word, word + std::strlen(word), type, value) ? 1 : 0;
}

int store_item(void* place, PlyType type, const PlyValue& value) { return StoreValue(place, type, value) ? 1 : 0; }
