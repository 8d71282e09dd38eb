// The round trip's verdict, shared by the command-line tool and the benchmark helper.
#pragma once

#include <cstdint>
#include <vector>

namespace clipwalk {

// True when the backward walk showed exactly the forward walk's frames in reverse order.
// Both lists start with the frame the walk started from.
bool retraces(const std::vector<int64_t>& forward, const std::vector<int64_t>& backward);

}  // namespace clipwalk
