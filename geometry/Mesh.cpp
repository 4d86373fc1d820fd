#include "geometry/Mesh.h"

#include <algorithm>
#include <limits>
#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "geometry/PlyMeshReader.h"

namespace {

inline bool ValidTriangle(const MeshTriangle& t, size_t vertexCount) {
  return static_cast<uint32_t>(t.indices[0]) < vertexCount && static_cast<uint32_t>(t.indices[1]) < vertexCount &&
         static_cast<uint32_t>(t.indices[2]) < vertexCount;
}

// Twice the area, along the normal; products in double so no digits are lost before the
// difference. A triangle naming a vertex outside the array gets a zero normal and false.
inline bool FaceNormal(const MeshVertex* vertices, size_t vertexCount, MeshTriangle& t) {
  if (!ValidTriangle(t, vertexCount)) {
    t.normal[0] = t.normal[1] = t.normal[2] = 0.0f;
    return false;
  }
  const float* p0 = vertices[t.indices[0]].position;
  const float* p1 = vertices[t.indices[1]].position;
  const float* p2 = vertices[t.indices[2]].position;
  const float a[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
  const float b[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
  t.normal[0] = static_cast<float>(static_cast<double>(a[1]) * b[2] - static_cast<double>(a[2]) * b[1]);
  t.normal[1] = static_cast<float>(static_cast<double>(a[2]) * b[0] - static_cast<double>(a[0]) * b[2]);
  t.normal[2] = static_cast<float>(static_cast<double>(a[0]) * b[1] - static_cast<double>(a[1]) * b[0]);
  return true;
}

inline void AddToCorners(MeshVertex* vertices, const MeshTriangle& t) {
#if defined(__SSE2__)
  // Two lanes and one: fewer round trips through memory for corners shared with the last triangle.
  const __m128 n01 = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(t.normal)));
  const __m128 n2 = _mm_load_ss(t.normal + 2);
  for (int32_t index : t.indices) {
    float* n = vertices[index].normal;
    const __m128 sum01 = _mm_add_ps(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(n))), n01);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(n), _mm_castps_si128(sum01));
    _mm_store_ss(n + 2, _mm_add_ss(_mm_load_ss(n + 2), n2));
  }
#else
  for (int32_t index : t.indices) {
    float* n = vertices[index].normal;
    n[0] += t.normal[0];
    n[1] += t.normal[1];
    n[2] += t.normal[2];
  }
#endif
}

void ClearNormals(MeshVertex* v, size_t from, size_t to) {
  for (size_t k = from; k < to; ++k) v[k].normal[0] = v[k].normal[1] = v[k].normal[2] = 0.0f;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define VEXOL_AVX2_NORMALS 1
// The same arithmetic four lanes at a time: a and b widened to double, the cross product from
// one lane rotation of each ((z, x, y) comes out, the same products and differences), each
// difference rounded once. The triangle's normal and each corner's sum are written with one
// 16-byte store over the record's preceding field, which is blended back unchanged; fewer
// stores and loads per triangle is what makes this loop faster.
static_assert(offsetof(MeshVertex, normal) == 20 && offsetof(MeshTriangle, normal) == 12,
              "a normal and the four bytes before it make one 16-byte slot");

__attribute__((target("avx2"))) void ComputeNormalsAvx2(MeshVertex* v, size_t count, const MeshTriangle* t, size_t n,
                                                        MeshTriangle* faces) {
  // The sums are cleared in the same pass, a few records at a time a little ahead of the highest
  // corner met so far, while the records come into the cache anyway: every sum is cleared once,
  // before its first addition, and those no triangle reaches are cleared at the end.
  const size_t kAhead = 2048, kStep = 32;
  size_t cleared = 0;
  for (size_t k = 0; k < n; ++k, ++t) {
    const uint64_t i0 = uint32_t(t->indices[0]), i1 = uint32_t(t->indices[1]), i2 = uint32_t(t->indices[2]);
    const size_t top = std::max(i0, std::max(i1, i2));
    if (top >= count) {
      if (faces) faces[k].normal[0] = faces[k].normal[1] = faces[k].normal[2] = 0.0f;
      continue;
    }
    while (top + kAhead >= cleared && cleared < count) {
      const size_t to = std::min(count, cleared + kStep);
      ClearNormals(v, cleared, to);
      cleared = to;
    }
    MeshVertex* const v0 = v + i0;
    MeshVertex* const v1 = v + i1;
    MeshVertex* const v2 = v + i2;
    const __m128 p0 = _mm_loadu_ps(v0->position);
    const __m128 af = _mm_sub_ps(_mm_loadu_ps(v1->position), p0);
    const __m128 bf = _mm_sub_ps(_mm_loadu_ps(v2->position), p0);
    const __m256d a = _mm256_cvtps_pd(af);
    const __m256d b = _mm256_cvtps_pd(bf);
    const __m256d ayzx = _mm256_cvtps_pd(_mm_shuffle_ps(af, af, _MM_SHUFFLE(3, 0, 2, 1)));
    const __m256d byzx = _mm256_cvtps_pd(_mm_shuffle_ps(bf, bf, _MM_SHUFFLE(3, 0, 2, 1)));
    const __m128 zxy = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_mul_pd(a, byzx), _mm256_mul_pd(ayzx, b)));
    const __m128 xyz = _mm_shuffle_ps(zxy, zxy, _MM_SHUFFLE(0, 2, 1, 0));  // lane 0 is not used
    if (faces) {
      float* const slot = reinterpret_cast<float*>(&faces[k].indices[2]);
      _mm_storeu_ps(slot, _mm_blend_ps(_mm_loadu_ps(slot), xyz, 0xe));
    }
    float* const s0 = reinterpret_cast<float*>(v0->color);
    float* const s1 = reinterpret_cast<float*>(v1->color);
    float* const s2 = reinterpret_cast<float*>(v2->color);
    const __m128 o0 = _mm_loadu_ps(s0);
    _mm_storeu_ps(s0, _mm_blend_ps(o0, _mm_add_ps(o0, xyz), 0xe));
    const __m128 o1 = _mm_loadu_ps(s1);
    _mm_storeu_ps(s1, _mm_blend_ps(o1, _mm_add_ps(o1, xyz), 0xe));
    const __m128 o2 = _mm_loadu_ps(s2);
    _mm_storeu_ps(s2, _mm_blend_ps(o2, _mm_add_ps(o2, xyz), 0xe));
  }
  ClearNormals(v, cleared, count);
}
#endif

