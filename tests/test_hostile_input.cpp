// End-to-end tests of the executable against hostile input, file-system states
// that make the result unwritable, and scarce memory. Each case runs the
// program as a child process in a fresh temporary directory, so that a crash
// shows up as a signal instead of taking the test runner down with it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "cli_runner.hpp"
#include <contours/contours.hpp>

#if defined(__SANITIZE_ADDRESS__)
#define CONTOURS_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CONTOURS_TEST_ASAN 1
#endif
#endif

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<unsigned char>;

const char* const kReadErrorMessage = " --(!) Error reading images \n\n";
const char* const kWriteErrorMessage = " --(!) Error writing GC_res.bmp \n";

// Writes a width x height colour gradient as PNG (smooth, so it compresses to
// a small file and decodes with no more memory than its pixels).
void writeGradientPng(const fs::path& path, int width, int height) {
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    cv::Vec3b* row = image.ptr<cv::Vec3b>(y);
    for (int x = 0; x < width; ++x)
      row[x] = cv::Vec3b(static_cast<unsigned char>(x * 255 / width),
                         static_cast<unsigned char>(y * 255 / height),
                         static_cast<unsigned char>(128));
  }
  ASSERT_TRUE(cv::imwrite(path.string(), image));
}

// ---------------------------------------------------------------------------
// Running the program

struct Limits {
  std::optional<rlim_t> addressSpace;  // RLIMIT_AS, bytes
  std::optional<rlim_t> fileSize;      // RLIMIT_FSIZE, bytes
  std::optional<std::string> preload;  // LD_PRELOAD
};

struct RunResult {
  bool exited = false;
  int status = -1;      // exit status when exited
  int signal = 0;       // terminating signal otherwise
  std::string output;   // standard output
};

enum class WorkingDirectory { Keep, RemoveBeforeRun };

// Starts program with args inside directory, its standard output on a pipe
// whose reading end goes to outFd. With RemoveBeforeRun the child enters the
// directory and removes it before the program starts, so that the program's
// working directory no longer exists.
pid_t spawnProgram(const char* program, const fs::path& directory,
                   const std::vector<std::string>& args, const Limits& limits,
                   WorkingDirectory cwd, int& outFd) {
  int out[2];
  if (::pipe(out) != 0) ADD_FAILURE() << "pipe: " << std::strerror(errno);
  std::vector<char*> argv{const_cast<char*>(program)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // The environment is built here: setenv is not safe between fork and exec.
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (!limits.preload || (entry.rfind("LD_PRELOAD=", 0) != 0 &&
                            entry.rfind("ASAN_OPTIONS=", 0) != 0))
      environment.push_back(entry);
  }
  if (limits.preload) {
    environment.push_back("LD_PRELOAD=" + *limits.preload);
    // A preloaded library comes before the sanitizer's runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    environment.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                          (asan && *asan ? ":" : "") + "verify_asan_link_order=0");
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    if (::chdir(directory.c_str()) != 0) ::_exit(120);
    if (cwd == WorkingDirectory::RemoveBeforeRun && ::rmdir(directory.c_str()) != 0)
      ::_exit(121);
    if (limits.addressSpace) {
      const rlimit limit{*limits.addressSpace, *limits.addressSpace};
      if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(122);
    }
    if (limits.fileSize) {
      const rlimit limit{*limits.fileSize, *limits.fileSize};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(123);
    }
    ::execve(program, argv.data(), envp.data());
    ::_exit(124);
  }
  ::close(out[1]);
  outFd = out[0];
  return pid;
}

// Reads the child's standard output to its end and waits for it.
RunResult collect(pid_t pid, int outFd) {
  RunResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(outFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  ::close(outFd);
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) {
    result.exited = true;
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

// Runs contours with one argument inside directory.
RunResult runContours(const fs::path& directory, const std::string& argument,
                      const Limits& limits = {},
                      WorkingDirectory cwd = WorkingDirectory::Keep) {
  int outFd = -1;
  const pid_t pid =
      spawnProgram(CONTOURS_EXE, directory, {argument}, limits, cwd, outFd);
  return collect(pid, outFd);
}

std::string describe(const RunResult& run) {
  if (!run.exited) return "killed by signal " + std::to_string(run.signal);
  return "status " + std::to_string(run.status) + ", output:\n" + run.output;
}

// ---------------------------------------------------------------------------
// Files

using clirunner::TempDir;

void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good()) << path;
}

