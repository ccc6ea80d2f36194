#include "utils/msgpack_write.hpp"

namespace vask {}  // namespace vask
