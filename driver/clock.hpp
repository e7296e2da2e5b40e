#pragma once
// The arithmetic of the millisecond clock, apart from the clock itself so that
// it can be checked on any reading. Private to the library.

#include <cstdint>

namespace contours {

// The conversion GetTickCount applies to a clock reading: milliseconds modulo
// 2^32.
std::uint32_t tickCountFrom(long long seconds, long long microseconds);

// Elapsed milliseconds between two tick counts, across a wrap of the counter.
std::uint32_t elapsedTicks(std::uint32_t start, std::uint32_t end);

}  // namespace contours
