#include "field/pixel_field.hpp"

#include <cstring>

namespace contours {

namespace {

// Whether image is the only holder of its pixel buffer, which is one
// continuous block: the field may then take it over.
bool ownsWholeBuffer(const cv::Mat& image) {
  return image.isContinuous() && image.u != nullptr && image.u->refcount == 1 &&
         image.u->urefcount == 0;
}

}  // namespace

std::unique_ptr<PixelField> PixelField::forTable(cv::Mat& image, const float* table,
                                                 int bins, double startFraction,
                                                 int boxSize) {
  if (ranksServe(table, bins, startFraction))
    return std::make_unique<RankField>(image, table, boxSize, ownsWholeBuffer(image));
  return std::make_unique<FloatField>(image.rows, image.cols, table, boxSize);
}

// Only the blocks the stage computes hold anything but +0: the summary and
// the marking visit those alone. The field's pages are mapped as the stage
// first writes them.
FloatField::FloatField(int rows, int cols, const float* table, int boxSize)
    : rows_(rows),
      cols_(cols),
      table_(table),
      block_(std::make_unique<PageBlock>(static_cast<size_t>(rows) *
                                         static_cast<size_t>(cols) * sizeof(float))),
      cells_(block_->as<float>()),
      computed_(rows / 3, cols / 3),
      quarters_(startQuarters(cells_, rows, cols, boxSize)) {}

void FloatField::blockRowDone(int bi, const BlockRowRuns& runs) {
  for (const BlockSpan& run : runs.computed) computed_.add(bi, run.first, run.end);
  // Summarised from rows the stage has just written and that are still in
  // cache, instead of in a second pass over the whole field.
  summariseComputedQuarterRows(quarters_, 3 * bi + 3, computed_);
}

void FloatField::finish() { summariseComputedQuarterRows(quarters_, rows_, computed_); }

DimensionSamples FloatField::boxCountsAt(int index) const {
  return countBoxesReaching(quarters_, table_[index]);
}

MarkCounts FloatField::mark(int index, cv::Mat& result) {
  result.create(rows_, cols_, CV_8UC1);
  adviseHugePages(result.data, static_cast<size_t>(rows_) * static_cast<size_t>(cols_));
  const MarkCounts counts = markComputedField(cells_, result.ptr<unsigned char>(), rows_,
                                              cols_, table_[index], computed_);
  block_.reset();
  cells_ = nullptr;
  return counts;
}

// The result is the ranks' own buffer, marked in place. When nothing but the
// analysis holds the image, that buffer is the first third of the image's:
// the result then costs no memory of its own, and the rest of the image's
// pages can be given back once it is made.
RankField::RankField(const cv::Mat& image, const float* table, int boxSize, bool inImage)
    : rows_(image.rows),
      cols_(image.cols),
      lookup_(table),
      summary_(rows_, cols_, boxSize),
      scratch_(3 * static_cast<size_t>(cols_), 0.0f),
      inImage_(inImage) {
  if (inImage_) {
    buffer_ = image;
  } else {
    buffer_.create(rows_, cols_, CV_8UC1);
    adviseHugePages(buffer_.data, static_cast<size_t>(rows_) * static_cast<size_t>(cols_));
  }
  ranks_ = buffer_.data;
}

void RankField::zeroUpTo(size_t end) {
  std::memset(ranks_ + written_, 0, end - written_);
  written_ = end;
}

// Rank rows 3bi .. 3bi+2 are written when block row bi is done, and rows
// above them that no block row wrote as the 0 of +0 then too; the bottom
// rows at the end. Those bytes, read as a continuous image, are image rows
// below bi, which only block rows up to bi - 1 read (block row bi reads rows
// 3bi-1 .. 3bi+3), so the ranks may be written into the image's own buffer.
void RankField::blockRowDone(int bi, const BlockRowRuns& runs) {
  if (runs.measured.empty()) return;
  zeroUpTo(static_cast<size_t>(3 * bi + 3) * static_cast<size_t>(cols_));
  // The stretches are ranked in whole vectors where the row allows: gaps
  // shorter than a vector are read through, and a stretch's end is rounded
  // up to a whole number of vectors. The cells taken in besides the
  // stretches' are +0 (the scratch outside them is never written), so their
  // ranks are the 0 already there, and they count as zeros.
  constexpr int kVector = 8;
  const std::vector<BlockSpan>& spans = runs.measured;
  for (int y = 3 * bi; y < 3 * bi + 3; ++y) {
    float* const cells = row(y);
    unsigned char* const out = ranks_ + static_cast<size_t>(y) * cols_;
    for (size_t r = 0; r < spans.size();) {
      const int x0 = 3 * spans[r].first;
      int x1 = 3 * spans[r].end;
      for (++r; r < spans.size() && 3 * spans[r].first - x1 < kVector; ++r)
        x1 = 3 * spans[r].end;
      // Less than a vector more, so short of the next stretch.
      const int whole = x0 + (x1 - x0 + kVector - 1) / kVector * kVector;
      if (whole <= cols_) x1 = whole;
      nonZero_ += lookup_.takeRanks(cells + x0, out + x0, x1 - x0);
      // The summary is made from the ranks as they are written, instead of
      // in a second pass over the whole field.
      summary_.add(y, out, x0, x1);
    }
  }
}

void RankField::finish() {
  zeroUpTo(static_cast<size_t>(rows_) * static_cast<size_t>(cols_));
  quarters_ = summary_.finish();
}

DimensionSamples RankField::boxCountsAt(int index) const {
  // A cell reaches entry index exactly when its rank is above index.
  return countBoxesAboveRank(quarters_, index);
}

MarkCounts RankField::mark(int index, cv::Mat& result) {
  const size_t n = static_cast<size_t>(rows_) * static_cast<size_t>(cols_);
  MarkCounts counts;
  counts.marked = markRanks(ranks_, n, index);
  counts.nonZero = nonZero_;
  if (inImage_) {
    // The first rows x cols bytes of the image's buffer.
    result = buffer_.reshape(1, 3 * rows_).rowRange(0, rows_);
    spareFrom_ = n;
    spareBytes_ = 2 * n;
  } else {
    result = buffer_;
  }
  buffer_.release();
  return counts;
}

void RankField::releaseSpare() {
  if (spareBytes_ != 0) releasePages(ranks_ + spareFrom_, spareBytes_);
  spareBytes_ = 0;
}

}  // namespace contours
