#include "geometry/PlyMeshReader.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <limits>
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
// Bytes of the smallest list item: in ASCII a digit and a space; in binary by type code, an
// unknown type (which fails when met) counted as one.
const int64_t kAsciiItemBytes = 2;
const int64_t kBinaryItemBytes[9] = {1, 1, 2, 4, 1, 2, 4, 4, 8};
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
};
enum { SlotX, SlotY, SlotZ, SlotConfidence, SlotRed, SlotGreen, SlotBlue, SlotMask, SlotCount };

void Fail(const char* what, const char* path) {
  LoadBudget::Say(("Mesh::readPly: fail to " + std::string(what) + path + "\n").c_str());
}

void FailIn(const char* what, const char* path) {
  LoadBudget::Say(("Mesh::readPly: fail to read " + std::string(what) + " in " + path + "\n").c_str());
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

// Indices below it fit vertexCount vertices; a negative index, seen unsigned, does not.
uint32_t IndexLimit(uint64_t vertexCount) { return static_cast<uint32_t>(std::min<uint64_t>(vertexCount, INT32_MAX)); }

bool Fit(const MeshTriangle* t, size_t n, uint32_t limit) {
  uint32_t highest = 0;
  for (const MeshTriangle* end = t + n; t != end; ++t)
    highest = std::max(highest,
                       std::max(static_cast<uint32_t>(t->indices[0]),
                                std::max(static_cast<uint32_t>(t->indices[1]), static_cast<uint32_t>(t->indices[2]))));
  return n == 0 || highest < limit;
}

}  // namespace

bool PlyMeshReader::Read(size_t vertexCountBefore) {
  FILE* stream = std::fopen(path_, "rb");
  if (!stream) {
    Fail("open ", path_);
    return false;
  }
  reader_ = ply_read_header(stream, nullptr, nullptr);
  if (!reader_) {
    std::fclose(stream);
    return Failed();
  }
  options_.isAscii = reader_->fileKind == Ascii ? 1 : 0;
  bool ok = false;
  try {
    ok = ReadElements(vertexCountBefore);
  } catch (const std::bad_alloc&) {
    ok = Failed();
  }
  ply_close_reader(reader_);
  reader_ = nullptr;
  return ok;
}

bool PlyMeshReader::Failed() {
  Fail("read ", path_);
  return false;
}

bool PlyMeshReader::ReadElements(size_t vertexCountBefore) {
  const std::vector<PlyElementDesc>& elements = reader_->elements;
  int vertexElement = -1;
  for (size_t k = 0; k < elements.size(); ++k)
    if (elements[k].name == "vertex") vertexElement = static_cast<int>(k);
  for (size_t k = 0; k < elements.size(); ++k) {
    const int element = static_cast<int>(k);
    bool ok;
    if (element == vertexElement) {
      ok = ReadVertexElement(element);
    } else if (elements[k].name == "face") {
      // Indices are checked as they come when the vertex count is known by then.
      int64_t vertexCount = -1;
      if (vertexElement < 0) vertexCount = static_cast<int64_t>(vertexCountBefore);
      if (vertexElement >= 0 && vertexElement < element) vertexCount = static_cast<int64_t>(vertices.size());
      lateIndexCheck_ = vertexCount < 0;
      ok = ReadFaceElement(element, vertexCount);
    } else {
      ok = ply_skip_element(reader_, element) || Failed();
    }
    if (!ok) return false;
  }
  if (haveTriangles && lateIndexCheck_ && !Fit(triangles.data(), triangles.size(), IndexLimit(vertices.size()))) {
    FailIn("vertex_indices", path_);
    return false;
  }
  return true;
}

bool PlyMeshReader::ReadVertexElement(int element) {
  const PlyElementDesc& desc = reader_->elements[element];
  int found[SlotCount] = {};
  for (size_t p = 0; p < desc.properties.size(); ++p) {
    const PlyPropertyDesc& prop = desc.properties[p];
    for (int s = 0; s < SlotCount; ++s) {
      if (prop.name != kVertexSlots[s].name) continue;
      ++found[s];
      PlyPropertyDesc request;
      request.storeType = kVertexSlots[s].type;
      request.offset = kVertexSlots[s].offset;
      if (!ply_request_property(reader_, element, static_cast<int>(p), request)) {
        FailIn(prop.name.c_str(), path_);
        return false;
      }
    }
  }
  // Each coordinate once: a repeated x would leave z unset.
  if (found[SlotX] != 1 || found[SlotY] != 1 || found[SlotZ] != 1) {
    FailIn("xyz", path_);
    return false;
  }
  if (!Resolve(options_.readConfidence, found[SlotConfidence] == 1)) {
    FailIn("confidence", path_);
    return false;
  }
  if (!Resolve(options_.readColor, found[SlotRed] == 1 && found[SlotGreen] == 1 && found[SlotBlue] == 1)) {
    FailIn("rgb", path_);
    return false;
  }
  if (!Resolve(options_.readMask, found[SlotMask] == 1)) {
    FailIn("mask", path_);
    return false;
  }
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
    AppendZeroed(vertices, static_cast<size_t>(done + k));
    MeshVertex* first = vertices.data() + done;
    MeshVertex* last = first + k;
    if (!ply_get_elements(reader_, first, sizeof(MeshVertex), k)) return Failed();
    if (!useConfidence)
      for (MeshVertex* v = first; v != last; ++v) v->confidence = 1.0f;
    if (!useColor)
      for (MeshVertex* v = first; v != last; ++v) v->color[0] = v->color[1] = v->color[2] = 255;
    if (!useMask)
      for (MeshVertex* v = first; v != last; ++v) v->mask = 0;
    done += k;
  }
  return true;
}

