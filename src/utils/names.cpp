#include "utils/names.hpp"

namespace vask {}  // namespace vask
