// The window of decoded frames: appending under the budget, the current frame, estimates.
#include <algorithm>

#include "clipwalk/frame_navigator.h"
#include "navigator/libav.h"
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

const FrameStamp* FrameNavigator::current_stamp() const {
  if (window.empty() || current_index >= window.size()) return nullptr;
  return &window[current_index];
}

int64_t FrameNavigator::frame_interval_ticks(const AVFrame* frame) const {
  // The best duration the stream and the decoder give: the packet's own, the codec's frame
  // rate, then the guessed rate. At least one tick, so that stamps keep ascending.
  if (frame->pkt_duration > 0) return frame->pkt_duration;
  const AVRational codec_rate = decoder_context->framerate;
  double ticks = 0.0;
  if (codec_rate.num > 0 && codec_rate.den > 0 && time_base_seconds > 0.0) {
    ticks = static_cast<double>(codec_rate.den) /
            (static_cast<double>(codec_rate.num) * time_base_seconds);
  } else if (frames_per_second > 0.0 && time_base_seconds > 0.0) {
    ticks = 1.0 / (frames_per_second * time_base_seconds);
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

int64_t FrameNavigator::stamp_for(const AVFrame* frame) const {
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) return frame->best_effort_timestamp;
  if (frame->pts != AV_NOPTS_VALUE) return frame->pts;
  if (decoding_from_start && pictures_from_start < leading_stamps.size()) {
    return leading_stamps[pictures_from_start];
  }
  const bool has_predecessor = decoder_position_valid || !window.empty();
  if (!has_predecessor) return start_pts;
  // One frame after the picture before it, by that picture's duration.
  if (decoder_position_valid)
    return saturating_add(decoder_position.pts, decoder_position_duration);
  return saturating_add(window.back().pts, frame_interval_ticks(frame));
}

bool FrameNavigator::learn_leading_stamps() {
  // The first pictures carry no stamp while later ones do (a cut that kept a GOP without
  // timestamps): decode on to the first timed picture and count their stamps back from it,
  // so that stamps ascend into the timed ones and every road gives the same.
  leading_stamps_known = true;
  std::vector<int64_t> offsets;  // from the first picture, in guessed frame intervals
  int64_t offset = 0;
  int32_t result = 1;
  while (result == 1 && untimed(decode_frame.get()) &&
         offsets.size() < static_cast<size_t>(kLeadingUntimedLimit)) {
    offsets.push_back(offset);
    offset = saturating_add(offset, frame_interval_ticks(decode_frame.get()));
    av_frame_unref(decode_frame.get());
    result = decode_pump(nullptr);
    frames_decoded += result == 1 ? 1 : 0;
  }
  if (result == 1 && !untimed(decode_frame.get())) {
    const int64_t first_timed = stamp_for(decode_frame.get());
    for (const int64_t picture_offset : offsets) {
      leading_stamps.push_back(saturating_add(first_timed, picture_offset - offset));
    }
  }
  av_frame_unref(decode_frame.get());
  return read_from_start(nullptr);
}

bool FrameNavigator::decode_next_frame(std::string* error_text) {
  HeldFrame held;
  for (;;) {
    if (decode_pump(error_text) <= 0) return false;
    ++frames_decoded;
    if (decoding_from_start && pictures_from_start == 0 && !leading_stamps_known &&
        untimed(decode_frame.get()) && video_stream->start_time != AV_NOPTS_VALUE &&
        input_can_be_read_again()) {
      if (!learn_leading_stamps()) return false;
      continue;
    }
    held.pts = stamp_for(decode_frame.get());
    if (decoding_from_start) ++pictures_from_start;
    held.position = decode_frame->pkt_pos;
    if (!decoder_position_valid && decoding_from_start) {
      stream_first_known = true;
      stream_first = held.place();
    }
    if (!decoder_position_valid) {
      landing_stamp_guessed =
          video_stream->start_time != AV_NOPTS_VALUE && untimed(decode_frame.get());
    }
    decoder_position_valid = true;
    decoder_position = held.place();
    decoder_position_duration = frame_interval_ticks(decode_frame.get());
    if (skip_pending) {
      // The window already holds everything up to skip_through: drop what it holds until
      // that picture has come by; a picture it does not hold ends the skipping.
      const FramePlace place = held.place();
      const bool held_already =
          std::any_of(window.begin(), window.end(),
                      [&](const HeldFrame& frame) { return same_frame(frame.place(), place); });
      if (same_frame(place, skip_through)) skip_pending = false;
      if (held_already) {
        av_frame_unref(decode_frame.get());
        continue;
      }
      skip_pending = false;
    }
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
  preview_rgba_valid = false;
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
