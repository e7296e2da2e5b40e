#include <contours/contours.hpp>
#include "driver/clock.hpp"

#include <sys/time.h>

namespace contours {

std::uint32_t tickCountFrom(long long seconds, long long microseconds) {
  // Unsigned arithmetic wraps modulo 2^64, and so modulo 2^32 after the cast.
  return static_cast<std::uint32_t>(static_cast<unsigned long long>(seconds) * 1000u +
                                    static_cast<unsigned long long>(microseconds / 1000));
}

std::uint32_t GetTickCount() {
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return tickCountFrom(now.tv_sec, now.tv_usec);
}

std::uint32_t elapsedTicks(std::uint32_t start, std::uint32_t end) {
  return end - start;
}

}  // namespace contours
