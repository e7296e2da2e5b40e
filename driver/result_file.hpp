#pragma once
// Writing a result image so that a reader never sees a partial file.

#include <string>

#include <opencv2/core.hpp>

namespace contours {

// Encodes image as BMP in memory, writes it to a temporary file in the
// destination's directory, flushes it to disk and renames it over path.
// On any failure the temporary file is removed and whatever stood at path
// before stays exactly as it was. Returns false on failure.
bool writeBmpAtomically(const std::string& path, const cv::Mat& image);

}  // namespace contours
