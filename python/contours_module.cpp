// contours._contours, the compiled half of the Python package: the one-call
// analysis on numpy arrays and image files. The package's __init__.py gives
// the functions their signatures and defaults and turns other array-likes
// (PIL images among them) into numpy arrays; this module takes arrays only.
//
// Arrays are read through their strides, so slices, views and Fortran-order
// arrays need no copy by the caller; a (H, W, 3) array in blue-green-red order
// whose pixels are packed within each row is analysed in place. Every other
// layout is converted to a packed BGR copy first, as the decoder converts grey
// and four-channel files. The analysis and the decoding run with the GIL
// released, the analysis on the threads its threads argument asks for.
//
// A Result and its Search records pickle and copy: their state is their
// fields, and an unpickled Result holds fresh read-only arrays.

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

#include <contours/contours.hpp>

#include "failure.hpp"
#include "image_file.hpp"
#include "result_file.hpp"
#include "thread_count.hpp"

namespace py = pybind11;

namespace {

enum class Order { Bgr, Rgb };

Order parseOrder(const std::string& order) {
  if (order == "bgr") return Order::Bgr;
  if (order == "rgb") return Order::Rgb;
  throw py::value_error("order must be 'bgr' or 'rgb', not '" + order + "'");
}

std::string typeName(const py::handle& object) { return Py_TYPE(object.ptr())->tp_name; }

// The integer value of object (anything with __index__; a bool only where
// bools are taken), and whether it lies in low .. high: a TypeError naming
// what is expected (notInteger + the object's type) when it is no integer.
struct Integer {
  py::object integer;
  long long value = 0;
  bool inRange = false;
};
Integer integerIn(const py::object& object, long long low, long long high, bool bools,
                  const std::string& notInteger) {
  Integer result;
  result.integer = py::reinterpret_steal<py::object>(
      !bools && PyBool_Check(object.ptr()) ? nullptr : PyNumber_Index(object.ptr()));
  if (!result.integer) {
    if (PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
      PyErr_Clear();
    }
    throw py::type_error(notInteger + typeName(object));
  }
  int overflow = 0;
  result.value = PyLong_AsLongLongAndOverflow(result.integer.ptr(), &overflow);
  if (overflow == 0 && result.value == -1 && PyErr_Occurred()) throw py::error_already_set();
  result.inRange = overflow == 0 && result.value >= low && result.value <= high;
  return result;
}

// The analysis options of a threads argument: an integer (anything with
// __index__ but a bool) from 0, one thread per core, to the programs' ceiling.
contours::AnalysisOptions parseThreads(const py::object& threads) {
  const Integer count = integerIn(threads, 0, contours::kMaxThreads, false,
                                  "threads must be an integer, not ");
  if (!count.inRange) {
    throw py::value_error("threads must be 0 (one per core) or 1 to " +
                          std::to_string(contours::kMaxThreads) + ", not " +
                          py::str(count.integer).cast<std::string>());
  }
  const long long value = count.value;
  contours::AnalysisOptions options;
  options.threads = static_cast<int>(value);
  return options;
}

std::string shapeText(const py::array& array) {
  return py::str(array.attr("shape")).cast<std::string>();
}

// Checks that object is a numpy array of bytes (or, with booleans, of bools)
// and returns it.
py::array byteArray(const py::handle& object, const char* name, bool booleans = false) {
  if (!py::isinstance<py::array>(object)) {
    throw py::type_error(std::string(name) + " must be a numpy array, not " +
                         typeName(object));
  }
  auto array = py::reinterpret_borrow<py::array>(object);
  const char kind = array.dtype().kind();
  if (array.itemsize() != 1 || !(kind == 'u' || (booleans && kind == 'b'))) {
    throw py::type_error(std::string(name) + " must have dtype " +
                         (booleans ? "bool or uint8" : "uint8") + ", not " +
                         py::str(array.dtype()).cast<std::string>());
  }
  return array;
}

[[noreturn]] void raiseMemoryError(const std::string& text) {
  PyErr_SetString(PyExc_MemoryError, text.c_str());
  throw py::error_already_set();
}

[[noreturn]] void raiseAnalysisMemoryError(py::ssize_t cols, py::ssize_t rows) {
  raiseMemoryError("not enough memory for a " + std::to_string(cols) + " x " +
                   std::to_string(rows) + " analysis");
}

// A read-only array, as a Result hands out: its fields are what the analysis
// found, and a caller's edit would otherwise change the result itself.
py::array frozen(py::array array) {
  array.attr("flags").attr("writeable") = false;
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
  return !contours::analysable(rows, cols);
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
                          " (at most 2^31 - 1 pixels and " +
                          std::to_string(contours::kMaxImageSide) + " on a side)");
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
// build an empty numpy array for every result. edges is made from mask when
// first asked for.
struct Result {
  py::object mask;
  py::object edges;
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

// The failure as the programs classify it (see failure.hpp), in Python's
// words: MemoryError names the analysis' size.
void raiseOnFailure(contours::AnalysisStatus status, py::ssize_t cols, py::ssize_t rows) {
  const contours::Failure failure = contours::failureOf(status);
  switch (failure) {
    case contours::Failure::None:
      return;
    case contours::Failure::OutOfMemory:
      raiseAnalysisMemoryError(cols, rows);
    case contours::Failure::TooLarge:
      throw py::value_error(std::string(contours::reasonOf(failure)) + " for the analysis");
    case contours::Failure::Unreadable:
      break;
  }
  throw py::value_error("image is not an 8-bit three-channel image");
}

// Runs the analysis on a BGR matrix with the GIL released. Takes the matrix
// by value, as the analysis does, so that a copy made for it is freed early.
std::pair<contours::AnalysisReport, cv::Mat> runAnalysis(
    cv::Mat image, const contours::AnalysisOptions& options) {
  std::pair<contours::AnalysisReport, cv::Mat> outcome;
  outcome.first = contours::analyseImage(std::move(image), outcome.second, options);
  return outcome;
}

// The analysis of a cols x rows image: the matrix is made by makeImage, both
// with the GIL released. Any allocation that fails, the copy's or the
// analysis's, raises MemoryError naming the image's size.
template <class MakeImage>
std::pair<contours::AnalysisReport, cv::Mat> analyseReleased(
    MakeImage makeImage, py::ssize_t cols, py::ssize_t rows,
    const contours::AnalysisOptions& options) {
  std::pair<contours::AnalysisReport, cv::Mat> outcome;
  try {
    py::gil_scoped_release release;
    outcome = runAnalysis(makeImage(), options);
  } catch (const std::bad_alloc&) {
    raiseAnalysisMemoryError(cols, rows);
  }
  raiseOnFailure(outcome.first.status, cols, rows);
  return outcome;
}

Result makeResult(const contours::AnalysisReport& report, const cv::Mat& mask) {
  Result result;
  py::array_t<std::uint8_t> maskArray({mask.rows, mask.cols});
  for (int y = 0; y < mask.rows; ++y) {
    std::memcpy(maskArray.mutable_data(y, 0), mask.ptr<unsigned char>(y),
                static_cast<size_t>(mask.cols));
  }
  result.mask = frozen(std::move(maskArray));
  result.selectedPixels = report.selectedPixels;
  result.width = report.width;
  result.height = report.height;
  result.elapsedMs = report.elapsedMs;
  result.histogram =
      frozen(py::array_t<std::int32_t>(contours::kBins, report.histogram.data()));
  result.quantileTable =
      frozen(py::array_t<float>(contours::kBins, report.quantileTable.data()));
  for (auto [search, record] : {std::pair{&result.blockSearch, &report.blockSearch},
                                std::pair{&result.pixelSearch, &report.pixelSearch}}) {
    search->evaluations = record->evaluations;
    search->index = record->index;
    search->threshold = record->threshold;
  }
  return result;
}

Result analyse(const py::object& object, const std::string& orderName,
               const py::object& threads) {
  const Order order = parseOrder(orderName);
  const contours::AnalysisOptions options = parseThreads(threads);
  const py::array image = byteArray(object, "image");
  const PixelLayout layout = pixelLayout(image, order);
  const auto outcome = analyseReleased([&layout] { return bgrMatrix(layout); }, layout.cols,
                                       layout.rows, options);
  return makeResult(outcome.first, outcome.second);
}

// The name as Python spells it, whatever bytes the path holds.
py::object pythonName(const std::filesystem::path& path) {
  py::object name = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefaultAndSize(
      path.c_str(), static_cast<py::ssize_t>(path.native().size())));
  if (!name) throw py::error_already_set();
  return name;
}

// Raises the OSError that errorNumber names for the file, or, with no errno
// to name, the exception given with a message formatted from its name.
[[noreturn]] void raiseFileError(int errorNumber, const py::object& filename,
                                 PyObject* otherwise, const char* format) {
  if (errorNumber != 0) {
    errno = errorNumber;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
  } else {
    PyErr_Format(otherwise, format, filename.ptr());
  }
  throw py::error_already_set();
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
  try {
    py::gil_scoped_release release;
    read = contours::readImage(path.c_str(), [] {
      py::gil_scoped_acquire acquire;
      return PyErr_CheckSignals() == 0;
    });
  } catch (const std::bad_alloc&) {
    read.status = contours::ReadStatus::OutOfMemory;
  }
  if (read.status == contours::ReadStatus::Ok) return std::move(read.image);
  if (read.status == contours::ReadStatus::Interrupted) throw py::error_already_set();
  const py::object filename = pythonName(path);
  if (read.status == contours::ReadStatus::OutOfMemory) {
    raiseMemoryError("not enough memory to read " +
                     py::repr(filename).cast<std::string>());
  }
  raiseFileError(read.errorNumber, filename, PyExc_ValueError, "cannot decode %R as an image");
}

py::array readArray(const std::filesystem::path& path, const std::string& orderName) {
  const Order order = parseOrder(orderName);
  auto owner = std::make_unique<cv::Mat>(decode(path));
  cv::Mat& image = *owner;
  if (order == Order::Rgb) {
    py::gil_scoped_release release;
    for (int y = 0; y < image.rows; ++y) {
      unsigned char* pixel = image.ptr<unsigned char>(y);
      for (int x = 0; x < image.cols; ++x, pixel += 3) std::swap(pixel[0], pixel[2]);
    }
  }
  const std::vector<py::ssize_t> shape{image.rows, image.cols, 3};
  const std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(image.step[0]), 3, 1};
  py::capsule base(owner.get(), [](void* matrix) { delete static_cast<cv::Mat*>(matrix); });
  unsigned char* data = owner.release()->data;
  return py::array_t<std::uint8_t>(shape, strides, data, base);
}

