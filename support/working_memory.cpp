#include "support/working_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace contours {

namespace {
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
}

void* zeroedBytes(std::size_t n, std::size_t size) {
  void* p = std::calloc(n == 0 ? 1 : n, size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* workingBytes(std::size_t bytes) {
  constexpr std::size_t kLarge = std::size_t{256} << 10;
  if (bytes < kLarge) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  const std::size_t whole = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* p = std::aligned_alloc(kHugePage, whole);
  if (p == nullptr) throw std::bad_alloc();
  adviseHugePages(p, whole);
  return p;
}

void adviseHugePages(void* p, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  const std::uintptr_t begin =
      (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

void releasePages(void* p, std::size_t bytes) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(page - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

PageBlock::PageBlock(std::size_t bytes) {
  // Whole huge pages: a tail of 4 KiB pages would cost a fault a page.
  bytes = (std::max<std::size_t>(bytes, 1) + kHugePage - 1) & ~(kHugePage - 1);
  length_ = bytes + kHugePage;
  void* p = ::mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                   -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  base_ = p;
  data_ = reinterpret_cast<void*>((reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) &
                                  ~(kHugePage - 1));
  adviseHugePages(data_, bytes);
}

PageBlock::~PageBlock() { ::munmap(base_, length_); }

}  // namespace contours
