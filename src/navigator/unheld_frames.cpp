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

#include "clipwalk/frame_navigator.h"
#include "navigator/libav.h"
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

bool FrameNavigator::can_skip_unreferenced() const {
  // Only where every packet carries its presentation stamp from the container and that
  // clock runs on (no joined or restarted clocks), and only for decoders whose skipping of
  // non-reference pictures leaves every other picture as it was.
  const int format_flags = format_context->iformat->flags;
  if ((format_flags & (AVFMT_TS_DISCONT | AVFMT_NOTIMESTAMPS | AVFMT_GENERIC_INDEX)) != 0 ||
      decoding_from_start) {
    return false;
  }
  const AVCodecParameters& parameters = *video_stream->codecpar;
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

double FrameNavigator::landing_seconds() const {
  // Where the seek will land by the frame rate: the target, the stream's end at most.
  const double until = unheld.target_seconds;
  return duration_seconds > 0.0 && until > duration_seconds ? duration_seconds : until;
}

double FrameNavigator::unheld_margin_frames(uint64_t bytes) const {
  // Pictures at least this many before the landing are certainly evicted before it.
  const auto capacity = static_cast<double>(cache_budget_bytes / bytes);
  return capacity * (1.0 + kSpareShare) + kSpareFrames;
}

void FrameNavigator::begin_unheld(int64_t target, double seconds) {
  // A wrong guess is mended by decoding again, which needs an input that can be read twice
  // and a known end (without one, every picture would look far from the landing).
  unheld.active = unheld.allowed && frames_per_second > 0.0 && duration_seconds > 0.0 &&
                  input_can_be_read_again();
  unheld.target_pts = target;
  unheld.target_seconds = seconds;
  unheld.standing = false;
  unheld.standing_bytes = 0;
  unheld.passed_in_seek = false;
  unheld.skip_offered = false;
  unheld.offers.clear();
  unheld.shown_positions.clear();
  unheld.skipping = false;
  if (unheld.active && !window.empty() && window.back().bytes != 0 && can_skip_unreferenced()) {
    // Every picture of the stream is held at one size: the first one tells.
    const double frames = unheld_margin_frames(window.back().bytes) + kSkipMarginFrames;
    unheld.skip_until_seconds = landing_seconds() - frames / frames_per_second;
    unheld.skipping = unheld.skip_until_seconds > window.back().seconds;
  }
}

void FrameNavigator::offer_skip(const AVPacket& next) {
  // Packets come in decode order; the first one stamped too late, or not at all, ends
  // the skipping for the rest of the seek.
  const bool skippable = next.pts != AV_NOPTS_VALUE && next.pos >= 0 &&
                         pts_to_seconds(next.pts) < unheld.skip_until_seconds;
  decoder_context->skip_frame = skippable ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
  if (!skippable) {
    unheld.skipping = false;
    return;
  }
  const int64_t latest = std::max(next.pts, next.dts == AV_NOPTS_VALUE ? next.pts : next.dts);
  unheld.skip_latest_stamp =
      unheld.skip_offered ? std::max(unheld.skip_latest_stamp, latest) : latest;
  unheld.skip_offered = true;
  unheld.offers.push_back({next.pts, next.pos});
  ++unheld.skip_offers;
}

bool FrameNavigator::skips_left_stamps_alone() {
  if (!unheld.skip_offered) return true;
  // A skipped picture must have come before the last one left unheld, as its stamps say.
  if (!unheld.passed_in_seek || unheld.skip_latest_stamp >= unheld.last_passed_pts) return false;
  // The decoder takes a picture's pts as its stamp until the pts it has shown run backwards
  // or repeat more often than the dts do, and the dts from then on: a picture it never
  // showed can change that choice for every later one. Where no shown picture had a faulty
  // stamp, no two skippable packets share one, and the skipped pictures' stamps ascend in
  // decode order between the pictures shown (as non-reference pictures are shown in every
  // usual structure), the skipped pictures had no faulty stamp either.
  const AVCodecContext& decoder = *decoder_context;
  if (decoder.pts_correction_num_faulty_pts != 0 || decoder.pts_correction_num_faulty_dts != 0) {
    return false;
  }
  std::vector<int64_t>& shown = unheld.shown_positions;
  std::sort(shown.begin(), shown.end());
  bool in_run = false;
  int64_t previous = 0;
  std::vector<int64_t> stamps;
  for (const UnheldFrames::Offer& offer : unheld.offers) {
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

bool FrameNavigator::end_unheld() {
  // Where the skipping may have changed a stamp, the seek goes again in full.
  const bool exact = !unheld.standing && skips_left_stamps_alone();
  unheld.active = false;
  unheld.standing = false;
  unheld.passed_in_seek = false;
  unheld.skipping = false;
  unheld.skip_offered = false;
  unheld.offers.clear();
  unheld.shown_positions.clear();
  if (decoder_context) decoder_context->skip_frame = AVDISCARD_DEFAULT;
  if (!exact) ++unheld.redone;
  return exact;
}

uint64_t FrameNavigator::held_size(const AVFrame* picture) {
  if (picture->width == preview_width && picture->height == preview_height) {
    return frame_bytes(picture);  // held by reference: the decoder's buffers count
  }
  if (picture->format != unheld.preview_format) {
    // The same allocation hold_frame makes for a scaled picture, measured once per format.
    FramePtr preview(av_frame_alloc());
    if (!preview) return 0;
    preview->format = held_pixel_format(picture->format);
    preview->width = preview_width;
    preview->height = preview_height;
    if (av_frame_get_buffer(preview.get(), 0) < 0) return 0;
    unheld.preview_format = picture->format;
    unheld.preview_bytes = frame_bytes(preview.get());
  }
  return unheld.preview_bytes;
}

bool FrameNavigator::pass_unheld(const AVFrame* picture, int64_t pts, double seconds) {
  if (unheld.skip_offered) unheld.shown_positions.push_back(picture->pkt_pos);
  if (!unheld.active || pts >= unheld.target_pts) return false;
  const uint64_t bytes = held_size(picture);
  if (bytes == 0) return false;
  const double to_come = (landing_seconds() - seconds) * frames_per_second;
  if (to_come < unheld_margin_frames(bytes)) return false;
  // What the window holds lies before this picture, so the budget would evict it first.
  clear_window();
  unheld.standing = true;
  unheld.standing_bytes = bytes;
  unheld.passed_in_seek = true;
  unheld.last_passed_pts = pts;
  ++unheld.passed;
  return true;
}

void FrameNavigator::evict_unheld() {
  // The same rule as for held frames, with the unheld picture as the front one.
  if (unheld.standing && held_bytes + unheld.standing_bytes > cache_budget_bytes &&
      window.size() + 1 >= 3) {
    unheld.standing = false;
  }
}

}  // namespace clipwalk
