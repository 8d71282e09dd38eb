// One frame forward or back; backward past the window re-decodes from an earlier keyframe.
#include <numeric>

#include "navigator/frame_navigator.h"

namespace clipwalk {

namespace {
constexpr int kRefillAttempts = 5;
constexpr double kRefillFramesBefore = 24.0;  // first seek span, in frames before the anchor
// The saved frames after the anchor serve only a walk that turns forward again, while a walk
// backward gains from every frame re-decoded before it: those get seven eighths of the budget.
constexpr uint64_t kSavedShare = 8;
}  // namespace

bool FrameNavigator::step_forward(std::string* error_text) {
  if (current_index + 1 < window.size()) {
    ++current_index;
    return true;
  }
  return decode_next_frame(error_text);
}

const HeldFrame* FrameNavigator::next_frame(std::string* error_text) {
  if (!step_forward(error_text)) return nullptr;
  return static_cast<const HeldFrame*>(current_stamp());
}

bool FrameNavigator::step_backward(std::string* error_text) {
  if (current_index > 0) {
    --current_index;
    return true;
  }
  if (window.empty()) return false;
  const int64_t anchor_pts = window.front().pts;
  const double anchor_seconds = window.front().seconds;
  if (anchor_seconds <= 0.0) return false;  // the start of the stream
  if (refill_backward(anchor_pts, anchor_seconds, error_text)) return true;
  clear_window();
  seek_to_seconds(anchor_seconds, error_text);
  return false;
}

bool FrameNavigator::refill_backward(int64_t anchor_pts, double anchor_seconds,
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
  const int64_t stop_pts = saved.front().pts;

  // The saved frames keep their share of the budget while the re-decoded ones fill the rest.
  const uint64_t reserved = std::min(saved_bytes, cache_budget_bytes);
  cache_budget_bytes -= reserved;
  struct BudgetRestore {
    uint64_t& budget;
    uint64_t reserved;
    ~BudgetRestore() { budget += reserved; }
  } restore{cache_budget_bytes, reserved};

  double span = frames_per_second > 0.0 ? kRefillFramesBefore / frames_per_second : 1.0;
  if (span < 1.0) span = 1.0;

  for (int attempt = 1; attempt <= kRefillAttempts; ++attempt, span *= 2.0) {
    double seek_point = anchor_seconds - span;
    if (seek_point < 0.0) seek_point = 0.0;
    const bool moved = seek_point > 0.0 ? demux_seek(seconds_to_pts(seek_point), error_text)
                                        : demux_seek_start(error_text);
    if (!moved) return false;
    clear_window();
    while (window.empty() || window.back().pts < stop_pts) {
      if (!decode_next_frame(error_text)) break;
    }
    // From the start of the stream a first picture without a timestamp is rightly start_pts.
    const bool guessed = landing_stamp_guessed && seek_point > 0.0;
    const bool reached = !window.empty() && window.back().pts >= stop_pts;
    const bool earlier = reached && window.front().pts < anchor_pts && !guessed;
    if (earlier) break;
    // A seek that found nothing before the anchor, or nothing at all (timestamp-searching
    // demuxers can land past the last keyframe), or a first picture that could not be
    // placed in time, is retried from further back.
    const bool landed_late = reached || window.empty() || guessed;
    if (!(landed_late && seek_point > 0.0 && attempt < kRefillAttempts)) return false;
  }

  // Splice: drop the anchor as decoded again and anything after it, then put the saved
  // frames back behind what was decoded before the anchor.
  while (!window.empty() && window.back().pts >= stop_pts) {
    held_bytes -= window.back().bytes;
    window.pop_back();
  }
  for (HeldFrame& held : saved) {
    held_bytes += held.bytes;
    window.push_back(std::move(held));
  }
  current_index = 0;
  for (uint64_t index = window.size(); index-- > 0;) {
    if (window[index].pts < anchor_pts) {
      current_index = index;
      break;
    }
  }
  // The decoder stands just after the anchor; what the window holds beyond it must not
  // be delivered a second time by forward decoding.
  if (decoder_position_valid && window.back().pts > decoder_position_pts) {
    skip_pending = true;
    skip_through_pts = window.back().pts;
  }
  return true;
}

}  // namespace clipwalk
