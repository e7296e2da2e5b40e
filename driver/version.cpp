#include <contours/version.hpp>

namespace contours {

const char* version() { return CONTOURS_VERSION; }

}  // namespace contours
