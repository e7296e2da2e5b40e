#include "support/vector_choice.hpp"

#include <cstdlib>

namespace contours {

namespace {

VectorBuild widestRunnable() {
  if (processorRuns(VectorBuild::Avx512)) return VectorBuild::Avx512;
  if (processorRuns(VectorBuild::Avx2)) return VectorBuild::Avx2;
  return VectorBuild::Baseline;
}

}  // namespace

const char* nameOf(VectorBuild build) {
  switch (build) {
    case VectorBuild::Avx512:
      return "avx512";
    case VectorBuild::Avx2:
      return "avx2";
    case VectorBuild::Baseline:
      break;
  }
  return "baseline";
}

bool processorRuns(VectorBuild build) {
  switch (build) {
    case VectorBuild::Baseline:
      return true;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    case VectorBuild::Avx2:
      return __builtin_cpu_supports("avx2");
    case VectorBuild::Avx512:
      return __builtin_cpu_supports("avx512f");
#else
    default:
      return false;
#endif
  }
  return false;
}

VectorBuildRequest requestedVectorBuild() {
  VectorBuildRequest request;
  const char* value = std::getenv("CONTOURS_ISA");
  // Set but empty counts as unset, as with most such variables.
  if (value == nullptr || *value == '\0') return request;
  request.given = true;
  request.value = value;
  for (VectorBuild build :
       {VectorBuild::Baseline, VectorBuild::Avx2, VectorBuild::Avx512}) {
    if (request.value == nameOf(build)) {
      request.known = true;
      request.build = build;
    }
  }
  return request;
}

VectorBuild activeVectorBuild() {
  static const VectorBuild active = [] {
    const VectorBuildRequest request = requestedVectorBuild();
    return request.runnable() ? request.build : widestRunnable();
  }();
  return active;
}

}  // namespace contours
