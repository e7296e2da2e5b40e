#include "result_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace contours {

namespace {

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

bool writeBmpAtomically(const std::string& path, const cv::Mat& image) {
  std::vector<unsigned char> encoded;
  try {
    if (!cv::imencode(".bmp", image, encoded)) return false;
  } catch (const cv::Exception&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }

  std::string temporary = path + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;

  // mkstemp creates the file private to its owner; give the result the
  // permissions a plainly created file would have.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  bool ok = ::fchmod(fd, 0666 & ~mask) == 0;
  ok = ok && writeAll(fd, encoded.data(), encoded.size());
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  syncDirectoryOf(path);
  return true;
}

cv::Mat readImage(const char* path) {
  try {
    return cv::imread(path, cv::IMREAD_COLOR);
  } catch (...) {
  }
  return cv::Mat();
}

}  // namespace contours
