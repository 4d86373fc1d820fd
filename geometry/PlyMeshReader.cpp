#include "geometry/PlyMeshReader.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <new>
#include <string>

#include "geometry/AppendRecords.h"
#include "geometry/HugePages.h"
#include "geometry/LoadBudget.h"
#include "geometry/ply.h"

namespace {

const int64_t kChunkItems = 4096;
// What is reserved up front when the stream has no size to bound the item count by.
const int64_t kUnsizedReservation = int64_t{1} << 16;
// Bytes of the smallest list item in ASCII: a digit and a space.
const int64_t kAsciiItemBytes = 2;
// The array for the triangles still to come is sized at the rate seen so far, a little over.
const double kRateMargin = 1.01;
const double kRateSlack = 16;

struct VertexSlot {
  const char* name;
  int32_t offset;
  PlyType type;
};

// The vertex item record is the front of MeshVertex.
const VertexSlot kVertexSlots[] = {
    {"x", offsetof(MeshVertex, position), PlyFloat},
    {"y", offsetof(MeshVertex, position) + 4, PlyFloat},
    {"z", offsetof(MeshVertex, position) + 8, PlyFloat},
    {"confidence", offsetof(MeshVertex, confidence), PlyFloat},
    {"diffuse_red", offsetof(MeshVertex, color), PlyUchar},
    {"diffuse_green", offsetof(MeshVertex, color) + 1, PlyUchar},
    {"diffuse_blue", offsetof(MeshVertex, color) + 2, PlyUchar},
    {"mask", offsetof(MeshVertex, mask), PlyUchar},
    // The other naming of the colour, taken only without any diffuse_*: held in the normal, which
    // is computed after the read, until converted.
    {"red", offsetof(MeshVertex, normal), PlyFloat},
    {"green", offsetof(MeshVertex, normal) + 4, PlyFloat},
    {"blue", offsetof(MeshVertex, normal) + 8, PlyFloat},
};
enum { SlotX, SlotY, SlotZ, SlotConfidence, SlotRed, SlotGreen, SlotBlue, SlotMask, SlotR, SlotG, SlotB, SlotCount };

// A red, green or blue value as a colour byte: integers are 0-255, reals (scale 255) 0-1; NaN is 0.
uint8_t ColorByte(float value, float scale) {
  const float v = value * scale;
  return v >= 255 ? 255 : v > 0 ? static_cast<uint8_t>(v + 0.5f) : 0;
}

// Detect becomes 1 or 0; false when the part is required and missing.
bool Resolve(int32_t& mode, bool found) {
  if (mode < 0) {
    mode = found ? 1 : 0;
    return true;
  }
  return mode == 0 || found;
}

template <class T>
void Reserve(std::vector<T>& array, size_t count) {
  if (count > array.capacity() && !LoadBudget::Grow(static_cast<int64_t>((count - array.capacity()) * sizeof(T))))
    throw std::bad_alloc();
  array.reserve(count);
  PreferHugePages(array.data(), array.capacity() * sizeof(T));
}

uint32_t Unsigned(int32_t index) { return static_cast<uint32_t>(index); }

}  // namespace

bool PlyMeshReader::Read(size_t vertexCountBefore) {
  FILE* stream = std::fopen(path_, "rb");
  if (!stream) {
    LoadBudget::Say(("Mesh::readPly: fail to open " + std::string(path_) + "\n").c_str());
    return false;
  }
  reader_ = ply_read_header(stream);
  if (!reader_) {
    std::fclose(stream);
    return FailRead();
  }
  options_.isAscii = reader_->fileKind == Ascii ? 1 : 0;
  bool ok = false;
  try {
    ok = ReadElements(vertexCountBefore);
  } catch (const std::bad_alloc&) {
    ok = FailRead();
  }
  ply_close_reader(reader_);
  reader_ = nullptr;
  return ok;
}

bool PlyMeshReader::FailRead(const char* what) {
  const std::string part = what ? std::string(what) + " in " : std::string();
  LoadBudget::Say(("Mesh::readPly: fail to read " + part + path_ + "\n").c_str());
  return false;
}

