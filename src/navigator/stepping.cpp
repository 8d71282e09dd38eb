// One frame forward or back; backward past the window re-decodes from an earlier keyframe.
#include <numeric>

#include "navigator/libav.h"
#include "navigator/navigator_impl.h"

namespace clipwalk {

namespace {
constexpr int kRefillAttempts = 5;
// Pictures in a row plainly after the anchor that show a road will not bring it: more than
// any decoder's reordering delay.
constexpr int kPassedRun = 16;
// First seek span, in frames before the anchor: about a second at film rates, which reaches
// the previous keyframe of short-GOP streams at once; longer GOPs double it per attempt.
constexpr double kRefillFramesBefore = 24.0;
// The saved frames after the anchor serve only a walk that turns forward again, while a walk
// backward gains from every frame re-decoded before it: those get seven eighths of the budget.
constexpr uint64_t kSavedShare = 8;
}  // namespace

bool FrameNavigator::Impl::step_forward(std::string* error_text) {
  if (!adopt_decoded_damage(error_text, true)) return false;
  if (current_index + 1 < window.size()) {
    ++current_index;
    return true;
  }
  return decode_next_frame(error_text) && redo_over_damage(error_text);
}

bool FrameNavigator::Impl::at_stream_start(const HeldFrame& frame) const {
  // Once a decode from the first packet has shown the first picture, that picture is the
  // start; a clock that starts again can put later pictures before time 0.
  if (facts.first_known) return same_frame(frame.place(), facts.first);
  return frame.seconds <= 0.0;
}

bool FrameNavigator::Impl::step_backward(std::string* error_text) {
  if (!adopt_decoded_damage(error_text, true)) return false;
  if (current_index > 0) {
    --current_index;
    return true;
  }
  if (window.empty()) return false;
  if (at_stream_start(window.front())) return false;
  const int64_t anchor_pts = window.front().pts;
  const double anchor_seconds = window.front().seconds;
  if (refill_backward(anchor_pts, anchor_seconds, error_text)) return true;
  clear_window();
  seek_to_seconds(anchor_seconds, error_text);
  return false;
}

bool FrameNavigator::Impl::refill_backward(int64_t anchor_pts, double anchor_seconds,
                                           std::string* error_text) {
  std::deque<HeldFrame> saved = std::move(window);
  window = std::deque<HeldFrame>();
  clear_window();
  uint64_t saved_bytes =
      std::accumulate(saved.begin(), saved.end(), uint64_t{0},
                      [](uint64_t sum, const HeldFrame& held) { return sum + held.bytes; });
  while (saved.size() >= 2 && saved_bytes > cache_budget_bytes / kSavedShare) {
    saved_bytes -= saved.back().bytes;
    saved.pop_back();
  }
  if (saved.empty()) return false;
  // The anchor is found again by its place, not by its stamp alone: stamps can repeat.
  FramePlace anchor = saved.front().place();
  anchor.pts = anchor_pts;

  // The saved frames keep their share of the budget while the re-decoded ones fill the rest.
  const uint64_t reserved = std::min(saved_bytes, cache_budget_bytes);
  cache_budget_bytes -= reserved;
  UnheldScope scope(*this, reserved);

  double span = info.frames_per_second > 0.0 ? kRefillFramesBefore / info.frames_per_second : 1.0;
  if (span < 1.0) span = 1.0;

  for (int attempt = 1;; ++attempt, span *= 2.0) {
    // The last attempt reads from the first packet: a clock that starts again or damage
    // can send every timestamp search to the wrong place.
    double seek_point = attempt > kRefillAttempts ? 0.0 : anchor_seconds - span;
    seek_point =
        anchor_seconds - preroll_back_off(anchor_pts, anchor_seconds, anchor_seconds - seek_point);
    if (seek_point < 0.0) seek_point = 0.0;
    const bool moved = seek_point > 0.0 ? demux_seek(seconds_to_pts(seek_point), error_text)
                                        : read_from_start(error_text);
    if (!moved) {
      if (seek_point <= 0.0) return false;
      attempt = kRefillAttempts;  // a refused search: read from the start next
      continue;
    }
    clear_window();
    bool reached = false;
    bool passed = false;
    int after_in_a_row = 0;
    for (bool first = true; !reached && !passed; first = false) {
      if (!decode_next_frame(error_text)) break;
      reached = same_frame(window.back().place(), anchor);
      after_in_a_row = comes_after(window.back().place(), anchor) ? after_in_a_row + 1 : 0;
      // A first picture after the anchor means the seek landed late. Later on, damage can
      // show a picture early, so only a run of them proves the anchor is not coming.
      passed = !reached && (first ? after_in_a_row == 1 : after_in_a_row >= kPassedRun);
      // Like a full seek, the refill need not hold what its budget evicts before the anchor.
      if (first && !reached && !passed) begin_unheld(scope.walk, anchor_pts, anchor_seconds);
    }
    if (!end_unheld()) {
      // A picture left unheld would still be in the window: the same road, holding every one.
      unheld_allowed = false;
      --attempt;
      span /= 2.0;
      continue;
    }
    // From the start of the stream a first picture without a timestamp is rightly start_pts.
    const bool guessed = session.landing_stamp_guessed && seek_point > 0.0;
    // The budget keeps at least two frames, so a second one is the picture before the anchor.
    // Damage on the way decoded without a plain decode's history is retried from further
    // back too.
    if (reached && window.size() >= 2 && !guessed && !damage_unexplained()) break;
    // Nothing before the anchor, the anchor passed without being shown (the leading
    // pictures of a random-access point), nothing decoded at all (timestamp-searching
    // demuxers can land past the last keyframe), the end reached without the anchor, or a
    // first picture that could not be placed in time: retry from further back.
    if (seek_point <= 0.0) return false;
  }

  // Splice: drop the anchor as decoded again, then put the saved frames back behind what
  // was decoded before it.
  held_bytes -= window.back().bytes;
  window.pop_back();
  current_index = window.size() - 1;
  for (HeldFrame& held : saved) {
    held_bytes += held.bytes;
    window.push_back(std::move(held));
  }
  // The decoder stands just after the anchor; what the window holds beyond it must not
  // be delivered a second time by forward decoding.
  if (session.position_valid && !same_frame(window.back().place(), session.position)) {
    session.skip_pending = true;
    session.skip_through = window.back().place();
  }
  return true;
}

}  // namespace clipwalk
