// Conversions between stream ticks and seconds, and the frame-count estimate.
#include <cmath>
#include <limits>

#include "navigator/navigator_impl.h"
#include "navigator/timeline.h"

namespace clipwalk {

int64_t saturating_llround(double value) {
  // 2^63 is exactly representable; anything at or beyond it cannot be converted.
  constexpr double kLimit = 9223372036854775808.0;
  if (std::isnan(value)) return 0;
  if (value >= kLimit) return std::numeric_limits<int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<int64_t>::min();
  return std::llround(value);
}

int64_t saturating_add(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return sum;
}

int64_t FrameNavigator::Impl::estimated_frame_count() const {
  if (source.info.container_frame_count > 0) return source.info.container_frame_count;
  if (source.info.duration_seconds > 0.0 && source.info.frames_per_second > 0.0) {
    return saturating_llround(source.info.duration_seconds * source.info.frames_per_second);
  }
  return 0;
}

}  // namespace clipwalk
