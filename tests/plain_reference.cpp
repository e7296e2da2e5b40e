#include "plain_reference.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include <contours/refinement.hpp>
#include "refinement/mask_family.hpp"
#include "test_support.hpp"

namespace plain {

void processImage(const cv::Mat& image, float* blockField, float*** pixelPlanes,
                  float*** blockPlanes, int* histogram, int H, int W, int bins) {
  const float k6 = static_cast<float>(1.0 / std::sqrt(6.0));
  const float k2 = static_cast<float>(1.0 / std::sqrt(2.0));
  const float k3 = static_cast<float>(1.0 / std::sqrt(3.0));
  const int blockRows = H / 3;
  const int blockCols = W / 3;

  for (int bj = 0; bj < blockRows; ++bj) {
    for (int bk = 0; bk < blockCols; ++bk) {
      float S0 = 0.0f, S1 = 0.0f, S2 = 0.0f;
      for (int y = 3 * bj; y < 3 * bj + 3; ++y) {
        for (int x = 3 * bk; x < 3 * bk + 3; ++x) {
          const cv::Vec3b& bgr = image.at<cv::Vec3b>(y, x);
          const int c0 = 255 - bgr[0];
          const int c1 = 255 - bgr[1];
          const int c2 = 255 - bgr[2];
          S0 += static_cast<float>(c0);
          S1 += static_cast<float>(c1);
          S2 += static_cast<float>(c2);
          pixelPlanes[0][y][x] = static_cast<float>(20 * y) +
                                 static_cast<float>(c1 + c2 - 2 * c0) * k6;
          pixelPlanes[1][y][x] = static_cast<float>(20 * x) +
                                 static_cast<float>(c1 - c2) * k2;
          pixelPlanes[2][y][x] = static_cast<float>(c0 + c1 + c2) * k3;
        }
      }
      const int a0 = static_cast<int>(S0 / 9.0f);
      const int a1 = static_cast<int>(S1 / 9.0f);
      const int a2 = static_cast<int>(S2 / 9.0f);
      blockPlanes[0][bj][bk] = static_cast<float>(20 * (3 * bj)) +
                               static_cast<float>(a1 + a2 - 2 * a0) * k6;
      blockPlanes[1][bj][bk] = static_cast<float>(20 * (3 * bk)) +
                               static_cast<float>(a1 - a2) * k2;
      blockPlanes[2][bj][bk] = static_cast<float>(a0 + a1 + a2) * k3;
    }
  }

  float u[3], w[3];
  for (int j = 0; j < blockRows - 2; ++j) {
    for (int k = 0; k < blockCols - 2; ++k) {
      for (int l = 0; l < 3; ++l) {
        w[l] = (blockPlanes[l][j + 1][k] - blockPlanes[l][j][k]) * 3.0f;
        u[l] = (blockPlanes[l][j][k + 1] - blockPlanes[l][j][k]) * 3.0f;
      }
      const float E = (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
      const float F = (u[0] * w[0] + u[1] * w[1]) + u[2] * w[2];
      const float G = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
      const float d = G * E - F * F;
      const float t = G + E;
      const float m = (t * t) / d;
      blockField[j * blockCols + k] = m;
      if (m > -1.0f && m < static_cast<float>(bins)) ++histogram[static_cast<int>(m)];
    }
  }
}

void preparingFineContours(int bi, int bj, float*** P, float* field,
                           const float* mask1, const float* mask2, int W, int n) {
  const int half = n / 2;
  for (int row = 3 * bi; row < 3 * bi + 3; ++row) {
    for (int col = 3 * bj; col < 3 * bj + 3; ++col) {
      float u[3] = {0.0f, 0.0f, 0.0f};
      float w[3] = {0.0f, 0.0f, 0.0f};
      for (int k = 0; k < n; ++k) {
        for (int l = 0; l < n; ++l) {
          const int y = row + k - half;
          const int x = col + l - half;
          for (int p = 0; p < 3; ++p) u[p] = P[p][y][x] * mask1[k * n + l] + u[p];
          for (int p = 0; p < 3; ++p) w[p] = P[p][y][x] * mask2[k * n + l] + w[p];
        }
      }
      const float E = (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
      const float F = (u[0] * w[0] + u[1] * w[1]) + u[2] * w[2];
      const float G = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
      const float d = G * E - F * F;
      const float t = G + E;
      field[row * W + col] = (t * t) / d;
    }
  }
}

namespace {

bool squareQualifies(const float* field, int cols, int top, int left, int size,
                     float threshold) {
  for (int i = top; i < top + size; ++i)
    for (int j = left; j < left + size; ++j)
      if (field[i * cols + j] >= threshold) return true;
  return false;
}

float dimensionAt(const float* field, int rows, int cols, float threshold,
                  int boxSize) {
  const contours::DimensionSamples samples =
      BowCountingDimension(field, rows, cols, threshold, boxSize);
  std::vector<float> values, keys;
  for (const auto& [key, value] : samples) {
    values.push_back(value);
    keys.push_back(key);
  }
  return contours::NormalEquations2d(values, keys)[0];
}

}  // namespace

void calcFineContours(float* field, const unsigned char* blockMask,
                      float*** pixelPlanes, const float* mask1, const float* mask2,
                      int blockRows, int blockCols, int W, int n) {
  for (int i = 2; i < blockRows - 2; ++i)
    for (int j = 2; j < blockCols - 2; ++j) {
      if (blockMask[i * blockCols + j] == 255) continue;
      for (int bi = i - 1; bi <= i + 1; ++bi)
        for (int bj = j - 1; bj <= j + 1; ++bj)
          if (field[3 * (bi * W + bj)] == 0.0f)
            preparingFineContours(bi, bj, pixelPlanes, field, mask1, mask2, W, n);
    }
}

contours::DimensionSamples BowCountingDimension(const float* field, int rows,
                                                int cols, float threshold,
                                                int boxSize) {
  const int s = boxSize, h = s / 2;
  int N1 = 0, N2 = 0;
  for (int u = 0; u < rows / s; ++u)
    for (int v = 0; v < cols / s; ++v) {
      if (!squareQualifies(field, cols, u * s, v * s, s, threshold)) continue;
      ++N1;
      for (int p = 0; p < 2; ++p)
        for (int q = 0; q < 2; ++q)
          N2 += squareQualifies(field, cols, u * s + p * h, v * s + q * h, h, threshold);
    }
  contours::DimensionSamples samples;
  samples.emplace(static_cast<float>(std::log(1.0 / s)),
                  static_cast<float>(std::log(static_cast<double>(N1))));
  samples.emplace(static_cast<float>(std::log(1.0 / h)),
                  static_cast<float>(std::log(static_cast<double>(N2))));
  return samples;
}

void fixLastSegment(const float* field, unsigned char* mask, int rows, int cols,
                    float threshold) {
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j)
      if (field[i * cols + j] >= threshold) mask[i * cols + j] = 0;
}

contours::SearchRecord thresholdSearch(const float* field, int rows, int cols,
                                       const float* quantileTable, int bins,
                                       float target, float tolerance,
                                       double startFraction, int boxSize,
                                       unsigned char* mask) {
  contours::SearchRecord record;
  auto evaluate = [&](int index) {
    const float threshold = quantileTable[index];
    const float D = dimensionAt(field, rows, cols, threshold, boxSize);
    record.evaluations.push_back({index, threshold, D});
    return D;
  };
  int lo = 0, hi = bins - 1;
  int mid = static_cast<int>(bins * startFraction);
  float D = evaluate(mid);
  for (int step = 0; std::fabs(D - target) > tolerance && step <= 4;) {
    ++step;
    if (D > target)
      lo = mid;
    else
      hi = mid;
    mid = static_cast<int>(static_cast<double>(lo + hi) * 0.5);
    D = evaluate(mid);
  }
  record.index = mid;
  record.threshold = quantileTable[mid];
  fixLastSegment(field, mask, rows, cols, record.threshold);
  return record;
}

unsigned char rankOf(const float* table, float v) {
  unsigned r = 0;
  for (unsigned step = 128; step != 0; step >>= 1)
    r += table[r + step - 1] <= v ? step : 0;
  return static_cast<unsigned char>(r);
}

contours::RankQuarters summariseRankQuarters(const unsigned char* ranks, int rows,
                                             int cols, int boxSize) {
  contours::RankQuarters quarters = contours::startRankQuarters(rows, cols, boxSize);
  const int h = boxSize / 2;
  for (int qr = 0; qr < quarters.quarterRows; ++qr)
    for (int qc = 0; qc < quarters.quarterCols; ++qc) {
      unsigned char q = 0;
      for (int i = qr * h; i < qr * h + h; ++i)
        for (int j = qc * h; j < qc * h + h; ++j) q = std::max(q, ranks[i * cols + j]);
      quarters.maxima[qr * quarters.quarterCols + qc] = q;
    }
  return quarters;
}

Analysis analyse(const cv::Mat& image) {
  using namespace contours;
  Analysis out;
  const int H = image.rows, W = image.cols;
  const int blockRows = H / 3, blockCols = W / 3;
  testsupport::Planes pixelPlanes(H, W, 0.0f), blockPlanes(blockRows, blockCols, 0.0f);
  std::vector<float> blockField(static_cast<size_t>(blockRows) * blockCols, 0.0f);
  std::vector<unsigned char> blockMask(blockField.size(), 255);

  processImage(image, blockField.data(), pixelPlanes.get(), blockPlanes.get(),
               out.histogram.data(), H, W, kBins);
  buildQuantileTable(out.histogram.data(), out.quantileTable.data(), kBins);
  out.blockSearch = thresholdSearch(blockField.data(), blockRows, blockCols,
                                    out.quantileTable.data(), kBins, kBlockTarget,
                                    kBlockTolerance, kBlockStartFraction, kBoxSize,
                                    blockMask.data());

  DerivativeMasks masks = derivativeMasks(kMaskSize);
  std::vector<float> pixelField(static_cast<size_t>(H) * W, 0.0f);
  out.result.assign(pixelField.size(), 255);
  calcFineContours(pixelField.data(), blockMask.data(), pixelPlanes.get(),
                   masks.d1.data(), masks.d2.data(),
                   blockRows, blockCols, W, 3);
  out.pixelSearch = thresholdSearch(pixelField.data(), H, W, out.quantileTable.data(),
                                    kBins, kPixelTarget, kPixelTolerance,
                                    kPixelStartFraction, kBoxSize, out.result.data());
  return out;
}

}  // namespace plain