Bytes readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> entriesOf(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// What a previous run left behind; any failure must leave it byte for byte.
const Bytes kEarlierResult = [] {
  Bytes bytes;
  const std::string marker = "an earlier GC_res.bmp that must survive";
  bytes.assign(marker.begin(), marker.end());
  for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<unsigned char>(i * 7));
  return bytes;
}();

// ---------------------------------------------------------------------------
// Crafted images

std::uint32_t crc32(const unsigned char* data, size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void putBigEndian32(Bytes& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<unsigned char>(value >> shift));
}

void putLittleEndian(Bytes& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void appendPngChunk(Bytes& png, const char* type, const Bytes& data) {
  putBigEndian32(png, static_cast<std::uint32_t>(data.size()));
  const size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  putBigEndian32(png, crc32(png.data() + start, png.size() - start));
}

// A PNG signature and a well-formed IHDR (8-bit RGB) claiming width x height,
// followed by a tiny stored-deflate IDAT and IEND: the header is valid, the
// pixel data is nowhere near enough.
Bytes pngClaiming(std::uint32_t width, std::uint32_t height) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  putBigEndian32(ihdr, width);
  putBigEndian32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  appendPngChunk(png, "IHDR", ihdr);
  // zlib stream: header, one final stored block of 4 zero bytes, Adler-32.
  appendPngChunk(png, "IDAT", {0x78, 0x01, 0x01, 0x04, 0x00, 0xFB, 0xFF, 0, 0, 0, 0,
                               0x00, 0x04, 0x00, 0x01});
  appendPngChunk(png, "IEND", {});
  return png;
}

// A 24-bit BMP header claiming width x height with no pixel data behind it.
Bytes bmpClaiming(std::uint32_t width, std::uint32_t height) {
  Bytes bmp = {'B', 'M'};
  putLittleEndian(bmp, 54, 4);  // file size (a lie, as in the wild)
  putLittleEndian(bmp, 0, 4);
  putLittleEndian(bmp, 54, 4);  // pixel data offset
  putLittleEndian(bmp, 40, 4);  // info header size
  putLittleEndian(bmp, width, 4);
  putLittleEndian(bmp, height, 4);
  putLittleEndian(bmp, 1, 2);   // planes
  putLittleEndian(bmp, 24, 2);  // bits per pixel
  putLittleEndian(bmp, 0, 4);   // no compression
  for (int i = 0; i < 5; ++i) putLittleEndian(bmp, 0, 4);
  return bmp;
}

// A genuine PNG of a 64 x 48 colour pattern with edges, so that a damaged copy
// that still decodes also runs through the whole analysis.
Bytes validPng() {
  cv::Mat image(48, 64, CV_8UC3);
  for (int y = 0; y < image.rows; ++y)
    for (int x = 0; x < image.cols; ++x)
      image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<unsigned char>(x * 4),
                                            static_cast<unsigned char>(y * 5),
                                            (x / 8 + y / 8) % 2 ? 220 : 30);
  Bytes png;
  EXPECT_TRUE(cv::imencode(".png", image, png));
  return png;
}

Bytes truncatedPng() {
  Bytes png = validPng();
  png.resize(png.size() / 2);
  return png;
}

Bytes pngWithFlippedBytes() {
  Bytes png = validPng();
  // Leave signature and IHDR alone so that the damage reaches the pixel data.
  for (size_t i = 40; i < png.size(); i += 13) png[i] ^= 0xFF;
  return png;
}

Bytes bmpSignatureAndGarbage() {
  Bytes bytes = {'B', 'M'};
  std::uint32_t state = 12345;
  for (int i = 0; i < 4000; ++i) {
    state = state * 1103515245u + 12345u;
    bytes.push_back(static_cast<unsigned char>(state >> 16));
  }
  return bytes;
}

// ---------------------------------------------------------------------------
// Hostile inputs: a read error or a normal result, never a signal, and an
// earlier result survives a read error.

struct HostileInput {
  const char* name;
  Bytes (*make)();
};

void PrintTo(const HostileInput& input, std::ostream* os) { *os << input.name; }

class HostileInputTest : public ::testing::TestWithParam<HostileInput> {};