Result analyseFile(const std::filesystem::path& path, const py::object& threads) {
  const contours::AnalysisOptions options = parseThreads(threads);  // before any reading
  cv::Mat image = decode(path);
  const int cols = image.cols;
  const int rows = image.rows;
  const auto outcome =
      analyseReleased([&image] { return std::move(image); }, cols, rows, options);
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
    const Integer value =
        integerIn(values[k], 0, 255, true, "colour values must be integers, not ");
    if (!value.inRange) throw py::value_error("colour values must be integers from 0 to 255");
    bytes[k] = static_cast<unsigned char>(value.value);
  }
  return bytes;
}

py::array overlay(const py::object& imageObject, const py::object& maskObject,
                  const py::object& colourObject, const std::string& orderName) {
  const Order order = parseOrder(orderName);
  const py::array image = byteArray(imageObject, "image");
  const PixelLayout layout = pixelLayout(image, order);
  // A boolean mask marks the contours with True, a byte mask with 0.
  const py::array mask = byteArray(maskObject, "mask", true);
  const bool markedWhenSet = mask.dtype().kind() == 'b';
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
        if ((*marked != 0) == markedWhenSet) std::memcpy(out, colour.data(), 3);
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

// The state a pickle holds, and its checks on the way back: a state that is
// not one this module wrote raises ValueError instead of building a result
// whose arrays disagree with its sizes.
[[noreturn]] void badState(const char* type) {
  throw py::value_error(std::string("not a pickled contours.") + type);
}

py::tuple stateTuple(const py::handle& state, size_t size, const char* type) {
  if (!py::isinstance<py::tuple>(state) || py::len(state) != size) badState(type);
  return py::reinterpret_borrow<py::tuple>(state);
}

py::tuple searchState(const Search& search) {
  return py::make_tuple(search.index, search.threshold, searchSteps(search));
}

Search searchFromState(const py::handle& state) {
  const py::tuple fields = stateTuple(state, 3, "Search");
  Search search;
  try {
    search.index = fields[0].cast<int>();
    search.threshold = fields[1].cast<float>();
    for (const py::handle step : fields[2].cast<py::list>()) {
      const py::tuple values = stateTuple(step, 3, "Search");
      search.evaluations.push_back(
          {values[0].cast<int>(), values[1].cast<float>(), values[2].cast<float>()});
    }
  } catch (const py::cast_error&) {
    badState("Search");
  }
  return search;
}

py::tuple resultState(const Result& result) {
  return py::make_tuple(result.width, result.height, result.selectedPixels,
                        result.elapsedMs, result.mask, result.histogram,
                        result.quantileTable, searchState(result.blockSearch),
                        searchState(result.pixelSearch));
}

// A fresh read-only copy of a pickled array, which must have the dtype and
// shape the result's own would have.
py::object stateArray(const py::handle& value, const py::dtype& dtype,
                      const std::vector<py::ssize_t>& shape) {
  if (!py::isinstance<py::array>(value)) badState("Result");
  const auto array = py::reinterpret_borrow<py::array>(value);
  if (!array.dtype().equal(dtype) || array.ndim() != static_cast<py::ssize_t>(shape.size())) {
    badState("Result");
  }
  for (size_t axis = 0; axis < shape.size(); ++axis) {
    if (array.shape(static_cast<py::ssize_t>(axis)) != shape[axis]) badState("Result");
  }
  return frozen(py::array(array.attr("copy")()));
}

Result resultFromState(const py::handle& state) {
  const py::tuple fields = stateTuple(state, 9, "Result");
  Result result;
  try {
    result.width = fields[0].cast<int>();
    result.height = fields[1].cast<int>();
    result.selectedPixels = fields[2].cast<long long>();
    result.elapsedMs = fields[3].cast<std::uint32_t>();
  } catch (const py::cast_error&) {
    badState("Result");
  }
  result.mask = stateArray(fields[4], py::dtype::of<std::uint8_t>(),
                           {result.height, result.width});
  result.histogram = stateArray(fields[5], py::dtype::of<std::int32_t>(), {contours::kBins});
  result.quantileTable = stateArray(fields[6], py::dtype::of<float>(), {contours::kBins});
  result.blockSearch = searchFromState(fields[7]);
  result.pixelSearch = searchFromState(fields[8]);
  return result;
}

// What pickle and copy call: copyreg.__newobj__ makes the object through the
// class's own __new__ and __setstate__ fills it, under every pickle protocol
// (0 and 1 would otherwise make it through object's, which a compiled class
// cannot take).
py::tuple reduceByState(const py::object& self) {
  return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                        py::make_tuple(self.get_type()), self.attr("__getstate__")());
}

