// The Python module: the one-call analysis on numpy arrays and image files.
//
// Arrays are read through their strides, so slices, views and Fortran-order
// arrays need no copy by the caller; a (H, W, 3) array in blue-green-red order
// whose pixels are packed within each row is analysed in place. Every other
// layout is converted to a packed BGR copy first, as the decoder converts grey
// and four-channel files. The analysis and the decoding run with the GIL
// released.

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl/filesystem.h>

#include <opencv2/core.hpp>

#include "contours.hpp"
#include "image_file.hpp"

namespace py = pybind11;

namespace {

enum class Order { Bgr, Rgb };

Order parseOrder(const std::string& order) {
  if (order == "bgr") return Order::Bgr;
  if (order == "rgb") return Order::Rgb;
  throw py::value_error("order must be 'bgr' or 'rgb', not '" + order + "'");
}

std::string typeName(const py::handle& object) { return Py_TYPE(object.ptr())->tp_name; }

std::string shapeText(const py::array& array) {
  return py::str(array.attr("shape")).cast<std::string>();
}

// Checks that object is a numpy array of bytes and returns it.
py::array byteArray(const py::handle& object, const char* name) {
  if (!py::isinstance<py::array>(object)) {
    throw py::type_error(std::string(name) + " must be a numpy array, not " +
                         typeName(object));
  }
  auto array = py::reinterpret_borrow<py::array>(object);
  if (array.dtype().kind() != 'u' || array.itemsize() != 1) {
    throw py::type_error(std::string(name) + " must have dtype uint8, not " +
                         py::str(array.dtype()).cast<std::string>());
  }
  return array;
}

// An image array as the analysis sees it: for each pixel, the byte offsets of
// its blue, green and red values. A grey pixel gives all three from its one
// byte, as the decoder turns a grey file into three equal channels; a fourth
// channel is never read. Holds no reference: the caller keeps the array alive.
struct PixelLayout {
  const unsigned char* data = nullptr;
  py::ssize_t rows = 0;
  py::ssize_t cols = 0;
  py::ssize_t rowStride = 0;
  py::ssize_t colStride = 0;
  std::array<py::ssize_t, 3> bgr{};  // offsets of blue, green and red
  bool packedBgr = false;            // readable as a CV_8UC3 matrix in place
};

// Sizes the analysis refuses: element counts and surface positions (20 times
// an index) are 32-bit integers inside it. Checked before any copy is made, so
// that a huge broadcast view fails at once instead of after allocating it.
bool tooLarge(py::ssize_t rows, py::ssize_t cols) {
  constexpr py::ssize_t kMaxSide = std::numeric_limits<int>::max() / 20;
  return rows > kMaxSide || cols > kMaxSide || rows * cols >= (py::ssize_t{1} << 31);
}

PixelLayout pixelLayout(const py::array& image, Order order) {
  const py::ssize_t ndim = image.ndim();
  if (!(ndim == 2 || (ndim == 3 && (image.shape(2) == 3 || image.shape(2) == 4)))) {
    throw py::value_error("image must have shape (H, W), (H, W, 3) or (H, W, 4), not " +
                          shapeText(image));
  }
  PixelLayout layout;
  layout.data = static_cast<const unsigned char*>(image.data());
  layout.rows = image.shape(0);
  layout.cols = image.shape(1);
  if (layout.rows == 0 || layout.cols == 0) {
    throw py::value_error("image is empty: shape " + shapeText(image));
  }
  if (tooLarge(layout.rows, layout.cols)) {
    throw py::value_error("image too large for the analysis: shape " + shapeText(image) +
                          " (at most 2^31 - 1 pixels and 107374182 on a side)");
  }
  layout.rowStride = image.strides(0);
  layout.colStride = image.strides(1);
  if (ndim == 3) {
    const py::ssize_t channel = image.strides(2);
    layout.bgr = order == Order::Bgr ? std::array<py::ssize_t, 3>{0, channel, 2 * channel}
                                     : std::array<py::ssize_t, 3>{2 * channel, channel, 0};
    layout.packedBgr = order == Order::Bgr && image.shape(2) == 3 && channel == 1 &&
                       layout.colStride == 3 &&
                       (layout.rows == 1 || layout.rowStride >= 3 * layout.cols);
  }
  return layout;
}

// Writes the pixels as packed rows of three bytes, in BGR order or, with
// rgbOut, in RGB order.
void copyPixels(const PixelLayout& image, unsigned char* out, bool rgbOut) {
  const int blueAt = rgbOut ? 2 : 0;
  const int redAt = rgbOut ? 0 : 2;
  const auto [blue, green, red] = image.bgr;
  for (py::ssize_t y = 0; y < image.rows; ++y) {
    const unsigned char* pixel = image.data + y * image.rowStride;
    for (py::ssize_t x = 0; x < image.cols; ++x, pixel += image.colStride, out += 3) {
      out[blueAt] = pixel[blue];
      out[1] = pixel[green];
      out[redAt] = pixel[red];
    }
  }
}

// The BGR matrix the analysis reads: the array itself where its layout allows,
// a packed copy otherwise. Throws std::bad_alloc when the copy cannot be made.
cv::Mat bgrMatrix(const PixelLayout& image) {
  const int rows = static_cast<int>(image.rows);
  const int cols = static_cast<int>(image.cols);
  if (image.packedBgr) {
    const size_t step = rows == 1 ? size_t{cv::Mat::AUTO_STEP}
                                  : static_cast<size_t>(image.rowStride);
    // The analysis only reads its input.
    return cv::Mat(rows, cols, CV_8UC3, const_cast<unsigned char*>(image.data), step);
  }
  cv::Mat copy;
  try {
    copy.create(rows, cols, CV_8UC3);
  } catch (const cv::Exception&) {
    throw std::bad_alloc();
  }
  copyPixels(image, copy.data, false);
  return copy;
}

struct Search {
  std::vector<contours::SearchEvaluation> evaluations;
  int index = 0;
  float threshold = 0.0f;
};

// The arrays are held as plain objects: a default-constructed py::array would
// build an empty numpy array for every result.
struct Result {
  py::object mask;
  long long selectedPixels = 0;
  int width = 0;
  int height = 0;
  std::uint32_t elapsedMs = 0;
  py::object histogram;
  py::object quantileTable;
  Search blockSearch;
  Search pixelSearch;
};

// The shortest text that reads back as the same float, as Python spells it:
// a NaN is "nan" whatever its sign bit.
std::string floatText(float value) {
  if (std::isnan(value)) return "nan";
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

void raiseOnFailure(contours::AnalysisStatus status) {
  switch (status) {
    case contours::AnalysisStatus::Ok:
      return;
    case contours::AnalysisStatus::OutOfMemory:
      throw std::bad_alloc();
    case contours::AnalysisStatus::TooLarge:
      throw py::value_error("image too large for the analysis");
    case contours::AnalysisStatus::BadImage:
      break;
  }
  throw py::value_error("image is not an 8-bit three-channel image");
}

// Runs the analysis on a BGR matrix with the GIL released. Takes the matrix
// by value, as the analysis does, so that a copy made for it is freed early.
std::pair<contours::AnalysisReport, cv::Mat> runAnalysis(cv::Mat image) {
  std::pair<contours::AnalysisReport, cv::Mat> outcome;
  outcome.first = contours::analyseImage(std::move(image), outcome.second);
  return outcome;
}

Result makeResult(const contours::AnalysisReport& report, const cv::Mat& mask) {
  raiseOnFailure(report.status);
  Result result;
  py::array_t<std::uint8_t> maskArray({mask.rows, mask.cols});
  for (int y = 0; y < mask.rows; ++y) {
    std::memcpy(maskArray.mutable_data(y, 0), mask.ptr<unsigned char>(y),
                static_cast<size_t>(mask.cols));
  }
  result.mask = std::move(maskArray);
  result.selectedPixels = report.selectedPixels;
  result.width = report.width;
  result.height = report.height;
  result.elapsedMs = report.elapsedMs;
  result.histogram = py::array_t<std::int32_t>(contours::kBins, report.histogram.data());
  result.quantileTable = py::array_t<float>(contours::kBins, report.quantileTable.data());
  for (auto [search, record] : {std::pair{&result.blockSearch, &report.blockSearch},
                                std::pair{&result.pixelSearch, &report.pixelSearch}}) {
    search->evaluations = record->evaluations;
    search->index = record->index;
    search->threshold = record->threshold;
  }
  return result;
}

Result analyse(const py::object& object, const std::string& orderName) {
  const Order order = parseOrder(orderName);
  const py::array image = byteArray(object, "image");
  const PixelLayout layout = pixelLayout(image, order);
  std::pair<contours::AnalysisReport, cv::Mat> outcome;
  {
    py::gil_scoped_release release;
    outcome = runAnalysis(bgrMatrix(layout));
  }
  return makeResult(outcome.first, outcome.second);
}

// Decodes path exactly as the contours program does, with the GIL released.
// The file is read once, so a FIFO or /dev/stdin is read as a file is; a
// signal while it is awaited runs Python's handler, and an exception that
// raises (KeyboardInterrupt on Ctrl-C) ends the wait. A file that cannot be
// opened or read raises the OSError its errno names (FileNotFoundError,
// PermissionError, IsADirectoryError, ...); one that does not decode,
// ValueError; one whose bytes or pixels cannot be allocated, MemoryError.
cv::Mat decode(const std::filesystem::path& path) {
  contours::ReadResult read;
  {
    py::gil_scoped_release release;
    read = contours::readImage(path.c_str(), [] {
      py::gil_scoped_acquire acquire;
      return PyErr_CheckSignals() == 0;
    });
  }
  switch (read.status) {
    case contours::ReadStatus::Ok:
      return std::move(read.image);
    case contours::ReadStatus::Interrupted:
      throw py::error_already_set();
    case contours::ReadStatus::OutOfMemory:
      throw std::bad_alloc();
    case contours::ReadStatus::Unreadable:
      break;
  }
  // The name as Python spells it, whatever bytes the path holds.
  const py::object filename = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeFSDefaultAndSize(path.c_str(),
                                       static_cast<py::ssize_t>(path.native().size())));
  if (!filename) throw py::error_already_set();
  if (read.errorNumber != 0) {
    errno = read.errorNumber;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
  } else {
    PyErr_Format(PyExc_ValueError, "cannot decode %R as an image", filename.ptr());
  }
  throw py::error_already_set();
}

py::array readArray(const std::filesystem::path& path) {
  auto owner = std::make_unique<cv::Mat>(decode(path));
  const cv::Mat& image = *owner;
  const std::vector<py::ssize_t> shape{image.rows, image.cols, 3};
  const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(image.step[0]), 3, 1};
  py::capsule base(owner.get(), [](void* matrix) { delete static_cast<cv::Mat*>(matrix); });
  unsigned char* data = owner.release()->data;
  return py::array_t<std::uint8_t>(shape, strides, data, base);
}

