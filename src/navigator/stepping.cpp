// One frame forward or back; backward past the window re-decodes from an earlier keyframe.
#include <algorithm>
#include <numeric>

#include "navigator/libav.h"
#include "navigator/navigator_impl.h"

namespace clipwalk {

namespace {
// First back-off of a refill, in frames before the anchor: about a second at film rates,
// which reaches the previous keyframe of short-GOP streams at once; longer GOPs double it.
constexpr double kRefillFramesBefore = 24.0;
// The saved frames after the anchor serve only a walk that turns forward again, while a walk
// backward gains from every frame re-decoded before it: those get seven eighths of the budget.
constexpr uint64_t kSavedShare = 8;
}  // namespace

bool FrameNavigator::Impl::step_forward(std::string* error_text) {
  return adopt_decoded_damage(error_text, true) && advance(error_text);
}

bool FrameNavigator::Impl::step_backward(std::string* error_text) {
  return adopt_decoded_damage(error_text, true) && retreat(error_text);
}

bool FrameNavigator::Impl::advance(std::string* error_text) {
  if (window.move_current(1)) return true;
  return decode_next_frame(error_text) && redo_over_damage(error_text);
}

bool FrameNavigator::Impl::at_stream_start(const HeldFrame& frame) const {
  // Once a decode from the first packet has shown the first picture, that picture is the
  // start; a clock that starts again can put later pictures before time 0.
  if (source.facts.first_known) return same_frame(frame.place(), source.facts.first);
  return frame.seconds <= 0.0;
}

bool FrameNavigator::Impl::retreat(std::string* error_text) {
  if (window.move_current(-1)) return true;
  if (window.empty()) return false;
  if (at_stream_start(window.front())) return false;
  const double anchor_seconds = window.front().seconds;
  if (refill_backward(error_text)) return true;
  clear_window();
  seek_to_seconds(anchor_seconds, error_text);
  return false;
}

bool FrameNavigator::Impl::refill_backward(std::string* error_text) {
  std::deque<HeldFrame> saved = window.take_all();
  clear_window();
  uint64_t saved_bytes =
      std::accumulate(saved.begin(), saved.end(), uint64_t{0},
                      [](uint64_t sum, const HeldFrame& held) { return sum + held.bytes; });
  while (saved.size() >= 2 && saved_bytes > window.budget() / kSavedShare) {
    saved_bytes -= saved.back().bytes;
    saved.pop_back();
  }
  if (saved.empty()) return false;
  // The anchor is found again by its place, not by its stamp alone: stamps can repeat.
  LandingGoal goal = LandingGoal::at_place(saved.front().place(), saved.front().seconds);
  goal.first_back_off = std::max(1.0, source.info.frames_per_second > 0.0
                                          ? kRefillFramesBefore / source.info.frames_per_second
                                          : 1.0);
  {
    // The saved frames keep their share of the budget while the re-decoded ones fill the rest.
    const uint64_t reserved = std::min(saved_bytes, window.budget());
    const BudgetLoan loan = window.lend(window.budget() - reserved);
    if (!land(goal, error_text)) return false;
  }

  // Splice: drop the anchor as decoded again, then put the saved frames back behind what
  // was decoded before it.
  window.splice_saved(std::move(saved));
  // The decoder stands just after the anchor; what the window holds beyond it must not
  // be delivered a second time by forward decoding.
  if (source.session.position_valid &&
      !same_frame(window.back().place(), source.session.position)) {
    source.session.skip_pending = true;
    source.session.skip_through = window.back().place();
  }
  return true;
}

}  // namespace clipwalk
