// How the hot loops of contours_core are built. Private to the library: not
// installed, not included by its public headers.
#pragma once

#include <cstring>

// Hot loops are built for several x86-64 vector widths, and the loader picks
// the one the processor runs. Every build evaluates the same single
// operations on each value, so all give the same bits. The widths a loop is
// built for depend on the lanes it uses: AVX2 for eight floats, AVX-512 too
// for sixteen.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__AVX2__) && !defined(__SANITIZE_ADDRESS__)
#define CONTOURS_CLONES_AVX2 __attribute__((target_clones("avx2", "default")))
#define CONTOURS_CLONES_AVX512 \
  __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define CONTOURS_CLONES_AVX2
#define CONTOURS_CLONES_AVX512
#endif

// Lanes never cross a function boundary: every helper that takes or returns
// them is inlined into the function built for the processor's vector width.
#define CONTOURS_INLINE __attribute__((always_inline)) inline

namespace contours {

// Eight or sixteen floats processed side by side. Every operation on them is
// the same single-precision operation on each lane: a lane computes one value
// exactly as the scalar code would.
typedef float Lanes8 __attribute__((vector_size(32)));
typedef float Lanes16 __attribute__((vector_size(64)));

// One float (T = float) or one vector of them, unaligned.
template <class T>
CONTOURS_INLINE T loadAs(const float* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
CONTOURS_INLINE void storeLanes(float* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

}  // namespace contours
