// Conversions between stream ticks and seconds, and the frame-count estimate.
#include <cmath>
#include <limits>

#include "navigator/timeline.h"

#include "clipwalk/frame_navigator.h"

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

double FrameNavigator::pts_to_seconds(int64_t pts) const {
  int64_t difference = 0;
  if (__builtin_sub_overflow(pts, start_pts, &difference)) {
    // Hostile files can put timestamps anywhere in the 64-bit range.
    return (static_cast<double>(pts) - static_cast<double>(start_pts)) * time_base_seconds;
  }
  return static_cast<double>(difference) * time_base_seconds;
}

int64_t FrameNavigator::seconds_to_pts(double seconds) const {
  if (!(time_base_seconds > 0.0)) return start_pts;
  return saturating_add(start_pts, saturating_llround(seconds / time_base_seconds));
}

int64_t FrameNavigator::estimated_frame_count() const {
  if (container_frame_count > 0) return container_frame_count;
  if (duration_seconds > 0.0 && frames_per_second > 0.0) {
    return saturating_llround(duration_seconds * frames_per_second);
  }
  return 0;
}

}  // namespace clipwalk
