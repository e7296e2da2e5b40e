// Preloaded into a program under test: fsync on a regular file waits up to a
// minute before it does its work. A result file is then always complete on
// disk but not yet published while the program waits, so a test can interrupt
// the write at that point every time instead of racing it.

#include <dlfcn.h>
#include <sys/stat.h>
#include <time.h>

extern "C" int fsync(int fd) {
  using Fsync = int (*)(int);
  static const Fsync next = reinterpret_cast<Fsync>(::dlsym(RTLD_NEXT, "fsync"));
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    // An interrupting signal ends the process from its handler; any other
    // wakes nanosleep early and the wait goes on to its end.
    timespec left{60, 0};
    while (::nanosleep(&left, &left) != 0) {
    }
  }
  return next != nullptr ? next(fd) : -1;
}