TEST_P(HostileInputTest, EndsAsReadErrorOrNormalResultNeverBySignal) {
  TempDir dir;
  writeFile(dir.path() / "input.img", GetParam().make());
  writeFile(dir.path() / "GC_res.bmp", kEarlierResult);

  const RunResult run = runContours(dir.path(), "input.img");

  ASSERT_TRUE(run.exited) << describe(run);
  if (run.status == 254) {
    EXPECT_EQ(run.output, kReadErrorMessage);
    EXPECT_EQ(readFile(dir.path() / "GC_res.bmp"), kEarlierResult);
  } else {
    ASSERT_EQ(run.status, 0) << describe(run);
    const cv::Mat result = cv::imread((dir.path() / "GC_res.bmp").string(),
                                      cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(result.empty());
    EXPECT_EQ(result.type(), CV_8UC1);
    EXPECT_NE(run.output.find("Width of image: " + std::to_string(result.cols) + "\n"),
              std::string::npos)
        << run.output;
  }
  EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"GC_res.bmp", "input.img"}));
}

const HostileInput kHostileInputs[] = {
    {"OversizedHeaderPng", [] { return pngClaiming(200000, 200000); }},
    {"ZeroWidthPng", [] { return pngClaiming(0, 10); }},
    {"ZeroHeightPng", [] { return pngClaiming(10, 0); }},
    {"TruncatedPng", truncatedPng},
    {"PngWithFlippedBytes", pngWithFlippedBytes},
    {"BmpSignatureAndGarbage", bmpSignatureAndGarbage},
    {"OversizedHeaderBmp", [] { return bmpClaiming(100000, 100000); }},
    {"BmpHeaderWithoutPixels", [] { return bmpClaiming(40, 30); }},
    {"EmptyFile", [] { return Bytes{}; }},
    {"JpegMarkerAndNothingElse", [] { return Bytes{0xFF, 0xD8, 0xFF, 0xE0}; }},
};

INSTANTIATE_TEST_SUITE_P(Decoders, HostileInputTest, ::testing::ValuesIn(kHostileInputs),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A result that cannot be written is a failure, and nothing is left behind.

TEST(UnwritableResult, DirectoryNamedLikeTheResultFailsTheRunAndStaysIntact) {
  TempDir dir;
  fs::create_directory(dir.path() / "GC_res.bmp");
  writeFile(dir.path() / "GC_res.bmp" / "kept.txt", kEarlierResult);
  fs::copy_file(CONTOURS_TEST_DATA "/shapes.png", dir.path() / "input.png");

  const RunResult run = runContours(dir.path(), "input.png");

  ASSERT_TRUE(run.exited) << describe(run);
  EXPECT_EQ(run.status, 253) << describe(run);
  EXPECT_NE(run.output.find("GC time (ms): "), std::string::npos) << run.output;
  // The failure is reported after the timing line, as the last line.
  const size_t at = run.output.rfind(kWriteErrorMessage);
  ASSERT_NE(at, std::string::npos) << run.output;
  EXPECT_EQ(at + std::strlen(kWriteErrorMessage), run.output.size()) << run.output;
  EXPECT_GT(at, run.output.find("GC time (ms): "));
  ASSERT_TRUE(fs::is_directory(dir.path() / "GC_res.bmp"));
  EXPECT_EQ(entriesOf(dir.path() / "GC_res.bmp"), std::vector<std::string>{"kept.txt"});
  EXPECT_EQ(readFile(dir.path() / "GC_res.bmp" / "kept.txt"), kEarlierResult);
  EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"GC_res.bmp", "input.png"}));
}

TEST(UnwritableResult, RemovedWorkingDirectoryFailsTheRun) {
  TempDir dir;
  const fs::path work = dir.path() / "work";
  fs::create_directory(work);

  const RunResult run = runContours(work, CONTOURS_TEST_DATA "/shapes.png", {},
                                    WorkingDirectory::RemoveBeforeRun);

  ASSERT_TRUE(run.exited) << describe(run);
  EXPECT_EQ(run.status, 253) << describe(run);
  EXPECT_NE(run.output.find(std::string("GC time (ms): ")), std::string::npos);
  EXPECT_NE(run.output.find(kWriteErrorMessage), std::string::npos) << run.output;
  EXPECT_FALSE(fs::exists(work));
  EXPECT_TRUE(entriesOf(dir.path()).empty());
}

