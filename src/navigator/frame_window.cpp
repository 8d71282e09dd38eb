// The window of decoded frames: appending under the budget, the current frame, estimates;
// the pictures it takes from the source, scaled to the preview size, and those a landing
// leaves unheld.
#include <algorithm>

#include "navigator/errors.h"
#include "navigator/frame_pool.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"
#include "navigator/preview.h"
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

bool FrameNavigator::Impl::hold_frame(AVFrame* picture, HeldFrame& held, std::string* error_text) {
  const PreviewSize size = held_size_of(picture);
  held.width = size.width;
  held.height = size.height;

  FramePtr frame(av_frame_alloc());
  if (!frame) {
    set_error(error_text, "out of memory holding a frame");
    return false;
  }
  if (picture->width == size.width && picture->height == size.height) {
    // Already the preview size: take the decoder's buffers over by reference.
    av_frame_move_ref(frame.get(), picture);
    held.bytes = frame_bytes(frame.get());
    held.frame = std::move(frame);
    return true;
  }

  const auto source_format = static_cast<AVPixelFormat>(picture->format);
  const auto held_format = static_cast<AVPixelFormat>(held_pixel_format(picture->format));
  frame->format = held_format;
  frame->width = size.width;
  frame->height = size.height;
  frame->color_range = picture->color_range;
  frame->color_primaries = picture->color_primaries;
  frame->color_trc = picture->color_trc;
  frame->colorspace = picture->colorspace;
  const int allocated = av_frame_get_buffer(frame.get(), 0);
  if (allocated < 0) {
    set_error(error_text, "could not allocate a preview frame: " + error_description(allocated));
    return false;
  }
  populate_pages(frame->buf[0]->data, frame->buf[0]->size);
  window_scaler.reset(sws_getCachedContext(window_scaler.release(), picture->width, picture->height,
                                           source_format, size.width, size.height, held_format,
                                           SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!window_scaler) {
    set_error(error_text, "could not create the preview scaler");
    return false;
  }
  sws_scale(window_scaler.get(), picture->data, picture->linesize, 0, picture->height, frame->data,
            frame->linesize);
  held.bytes = frame_bytes(frame.get());
  held.frame = std::move(frame);
  return true;
}

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
