// A full seek decodes from a keyframe, and at a modest budget most of those pictures are
// evicted before the target is reached. Pictures that the frame rate says will be evicted
// are decoded but neither scaled nor held. The last of them stays counted in front of the
// window as if it were held; once the budget would have evicted it, the window is exactly
// the window that holding every picture gives. If it still stands at the landing, the
// guess was wrong (a shorter stream, a changing frame rate) and the seek is done again
// holding every picture.
//
// Further back still, pictures that no other picture refers to need not be decoded at all:
// the decoder is told to skip them (AVDISCARD_NONREF) while the packets are stamped well
// before the first picture that could be held. This is the one place where decoding costs
// less than a plain decode from the keyframe does.
#include <algorithm>

#include "navigator/libav.h"
#include "navigator/navigator_impl.h"
#include "navigator/preview.h"

namespace clipwalk {

namespace {
// Pictures to spare beyond the window's capacity before one is left unheld: a guess that
// falls short costs a second decoding of the whole seek.
constexpr double kSpareShare = 0.05;
constexpr double kSpareFrames = 4.0;
// Pictures decoded in full between the last skippable packet and the first picture that
// could be held: reordering delays output by a few pictures, and a decoder that learns its
// reordering depth from the pictures themselves has learnt it by then.
constexpr double kSkipMarginFrames = 16.0;

// Byte 21 of an HEVC decoder configuration record carries the number of temporal layers
// in bits 3-5.
constexpr int kHevcRecordLayerByte = 21;

bool single_temporal_layer(const AVCodecParameters& parameters) {
  // A sub-layer non-reference picture may still be referred to from a higher temporal
  // layer; with a single layer it is referred to by none.
  if (parameters.extradata == nullptr || parameters.extradata_size <= kHevcRecordLayerByte ||
      parameters.extradata[0] != 1) {
    return false;  // not a configuration record (Annex B): the layers are not told
  }
  return ((parameters.extradata[kHevcRecordLayerByte] >> 3) & 7) == 1;
}
}  // namespace

bool FrameNavigator::Impl::can_skip_unreferenced() const {
  // Only where every packet carries its presentation stamp from the container and that
  // clock runs on (no joined or restarted clocks), and only for decoders whose skipping of
  // non-reference pictures leaves every other picture as it was.
  const int format_flags = source.demux.format_context->iformat->flags;
  if ((format_flags & (AVFMT_TS_DISCONT | AVFMT_NOTIMESTAMPS | AVFMT_GENERIC_INDEX)) != 0 ||
      source.session.decoding_from_start) {
    return false;
  }
  const AVCodecParameters& parameters = *source.demux.video_stream->codecpar;
  switch (parameters.codec_id) {
    case AV_CODEC_ID_H264:
      // A field pair may mix reference and non-reference fields.
      return parameters.field_order == AV_FIELD_PROGRESSIVE;
    case AV_CODEC_ID_HEVC:
      return single_temporal_layer(parameters);
    default:
      return false;
  }
}

double FrameNavigator::Impl::landing_seconds() const {
  // Where the seek will land by the frame rate: the target, the stream's end at most.
  const double until = active_walk->target_seconds;
  return source.info.duration_seconds > 0.0 && until > source.info.duration_seconds
             ? source.info.duration_seconds
             : until;
}

double FrameNavigator::Impl::unheld_margin_frames(uint64_t bytes) const {
  // Pictures at least this many before the landing are certainly evicted before it.
  const auto capacity = static_cast<double>(window.budget() / bytes);
  return capacity * (1.0 + kSpareShare) + kSpareFrames;
}

UnheldScope::~UnheldScope() {
  nav_.active_walk = nullptr;
  nav_.source.stop_skipping();
}

void FrameNavigator::Impl::begin_unheld(UnheldWalk& started, int64_t target, double seconds,
                                        bool allowed) {
  started = {};
  active_walk = &started;
  source.stop_skipping();
  UnheldWalk& walk = started;
  // A wrong guess is mended by decoding again, which needs an input that can be read twice
  // and a known end (without one, every picture would look far from the landing).
  walk.active = allowed && source.info.frames_per_second > 0.0 &&
                source.info.duration_seconds > 0.0 && source.input_can_be_read_again();
  walk.target_pts = target;
  walk.target_seconds = seconds;
  if (walk.active && !window.empty() && window.back().bytes != 0 && can_skip_unreferenced()) {
    // Every picture of the stream is held at one size: the first one tells.
    const double frames = unheld_margin_frames(window.back().bytes) + kSkipMarginFrames;
    source.skipping.until_seconds = landing_seconds() - frames / source.info.frames_per_second;
    source.skipping.active = source.skipping.until_seconds > window.back().seconds;
  }
}

bool FrameNavigator::Impl::skips_left_stamps_alone() {
  UnheldWalk& walk = *active_walk;
  const std::vector<PacketSkipping::Offer>& offers = source.skipping.offers;
  if (offers.empty()) return true;
  if (!walk.any_passed) return false;
  // The decoder takes a picture's pts as its stamp until the pts it has shown run backwards
  // or repeat more often than the dts do, and the dts from then on: a picture it never
  // showed can change that choice for every later one. Where no shown picture had a faulty
  // stamp, no two skippable packets share one, and the skipped pictures' stamps ascend in
  // decode order between the pictures shown (as non-reference pictures are shown in every
  // usual structure), the skipped pictures had no faulty stamp either.
  const AVCodecContext& decoder = *source.decoder_context;
  if (decoder.pts_correction_num_faulty_pts != 0 || decoder.pts_correction_num_faulty_dts != 0) {
    return false;
  }
  std::vector<int64_t>& shown = walk.shown_positions;
  std::sort(shown.begin(), shown.end());
  bool in_run = false;
  int64_t previous = 0;
  std::vector<int64_t> stamps;
  for (const PacketSkipping::Offer& offer : offers) {
    // A skipped picture must have come before the last one left unheld, as its stamps say.
    if (std::max(offer.pts, offer.dts) >= walk.last_passed_pts) return false;
    stamps.push_back(offer.pts);
    if (std::binary_search(shown.begin(), shown.end(), offer.position)) {
      in_run = false;  // decoded: the run of skipped pictures ends
      continue;
    }
    if (in_run && offer.pts <= previous) return false;
    in_run = true;
    previous = offer.pts;
  }
  std::sort(stamps.begin(), stamps.end());
  return std::adjacent_find(stamps.begin(), stamps.end()) == stamps.end();
}

bool FrameNavigator::Impl::end_unheld() {
  // Where the skipping may have changed a stamp, the seek goes again in full.
  const bool exact =
      active_walk == nullptr || (!active_walk->standing && skips_left_stamps_alone());
  active_walk = nullptr;
  source.stop_skipping();
  if (!exact) ++counters.redone;
  return exact;
}

uint64_t FrameNavigator::Impl::held_size(const AVFrame* picture) {
  const PreviewSize size = held_size_of(picture);
  if (picture->width == size.width && picture->height == size.height) {
    return frame_bytes(picture);  // held by reference: the decoder's buffers count
  }
  if (picture->format != scaled_size.source_format || size.width != scaled_size.size.width ||
      size.height != scaled_size.size.height) {
    // Measured once per format and size.
    const uint64_t bytes = scaled_frame_bytes(picture->format, size);
    if (bytes == 0) return 0;
    scaled_size.source_format = picture->format;
    scaled_size.size = size;
    scaled_size.bytes = bytes;
  }
  return scaled_size.bytes;
}

bool FrameNavigator::Impl::pass_unheld(const AVFrame* picture, int64_t pts, double seconds) {
  if (active_walk == nullptr) return false;
  UnheldWalk& walk = *active_walk;
  if (!source.skipping.offers.empty()) walk.shown_positions.push_back(picture->pkt_pos);
  if (!walk.active || pts >= walk.target_pts) return false;
  const uint64_t bytes = held_size(picture);
  if (bytes == 0) return false;
  const double to_come = (landing_seconds() - seconds) * source.info.frames_per_second;
  if (to_come < unheld_margin_frames(bytes)) return false;
  // What the window holds lies before this picture, so the budget would evict it first.
  clear_window();
  walk.standing = true;
  walk.standing_bytes = bytes;
  walk.any_passed = true;
  walk.last_passed_pts = pts;
  ++counters.unheld;
  return true;
}

void FrameNavigator::Impl::evict_unheld() {
  // The same rule as for held frames, with the unheld picture as the front one.
  if (active_walk != nullptr && active_walk->standing &&
      window.would_evict_in_front(active_walk->standing_bytes)) {
    active_walk->standing = false;
  }
}

}  // namespace clipwalk
