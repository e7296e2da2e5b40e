// make_image SOURCE WIDTH HEIGHT OUTPUT [KIND]: a large test image made by
// this program alone (no downloads). OUTPUT's extension picks the format (JPEG
// at quality 95, WebP at quality 90). KIND says what the image is like:
//
//  photo      (default) SOURCE enlarged twice (bicubic) and tiled over
//             WIDTH x HEIGHT, every other tile mirrored so that tiles meet
//             without a seam: the detail per megapixel is about the same at
//             every size, as a cost-per-megapixel comparison needs.
//  soft       the same photograph blurred (a soft, out-of-focus photograph).
//  gradients  colour gradients with a few anti-aliased shapes on them.
//  flat       a flat-shaded graphic: overlapping flat-coloured polygons.
//  sparse     a flat graphic with little in it: a few large flat-coloured
//             shapes on a plain ground, edges drawn without anti-aliasing.
//  texture    a wood-like texture: noisy rings of slowly varying colour.
//  pattern    a geometric pattern of rotated stripes and discs.
//  document   a scanned page of text: paragraphs of dark print on slightly
//             shaded paper, a ruled table, scanner blur, grain and a small
//             skew; the print is sized to the page width, as a page scanned
//             at any resolution.
//
// Only SOURCE is read; every other kind is drawn from a fixed seed, so the
// same arguments give the same image.

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

cv::Mat tiledPhoto(const cv::Mat& source, int width, int height) {
  cv::Mat tile;
  cv::resize(source, tile, cv::Size(), 2.0, 2.0, cv::INTER_CUBIC);
  cv::Mat flippedX, flippedY, flippedXY;
  cv::flip(tile, flippedX, 1);
  cv::flip(tile, flippedY, 0);
  cv::flip(tile, flippedXY, -1);
  cv::Mat output(height, width, CV_8UC3);
  for (int top = 0, ty = 0; top < height; top += tile.rows, ++ty) {
    for (int left = 0, tx = 0; left < width; left += tile.cols, ++tx) {
      const cv::Mat& t = ty % 2 ? (tx % 2 ? flippedXY : flippedY)
                                : (tx % 2 ? flippedX : tile);
      const cv::Rect area(left, top, std::min(tile.cols, width - left),
                          std::min(tile.rows, height - top));
      t(cv::Rect(0, 0, area.width, area.height)).copyTo(output(area));
    }
  }
  return output;
}

