#pragma once
// Where the pipeline's large working arrays come from. Private to the library.
//
// Large arrays come from the kernel as zero pages: nothing is zero-filled by
// hand, a page is only touched by the stage that fills it (and never, if no
// stage does), and whole 2 MiB stretches are offered as transparent huge
// pages so that a first touch costs one fault per 2 MiB instead of per 4 KiB.

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

namespace contours {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Buffer = std::unique_ptr<T[], FreeDeleter>;

// n elements of T, every byte 0 (calloc: large blocks are fresh zero pages).
// Throws std::bad_alloc when the memory cannot be had.
void* zeroedBytes(std::size_t n, std::size_t size);
template <class T>
Buffer<T> zeroedBuffer(std::size_t n) {
  return Buffer<T>(static_cast<T*>(zeroedBytes(n, sizeof(T))));
}

// Asks for transparent huge pages on the whole 2 MiB pages inside
// [p, p + bytes) before they are first written; a refused hint only costs
// speed.
void adviseHugePages(void* p, std::size_t bytes);

// Gives the whole pages inside [p, p + bytes) back to the system; their
// contents are lost (they read as 0 if touched again), the range stays
// allocated. A refused request only costs memory.
void releasePages(void* p, std::size_t bytes);

// Zero-filled memory mapped straight from the kernel in whole 2 MiB pages
// (the size rounded up to them), starting on a 2 MiB boundary, so that all of
// it can be huge pages, each faulted in at its first touch. Throws
// std::bad_alloc when the mapping fails.
class PageBlock {
 public:
  explicit PageBlock(std::size_t bytes);
  ~PageBlock();
  PageBlock(const PageBlock&) = delete;
  PageBlock& operator=(const PageBlock&) = delete;

  template <class T>
  T* as() const {
    return static_cast<T*>(data_);
  }

 private:
  void* base_ = nullptr;
  void* data_ = nullptr;
  std::size_t length_ = 0;
};

// n zero-filled elements of T. From kMapped bytes (256 KiB) on they are a
// PageBlock, each huge page zeroed at its first touch, by whichever band
// touches it (a first touch of 4 KiB pages costs a fault a page, and mapping
// every page at once is a serial pass of its own); below, they come from the
// heap (zeroed there). Throws std::bad_alloc when the memory cannot be had.
template <class T>
class ZeroedArray {
 public:
  explicit ZeroedArray(std::size_t n) {
    if (n >= kMapped / sizeof(T))
      mapped_ = std::make_unique<PageBlock>(n * sizeof(T));
    else
      heap_ = zeroedBuffer<T>(n);
  }
  T* get() const { return mapped_ != nullptr ? mapped_->as<T>() : heap_.get(); }

 private:
  static constexpr std::size_t kMapped = std::size_t{256} << 10;
  std::unique_ptr<PageBlock> mapped_;
  Buffer<T> heap_;
};

// An allocator for working vectors (the search summaries): from 256 KiB on,
// memory on a 2 MiB boundary in whole 2 MiB pages, offered as huge pages
// before the vector first writes it, so that its first touch costs a fault
// per 2 MiB instead of per 4 KiB; below, the heap's. Throws std::bad_alloc.
void* workingBytes(std::size_t bytes);
template <class T>
struct WorkingAllocator {
  using value_type = T;
  WorkingAllocator() = default;
  template <class U>
  WorkingAllocator(const WorkingAllocator<U>&) {}  // NOLINT: rebinding
  T* allocate(std::size_t n) { return static_cast<T*>(workingBytes(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) { std::free(p); }
  template <class U>
  bool operator==(const WorkingAllocator<U>&) const {
    return true;
  }
  template <class U>
  bool operator!=(const WorkingAllocator<U>&) const {
    return false;
  }
};
template <class T>
using WorkingVector = std::vector<T, WorkingAllocator<T>>;

}  // namespace contours