Result analyseFile(const std::filesystem::path& path) {
  cv::Mat image = decode(path);
  std::pair<contours::AnalysisReport, cv::Mat> outcome;
  {
    py::gil_scoped_release release;
    outcome = runAnalysis(std::move(image));
  }
  return makeResult(outcome.first, outcome.second);
}

std::array<unsigned char, 3> parseColour(const py::object& colour, Order order) {
  if (colour.is_none()) {
    return order == Order::Bgr ? std::array<unsigned char, 3>{0, 0, 255}
                               : std::array<unsigned char, 3>{255, 0, 0};
  }
  // Text and bytes are sequences too, but never a colour: b"abc" is not
  // (97, 98, 99). An item is an integer when it has __index__ (int, bool,
  // numpy's integers); its range is checked on the Python integer, so a huge
  // one is out of range rather than unconvertible.
  const auto notThreeIntegers = [&colour] {
    return py::type_error("colour must be a sequence of three integers, not " +
                          typeName(colour));
  };
  if (!py::isinstance<py::sequence>(colour) || PyUnicode_Check(colour.ptr()) ||
      PyBytes_Check(colour.ptr()) || PyByteArray_Check(colour.ptr()) ||
      py::len(colour) != 3) {
    throw notThreeIntegers();
  }
  std::array<unsigned char, 3> bytes{};
  const auto values = py::reinterpret_borrow<py::sequence>(colour);
  for (size_t k = 0; k < 3; ++k) {
    const py::object item = values[k];
    const auto integer = py::reinterpret_steal<py::object>(PyNumber_Index(item.ptr()));
    if (!integer) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
      PyErr_Clear();
      throw py::type_error("colour values must be integers, not " + typeName(item));
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (overflow == 0 && value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || value < 0 || value > 255) {
      throw py::value_error("colour values must be integers from 0 to 255");
    }
    bytes[k] = static_cast<unsigned char>(value);
  }
  return bytes;
}

