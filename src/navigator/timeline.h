// Saturating helpers shared by every double-seconds to pts conversion.
#pragma once

#include <cstdint>

namespace clipwalk {

int64_t saturating_llround(double value);  // NaN gives 0
int64_t saturating_add(int64_t a, int64_t b);

}  // namespace clipwalk
