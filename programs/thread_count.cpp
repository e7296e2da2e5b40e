#include "thread_count.hpp"

#include <cstdlib>

namespace contours {

static_assert(kMaxThreads == 1024, "ThreadCountRequest::refusal names the ceiling");

ThreadCountRequest parseThreadCount(const char* value) {
  ThreadCountRequest request;
  if (value == nullptr || *value == '\0') return request;
  request.given = true;
  request.value = value;
  long long count = 0;
  for (const char* c = value; *c != '\0'; ++c) {
    // Stops growing past the ceiling, so that no length of digits overflows.
    if (*c < '0' || *c > '9' || count > kMaxThreads) {
      request.valid = false;
      return request;
    }
    count = count * 10 + (*c - '0');
  }
  request.valid = count <= kMaxThreads;
  if (request.valid) request.threads = static_cast<int>(count);
  return request;
}

ThreadCountRequest requestedThreadCount() {
  return parseThreadCount(std::getenv("CONTOURS_THREADS"));
}

}  // namespace contours