// Smooth random field in [0, 1): a coarse random grid enlarged bicubically.
cv::Mat smoothNoise(cv::RNG& rng, int width, int height, int cells) {
  cv::Mat coarse(cells, cells * width / std::max(1, height) + 1, CV_32F);
  rng.fill(coarse, cv::RNG::UNIFORM, 0.0, 1.0);
  cv::Mat fine;
  cv::resize(coarse, fine, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
  return fine;
}

cv::Scalar randomColour(cv::RNG& rng) {
  return cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
}

cv::Mat gradients(int width, int height) {
  cv::RNG rng(11);
  cv::Mat output(height, width, CV_8UC3);
  const double cx = 0.3 * width, cy = 0.6 * height;
  for (int y = 0; y < height; ++y) {
    auto* row = output.ptr<cv::Vec3b>(y);
    for (int x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
      const double r = std::hypot(x - cx, y - cy) / std::hypot(width, height);
      row[x] = cv::Vec3b(cv::saturate_cast<uchar>(40 + 180 * u),
                         cv::saturate_cast<uchar>(220 - 150 * v),
                         cv::saturate_cast<uchar>(60 + 300 * r));
    }
  }
  const int side = std::min(width, height);
  for (int s = 0; s < 6; ++s) {
    const cv::Point centre(rng.uniform(0, width), rng.uniform(0, height));
    if (s % 2)
      cv::circle(output, centre, rng.uniform(side / 20, side / 6), randomColour(rng),
                 cv::FILLED, cv::LINE_AA);
    else
      cv::rectangle(output, cv::Rect(centre, cv::Size(rng.uniform(side / 10, side / 4),
                                                      rng.uniform(side / 10, side / 4))),
                    randomColour(rng), cv::FILLED, cv::LINE_AA);
  }
  return output;
}

cv::Mat flatGraphic(int width, int height) {
  cv::RNG rng(12);
  cv::Mat output(height, width, CV_8UC3, cv::Scalar(235, 230, 225));
  for (int s = 0; s < 40; ++s) {
    std::vector<cv::Point> polygon;
    const cv::Point centre(rng.uniform(0, width), rng.uniform(0, height));
    const int radius = rng.uniform(std::min(width, height) / 16, std::min(width, height) / 4);
    const int corners = rng.uniform(3, 8);
    for (int k = 0; k < corners; ++k) {
      const double a = 2 * CV_PI * (k + rng.uniform(0.0, 0.6)) / corners;
      polygon.emplace_back(centre.x + static_cast<int>(radius * std::cos(a)),
                           centre.y + static_cast<int>(radius * std::sin(a)));
    }
    cv::fillPoly(output, std::vector<std::vector<cv::Point>>{polygon}, randomColour(rng),
                 cv::LINE_AA);
  }
  return output;
}

cv::Mat sparseGraphic(int width, int height) {
  cv::RNG rng(15);
  cv::Mat output(height, width, CV_8UC3, cv::Scalar(245, 242, 238));
  const int side = std::min(width, height);
  for (int s = 0; s < 5; ++s) {
    const cv::Point centre(rng.uniform(side / 4, width - side / 4),
                           rng.uniform(side / 4, height - side / 4));
    const int radius = rng.uniform(side / 10, side / 5);
    if (s % 2) {
      cv::circle(output, centre, radius, randomColour(rng), cv::FILLED, cv::LINE_8);
    } else {
      const cv::Point corner(radius, radius * 2 / 3);
      cv::rectangle(output, centre - corner, centre + corner, randomColour(rng), cv::FILLED,
                    cv::LINE_8);
    }
  }
  return output;
}

cv::Mat document(int width, int height) {
  cv::RNG rng(14);
  // Paper: off-white, with the slow shading of a scan.
  const cv::Mat shade = smoothNoise(rng, width, height, 4);
  cv::Mat page(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    auto* row = page.ptr<cv::Vec3b>(y);
    const float* s = shade.ptr<float>(y);
    for (int x = 0; x < width; ++x) {
      const double paper = 236 + 12 * s[x];
      row[x] = cv::Vec3b(cv::saturate_cast<uchar>(paper - 6), cv::saturate_cast<uchar>(paper - 2),
                         cv::saturate_cast<uchar>(paper));
    }
  }
  // Print: lines of made-up words, in paragraphs with ragged right edges,
  // a heading, and a ruled table after the third paragraph.
  const cv::Scalar ink(48, 36, 30);
  const double lineHeight = width / 58.0;            // about 10-point text
  const double scale = lineHeight / 55.0;            // Hershey glyphs are ~22 units high at 1.0
  const int thickness = std::max(1, static_cast<int>(std::lround(lineHeight / 22.0)));
  const int margin = width / 10, right = width - margin;
  const auto word = [&] {
    std::string w;
    const int letters = rng.uniform(1, 11);
    for (int k = 0; k < letters; ++k) w += static_cast<char>('a' + rng.uniform(0, 26));
    return w;
  };
  double y = margin;
  cv::putText(page, "Quarterly report " + word(), cv::Point(margin, static_cast<int>(y)),
              cv::FONT_HERSHEY_DUPLEX, scale * 2, ink, thickness * 2, cv::LINE_AA);
  y += 2.5 * lineHeight;
  int paragraph = 0;
  while (y < height - margin) {
    if (paragraph == 3) {  // a table of 6 rows and 4 columns
      const int rowHeight = static_cast<int>(lineHeight * 1.4), tableWidth = right - margin;
      for (int r = 0; r <= 6 && y < height - margin; ++r, y += rowHeight) {
        cv::line(page, cv::Point(margin, static_cast<int>(y)),
                 cv::Point(right, static_cast<int>(y)), ink, thickness, cv::LINE_AA);
        if (r == 6) break;
        for (int c = 0; c < 4; ++c)
          cv::putText(page, c == 0 ? word() : std::to_string(rng.uniform(100, 99999)),
                      cv::Point(margin + c * tableWidth / 4 + thickness * 4,
                                static_cast<int>(y + rowHeight * 0.75)),
                      cv::FONT_HERSHEY_SIMPLEX, scale, ink, thickness, cv::LINE_AA);
      }
      y += lineHeight;
    }
    const int lines = rng.uniform(3, 9);
    for (int l = 0; l < lines && y < height - margin; ++l, y += lineHeight) {
      const int end = l == lines - 1 ? rng.uniform(margin + width / 5, right) : right;
      int x = margin + (l == 0 ? width / 30 : 0);
      while (true) {
        const std::string w = word();
        int baseline = 0;
        const cv::Size size = cv::getTextSize(w, cv::FONT_HERSHEY_SIMPLEX, scale, thickness,
                                              &baseline);
        if (x + size.width > end) break;
        cv::putText(page, w, cv::Point(x, static_cast<int>(y)), cv::FONT_HERSHEY_SIMPLEX,
                    scale, ink, thickness, cv::LINE_AA);
        x += size.width + static_cast<int>(lineHeight * 0.35);
      }
    }
    y += 0.6 * lineHeight;
    ++paragraph;
  }
  // The scan: a slight skew, the optics' blur and the sensor's grain.
  const cv::Mat skew = cv::getRotationMatrix2D(cv::Point2f(width / 2.0f, height / 2.0f), 0.4, 1.0);
  cv::warpAffine(page, page, skew, page.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::GaussianBlur(page, page, cv::Size(), std::max(0.5, width / 3500.0));
  cv::Mat grain(height, width, CV_16SC3);
  rng.fill(grain, cv::RNG::NORMAL, 0, 3);
  cv::Mat noisy;
  page.convertTo(noisy, CV_16SC3);
  noisy += grain;
  noisy.convertTo(page, CV_8UC3);
  return page;
}

cv::Mat texture(int width, int height) {
  cv::RNG rng(13);
  const cv::Mat warp = smoothNoise(rng, width, height, 12);
  const cv::Mat grain = smoothNoise(rng, width, height, std::max(8, height / 6));
  cv::Mat output(height, width, CV_8UC3);
  const double cx = 0.5 * width, cy = -0.8 * height;
  for (int y = 0; y < height; ++y) {
    auto* row = output.ptr<cv::Vec3b>(y);
    const float* w = warp.ptr<float>(y);
    const float* g = grain.ptr<float>(y);
    for (int x = 0; x < width; ++x) {
      const double r = std::hypot(x - cx, (y - cy) * 0.3) / (0.01 * height) + 6.0 * w[x];
      const double ring = 0.5 + 0.5 * std::sin(r);
      const double shade = 0.75 + 0.25 * ring - 0.15 * g[x];
      row[x] = cv::Vec3b(cv::saturate_cast<uchar>(60 * shade),
                         cv::saturate_cast<uchar>(120 * shade),
                         cv::saturate_cast<uchar>(190 * shade));
    }
  }
  return output;
}

cv::Mat pattern(int width, int height) {
  cv::Mat output(height, width, CV_8UC3);
  const double period = std::max(24.0, height / 40.0), a = 0.4;
  for (int y = 0; y < height; ++y) {
    auto* row = output.ptr<cv::Vec3b>(y);
    for (int x = 0; x < width; ++x) {
      const double s = (x * std::cos(a) + y * std::sin(a)) / period;
      const double t = (-x * std::sin(a) + y * std::cos(a)) / period;
      const bool stripe = static_cast<long>(std::floor(s)) % 2 == 0;
      const double fx = s - std::floor(s) - 0.5, fy = t - std::floor(t) - 0.5;
      const bool disc = fx * fx + fy * fy < 0.09;
      row[x] = disc ? cv::Vec3b(30, 160, 230)
                    : stripe ? cv::Vec3b(200, 90, 40) : cv::Vec3b(240, 240, 235);
    }
  }
  return output;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::cout << "usage: make_image SOURCE WIDTH HEIGHT OUTPUT [KIND]" << std::endl;
    return 2;
  }
  const int width = std::atoi(argv[2]);
  const int height = std::atoi(argv[3]);
  const std::string kind = argc == 6 ? argv[5] : "photo";
  if (width <= 0 || height <= 0) {
    std::cout << "bad size" << std::endl;
    return 2;
  }
  cv::Mat output;
  if (kind == "photo" || kind == "soft") {
    const cv::Mat source = cv::imread(argv[1], cv::IMREAD_COLOR);
    if (source.empty()) {
      std::cout << "cannot read " << argv[1] << std::endl;
      return 2;
    }
    output = tiledPhoto(source, width, height);
    if (kind == "soft") cv::GaussianBlur(output, output, cv::Size(), 3.0);
  } else if (kind == "gradients") {
    output = gradients(width, height);
  } else if (kind == "flat") {
    output = flatGraphic(width, height);
  } else if (kind == "sparse") {
    output = sparseGraphic(width, height);
  } else if (kind == "document") {
    output = document(width, height);
  } else if (kind == "texture") {
    output = texture(width, height);
  } else if (kind == "pattern") {
    output = pattern(width, height);
  } else {
    std::cout << "unknown kind " << kind << std::endl;
    return 2;
  }
  const std::vector<int> params = {cv::IMWRITE_JPEG_QUALITY, 95, cv::IMWRITE_WEBP_QUALITY, 90};
  return cv::imwrite(argv[4], output, params) ? 0 : 1;
}
