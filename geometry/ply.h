#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Reader for PLY files: ASCII and binary of either byte order. The caller lays out its own item
// records and says, per property, where and in which type each value goes. Nothing here ends the
// process: every failure prints at most one line on standard error and makes the call return 0.

enum PlyType : int32_t {
  PlyInvalid = 0,  // any type keyword not recognised
  PlyChar = 1,
  PlyShort = 2,
  PlyInt = 3,
  PlyUchar = 4,
  PlyUshort = 5,
  PlyUint = 6,
  PlyFloat = 7,
  PlyDouble = 8
};

enum PlyFileKind : int32_t { Ascii = 1, BinaryBigEndian = 2, BinaryLittleEndian = 3 };

struct PlyPropertyDesc {
  std::string name;
  PlyType fileType = PlyInvalid;   // of the value, or of each list item
  PlyType storeType = PlyInvalid;  // in the caller's record
  int32_t offset = 0;              // of the value, or of the pointer to a list's items
  int32_t isList = 0;
  PlyType countFileType = PlyInvalid;
  PlyType countStoreType = PlyInvalid;
  int32_t countOffset = 0;
};

struct PlyElementDesc {
  std::string name;
  int32_t itemCount = 0;
  std::vector<PlyPropertyDesc> properties;
  std::vector<uint8_t> storeFlags;  // 1 for each requested property
};

// One value in the three forms it travels in between the file and the caller's record.
struct PlyValue {
  int32_t i = 0;
  uint32_t u = 0;
  double d = 0.0;
};

struct PlyReader {
  FILE* stream = nullptr;
  PlyFileKind fileKind = Ascii;
  float version = 0.0f;
  std::vector<PlyElementDesc> elements;
  std::vector<std::string> comments;
  std::vector<std::string> objInfo;
  int32_t currentElement = -1;  // index into elements; -1 before any request

  // Bytes [begin, end) of buffer came from the stream and are not consumed yet. The buffer stays
  // small unless a single line or list needs more.
  std::unique_ptr<char[]> buffer;
  size_t capacity = 0;
  size_t begin = 0;
  size_t end = 0;
  bool streamEnded = false;
  int64_t unreadBytes = -1;  // bytes left in the stream beyond the buffer; -1 when unknown

  // The data is consumed strictly in header order: element dataElement, of which itemsDone
  // items are behind us.
  int32_t dataElement = 0;
  int64_t itemsDone = 0;
  bool failed = false;  // a data failure is final

  std::vector<char> listItems;  // item arrays of ply_get_elements, reused by each call
  size_t listUsed = 0;          // bytes of listItems taken in the current call
};

// Parses the header. Returns null when it is not acceptable (the caller still owns and closes the
// stream then); else the reader owns the stream. elementNames receives the names in header order.
PlyReader* ply_read_header(FILE* stream, int* elementCount, std::vector<std::string>* elementNames);

// Copies of the named element's property descriptions. Returns 0, leaving the counts alone, when
// there is no such element.
int ply_element_properties(PlyReader* reader, const char* elementName, std::vector<PlyPropertyDesc>* properties,
                           int* itemCount, int* propertyCount);

// Takes storeType, offset, countStoreType and countOffset from request for the element's property
// of the same name and marks it wanted. Returns 0 when there is no such property or when the
// request's isList disagrees with the file. The named element becomes current whenever it exists.
int ply_request_property(PlyReader* reader, const char* elementName, const PlyPropertyDesc& request);

// Reads the next item of the current element into record. Lists get a malloc'ed array (null for
// no items) that the caller frees. Elements before the current one that are still unread are
// read past first. Returns 0 on any failure.
int ply_get_element(PlyReader* reader, void* record);

// Reads count items into records spaced stride bytes apart. List item arrays live in the
// reader and are valid until its next call; the caller frees nothing.
int ply_get_elements(PlyReader* reader, void* records, size_t stride, int64_t count);

// Reads count items of the current element whose one requested property is a list: item k's
// count goes to counts[k] and all the items, in the list's storeType, one after another to
// *items, an array of the reader valid until its next call. Returns 0 unless exactly one
// property, a list, is requested.
int ply_get_lists(PlyReader* reader, int64_t count, int32_t* counts, const void** items);

// Reads items of the current element whose one requested property is a list, as faces are, for
// as long as each list has three values: item k's three go, in the list's storeType, to
// records + k * stride. Binary lists must be four-byte values behind a one-byte count, as faces
// nearly always are; ASCII lists may be of any types but must be stored in four bytes. Stops
// before a list of another length or a line it cannot convert, at the end of the buffered binary
// input when more cannot be had, and after count items; *done says how many were read. Any other
// element reads none, and the caller goes on with ply_get_lists, which also reports what stopped
// this. Returns 0 on failure.
int ply_get_triples(PlyReader* reader, void* records, size_t stride, int64_t count, int64_t* done);

// Reads past the remaining items of the named element (which becomes current).
int ply_skip_element(PlyReader* reader, const char* elementName);

// Closes the stream and releases the reader.
void ply_close_reader(PlyReader* reader);

// Low-level steps, each printing its own line on failure. get_binary_item reads one value of
// the reader's byte order from its input; get_ascii_item converts one zero-terminated word.
int get_binary_item(PlyReader* reader, PlyType type, PlyValue* value);
int get_ascii_item(const char* word, PlyType type, PlyValue* value);
int store_item(void* place, PlyType type, const PlyValue& value);

// Bytes of data not consumed yet, or -1 when the stream's size is unknown.
int64_t ply_bytes_left(const PlyReader* reader);

// Size of one value in a binary file and in a record; 0 for PlyInvalid and unknown codes.
int ply_type_size(int type);
