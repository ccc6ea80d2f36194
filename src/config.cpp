#include "config.hpp"

namespace vask {}  // namespace vask
