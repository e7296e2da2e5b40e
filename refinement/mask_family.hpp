#pragma once
// The binomial mask family (genericMatr, declared in <contours/refinement.hpp>)
// and the two first-derivative masks the fine stage forms from it. Private to
// the library; the tests use it too, so that the masks are formed in one
// place.

#include <vector>

namespace contours {

struct DerivativeMasks {
  int n = 0;
  std::vector<float> d1;  // along the column index: (M5 - M4) * n
  std::vector<float> d2;  // along the row index: (M3 - M4) * n
};

// Builds the mask family of size n with genericMatr and forms d1 and d2 from
// it, element by element in single precision, the difference first and n
// converted to float. For n = 3 they are the Sobel kernels scaled by 3/16.
// Throws std::invalid_argument as genericMatr does, before allocating anything.
DerivativeMasks derivativeMasks(int n);

}  // namespace contours
