#include "filters.hpp"

namespace vask {}  // namespace vask
