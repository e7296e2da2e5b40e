#pragma once
// The pixel surface as the fine stage reads it: stored whole, or made from
// the image a part of a row at a time where the stage first reads it.
// Private to the library.

#include <vector>

#include <opencv2/core.hpp>

#include "field/field_rows.hpp"
#include "refinement/pixel_measure.hpp"

namespace contours {

class FineSurface {
 public:
  virtual ~FineSurface() = default;

  // Whether every surface value is finite.
  virtual bool finite() const = 0;

  // The surface rows block row bi reads (for n x n masks, rows
  // 3bi - n/2 .. 3bi+2 + n/2), readable in the columns the stretches of
  // blocks given read, until the next call.
  virtual SurfaceRows rowsFor(int bi, const std::vector<BlockSpan>& stretches) = 0;
};

// A surface stored whole, plane -> row -> column, holding any values.
class StoredSurface final : public FineSurface {
 public:
  explicit StoredSurface(const float* const* const* planes)
      : rows_{{planes[0], planes[1], planes[2]}, 0} {}
  bool finite() const override { return false; }
  SurfaceRows rowsFor(int, const std::vector<BlockSpan>&) override { return rows_; }

 private:
  SurfaceRows rows_;
};

// The surface of an 8-bit BGR image, for 3x3 masks: each part of a row is
// made from the image (with the values processImage stores) when the stage
// first reads it, and dropped once no later block row reads it. Only five
// rows are held at a time, and none before a first block row is computed.
class ImageSurface final : public FineSurface {
 public:
  explicit ImageSurface(const cv::Mat& image);
  bool finite() const override { return true; }
  SurfaceRows rowsFor(int bi, const std::vector<BlockSpan>& stretches) override;

 private:
  static constexpr int kPiece = 32, kGap = 3;

  const cv::Mat& image_;
  int madeColumns_;  // columns of complete blocks
  int pieces_;       // of kPiece columns
  size_t rowLength_;
  std::vector<float> slots_;
  std::vector<unsigned char> made_;    // per slot, per piece
  std::vector<unsigned char> needed_;  // per piece
  const float* rowTables_[3][5] = {};
  int slotRow_[5] = {-1, -1, -1, -1, -1};
};

}  // namespace contours
