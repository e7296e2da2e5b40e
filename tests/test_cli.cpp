// End to end: the command line, its console contract, its exit statuses and
// the result file, run as a user would in a working directory of its own.

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <contours/version.hpp>

#include "cli_runner.hpp"
#include "result_file.hpp"

namespace {

namespace fs = std::filesystem;
using clirunner::TempDir;

const std::string kExe = CONTOURS_EXE;
const std::string kBatch = CONTOURS_BATCH_EXE;
const std::string kData = CONTOURS_TEST_DATA;
const std::string kReadError = " --(!) Error reading images \n\n";

TEST(CommandLine, WrongArgumentCountIsRefusedBeforeAnythingElse) {
  TempDir dir;
  const std::vector<std::vector<std::string>> argLists = {
      {}, {kData + "/shapes.png", kData + "/shapes.png"}, {"a", "b", "c"}};
  for (const auto& args : argLists) {
    const auto outcome = clirunner::run(dir.path(), kExe, args);
    EXPECT_EQ(outcome.status, 255);
    EXPECT_EQ(outcome.out, "Wrong number of arguments!\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(fs::exists(dir / "GC_res.bmp"));
  }
}

// A vector build that does not exist, or that the processor lacks, must be
// refused rather than replaced by another one (or run into an illegal
// instruction).
TEST(CommandLine, UnrunnableVectorBuildIsRefusedBeforeReading) {
  TempDir dir;
  std::vector<std::pair<std::string, std::string>> refused = {
      {"sse9", "no such vector build (baseline, avx2, avx512)"},
      {"AVX2", "no such vector build (baseline, avx2, avx512)"}};
  const char* const lacking = "this processor cannot run that vector build";
  if (!__builtin_cpu_supports("avx2")) refused.emplace_back("avx2", lacking);
  if (!__builtin_cpu_supports("avx512f")) refused.emplace_back("avx512", lacking);
  for (const auto& entry : refused) {
    const std::string& value = entry.first;
    const std::string& reason = entry.second;
    SCOPED_TRACE(value);
    const auto outcome = clirunner::run(dir.path(), kExe, {kData + "/shapes.png"}, [&] {
      ::setenv("CONTOURS_ISA", value.c_str(), 1);
    });
    EXPECT_EQ(outcome.status, 250);
    EXPECT_EQ(outcome.out, " --(!) CONTOURS_ISA=" + value + ": " + reason + " \n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(fs::exists(dir / "GC_res.bmp"));
  }
  for (const std::string value : {"baseline", ""}) {
    const auto outcome = clirunner::run(dir.path(), kExe, {kData + "/shapes.png"}, [&] {
      ::setenv("CONTOURS_ISA", value.c_str(), 1);
    });
    EXPECT_EQ(outcome.status, 0) << value;
  }
}

// The console without its timing line, which differs from run to run.
std::string withoutTime(const std::string& out) {
  const std::string::size_type at = out.find("GC time (ms): ");
  return at == std::string::npos ? out : out.substr(0, at) + out.substr(out.find('\n', at) + 1);
}

// A thread count changes how the analysis runs, never what it finds or what
// is printed.
TEST(CommandLine, EveryThreadCountWritesTheSameResult) {
  for (const std::string name : {"shapes.png", "astronaut.png"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    const auto plain = clirunner::run(dir.path(), kExe, {kData + "/" + name}, [] {
      ::unsetenv("CONTOURS_THREADS");
    });
    ASSERT_EQ(plain.status, 0);
    const std::string expected = clirunner::readFile(dir / "GC_res.bmp");
    for (const std::string threads : {"2", "3", "0"}) {
      SCOPED_TRACE(threads);
      fs::remove(dir / "GC_res.bmp");
      const auto outcome = clirunner::run(dir.path(), kExe, {kData + "/" + name}, [&] {
        ::setenv("CONTOURS_THREADS", threads.c_str(), 1);
      });
      EXPECT_EQ(outcome.status, 0);
      EXPECT_EQ(withoutTime(outcome.out), withoutTime(plain.out));
      EXPECT_EQ(outcome.err, plain.err);  // the decoder's own warnings, if any
      EXPECT_TRUE(clirunner::readFile(dir / "GC_res.bmp") == expected);
    }
  }
}

TEST(CommandLine, BadThreadCountIsRefusedBeforeReading) {
  TempDir dir;
  for (const std::string value : {"-1", "x", "2x", " 2", "+2", "1025", "99999999999"}) {
    SCOPED_TRACE(value);
    const auto outcome = clirunner::run(dir.path(), kExe, {kData + "/shapes.png"}, [&] {
      ::setenv("CONTOURS_THREADS", value.c_str(), 1);
    });
    EXPECT_EQ(outcome.status, 250);
    EXPECT_EQ(outcome.out, " --(!) CONTOURS_THREADS=" + value +
                               ": not a thread count: 0 for every core, or 1 to 1024 \n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(fs::exists(dir / "GC_res.bmp"));
  }
}

// OpenCV logs a warning of its own for a file it cannot open; nothing of it
// may reach standard error.
TEST(CommandLine, UnreadableInputsAreReadErrorsWithNothingOnStandardError) {
  TempDir dir;
  clirunner::writeFile(dir / "empty.png", "");
  std::string noise(4096, '\0');
  cv::RNG rng(3);
  for (char& c : noise) c = static_cast<char>(rng.uniform(0, 256));
  clirunner::writeFile(dir / "noise.jpg", noise);
  fs::create_directory(dir / "folder.png");
  // Cut short: OpenCV prints what it caught, with the path as it is.
  std::vector<unsigned char> encoded;
  ASSERT_TRUE(cv::imencode(".bmp", cv::Mat(40, 40, CV_8UC3, cv::Scalar(1, 2, 3)), encoded));
  clirunner::writeFile(dir / "cut\x1b[2J.bmp", std::string(encoded.begin(), encoded.begin() + 2000));
  // A header another library takes and complains about in its own words.
  clirunner::writeFile(dir / "header.ntf", "NITF02.10" + std::string(400, '0'));
  for (const std::string name : {"missing.png", "empty.png", "noise.jpg", "folder.png",
                                 "cut\x1b[2J.bmp", "header.ntf"}) {
    SCOPED_TRACE(name);
    const auto outcome = clirunner::run(dir.path(), kExe, {(dir / name).string()});
    EXPECT_EQ(outcome.status, 254);
    EXPECT_EQ(outcome.out, kReadError);
    EXPECT_EQ(outcome.err, "");
    EXPECT_FALSE(fs::exists(dir / "GC_res.bmp"));
  }
}

TEST(CommandLine, ReportsWidthThenHeightThenTimeAndWritesTheInputSize) {
  TempDir dir;
  cv::Mat image(6, 4, CV_8UC3, cv::Scalar(10, 20, 30));
  ASSERT_TRUE(cv::imwrite((dir / "small.png").string(), image));
  const auto outcome = clirunner::run(dir.path(), kExe, {"small.png"});
  EXPECT_EQ(outcome.status, 0);
  const std::string head = "Width of image: 4\nHeight of image: 6\n\nGC time (ms): ";
  ASSERT_GT(outcome.out.size(), head.size() + 1) << outcome.out;
  EXPECT_EQ(outcome.out.substr(0, head.size()), head);
  const std::string ms = outcome.out.substr(head.size(), outcome.out.size() - head.size() - 1);
  EXPECT_EQ(ms.find_first_not_of("0123456789"), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.out.back(), '\n');
  EXPECT_EQ(outcome.err, "");
  const cv::Mat result = cv::imread((dir / "GC_res.bmp").string(), cv::IMREAD_UNCHANGED);
  ASSERT_EQ(result.type(), CV_8UC1);
  EXPECT_EQ(result.size(), cv::Size(4, 6));
  EXPECT_EQ(cv::countNonZero(result == 255), 24);
}

TEST(CommandLine, ReplacesAnEarlierResultWithTheExpectedContours) {
  TempDir dir;
  clirunner::writeFile(dir / "GC_res.bmp", "an earlier result");
  const auto outcome = clirunner::run(dir.path(), kExe, {kData + "/shapes.png"});
  ASSERT_EQ(outcome.status, 0);
  const cv::Mat result = cv::imread((dir / "GC_res.bmp").string(), cv::IMREAD_UNCHANGED);
  const cv::Mat expected = cv::imread(kData + "/shapes.expected.png", cv::IMREAD_GRAYSCALE);
  ASSERT_EQ(result.type(), CV_8UC1);
  ASSERT_EQ(result.size(), expected.size());
  EXPECT_EQ(cv::countNonZero(result != expected), 0);
  // Nothing but the result is left in the working directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(CommandLine, GreyAndFourChannelInputsAreAnalysedAsColour) {
  const cv::Mat colour = cv::imread(kData + "/shapes.png", cv::IMREAD_COLOR);
  std::vector<cv::Mat> channels;
  cv::split(colour, channels);
  const cv::Mat grey = channels[1];
  cv::Mat greyAsColour, withAlpha;
  cv::merge(std::vector<cv::Mat>{grey, grey, grey}, greyAsColour);
  cv::merge(std::vector<cv::Mat>{channels[0], channels[1], channels[2],
                                 cv::Mat(colour.size(), CV_8UC1, cv::Scalar(255))},
            withAlpha);

  TempDir dir;
  ASSERT_TRUE(cv::imwrite((dir / "grey.png").string(), grey));
  ASSERT_TRUE(cv::imwrite((dir / "grey3.png").string(), greyAsColour));
  ASSERT_TRUE(cv::imwrite((dir / "rgba.png").string(), withAlpha));
  auto resultOf = [&](const std::string& name) {
    const auto outcome = clirunner::run(dir.path(), kExe, {name});
    EXPECT_EQ(outcome.status, 0) << name;
    return cv::imread((dir / "GC_res.bmp").string(), cv::IMREAD_UNCHANGED);
  };
  const cv::Mat fromGrey = resultOf("grey.png");
  const cv::Mat fromGrey3 = resultOf("grey3.png");
  EXPECT_EQ(cv::countNonZero(fromGrey != fromGrey3), 0);
  EXPECT_LT(cv::countNonZero(fromGrey), fromGrey.total());  // something was selected

  const cv::Mat fromAlpha = resultOf("rgba.png");
  const cv::Mat expected = cv::imread(kData + "/shapes.expected.png", cv::IMREAD_GRAYSCALE);
  EXPECT_EQ(cv::countNonZero(fromAlpha != expected), 0);
}

// Results are written row by row from the image rather than encoded in
// memory: the file must still be byte for byte what the encoder makes, for
// every row padding, for rows that are not contiguous, and for other kinds of
// image, which still go through the encoder.
TEST(ResultFile, WrittenBytesAreTheEncodersBmp) {
  TempDir dir;
  const std::string path = (dir / "r.bmp").string();
  auto expectSameAsEncoder = [&](const cv::Mat& image) {
    ASSERT_TRUE(contours::writeBmpAtomically(path, image));
    std::vector<unsigned char> encoded;
    ASSERT_TRUE(cv::imencode(".bmp", image, encoded));
    EXPECT_EQ(clirunner::readFile(path), std::string(encoded.begin(), encoded.end()))
        << image.cols << " x " << image.rows << ", " << image.channels() << " channels";
  };
  cv::RNG rng(7);
  for (int width = 1; width <= 9; ++width) {
    for (int height : {1, 2, 5}) {
      cv::Mat image(height, width, CV_8UC1);
      rng.fill(image, cv::RNG::UNIFORM, 0, 256);
      expectSameAsEncoder(image);
    }
  }
  cv::Mat wide(1100, 1203, CV_8UC1);  // more rows than one write takes pieces
  rng.fill(wide, cv::RNG::UNIFORM, 0, 256);
  expectSameAsEncoder(wide);
  expectSameAsEncoder(wide(cv::Rect(5, 3, 1001, 700)));
  cv::Mat colour(4, 6, CV_8UC3);
  rng.fill(colour, cv::RNG::UNIFORM, 0, 256);
  expectSameAsEncoder(colour);
}

// With standard error closed, the first file a program opened took its
// place and received the decoders' warnings: results were corrupted and the
// run reported success. Each result must still be the bytes of a plain run.
TEST(CommandLine, ClosedStandardErrorNeverReceivesAResult) {
  TempDir dir;
  const std::string warns = kData + "/astronaut.png";  // libpng warns on it
  const std::string other = kData + "/coffee.png";
  std::string expected[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(clirunner::run(dir.path(), kExe, {i == 0 ? warns : other}).status, 0);
    expected[i] = clirunner::readFile(dir / "GC_res.bmp");
  }
  const auto closeError = [] { ::close(2); };

  EXPECT_EQ(clirunner::run(dir.path(), kExe, {warns}, closeError).status, 0);
  EXPECT_EQ(clirunner::readFile(dir / "GC_res.bmp"), expected[0]);
  std::vector<std::string> args{"out"};
  for (int i = 0; i < 12; ++i) {
    args.push_back(std::to_string(i) + ".png");
    fs::copy_file(i % 2 ? other : warns, dir / args.back());
  }
  const auto batch = clirunner::run(dir.path(), kBatch, args, closeError);
  EXPECT_EQ(batch.status, 0) << batch.out;
  for (int i = 0; i < 12; ++i)
    EXPECT_EQ(clirunner::readFile(dir / "out" / (std::to_string(i) + ".png.bmp")), expected[i % 2])
        << i;
}

// A FIFO, a pipe on standard input and a process substitution are inputs
// too: each is read once and analysed as the file it carries, and a batch
// does not hang on one.
TEST(CommandLine, FifoAndStandardInputAreAnalysedLikeTheFile) {
  TempDir dir;
  const std::string image = kData + "/coffee.png";
  ASSERT_EQ(clirunner::run(dir.path(), kExe, {image}).status, 0);
  const std::string expected = clirunner::readFile(dir / "GC_res.bmp");
  fs::remove(dir / "GC_res.bmp");
  const std::string bytes = clirunner::readFile(image);
  const std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto feed = [&] { std::ofstream(fifo, std::ios::binary) << bytes; };

  std::thread writer(feed);
  const auto single = clirunner::run(dir.path(), kExe, {fifo});
  writer.join();
  EXPECT_EQ(single.status, 0) << single.out;
  EXPECT_EQ(clirunner::readFile(dir / "GC_res.bmp"), expected);

  writer = std::thread(feed);
  const auto batch = clirunner::run(dir.path(), kBatch, {"out", image, fifo, image});
  writer.join();
  EXPECT_EQ(batch.status, 0) << batch.out;
  EXPECT_EQ(clirunner::readFile(dir / "out/fifo.bmp"), expected);

  for (const std::string command : {"cat \"$0\" | \"$1\" /dev/stdin", "\"$1\" <(cat \"$0\")"}) {
    SCOPED_TRACE(command);
    fs::remove(dir / "GC_res.bmp");
    const auto piped = clirunner::run(dir.path(), "/bin/bash", {"-c", command, image, kExe});
    EXPECT_EQ(piped.status, 0) << piped.out;
    EXPECT_EQ(clirunner::readFile(dir / "GC_res.bmp"), expected);
  }
}

// "contours --help" answered " --(!) Error reading images ": the first thing
// a user types must give the usage (or the version), status 0, while a file
// of that name is still analysed as an image.
TEST(CommandLine, HelpAndVersionAnswerUnlessAFileHasThatName) {
  TempDir dir;
  for (const auto& [program, name] : {std::pair{kExe, "contours"}, std::pair{kBatch, "contours-batch"}}) {
    SCOPED_TRACE(name);
    const auto version = clirunner::run(dir.path(), program, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string(name) + " " + CONTOURS_VERSION + "\n");
    const auto help = clirunner::run(dir.path(), program, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("Usage: ") + name + " ", 0), 0u) << help.out;
    EXPECT_EQ(help.err + version.err, "");
  }
  fs::copy_file(kData + "/shapes.png", dir / "--help");
  const auto analysed = clirunner::run(dir.path(), kExe, {"--help"});
  EXPECT_EQ(analysed.status, 0);
  EXPECT_EQ(analysed.out.rfind("Width of image: 320\n", 0), 0u) << analysed.out;
}

}  // namespace
