// Landing: a seek's shortcuts through the window, then the one loop that puts the window on
// a target, for a seek by time, a backward refill (the frame before a known one) and a walk
// redone over damage, and the damage rules that say where its roads start.
//
// A target is a time (the first frame at or after it) or a place (that very frame, with
// the frame before it). Roads are tried in order until one lands:
//
//   road                                   starts at
//   back-off 0 s (refills: about 1 s)      a keyframe search for the target minus the back-off
//   back-off 1, 2, 4 ... 128 s             each after a late or untimed verdict
//   the damage floor                       where a decode with the plain decode's history of
//                                          known damage started (raises any back-off)
//   the first packet                       what a plain decode shows: always right
//
// Each road is one decode that ends in a verdict:
//
//   verdict        what the road showed                              next road
//   landed         the target, placed in time                        none: done
//   late           the first picture after the target (or, for a     twice the back-off
//                  place, the target passed or never shown)
//   untimed        the first picture's stamp could only be guessed   twice the back-off
//   earlier run    a clock reset puts an earlier run of the target's the first packet
//                  stamp before the road's first picture
//   damage         damage decoded without the plain decode's history further back than the
//                                                                    road's first picture
//   unheld wrong   a picture left unheld would still be in the       the same road, holding
//                  window                                            every picture
//   refused        the demuxer refused the keyframe search           the first packet
//   ended          the stream ended before the frames asked for      none: the landing stands,
//                  past the landing (a redone step)                  the step fails
//   failed         the input cannot be read, or holds no picture     none: the landing fails
//
// The first packet is the last road: whatever it shows is the stream's frame by definition.

#include <algorithm>

#include "navigator/demuxer.h"
#include "navigator/errors.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"
#include "navigator/timeline.h"

