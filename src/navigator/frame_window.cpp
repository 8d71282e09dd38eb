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

int64_t FrameNavigator::Impl::frame_interval_ticks(const AVFrame* frame) const {
  // The best duration the stream and the decoder give: the packet's own, the codec's frame
  // rate, then the guessed rate. At least one tick, so that stamps keep ascending.
  if (frame->pkt_duration > 0) return frame->pkt_duration;
  const AVRational codec_rate = decoder_context->framerate;
  double ticks = 0.0;
  if (codec_rate.num > 0 && codec_rate.den > 0 && info.time_base_seconds > 0.0) {
    ticks = static_cast<double>(codec_rate.den) /
            (static_cast<double>(codec_rate.num) * info.time_base_seconds);
  } else if (info.frames_per_second > 0.0 && info.time_base_seconds > 0.0) {
    ticks = 1.0 / (info.frames_per_second * info.time_base_seconds);
  }
  const int64_t interval = saturating_llround(ticks);
  return interval < 1 ? 1 : interval;
}

namespace {
// How many untimed pictures at the start of a stream are looked through for the first
// timed one, from which their stamps are counted back.
constexpr int kLeadingUntimedLimit = 4096;

bool untimed(const AVFrame* frame) {
  return frame->best_effort_timestamp == AV_NOPTS_VALUE && frame->pts == AV_NOPTS_VALUE;
}
}  // namespace

bool FrameNavigator::Impl::stream_has_timestamps() const {
  // Raw elementary streams carry no stamps: no start time, and a duration guessed from the
  // bitrate. A stream whose first packets are untimed (a copy cut mid-GOP) has no start
  // time either, but its container knows its duration.
  return demux.video_stream->start_time != AV_NOPTS_VALUE ||
         demux.format_context->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE;
}

int64_t FrameNavigator::Impl::stamp_for(const AVFrame* frame) const {
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) return frame->best_effort_timestamp;
  if (frame->pts != AV_NOPTS_VALUE) return frame->pts;
  if (session.decoding_from_start && session.pictures_from_start < facts.leading_stamps.size()) {
    return facts.leading_stamps[session.pictures_from_start];
  }
  const bool has_predecessor = session.position_valid || !window.empty();
  if (!has_predecessor) return info.start_pts;
  // One frame after the picture before it, by that picture's duration.
  if (session.position_valid)
    return saturating_add(session.position.pts, session.position_duration);
  return saturating_add(window.back().pts, frame_interval_ticks(frame));
}

bool FrameNavigator::Impl::learn_leading_stamps() {
  // The first pictures carry no stamp while later ones do (a cut that kept a GOP without
  // timestamps): decode on to the first timed picture and count their stamps back from it,
  // so that stamps ascend into the timed ones and every road gives the same.
  facts.leading_stamps_known = true;
  std::vector<int64_t> offsets;  // from the first picture, in guessed frame intervals
  int64_t offset = 0;
  int32_t result = 1;
  while (result == 1 && untimed(decode_frame.get()) &&
         offsets.size() < static_cast<size_t>(kLeadingUntimedLimit)) {
    offsets.push_back(offset);
    offset = saturating_add(offset, frame_interval_ticks(decode_frame.get()));
    av_frame_unref(decode_frame.get());
    result = decode_pump(nullptr);
    counters.frames_decoded += result == 1 ? 1 : 0;
  }
  if (result == 1 && !untimed(decode_frame.get())) {
    const int64_t first_timed = stamp_for(decode_frame.get());
    for (const int64_t picture_offset : offsets) {
      facts.leading_stamps.push_back(saturating_add(first_timed, picture_offset - offset));
    }
  }
  av_frame_unref(decode_frame.get());
  return read_from_start(nullptr);
}

bool FrameNavigator::Impl::decode_next_frame(std::string* error_text) {
  HeldFrame held;
  for (;;) {
    if (decode_pump(error_text) <= 0) return false;
    ++counters.frames_decoded;
    if (session.decoding_from_start && session.pictures_from_start == 0 &&
        !facts.leading_stamps_known && untimed(decode_frame.get()) && stream_has_timestamps() &&
        input_can_be_read_again()) {
      if (!learn_leading_stamps()) return false;
      continue;
    }
    held.pts = stamp_for(decode_frame.get());
    if (session.decoding_from_start) ++session.pictures_from_start;
    held.position = decode_frame->pkt_pos;
    if (!session.position_valid && session.decoding_from_start) {
      facts.first_known = true;
      facts.first = held.place();
    }
    if (!session.position_valid) {
      session.first_seconds = pts_to_seconds(held.pts);
      session.landing_stamp_guessed = stream_has_timestamps() && untimed(decode_frame.get());
    }
    session.position_valid = true;
    session.position = held.place();
    session.position_duration = frame_interval_ticks(decode_frame.get());
    note_damage(decode_frame.get(), held.pts);
    if (session.skip_pending) {
      // The window already holds everything up to skip_through: drop what it holds until
      // that picture has come by; a picture it does not hold ends the skipping.
      const FramePlace place = held.place();
      const bool held_already =
          std::any_of(window.begin(), window.end(),
                      [&](const HeldFrame& frame) { return same_frame(frame.place(), place); });
      if (same_frame(place, session.skip_through)) session.skip_pending = false;
      if (held_already) {
        av_frame_unref(decode_frame.get());
        continue;
      }
      session.skip_pending = false;
    }
    if (pass_unheld(decode_frame.get(), held.pts, pts_to_seconds(held.pts))) {
      av_frame_unref(decode_frame.get());  // the budget would evict it before the landing
      continue;
    }
    break;
  }
  held.seconds = pts_to_seconds(held.pts);
  held.key_frame = decode_frame->key_frame != 0;
  held.duration = session.position_duration;
  held.damaged = flagged_damaged(decode_frame.get());
  const bool held_ok = hold_frame(decode_frame.get(), held, error_text);
  av_frame_unref(decode_frame.get());
  if (!held_ok) return false;

  window.push(std::move(held));
  evict_unheld();
  window.evict_over_budget();
  return true;
}

void FrameNavigator::Impl::clear_window() {
  window.clear();
  output.valid = false;
  session.skip_pending = false;
}

int64_t FrameNavigator::Impl::estimated_frame_index() const {
  const HeldFrame* current = current_frame();
  if (current == nullptr || !(info.frames_per_second > 0.0)) return 0;
  return saturating_llround(info.frames_per_second * current->seconds);
}

}  // namespace clipwalk
