#include "utils/naming.hpp"

namespace vask {}  // namespace vask
