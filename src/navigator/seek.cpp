// Landing on the first frame at or after a requested time.
#include <algorithm>
#include <limits>

#include "navigator/frame_navigator.h"

namespace clipwalk {

namespace {
// How far back a late landing is retried before the stream's start is used: 1 s, doubling.
constexpr int kLateLandingRetries = 8;
}  // namespace

bool FrameNavigator::demux_seek(int64_t target, std::string* error_text) {
  int result =
      avformat_seek_file(format_context.get(), video_stream_index,
                         std::numeric_limits<int64_t>::min(), target, target, AVSEEK_FLAG_BACKWARD);
  if (result < 0 && video_stream->start_time == AV_NOPTS_VALUE) {
    // A stream without timestamps (a raw elementary stream) cannot be sought by time;
    // its first byte precedes every target.
    if (avformat_seek_file(format_context.get(), -1, 0, 0, 0, AVSEEK_FLAG_BYTE) >= 0) result = 0;
  }
  if (result < 0) {
    set_error(error_text, "seek failed: " + error_description(result));
    return false;
  }
  avcodec_flush_buffers(decoder_context.get());
  draining = false;
  decoder_position_valid = false;
  landing_stamp_guessed = false;
  skip_pending = false;
  return true;
}

bool FrameNavigator::demux_seek_start(std::string* error_text) {
  // Timestamp-searching demuxers skip the first keyframe when asked for start_pts itself,
  // since its decode timestamp lies before it; a second earlier reaches it.
  const int64_t one_second = seconds_to_pts(1.0) - start_pts;
  if (one_second > 0 && demux_seek(saturating_add(start_pts, -one_second), nullptr)) return true;
  return demux_seek(start_pts, error_text);
}

bool FrameNavigator::locate_in_window(int64_t target) {
  if (window.empty() || target < window.front().pts || target > window.back().pts) return false;
  const auto found =
      std::lower_bound(window.begin(), window.end(), target,
                       [](const HeldFrame& held, int64_t pts) { return held.pts < pts; });
  current_index = static_cast<uint64_t>(found - window.begin());
  return true;
}

bool FrameNavigator::seek_to_seconds(double seconds, std::string* error_text) {
  const double s = seconds >= 0.0 ? seconds : 0.0;  // negative and NaN both mean the start
  const int64_t target = seconds_to_pts(s);

  if (locate_in_window(target)) return true;

  if (!window.empty()) {
    const uint64_t capacity = capacity_frames();
    const HeldFrame& back = window.back();
    if (capacity != 0 && target > back.pts &&
        0.75 * static_cast<double>(capacity) >= (s - back.seconds) * frames_per_second) {
      // Close enough ahead: decode on from where the decoder stands, keeping the window.
      while (window.back().pts < target) {
        if (!decode_next_frame(error_text)) {
          // Nothing lies beyond what is held: the latest frame is the landing.
          current_index = window.size() - 1;
          break;
        }
      }
      return true;
    }
  }
  return full_seek(target, s, error_text);
}

bool FrameNavigator::full_seek(int64_t target, double seconds, std::string* error_text) {
  if (!demux_seek(target, error_text)) return false;
  clear_window();
  std::string first_error;
  bool decoded = decode_next_frame(&first_error);

  // Demuxers that seek by searching timestamps (MPEG-TS, MPEG-PS) can land after the
  // keyframe before the target, so the first picture comes late, without a timestamp, or
  // not at all. Seek again from earlier points until it is placed in time and not late, or
  // the start is reached.
  double back_off = 1.0;
  for (int retry = 0; !decoded || window.front().pts > target || landing_stamp_guessed;
       ++retry, back_off *= 2.0) {
    const bool from_start = retry >= kLateLandingRetries || !(seconds - back_off > 0.0);
    const bool moved = from_start ? demux_seek_start(nullptr)
                                  : demux_seek(seconds_to_pts(seconds - back_off), nullptr);
    if (!moved) break;  // keep what the previous attempt decoded
    clear_window();
    first_error.clear();
    decoded = decode_next_frame(&first_error);
    if (from_start) break;
  }
  if (!decoded) {
    if (window.empty()) {
      // A failed seek always says why, even when the stream simply held nothing decodable.
      set_error(error_text, first_error.empty() ? "no frame could be decoded" : first_error);
      return false;
    }
    return true;
  }
  begin_unheld(target, seconds);
  while (window.back().pts < target) {
    if (!decode_next_frame(error_text)) break;
  }
  if (!end_unheld()) {
    // A picture left unheld would still be in the window: seek again holding every one.
    unheld.allowed = false;
    const bool landed = full_seek(target, seconds, error_text);
    unheld.allowed = true;
    return landed;
  }
  return true;
}

}  // namespace clipwalk