bool PlyMeshReader::ReadElements(size_t vertexCountBefore) {
  // Element names are unique. Face indices are checked once the vertices are known.
  int64_t highest = -1;
  for (size_t k = 0; k < reader_->elements.size(); ++k) {
    const std::string& name = reader_->elements[k].name;
    const int element = static_cast<int>(k);
    const bool ok = name == "vertex" ? ReadVertexElement(element)
                    : name == "face" ? ReadFaceElement(element, &highest)
                                     : ply_skip_element(reader_, element) || FailRead();
    if (!ok) return false;
  }
  if (!ply_read_end(reader_)) return FailRead();
  // The highest index was seen unsigned, so a negative one is huge.
  const uint64_t vertexCount = haveVertices ? vertices.size() : vertexCountBefore;
  if (highest >= static_cast<int64_t>(std::min<uint64_t>(vertexCount, INT32_MAX))) return FailRead("vertex_indices");
  return true;
}

bool PlyMeshReader::ReadVertexElement(int element) {
  const PlyElementDesc& desc = reader_->elements[element];
  bool diffuse = false;
  for (const PlyPropertyDesc& prop : desc.properties)
    for (int s = SlotRed; s <= SlotBlue; ++s) diffuse = diffuse || prop.name == kVertexSlots[s].name;
  int found[SlotCount] = {};
  float scale[3] = {1, 1, 1};  // of red, green and blue
  for (size_t p = 0; p < desc.properties.size(); ++p) {
    const PlyPropertyDesc& prop = desc.properties[p];
    for (int s = 0; s < (diffuse ? SlotR : SlotCount); ++s) {
      if (prop.name != kVertexSlots[s].name) continue;
      if (s >= SlotR && (prop.fileType == PlyFloat || prop.fileType == PlyDouble)) scale[s - SlotR] = 255;
      ++found[s];
      PlyPropertyDesc request;
      request.storeType = kVertexSlots[s].type;
      request.offset = kVertexSlots[s].offset;
      if (!ply_request_property(reader_, element, static_cast<int>(p), request)) return FailRead(prop.name.c_str());
    }
  }
  // Each coordinate once: a repeated x would leave z unset.
  if (found[SlotX] != 1 || found[SlotY] != 1 || found[SlotZ] != 1) return FailRead("xyz");
  if (!Resolve(options_.readConfidence, found[SlotConfidence] == 1)) return FailRead("confidence");
  const bool rgb = found[SlotR] == 1 && found[SlotG] == 1 && found[SlotB] == 1;
  const bool rgbRead = found[SlotR] + found[SlotG] + found[SlotB] > 0;
  if (!Resolve(options_.readColor, (found[SlotRed] == 1 && found[SlotGreen] == 1 && found[SlotBlue] == 1) || rgb))
    return FailRead("rgb");
  if (!Resolve(options_.readMask, found[SlotMask] == 1)) return FailRead("mask");
  const bool useConfidence = options_.readConfidence != 0, useColor = options_.readColor != 0,
             useMask = options_.readMask != 0;

  haveVertices = true;
  vertices.clear();
  // The header's count already fits the bytes left of a file.
  const int64_t itemCount = desc.itemCount;
  Reserve(vertices,
          static_cast<size_t>(ply_bytes_left(reader_) < 0 ? std::min(itemCount, kUnsizedReservation) : itemCount));
  for (int64_t done = 0; done < itemCount;) {
    const int64_t k = std::min<int64_t>(kChunkItems, itemCount - done);
    // A stream of unknown size grows past its first reservation through the budget too.
    if (static_cast<size_t>(done + k) > vertices.capacity())
      Reserve(vertices, static_cast<size_t>(std::min(itemCount, 2 * (done + k))));
    AppendZeroed(vertices, static_cast<size_t>(done + k));
    MeshVertex* first = vertices.data() + done;
    MeshVertex* last = first + k;
    if (!ply_get_elements(reader_, first, sizeof(MeshVertex), k)) return FailRead();
    if (!useConfidence)
      for (MeshVertex* v = first; v != last; ++v) v->confidence = 1.0f;
    if (!useColor)
      for (MeshVertex* v = first; v != last; ++v) v->color[0] = v->color[1] = v->color[2] = 255;
    for (MeshVertex* v = first; rgbRead && v != last; ++v) {
      for (int c = 0; c < 3 && rgb && useColor; ++c) v->color[c] = ColorByte(v->normal[c], scale[c]);
      v->normal[0] = v->normal[1] = v->normal[2] = 0;
    }
    if (!useMask)
      for (MeshVertex* v = first; v != last; ++v) v->mask = 0;
    done += k;
  }
  return true;
}

// Triangles that the bytes left can still make beyond those made: each needs one more list
// item. For a stream without a size, as many as are reserved up front.
size_t PlyMeshReader::TriangleRoom(int64_t itemBytes) const {
  const int64_t left = ply_bytes_left(reader_);
  return static_cast<size_t>(left < 0 ? kUnsizedReservation : left / itemBytes);
}

