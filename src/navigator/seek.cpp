// Seeking to the first frame at or after a time: within the window, by decoding on from it,
// or by a landing.
#include "navigator/navigator_impl.h"

namespace clipwalk {

bool FrameNavigator::Impl::stamps_ascend() const {
  const FrameList* list = exact_list();
  return list != nullptr ? list->sorted
                         : !source.facts.pixels_vary && !source.facts.clock_reset_seen;
}

bool FrameNavigator::Impl::locate_in_window(int64_t target) {
  if (window.empty() || target < window.front().pts) return false;
  // The window's stamps must ascend up to the landing too.
  for (uint64_t index = 0; index < window.size(); ++index) {
    if (index > 0 && window[index].pts <= window[index - 1].pts) return false;
    if (window[index].pts >= target) {
      window.set_current(index);
      return true;
    }
  }
  return false;
}

bool FrameNavigator::Impl::seek_to_seconds(double seconds, std::string* error_text) {
  const double s = seconds >= 0.0 ? seconds : 0.0;  // negative and NaN both mean the start
  return seek_to_pts(source.seconds_to_pts(s), s, error_text);
}

bool FrameNavigator::Impl::seek_to_pts(int64_t target, double s, std::string* error_text) {
  adopt_decoded_damage(error_text, false);  // a seek lands anew in any case
  // Once the clock is known to start again, a held frame with the stamp may lie in a later
  // run than the frame a plain decode shows first: only the full road can tell.
  if (source.facts.clock_reset_seen) return land(LandingGoal::at_time(target, s), error_text);
  // Nor where stamps do not ascend (damage, recordings joined): a frame before the window,
  // or one decoded on the way from it, may carry the target's stamp or a later one while
  // the plain decode shows another first.
  if (!stamps_ascend()) return land(LandingGoal::at_time(target, s), error_text);

  if (locate_in_window(target)) return true;

  if (!window.empty()) {
    const uint64_t capacity = window.capacity_frames();
    const HeldFrame& back = window.back();
    // Up to three quarters of the window's capacity ahead, the frames decoded on the way
    // fit in the budget beside a quarter of those held, which backward steps from the
    // landing still use; further ahead a keyframe seek costs less.
    if (capacity != 0 && target > back.pts &&
        0.75 * static_cast<double>(capacity) >=
            (s - back.seconds) * source.info.frames_per_second) {
      // Close enough ahead: decode on from where the decoder stands, keeping the window.
      while (window.back().pts < target) {
        if (!decode_next_frame(error_text)) {
          // Nothing lies beyond what is held: the latest frame is the landing.
          window.set_current(window.size() - 1);
          break;
        }
      }
      if (source.damage_unexplained()) {
        ++counters.prerolled;
        LandingGoal goal = LandingGoal::at_time(target, s);
        goal.first_back_off = earlier_back_off(s, 0.0);
        return land(goal, error_text);
      }
      return true;
    }
  }
  return land(LandingGoal::at_time(target, s), error_text);
}

}  // namespace clipwalk