// The mask's contour pixels as True, made once and kept.
py::object resultEdges(Result& result) {
  if (!result.edges) {
    const auto mask = py::reinterpret_borrow<py::array_t<std::uint8_t>>(result.mask);
    py::array_t<bool> edges({result.height, result.width});
    const std::uint8_t* in = mask.data();
    bool* out = edges.mutable_data();
    for (py::ssize_t k = 0, size = mask.size(); k < size; ++k) out[k] = in[k] == 0;
    result.edges = frozen(std::move(edges));
  }
  return result.edges;
}

}  // namespace

PYBIND11_MODULE(_contours, module) {
  py::options options;
  options.disable_function_signatures();
  // pybind11 looks up numpy's C API once, in a function-local static, and the
  // lookup imports numpy, which lets other threads take the GIL. Done lazily,
  // a second thread calling in meanwhile waits for the static while holding
  // the GIL that the first needs: the first calls from a thread pool would
  // deadlock. Done here, it happens under the import lock, before any call.
  py::detail::npy_api::get();
  // What no function below turns into a MemoryError of its own.
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError, "not enough memory");
    }
  });

  module.attr("__version__") = CONTOURS_VERSION;
  module.doc() =
      "The compiled half of the contours package; use the functions of\n"
      "contours itself, which take any array-like and give the defaults.";

  // The classes belong to the package: pickles, reprs, error messages and
  // help() name them contours.Search and contours.Result. pybind11 names a
  // class after the module's __name__ when it makes it.
  const py::object name = module.attr("__name__");
  module.attr("__name__") = "contours";
  py::class_<Search> search(module, "Search",
                            "One threshold search: the steps it evaluated and where it "
                            "ended. Pickles and copies.");
  py::class_<Result> result(module, "Result",
                            "What one analysis found. Its arrays are read-only; it "
                            "pickles and copies, and numpy.asarray(result) is its edges.");
  module.attr("__name__") = name;
  search
      .def_property_readonly("steps", &searchSteps,
                             "Evaluated steps in order, as (index, threshold, dimension) "
                             "tuples: quantile table index, its threshold and the "
                             "box-counting dimension found there. The last is final.")
      .def_readonly("index", &Search::index, "Quantile table index the search ended on.")
      .def_readonly("threshold", &Search::threshold, "Final threshold.")
      .def(py::pickle(&searchState,
                       [](const py::tuple& state) { return searchFromState(state); }))
      .def("__reduce__", &reduceByState)
      .def("__repr__", [](const Search& search) {
        return "Search(index=" + std::to_string(search.index) +
               ", threshold=" + floatText(search.threshold) +
               ", steps=" + std::to_string(search.evaluations.size()) + ")";
      });

  result
      .def_property_readonly("edges", &resultEdges,
                             "(height, width) bool array: True on contour pixels.")
      .def_readonly("mask", &Result::mask,
                    "(height, width) uint8 array, the result file's image: 0 on "
                    "contour pixels, 255 elsewhere.")
      .def_readonly("selected_pixels", &Result::selectedPixels,
                    "Number of contour pixels (True in edges, 0 in mask).")
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
      .def(py::pickle(&resultState,
                       [](const py::tuple& state) { return resultFromState(state); }))
      .def("__reduce__", &reduceByState)
      .def(
          "__array__",
          [](Result& result, const py::object& dtype, const py::object& copy) -> py::object {
            // copy as numpy passes it: None copies only where needed, True
            // always, False never.
            const py::object edges = resultEdges(result);
            const bool always = !copy.is_none() && copy.cast<bool>();
            const bool never = !copy.is_none() && !always;
            if (dtype.is_none() || py::dtype::from_args(dtype).equal(py::dtype::of<bool>())) {
              return always ? edges.attr("copy")() : edges;
            }
            if (never) throw py::value_error("the edges are bool: another dtype needs a copy");
            return edges.attr("astype")(dtype);
          },
          py::arg("dtype") = py::none(), py::arg("copy") = py::none(),
          "The edges, as numpy.asarray(result) gives them.")
      .def(
          "save",
          [](const Result& result, const std::filesystem::path& path) {
            const auto mask =
                py::array_t<std::uint8_t, py::array::c_style>::ensure(result.mask);
            if (!mask) throw py::error_already_set();
            const cv::Mat image(result.height, result.width, CV_8UC1,
                                const_cast<std::uint8_t*>(mask.data()));
            bool written = false;
            int error = 0;
            {
              py::gil_scoped_release release;
              written = contours::writeBmpAtomically(path.string(), image, &error);
            }
            if (!written) raiseFileError(error, pythonName(path), PyExc_OSError, "cannot write %R");
          },
          py::arg("path"),
          "save(path)\n\n"
          "Writes the mask to path as the contours program writes GC_res.bmp, the\n"
          "same bytes: to a temporary file beside it, flushed, then renamed over\n"
          "path. Raises OSError when it cannot be written; whatever stood at path\n"
          "is then left as it was.")
      .def("__repr__", [](const Result& result) {
        return "<contours.Result " + std::to_string(result.width) + "x" +
               std::to_string(result.height) + ", " +
               std::to_string(result.selectedPixels) + " contour pixels, block threshold " +
               floatText(result.blockSearch.threshold) + ", pixel threshold " +
               floatText(result.pixelSearch.threshold) + ">";
      });

  // The package's functions of the same names document these.
  module.def("analyse", &analyse, py::arg("image"), py::arg("order") = "rgb",
             py::kw_only(), py::arg("threads") = 1,
             "analyse(image: numpy.ndarray, order: str = 'rgb', *, threads: int = 1)\n"
             "    -> contours.Result");
  module.def("read", &readArray, py::arg("path"), py::arg("order") = "rgb",
             "read(path: str | bytes | os.PathLike, order: str = 'rgb') -> numpy.ndarray");
  module.def("analyse_file", &analyseFile, py::arg("path"), py::kw_only(),
             py::arg("threads") = 1,
             "analyse_file(path: str | bytes | os.PathLike, *, threads: int = 1)\n"
             "    -> contours.Result");
  module.def("overlay", &overlay, py::arg("image"), py::arg("mask"),
             py::arg("colour") = py::none(), py::arg("order") = "rgb",
             "overlay(image: numpy.ndarray, mask: numpy.ndarray,\n"
             "        colour: tuple[int, int, int] | None = None,\n"
             "        order: str = 'rgb') -> numpy.ndarray");
}
