#include "surface.hpp"

#include <cmath>

namespace contours {

void processImage(const cv::Mat& image, float* blockField, float*** pixelPlanes,
                  float*** blockPlanes, int* histogram, int H, int W, int bins) {
  // Projection factors: 1/sqrt(n) in double, rounded once to float.
  const float k6 = static_cast<float>(1.0 / std::sqrt(6.0));
  const float k2 = static_cast<float>(1.0 / std::sqrt(2.0));
  const float k3 = static_cast<float>(1.0 / std::sqrt(3.0));

  const int blockRows = H / 3;
  const int blockCols = W / 3;

  // Block pass: every pixel of a complete block is read once; its surface
  // point and its block's colour sums come from the same visit.
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
      // The sums are whole numbers in 0..2295, so the float quotient
      // truncates to the integer quotient.
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

  // Measure pass: forward differences between neighbouring blocks.
  float u[3], w[3];
  float metric[2][2];
  const float binLimit = static_cast<float>(bins);
  for (int j = 0; j < blockRows - 2; ++j) {
    for (int k = 0; k < blockCols - 2; ++k) {
      for (int l = 0; l < 3; ++l) {
        w[l] = (blockPlanes[l][j + 1][k] - blockPlanes[l][j][k]) * 3.0f;
        u[l] = (blockPlanes[l][j][k + 1] - blockPlanes[l][j][k]) * 3.0f;
      }
      metric[0][0] = (u[0] * u[0] + u[1] * u[1]) + u[2] * u[2];
      metric[0][1] = (u[0] * w[0] + u[1] * w[1]) + u[2] * w[2];
      metric[1][0] = metric[0][1];
      metric[1][1] = (w[0] * w[0] + w[1] * w[1]) + w[2] * w[2];
      const float E = metric[0][0], F = metric[0][1], G = metric[1][1];
      const float d = G * E - F * F;
      const float t = G + E;
      const float m = (t * t) / d;
      blockField[j * blockCols + k] = m;
      // Range test in float before any conversion: m may be NaN or infinite
      // on degenerate blocks. Values in (-1, 0) truncate to bin 0.
      if (m > -1.0f && m < binLimit) ++histogram[static_cast<int>(m)];
    }
  }
}

}  // namespace contours
