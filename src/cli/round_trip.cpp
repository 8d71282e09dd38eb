#include "cli/round_trip.h"

#include <cstddef>

namespace clipwalk {

bool retraces(const std::vector<int64_t>& forward, const std::vector<int64_t>& backward) {
  const size_t n = forward.size();
  bool passed = backward.size() == n;
  for (size_t k = 0; passed && k < n; ++k) passed = backward[k] == forward[n - 1 - k];
  return passed;
}

}  // namespace clipwalk
