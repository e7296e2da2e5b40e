#pragma once
// Setting up a command-line tool's process and writing its result images.

#include <string>

#include <opencv2/core.hpp>

namespace contours {

// Sets up a command-line tool's process; call it first in main, before any
// thread starts:
//  - a reader that closes standard output (SIGPIPE) or a file-size limit
//    (SIGXFSZ) turns into a failed write instead of ending the process;
//  - SIGINT, SIGTERM and SIGHUP (unless the process started with them
//    ignored) first remove the temporary files of writes in progress and then
//    end the process by the same signal, as it would have ended without;
//  - standard input, output and error are open (on /dev/null where the
//    process started with one closed), so that no file the process opens
//    takes their place and receives what is meant for them;
//  - OpenCV's own log and its messages on std::cerr go nowhere, so that only
//    the decoders' own libraries can write to standard error.
void prepareProcess();

// Writes image as BMP to a temporary file in the destination's directory
// (an 8-bit single-channel image straight from its rows, anything else
// encoded in memory first), flushes it to disk and renames it over path.
// On any failure the temporary file is removed and whatever stood at path
// before stays exactly as it was. Returns false on failure, with the errno of
// the failed system call (or 0) in *errorNumber when that is given.
bool writeBmpAtomically(const std::string& path, const cv::Mat& image,
                        int* errorNumber = nullptr);

// A result written and flushed under a fresh temporary name, not yet under
// its own: the caller links or renames it to where it belongs, and the file
// is removed when this goes out of scope (or when the process is interrupted
// first, see prepareProcess). The file gets the permissions of a plainly
// created one (0666 less the umask).
class PendingFile {
 public:
  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  // Encodes image as BMP and writes it to a new file named prefix followed by
  // six random characters, flushed to disk. False (and nothing left) on any
  // failure; errorNumber then holds the errno of a failed system call, or 0.
  bool write(const std::string& prefix, const cv::Mat& image, int& errorNumber);

  // The temporary name, while the file exists under it.
  const std::string& path() const { return path_; }

  // Renames the file to target, replacing what is there. False on failure,
  // the file still pending.
  bool renameTo(const std::string& target);

  // The file has been given its final name in some other way (e.g. by
  // renameat2): the temporary name is no longer this process's to remove.
  void released();

 private:
  void discard();
  std::string path_;
  int slot_ = -1;  // place in the list of files removed on interruption
};

}  // namespace contours
