#pragma once
// Runs the built executables in a directory of their own and captures what
// they print, for end-to-end tests.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace clirunner {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;      // exit status, when the process exited
  int signal = 0;       // the signal that ended it, if any
  std::string out;      // standard output
  std::string err;      // standard error
};

inline std::string slurp(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// Runs program with args in dir. beforeExec runs in the child, after chdir.
template <typename BeforeExec>
Outcome run(const fs::path& dir, const std::string& program, const std::vector<std::string>& args,
            BeforeExec beforeExec) {
  const fs::path outPath = fs::temp_directory_path() / ("contours-out-" + std::to_string(::getpid()));
  const fs::path errPath = fs::temp_directory_path() / ("contours-err-" + std::to_string(::getpid()));
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(120);
    beforeExec();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(121);
  }
  Outcome outcome;
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) outcome.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) outcome.signal = WTERMSIG(wstatus);
  const int out = ::open(outPath.c_str(), O_RDONLY);
  const int err = ::open(errPath.c_str(), O_RDONLY);
  outcome.out = slurp(out);
  outcome.err = slurp(err);
  ::close(out);
  ::close(err);
  fs::remove(outPath);
  fs::remove(errPath);
  return outcome;
}

inline Outcome run(const fs::path& dir, const std::string& program,
                   const std::vector<std::string>& args) {
  return run(dir, program, args, [] {});
}

// A fresh empty directory, removed with everything in it at the end of scope.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "contours-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace clirunner
