#pragma once
// Reading an input image: the file is read once, whatever it is (a regular
// file, a FIFO, a pipe, /dev/stdin), and its bytes decoded in memory, so
// that every input is analysed alike, bit for bit.

#include <cstddef>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

namespace contours {

// Why readImage delivered no image.
enum class ReadStatus {
  Ok,           // image holds the decoded pixels
  Unreadable,   // missing, unreadable, malformed, truncated or unsupported
                // file, or a header claiming more pixels than the decoders
                // accept
  OutOfMemory,  // the file may be fine, but its bytes or its pixels could
                // not be allocated
  Interrupted,  // keepWaiting said to stop while the file was awaited
};

struct ReadResult {
  ReadStatus status = ReadStatus::Unreadable;
  cv::Mat image;         // 3-channel 8-bit BGR when status is Ok, empty otherwise
  int errorNumber = 0;   // the errno of a failed open or read of the file, or 0
};

// The bytes a file holds, read to its end once.
struct FileContent {
  ReadStatus status = ReadStatus::Unreadable;
  std::vector<unsigned char> bytes;
  int errorNumber = 0;  // the errno of a failed open or read, or 0
  bool regular = false;  // a regular file, which could be opened again
};

// Called when a wait for the file (opening a FIFO that has no writer yet, a
// read from a pipe) is interrupted by a signal; returns whether to go on
// waiting. Without one, the wait goes on.
using KeepWaiting = std::function<bool()>;

// Reads everything the file at path holds. A stream (FIFO, pipe, character
// device) that does not start like an image is not read past 16 MiB.
FileContent readFileContent(const char* path, const KeepWaiting& keepWaiting = {});

// Decodes an image file held in memory as 3-channel 8-bit BGR, as the
// decoders of OpenCV do from a file, except that a JPEG whose data ends before
// its end-of-image marker (a truncated download) is Unreadable rather than
// completed with grey. Nothing is thrown: whatever a decoder throws or refuses
// is Unreadable, except a failure to allocate memory, which is OutOfMemory.
ReadResult decodeImage(const unsigned char* data, std::size_t size);

// Decodes what readFileContent read from path (its failure passed on).
ReadResult decodeContent(FileContent content, const char* path);

// readFileContent, then decodeContent.
ReadResult readImage(const char* path, const KeepWaiting& keepWaiting = {});

// Whether a JPEG stream reaches its end-of-image marker: the segments are
// walked by their lengths and the entropy-coded data of each scan to the
// marker that ends it. False for data that is not a JPEG stream.
bool jpegReachesItsEnd(const unsigned char* data, std::size_t size);

// Makes the decoders ready: their first use registers every codec (some of
// which load sizeable libraries). Called once on the main thread before
// anything else is read, so that a failure there, such as no memory under an
// address-space limit, is caught and reported; false on such a failure.
bool prepareDecoders();

}  // namespace contours
