// The image header probe against files the encoders make, headers they do not
// write, and cut or malformed ones.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "image_header.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

// Probes a copy of the first size bytes in a buffer of exactly that size, so
// that the sanitizers see any read past it.
bool probe(const Bytes& bytes, size_t size, long long& width, long long& height) {
  const Bytes copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
  return contours::probeImageSize(copy.data(), copy.size(), width, height);
}

bool hasSize(const Bytes& bytes, long long w, long long h) {
  long long width = 0, height = 0;
  return probe(bytes, bytes.size(), width, height) && width == w && height == h;
}

// A field read at the wrong offset, in the wrong byte order or from the wrong
// chunk gives a wrong size or none; a length check missing or off by one
// reads past a cut file (the sanitizers tell) or takes a cut field for a
// smaller size.
TEST(ImageHeader, EncodedFilesGiveTheirSizeAndCutOnesTheirSizeOrNothing) {
  const int w = 37, h = 23;
  cv::Mat colour(h, w, CV_8UC3), grey, planes[4];
  cv::randu(colour, 0, 256);
  cv::split(colour, planes);
  grey = planes[0];
  planes[3] = cv::Mat(h, w, CV_8UC1, cv::Scalar(128));
  cv::Mat alpha;
  cv::merge(planes, 4, alpha);
  const struct {
    const char* name;
    const char* extension;
    cv::Mat image;
    std::vector<int> parameters;
  } kinds[] = {
      {"png", ".png", colour, {}},
      {"jpeg", ".jpg", colour, {}},
      {"progressive jpeg", ".jpg", colour, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}},
      {"bmp", ".bmp", colour, {}},
      {"VP8 ", ".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 80}},
      {"VP8L", ".webp", colour, {cv::IMWRITE_WEBP_QUALITY, 101}},  // lossless
      {"VP8X", ".webp", alpha, {cv::IMWRITE_WEBP_QUALITY, 80}},
      {"tiff", ".tiff", colour, {}},
      {"ppm", ".ppm", colour, {}},
      {"pgm P2", ".pgm", grey, {cv::IMWRITE_PXM_BINARY, 0}},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    Bytes bytes;
    ASSERT_TRUE(cv::imencode(kind.extension, kind.image, bytes, kind.parameters));
    EXPECT_TRUE(hasSize(bytes, w, h));
    if (std::string(kind.extension) == ".webp") {  // the chunk meant is the one made
      EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), kind.name);
    }
    for (size_t size = 0; size < bytes.size(); ++size) {
      long long width = -1, height = -1;
      if (probe(bytes, size, width, height))
        EXPECT_TRUE(width == w && height == h) << size << " bytes: " << width << "x" << height;
      else
        EXPECT_EQ(width, -1) << "changed on failure";
    }
  }
}

// Variants the encoders here do not write: a probe that takes any 0xFFCn
// marker for a frame header reads a Huffman table (DHT) as one; others know
// one TIFF byte order, one BMP header kind, bottom-up rows or PNM without
// comments only.
TEST(ImageHeader, VariantsTheEncodersHereDoNotWriteAreRead) {
  EXPECT_TRUE(hasSize({0xFF, 0xD8, 0xFF, 0xC4, 0, 7, 0, 1, 2, 3, 4,          // DHT
                       0xFF, 0xFF, 0xC0, 0, 11, 8, 0, 200, 1, 44, 1, 1, 0x11, 0},  // SOF0
                      300, 200));
  // Three entries: NewSubfileType, then ImageWidth 4464 as SHORT and
  // ImageLength 70000 as LONG.
  EXPECT_TRUE(hasSize({'M', 'M', 0, 42, 0, 0, 0, 8, 0, 3,
                       0, 254, 0, 4, 0, 0, 0, 1, 0, 0, 0, 0,
                       1, 0, 0, 3, 0, 0, 0, 1, 0x11, 0x70, 0, 0,
                       1, 1, 0, 4, 0, 0, 0, 1, 0, 1, 0x11, 0x70},
                      4464, 70000));
  EXPECT_TRUE(hasSize({'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 26, 0, 0, 0,
                       12, 0, 0, 0, 0x2C, 0x01, 0xC8, 0x00, 1, 0, 24, 0},  // core
                      300, 200));
  Bytes topDown;
  ASSERT_TRUE(cv::imencode(".bmp", cv::Mat(5, 7, CV_8UC3, cv::Scalar::all(9)), topDown));
  const std::int32_t negative = -5;
  std::memcpy(&topDown[22], &negative, 4);
  EXPECT_TRUE(hasSize(topDown, 7, 5));
  const std::string pnm = "P3\n# made by hand\n 640# width\n\t480\n255\n";
  EXPECT_TRUE(hasSize(Bytes(pnm.begin(), pnm.end()), 640, 480));
}

// Headers that give no size, or a size of zero, must not pass for an image.
TEST(ImageHeader, MalformedOrForeignDataGivesNothing) {
  const std::string pnmUnended = "P6 640 480", text = "not an image at all";
  const std::vector<Bytes> refused = {
      {0xFF, 0xD8, 0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 0x3F, 0,        // scan before frame
       0xFF, 0xC0, 0, 11, 8, 0, 200, 1, 44, 1, 1, 0x11, 0},
      {'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0},           // directory past the end
      {'I', 'I', 42, 0, 8, 0, 0, 0, 0xFF, 0xFF, 0, 1, 3, 0},     // entries past the end
      {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 26, 0, 0, 0, 12, 0, 0, 0, 0, 0, 9, 0},  // width 0
      Bytes(pnmUnended.begin(), pnmUnended.end()),
      Bytes(text.begin(), text.end())};
  for (size_t i = 0; i < refused.size(); ++i) {
    long long width = -1, height = -1;
    EXPECT_FALSE(probe(refused[i], refused[i].size(), width, height)) << "case " << i;
  }
}

}  // namespace