// Grows the triangle array to size, zeroed; when it must move, to twice its capacity at most, and
// never past what the bytes left can fill.
void PlyMeshReader::GrowTriangles(size_t size, int64_t itemBytes) {
  if (size > triangles.capacity())
    Reserve(triangles, std::max(size, std::min(2 * triangles.capacity(), size + TriangleRoom(itemBytes))));
  AppendZeroed(triangles, size);
}

// Faces of n corners become fans of n - 2 triangles, fewer than three corners none; every index,
// seen unsigned, counts toward *highest, those of dropped faces too.
bool PlyMeshReader::ReadFaceElement(int element, int64_t* highest) {
  const PlyElementDesc& desc = reader_->elements[element];
  // The other programs' name for the list counts only without a vertex_indices.
  const char* name = "vertex_index";
  for (const PlyPropertyDesc& prop : desc.properties)
    if (prop.name == "vertex_indices") name = "vertex_indices";
  int found = 0;
  PlyType itemType = PlyInvalid;
  for (size_t p = 0; p < desc.properties.size(); ++p) {
    const PlyPropertyDesc& prop = desc.properties[p];
    if (prop.name != name) continue;
    ++found;
    itemType = prop.fileType;
    PlyPropertyDesc request;
    request.isList = 1;
    if (!ply_request_property(reader_, element, static_cast<int>(p), request)) return FailRead(prop.name.c_str());
  }
  if (found != 1) return FailRead("vertex_indices");
  if (options_.readFaces == Skip) return ply_skip_element(reader_, element) || FailRead();
  if (options_.readFaces < 0) options_.readFaces = 1;

  haveTriangles = true;
  triangles.clear();
  // An unknown binary type, which fails when met, counts as one byte.
  const int64_t itemBytes = reader_->fileKind == Ascii ? kAsciiItemBytes : std::max(1, ply_type_size(itemType));
  const int64_t itemCount = desc.itemCount;
  Reserve(triangles, std::min(static_cast<size_t>(itemCount), TriangleRoom(itemBytes)));
  std::vector<int32_t> counts(static_cast<size_t>(std::min(itemCount, kChunkItems)));
  for (int64_t done = 0; done < itemCount;) {
    const int64_t k = std::min(kChunkItems, itemCount - done);
    // Triangles straight into the array for as long as they come, then the chunk's other faces.
    const size_t at = triangles.size();
    GrowTriangles(at + static_cast<size_t>(k), itemBytes);
    const int64_t got = ply_get_triangles(reader_, triangles.data() + at, sizeof(MeshTriangle), k);
    if (got < 0) return FailRead();
    triangles.resize(at + static_cast<size_t>(got));
    uint32_t high = 0;
    for (size_t t = at; t < triangles.size(); ++t) {
      const int32_t* c = triangles[t].indices;
      high = std::max(high, std::max(std::max(Unsigned(c[0]), Unsigned(c[1])), Unsigned(c[2])));
    }
    if (got > 0) *highest = std::max<int64_t>(*highest, high);
    if (got < k) {
      const int32_t* items = nullptr;
      if (!ply_get_lists(reader_, k - got, counts.data(), &items)) return FailRead();
      size_t made = 0;
      for (int64_t f = 0; f < k - got; ++f) made += static_cast<size_t>(std::max(counts[f] - 2, 0));
      const size_t from = triangles.size();
      GrowTriangles(from + made, itemBytes);
      MeshTriangle* out = triangles.data() + from;
      for (int64_t f = 0; f < k - got; items += counts[f], ++f) {
        for (int32_t j = 0; j < counts[f]; ++j) *highest = std::max<int64_t>(*highest, Unsigned(items[j]));
        for (int32_t j = 1; j + 1 < counts[f]; ++j, ++out) *out = MeshTriangle{{items[0], items[j], items[j + 1]}, {}};
      }
    }
    done += k;
    // Polygons: size the array once for the rest.
    if (done < itemCount && triangles.size() > static_cast<size_t>(done)) {
      const double expected = static_cast<double>(triangles.size()) * itemCount / done;
      const double most = static_cast<double>(triangles.size() + TriangleRoom(itemBytes));
      if (expected > triangles.capacity())
        Reserve(triangles, static_cast<size_t>(std::min(expected * kRateMargin + kRateSlack, most)));
    }
  }
  return true;
}
