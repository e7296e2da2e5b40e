#pragma once
// Placing contours-batch results in the output directory without ever
// replacing a file that is already there.

#include <signal.h>
#include <time.h>

#include <cstddef>
#include <string>
#include <unordered_set>

#include <opencv2/core.hpp>

namespace contours {

// The name a result is filed under: the last component of the input path
// (trailing slashes ignored), "image" when the path has none.
std::string resultBaseName(const std::string& inputPath);

// The longest file name the directory takes, in bytes (255 when it does not
// say).
std::size_t fileNameLimit(const std::string& directory);

// The candidate result paths for a base name, in the order they are tried:
// n = 1 gives DIR/NAME.bmp, n = 2 gives DIR/NAME.2.bmp, and so on. A base name
// too long for the candidate to fit nameLimit is cut to the longest start that
// does, ending on a UTF-8 character boundary, so names that fit are never
// touched and a long one is always cut the same way. Empty when no part of the
// base name fits.
std::string resultCandidate(const std::string& outputDir,
                            const std::string& baseName, unsigned n,
                            std::size_t nameLimit);

// The signals that interrupt a run: SIGINT, SIGTERM and SIGHUP.
sigset_t interruptSignals();

// Where a result went, told in the same step as it gets there.
class FilingReport {
 public:
  virtual ~FilingReport() = default;
  // Called before each attempt to give the result a name, interruptible:
  // waits until report() can be done without waiting (e.g. until standard
  // output takes a line).
  virtual void awaitRoom() {}
  // Called once, with path the result's file. When the result was just given
  // that name, the call comes straight after, with the interrupting signals
  // blocked in the calling thread: it must neither throw nor wait.
  virtual void report(const std::string& path) noexcept = 0;
};

// The output directory of one run.
class ResultFolder {
 public:
  explicit ResultFolder(std::string directory);

  const std::string& directory() const { return directory_; }

  // Writes image as a BMP under the first candidate name (see resultCandidate)
  // that does not exist yet, or finds it filed already, reports the path and
  // returns it; or returns an empty string when it cannot be written (error
  // then says why, and nothing is reported).
  //
  // The file is completed and flushed under a hidden temporary name first and
  // then linked to its final name in one step that fails if the name is
  // taken, so a result never replaces an existing file, not even one created
  // at the same moment by another process, and a file under a result name is
  // always complete.
  //
  // A taken name whose file (a regular file, not a link) was written before
  // this process started and holds exactly the bytes of this result is where
  // the result is filed already (by an earlier run): then no new file is made.
  // A rerun of the same images thus reports the same files again, while the
  // images of one run, even those of processes started together, never share
  // a file (a name this folder has given out is never reused in any case).
  std::string file(const std::string& baseName, const cv::Mat& image,
                   FilingReport& report, std::string& error);

 private:
  void remember(const std::string& path) noexcept;

  const std::string directory_;
  const std::size_t nameLimit_;
  const timespec runStart_;                 // when this process started
  std::unordered_set<std::string> given_;  // result paths reported in this run
};

}  // namespace contours
