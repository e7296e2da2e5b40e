#pragma once
// Helpers shared by the unit tests.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include <contours/refinement.hpp>
#include "refinement/mask_family.hpp"

namespace testsupport {

inline std::uint32_t bitsOf(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Bit-for-bit equality: NaN equals the same NaN, +0 differs from -0.
inline ::testing::AssertionResult sameBits(float actual, float expected) {
  if (bitsOf(actual) == bitsOf(expected)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << actual << " (0x" << std::hex << bitsOf(actual) << ") is not "
         << expected << " (0x" << bitsOf(expected) << ")";
}

// Three float planes with row tables, in the plane -> row -> column shape the
// stages take, filled with a value the stages must overwrite or leave alone.
class Planes {
 public:
  Planes(int rows, int cols, float fill)
      : rows_(rows), cols_(cols),
        values_(3 * static_cast<size_t>(rows) * cols, fill) {
    for (int p = 0; p < 3; ++p) {
      rowTables_[p].resize(rows);
      for (int r = 0; r < rows; ++r)
        rowTables_[p][r] = values_.data() + (static_cast<size_t>(p) * rows + r) * cols;
      planes_[p] = rowTables_[p].data();
    }
  }
  float*** get() { return planes_; }
  float& at(int plane, int row, int col) { return planes_[plane][row][col]; }
  // Every value of every plane, plane after plane.
  std::vector<float>& values() { return values_; }
  int rows() const { return rows_; }
  int cols() const { return cols_; }

 private:
  int rows_, cols_;
  std::vector<float> values_;
  std::vector<float*> rowTables_[3];
  float** planes_[3] = {};
};

// The seven members genericMatr builds for mask size n, into arrays that held
// garbage, and the derivative masks the pipeline forms from them.
class MaskFamily {
 public:
  explicit MaskFamily(int n) : n_(n) {
    for (auto& m : members_) m.assign(static_cast<size_t>(n) * n, std::nanf(""));
    contours::genericMatr(members_[0].data(), members_[1].data(), members_[2].data(),
                          members_[3].data(), members_[4].data(), members_[5].data(),
                          members_[6].data(), n);
  }
  int n() const { return n_; }
  // Member Mk, k = 1 .. 7.
  const std::vector<float>& M(int k) const { return members_[k - 1]; }
  std::vector<float> d1() const { return contours::derivativeMasks(n_).d1; }
  std::vector<float> d2() const { return contours::derivativeMasks(n_).d2; }

 private:
  int n_;
  std::vector<float> members_[7];
};

}  // namespace testsupport
