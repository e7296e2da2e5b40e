#pragma once
// Reading an input image and writing a result image, shared by the command
// line tools.

#include <string>

#include <opencv2/core.hpp>

namespace contours {

// Encodes image as BMP in memory, writes it to a temporary file in the
// destination's directory, flushes it to disk and renames it over path.
// On any failure the temporary file is removed and whatever stood at path
// before stays exactly as it was. Returns false on failure.
bool writeBmpAtomically(const std::string& path, const cv::Mat& image);

// Decodes the image file at path as 3-channel 8-bit BGR. Whatever a decoder
// throws or refuses (a malformed or truncated file, a header claiming more
// pixels than the decoders accept, no memory for the pixels) gives an empty
// matrix, a read error like an unreadable file.
cv::Mat readImage(const char* path);

}  // namespace contours
