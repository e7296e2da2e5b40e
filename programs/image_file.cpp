#include "image_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include <opencv2/imgcodecs.hpp>

namespace contours {

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A stream is read whole only when it starts like a file some decoder takes;
// /dev/zero or an endless pipe of text is refused once it passes this size.
constexpr std::size_t kStreamProbeBytes = std::size_t{16} << 20;

bool startsWith(const std::vector<unsigned char>& bytes, const char* prefix,
                std::size_t length) {
  return bytes.size() >= length && std::memcmp(bytes.data(), prefix, length) == 0;
}

// The leading bytes by which the decoders recognise their formats.
bool startsLikeAnImage(const std::vector<unsigned char>& b) {
  static const struct {
    const char* bytes;
    std::size_t length;
  } kSignatures[] = {
      {"BM", 2},                              // BMP
      {"\xFF\xD8\xFF", 3},                    // JPEG
      {"\x89PNG\r\n\x1A\n", 8},               // PNG
      {"II*\0", 4},            {"MM\0*", 4},  // TIFF
      {"II+\0", 4},            {"MM\0+", 4},  // BigTIFF
      {"RIFF", 4},                            // WebP
      {"\x59\xA6\x6A\x95", 4},                // Sun raster
      {"#?", 2},                              // Radiance HDR
      {"\x76\x2F\x31\x01", 4},                // OpenEXR
      {"\xFF\x4F\xFF\x51", 4},                // JPEG 2000 codestream
      {"\0\0\0\x0CjP  ", 8},                  // JPEG 2000 file
      {"NITF", 4},
  };
  for (const auto& s : kSignatures)
    if (startsWith(b, s.bytes, s.length)) return true;
  // Netpbm (P1 to P7) and PFM (PF, Pf).
  return b.size() >= 2 && b[0] == 'P' &&
         ((b[1] >= '1' && b[1] <= '7') || b[1] == 'F' || b[1] == 'f');
}

bool interruptedAndStopping(const KeepWaiting& keepWaiting) {
  return errno == EINTR && keepWaiting && !keepWaiting();
}

}  // namespace

FileContent readFileContent(const char* path, const KeepWaiting& keepWaiting) {
  FileContent content;
  int fd;
  // Opening a FIFO waits for its writer.
  while ((fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY)) < 0) {
    if (interruptedAndStopping(keepWaiting)) {
      content.status = ReadStatus::Interrupted;
      return content;
    }
    if (errno != EINTR) {
      content.errorNumber = errno;
      return content;
    }
  }
  const Descriptor file(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    content.errorNumber = errno;
    return content;
  }
  if (S_ISDIR(info.st_mode)) {
    content.errorNumber = EISDIR;
    return content;
  }
  const bool regular = S_ISREG(info.st_mode);
  content.regular = regular;
  try {
    // A regular file is read in one go, one byte more than its size so that
    // its end is seen at once; whatever is appended meanwhile is read too.
    std::size_t capacity = regular ? static_cast<std::size_t>(info.st_size) + 1 : 65536;
    std::vector<unsigned char>& bytes = content.bytes;
    std::size_t size = 0;
    for (;;) {
      if (size == capacity) {
        if (!regular && size >= kStreamProbeBytes && !startsLikeAnImage(bytes))
          return content;  // Unreadable
        capacity *= 2;
      }
      // Grown without being zeroed first would be nicer; resize zeroes at
      // most once per doubling, a small cost against decoding.
      if (bytes.size() < capacity) bytes.resize(capacity);
      const ssize_t n = ::read(fd, bytes.data() + size, capacity - size);
      if (n > 0) {
        size += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) break;
      if (interruptedAndStopping(keepWaiting)) {
        content.status = ReadStatus::Interrupted;
        bytes = {};
        return content;
      }
      if (errno != EINTR) {
        content.errorNumber = errno;
        bytes = {};
        return content;
      }
    }
    bytes.resize(size);
    bytes.shrink_to_fit();
  } catch (const std::bad_alloc&) {
    content.bytes = {};
    content.status = ReadStatus::OutOfMemory;
    return content;
  } catch (const std::length_error&) {
    content.bytes = {};
    content.status = ReadStatus::OutOfMemory;
    return content;
  }
  content.status = ReadStatus::Ok;
  return content;
}

