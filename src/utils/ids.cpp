#include "utils/ids.hpp"

namespace vask {}  // namespace vask
