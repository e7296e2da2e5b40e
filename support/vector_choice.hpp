// Which vector build of the hot loops runs. Private to the library and its
// programs: not installed, not included by the public headers.
#pragma once

#include <string>

namespace contours {

// The builds of the hot loops, from the plainest to the widest. Every build
// evaluates the same single operations on each value, so all give the same
// bits; they differ only in how many values one instruction handles.
enum class VectorBuild { Baseline, Avx2, Avx512 };

// "baseline", "avx2" or "avx512": the values CONTOURS_ISA takes.
const char* nameOf(VectorBuild build);

// Whether this processor (and this program's build) can run the build.
bool processorRuns(VectorBuild build);

// What the environment variable CONTOURS_ISA asks for.
struct VectorBuildRequest {
  bool given = false;    // CONTOURS_ISA is set and not empty
  bool known = false;    // to one of the three names
  VectorBuild build = VectorBuild::Baseline;  // that build, when known
  std::string value;     // the variable's value as given
  // Set, named and runnable: the request can be honoured.
  bool runnable() const { return given && known && processorRuns(build); }
  // Set, but to something this processor cannot run or no build is called.
  bool refused() const { return given && !runnable(); }
  // Why a refused request is refused, as the programs report it.
  const char* refusal() const {
    return known ? "this processor cannot run that vector build"
                 : "no such vector build (baseline, avx2, avx512)";
  }
};
VectorBuildRequest requestedVectorBuild();

// The build the hot loops use, chosen once per process: the one CONTOURS_ISA
// names when it is runnable, otherwise the widest the processor runs (a
// refused request is the program's to report; the library never runs code
// the processor lacks).
VectorBuild activeVectorBuild();

}  // namespace contours
