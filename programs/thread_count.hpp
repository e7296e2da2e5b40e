#pragma once
// The thread count the programs take from CONTOURS_THREADS, and the range
// every front end (the programs and the Python package) accepts.

#include <string>

namespace contours {

// The most threads a front end asks the analysis for: far more than any
// machine's cores, and few enough that a mistyped count is caught rather
// than turned into that many bands.
constexpr int kMaxThreads = 1024;

// What the environment variable CONTOURS_THREADS asks for.
struct ThreadCountRequest {
  bool given = false;  // set and not empty
  bool valid = true;   // unset, empty, or decimal digits from 0 to kMaxThreads
  int threads = 1;     // AnalysisOptions::threads: 1 unless given, 0 for one per core
  std::string value;   // the variable's value as given
  bool refused() const { return given && !valid; }
  // Why a refused request is refused, as the programs report it.
  static const char* refusal() {
    return "not a thread count: 0 for every core, or 1 to 1024";
  }
};

// Reads a count as CONTOURS_THREADS holds it: nullptr or "" is 1; otherwise
// decimal digits alone (no sign, no space) worth 0 to kMaxThreads.
ThreadCountRequest parseThreadCount(const char* value);
ThreadCountRequest requestedThreadCount();

}  // namespace contours