// One pass over the triangles; the sums come out as from the two steps apart, in the same order.
// With `faces` null the triangles are only read, so several frames may share them.
void SumNormals(std::vector<MeshVertex>& vertices, const std::vector<MeshTriangle>& triangles, MeshTriangle* faces) {
#if defined(VEXOL_AVX2_NORMALS)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    ComputeNormalsAvx2(vertices.data(), vertices.size(), triangles.data(), triangles.size(), faces);
    return;
  }
#endif
  ClearNormals(vertices.data(), 0, vertices.size());
  MeshVertex* v = vertices.data();
  const size_t count = vertices.size();
  for (size_t k = 0; k < triangles.size(); ++k) {
    MeshTriangle t = triangles[k];
    if (FaceNormal(v, count, t)) AddToCorners(v, t);
    if (faces) faces[k] = t;
  }
}

}  // namespace

bool Mesh::readPly(const char* path, PlyReadOptions& options) {
  PlyMeshReader reader(path, options);
  if (!reader.Read(vertices.size())) return false;
  if (reader.haveVertices) vertices.swap(reader.vertices);
  if (reader.haveTriangles) triangles.swap(reader.triangles);
  name = path;
  return true;
}

void Mesh::ComputeBounds() {
  bounds.Reset();
  // Comparing the floats before widening gives the same box: widening keeps order, and the
  // comparisons pass NaN over as Extend does.
  const float inf = std::numeric_limits<float>::infinity();
  float lo[3], hi[3];
#if defined(__SSE2__)
  // x, y, z and the confidence after them in one register; the fourth lane is ignored.
  __m128 low = _mm_set1_ps(inf), high = _mm_set1_ps(-inf);
  for (const MeshVertex& v : vertices) {
    const __m128 p = _mm_loadu_ps(v.position);
    low = _mm_min_ps(p, low);
    high = _mm_max_ps(p, high);
  }
  float l[4], h[4];
  _mm_storeu_ps(l, low);
  _mm_storeu_ps(h, high);
  for (int i = 0; i < 3; ++i) lo[i] = l[i], hi[i] = h[i];
#else
  float x0 = inf, y0 = inf, z0 = inf, x1 = -inf, y1 = -inf, z1 = -inf;
  for (const MeshVertex& v : vertices) {
    const float x = v.position[0], y = v.position[1], z = v.position[2];
    x0 = x < x0 ? x : x0, y0 = y < y0 ? y : y0, z0 = z < z0 ? z : z0;
    x1 = x1 < x ? x : x1, y1 = y1 < y ? y : y1, z1 = z1 < z ? z : z1;
  }
  lo[0] = x0, lo[1] = y0, lo[2] = z0, hi[0] = x1, hi[1] = y1, hi[2] = z1;
#endif
  for (int i = 0; i < 3; ++i) {
    if (lo[i] < inf) bounds.min[i] = lo[i];
    if (hi[i] > -inf) bounds.max[i] = hi[i];
  }
}

void Mesh::ComputeNormals() { ::ComputeNormals(vertices, triangles); }

void Mesh::FlipVertexNormals() {
  for (MeshVertex& v : vertices)
    for (float& c : v.normal) c = -c;
}

void Mesh::FlipFaceNormals() {
  for (MeshTriangle& t : triangles)
    for (float& c : t.normal) c = -c;
}

// A triangle naming a vertex outside the array gets no normal and adds nothing.
void ComputeFaceNormals(const std::vector<MeshVertex>& vertices, std::vector<MeshTriangle>& triangles) {
  const MeshVertex* v = vertices.data();
  const size_t count = vertices.size();
  for (MeshTriangle& t : triangles) FaceNormal(v, count, t);
}

void AccumulateVertexNormals(std::vector<MeshVertex>& vertices, const std::vector<MeshTriangle>& triangles) {
  ClearNormals(vertices.data(), 0, vertices.size());
  MeshVertex* v = vertices.data();
  const size_t count = vertices.size();
  for (const MeshTriangle& t : triangles)
    if (ValidTriangle(t, count)) AddToCorners(v, t);
}

void ComputeNormals(std::vector<MeshVertex>& vertices, std::vector<MeshTriangle>& triangles) {
  SumNormals(vertices, triangles, triangles.data());
}

void ComputeVertexNormals(std::vector<MeshVertex>& vertices, const std::vector<MeshTriangle>& triangles) {
  SumNormals(vertices, triangles, nullptr);
}
