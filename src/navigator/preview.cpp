// The preview size, holding decoded pictures at it, and the RGBA preview of the current frame.
#include "navigator/preview.h"

#include <algorithm>
#include <cmath>

#include "clipwalk/frame_navigator.h"
#include "navigator/errors.h"
#include "navigator/frame_pool.h"
#include "navigator/libav.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace clipwalk {

namespace {

constexpr size_t kScalerSlackBytes = 256;

// Halves away from zero; a side below 3 becomes 2 and an odd side is made even, so
// that 4:2:0 previews always have whole chroma samples.
int32_t scaled_side(int32_t side, double scale) {
  long value = std::lround(static_cast<double>(side) * scale);
  if (value < 3) return 2;
  if (value % 2 != 0) ++value;
  return static_cast<int32_t>(value);
}

}  // namespace

PreviewSize compute_preview_size(int32_t source_width, int32_t source_height,
                                 int32_t preview_limit) {
  PreviewSize size{source_width, source_height};
  const int32_t longer = std::max(source_width, source_height);
  if (preview_limit > 0 && longer > preview_limit) {
    const double scale = static_cast<double>(preview_limit) / static_cast<double>(longer);
    size.width = scaled_side(source_width, scale);
    size.height = scaled_side(source_height, scale);
  }
  return size;
}

uint64_t FrameNavigator::frame_bytes(const AVFrame* frame) {
  if (frame == nullptr) return 0;
  uint64_t sum = 0;
  if (frame->buf[0] != nullptr) {
    for (const AVBufferRef* buffer : frame->buf) {
      if (buffer == nullptr) break;
      sum += buffer->size;
    }
    if (sum != 0) return sum;
  }
  const int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format), frame->width,
                                            frame->height, 1);
  return size > 0 ? static_cast<uint64_t>(size) : 0;
}

int held_pixel_format(int source_format) {
  return sws_isSupportedOutput(static_cast<AVPixelFormat>(source_format)) != 0 ? source_format
                                                                               : AV_PIX_FMT_RGBA;
}

bool FrameNavigator::hold_frame(AVFrame* source, HeldFrame& held, std::string* error_text) {
  held.width = preview_width;
  held.height = preview_height;

  FramePtr frame(av_frame_alloc());
  if (!frame) {
    set_error(error_text, "out of memory holding a frame");
    return false;
  }
  if (source->width == preview_width && source->height == preview_height) {
    // Already the preview size: take the decoder's buffers over by reference.
    av_frame_move_ref(frame.get(), source);
    held.bytes = frame_bytes(frame.get());
    held.frame = std::move(frame);
    return true;
  }

  const auto source_format = static_cast<AVPixelFormat>(source->format);
  const auto held_format = static_cast<AVPixelFormat>(held_pixel_format(source->format));
  frame->format = held_format;
  frame->width = preview_width;
  frame->height = preview_height;
  frame->color_range = source->color_range;
  frame->color_primaries = source->color_primaries;
  frame->color_trc = source->color_trc;
  frame->colorspace = source->colorspace;
  const int allocated = av_frame_get_buffer(frame.get(), 0);
  if (allocated < 0) {
    set_error(error_text, "could not allocate a preview frame: " + error_description(allocated));
    return false;
  }
  populate_pages(frame->buf[0]->data, frame->buf[0]->size);
  window_scaler.reset(sws_getCachedContext(window_scaler.release(), source->width, source->height,
                                           source_format, preview_width, preview_height,
                                           held_format, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!window_scaler) {
    set_error(error_text, "could not create the preview scaler");
    return false;
  }
  sws_scale(window_scaler.get(), source->data, source->linesize, 0, source->height, frame->data,
            frame->linesize);
  held.bytes = frame_bytes(frame.get());
  held.frame = std::move(frame);
  return true;
}

const uint8_t* FrameNavigator::preview_pixels() {
  if (window.empty() || current_index >= window.size()) return nullptr;
  const HeldFrame& current = window[current_index];
  if (!current.frame) return nullptr;
  if (preview_rgba_valid && preview_rgba_frame == current.frame.get() &&
      same_frame(preview_rgba_place, current.place())) {
    return preview_rgba.data();
  }

  // libswscale writes whole SIMD blocks, so the last row of a narrow picture can run past
  // width * 4 bytes; the slack after the pixels takes that.
  preview_rgba.resize(static_cast<size_t>(preview_width) * static_cast<size_t>(preview_height) * 4 +
                      kScalerSlackBytes);
  const AVFrame* frame = current.frame.get();
  rgba_scaler.reset(sws_getCachedContext(
      rgba_scaler.release(), frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
      preview_width, preview_height, AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!rgba_scaler) return nullptr;
  uint8_t* planes[4] = {preview_rgba.data(), nullptr, nullptr, nullptr};
  const int line_sizes[4] = {preview_width * 4, 0, 0, 0};
  sws_scale(rgba_scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, line_sizes);
  preview_rgba_place = current.place();
  preview_rgba_frame = current.frame.get();
  preview_rgba_valid = true;
  return preview_rgba.data();
}

}  // namespace clipwalk