namespace clipwalk {

namespace {
// Back-offs after a late or untimed first picture double up to this before the first packet
// is read instead; one that damage asks for is taken as it is.
constexpr double kLongestBackOff = 128.0;
// Pictures in a row plainly after a place target that show a road will not bring it: more
// than any decoder's reordering delay.
constexpr int kPassedRun = 16;
// Frames a landing by time holds up to the target, the budget permitting: a few steps back
// cost nothing. Every frame held costs the landing a picture buffer to map, at 4K a
// scaling, and the skipping of the pictures no other refers to stops that much earlier; a
// walk further back refills once to what the budget holds, and a walk forward fills it.
constexpr uint64_t kLandingHeldFrames = 8;
}  // namespace

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

bool FrameNavigator::Impl::land(const LandingGoal& goal, std::string* error_text) {
  double back_off = goal.first_back_off;
  bool hold_every_picture = false;
  bool positioned = false;  // a road has moved the demuxer and cleared the window
  for (;;) {
    back_off = preroll_back_off(goal.pts, goal.seconds, back_off);
    const bool from_start = !(goal.seconds - back_off > 0.0);
    std::string road_error;
    const Verdict verdict =
        take_road(goal, from_start ? -1.0 : back_off, hold_every_picture, positioned, &road_error);
    switch (verdict) {
      case Verdict::kLanded:
        if (!road_error.empty()) set_error(error_text, road_error);
        return true;
      case Verdict::kUnheldWrong:
        hold_every_picture = true;
        continue;
      case Verdict::kRefused:
        // An input read once has moved on: no other road is left.
        if (!source.input_can_be_read_again() && !source.demux.fresh) break;
        back_off = goal.seconds;
        continue;
      case Verdict::kEnded:
        if (!road_error.empty()) set_error(error_text, road_error);
        return false;
      case Verdict::kFailed:
        break;
      case Verdict::kLate:
      case Verdict::kUntimed:
        if (from_start) break;
        back_off = back_off >= kLongestBackOff ? goal.seconds
                   : back_off == 0.0           ? 1.0
                                               : 2.0 * back_off;
        continue;
      case Verdict::kEarlierRun:
        back_off = goal.seconds;
        continue;
      case Verdict::kDamage:
        ++counters.prerolled;
        back_off = earlier_back_off(goal.seconds, back_off);
        continue;
    }
    // Failed. With no road decoded, the position stays as it was; a road's partial window
    // is not a landing.
    if (positioned) clear_window();
    if (!road_error.empty() || !goal.by_place) {
      set_error(error_text, road_error.empty() ? "no frame could be decoded" : road_error);
    }
    return false;
  }
}

FrameNavigator::Impl::Verdict FrameNavigator::Impl::take_road(const LandingGoal& goal,
                                                              double back_off,
                                                              bool hold_every_picture,
                                                              bool& positioned,
                                                              std::string* error_text) {
  const bool from_start = back_off < 0.0;
  if (from_start) {
    if (!source.read_from_start(error_text)) return Verdict::kFailed;
  } else if (!source.demux_seek(source.seconds_to_pts(goal.seconds - back_off), error_text)) {
    return Verdict::kRefused;
  }
  positioned = true;
  clear_window();

  // The first picture places the road.
  if (!decode_next_frame(error_text)) return from_start ? Verdict::kFailed : Verdict::kLate;
  const HeldFrame& first = window.back();
  bool reached = goal.by_place ? same_frame(first.place(), goal.anchor) : first.pts >= goal.pts;
  if (!from_start) {
    if (goal.by_place ? !reached && comes_after(first.place(), goal.anchor)
                      : !landed_in_time(goal.pts)) {
      return source.session.landing_stamp_guessed ? Verdict::kUntimed : Verdict::kLate;
    }
    if (!goal.by_place && earlier_clock_run_reaches(goal.pts, first.position)) {
      return Verdict::kEarlierRun;
    }
  }

  {
    // A landing by time holds a few frames behind the target and lends the rest of the
    // budget back once it stands; a refill's budget was set by its caller.
    const uint64_t landing_share = first.bytes * kLandingHeldFrames;
    const BudgetLoan loan =
        window.lend(goal.by_place || landing_share == 0 ? window.budget() : landing_share);
    UnheldScope scope(*this);
    begin_unheld(scope.walk, goal.pts, goal.seconds, !hold_every_picture);
    int after_in_a_row = 0;
    while (!reached) {
      // By time, the end of the stream makes the last frame the landing.
      if (!decode_next_frame(error_text)) break;
      const HeldFrame& shown = window.back();
      if (!goal.by_place) {
        reached = shown.pts >= goal.pts;
        continue;
      }
      reached = same_frame(shown.place(), goal.anchor);
      after_in_a_row = comes_after(shown.place(), goal.anchor) ? after_in_a_row + 1 : 0;
      // Damage can show a picture early, so only a run of them proves the anchor is not
      // coming.
      if (after_in_a_row >= kPassedRun) break;
    }
    if (!end_unheld()) return Verdict::kUnheldWrong;
  }
  if (goal.by_place) {
    // The place and a frame before it (the budget keeps at least two), stamped from the
    // stream: from the first packet an untimed first picture is rightly the start.
    if (!reached || window.size() < 2) return Verdict::kLate;
    if (source.session.landing_stamp_guessed && !from_start) return Verdict::kUntimed;
  }
  // Damage on the way shows as the decoder's history makes it: a plain decode's history is
  // had from further back.
  if (!from_start && source.damage_unexplained()) return Verdict::kDamage;
  for (int step = 0; step < goal.steps_after; ++step) {
    if (!decode_next_frame(error_text)) return Verdict::kEnded;
  }
  if (!from_start && source.damage_unexplained()) return Verdict::kDamage;
  return Verdict::kLanded;
}

bool FrameNavigator::Impl::landed_in_time(int64_t target) const {
  if (window.empty() || source.session.landing_stamp_guessed) return false;
  const int64_t first = window.front().pts;
  // Where a frame lasts a tick or less, the picture before the first one decoded can
  // carry the same stamp: only a first picture before the target proves nothing is missed.
  return stamps_may_repeat() ? first < target : first <= target;
}

bool FrameNavigator::Impl::stamps_may_repeat() const {
  // A rate guessed from the stamps themselves comes out at one tick per frame at most.
  return source.info.frames_per_second > 0.0 && source.info.time_base_seconds > 0.0 &&
         source.info.frames_per_second * source.info.time_base_seconds >= 1.0;
}

bool FrameNavigator::Impl::earlier_clock_run_reaches(int64_t target, int64_t landing_position) {
  // Formats that allow timestamp discontinuities (MPEG-TS/PS: recordings joined byte to
  // byte, a broadcast clock reset) can hold the same stamps twice; a timestamp search may
  // then find the second, while the frame a plain decode shows first lies in an earlier
  // run of the clock. A demux-only pass from the start up to the landing tells, and a
  // stretch found steady is not scanned again.
  if ((source.demux.format_context->iformat->flags & AVFMT_TS_DISCONT) == 0 ||
      landing_position < 0 || landing_position <= source.facts.clock_steady_through ||
      !source.input_can_be_read_again()) {
    return false;
  }
  IoDeadline deadline;  // outlives the scanner that polls it
  deadline.shares_waits_with = &source.demux.io_deadline;
  FormatContextPtr scanner = open_demuxer(source.info.source_path, deadline, nullptr);
  PacketPtr scanned(av_packet_alloc());
  if (!scanner || !scanned) return false;
  bool reset_seen = false;
  bool run_reaches = false;  // the run being read holds a stamp at or after the target
  bool earlier_reaches = false;
  ClockRuns clock;
  for (deadline.arm(); av_read_frame(scanner.get(), scanned.get()) >= 0; deadline.arm()) {
    const AVPacket& p = *scanned;
    const bool video = p.stream_index == source.info.stream_index;
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
  if (!reset_seen) source.facts.clock_steady_through = landing_position;
  source.facts.clock_reset_seen = source.facts.clock_reset_seen || reset_seen;
  return earlier_reaches;
}

// Damage: where a road past what a decode met must start.

double FrameNavigator::Impl::preroll_back_off(int64_t target, double seconds,
                                              double back_off) const {
  // Past damage a decode from the start has shown, decoding starts where it did.
  if (!source.facts.damage_known || target < source.facts.damage_pts) return back_off;
  const double needed = source.facts.damage_preroll_from_start
                            ? seconds
                            : seconds - source.facts.damage_preroll_seconds;
  return std::max(back_off, needed);
}

bool FrameNavigator::Impl::redo_over_damage(std::string* error_text) {
  // A step forward decoded damage whose look depends on the decoder's history before this
  // session's keyframe: land again on the frame the walk stood on from further back, and
  // step from there on the same road, until the damage is decoded as a plain decode
  // decodes it.
  if (!source.damage_unexplained() || window.size() < 2) return true;
  const HeldFrame& stood = window[window.size() - 2];
  LandingGoal goal = LandingGoal::at_time(stood.pts, stood.seconds);
  goal.first_back_off = earlier_back_off(stood.seconds, 0.0);
  goal.steps_after = 1;
  ++counters.prerolled;
  clear_window();  // a landing that cannot even start leaves no damaged frame current
  return land(goal, error_text);
}

double FrameNavigator::Impl::earlier_back_off(double seconds, double back_off) const {
  // Far enough back that a seek finds a keyframe before the session's first picture, and
  // at least twice as far as last time.
  return std::max({1.0, 2.0 * back_off, seconds - source.session.first_seconds + 1.0});
}

bool FrameNavigator::Impl::adopt_decoded_damage(std::string* error_text, bool land_again) {
  if (counts.decoded_damage_adopted || !counts.decoded.done()) return true;
  counts.decoded_damage_adopted = true;
  if (!counts.decoded.list.damage_known) return true;
  // A decoder that met the damage may show every later picture otherwise than one opened at
  // a later keyframe does (references, reordering, faulty stamps): roads past it start at
  // the first packet, as the count's own decode did.
  source.facts.pixels_vary = true;
  source.facts.damage_pts = source.facts.damage_known
                                ? std::min(source.facts.damage_pts, counts.decoded.list.damage_pts)
                                : counts.decoded.list.damage_pts;
  source.facts.damage_known = true;
  source.facts.damage_preroll_from_start = true;
  source.facts.damage_preroll_seconds = 0.0;
  // Frames held past it from a decode that began later are dropped, and the current one is
  // landed on again that way when the caller stays where it stands. It is found by its
  // number, which its packet tells: its stamp may be one the plain decode gives another
  // picture, or none.
  const HeldFrame* current = current_frame();
  if (current == nullptr || source.session.decoding_from_start ||
      current->pts < source.facts.damage_pts) {
    return true;
  }
  const int64_t index = exact_frame_index();
  const int64_t pts = current->pts;
  const double seconds = current->seconds;
  clear_window();
  if (!land_again) return true;
  return index >= 0 ? seek_to_frame(index, error_text)
                    : land(LandingGoal::at_time(pts, seconds), error_text);
}

}  // namespace clipwalk
