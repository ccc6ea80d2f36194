#include "plugins.hpp"

namespace vask {}  // namespace vask