py::array overlay(const py::object& imageObject, const py::object& maskObject,
                  const py::object& colourObject, const std::string& orderName) {
  const Order order = parseOrder(orderName);
  const py::array image = byteArray(imageObject, "image");
  const PixelLayout layout = pixelLayout(image, order);
  const py::array mask = byteArray(maskObject, "mask");
  if (mask.ndim() != 2 || mask.shape(0) != layout.rows || mask.shape(1) != layout.cols) {
    throw py::value_error("mask must have the image's shape (" +
                          std::to_string(layout.rows) + ", " +
                          std::to_string(layout.cols) + "), not " + shapeText(mask));
  }
  const std::array<unsigned char, 3> colour = parseColour(colourObject, order);
  py::array_t<std::uint8_t> painted({layout.rows, layout.cols, py::ssize_t{3}});
  unsigned char* out = painted.mutable_data();
  const auto* maskData = static_cast<const unsigned char*>(mask.data());
  const py::ssize_t maskRowStride = mask.strides(0);
  const py::ssize_t maskColStride = mask.strides(1);
  {
    py::gil_scoped_release release;
    copyPixels(layout, out, order == Order::Rgb);
    for (py::ssize_t y = 0; y < layout.rows; ++y) {
      const unsigned char* marked = maskData + y * maskRowStride;
      for (py::ssize_t x = 0; x < layout.cols; ++x, marked += maskColStride, out += 3) {
        if (*marked == 0) std::memcpy(out, colour.data(), 3);
      }
    }
  }
  return std::move(painted);
}

