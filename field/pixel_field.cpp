#include "field/pixel_field.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "support/bands.hpp"

namespace contours {

namespace {

// Whether image is the only holder of its pixel buffer, which is one
// continuous block: the field may then take it over.
bool ownsWholeBuffer(const cv::Mat& image) {
  return image.isContinuous() && image.u != nullptr && image.u->refcount == 1 &&
         image.u->urefcount == 0;
}

// The first and end pixel row of band k of a field of rows rows: the pixel
// rows of its block rows, the first band from row 0, the last to the end.
BandSpan pixelRowsOfBand(int rows, int bands, int k) {
  const BandSpan blocks = bandSpan(rows / 3, bands, k);
  return {k == 0 ? 0 : 3 * blocks.first, k == bands - 1 ? rows : 3 * blocks.end};
}

}  // namespace

std::unique_ptr<PixelField> PixelField::forTable(cv::Mat& image, const float* table,
                                                 int bins, double startFraction,
                                                 int boxSize) {
  if (ranksServe(table, bins, startFraction))
    return std::make_unique<RankField>(image, table, boxSize, ownsWholeBuffer(image));
  return std::make_unique<FloatField>(image.rows, image.cols, table, boxSize);
}

// A band of a float field: it writes its rows of the field in place, and
// keeps the blocks it computed until the bands are closed.
class FloatField::Band final : public FieldRows {
 public:
  explicit Band(FloatField& field) : field_(field) {}
  bool startsEmpty() const override { return true; }
  float* row(int y) override { return field_.row(y); }
  void blockRowDone(int bi, const BlockRowRuns& runs) override {
    for (const BlockSpan& run : runs.computed) computed_.emplace_back(bi, run);
  }
  void finish() override {}

  std::vector<std::pair<int, BlockSpan>> computed_;

 private:
  FloatField& field_;
};

FloatField::~FloatField() = default;

void FloatField::openBands(const Split& split) {
  split_ = split;
  bands_.clear();
  if (split.bands > 1)
    for (int k = 0; k < split.bands; ++k) bands_.push_back(std::make_unique<Band>(*this));
}

FieldRows& FloatField::band(int k) {
  if (bands_.empty()) return *this;
  return *bands_[k];
}

// The blocks are recorded in band order, which is block row order, and the
// summary is made from the final field.
void FloatField::closeBands() {
  if (bands_.empty()) return;
  for (const std::unique_ptr<Band>& band : bands_)
    for (const auto& [bi, run] : band->computed_) computed_.add(bi, run.first, run.end);
  bands_.clear();
  summariseComputedQuarters(quarters_, computed_, split_);
}

// A band of a rank field: pixel rows first .. end-1, ranked through a scratch
// of its own into out (row first at out), with its own count and summary of
// its rows of quarters. Rank rows 3bi .. 3bi+2 are written when block row bi
// is done, and rows above them that no block row wrote as the 0 of +0 then
// too; the band's last rows at its end. Those bytes, read as a continuous
// image, are image rows below bi, which only block rows up to bi - 1 read
// (block row bi reads rows 3bi-1 .. 3bi+3), so the first band may write its
// ranks into the image's own buffer: its rank rows lie in image rows no
// other band reads either (band k reads image rows from 3 * first - 1 on,
// and the first band's ranks end at image row first). Every other band then
// keeps its ranks apart (in the field's apart_) until the marking.
class RankField::Band final : public FieldRows {
 public:
  // The scratch and the summary are made when the band first computes,
  // on its own thread. Where out is fresh zero pages (zeroed), the rows no
  // block row writes are left to them, untouched.
  Band(const RankField& field, int first, int end, unsigned char* out, bool zeroed)
      : field_(field), first_(first), end_(end), out_(out), zeroed_(zeroed) {}
  bool startsEmpty() const override { return true; }
  float* row(int y) override {
    if (scratch_.empty()) scratch_.assign(3 * static_cast<size_t>(field_.cols_), 0.0f);
    return scratch_.data() + static_cast<size_t>(y % 3) * field_.cols_;
  }
  // The stretches are ranked in whole vectors where the row allows: gaps
  // shorter than a vector are read through, and a stretch's end is rounded
  // up to a whole number of vectors. The cells taken in besides the
  // stretches' are +0 (the scratch outside them is never written), so their
  // ranks are the 0 already there, and they count as zeros. The summary is
  // made from the ranks as they are written, instead of in a second pass
  // over the whole field.
  void blockRowDone(int bi, const BlockRowRuns& runs) override {
    if (runs.measured.empty()) return;
    zeroUpTo(3 * bi + 3);
    if (!summary_) summary_.emplace(field_.rows_, field_.cols_, field_.boxSize_, first_, end_);
    constexpr int kVector = 8;
    const std::vector<BlockSpan>& spans = runs.measured;
    const int cols = field_.cols_;
    for (int y = 3 * bi; y < 3 * bi + 3; ++y) {
      float* const cells = row(y);
      unsigned char* const out = rankRow(y);
      for (size_t r = 0; r < spans.size();) {
        const int x0 = 3 * spans[r].first;
        int x1 = 3 * spans[r].end;
        for (++r; r < spans.size() && 3 * spans[r].first - x1 < kVector; ++r)
          x1 = 3 * spans[r].end;
        // Less than a vector more, so short of the next stretch.
        const int whole = x0 + (x1 - x0 + kVector - 1) / kVector * kVector;
        if (whole <= cols) x1 = whole;
        nonZero_ += field_.lookup_.takeRanks(cells + x0, out + x0, x1 - x0);
        summary_->add(y, out, x0, x1);
      }
    }
  }
  void finish() override { zeroUpTo(end_); }

