// Damage: what a decode met on the way, whether it was decoded with a plain decode's history,
// and where a road past it must start.
#include <algorithm>

#include "navigator/decoding_source.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"

namespace clipwalk {

bool FaultyStamps::stamps_by_dts(const AVFrame* picture) {
  const int64_t pts = picture->pts;
  const int64_t dts = picture->pkt_dts;
  if (dts != AV_NOPTS_VALUE) {
    faulty_dts += dts <= last_dts ? 1 : 0;
    last_dts = dts;
  } else if (pts != AV_NOPTS_VALUE) {
    last_dts = pts;
  }
  if (pts != AV_NOPTS_VALUE) {
    faulty_pts += pts <= last_pts ? 1 : 0;
    last_pts = pts;
  } else if (dts != AV_NOPTS_VALUE) {
    last_pts = dts;
  }
  return pts != AV_NOPTS_VALUE && dts != AV_NOPTS_VALUE && faulty_pts > faulty_dts;
}

void DecodingSource::note_damage(const AVFrame* picture, int64_t pts) {
  // Concealed pictures, lost packets and stamps the decoder found running backwards (after
  // which it may stamp by the decode stamps) all depend on what the decoder saw before.
  // Faulty stamps count only where they changed a picture's stamp: streams whose stamps
  // repeat by rounding have them throughout, decoded alike from anywhere.
  const bool restamped = picture->best_effort_timestamp != AV_NOPTS_VALUE &&
                         picture->pts != AV_NOPTS_VALUE &&
                         picture->best_effort_timestamp != picture->pts;
  // A count by decoding also marks where libavcodec turned to the dts: any road past it
  // may stamp otherwise from a later keyframe, even where this picture's stamp is the same.
  const bool turned_to_dts = notes_stamp_turns && session.faulty_stamps.stamps_by_dts(picture);
  const bool damaged =
      flagged_damaged(picture) || session.failures_total != 0 || restamped || turned_to_dts;
  if (!damaged) {
    if (picture->key_frame != 0) ++session.clean_keyframes;
    return;
  }
  if (session.damage_seen) return;
  session.damage_seen = true;
  // A keyframe after the first one, reached cleanly, leaves the decoder as a plain decode
  // has it there, unless earlier damage changed that for good: then only a start at or
  // before the road that first showed it does.
  const bool from_known_start = facts.damage_known && !facts.damage_preroll_from_start &&
                                session.started_at_seconds <= facts.damage_preroll_seconds;
  const bool before_known_damage = !facts.damage_known || pts <= facts.damage_pts;
  session.damage_explained = session.decoding_from_start || from_known_start ||
                             (session.clean_keyframes >= 2 && before_known_damage);
  if (session.damage_explained && (!facts.damage_known || pts < facts.damage_pts)) {
    facts.damage_known = true;
    facts.damage_pts = pts;
    facts.damage_preroll_from_start = session.decoding_from_start;
    facts.damage_preroll_seconds = session.started_at_seconds;
  }
}

bool DecodingSource::damage_unexplained() const {
  // An input read once cannot be decoded again from further back.
  return session.damage_seen && !session.damage_explained && input_can_be_read_again();
}

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
