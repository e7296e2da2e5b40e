// How the hot loops of contours_core are built. Private to the library: not
// installed, not included by its public headers.
#pragma once

#include <cstring>
#include <utility>

#include "support/vector_choice.hpp"

// Hot loops are built for several x86-64 vector widths, and each call runs
// the one activeVectorBuild() names (the widest the processor has, or the one
// CONTOURS_ISA asks for). Every build evaluates the same single operations on
// each value, so all give the same bits. A hot loop is a class with a static,
// always inlined run(...); runVectorBuild<Loop>(...) calls it through the
// function made for the active build, in which the loop's lanes and every
// helper they pass through are compiled for that build's instructions. The
// builds are plain functions with a target attribute, chosen by a switch, so
// GCC and Clang make the same three, under the sanitizers too.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CONTOURS_VECTOR_BUILDS 1
#define CONTOURS_TARGET_AVX2 __attribute__((target("avx2")))
#define CONTOURS_TARGET_AVX512 __attribute__((target("avx512f")))
#endif

// Lanes never cross a function boundary: every helper that takes or returns
// them is inlined into the function built for the active vector build.
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

template <class Loop>
struct VectorBuildsOf {
  template <class... A>
  static auto baseline(A&&... a) {
    return Loop::run(std::forward<A>(a)...);
  }
#ifdef CONTOURS_VECTOR_BUILDS
  template <class... A>
  CONTOURS_TARGET_AVX2 static auto avx2(A&&... a) {
    return Loop::run(std::forward<A>(a)...);
  }
  template <class... A>
  CONTOURS_TARGET_AVX512 static auto avx512(A&&... a) {
    return Loop::run(std::forward<A>(a)...);
  }
#endif
};

// Loop::run(a...) in the active vector build.
template <class Loop, class... A>
inline auto runVectorBuild(A&&... a) {
#ifdef CONTOURS_VECTOR_BUILDS
  switch (activeVectorBuild()) {
    case VectorBuild::Avx512:
      return VectorBuildsOf<Loop>::avx512(std::forward<A>(a)...);
    case VectorBuild::Avx2:
      return VectorBuildsOf<Loop>::avx2(std::forward<A>(a)...);
    case VectorBuild::Baseline:
      break;
  }
#endif
  return VectorBuildsOf<Loop>::baseline(std::forward<A>(a)...);
}

}  // namespace contours