// A file-size limit stands in for a full disk: the write fails part way.
TEST(UnwritableResult, FileSizeLimitFailsTheRunAndKeepsTheEarlierResult) {
  TempDir dir;
  writeFile(dir.path() / "GC_res.bmp", kEarlierResult);
  Limits limits;
  limits.fileSize = 4096;  // the 320 x 240 result needs about 78 kB

  const RunResult run = runContours(dir.path(), CONTOURS_TEST_DATA "/shapes.png", limits);

  ASSERT_TRUE(run.exited) << describe(run);
  EXPECT_EQ(run.status, 253) << describe(run);
  EXPECT_NE(run.output.find(kWriteErrorMessage), std::string::npos) << run.output;
  EXPECT_EQ(readFile(dir.path() / "GC_res.bmp"), kEarlierResult);
  EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"GC_res.bmp"});
}

TEST(ResultFile, SuccessfulRunReplacesTheEarlierResultAndLeavesNoTemporary) {
  TempDir dir;
  writeFile(dir.path() / "GC_res.bmp", kEarlierResult);
  ::chmod((dir.path() / "GC_res.bmp").c_str(), 0444);

  const RunResult run = runContours(dir.path(), CONTOURS_TEST_DATA "/shapes.png");

  ASSERT_TRUE(run.exited) << describe(run);
  ASSERT_EQ(run.status, 0) << describe(run);
  const cv::Mat result = cv::imread((dir.path() / "GC_res.bmp").string(),
                                    cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(result.empty());
  EXPECT_EQ(result.cols, 320);
  EXPECT_EQ(result.rows, 240);
  EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"GC_res.bmp"});
  // The new file gets the permissions of a plainly created one, not those of
  // a private temporary file.
  struct stat info {};
  ASSERT_EQ(::stat((dir.path() / "GC_res.bmp").c_str(), &info), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

// A reader that closes the pipe early (as `| head -n1` does) must not cost the
// result: the program neither dies of SIGPIPE nor skips the write.
TEST(ResultFile, ClosedStandardOutputDoesNotLoseTheResult) {
  TempDir dir;
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  ::close(out[0]);  // nobody will ever read
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[1]);
    if (::chdir(dir.path().c_str()) != 0) ::_exit(120);
    ::execl(CONTOURS_EXE, CONTOURS_EXE, CONTOURS_TEST_DATA "/shapes.png",
            static_cast<char*>(nullptr));
    ::_exit(124);
  }
  ::close(out[1]);
  int wstatus = 0;
  ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
  ASSERT_TRUE(WIFEXITED(wstatus)) << "killed by signal " << WTERMSIG(wstatus);
  EXPECT_EQ(WEXITSTATUS(wstatus), 0);
  EXPECT_FALSE(cv::imread((dir.path() / "GC_res.bmp").string()).empty());
}

// contours-batch decodes small images ahead of the analysis and holds back
// behind a large one: every mix must still give one line per image, in the
// order given, and each image's own result.
TEST(Batch, DecodingAheadKeepsTheOrderAroundLargeImages) {
  TempDir dir;
  writeGradientPng(dir.path() / "large.png", 2400, 1800);  // past the ahead limit
  writeGradientPng(dir.path() / "small.png", 64, 48);
  writeFile(dir.path() / "broken.png", kEarlierResult);
  const std::vector<std::string> args{"out",       "small.png", "large.png", "broken.png",
                                      "small.png", "large.png", "small.png"};
  int outFd = -1;
  const pid_t pid =
      spawnProgram(CONTOURS_BATCH_EXE, dir.path(), args, {}, WorkingDirectory::Keep, outFd);
  const RunResult run = collect(pid, outFd);
  ASSERT_TRUE(run.exited) << describe(run);
  EXPECT_EQ(run.status, 1) << describe(run);  // broken.png fails
  std::istringstream lines(run.output);
  std::string line;
  for (size_t i = 1; i < args.size(); ++i) {
    ASSERT_TRUE(std::getline(lines, line)) << describe(run);
    EXPECT_EQ(line.rfind(args[i] + "\t", 0), 0u) << line;
    const bool large = args[i] == "large.png";
    if (args[i] == "broken.png")
      EXPECT_NE(line.find("error:"), std::string::npos) << line;
    else
      EXPECT_NE(line.find(large ? "2400x1800" : "64x48"), std::string::npos) << line;
  }
  EXPECT_FALSE(std::getline(lines, line)) << line;
}