py::list searchSteps(const Search& search) {
  py::list steps;
  for (const contours::SearchEvaluation& step : search.evaluations) {
    steps.append(py::make_tuple(step.index, step.threshold, step.dimension));
  }
  return steps;
}

}  // namespace

PYBIND11_MODULE(contours, module) {
  py::options options;
  options.disable_function_signatures();
  // pybind11 looks up numpy's C API once, in a function-local static, and the
  // lookup imports numpy, which lets other threads take the GIL. Done lazily,
  // a second thread calling in meanwhile waits for the static while holding
  // the GIL that the first needs: the first calls from a thread pool would
  // deadlock. Done here, it happens under the import lock, before any call.
  py::detail::npy_api::get();

  module.attr("__version__") = CONTOURS_VERSION;
  module.doc() =
      "Colour contour analysis that chooses its own thresholds.\n\n"
      "analyse(image) selects the pixels on an image's salient colour contours;\n"
      "read(path) decodes a file as the contours program does; analyse_file(path)\n"
      "does both; overlay(image, mask) paints a result onto its image.";

  py::class_<Search>(module, "Search",
                     "One threshold search: the steps it evaluated and where it ended.")
      .def_property_readonly("steps", &searchSteps,
                             "Evaluated steps in order, as (index, threshold, dimension) "
                             "tuples: quantile table index, its threshold and the "
                             "box-counting dimension found there. The last is final.")
      .def_readonly("index", &Search::index, "Quantile table index the search ended on.")
      .def_readonly("threshold", &Search::threshold, "Final threshold.")
      .def("__repr__", [](const Search& search) {
        return "Search(index=" + std::to_string(search.index) +
               ", threshold=" + floatText(search.threshold) +
               ", steps=" + std::to_string(search.evaluations.size()) + ")";
      });

  py::class_<Result>(module, "Result", "What one analysis found.")
      .def_readonly("mask", &Result::mask,
                    "(height, width) uint8 array: 0 on contour pixels, 255 elsewhere.")
      .def_readonly("selected_pixels", &Result::selectedPixels,
                    "Number of contour pixels (zeros in mask).")
      .def_readonly("width", &Result::width, "Image width in pixels.")
      .def_readonly("height", &Result::height, "Image height in pixels.")
      .def_readonly("elapsed_ms", &Result::elapsedMs,
                    "Milliseconds the analysis took, as the program reports them.")
      .def_readonly("histogram", &Result::histogram,
                    "256 int32 counters of the block measure.")
      .def_readonly("quantile_table", &Result::quantileTable,
                    "256 float32 candidate thresholds built from the histogram.")
      .def_readonly("block_search", &Result::blockSearch,
                    "The search over the block field (a Search).")
      .def_readonly("pixel_search", &Result::pixelSearch,
                    "The search over the pixel field (a Search).")
      .def("__repr__", [](const Result& result) {
        return "<contours.Result " + std::to_string(result.width) + "x" +
               std::to_string(result.height) + ", " +
               std::to_string(result.selectedPixels) + " contour pixels, block threshold " +
               floatText(result.blockSearch.threshold) + ", pixel threshold " +
               floatText(result.pixelSearch.threshold) + ">";
      });

  module.def("analyse", &analyse, py::arg("image"), py::arg("order") = "bgr",
             "analyse(image: numpy.ndarray, order: str = 'bgr') -> contours.Result\n\n"
             "Selects the pixels on the image's salient colour contours.\n\n"
             "image is a uint8 array of shape (H, W, 3), (H, W, 4) (the fourth\n"
             "channel is ignored) or (H, W) (grey), with any strides. order is the\n"
             "channel order: 'bgr' (OpenCV's) or 'rgb' (scikit-image's, Pillow's,\n"
             "imageio's). The GIL is released while the analysis runs.\n\n"
             "An image with fewer than 9 rows or columns is too small for the block\n"
             "measure, which needs three 3x3 blocks down and across: the histogram is\n"
             "all 0, the quantile table and both thresholds are NaN, each search ends\n"
             "on its first step with a NaN dimension, and nothing is selected (the\n"
             "mask is all 255). Below 15 rows or columns no pixel is measured, so\n"
             "nothing is selected either. Any search ends on the first step whose\n"
             "dimension is NaN: where no 8x8 box of its field holds a selected cell,\n"
             "as in a field smaller than 8x8, which has no box at all.\n\n"
             "Raises TypeError for a non-array or a dtype other than uint8,\n"
             "ValueError for a wrong shape, an empty image or one too large for\n"
             "the analysis, MemoryError when its working arrays cannot be allocated.");

  module.def("read", &readArray, py::arg("path"),
             "read(path: str | os.PathLike) -> numpy.ndarray\n\n"
             "Decodes an image file exactly as the contours program does, into a\n"
             "(H, W, 3) uint8 array in BGR order.\n\n"
             "Raises FileNotFoundError (or another OSError) when the file cannot\n"
             "be opened, ValueError when it does not decode as an image.");

  module.def("analyse_file", &analyseFile, py::arg("path"),
             "analyse_file(path: str | os.PathLike) -> contours.Result\n\n"
             "read(path) and analyse() in one call. The mask equals, byte for byte,\n"
             "the result file the contours program writes for the same file.\n"
             "Raises what read() and analyse() raise.");

  module.def("overlay", &overlay, py::arg("image"), py::arg("mask"),
             py::arg("colour") = py::none(), py::arg("order") = "bgr",
             "overlay(image: numpy.ndarray, mask: numpy.ndarray,\n"
             "        colour: tuple[int, int, int] | None = None,\n"
             "        order: str = 'bgr') -> numpy.ndarray\n\n"
             "A (H, W, 3) uint8 copy of the image in the given channel order, with\n"
             "the pixels where mask is 0 painted in colour. colour is in that same\n"
             "order; None paints red. image is taken as analyse() takes it; mask is a\n"
             "(H, W) uint8 array such as Result.mask.\n\n"
             "Raises TypeError for an image or mask that is not a uint8 array and\n"
             "for a colour that is not a sequence of three integers (str, bytes and\n"
             "bytearray are not colours); ValueError for an image analyse() refuses\n"
             "for its shape, a mask of another shape, a colour value outside 0 to\n"
             "255 or a bad order.");
}
