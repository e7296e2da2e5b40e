#pragma once
// Why an image gave no result, said once for every front end: contours' exit
// status and console line, the reason contours-batch prints after "error: ",
// and the reason the Python module puts in its exceptions.

#include <contours/contours.hpp>

#include "image_file.hpp"

namespace contours {

enum class Failure {
  None,         // a result
  Unreadable,   // the file cannot be read or decoded
  TooLarge,     // more pixels, or a longer side, than the analysis takes
  OutOfMemory,  // the bytes, the pixels or the working arrays
};

constexpr Failure failureOf(ReadStatus status) {
  switch (status) {
    case ReadStatus::Ok:
      return Failure::None;
    case ReadStatus::OutOfMemory:
      return Failure::OutOfMemory;
    case ReadStatus::Unreadable:
    case ReadStatus::Interrupted:
      break;
  }
  return Failure::Unreadable;
}

constexpr Failure failureOf(AnalysisStatus status) {
  switch (status) {
    case AnalysisStatus::Ok:
      return Failure::None;
    case AnalysisStatus::TooLarge:
      return Failure::TooLarge;
    case AnalysisStatus::OutOfMemory:
      return Failure::OutOfMemory;
    case AnalysisStatus::BadImage:    // the decoders deliver 8-bit colour only
    case AnalysisStatus::BadOptions:  // the programs check the thread count first
      break;
  }
  return Failure::Unreadable;
}

// "cannot read or decode the image", "image too large", "not enough memory";
// empty for None.
constexpr const char* reasonOf(Failure failure) {
  switch (failure) {
    case Failure::None:
      return "";
    case Failure::Unreadable:
      return "cannot read or decode the image";
    case Failure::TooLarge:
      return "image too large";
    case Failure::OutOfMemory:
      return "not enough memory";
  }
  return "";
}

// contours' exit status (254, 252, 251; 0 for None) and its console line.
constexpr int exitStatusOf(Failure failure) {
  switch (failure) {
    case Failure::None:
      return 0;
    case Failure::Unreadable:
      return 254;
    case Failure::TooLarge:
      return 252;
    case Failure::OutOfMemory:
      return 251;
  }
  return 254;
}

constexpr const char* consoleLineOf(Failure failure) {
  switch (failure) {
    case Failure::None:
      return "";
    case Failure::Unreadable:
      return " --(!) Error reading images \n";  // and an empty line after it
    case Failure::TooLarge:
      return " --(!) Image too large ";
    case Failure::OutOfMemory:
      return " --(!) Not enough memory ";
  }
  return "";
}

}  // namespace contours
