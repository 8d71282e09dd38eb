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

double FrameNavigator::Impl::pts_to_seconds(int64_t pts) const {
  int64_t difference = 0;
  if (__builtin_sub_overflow(pts, info.start_pts, &difference)) {
    // Hostile files can put timestamps anywhere in the 64-bit range.
    return (static_cast<double>(pts) - static_cast<double>(info.start_pts)) *
           info.time_base_seconds;
  }
  return static_cast<double>(difference) * info.time_base_seconds;
}

int64_t FrameNavigator::Impl::seconds_to_pts(double seconds) const {
  if (!(info.time_base_seconds > 0.0)) return info.start_pts;
  return saturating_add(info.start_pts, saturating_llround(seconds / info.time_base_seconds));
}

int64_t FrameNavigator::Impl::estimated_frame_count() const {
  if (info.container_frame_count > 0) return info.container_frame_count;
  if (info.duration_seconds > 0.0 && info.frames_per_second > 0.0) {
    return saturating_llround(info.duration_seconds * info.frames_per_second);
  }
  return 0;
}

}  // namespace clipwalk
