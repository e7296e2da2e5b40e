#pragma once
// The pipeline's pixel field: the fine measure of every pixel, which the fine
// stage writes, the pixel search counts boxes on and the result is marked
// from. It is held in one of two forms, chosen by the quantile table: as
// floats, or, where the table allows (ranksServe), as a byte a pixel, the
// measure's rank among the table entries. Both answer every question the
// pipeline asks with the same results. Private to the library.

#include <cstddef>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include <contours/dimension.hpp>

#include "dimension/box_counting.hpp"
#include "field/computed_blocks.hpp"
#include "field/field_rows.hpp"
#include "field/marking.hpp"
#include "field/ranks.hpp"
#include "support/working_memory.hpp"

namespace contours {

class PixelField : public FieldRows, public BandedFieldRows {
 public:
  // The field of image's pixels (image.rows x image.cols, all +0) for a
  // search over table (bins entries, starting at bins * startFraction) that
  // counts boxes of boxSize, in the form the table allows. Where the field
  // is held as ranks and image alone holds its continuous buffer, the field
  // takes that buffer over (see RankField).
  static std::unique_ptr<PixelField> forTable(cv::Mat& image, const float* table,
                                              int bins, double startFraction,
                                              int boxSize);

  // Once the fine stage is over: the box-counting samples of the cells that
  // reach table entry index.
  virtual DimensionSamples boxCountsAt(int index) const = 0;

  // Makes result (image.rows x image.cols, 8 bits, continuous): 0 where the
  // cell reaches table entry index, 255 elsewhere; with the counts. The field
  // is gone afterwards.
  virtual MarkCounts mark(int index, cv::Mat& result) = 0;

  // Gives back to the system the memory the result holds but does not use.
  virtual void releaseSpare() {}

  // From openBands(split) on, the box counts and the marking also run split
  // so.
};

// The field as floats: the stage writes the whole field, records the blocks
// it computes and summarises the rows as they become final.
class FloatField final : public PixelField {
 public:
  FloatField(int rows, int cols, const float* table, int boxSize);
  ~FloatField() override;

  bool startsEmpty() const override { return true; }
  float* row(int y) override { return cells_ + static_cast<size_t>(y) * cols_; }
  void blockRowDone(int bi, const BlockRowRuns& runs) override;
  void finish() override;
  DimensionSamples boxCountsAt(int index) const override;
  MarkCounts mark(int index, cv::Mat& result) override;
  void openBands(const Split& split) override;
  FieldRows& band(int k) override;
  void closeBands() override;

  const float* cells() const { return cells_; }
  const ComputedBlocks& computed() const { return computed_; }
  const QuarterMaxima& quarters() const { return quarters_; }

 private:
  int rows_, cols_;
  const float* table_;
  std::unique_ptr<PageBlock> block_;
  float* cells_;
  ComputedBlocks computed_;
  QuarterMaxima quarters_;
  class Band;
  std::vector<std::unique_ptr<Band>> bands_;
  Split split_;
};

// The field as ranks: the stage computes each block row into a three-row
// scratch, which is ranked at once (and set back to +0) and folded into the
// summary.
class RankField final : public PixelField {
 public:
  // table must be one ranksServe accepts. With inImage, the ranks are
  // written into image's own buffer (continuous), each byte after the fine
  // stage's last read of the image byte at the same offset, and the result
  // is made of it; otherwise into a buffer of their own.
  RankField(const cv::Mat& image, const float* table, int boxSize, bool inImage);
  ~RankField() override;

  bool startsEmpty() const override { return true; }
  float* row(int y) override;
  void blockRowDone(int bi, const BlockRowRuns& runs) override;
  void finish() override;
  DimensionSamples boxCountsAt(int index) const override;
  MarkCounts mark(int index, cv::Mat& result) override;
  void releaseSpare() override;
  void openBands(const Split& split) override;
  FieldRows& band(int k) override;
  void closeBands() override;

  // The ranks (rows x cols, row-major), the cells that are not 0 and the
  // summary, once the stage is over (where bands keep ranks apart from the
  // image, ranks() holds only the first band's rows until the marking).
  const unsigned char* ranks() const { return ranks_; }
  long long nonZero() const { return nonZero_; }
  const RankQuarters& quarters() const { return quarters_; }

 private:
  int rows_, cols_;
  RankLookup lookup_;
  int boxSize_;
  RankQuarters quarters_;
  cv::Mat buffer_;              // where the ranks are: the image's, or their own
  bool inImage_;
  unsigned char* ranks_;
  long long nonZero_ = 0;
  size_t spareFrom_ = 0, spareBytes_ = 0;
  class Band;
  std::vector<std::unique_ptr<Band>> bands_;
  Split split_;
  // Where bands after the first keep their ranks, when the first writes them
  // into the image's own buffer.
  std::unique_ptr<ZeroedArray<unsigned char>> apart_;
};

}  // namespace contours
