#include "utils/trace.hpp"

namespace vask {}  // namespace vask
