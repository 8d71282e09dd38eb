// The preview size, what a held picture counts, and the current frame converted for a caller.
#include "navigator/preview.h"

#include <algorithm>
#include <cmath>

#include "navigator/frame_pool.h"
#include "navigator/libav.h"
#include "navigator/navigator_impl.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
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
    // An odd limit made even upwards would pass it: the longer side goes down instead.
    int32_t& scaled_longer = source_width >= source_height ? size.width : size.height;
    if (scaled_longer > preview_limit && scaled_longer > 2) scaled_longer -= 2;
  }
  return size;
}

PreviewSize FrameNavigator::Impl::held_size_of(const AVFrame* picture) const {
  // Most pictures have the size the stream opened with; a stream may change it mid-way.
  if (picture->width == source.info.source_width && picture->height == source.info.source_height) {
    return {source.info.preview_width, source.info.preview_height};
  }
  return compute_preview_size(picture->width, picture->height, options.preview_limit);
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

uint64_t held_frame_bytes(AVCodecContext& decoder, PreviewSize held) {
  if (decoder.width == held.width && decoder.height == held.height) {
    // Held by reference: the decoder's buffer, which libavcodec sizes at the coded size where
    // that is larger.
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(decoder.pix_fmt);
    PictureLayout layout;
    if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0 ||
        !picture_layout(&decoder, decoder.pix_fmt, std::max(decoder.width, decoder.coded_width),
                        std::max(decoder.height, decoder.coded_height), &layout)) {
      return 0;
    }
    return layout.counted;
  }
  if (av_pix_fmt_desc_get(decoder.pix_fmt) == nullptr) return 0;
  return scaled_frame_bytes(decoder.pix_fmt, held);
}

uint64_t scaled_frame_bytes(int source_format, PreviewSize held) {
  // The buffer hold_frame allocates, laid out as FFmpeg chooses: one is allocated and
  // measured (its pages are never written).
  FramePtr frame(av_frame_alloc());
  if (!frame) return 0;
  frame->format = held_pixel_format(source_format);
  frame->width = held.width;
  frame->height = held.height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return 0;
  return FrameNavigator::Impl::frame_bytes(frame.get());
}

int32_t bytes_per_pixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::kRgb24:
    case PixelFormat::kBgr24:
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
    case PixelFormat::kBgr24:
      return AV_PIX_FMT_BGR24;
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
  const int32_t width = current->width;
  const int32_t height = current->height;
  const int32_t stride = width * bytes_per_pixel(format);
  const FramePixels pixels{output.pixels.data(), width, height, stride, format};
  if (output.valid && output.format == format && output.frame == current->frame.get() &&
      same_frame(output.place, current->place())) {
    return pixels;
  }

  // libswscale writes whole SIMD blocks, so the last row of a narrow picture can run past
  // its stride; the slack after the pixels takes that.
  output.valid = false;
  output.pixels.resize(static_cast<size_t>(stride) * static_cast<size_t>(height) +
                       kScalerSlackBytes);
  const AVFrame* frame = current->frame.get();
  output.scaler.reset(sws_getCachedContext(output.scaler.release(), frame->width, frame->height,
                                           static_cast<AVPixelFormat>(frame->format), width, height,
                                           libav_format(format), SWS_BILINEAR, nullptr, nullptr,
                                           nullptr));
  if (!output.scaler) return {};
  uint8_t* planes[4] = {output.pixels.data(), nullptr, nullptr, nullptr};
  const int line_sizes[4] = {stride, 0, 0, 0};
  sws_scale(output.scaler.get(), frame->data, frame->linesize, 0, frame->height, planes,
            line_sizes);
  output.place = current->place();
  output.frame = current->frame.get();
  output.format = format;
  output.valid = true;
  return {output.pixels.data(), width, height, stride, format};
}

}  // namespace clipwalk