// The readers decoded the next two images while a small one was analysed,
// whatever their size: after a small image, two large ones were decoded at
// once, and the peak was that of both (153 MB against 110 MB for one at a
// time). A large image is decoded only in its turn.
TEST(Batch, LargeImagesAfterASmallOneAreDecodedInTurn) {
#ifdef CONTOURS_TEST_ASAN
  GTEST_SKIP() << "AddressSanitizer holds freed memory in quarantine, so peaks add up "
                  "from image to image";
#endif
  TempDir dir;
  writeGradientPng(dir.path() / "small.png", 64, 48);
  writeGradientPng(dir.path() / "large.png", 4000, 3000);  // 36 MB of pixels
  fs::copy_file(dir.path() / "large.png", dir.path() / "large2.png");
  const auto peakOf = [&](const std::vector<std::string>& args) {
    int outFd = -1;
    const pid_t pid =
        spawnProgram(CONTOURS_BATCH_EXE, dir.path(), args, {}, WorkingDirectory::Keep, outFd);
    const RunResult run = collect(pid, outFd);
    EXPECT_TRUE(run.exited && run.status == 0) << describe(run);
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);  // the largest child so far
    return usage.ru_maxrss;                // KB
  };
  const long alone = peakOf({"one", "large.png"});
  const long afterSmall = peakOf({"three", "small.png", "large.png", "large2.png"});
  EXPECT_LT(afterSmall, alone + 12 * 1024) << "KB: one large image alone peaks at " << alone;
}

// ---------------------------------------------------------------------------
// Interrupted while a result is written: the temporary file goes, an earlier
// result stays, and the process still ends by the signal, as callers expect.

struct Interruption {
  const char* name;
  bool batch;  // contours-batch instead of contours
  int signal;
};

void PrintTo(const Interruption& c, std::ostream* os) { *os << c.name; }

class InterruptedWrite : public ::testing::TestWithParam<Interruption> {};

TEST_P(InterruptedWrite, LeavesNoTemporaryFileAndKeepsTheEarlierResult) {
  const Interruption& c = GetParam();
  TempDir dir;
  writeGradientPng(dir.path() / "large.png", 640, 480);
  const fs::path out = c.batch ? dir.path() / "out" : dir.path();
  if (c.batch) fs::create_directory(out);
  // contours-batch never replaces a file; its result would go to .2.bmp.
  const std::string earlierName = c.batch ? "large.png.bmp" : "GC_res.bmp";
  writeFile(out / earlierName, kEarlierResult);
  const std::string temporaryPrefix = c.batch ? ".contours-batch." : "GC_res.bmp.";
  const std::vector<std::string> before = entriesOf(out);
  // The program waits in fsync with its result complete but unpublished, so
  // the signal, sent the moment the temporary file appears, is always in time.
  Limits parked;
  parked.preload = CONTOURS_PARK_FSYNC;

  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0) << std::strerror(errno);
  ASSERT_GE(::inotify_add_watch(watch, out.c_str(), IN_CREATE), 0) << std::strerror(errno);
  int outFd = -1;
  const pid_t pid =
      c.batch ? spawnProgram(CONTOURS_BATCH_EXE, dir.path(), {"out", "large.png"}, parked,
                             WorkingDirectory::Keep, outFd)
              : spawnProgram(CONTOURS_EXE, dir.path(), {"large.png"}, parked,
                             WorkingDirectory::Keep, outFd);
  bool created = false;
  alignas(inotify_event) char buffer[4096];
  pollfd ready{watch, POLLIN, 0};
  while (!created && ::poll(&ready, 1, 120000) == 1) {
    const ssize_t n = ::read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && std::string(event->name).rfind(temporaryPrefix, 0) == 0)
        created = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  ::kill(pid, created ? c.signal : SIGKILL);
  const RunResult run = collect(pid, outFd);

  ASSERT_TRUE(created) << "no temporary file appeared; " << describe(run);
  ASSERT_FALSE(run.exited) << describe(run);
  EXPECT_EQ(run.signal, c.signal) << describe(run);
  EXPECT_EQ(entriesOf(out), before);
  EXPECT_EQ(readFile(out / earlierName), kEarlierResult);
}

