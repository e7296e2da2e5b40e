// Reading input images: a file cut short is a read error in every format
// rather than a picture completed with grey, harmless damage still decodes,
// and a FIFO is read once, like a file, and its wait can be broken off.

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "cli_runner.hpp"
#include "image_file.hpp"

namespace {

using Bytes = std::vector<unsigned char>;
using clirunner::TempDir;

// A colour pattern with edges and noise, so that every encoder spends bytes
// on every row and a cut anywhere loses pixels.
cv::Mat pattern() {
  cv::Mat image(96, 128, CV_8UC3);
  cv::randu(image, 0, 256);
  for (int y = 0; y < image.rows; ++y)
    for (int x = 0; x < image.cols; ++x)
      if ((x / 16 + y / 16) % 2) image.at<cv::Vec3b>(y, x) = cv::Vec3b(20, 200, 90);
  return image;
}

contours::ReadResult decode(const Bytes& bytes) {
  return contours::decodeImage(bytes.data(), bytes.size());
}

bool samePixels(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

struct Encoding {
  const char* name;
  const char* extension;
  std::vector<int> parameters;
};

const Encoding kEncodings[] = {
    {"Jpeg", ".jpg", {}},
    {"ProgressiveJpeg", ".jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1}},
    {"JpegWithRestartMarkers", ".jpg", {cv::IMWRITE_JPEG_RST_INTERVAL, 2}},
    {"Png", ".png", {}},
    {"Webp", ".webp", {}},
    {"Tiff", ".tiff", {}},
    {"Bmp", ".bmp", {}},
};

// Whatever the length a download stopped at, the file is either refused or
// gives every pixel of the whole file: never success with rows made up.
TEST(TruncatedImage, EveryCutIsRefusedOrDecodesToTheWholePicture) {
  const cv::Mat image = pattern();
  for (const Encoding& encoding : kEncodings) {
    SCOPED_TRACE(encoding.name);
    Bytes whole;
    ASSERT_TRUE(cv::imencode(encoding.extension, image, whole, encoding.parameters));
    const contours::ReadResult full = decode(whole);
    ASSERT_EQ(full.status, contours::ReadStatus::Ok);
    int refused = 0;
    for (size_t cut = 1; cut < whole.size(); cut += 1 + whole.size() / 97) {
      SCOPED_TRACE(cut);
      const contours::ReadResult read = decode(Bytes(whole.begin(), whole.begin() + cut));
      if (read.status == contours::ReadStatus::Unreadable) {
        ++refused;
        EXPECT_TRUE(read.image.empty());
      } else {
        ASSERT_EQ(read.status, contours::ReadStatus::Ok);
        EXPECT_TRUE(samePixels(read.image, full.image));
      }
    }
    EXPECT_GT(refused, 90);  // cuts in the pixel data are caught, not skipped
  }
}

// Damage that leaves every pixel in place stays accepted: bytes between
// segments (the decoder warns and skips them), data after the end marker.
TEST(TruncatedImage, JpegWithStrayBytesOrTrailingDataStillDecodes) {
  Bytes whole;
  ASSERT_TRUE(cv::imencode(".jpg", pattern(), whole));
  const cv::Mat expected = decode(whole).image;
  ASSERT_FALSE(expected.empty());

  Bytes stray = whole;
  stray.insert(stray.end() - 2, {0x12, 0x34, 0x56});  // before the end marker
  Bytes trailing = whole;
  trailing.insert(trailing.end(), 1000, 0);
  for (const Bytes& bytes : {stray, trailing}) {
    const contours::ReadResult read = decode(bytes);
    ASSERT_EQ(read.status, contours::ReadStatus::Ok);
    EXPECT_TRUE(samePixels(read.image, expected));
  }
}

// A FIFO can be opened once only: a reader that opened it twice (once to find
// the decoder, once to decode) waited for ever for a writer that had gone.
TEST(ReadOnce, FifoGivesTheSamePixelsAsTheFile) {
  TempDir dir;
  Bytes png;
  ASSERT_TRUE(cv::imencode(".png", pattern(), png));
  const std::string file = (dir / "image.png").string();
  const std::string fifo = (dir / "fifo").string();
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    std::ofstream out(fifo, std::ios::binary);
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  });
  const contours::ReadResult fromFifo = contours::readImage(fifo.c_str());
  writer.join();
  const contours::ReadResult fromFile = contours::readImage(file.c_str());
  ASSERT_EQ(fromFifo.status, contours::ReadStatus::Ok);
  ASSERT_EQ(fromFile.status, contours::ReadStatus::Ok);
  EXPECT_TRUE(samePixels(fromFifo.image, fromFile.image));
}

// A FIFO nobody writes to keeps the reader waiting; a signal asks the caller
// (Python, for Ctrl-C) whether to go on, and a no ends the wait.
TEST(ReadOnce, WaitForAWriterEndsWhenTheCallerSaysStop) {
  TempDir dir;
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct sigaction action {};
  action.sa_handler = [](int) {};  // no SA_RESTART: the wait is interrupted
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

  std::atomic<int> asked{0};
  const pthread_t reader = ::pthread_self();
  std::atomic<bool> done{false};
  std::thread signaller([&] {
    while (!done.load()) {
      ::pthread_kill(reader, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const contours::ReadResult read = contours::readImage(fifo.c_str(), [&] {
    return ++asked < 3;
  });
  done = true;
  signaller.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_EQ(read.status, contours::ReadStatus::Interrupted);
  EXPECT_EQ(asked.load(), 3);
}

TEST(ReadOnce, FailedOpenKeepsItsErrno) {
  TempDir dir;
  EXPECT_EQ(contours::readImage((dir / "missing.png").c_str()).errorNumber, ENOENT);
  EXPECT_EQ(contours::readImage(dir.path().c_str()).errorNumber, EISDIR);
}

}  // namespace
