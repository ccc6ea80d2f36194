#include "utils/call_sites.hpp"

namespace vask {}  // namespace vask
