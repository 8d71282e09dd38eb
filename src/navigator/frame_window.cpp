// The window of decoded frames: appending under the budget, the current frame, estimates.
#include "navigator/frame_navigator.h"

namespace clipwalk {

const FrameStamp* FrameNavigator::current_stamp() const {
  if (window.empty() || current_index >= window.size()) return nullptr;
  return &window[current_index];
}

int64_t FrameNavigator::stamp_for(const AVFrame* frame) const {
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) return frame->best_effort_timestamp;
  if (frame->pts != AV_NOPTS_VALUE) return frame->pts;
  const bool has_predecessor = decoder_position_valid || !window.empty();
  if (!has_predecessor) return start_pts;
  // At least one tick, so that stamps keep ascending whatever the time base.
  const double ticks_per_frame = frames_per_second * time_base_seconds;
  int64_t interval = ticks_per_frame > 0.0 ? saturating_llround(1.0 / ticks_per_frame) : 1;
  if (interval < 1) interval = 1;
  const int64_t predecessor = decoder_position_valid ? decoder_position_pts : window.back().pts;
  return saturating_add(predecessor, interval);
}

bool FrameNavigator::decode_next_frame(std::string* error_text) {
  HeldFrame held;
  for (;;) {
    if (decode_pump(error_text) <= 0) return false;
    ++frames_decoded;
    held.pts = stamp_for(decode_frame.get());
    if (!decoder_position_valid) {
      landing_stamp_guessed = video_stream->start_time != AV_NOPTS_VALUE &&
                              decode_frame->best_effort_timestamp == AV_NOPTS_VALUE &&
                              decode_frame->pts == AV_NOPTS_VALUE;
    }
    decoder_position_valid = true;
    decoder_position_pts = held.pts;
    if (skip_pending && held.pts <= skip_through_pts) {
      av_frame_unref(decode_frame.get());  // the window already holds this picture
      continue;
    }
    skip_pending = false;
    if (pass_unheld(decode_frame.get(), held.pts, pts_to_seconds(held.pts))) {
      av_frame_unref(decode_frame.get());  // the budget would evict it before the landing
      continue;
    }
    break;
  }
  held.seconds = pts_to_seconds(held.pts);
  const bool held_ok = hold_frame(decode_frame.get(), held, error_text);
  av_frame_unref(decode_frame.get());
  if (!held_ok) return false;

  held_bytes += held.bytes;
  window.push_back(std::move(held));
  current_index = window.size() - 1;

  evict_unheld();
  // Oldest first, never below two frames: the newest stays even when it alone is over.
  while (held_bytes > cache_budget_bytes && window.size() >= 3 && current_index != 0) {
    held_bytes -= window.front().bytes;
    window.pop_front();
    --current_index;
  }
  return true;
}

void FrameNavigator::clear_window() {
  window.clear();
  current_index = 0;
  held_bytes = 0;
  skip_pending = false;
}

uint64_t FrameNavigator::capacity_frames() const {
  if (window.empty() || held_bytes == 0) return 0;
  uint64_t average = held_bytes / window.size();
  if (average == 0) average = 1;
  return cache_budget_bytes / average;
}

int64_t FrameNavigator::estimated_frame_index() const {
  const FrameStamp* current = current_stamp();
  if (current == nullptr || !(frames_per_second > 0.0)) return 0;
  return saturating_llround(frames_per_second * current->seconds);
}

}  // namespace clipwalk
