// The preview size, holding decoded pictures at it, and the RGBA preview of the current frame.
#include "navigator/preview.h"

#include <algorithm>
#include <cmath>

#include "navigator/errors.h"
#include "navigator/frame_pool.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
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

void keep_caller_memory(void*, uint8_t*) {}

int64_t scaler_option(SwsContext* scaler, const char* name) {
  int64_t value = -1;
  return av_opt_get_int(scaler, name, 0, &value) >= 0 ? value : -1;
}

// A bilinear scaler for this shape: the one given when it already has it, else a new one.
// It cuts each picture into slices scaled on every core: the decoder's frame threads leave
// one idle much of the time, and slices give the same pixels as one pass does.
bool fit_scaler(ScalerPtr& scaler, const AVFrame& source, int32_t width, int32_t height,
                AVPixelFormat format) {
  if (scaler && scaler_option(scaler.get(), "srcw") == source.width &&
      scaler_option(scaler.get(), "srch") == source.height &&
      scaler_option(scaler.get(), "src_format") == source.format &&
      scaler_option(scaler.get(), "dstw") == width &&
      scaler_option(scaler.get(), "dsth") == height &&
      scaler_option(scaler.get(), "dst_format") == format) {
    return true;
  }
  ScalerPtr fresh(sws_alloc_context());
  if (!fresh) return false;
  SwsContext* c = fresh.get();
  const bool set = av_opt_set_int(c, "srcw", source.width, 0) >= 0 &&
                   av_opt_set_int(c, "srch", source.height, 0) >= 0 &&
                   av_opt_set_int(c, "src_format", source.format, 0) >= 0 &&
                   av_opt_set_int(c, "dstw", width, 0) >= 0 &&
                   av_opt_set_int(c, "dsth", height, 0) >= 0 &&
                   av_opt_set_int(c, "dst_format", format, 0) >= 0 &&
                   av_opt_set_int(c, "sws_flags", SWS_BILINEAR, 0) >= 0 &&
                   av_opt_set_int(c, "threads", 0, 0) >= 0;
  if (!set || sws_init_context(c, nullptr, nullptr) < 0) return false;
  scaler = std::move(fresh);
  return true;
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

uint64_t FrameNavigator::Impl::frame_bytes(const AVFrame* frame) {
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

bool FrameNavigator::Impl::hold_frame(AVFrame* source, HeldFrame& held, std::string* error_text) {
  held.width = info.preview_width;
  held.height = info.preview_height;

  FramePtr frame(av_frame_alloc());
  if (!frame) {
    set_error(error_text, "out of memory holding a frame");
    return false;
  }
  if (source->width == info.preview_width && source->height == info.preview_height) {
    // Already the preview size: take the decoder's buffers over by reference.
    av_frame_move_ref(frame.get(), source);
    held.bytes = frame_bytes(frame.get());
    held.frame = std::move(frame);
    return true;
  }

  const auto held_format = static_cast<AVPixelFormat>(held_pixel_format(source->format));
  frame->format = held_format;
  frame->width = info.preview_width;
  frame->height = info.preview_height;
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
  if (!fit_scaler(window_scaler, *source, info.preview_width, info.preview_height, held_format)) {
    set_error(error_text, "could not create the preview scaler");
    return false;
  }
  const int scaled = sws_scale_frame(window_scaler.get(), frame.get(), source);
  if (scaled < 0) {
    set_error(error_text, "could not scale a frame: " + error_description(scaled));
    return false;
  }
  held.bytes = frame_bytes(frame.get());
  held.frame = std::move(frame);
  return true;
}

int32_t bytes_per_pixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::kRgb24:
      return 3;
    case PixelFormat::kGray8:
      return 1;
    case PixelFormat::kRgba:
      break;
  }
  return 4;
}

namespace {
AVPixelFormat libav_format(PixelFormat format) {
  switch (format) {
    case PixelFormat::kRgb24:
      return AV_PIX_FMT_RGB24;
    case PixelFormat::kGray8:
      return AV_PIX_FMT_GRAY8;
    case PixelFormat::kRgba:
      break;
  }
  return AV_PIX_FMT_RGBA;
}
}  // namespace

FramePixels FrameNavigator::Impl::current_pixels(PixelFormat format) {
  const HeldFrame* current = current_frame();
  if (current == nullptr || !current->frame) return {};
  const int32_t stride = info.preview_width * bytes_per_pixel(format);
  const FramePixels pixels{output_pixels.data(), info.preview_width, info.preview_height, stride,
                           format};
  if (output_valid && output_format == format && output_frame == current->frame.get() &&
      same_frame(output_place, current->place())) {
    return pixels;
  }

  // libswscale writes whole SIMD blocks, so the last row of a narrow picture can run past
  // its stride; the slack after the pixels takes that.
  output_valid = false;
  output_pixels.resize(static_cast<size_t>(stride) * static_cast<size_t>(info.preview_height) +
                       kScalerSlackBytes);
  const AVFrame* frame = current->frame.get();
  if (!fit_scaler(output_scaler, *frame, info.preview_width, info.preview_height,
                  libav_format(format))) {
    return {};
  }
  // The scaler writes into frames only; this one lends it the caller's buffer.
  FramePtr converted(av_frame_alloc());
  if (!converted) return {};
  converted->buf[0] =
      av_buffer_create(output_pixels.data(), output_pixels.size(), &keep_caller_memory, nullptr, 0);
  if (converted->buf[0] == nullptr) return {};
  converted->data[0] = output_pixels.data();
  converted->linesize[0] = stride;
  converted->format = libav_format(format);
  converted->width = info.preview_width;
  converted->height = info.preview_height;
  if (sws_scale_frame(output_scaler.get(), converted.get(), frame) < 0) return {};
  output_place = current->place();
  output_frame = current->frame.get();
  output_format = format;
  output_valid = true;
  return {output_pixels.data(), info.preview_width, info.preview_height, stride, format};
}

}  // namespace clipwalk
