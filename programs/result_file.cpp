#include "result_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <vector>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

namespace contours {

namespace {

// ---------------------------------------------------------------------------
// Temporary files removed when the process is interrupted.
//
// A slot is Free, Busy (a thread with the interrupting signals blocked is
// creating, renaming or removing its file) or Owned (the file exists under the
// name in the slot). The handler waits out Busy slots, which belong to other
// threads, removes the files of Owned ones and ends the process. A thread
// makes its slot Busy before it looks at `interrupted`, and the handler sets
// `interrupted` before it looks at the slots, so either the thread sees the
// interruption and stops, or the handler sees the slot and waits for it.

constexpr int kSlots = 8;
constexpr size_t kMaxPath = 4096;
enum : int { kFree = 0, kBusy = 1, kOwned = 2 };

std::atomic<int> slotState[kSlots];
char slotPath[kSlots][kMaxPath];
std::atomic<bool> interrupted{false};
static_assert(std::atomic<int>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onInterrupt(int signalNumber) {
  const int savedErrno = errno;
  interrupted.store(true);
  for (int i = 0; i < kSlots; ++i) {
    int state;
    while ((state = slotState[i].load()) == kBusy) {
    }
    if (state == kOwned) ::unlink(slotPath[i]);
  }
  errno = savedErrno;
  // Delivered once the handler returns, now with the default action.
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

// Blocks the interrupting signals in the calling thread for one scope.
class InterruptsBlocked {
 public:
  InterruptsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kInterruptSignals) sigaddset(&set, s);
    ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~InterruptsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  InterruptsBlocked(const InterruptsBlocked&) = delete;
  InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// A Busy slot, or -1 when all are taken (the file is then not removed on
// interruption, but written all the same).
int claimSlot() {
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (slotState[i].compare_exchange_strong(expected, kBusy)) return i;
  }
  return -1;
}

void randomSuffix(char* out, size_t n) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[16];
  if (::getrandom(bytes, n, GRND_NONBLOCK) != static_cast<ssize_t>(n)) {
    // No entropy yet: time and process id, still checked by O_EXCL.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long x = static_cast<unsigned long long>(now.tv_nsec) ^
                           (static_cast<unsigned long long>(::getpid()) << 32);
    for (size_t i = 0; i < n; ++i, x = x * 6364136223846793005ULL + 1442695040888963407ULL)
      bytes[i] = static_cast<unsigned char>(x >> 56);
  }
  for (size_t i = 0; i < n; ++i) out[i] = kAlphabet[bytes[i] % 62];
}

bool writeAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Writes the pieces in order, whatever the system takes per call.
bool writeAllPieces(int fd, iovec* pieces, size_t count) {
  constexpr size_t kPerCall = 1024;  // IOV_MAX on Linux
  while (count > 0) {
    const int n = static_cast<int>(std::min(count, kPerCall));
    ssize_t written = ::writev(fd, pieces, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    while (count > 0 && static_cast<size_t>(written) >= pieces->iov_len) {
      written -= static_cast<ssize_t>(pieces->iov_len);
      ++pieces;
      --count;
    }
    if (count > 0) {
      pieces->iov_base = static_cast<unsigned char*>(pieces->iov_base) + written;
      pieces->iov_len -= static_cast<size_t>(written);
    }
  }
  return true;
}

void putLittleEndian(unsigned char* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// An 8-bit single-channel image as a BMP, byte for byte what OpenCV's
// encoder makes of it: the file and information headers, a palette of the
// 256 greys, then the rows from the bottom up, each padded with zeros to a
// multiple of 4 bytes. The rows are written straight from the image, so no
// second copy of it is made. Empty when the image is of another kind or the
// file would not fit the format's 32-bit sizes.
class GreyBmp {
 public:
  static constexpr size_t kHeaderBytes = 14 + 40 + 256 * 4;

  explicit GreyBmp(const cv::Mat& image) {
    if (image.type() != CV_8UC1 || image.dims != 2 || image.empty()) return;
    const size_t width = static_cast<size_t>(image.cols);
    const size_t rowBytes = (width + 3) / 4 * 4;
    const size_t rows = static_cast<size_t>(image.rows);
    if (rowBytes > (std::numeric_limits<std::uint32_t>::max() - kHeaderBytes) / rows)
      return;
    unsigned char* h = header_;
    std::memset(h, 0, kHeaderBytes);
    h[0] = 'B';
    h[1] = 'M';
    putLittleEndian(h + 2, static_cast<std::uint32_t>(kHeaderBytes + rowBytes * rows));
    putLittleEndian(h + 10, static_cast<std::uint32_t>(kHeaderBytes));
    putLittleEndian(h + 14, 40);
    putLittleEndian(h + 18, static_cast<std::uint32_t>(width));
    putLittleEndian(h + 22, static_cast<std::uint32_t>(rows));
    h[26] = 1;  // planes
    h[28] = 8;  // bits a pixel; no compression, sizes and resolutions left 0
    for (int grey = 0; grey < 256; ++grey)
      std::memset(h + 54 + 4 * grey, grey, 3);  // blue, green, red; the fourth stays 0
    image_ = image;
    width_ = width;
    padding_ = rowBytes - width;
  }

  bool empty() const { return image_.empty(); }

  // The pieces go to the system a bounded batch at a time, so that an image
  // of many short rows needs no long list of them.
  bool writeTo(int fd) {
    constexpr size_t kBatch = 1024;
    iovec pieces[kBatch];
    size_t count = 0;
    pieces[count++] = {header_, kHeaderBytes};
    for (int r = image_.rows; r-- > 0;) {
      if (count + 2 > kBatch) {
        if (!writeAllPieces(fd, pieces, count)) return false;
        count = 0;
      }
      pieces[count++] = {const_cast<unsigned char*>(image_.ptr<unsigned char>(r)), width_};
      if (padding_ > 0) pieces[count++] = {zeros_, padding_};
    }
    return writeAllPieces(fd, pieces, count);
  }

 private:
  unsigned char header_[kHeaderBytes];
  unsigned char zeros_[3] = {0, 0, 0};
  cv::Mat image_;  // shares the rows, copies nothing
  size_t width_ = 0;
  size_t padding_ = 0;
};

// Makes the rename itself durable. The new file is complete whatever happens
// here, so a directory that cannot be synced does not fail the write.
void syncDirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

void prepareProcess() {
  // Descriptors are handed out lowest first, so each closed one of 0, 1, 2 in
  // turn is taken by /dev/null.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) ::close(opened);  // fd was taken meanwhile
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  for (const int s : kInterruptSignals) {
    struct sigaction previous {};
    if (::sigaction(s, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
      continue;  // e.g. nohup, or a background job of a shell: stays ignored
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int t : kInterruptSignals) sigaddset(&action.sa_mask, t);
    action.sa_flags = SA_RESTART;
    ::sigaction(s, &action, nullptr);
  }
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  // The decoders' wrappers print what they catch to std::cerr (with the
  // input's path as it is, control characters and all); the programs report
  // every failure on standard output themselves.
  std::cerr.rdbuf(nullptr);
  // The library the decoders use for geospatial formats writes its errors to
  // the file its CPL_LOG setting names, standard error unless set; a user's
  // own setting is kept.
  ::setenv("CPL_LOG", "/dev/null", 0);
}

PendingFile::~PendingFile() { discard(); }

bool PendingFile::write(const std::string& prefix, const cv::Mat& image,
                        int& errorNumber) {
  discard();
  errorNumber = 0;
  // Results are written from the image itself; anything else is encoded in
  // memory first.
  GreyBmp grey(image);
  std::vector<unsigned char> encoded;
  try {
    if (grey.empty() && !cv::imencode(".bmp", image, encoded)) return false;
  } catch (const cv::Exception&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }

  constexpr size_t kSuffix = 6;
  std::string name = prefix + std::string(kSuffix, 'X');
  int fd = -1;
  {
    const InterruptsBlocked blocked;
    slot_ = name.size() < kMaxPath ? claimSlot() : -1;
    if (interrupted.load()) {
      if (slot_ >= 0) slotState[slot_].store(kFree);
      slot_ = -1;
      return false;
    }
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      randomSuffix(&name[name.size() - kSuffix], kSuffix);
      if (slot_ >= 0) std::memcpy(slotPath[slot_], name.c_str(), name.size() + 1);
      // 0666 less the umask: the permissions of a plainly created file.
      fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      errorNumber = errno;
      if (slot_ >= 0) slotState[slot_].store(kFree);
      slot_ = -1;
      return false;
    }
    path_ = name;
    if (slot_ >= 0) slotState[slot_].store(kOwned);
  }

  bool ok = grey.empty() ? writeAll(fd, encoded.data(), encoded.size()) : grey.writeTo(fd);
  ok = ok && ::fsync(fd) == 0;
  if (!ok) errorNumber = errno;
  if (::close(fd) != 0 && ok) {
    errorNumber = errno;
    ok = false;
  }
  if (!ok) discard();
  return ok;
}

bool PendingFile::renameTo(const std::string& target) {
  if (path_.empty()) return false;
  const InterruptsBlocked blocked;
  if (slot_ >= 0) slotState[slot_].store(kBusy);
  // Once interrupted, whatever stands at target stays as it is.
  const bool ok = !interrupted.load() && ::rename(path_.c_str(), target.c_str()) == 0;
  if (slot_ >= 0) slotState[slot_].store(ok ? kFree : kOwned);
  if (ok) {
    slot_ = -1;
    path_.clear();
  }
  return ok;
}

void PendingFile::released() {
  const InterruptsBlocked blocked;
  if (slot_ >= 0) slotState[slot_].store(kFree);
  slot_ = -1;
  path_.clear();
}

void PendingFile::discard() {
  if (path_.empty()) return;
  const InterruptsBlocked blocked;
  if (slot_ >= 0) slotState[slot_].store(kBusy);
  ::unlink(path_.c_str());
  if (slot_ >= 0) slotState[slot_].store(kFree);
  slot_ = -1;
  path_.clear();
}

bool writeBmpAtomically(const std::string& path, const cv::Mat& image, int* errorNumber) {
  PendingFile pending;
  int error = 0;
  if (pending.write(path + ".", image, error)) {
    if (pending.renameTo(path)) {
      syncDirectoryOf(path);
      return true;
    }
    error = errno;
  }
  if (errorNumber != nullptr) *errorNumber = error;
  return false;
}

}  // namespace contours
