#include "refinement/fine_stage.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include <contours/refinement.hpp>

#include "refinement/candidate_runs.hpp"
#include "refinement/pixel_measure.hpp"
#include "support/bands.hpp"

namespace contours {

namespace {

// On a field that starts empty, runs at most kJoinedGap blocks apart are
// measured as one, their gap's cells set back to +0 afterwards: the measure
// of a few blocks costs less than a stretch's own steps (its calls, its last
// vector, its stretch of ranks and of the summary) where the runs are short.
constexpr int kJoinedGap = 4;

void joinShortGaps(const std::vector<BlockSpan>& near, BlockRowRuns& runs) {
  for (const BlockSpan& run : near) {
    runs.computed.push_back(run);
    if (!runs.measured.empty() && run.first - runs.measured.back().end <= kJoinedGap) {
      runs.gaps.push_back({runs.measured.back().end, run.first});
      runs.measured.back().end = run.end;
    } else {
      runs.measured.push_back(run);
    }
  }
}

// The blocks of the runs whose first cell (in markerRow, the block row's
// first pixel row) is 0, which are not computed yet: a computed measure is
// never 0 (NaN counts as computed).
void keepUncomputed(const std::vector<BlockSpan>& near, const float* markerRow,
                    BlockRowRuns& runs) {
  for (const BlockSpan& run : near)
    for (int bj = run.first; bj < run.end;) {
      if (markerRow[3 * bj] != 0.0f) {
        ++bj;
        continue;
      }
      const int first = bj;
      while (bj < run.end && markerRow[3 * bj] == 0.0f) ++bj;
      runs.computed.push_back({first, bj});
    }
  runs.measured = runs.computed;
}

// A whole float field of W columns, which may hold computed blocks already.
class WholeField final : public FieldRows {
 public:
  WholeField(float* cells, int W) : cells_(cells), W_(W) {}
  bool startsEmpty() const override { return false; }
  float* row(int y) override { return cells_ + static_cast<size_t>(y) * W_; }
  void blockRowDone(int, const BlockRowRuns&) override {}
  void finish() override {}

 private:
  float* cells_;
  int W_;
};

}  // namespace

void fineStage(FineSurface& surface, const float* mask1, const float* mask2, int n,
               const unsigned char* blockMask, int blockRows, int blockCols, int W,
               FieldRows& field) {
  fineStage(surface, mask1, mask2, n, blockMask, blockRows, blockCols, W, field, 0,
            blockRows);
}

void fineStage(FineSurface& surface, const float* mask1, const float* mask2, int n,
               const unsigned char* blockMask, int blockRows, int blockCols, int W,
               FieldRows& field, int firstBlockRow, int endBlockRow) {
  // A block's cells depend on the surface and the masks only, and only its own
  // computation changes its first cell. Visiting the candidates one by one and
  // computing each neighbour whose first cell is still 0 therefore gives the
  // same field as computing, once, every block of the union of the candidates'
  // neighbourhoods whose first cell is 0 on entry. That union is found row of
  // blocks by row of blocks, and its runs of adjacent blocks are computed a
  // whole pixel row at a time. Computing a run writes only its own blocks'
  // cells, so the runs of a block row may all be found before any is
  // computed; and a block row writes only its own pixel rows.
  if (blockRows >= 5 && blockCols >= 5) {
    const PixelMeasure measure(mask1, mask2, n, surface.finite());
    CandidateRuns candidates(blockMask, blockRows, blockCols);
    const bool empty = field.startsEmpty();
    BlockRowRuns runs;
    const int last = std::min(blockRows - 2, endBlockRow - 1);
    for (int bi = std::max(1, firstBlockRow); bi <= last; ++bi) {
      runs.clear();
      if (empty)
        joinShortGaps(candidates.near(bi), runs);
      else
        keepUncomputed(candidates.near(bi), field.row(3 * bi), runs);
      if (!runs.measured.empty()) {
        const SurfaceRows rows = surface.rowsFor(bi, runs.measured);
        float* const out[3] = {field.row(3 * bi), field.row(3 * bi + 1), field.row(3 * bi + 2)};
        for (const BlockSpan& stretch : runs.measured)
          for (int k = 0; k < 3; ++k)
            measure.row(rows, 3 * bi + k, 3 * stretch.first, 3 * stretch.end, W, out[k]);
        for (const BlockSpan& gap : runs.gaps)
          for (int k = 0; k < 3; ++k)
            std::fill(out[k] + 3 * gap.first, out[k] + 3 * gap.end, 0.0f);
      }
      field.blockRowDone(bi, runs);
    }
  }
  field.finish();
}

void fineStage(const cv::Mat& image, const float* mask1, const float* mask2,
               const unsigned char* blockMask, int blockRows, int blockCols,
               BandedFieldRows& field, const Split& split) {
  const Split bands = split.atMost(blockRows);
  field.openBands(bands);
  // A surface a thread, made on that thread and kept for the bands it runs:
  // it holds the rows it has made by their image row, whichever band made
  // them.
  std::vector<std::unique_ptr<ImageSurface>> surfaces(static_cast<size_t>(bands.threads));
  forEachBand(bands, [&](int k, int thread) {
    const BandSpan rows = bandSpan(blockRows, bands.bands, k);
    std::unique_ptr<ImageSurface>& surface = surfaces[static_cast<size_t>(thread)];
    if (!surface) surface = std::make_unique<ImageSurface>(image);
    fineStage(*surface, mask1, mask2, 3, blockMask, blockRows, blockCols, image.cols,
              field.band(k), rows.first, rows.end);
  });
  field.closeBands();
}

void calcFineContours(float* field, const unsigned char* blockMask,
                      const float* const* const* pixelPlanes, const float* mask1,
                      const float* mask2, int blockRows, int blockCols, int W, int n) {
  StoredSurface surface(pixelPlanes);
  WholeField whole(field, W);
  fineStage(surface, mask1, mask2, n, blockMask, blockRows, blockCols, W, whole);
}

}  // namespace contours
