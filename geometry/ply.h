#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Reader for PLY files, ASCII and binary of either byte order, into records the caller lays out
// (where and in which type each value goes). Nothing here ends the process: a failure prints at
// most one line on standard error. Readers share no state: files may be read on several threads.

// PlyInvalid: any type keyword not recognised.
enum PlyType : int32_t { PlyInvalid, PlyChar, PlyShort, PlyInt, PlyUchar, PlyUshort, PlyUint, PlyFloat, PlyDouble };

enum PlyFileKind : int32_t { Ascii = 1, BinaryBigEndian = 2, BinaryLittleEndian = 3 };

struct PlyPropertyDesc {
  std::string name;
  PlyType fileType = PlyInvalid;   // of the value, or of each list item
  PlyType storeType = PlyInvalid;  // of a scalar in the caller's record
  int32_t offset = 0;              // of a scalar in the caller's record
  int32_t isList = 0;
  PlyType countFileType = PlyInvalid;
};

struct PlyElementDesc {
  std::string name;
  int32_t itemCount = 0;
  std::vector<PlyPropertyDesc> properties;
  std::vector<uint8_t> storeFlags;  // 1 for each requested property
};

struct PlyInput;  // the buffered stream and how far the data has been read; private to the reader

struct PlyReader {
  PlyReader();
  ~PlyReader();
  FILE* stream = nullptr;
  PlyFileKind fileKind = Ascii;
  float version = 0.0f;
  std::vector<PlyElementDesc> elements;
  std::vector<std::string> comments;
  std::vector<std::string> objInfo;
  int32_t currentElement = -1;  // index into elements; -1 before any request
  std::unique_ptr<PlyInput> input;
};

// Parses the header. Returns null when it is not acceptable (the caller still owns and closes the
// stream then); else the reader owns the stream.
PlyReader* ply_read_header(FILE* stream);

// Takes storeType and offset from request for property number property of element number element,
// and marks it wanted; that element becomes current. Returns 0 when there is no such property or
// when the request's isList disagrees with the file.
int ply_request_property(PlyReader* reader, int element, int property, const PlyPropertyDesc& request);

// Reads count items of the current element into records spaced stride bytes apart. Only scalars
// may be requested; elements before the current one that are still unread are read past first.
int ply_get_elements(PlyReader* reader, void* records, size_t stride, int64_t count);

// Reads count items of the current element whose one requested property is a list: item k's
// count goes to counts[k] and all the items, as int32, one after another to *items, an array of
// the reader valid until its next call. Returns 0 unless exactly one property, a list, is requested.
int ply_get_lists(PlyReader* reader, int64_t count, int32_t* counts, const int32_t** items);

// Reads leading items of the current element, whose one property is a requested list, that are
// lists of three: their indices, as int32, go to the front of records spaced stride bytes apart.
// Stops before the first item it does not take, which ply_get_lists reads. Returns how many items
// it read, or -1 on failure.
int64_t ply_get_triangles(PlyReader* reader, void* records, size_t stride, int64_t count);

// Reads past the remaining items of element number element, which becomes current.
int ply_skip_element(PlyReader* reader, int element);

// Reads past what is left of the data. Returns 0 when an ASCII file has more than blank text
// after it; what follows the data of a binary file is not looked at.
int ply_read_end(PlyReader* reader);

// Bytes of data not consumed yet, or -1 when the stream's size is unknown.
int64_t ply_bytes_left(const PlyReader* reader);

// Bytes of a binary value of the type; 0 for an unknown type.
int ply_type_size(PlyType type);

// Closes the stream and releases the reader.
void ply_close_reader(PlyReader* reader);
