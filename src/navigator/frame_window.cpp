// The window of decoded frames: appending under the budget, the current frame, estimates.
#include <algorithm>

#include "navigator/libav.h"
#include "navigator/navigator_impl.h"
#include "navigator/timeline.h"

namespace clipwalk {

bool same_frame(FramePlace a, FramePlace b) {
  // Damaged and discontinuous streams repeat stamps, so the packet a picture came from
  // tells pictures with one stamp apart; an unknown position matches any.
  return a.pts == b.pts && (a.position == b.position || a.position < 0 || b.position < 0);
}

bool comes_after(FramePlace frame, FramePlace mark) {
  // Later in time and, where both are known, later in the file: a stamp alone can run
  // backwards (a clock reset), but not both together in one stream.
  return frame.pts > mark.pts &&
         (frame.position < 0 || mark.position < 0 || frame.position > mark.position);
}

bool FrameWindow::move_current(int64_t by) {
  const auto to = static_cast<int64_t>(current_) + by;
  if (frames_.empty() || to < 0 || to >= static_cast<int64_t>(frames_.size())) return false;
  current_ = static_cast<uint64_t>(to);
  return true;
}

void FrameWindow::set_current(uint64_t index) {
  if (index < frames_.size()) current_ = index;
}

uint64_t FrameWindow::capacity_frames() const {
  if (frames_.empty() || held_bytes_ == 0) return 0;
  uint64_t average = held_bytes_ / frames_.size();
  if (average == 0) average = 1;
  return budget_ / average;
}

void FrameWindow::push(HeldFrame held) {
  held_bytes_ += held.bytes;
  frames_.push_back(std::move(held));
  current_ = frames_.size() - 1;
}

void FrameWindow::evict_over_budget() {
  // Oldest first, never below two frames: the newest stays even when it alone is over.
  while (current_ != 0 && evicts_front(held_bytes_, budget_, frames_.size())) {
    held_bytes_ -= frames_.front().bytes;
    frames_.pop_front();
    --current_;
  }
}

void FrameWindow::keep_newest(size_t frames) {
  while (frames_.size() > frames) {
    held_bytes_ -= frames_.front().bytes;
    frames_.pop_front();
  }
  current_ = frames_.empty() ? 0 : frames_.size() - 1;
}

void FrameWindow::clear() {
  frames_.clear();
  current_ = 0;
  held_bytes_ = 0;
}

std::deque<HeldFrame> FrameWindow::take_all() {
  std::deque<HeldFrame> taken = std::move(frames_);
  frames_ = std::deque<HeldFrame>();
  clear();
  return taken;
}

void FrameWindow::splice_saved(std::deque<HeldFrame> saved) {
  if (!frames_.empty()) {
    held_bytes_ -= frames_.back().bytes;
    frames_.pop_back();
  }
  current_ = frames_.empty() ? 0 : frames_.size() - 1;
  for (HeldFrame& held : saved) {
    held_bytes_ += held.bytes;
    frames_.push_back(std::move(held));
  }
}

const HeldFrame* FrameNavigator::Impl::current_frame() const { return window.current(); }

bool FrameNavigator::Impl::decode_next_frame(std::string* error_text) {
  HeldFrame held;
  for (;;) {
    FramePlace place;
    const FramePlace newest = window.empty() ? FramePlace{} : window.back().place();
    if (!source.next_picture(&place, window.empty() ? nullptr : &newest, error_text)) return false;
    held.pts = place.pts;
    held.position = place.position;
    AVFrame* picture = source.decode_frame.get();
    if (source.session.skip_pending) {
      // The window already holds everything up to skip_through: drop what it holds until
      // that picture has come by; a picture it does not hold ends the skipping.
      const bool held_already =
          std::any_of(window.begin(), window.end(),
                      [&](const HeldFrame& frame) { return same_frame(frame.place(), place); });
      if (same_frame(place, source.session.skip_through)) source.session.skip_pending = false;
      if (held_already) {
        av_frame_unref(picture);
        continue;
      }
      source.session.skip_pending = false;
    }
    if (pass_unheld(picture, held.pts, source.pts_to_seconds(held.pts))) {
      av_frame_unref(picture);  // the budget would evict it before the landing
      continue;
    }
    break;
  }
  AVFrame* picture = source.decode_frame.get();
  held.seconds = source.pts_to_seconds(held.pts);
  held.key_frame = picture->key_frame != 0;
  held.duration = source.session.position_duration;
  held.damaged = flagged_damaged(picture);
  const bool held_ok = hold_frame(picture, held, error_text);
  av_frame_unref(picture);
  if (!held_ok) return false;

  window.push(std::move(held));
  evict_unheld();
  window.evict_over_budget();
  return true;
}

void FrameNavigator::Impl::clear_window() {
  window.clear();
  output.valid = false;
  source.session.skip_pending = false;
}

int64_t FrameNavigator::Impl::estimated_frame_index() const {
  const HeldFrame* current = current_frame();
  if (current == nullptr || !(source.info.frames_per_second > 0.0)) return 0;
  return saturating_llround(source.info.frames_per_second * current->seconds);
}

}  // namespace clipwalk
