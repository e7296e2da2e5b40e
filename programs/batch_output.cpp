#include "batch_output.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "result_file.hpp"

namespace contours {

namespace {

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// Gives the finished file at temporary the name target unless target exists.
// Returns 0 or the errno of the failure (EEXIST when the name is taken);
// moved tells whether temporary is gone.
int linkNoReplace(const std::string& temporary, const std::string& target,
                  bool& moved) {
  moved = false;
  if (::link(temporary.c_str(), target.c_str()) == 0) return 0;
  const int linkError = errno;
  if (linkError != EPERM && linkError != EOPNOTSUPP && linkError != ENOSYS) {
    return linkError;
  }
  // File systems without hard links: an exclusive rename does the same.
  if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(),
                  RENAME_NOREPLACE) == 0) {
    moved = true;
    return 0;
  }
  return errno;
}

// Blocks the interrupting signals in the calling thread for one scope.
class InterruptsHeld {
 public:
  InterruptsHeld() {
    const sigset_t set = interruptSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~InterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  sigset_t previous_;
};

// Reads up to size bytes, fewer only at the end of the file; -1 on error.
ssize_t readFully(int fd, unsigned char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool earlier(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Whether path is a regular file (a link is not followed), last written
// before since, that holds exactly the bytes of the file at reference.
bool holdsSameBytes(const std::string& path, const std::string& reference,
                    const timespec& since) {
  // Non-blocking, so that a FIFO under the name does not hold the run up.
  const int existing = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (existing < 0) return false;
  const int ours = ::open(reference.c_str(), O_RDONLY | O_CLOEXEC);
  bool same = false;
  struct stat a {}, b {};
  if (ours >= 0 && ::fstat(existing, &a) == 0 && ::fstat(ours, &b) == 0 &&
      S_ISREG(a.st_mode) && earlier(a.st_mtim, since) && a.st_size == b.st_size) {
    constexpr size_t kChunk = 32 * 1024;
    unsigned char x[kChunk], y[kChunk];
    for (;;) {
      const ssize_t n = readFully(existing, x, kChunk);
      const ssize_t m = readFully(ours, y, kChunk);
      if (n < 0 || n != m || std::memcmp(x, y, static_cast<size_t>(n)) != 0) break;
      if (n == 0) {
        same = true;
        break;
      }
    }
  }
  if (ours >= 0) ::close(ours);
  ::close(existing);
  return same;
}

// When this process started, by the real-time clock: the kernel's record of
// it (in clock ticks after boot, cut to a tick, so never later than the start)
// carried over to real time; the present moment when that cannot be read.
timespec processStart() {
  timespec now{}, sinceBoot{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
  char text[1024];
  ssize_t size = -1;
  const int fd = ::open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    size = readFully(fd, reinterpret_cast<unsigned char*>(text), sizeof text - 1);
    ::close(fd);
  }
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  if (size <= 0 || ticksPerSecond <= 0) return now;
  text[size] = '\0';
  // The name of the program, in parentheses, may hold anything; the start
  // time is the 20th field after it.
  const char* field = std::strrchr(text, ')');
  for (int i = 0; field != nullptr && i < 20; ++i) field = std::strchr(field + 1, ' ');
  if (field == nullptr) return now;
  const unsigned long long ticks = std::strtoull(field + 1, nullptr, 10);
  const long long nano = 1000000000;
  const long long age = (sinceBoot.tv_sec * nano + sinceBoot.tv_nsec) -
                        static_cast<long long>(ticks / ticksPerSecond) * nano -
                        static_cast<long long>(ticks % ticksPerSecond) * nano / ticksPerSecond;
  if (age < 0) return now;
  const long long start = now.tv_sec * nano + now.tv_nsec - age;
  return timespec{static_cast<time_t>(start / nano), static_cast<long>(start % nano)};
}

// The length of the start of name that is at most limit bytes long and ends
// on a UTF-8 character boundary: the cut backs off the continuation bytes of a
// character it would split (at most three, whatever the bytes).
size_t characterCut(const std::string& name, size_t limit) {
  if (limit >= name.size()) return name.size();
  size_t cut = limit;
  for (int back = 0; back < 3 && cut > 0 &&
                     (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80;
       ++back)
    --cut;
  return cut;
}

}  // namespace

std::string resultBaseName(const std::string& inputPath) {
  std::string::size_type end = inputPath.find_last_not_of('/');
  if (end == std::string::npos) return "image";
  const std::string::size_type slash = inputPath.rfind('/', end);
  const std::string::size_type begin = slash == std::string::npos ? 0 : slash + 1;
  std::string name = inputPath.substr(begin, end + 1 - begin);
  if (name == "." || name == "..") return "image";
  return name;
}

std::size_t fileNameLimit(const std::string& directory) {
  const long limit = ::pathconf(directory.c_str(), _PC_NAME_MAX);
  return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

std::string resultCandidate(const std::string& outputDir,
                            const std::string& baseName, unsigned n,
                            std::size_t nameLimit) {
  const std::string suffix = n <= 1 ? ".bmp" : "." + std::to_string(n) + ".bmp";
  if (suffix.size() >= nameLimit) return std::string();
  const size_t keep = characterCut(baseName, nameLimit - suffix.size());
  if (keep == 0) return std::string();
  return joinPath(outputDir, baseName.substr(0, keep) + suffix);
}

sigset_t interruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

ResultFolder::ResultFolder(std::string directory)
    : directory_(std::move(directory)),
      nameLimit_(fileNameLimit(directory_)),
      runStart_(processStart()) {}

void ResultFolder::remember(const std::string& path) noexcept {
  try {
    given_.insert(path);
  } catch (const std::bad_alloc&) {
    // Forgotten: a later image with the same bytes may share the file.
  }
}

std::string ResultFolder::file(const std::string& baseName, const cv::Mat& image,
                               FilingReport& report, std::string& error) {
  // A short fixed stem keeps the temporary name within the file name limit
  // whatever the length of the input's name.
  PendingFile pending;
  int errorNumber = 0;
  if (!pending.write(joinPath(directory_, ".contours-batch."), image, errorNumber)) {
    error = "cannot write the result in " + directory_;
    if (errorNumber != 0) error += std::string(": ") + std::strerror(errorNumber);
    return std::string();
  }

  for (unsigned n = 1; n < std::numeric_limits<unsigned>::max(); ++n) {
    // Not const: returned by moving, with no allocation that could fail
    // once the result is reported.
    std::string candidate = resultCandidate(directory_, baseName, n, nameLimit_);
    if (candidate.empty()) {
      error = "cannot write the result in " + directory_ + ": " + std::strerror(ENAMETOOLONG);
      break;
    }
    report.awaitRoom();
    int failure = 0;
    {
      // The name and the report in one step, as far as an interruption goes.
      const InterruptsHeld held;
      bool moved = false;
      failure = linkNoReplace(pending.path(), candidate, moved);
      if (moved) pending.released();
      if (failure == 0) report.report(candidate);
    }
    if (failure == 0) {
      remember(candidate);
      return candidate;  // the temporary name goes with pending
    }
    if (failure != EEXIST) {
      error = "cannot write " + candidate + ": " + std::strerror(failure);
      break;
    }
    if (given_.count(candidate) == 0 && holdsSameBytes(candidate, pending.path(), runStart_)) {
      report.report(candidate);
      remember(candidate);
      return candidate;
    }
  }
  return std::string();
}

}  // namespace contours