bool jpegReachesItsEnd(const unsigned char* data, std::size_t size) {
  if (size < 2 || data[0] != 0xFF || data[1] != 0xD8) return false;
  std::size_t i = 2;
  for (;;) {
    // To the next marker: bytes that are not one are skipped, as the decoder
    // skips them (with a warning), and so are fill bytes.
    while (i < size && data[i] != 0xFF) ++i;
    while (i < size && data[i] == 0xFF) ++i;
    if (i >= size) return false;
    const unsigned char marker = data[i++];
    if (marker == 0xD9) return true;                                   // EOI
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
    if (size - i < 2) return false;
    const std::size_t length = (std::size_t{data[i]} << 8) | data[i + 1];
    if (length < 2 || size - i < length) return false;
    i += length;
    if (marker != 0xDA) continue;
    // Entropy-coded data: a 0xFF is followed by a stuffed 0x00, a restart
    // marker, more fill, or the marker that ends the scan.
    for (;;) {
      const void* found = std::memchr(data + i, 0xFF, size - i);
      if (found == nullptr) return false;
      i = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - data);
      std::size_t next = i + 1;
      while (next < size && data[next] == 0xFF) ++next;
      if (next >= size) return false;
      const unsigned char after = data[next];
      if (after == 0x00 || (after >= 0xD0 && after <= 0xD7)) {
        i = next + 1;
        continue;
      }
      i = next - 1;  // at the 0xFF before the marker
      break;
    }
  }
}

namespace {

// Runs one decode, which delivers an image or an empty matrix. The decoders
// report a failed allocation in several ways: an exception that reaches
// here, one that OpenCV catches and prints, or a plain refusal. Each of them
// leaves ENOMEM in errno (the allocator sets it), which nothing else in a
// decode does.
template <typename Decode>
ReadResult guardedDecode(Decode decode) {
  ReadResult result;
  errno = 0;
  try {
    result.image = decode();
    if (result.image.data != nullptr)
      result.status = ReadStatus::Ok;
    else if (errno == ENOMEM)
      result.status = ReadStatus::OutOfMemory;
  } catch (const cv::Exception& e) {
    if (e.code == cv::Error::StsNoMem) result.status = ReadStatus::OutOfMemory;
  } catch (const std::bad_alloc&) {
    result.status = ReadStatus::OutOfMemory;
  } catch (...) {
  }
  if (result.status != ReadStatus::Ok) result.image.release();
  return result;
}

}  // namespace

ReadResult decodeImage(const unsigned char* data, std::size_t size) {
  if (size == 0 || size > static_cast<std::size_t>(INT_MAX)) return ReadResult();
  ReadResult result = guardedDecode([data, size] {
    const cv::Mat buffer(1, static_cast<int>(size), CV_8UC1,
                         const_cast<unsigned char*>(data));
    return cv::imdecode(buffer, cv::IMREAD_COLOR);
  });
  // A cut JPEG decodes with its missing rows grey, and only a warning.
  const bool jpeg = size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
  if (result.status == ReadStatus::Ok && jpeg && !jpegReachesItsEnd(data, size)) {
    result.status = ReadStatus::Unreadable;
    result.image.release();
  }
  return result;
}

ReadResult decodeContent(FileContent content, const char* path) {
  if (content.status != ReadStatus::Ok) {
    ReadResult result;
    result.status = content.status;
    result.errorNumber = content.errorNumber;
    return result;
  }
  if (content.bytes.size() > static_cast<std::size_t>(INT_MAX) && content.regular) {
    // More than the in-memory decoders take in one buffer: such a file (an
    // uncompressed image of some 700 million pixels or more) is decoded from
    // the file itself, which a regular file allows.
    content.bytes = {};
    return guardedDecode([path] { return cv::imread(path, cv::IMREAD_COLOR); });
  }
  return decodeImage(content.bytes.data(), content.bytes.size());
}

ReadResult readImage(const char* path, const KeepWaiting& keepWaiting) {
  return decodeContent(readFileContent(path, keepWaiting), path);
}

bool prepareDecoders() {
  // The smallest BMP there is: one black pixel.
  static const unsigned char kPixel[] = {
      'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0,
      1,   0,   24, 0, 0, 0, 0, 0, 4, 0, 0,  0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0,   0,   0,  0, 0, 0};
  return decodeImage(kPixel, sizeof kPixel).status == ReadStatus::Ok;
}

}  // namespace contours
