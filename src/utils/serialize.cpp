#include "utils/serialize.hpp"

namespace vask {}  // namespace vask