  // The band's result, marked at index into rows first .. end-1 of the
  // buffer at ranks; the cells set to 0.
  long long markInto(unsigned char* ranks, int index) const {
    const size_t cols = static_cast<size_t>(field_.cols_);
    return markRanks(out_, ranks + first_ * cols, (end_ - first_) * cols, index);
  }

  // Once the band is over: its count, its summary raised into whole, and
  // (for a band of the whole field) its summary as the field's.
  long long nonZero() const { return nonZero_; }
  void mergeInto(RankQuarters& whole) {
    if (summary_) summary_->mergeInto(whole);
  }
  RankQuarters summary() {
    if (!summary_) summary_.emplace(field_.rows_, field_.cols_, field_.boxSize_, first_, end_);
    return summary_->finish();
  }

 private:
  unsigned char* rankRow(int y) {
    return out_ + static_cast<size_t>(y - first_) * field_.cols_;
  }
  // Sets the ranks of rows up to y (exclusive) not written yet to 0.
  void zeroUpTo(int y) {
    if (!zeroed_) std::fill(rankRow(written_), rankRow(y), static_cast<unsigned char>(0));
    written_ = y;
  }

  const RankField& field_;
  int first_, end_;
  int written_ = first_;  // rows before it hold their final ranks
  unsigned char* out_;
  bool zeroed_;
  std::vector<float> scratch_;
  std::optional<RankQuarterBuilder> summary_;
  long long nonZero_ = 0;
};

RankField::~RankField() = default;

void RankField::openBands(const Split& split) {
  split_ = split;
  bands_.clear();
  apart_.reset();
  const int bands = std::max(1, split.bands);
  const size_t cols = static_cast<size_t>(cols_);
  const int apartFrom = pixelRowsOfBand(rows_, bands, 0).end;
  if (inImage_)
    apart_ = std::make_unique<ZeroedArray<unsigned char>>((rows_ - apartFrom) * cols);
  for (int k = 0; k < bands; ++k) {
    const BandSpan rows = pixelRowsOfBand(rows_, bands, k);
    unsigned char* const out = inImage_ && k > 0
                                   ? apart_->get() + (rows.first - apartFrom) * cols
                                   : ranks_ + rows.first * cols;
    bands_.push_back(std::make_unique<Band>(*this, rows.first, rows.end, out, inImage_ && k > 0));
  }
}

FieldRows& RankField::band(int k) { return *bands_[k]; }

// The summary of one band is the field's; several are merged.
void RankField::closeBands() {
  if (bands_.size() == 1) {
    quarters_ = bands_[0]->summary();
  } else {
    quarters_ = startRankQuarters(rows_, cols_, boxSize_);
    for (const std::unique_ptr<Band>& band : bands_) band->mergeInto(quarters_);
  }
  nonZero_ = 0;
  for (const std::unique_ptr<Band>& band : bands_) nonZero_ += band->nonZero();
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
  return countBoxesReaching(quarters_, table_[index], split_);
}

MarkCounts FloatField::mark(int index, cv::Mat& result) {
  result.create(rows_, cols_, CV_8UC1);
  adviseHugePages(result.data, static_cast<size_t>(rows_) * static_cast<size_t>(cols_));
  const MarkCounts counts = markComputedField(cells_, result.ptr<unsigned char>(), rows_,
                                              cols_, table_[index], computed_, split_);
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
      boxSize_(boxSize),
      inImage_(inImage) {
  if (inImage_) {
    buffer_ = image;
  } else {
    buffer_.create(rows_, cols_, CV_8UC1);
    adviseHugePages(buffer_.data, static_cast<size_t>(rows_) * static_cast<size_t>(cols_));
  }
  ranks_ = buffer_.data;
  openBands(Split(1));
}

// Written as a field on its own, the rank field is its one band.
float* RankField::row(int y) { return bands_[0]->row(y); }
void RankField::blockRowDone(int bi, const BlockRowRuns& runs) {
  bands_[0]->blockRowDone(bi, runs);
}
void RankField::finish() {
  bands_[0]->finish();
  closeBands();
}

DimensionSamples RankField::boxCountsAt(int index) const {
  // A cell reaches entry index exactly when its rank is above index.
  return countBoxesAboveRank(quarters_, index, split_);
}

MarkCounts RankField::mark(int index, cv::Mat& result) {
  const size_t n = static_cast<size_t>(rows_) * static_cast<size_t>(cols_);
  MarkCounts counts;
  // Each band's result goes to its own rows of the buffer: from ranks
  // already there, or from those it kept apart.
  std::vector<long long> marked(bands_.size());
  forEachBand(split_, [&](int k) { marked[k] = bands_[k]->markInto(ranks_, index); });
  for (const long long m : marked) counts.marked += m;
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