// Triangles that the bytes left can still make beyond those made: each needs one more list
// item. Unbounded for a stream without a size.
size_t PlyMeshReader::TriangleRoom(int64_t itemBytes) const {
  const int64_t left = ply_bytes_left(reader_);
  if (left < 0) return std::numeric_limits<size_t>::max() / 2;
  return static_cast<size_t>(left / itemBytes);
}

// Grows the triangle array to size; when it must move, to twice its capacity at most, and never
// past what the bytes left can fill.
void PlyMeshReader::Make(size_t size, int64_t itemBytes) {
  if (size > triangles.capacity())
    Reserve(triangles, std::max(size, std::min(2 * triangles.capacity(), size + TriangleRoom(itemBytes))));
  if (size < triangles.size())
    triangles.resize(size);
  else
    AppendZeroed(triangles, size);
}

bool PlyMeshReader::ReadFaceElement(int element, int64_t vertexCount) {
  const PlyElementDesc& desc = reader_->elements[element];
  int found = 0;
  PlyType itemType = PlyInvalid;
  for (size_t p = 0; p < desc.properties.size(); ++p) {
    const PlyPropertyDesc& prop = desc.properties[p];
    if (prop.name != "vertex_indices") continue;
    ++found;
    itemType = prop.fileType;
    PlyPropertyDesc request;
    request.isList = 1;
    if (!ply_request_property(reader_, element, static_cast<int>(p), request)) {
      FailIn(prop.name.c_str(), path_);
      return false;
    }
  }
  if (found != 1) {
    FailIn("vertex_indices", path_);
    return false;
  }
  if (options_.readFaces == Skip) return ply_skip_element(reader_, element) || Failed();
  if (options_.readFaces < 0) options_.readFaces = 1;

  haveTriangles = true;
  triangles.clear();
  const int64_t itemBytes = reader_->fileKind == Ascii ? kAsciiItemBytes : kBinaryItemBytes[itemType];
  const int64_t itemCount = desc.itemCount;
  Reserve(triangles, std::min(static_cast<size_t>(itemCount), TriangleRoom(itemBytes)));
  const uint32_t limit = vertexCount < 0 ? std::numeric_limits<uint32_t>::max() : IndexLimit(vertexCount);
  std::vector<int32_t> counts(static_cast<size_t>(std::min(itemCount, kChunkItems)));
  for (int64_t done = 0; done < itemCount;) {
    const int64_t k = std::min(kChunkItems, itemCount - done);
    const int32_t* items = nullptr;
    if (!ply_get_lists(reader_, k, counts.data(), &items)) return Failed();
    size_t made = 0;
    for (int64_t f = 0; f < k; ++f) made += static_cast<size_t>(std::max(counts[f] - 2, 0));
    const size_t at = triangles.size();
    Make(at + made, itemBytes);
    // The fan around each face's first corner; fewer than three corners make nothing.
    MeshTriangle* out = triangles.data() + at;
    for (int64_t f = 0; f < k; items += counts[f], ++f) {
      for (int32_t j = 1; j + 1 < counts[f]; ++j, ++out) {
        out->indices[0] = items[0];
        out->indices[1] = items[j];
        out->indices[2] = items[j + 1];
      }
    }
    if (!Fit(triangles.data() + at, made, limit)) {
      FailIn("vertex_indices", path_);
      return false;
    }
    done += k;
    // Polygons: size the array once for the rest at the rate seen so far.
    if (done < itemCount && triangles.size() > static_cast<size_t>(done)) {
      const double expected = static_cast<double>(triangles.size()) * itemCount / done;
      const double most = static_cast<double>(triangles.size() + TriangleRoom(itemBytes));
      if (expected > triangles.capacity())
        Reserve(triangles, static_cast<size_t>(std::min(expected * kRateMargin + kRateSlack, most)));
    }
  }
  return true;
}
