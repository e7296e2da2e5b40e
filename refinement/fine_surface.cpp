#include "refinement/fine_surface.hpp"

#include <algorithm>
#include <cstring>

#include "surface/surface_rows.hpp"

namespace contours {

// Block row bi reads surface rows 3bi-1 .. 3bi+3: five consecutive rows,
// kept in five slots (row y in slot y mod 5) and made when first needed, so
// that each row is made once. The row tables point at the slots.
//
// A pixel row reads nine of these rows side by side. Were they a multiple of
// 4 KiB apart, as with widths that are multiples of 1024, they would all
// fall into the same sets of the first-level cache and evict each other; so
// the distance between rows is a whole number of vectors and an odd number
// of cache lines modulo 4 KiB, which puts up to 64 rows in different sets.
//
// A row is made only in the columns the stretches of blocks read, in pieces
// of kPiece columns, each made once: where few blocks are computed, few
// surface points are made. Gaps of up to kGap pieces between pieces a block
// row needs are made too, so that a row is made in long stretches.
//
// The row tables hold only the five rows of the block row being computed,
// surface row 3bi-1+k at k; and the slots are allocated when a first block
// row is computed. An image too thin to have any (a few rows or columns)
// costs nothing here.
ImageSurface::ImageSurface(const cv::Mat& image)
    : image_(image),
      madeColumns_(3 * (image.cols / 3)),
      pieces_((madeColumns_ + kPiece - 1) / kPiece),
      rowLength_((static_cast<size_t>(image.cols) + kMeasureLanes - 1) / kMeasureLanes *
                 kMeasureLanes) {
  while (rowLength_ * sizeof(float) / 64 % 2 == 0) rowLength_ += kMeasureLanes;
}

SurfaceRows ImageSurface::rowsFor(int bi, const std::vector<BlockSpan>& stretches) {
  if (slots_.empty()) {
    slots_.resize(3 * 5 * rowLength_);
    made_.resize(5 * static_cast<size_t>(pieces_));
    needed_.resize(static_cast<size_t>(pieces_));
  }
  // The cells kept read columns 3*first-1 .. 3*end (below madeColumns). A
  // vector of a short stretch may read further, into lanes whose cells are
  // dropped (see PixelMeasure::row): those may hold anything.
  std::fill(needed_.begin(), needed_.end(), 0);
  int lastNeeded = -1;
  for (const BlockSpan& stretch : stretches) {
    const int from = (3 * stretch.first - 1) / kPiece, to = 3 * stretch.end / kPiece;
    const int start = lastNeeded >= 0 && from - lastNeeded <= kGap + 1 ? lastNeeded : from;
    std::fill(needed_.begin() + start, needed_.begin() + to + 1, 1);
    lastNeeded = to;
  }
  for (int y = 3 * bi - 1; y <= 3 * bi + 3; ++y) {
    const int slot = y % 5;
    float* rows = slots_.data() + static_cast<size_t>(slot) * 3 * rowLength_;
    unsigned char* const slotMade = made_.data() + static_cast<size_t>(slot) * pieces_;
    if (slotRow_[slot] != y) {
      std::memset(slotMade, 0, static_cast<size_t>(pieces_));
      slotRow_[slot] = y;
    }
    for (int p = 0; p < 3; ++p) rowTables_[p][y - (3 * bi - 1)] = rows + p * rowLength_;
    for (int piece = 0; piece < pieces_;) {
      if (!needed_[piece] || slotMade[piece]) {
        ++piece;
        continue;
      }
      const int start = piece;
      while (piece < pieces_ && needed_[piece] && !slotMade[piece]) slotMade[piece++] = 1;
      surfaceRowPart(image_, y, start * kPiece, std::min(madeColumns_, piece * kPiece), rows,
                     rows + rowLength_, rows + 2 * rowLength_);
    }
  }
  // The block row after next makes rows 3bi+7 .. 3bi+9, mostly in the
  // columns this one needs. Their image bytes were last read by the surface
  // pass and have long left the caches: asked for now, they arrive while
  // this block row and the next are measured. (A prefetch never faults.)
  // The processor's own prefetching, which only starts once a row is being
  // read, leaves the first reads of each row waiting.
  for (int y = 3 * bi + 7; y <= std::min(3 * bi + 9, image_.rows - 1); ++y) {
    const unsigned char* const bgr = image_.ptr<unsigned char>(y);
    for (int piece = 0; piece < pieces_; ++piece) {
      if (!needed_[piece]) continue;
      const int end = 3 * std::min(madeColumns_, (piece + 1) * kPiece);
      for (int b = 3 * piece * kPiece; b < end; b += 64) __builtin_prefetch(bgr + b);
    }
  }
  return {{rowTables_[0], rowTables_[1], rowTables_[2]}, 3 * bi - 1};
}

}  // namespace contours
