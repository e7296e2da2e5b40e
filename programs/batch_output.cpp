#include "batch_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

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

std::string resultCandidate(const std::string& outputDir,
                            const std::string& baseName, unsigned n) {
  if (n <= 1) return joinPath(outputDir, baseName + ".bmp");
  return joinPath(outputDir, baseName + "." + std::to_string(n) + ".bmp");
}

std::string publishResult(const std::string& outputDir,
                          const std::string& baseName, const cv::Mat& image,
                          std::string& error) {
  // A short fixed stem keeps the temporary name within the file name limit
  // whatever the length of the input's name.
  PendingFile pending;
  int errorNumber = 0;
  if (!pending.write(joinPath(outputDir, ".contours-batch."), image, errorNumber)) {
    error = "cannot write the result in " + outputDir;
    if (errorNumber != 0) error += std::string(": ") + std::strerror(errorNumber);
    return std::string();
  }

  for (unsigned n = 1; n < std::numeric_limits<unsigned>::max(); ++n) {
    const std::string candidate = resultCandidate(outputDir, baseName, n);
    bool moved = false;
    const int failure = linkNoReplace(pending.path(), candidate, moved);
    if (moved) pending.released();
    if (failure == 0) return candidate;  // the temporary name goes with pending
    if (failure != EEXIST) {
      error = "cannot write " + candidate + ": " + std::strerror(failure);
      break;
    }
  }
  return std::string();
}

}  // namespace contours
