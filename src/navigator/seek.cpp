// Landing on the first frame at or after a requested time.
#include <sys/stat.h>

#include <algorithm>
#include <limits>

#include "navigator/demuxer.h"
#include "navigator/errors.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"
#include "navigator/timeline.h"

namespace clipwalk {

namespace {
// How far back a late landing is retried before the stream's start is used: 1 s, doubling.
constexpr int kLateLandingRetries = 8;
// Frames a full seek holds up to its landing, the budget permitting: enough for a walk of a
// second or so back. Every frame held costs the seek a picture buffer to map, at 4K a
// scaling, and the skipping of the pictures no other refers to stops that much earlier;
// a walk further back refills, and a walk forward fills the rest of the budget.
constexpr uint64_t kLandingHeldFrames = 32;
}  // namespace

void FrameNavigator::Impl::reset_decoding(bool await_keyframe) {
  // A fresh decoder, not a flushed one: a flush keeps what the decoder learnt from the
  // stream so far (its reordering delay among others), and across damage that makes it
  // show other pictures than a decode from the first packet does.
  if (!open_decoder(decoder_context->codec, nullptr)) avcodec_flush_buffers(decoder_context.get());
  av_packet_unref(packet.get());  // a packet the old decoder refused belongs to its session
  session = DecoderSession{};
  session.awaiting_keyframe = await_keyframe;
  session.decoding_from_start = !await_keyframe;
  if (active_walk != nullptr) active_walk->skipping = false;
}

bool FrameNavigator::Impl::demux_seek(int64_t target, std::string* error_text) {
  // Even a refused seek may have moved a demuxer that can seek (an ffconcat list opens
  // another file); one that cannot, on a pipe, has not moved.
  if (input_can_be_read_again()) demuxer_fresh = false;
  io_deadline.arm();
  const int result =
      avformat_seek_file(format_context.get(), info.stream_index,
                         std::numeric_limits<int64_t>::min(), target, target, AVSEEK_FLAG_BACKWARD);
  if (result < 0 && video_stream->start_time == AV_NOPTS_VALUE) {
    // A stream without timestamps (a raw elementary stream) cannot be sought by time;
    // its first byte precedes every target.
    if (avformat_seek_file(format_context.get(), -1, 0, 0, 0, AVSEEK_FLAG_BYTE) >= 0) {
      reset_decoding(false);
      return true;
    }
  }
  if (result < 0) {
    set_error(error_text, "seek failed: " + io_deadline.reason(result));
    return false;
  }
  // Timestamp searches can land on any packet, and index entries on pictures whose
  // references lie further back: decoding starts at the next keyframe.
  reset_decoding(true);
  session.started_at_seconds = pts_to_seconds(target);
  return true;
}

bool FrameNavigator::Impl::input_can_be_read_again() const {
  // A pipe, socket or device gives its bytes once: a second reader blocks for ever or
  // steals them from the first.
  struct stat file {};
  if (stat(info.source_path.c_str(), &file) == 0 &&
      (S_ISFIFO(file.st_mode) || S_ISSOCK(file.st_mode) || S_ISCHR(file.st_mode))) {
    return false;
  }
  const AVIOContext* io = format_context ? format_context->pb : nullptr;
  return io == nullptr || (io->seekable & AVIO_SEEKABLE_NORMAL) != 0;
}

bool FrameNavigator::Impl::read_from_start(std::string* error_text) {
  // The stream's frames are what a decode from its first packet shows; a timestamp search
  // for the start can miss pictures that carry no stamp or a clock that starts again.
  std::string reopen_error;
  if (demuxer_fresh || (input_can_be_read_again() && reopen_demuxer(&reopen_error))) {
    reset_decoding(false);
    return true;
  }
  // Timestamp-searching demuxers skip the first keyframe when asked for start_pts itself,
  // since its decode timestamp lies before it; a second earlier reaches it.
  const int64_t one_second = seconds_to_pts(1.0) - info.start_pts;
  if (one_second > 0 && demux_seek(saturating_add(info.start_pts, -one_second), nullptr))
    return true;
  std::string seek_error;
  if (demux_seek(info.start_pts, &seek_error)) return true;
  // Why the input could not be opened again (gone, or changed under us) says more than
  // the seek's reason.
  set_error(error_text, reopen_error.empty() ? seek_error : reopen_error);
  return false;
}

bool FrameNavigator::Impl::stamps_ascend() const {
  const FrameList* list = exact_list();
  return list != nullptr ? list->sorted : !facts.pixels_vary && !facts.clock_reset_seen;
}

bool FrameNavigator::Impl::locate_in_window(int64_t target) {
  if (window.empty() || target < window.front().pts) return false;
  // The window's stamps must ascend up to the landing too.
  for (uint64_t index = 0; index < window.size(); ++index) {
    if (index > 0 && window[index].pts <= window[index - 1].pts) return false;
    if (window[index].pts >= target) {
      current_index = index;
      return true;
    }
  }
  return false;
}

bool FrameNavigator::Impl::seek_to_seconds(double seconds, std::string* error_text) {
  const double s = seconds >= 0.0 ? seconds : 0.0;  // negative and NaN both mean the start
  return seek_to_pts(seconds_to_pts(s), s, error_text);
}

bool FrameNavigator::Impl::adopt_decoded_damage(std::string* error_text, bool land_again) {
  if (decoded_damage_adopted || !decoded_completed.load(std::memory_order_acquire)) return true;
  decoded_damage_adopted = true;
  if (!decoded.damage_known) return true;
  // A decoder that met the damage may show every later picture otherwise than one opened at
  // a later keyframe does (references, reordering, faulty stamps): roads past it start at
  // the first packet, as the count's own decode did.
  facts.pixels_vary = true;
  facts.damage_pts =
      facts.damage_known ? std::min(facts.damage_pts, decoded.damage_pts) : decoded.damage_pts;
  facts.damage_known = true;
  facts.damage_preroll_from_start = true;
  facts.damage_preroll_seconds = 0.0;
  // Frames held past it from a decode that began later are dropped, and the current one is
  // landed on again that way when the caller stays where it stands. It is found by its
  // number, which its packet tells: its stamp may be one the plain decode gives another
  // picture, or none.
  const HeldFrame* current = current_frame();
  if (current == nullptr || session.decoding_from_start || current->pts < facts.damage_pts) {
    return true;
  }
  const int64_t index = exact_frame_index();
  const int64_t pts = current->pts;
  const double seconds = current->seconds;
  clear_window();
  if (!land_again) return true;
  return index >= 0 ? seek_to_frame(index, error_text) : full_seek(pts, seconds, error_text);
}

bool FrameNavigator::Impl::seek_to_pts(int64_t target, double s, std::string* error_text) {
  adopt_decoded_damage(error_text, false);  // a seek lands anew in any case
  // Once the clock is known to start again, a held frame with the stamp may lie in a later
  // run than the frame a plain decode shows first: only the full road can tell.
  if (facts.clock_reset_seen) return full_seek(target, s, error_text);
  // Nor where stamps do not ascend (damage, recordings joined): a frame before the window,
  // or one decoded on the way from it, may carry the target's stamp or a later one while
  // the plain decode shows another first.
  if (!stamps_ascend()) return full_seek(target, s, error_text);

  if (locate_in_window(target)) return true;

  if (!window.empty()) {
    const uint64_t capacity = capacity_frames();
    const HeldFrame& back = window.back();
    // Up to three quarters of the window's capacity ahead, the frames decoded on the way
    // fit in the budget beside a quarter of those held, which backward steps from the
    // landing still use; further ahead a keyframe seek costs less.
    if (capacity != 0 && target > back.pts &&
        0.75 * static_cast<double>(capacity) >= (s - back.seconds) * info.frames_per_second) {
      // Close enough ahead: decode on from where the decoder stands, keeping the window.
      while (window.back().pts < target) {
        if (!decode_next_frame(error_text)) {
          // Nothing lies beyond what is held: the latest frame is the landing.
          current_index = window.size() - 1;
          break;
        }
      }
      if (damage_unexplained()) {
        ++counters.prerolled;
        return full_seek(target, s, error_text, earlier_back_off(s, 0.0));
      }
      return true;
    }
  }
  return full_seek(target, s, error_text);
}

bool FrameNavigator::Impl::landed_in_time(int64_t target) const {
  if (window.empty() || session.landing_stamp_guessed) return false;
  const int64_t first = window.front().pts;
  // Where a frame lasts a tick or less, the picture before the first one decoded can
  // carry the same stamp: only a first picture before the target proves nothing is missed.
  return stamps_may_repeat() ? first < target : first <= target;
}

bool FrameNavigator::Impl::stamps_may_repeat() const {
  // A rate guessed from the stamps themselves comes out at one tick per frame at most.
  return info.frames_per_second > 0.0 && info.time_base_seconds > 0.0 &&
         info.frames_per_second * info.time_base_seconds >= 1.0;
}

bool FrameNavigator::Impl::earlier_clock_run_reaches(int64_t target, int64_t landing_position) {
  // Formats that allow timestamp discontinuities (MPEG-TS/PS: recordings joined byte to
  // byte, a broadcast clock reset) can hold the same stamps twice; a timestamp search may
  // then find the second, while the frame a plain decode shows first lies in an earlier
  // run of the clock. A demux-only pass from the start up to the landing tells, and a
  // stretch found steady is not scanned again.
  if ((format_context->iformat->flags & AVFMT_TS_DISCONT) == 0 || landing_position < 0 ||
      landing_position <= facts.clock_steady_through || !input_can_be_read_again()) {
    return false;
  }
  IoDeadline deadline;  // outlives the scanner that polls it
  deadline.shares_waits_with = &io_deadline;
  FormatContextPtr scanner = open_demuxer(info.source_path, deadline, nullptr);
  PacketPtr scanned(av_packet_alloc());
  if (!scanner || !scanned) return false;
  bool reset_seen = false;
  bool run_reaches = false;  // the run being read holds a stamp at or after the target
  bool earlier_reaches = false;
  ClockRuns clock;
  for (deadline.arm(); av_read_frame(scanner.get(), scanned.get()) >= 0; deadline.arm()) {
    const AVPacket& p = *scanned;
    const bool video = p.stream_index == info.stream_index;
    const bool before_landing = p.pos < landing_position;
    // The landing's own packet may be the one that starts the clock again: the run
    // before it is then an earlier one.
    if (video && clock.starts_run(p)) {
      reset_seen = true;
      earlier_reaches = earlier_reaches || run_reaches;
      run_reaches = false;
    }
    if (video && before_landing) {
      run_reaches = run_reaches || (p.pts != AV_NOPTS_VALUE && p.pts >= target);
    }
    av_packet_unref(scanned.get());
    if (video && !before_landing) break;
  }
  if (!reset_seen) facts.clock_steady_through = landing_position;
  facts.clock_reset_seen = facts.clock_reset_seen || reset_seen;
  return earlier_reaches;
}

bool FrameNavigator::Impl::full_seek(int64_t target, double seconds, std::string* error_text,
                                     double first_back_off) {
  // Demuxers that seek by searching timestamps (MPEG-TS, MPEG-PS) can land after the
  // keyframe before the target, so the first picture comes late, without a timestamp, or
  // not at all; damage or a clock that starts again can make the search fail. Seek again
  // from earlier points until the landing is placed in time and not late, and in the end
  // read from the first packet, as a plain decode does.
  std::string first_error;
  double back_off = first_back_off;
  bool decoded_here = false;  // the window holds what an attempt of this seek decoded
  bool read_start = false;    // the last attempt was meant to read from the first packet
  for (int attempt = 0;; ++attempt, back_off = back_off == 0.0 ? 1.0 : back_off * 2.0) {
    back_off = preroll_back_off(target, seconds, back_off);
    const bool from_start = attempt > kLateLandingRetries || !(seconds - back_off > 0.0);
    read_start = from_start;
    if (from_start) {
      if (!read_from_start(&first_error)) {
        // An earlier attempt's landing in time still holds the target; the window from
        // before this seek, or a landing found late, does not.
        if (decoded_here && landed_in_time(target)) break;
        if (decoded_here) clear_window();
        set_error(error_text, first_error);
        return false;  // with no attempt decoded, the position stays as it was
      }
    } else if (!demux_seek(seconds_to_pts(seconds - back_off), &first_error)) {
      if (attempt == 0 && !input_can_be_read_again() && !demuxer_fresh) {
        set_error(error_text, first_error);
        return false;
      }
      back_off = seconds;  // refused: the next attempt reads from the start
      continue;
    }
    clear_window();
    decoded_here = true;
    first_error.clear();
    const bool got_picture = decode_next_frame(&first_error);
    if (from_start) break;
    if (got_picture && landed_in_time(target)) {
      if (!earlier_clock_run_reaches(target, window.front().position)) break;
      back_off = seconds;  // the landing lies in an earlier run: read from the start
    }
  }
  if (window.empty()) {
    // A failed seek always says why, even when the stream simply held nothing decodable.
    set_error(error_text, first_error.empty() ? "no frame could be decoded" : first_error);
    return false;
  }
  if (!first_error.empty()) set_error(error_text, first_error);
  // The budget beyond the landing's share is lent back once the seek is done.
  const uint64_t landing_budget = window.back().bytes * kLandingHeldFrames;
  const uint64_t lent = landing_budget != 0 && cache_budget_bytes > landing_budget
                            ? cache_budget_bytes - landing_budget
                            : 0;
  cache_budget_bytes -= lent;
  UnheldScope scope(*this, lent);
  begin_unheld(scope.walk, target, seconds);
  while (window.back().pts < target) {
    if (!decode_next_frame(error_text)) break;
  }
  if (!end_unheld()) {
    // A picture left unheld would still be in the window: seek again holding every one.
    unheld_allowed = false;
    return full_seek(target, seconds, error_text, first_back_off);
  }
  if (damage_unexplained() && !read_start) {
    // Damage on the way to the landing shows as the decoder's history makes it: go again
    // from further back, where a plain decode's history is had.
    ++counters.prerolled;
    return full_seek(target, seconds, error_text, earlier_back_off(seconds, back_off));
  }
  return true;
}

}  // namespace clipwalk
