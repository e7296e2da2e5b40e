#pragma once
// Placing contours-batch results in the output directory without ever
// replacing a file that is already there.

#include <string>

#include <opencv2/core.hpp>

namespace contours {

// The name a result is filed under: the last component of the input path
// (trailing slashes ignored), "image" when the path has none.
std::string resultBaseName(const std::string& inputPath);

// The candidate result paths for a base name, in the order they are tried:
// n = 1 gives DIR/NAME.bmp, n = 2 gives DIR/NAME.2.bmp, and so on.
std::string resultCandidate(const std::string& outputDir,
                            const std::string& baseName, unsigned n);

// Writes image as a BMP under the first candidate name that does not exist yet
// and returns that path, or an empty string when it cannot be written (error
// then says why). The file is completed and flushed under a hidden temporary
// name first and then linked to its final name in one step that fails if the
// name is taken, so a result never replaces an existing file, not even one
// created at the same moment by another process, and a reader never sees a
// partial result.
std::string publishResult(const std::string& outputDir,
                          const std::string& baseName, const cv::Mat& image,
                          std::string& error);

}  // namespace contours
