// A full seek decodes from a keyframe, and at a modest budget most of those pictures are
// evicted before the target is reached. Pictures that the frame rate says will be evicted
// are decoded but neither scaled nor held. The last of them stays counted in front of the
// window as if it were held; once the budget would have evicted it, the window is exactly
// the window that holding every picture gives. If it still stands at the landing, the
// guess was wrong (a shorter stream, a changing frame rate) and the seek is done again
// holding every picture.
#include "clipwalk/frame_navigator.h"
#include "navigator/libav.h"
#include "navigator/preview.h"

namespace clipwalk {

namespace {
// Pictures to spare beyond the window's capacity before one is left unheld: a guess that
// falls short costs a second decoding of the whole seek.
constexpr double kSpareShare = 0.05;
constexpr double kSpareFrames = 4.0;
}  // namespace

void FrameNavigator::begin_unheld(int64_t target, double seconds) {
  // A wrong guess is mended by decoding again, which needs an input that can be read twice
  // and a known end (without one, every picture would look far from the landing).
  unheld.active = unheld.allowed && frames_per_second > 0.0 && duration_seconds > 0.0 &&
                  input_can_be_read_again();
  unheld.target_pts = target;
  unheld.target_seconds = seconds;
  unheld.standing = false;
  unheld.standing_bytes = 0;
}

bool FrameNavigator::end_unheld() {
  const bool exact = !unheld.standing;
  unheld.active = false;
  unheld.standing = false;
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
  if (!unheld.active || pts >= unheld.target_pts) return false;
  const uint64_t bytes = held_size(picture);
  if (bytes == 0) return false;
  // Pictures still to come up to the landing, by the frame rate, the stream's end at most.
  double until = unheld.target_seconds;
  if (duration_seconds > 0.0 && until > duration_seconds) until = duration_seconds;
  const double to_come = (until - seconds) * frames_per_second;
  const auto capacity = static_cast<double>(cache_budget_bytes / bytes);
  if (to_come < capacity * (1.0 + kSpareShare) + kSpareFrames) return false;
  // What the window holds lies before this picture, so the budget would evict it first.
  clear_window();
  unheld.standing = true;
  unheld.standing_bytes = bytes;
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
