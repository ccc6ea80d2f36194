#include "subtree_flush.hpp"

namespace vask {}  // namespace vask