const Interruption kInterruptions[] = {
    {"ContoursSigint", false, SIGINT},
    {"ContoursSigterm", false, SIGTERM},
    {"BatchSigint", true, SIGINT},
    {"BatchSigterm", true, SIGTERM},
};

INSTANTIATE_TEST_SUITE_P(Signals, InterruptedWrite, ::testing::ValuesIn(kInterruptions),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Scarce memory and sizes the analysis cannot index.

#ifndef CONTOURS_TEST_ASAN
// The smallest address-space limit, to 1 MB, under which contours analyses a
// tiny image: the program's own footprint (shared libraries above all), which
// depends on the build and the machine.
constexpr rlim_t kLimitStep = 16u << 20;
constexpr rlim_t kMegabyte = 1u << 20;

bool runsTinyImageUnder(const fs::path& tinyImage, rlim_t limit) {
  Limits limits;
  limits.addressSpace = limit;
  const TempDir probe;
  // Just under the footprint a shared library's own start-up may fail to
  // allocate and abort before the program runs: that too is a failure here.
  const RunResult run = runContours(probe.path(), tinyImage.string(), limits);
  return run.exited && run.status == 0;
}

std::optional<rlim_t> footprintLimit(const fs::path& tinyImage) {
  for (rlim_t limit = 4 * kLimitStep; limit <= 128 * kLimitStep; limit += kLimitStep) {
    if (!runsTinyImageUnder(tinyImage, limit)) continue;
    rlim_t fails = limit - kLimitStep;  // failed, or below any footprint
    while (limit - fails > kMegabyte) {
      const rlim_t middle = fails + (limit - fails) / 2;
      (runsTinyImageUnder(tinyImage, middle) ? limit : fails) = middle;
    }
    return limit;
  }
  return std::nullopt;
}
#endif

TEST(ScarceMemory, AnalysisThatCannotAllocateFailsCleanlyAndKeepsTheEarlierResult) {
#ifdef CONTOURS_TEST_ASAN
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so an "
                  "address-space limit cannot be applied to a sanitized build";
#else
  TempDir dir;
  writeGradientPng(dir.path() / "small.png", 30, 30);
  writeGradientPng(dir.path() / "large.png", 7000, 4000);  // 28 megapixels
  // The earlier result is a genuine one, left by a run on the small image.
  const RunResult earlier = runContours(dir.path(), "small.png");
  ASSERT_EQ(earlier.status, 0) << describe(earlier);
  const Bytes earlierResult = readFile(dir.path() / "GC_res.bmp");

  // Under the footprint of a tiny image and 92 MB more there is enough to
  // decode the large image (84 MB of pixels), too little for its analysis,
  // which needs the decoded image and the 15 MB of block field and mask at
  // once (the result, which holds the field's ranks, takes the image's place).
  const std::optional<rlim_t> footprint = footprintLimit(dir.path() / "small.png");
  ASSERT_TRUE(footprint.has_value()) << "a tiny image does not run under 2 GB";
  Limits limits;
  limits.addressSpace = *footprint + 92 * kMegabyte;

  const RunResult run = runContours(dir.path(), "large.png", limits);

  ASSERT_TRUE(run.exited) << describe(run);
  EXPECT_EQ(run.status, 251) << "limit " << (*limits.addressSpace >> 20) << " MB, "
                             << describe(run);
  EXPECT_EQ(run.output,
            "Width of image: 7000\nHeight of image: 4000\n\n --(!) Not enough memory \n");
  EXPECT_EQ(readFile(dir.path() / "GC_res.bmp"), earlierResult);
  EXPECT_EQ(entriesOf(dir.path()),
            (std::vector<std::string>{"GC_res.bmp", "large.png", "small.png"}));
#endif
}

// The decoder throws cv::Exception (StsNoMem) when it cannot allocate the
// pixels; that is no broken file, and must not be reported as one.
TEST(ScarceMemory, DecodeThatCannotAllocateIsNotEnoughMemoryNotAReadError) {
#ifdef CONTOURS_TEST_ASAN
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so an "
                  "address-space limit cannot be applied to a sanitized build";
#else
  TempDir dir;
  writeGradientPng(dir.path() / "small.png", 30, 30);
  writeGradientPng(dir.path() / "large.png", 5000, 3000);
  writeFile(dir.path() / "GC_res.bmp", kEarlierResult);
  const std::optional<rlim_t> footprint = footprintLimit(dir.path() / "small.png");
  ASSERT_TRUE(footprint.has_value()) << "a tiny image does not run under 2 GB";
  Limits limits;
  limits.addressSpace = *footprint + kLimitStep;  // less than the 45 MB of pixels

  const RunResult run = runContours(dir.path(), "large.png", limits);

  ASSERT_TRUE(run.exited) << describe(run);
  EXPECT_EQ(run.status, 251) << "limit " << (*limits.addressSpace >> 20) << " MB, "
                             << describe(run);
  EXPECT_EQ(run.output, " --(!) Not enough memory \n");
  EXPECT_EQ(readFile(dir.path() / "GC_res.bmp"), kEarlierResult);
#endif
}

// Each decoder reports a failed allocation its own way: OpenCV's exception
// from outside its guard, the same exception caught and printed inside it
// (WebP), or a plain refusal. From the tiny image's footprint up to where the
// large one fits, every limit must give 251 or a result, never a read error.
TEST(ScarceMemory, NoDecoderReportsMissingMemoryAsABrokenFile) {
#ifdef CONTOURS_TEST_ASAN
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so an "
                  "address-space limit cannot be applied to a sanitized build";
#else
  TempDir dir;
  writeGradientPng(dir.path() / "small.png", 30, 30);
  const std::optional<rlim_t> footprint = footprintLimit(dir.path() / "small.png");
  ASSERT_TRUE(footprint.has_value()) << "a tiny image does not run under 2 GB";
  cv::Mat image(1500, 2000, CV_8UC3);
  cv::randu(image, 0, 40);
  image += cv::Scalar(60, 120, 180);
  for (const char* extension : {".webp", ".png", ".jpg", ".tiff", ".bmp"}) {
    SCOPED_TRACE(extension);
    const std::string name = std::string("large") + extension;
    ASSERT_TRUE(cv::imwrite((dir.path() / name).string(), image));
    bool analysed = false;
    for (rlim_t extra = 0; !analysed && extra <= 160 * kMegabyte; extra += 5 * kMegabyte) {
      Limits limits;
      limits.addressSpace = *footprint + extra;
      const RunResult run = runContours(dir.path(), name, limits);
      ASSERT_TRUE(run.exited) << "limit " << (*limits.addressSpace >> 20) << " MB, " << describe(run);
      ASSERT_TRUE(run.status == 0 || run.status == 251)
          << "limit " << (*limits.addressSpace >> 20) << " MB, " << describe(run);
      analysed = run.status == 0;
    }
    EXPECT_TRUE(analysed) << "not analysed with 160 MB more than a tiny image";
  }
#endif
}

// contours-batch died by SIGSEGV or SIGABRT under limits a little above its
// footprint: its threads' stacks and the decoders' first use (registering a
// library of formats on a decoding thread) ran out of address space where
// nothing caught it. From the footprint up, every limit gives a status.
TEST(ScarceMemory, BatchEndsWithAStatusUnderEveryLimitAboveItsFootprint) {
#ifdef CONTOURS_TEST_ASAN
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space, so an "
                  "address-space limit cannot be applied to a sanitized build";
#else
  TempDir dir;
  writeGradientPng(dir.path() / "small.png", 30, 30);
  writeGradientPng(dir.path() / "large.png", 1600, 1200);
  const std::optional<rlim_t> footprint = footprintLimit(dir.path() / "small.png");
  ASSERT_TRUE(footprint.has_value()) << "a tiny image does not run under 2 GB";
  for (rlim_t extra = 0; extra <= 48 * kMegabyte; extra += 2 * kMegabyte) {
    Limits limits;
    limits.addressSpace = *footprint + extra;
    int outFd = -1;
    const pid_t pid = spawnProgram(CONTOURS_BATCH_EXE, dir.path(),
                                   {"out", "small.png", "large.png", "small.png"}, limits,
                                   WorkingDirectory::Keep, outFd);
    const RunResult run = collect(pid, outFd);
    ASSERT_TRUE(run.exited && (run.status == 0 || run.status == 1))
        << "limit " << (*limits.addressSpace >> 20) << " MB, " << describe(run);
  }
#endif
}

// An image of 2^31 pixels cannot be indexed by the analysis' 32-bit element
// counts, and one whose rows or columns, scaled by 20 into surface positions,
// pass the int range cannot be embedded; either must be refused before a
// single pixel is touched. The pixels are an inaccessible mapping, so any
// access would fault.
TEST(ImageSize, SizesPastTheIntRangeAreRefusedBeforeAnyPixelIsRead) {
  const cv::Size sizes[] = {
      {1 << 15, 1 << 16},        // 2^31 pixels
      {3, 107374183},            // 20 * row index passes 2^31 - 1
      {107374183, 3},            // 20 * column index passes 2^31 - 1
  };
  for (const cv::Size size : sizes) {
    SCOPED_TRACE(::testing::Message() << size);
    const size_t bytes = static_cast<size_t>(size.width) * size.height * 3;
    void* pixels = ::mmap(nullptr, bytes, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (pixels == MAP_FAILED) GTEST_SKIP() << "cannot reserve " << (bytes >> 20) << " MB";
    cv::Mat result(2, 2, CV_8UC1, cv::Scalar(7));
    const contours::AnalysisReport report =
        contours::analyseImage(cv::Mat(size, CV_8UC3, pixels), result);
    ::munmap(pixels, bytes);
    EXPECT_EQ(report.status, contours::AnalysisStatus::TooLarge);
    EXPECT_TRUE(result.empty());
  }
}

// ---------------------------------------------------------------------------
// contours-batch interrupted while its standard output takes no more lines.
// A result must not get its name before its line can follow at once: killed
// in between, it would be filed with no line, and callers that go by the
// lines would count the image as failed. The signal must still end the run.

TEST(BatchInterrupted, StalledOutputLeavesNoResultWithoutItsLine) {
  TempDir dir;
  writeGradientPng(dir.path() / "small.png", 64, 48);
  const fs::path out = dir.path() / "out";
  fs::create_directory(out);
  // Lines of some 3000 bytes: the first fills a pipe of one page, the second
  // cannot follow.
  std::string input;
  for (int i = 0; i < 1500; ++i) input += "./";
  input += "small.png";

  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0) << std::strerror(errno);
  ASSERT_GE(::inotify_add_watch(watch, out.c_str(), IN_CLOSE_WRITE), 0);
  int outFd = -1;
  const pid_t pid = spawnProgram(CONTOURS_BATCH_EXE, dir.path(), {"out", input, input, input},
                                 {}, WorkingDirectory::Keep, outFd);
  ASSERT_GE(::fcntl(outFd, F_SETPIPE_SZ, 4096), 0) << std::strerror(errno);
  // Once the second result is complete under its temporary name, give it time
  // to be linked, then interrupt.
  int written = 0;
  alignas(inotify_event) char buffer[4096];
  pollfd ready{watch, POLLIN, 0};
  while (written < 2 && ::poll(&ready, 1, 120000) == 1) {
    const ssize_t n = ::read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && std::string(event->name).rfind(".contours-batch.", 0) == 0)
        ++written;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  ::usleep(300000);
  ::kill(pid, written == 2 ? SIGTERM : SIGKILL);
  // Ended by the signal without anyone reading its output.
  int wstatus = 0;
  pid_t ended = 0;
  for (int i = 0; i < 200 && (ended = ::waitpid(pid, &wstatus, WNOHANG)) == 0; ++i)
    ::usleep(50000);
  if (ended == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &wstatus, 0);
  }
  std::string output;
  for (ssize_t n; (n = ::read(outFd, buffer, sizeof buffer)) > 0;)
    output.append(buffer, static_cast<size_t>(n));
  ::close(outFd);

  ASSERT_EQ(written, 2) << "the results were not written; output:\n" << output;
  ASSERT_EQ(ended, pid) << "SIGTERM did not end the run while its output was stalled";
  ASSERT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGTERM) << output;
  // Every result file has its line, every line its file, no temporary stays.
  const std::vector<std::string> files = entriesOf(out);
  for (const std::string& name : files)
    EXPECT_NE(output.find("\tout/" + name + "\n"), std::string::npos) << name << " has no line";
  EXPECT_EQ(static_cast<size_t>(std::count(output.begin(), output.end(), '\n')), files.size())
      << output;
}

}  // namespace
